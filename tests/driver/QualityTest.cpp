// PSNR, SSIM and the seeded noise of pgmquality, on cases that can be worked
// out by hand, and the program run as a real process.
#include <algorithm>
#include <cmath>
#include <limits>
#include <regex>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Quality.h"
#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

CMatrix<float> constant(int aXSize, int aYSize, float aValue) {
  CMatrix<float> image(aXSize, aYSize);
  image.fill(aValue);
  return image;
}

// SSIM of one window position computed directly from the 2-D window, as the
// definition reads (no separable filtering).
double ssimAt(const CMatrix<float>& aA, const CMatrix<float>& aB, int aX0, int aY0) {
  double taps[11], sum = 0.0;
  for (int i = 0; i < 11; ++i) sum += taps[i] = std::exp(-(i - 5) * (i - 5) / (2.0 * 1.5 * 1.5));
  double ma = 0, mb = 0, aa = 0, bb = 0, ab = 0;
  for (int j = 0; j < 11; ++j)
    for (int i = 0; i < 11; ++i) {
      const double w = taps[i] * taps[j] / (sum * sum), a = aA(aX0 + i, aY0 + j), b = aB(aX0 + i, aY0 + j);
      ma += w * a;
      mb += w * b;
      aa += w * a * a;
      bb += w * b * b;
      ab += w * a * b;
    }
  const double c1 = 2.55 * 2.55, c2 = 7.65 * 7.65;
  return (2 * ma * mb + c1) * (2 * (ab - ma * mb) + c2) / ((ma * ma + mb * mb + c1) * (aa - ma * ma + bb - mb * mb + c2));
}

TEST(Quality, IdenticalImagesHaveInfinitePsnrAndSsimOne) {
  const CMatrix<float> image = TestSupport::noisyImage(40, 30, 3);
  EXPECT_EQ(NQuality::psnr(image, image), std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(NQuality::ssim(image, image), 1.0);
  EXPECT_EQ(NQuality::format(NQuality::psnr(image, image), 4), "inf");
  EXPECT_EQ(NQuality::format(28.123456, 4), "28.1235");
}

TEST(Quality, ConstantOffset) {
  // Every pixel 5 apart: MSE 25, PSNR 20 log10(255 / 5). Flat images have no
  // variance, so SSIM is the luminance term alone.
  const CMatrix<float> a = constant(20, 15, 100.0f), b = constant(20, 15, 105.0f);
  EXPECT_NEAR(NQuality::psnr(a, b), 20.0 * std::log10(51.0), 1e-12);
  const double c1 = 2.55 * 2.55;
  EXPECT_NEAR(NQuality::ssim(a, b), (2.0 * 100 * 105 + c1) / (100.0 * 100 + 105.0 * 105 + c1), 1e-12);
  // A mean squared difference of 1 gives 20 log10(255).
  CMatrix<float> c = a;
  for (int i = 0; i < c.size(); ++i) c.data()[i] += (i % 2) ? 1.0f : -1.0f;
  EXPECT_NEAR(NQuality::psnr(a, c), 48.130803608679102, 1e-12);
}

TEST(Quality, SsimIsTheMeanOverWindowsInsideTheImage) {
  const CMatrix<float> a = TestSupport::noisyImage(14, 12, 5), b = TestSupport::noisyImage(14, 12, 6);
  double sum = 0.0;
  for (int y = 0; y + 11 <= 12; ++y)
    for (int x = 0; x + 11 <= 14; ++x) sum += ssimAt(a, b, x, y);
  EXPECT_NEAR(NQuality::ssim(a, b), sum / (4 * 2), 1e-12);
  EXPECT_NEAR(NQuality::ssim(a, b), NQuality::ssim(b, a), 1e-15);

  // One window: an 11 x 11 image; inverted contrast correlates negatively.
  const CMatrix<float> small = TestSupport::noisyImage(11, 11, 8);
  CMatrix<float> inverted = small;
  for (int i = 0; i < inverted.size(); ++i) inverted.data()[i] = 255.0f - small.data()[i];
  EXPECT_NEAR(NQuality::ssim(small, inverted), ssimAt(small, inverted, 0, 0), 1e-12);
  EXPECT_LT(NQuality::ssim(small, inverted), 0.0);
}

TEST(Quality, RefusesMismatchedOrTooSmallImages) {
  EXPECT_THROW(NQuality::psnr(constant(10, 10, 1), constant(10, 11, 1)), std::invalid_argument);
  EXPECT_THROW(NQuality::ssim(constant(12, 12, 1), constant(11, 12, 1)), std::invalid_argument);
  EXPECT_THROW(NQuality::ssim(constant(10, 20, 1), constant(10, 20, 1)), std::invalid_argument);
  EXPECT_NO_THROW(NQuality::ssim(constant(11, 11, 1), constant(11, 11, 1)));
}

TEST(Quality, NoiseIsSeededRoundedAndClipped) {
  const CMatrix<float> grey = constant(256, 256, 128.0f);
  CMatrix<float> first = grey, second = grey, other = grey;
  NQuality::addGaussianNoise(first, 10.0, 7);
  NQuality::addGaussianNoise(second, 10.0, 7);
  NQuality::addGaussianNoise(other, 10.0, 8);
  EXPECT_TRUE(std::equal(first.data(), first.data() + first.size(), second.data()));
  EXPECT_FALSE(std::equal(first.data(), first.data() + first.size(), other.data()));
  double sum = 0.0, squares = 0.0;
  for (int i = 0; i < first.size(); ++i) {
    const double d = first.data()[i] - 128.0;
    EXPECT_EQ(first.data()[i], std::round(first.data()[i]));
    sum += d;
    squares += d * d;
  }
  const double n = first.size();
  EXPECT_NEAR(sum / n, 0.0, 0.15);  // 4 standard errors of the mean of 65536 draws
  // Rounding adds a uniform error of variance 1/12.
  EXPECT_NEAR(std::sqrt(squares / n - (sum / n) * (sum / n)), std::sqrt(100.0 + 1.0 / 12), 0.15);

  CMatrix<float> dark = constant(64, 64, 0.0f), same = TestSupport::noisyImage(30, 20, 4), unchanged = same;
  NQuality::addGaussianNoise(dark, 50.0, 1);
  EXPECT_EQ(*std::min_element(dark.data(), dark.data() + dark.size()), 0.0f);
  EXPECT_LE(*std::max_element(dark.data(), dark.data() + dark.size()), 255.0f);
  NQuality::addGaussianNoise(unchanged, 0.0, 1);
  EXPECT_TRUE(std::equal(same.data(), same.data() + same.size(), unchanged.data()));
}

TestSupport::CRun pgmquality(const std::vector<std::string>& aArguments) {
  std::vector<std::string> command{TestSupport::binaryPath("pgmquality")};
  command.insert(command.end(), aArguments.begin(), aArguments.end());
  return TestSupport::run(command);
}

std::string writeImage(const CTempDir& aDir, const std::string& aName, const CMatrix<float>& aImage) {
  const std::vector<unsigned char> pixels(aImage.data(), aImage.data() + aImage.size());
  TestSupport::writeBytes(aDir.file(aName), TestSupport::pgmBytes(aImage.xSize(), aImage.ySize(), pixels));
  return aDir.file(aName);
}

TEST(PgmQualityProcess, PrintsPsnrAndSsim) {
  CTempDir dir;
  const std::string clean = writeImage(dir, "clean.pgm", constant(20, 15, 100.0f));
  const std::string test = writeImage(dir, "test.pgm", constant(20, 15, 105.0f));
  const auto run = pgmquality({clean, test});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "PSNR 34.1514 dB\nSSIM 0.998811\n");
  EXPECT_EQ(pgmquality({clean, clean}).out, "PSNR inf dB\nSSIM 1.000000\n");
}

TEST(PgmQualityProcess, AddsTheSameNoiseForTheSameSeed) {
  CTempDir dir;
  const std::string clean = writeImage(dir, "clean.pgm", TestSupport::noisyImage(32, 24, 1));
  EXPECT_EQ(pgmquality({"--add-noise", "15", "--seed", "42", clean, dir.file("a.pgm")}).status, 0);
  EXPECT_EQ(pgmquality({"--seed", "42", "--add-noise", "15", clean, dir.file("b.pgm")}).status, 0);
  EXPECT_EQ(pgmquality({"--add-noise", "15", clean, dir.file("c.pgm")}).status, 0);
  const std::string a = TestSupport::readBytes(dir.file("a.pgm"));
  EXPECT_EQ(a.substr(0, 13), "P5\n32 24\n255\n");
  EXPECT_EQ(a, TestSupport::readBytes(dir.file("b.pgm")));
  EXPECT_NE(a, TestSupport::readBytes(dir.file("c.pgm")));
  EXPECT_TRUE(std::regex_match(pgmquality({clean, dir.file("a.pgm")}).out,
                               std::regex("PSNR [0-9]+\\.[0-9]{4} dB\nSSIM 0\\.[0-9]{6}\n")));
}

TEST(PgmQualityProcess, ExitStatuses) {
  CTempDir dir;
  const std::string a = writeImage(dir, "a.pgm", constant(20, 15, 1.0f));
  const std::string b = writeImage(dir, "b.pgm", constant(15, 20, 1.0f));
  const std::string tiny = writeImage(dir, "tiny.pgm", constant(8, 8, 1.0f));
  const auto mismatch = pgmquality({a, b});
  EXPECT_EQ(mismatch.status, 1);
  EXPECT_NE(mismatch.err.find("differ in size"), std::string::npos) << mismatch.err;
  EXPECT_TRUE(mismatch.out.empty());
  EXPECT_EQ(pgmquality({tiny, tiny}).status, 1);
  EXPECT_EQ(pgmquality({a, dir.file("missing.pgm")}).status, 1);
  EXPECT_EQ(pgmquality({"--add-noise", "5", dir.file("missing.pgm"), dir.file("out.pgm")}).status, 1);
  EXPECT_FALSE(TestSupport::exists(dir.file("out.pgm")));

  EXPECT_EQ(pgmquality({}).status, 2);
  EXPECT_EQ(pgmquality({a}).status, 2);
  EXPECT_EQ(pgmquality({"--add-noise", "-1", a, dir.file("out.pgm")}).status, 2);
  EXPECT_EQ(pgmquality({"--add-noise", "x", a, dir.file("out.pgm")}).status, 2);
  EXPECT_EQ(pgmquality({"--add-noise", "5", "--seed", "4294967296", a, dir.file("out.pgm")}).status, 2);
  EXPECT_EQ(pgmquality({"--add-noise", "5", "--seed", "-1", a, dir.file("out.pgm")}).status, 2);
  EXPECT_EQ(pgmquality({"--seed", "3", a, b}).status, 2);
  EXPECT_EQ(pgmquality({"--frobnicate", a, b}).status, 2);

  const auto help = pgmquality({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: pgmquality CLEAN.pgm TEST.pgm\n", 0), 0u);
  EXPECT_TRUE(std::regex_match(pgmquality({"--version"}).out,
                               std::regex("pgmquality \\(texture\\) [0-9]+\\.[0-9]+\\.[0-9]+\n")));
}

}  // namespace

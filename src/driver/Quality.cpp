#include "Quality.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace NQuality {

namespace {

void requireSameSize(const CMatrix<float>& aClean, const CMatrix<float>& aTest) {
  if (aClean.xSize() != aTest.xSize() || aClean.ySize() != aTest.ySize())
    throw std::invalid_argument("the images differ in size (" + std::to_string(aClean.xSize()) + " x " +
                                std::to_string(aClean.ySize()) + " and " + std::to_string(aTest.xSize()) + " x " +
                                std::to_string(aTest.ySize()) + ")");
}

// The 1-D Gaussian of standard deviation 1.5 over 11 taps, summing to 1; the
// 2-D window is its outer product.
std::vector<double> gaussianTaps() {
  const int radius = kSsimWindow / 2;
  std::vector<double> taps(kSsimWindow);
  double sum = 0.0;
  for (int i = 0; i < kSsimWindow; ++i) {
    const double d = i - radius;
    taps[i] = std::exp(-0.5 * d * d / (1.5 * 1.5));
    sum += taps[i];
  }
  for (double& t : taps) t /= sum;
  return taps;
}

}  // namespace

double psnr(const CMatrix<float>& aClean, const CMatrix<float>& aTest) {
  requireSameSize(aClean, aTest);
  if (aClean.size() == 0) throw std::invalid_argument("the images are empty");
  double sum = 0.0;
  for (int i = 0; i < aClean.size(); ++i) {
    const double d = static_cast<double>(aClean.data()[i]) - static_cast<double>(aTest.data()[i]);
    sum += d * d;
  }
  const double mse = sum / aClean.size();
  if (mse == 0.0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(kPeak * kPeak / mse);
}

double ssim(const CMatrix<float>& aClean, const CMatrix<float>& aTest) {
  requireSameSize(aClean, aTest);
  const int X = aClean.xSize(), Y = aClean.ySize();
  if (X < kSsimWindow || Y < kSsimWindow)
    throw std::invalid_argument("SSIM needs images of at least 11 x 11 pixels");
  const std::vector<double> taps = gaussianTaps();
  const double c1 = (0.01 * kPeak) * (0.01 * kPeak);
  const double c2 = (0.03 * kPeak) * (0.03 * kPeak);
  const int outX = X - kSsimWindow + 1, outY = Y - kSsimWindow + 1;

  // Separable filtering: rows first into five moment images of outX columns,
  // then each output position sums its column of 11 row results.
  enum { kA, kB, kAA, kBB, kAB, kMoments };
  std::vector<double> rows(static_cast<std::size_t>(kMoments) * outX * Y);
  const auto row = [&](int aMoment, int aX, int aY) -> double& {
    return rows[(static_cast<std::size_t>(aMoment) * Y + aY) * outX + aX];
  };
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < outX; ++x) {
      double m[kMoments] = {0.0, 0.0, 0.0, 0.0, 0.0};
      for (int i = 0; i < kSsimWindow; ++i) {
        const double a = aClean(x + i, y), b = aTest(x + i, y), t = taps[i];
        m[kA] += t * a;
        m[kB] += t * b;
        m[kAA] += t * a * a;
        m[kBB] += t * b * b;
        m[kAB] += t * a * b;
      }
      for (int k = 0; k < kMoments; ++k) row(k, x, y) = m[k];
    }

  double total = 0.0;
  for (int y = 0; y < outY; ++y)
    for (int x = 0; x < outX; ++x) {
      double m[kMoments] = {0.0, 0.0, 0.0, 0.0, 0.0};
      for (int i = 0; i < kSsimWindow; ++i)
        for (int k = 0; k < kMoments; ++k) m[k] += taps[i] * row(k, x, y + i);
      const double varA = m[kAA] - m[kA] * m[kA];
      const double varB = m[kBB] - m[kB] * m[kB];
      const double cov = m[kAB] - m[kA] * m[kB];
      total += ((2.0 * m[kA] * m[kB] + c1) * (2.0 * cov + c2)) /
               ((m[kA] * m[kA] + m[kB] * m[kB] + c1) * (varA + varB + c2));
    }
  return total / (static_cast<double>(outX) * outY);
}

void addGaussianNoise(CMatrix<float>& aImage, double aSigma, std::uint32_t aSeed) {
  std::mt19937 generator(aSeed);
  // Uniform in [0, 1) from 53 random bits of two draws.
  const auto uniform = [&generator] {
    const std::uint64_t high = generator() >> 5, low = generator() >> 6;
    return static_cast<double>(high * 67108864u + low) / 9007199254740992.0;
  };
  const double twoPi = 6.283185307179586;
  double spare = 0.0;
  bool haveSpare = false;
  for (int i = 0; i < aImage.size(); ++i) {
    double normal;
    if (haveSpare) {
      normal = spare;
      haveSpare = false;
    } else {
      const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));  // 1 - u lies in (0, 1]
      const double angle = twoPi * uniform();
      normal = radius * std::cos(angle);
      spare = radius * std::sin(angle);
      haveSpare = true;
    }
    const double value = std::round(static_cast<double>(aImage.data()[i]) + aSigma * normal);
    aImage.data()[i] = static_cast<float>(value < 0.0 ? 0.0 : value > 255.0 ? 255.0 : value);
  }
}

std::string format(double aValue, int aDigits) {
  if (std::isinf(aValue) && aValue > 0) return "inf";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", aDigits, aValue);
  return text;
}

}  // namespace NQuality

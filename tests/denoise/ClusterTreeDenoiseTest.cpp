#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "TestSupport.h"

namespace {

enum class Mode { Global, Local };

CMatrix<float> denoise(const CMatrix<float>& aInput, Mode aMode, float aSigma, int aSearchRadius = 10,
                       int aPatchRadius = 4) {
  CMatrix<float> input(aInput), result(aInput);
  CNLMeans nlMeans;
  nlMeans.patchRadius = aPatchRadius;
  nlMeans.searchRadius = aSearchRadius;
  if (aMode == Mode::Global)
    nlMeans.clusterTreeGlobal(input, result, aSigma, 0.0f);
  else
    nlMeans.clusterTreeLocal(input, result, aSigma, 0.0f);
  return result;
}

// Every estimate is a weighted mean of input values, so it lies within their range.
void expectWithinInputRange(const CMatrix<float>& aInput, const CMatrix<float>& aResult) {
  ASSERT_EQ(aResult.xSize(), aInput.xSize());
  ASSERT_EQ(aResult.ySize(), aInput.ySize());
  if (aInput.size() == 0) return;
  const auto [low, high] = std::minmax_element(aInput.data(), aInput.data() + aInput.size());
  for (int i = 0; i < aResult.size(); ++i) {
    ASSERT_TRUE(std::isfinite(aResult.data()[i])) << i;
    EXPECT_GE(aResult.data()[i], *low - 1e-3f) << i;
    EXPECT_LE(aResult.data()[i], *high + 1e-3f) << i;
  }
}

TEST(ClusterTreeDenoise, ConstantImageComesBackUnchanged) {
  CMatrix<float> image(48, 40);
  image.fill(200.0f);
  const CMatrix<float> global = denoise(image, Mode::Global, 20.0f);
  for (int i = 0; i < image.size(); ++i) ASSERT_EQ(global.data()[i], 200.0f) << i;
  // Local mode blends block estimates in single precision: the ratio of the
  // blended sums may miss 200 by a rounding step.
  const CMatrix<float> local = denoise(image, Mode::Local, 20.0f, 5);
  for (int i = 0; i < image.size(); ++i) ASSERT_NEAR(local.data()[i], 200.0f, 2e-4f) << i;
}

TEST(ClusterTreeDenoise, OddShapesFinishWithinTheInputRange) {
  for (auto [x, y] : {std::pair{0, 0}, {1, 1}, {5, 5}, {8, 30}, {1, 200}, {200, 1}, {9, 9}, {10, 10}, {3, 40}}) {
    const CMatrix<float> image = TestSupport::noisyImage(x, y, static_cast<unsigned>(x * 1000 + y));
    for (Mode mode : {Mode::Global, Mode::Local}) {
      SCOPED_TRACE(testing::Message() << x << " x " << y << (mode == Mode::Global ? " global" : " local"));
      expectWithinInputRange(image, denoise(image, mode, 25.0f, 2));
    }
  }
}

TEST(ClusterTreeDenoise, BorderPixelsUseTheFixed31x31Window) {
  const CMatrix<float> image = TestSupport::noisyImage(50, 44, 3);
  const CMatrix<float> result = denoise(image, Mode::Global, 20.0f, 2);
  const NLMeansCommon::CPatchWindow window(4);
  const float k = NLMeansCommon::sigmaKernel(20.0f);
  for (auto [x, y] : {std::pair{0, 0}, {3, 20}, {49, 43}, {20, 41}, {46, 10}}) {
    float expected = image(x, y);
    NLMeansCommon::windowedEstimate(image.data(), image.data(), 50, 44, x, y, 15, k, window).store(image(x, y), expected);
    EXPECT_EQ(result(x, y), expected) << x << "," << y;
  }
}

// In local mode the pixels inside no block take the windowed fallback over
// the search radius.
void expectFallback(const CMatrix<float>& aImage, const CMatrix<float>& aResult, int aRadius, int aX, int aY) {
  const NLMeansCommon::CPatchWindow window(4);
  float expected = aImage(aX, aY);
  NLMeansCommon::windowedEstimate(aImage.data(), aImage.data(), aImage.xSize(), aImage.ySize(), aX, aY, aRadius,
                                  NLMeansCommon::sigmaKernel(20.0f), window)
      .store(aImage(aX, aY), expected);
  EXPECT_EQ(aResult(aX, aY), expected) << aX << "," << aY;
}

TEST(ClusterTreeDenoise, LocalLastPatchColumnTakesTheFallback) {
  // No block reaches the last column, so column X - 1 - r is interior to none.
  const CMatrix<float> image = TestSupport::noisyImage(60, 50, 4);
  const CMatrix<float> result = denoise(image, Mode::Local, 20.0f, 6);
  for (int y : {10, 20, 30}) expectFallback(image, result, 6, 60 - 1 - 4, y);
  for (int x : {12, 25}) expectFallback(image, result, 6, x, 50 - 1 - 4);
  expectFallback(image, result, 6, 2, 2);
}

TEST(ClusterTreeDenoise, LocalStripsBetweenBlocksWhenSearchRadiusBelowPatchRadius) {
  // r = 4, R = 2: blocks of 13 every 6 pixels, interiors 4..8, 10..14, ...;
  // columns and rows 9, 15, ... belong to no block interior.
  const CMatrix<float> image = TestSupport::noisyImage(40, 40, 6);
  const CMatrix<float> result = denoise(image, Mode::Local, 20.0f, 2);
  for (int y : {5, 12, 20}) {
    expectFallback(image, result, 2, 9, y);
    expectFallback(image, result, 2, 15, y);
  }
  expectFallback(image, result, 2, 11, 9);
}

TEST(ClusterTreeDenoise, VeryNegativeSearchRadiusFormsNoBlock) {
  // The block step would be below 1: every pixel takes the fallback, whose
  // window is empty, so the image is unchanged.
  const CMatrix<float> image = TestSupport::noisyImage(30, 30, 9);
  const CMatrix<float> result = denoise(image, Mode::Local, 20.0f, -4);
  for (int i = 0; i < image.size(); ++i) ASSERT_EQ(result.data()[i], image.data()[i]);
}

TEST(ClusterTreeDenoise, HugeSearchRadiusInLocalModeDoesNotOverflow) {
  // The block geometry squares r + R; near the int range it is taken in 64 bits.
  const CMatrix<float> image = TestSupport::noisyImage(12, 12, 13);
  for (int radius : {50001, 1 << 30}) expectWithinInputRange(image, denoise(image, Mode::Local, 20.0f, radius));
}

TEST(ClusterTreeDenoise, ImagesWithoutPixelsAreLeftAlone) {
  for (auto [x, y] : {std::pair{0, 5}, {7, 0}}) {
    const CMatrix<float> image(x, y);
    for (Mode mode : {Mode::Global, Mode::Local}) {
      const CMatrix<float> result = denoise(image, mode, 20.0f, 3);
      EXPECT_EQ(result.xSize(), x);
      EXPECT_EQ(result.ySize(), y);
    }
  }
}

TEST(ClusterTreeDenoise, NoiseIsReduced) {
  // A smooth ramp plus noise: the result is closer to the ramp than the input.
  const CMatrix<float> noise = TestSupport::noisyImage(64, 64, 12, 0.0f, 15.0f);
  CMatrix<float> clean(64, 64), noisy(64, 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      clean(x, y) = 60.0f + 2.0f * x;
      noisy(x, y) = clean(x, y) + noise(x, y);
    }
  const auto error = [&](const CMatrix<float>& aImage) {
    double sum = 0;
    for (int i = 0; i < aImage.size(); ++i) sum += std::pow(aImage.data()[i] - clean.data()[i], 2);
    return sum / aImage.size();
  };
  for (Mode mode : {Mode::Global, Mode::Local}) EXPECT_LT(error(denoise(noisy, mode, 15.0f, 8)), 0.5 * error(noisy));
}

}  // namespace

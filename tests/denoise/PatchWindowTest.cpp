#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NMath.h"

namespace {

using NLMeansCommon::CPatchWindow;

TEST(PatchWindow, RadiusFourFollowsTheFormula) {
  CMatrix<float> window;
  CNLMeans::makeGaussianWindow(window, 4);
  ASSERT_EQ(window.xSize(), 9);
  ASSERT_EQ(window.ySize(), 9);
  const float s = 8.01f;
  EXPECT_EQ(static_cast<float>(4.0 * (4.0 * 0.5) + 0.01), s);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) {
      const int dx = x - 4, dy = y - 4;
      const float e = static_cast<float>(-(dx * dx + dy * dy)) / s;
      const float expected = (dx == 0 && dy == 0)
                                 ? 0.0f
                                 : static_cast<float>(std::pow(static_cast<double>(s * NMath::Pi), -0.5) *
                                                      std::exp(static_cast<double>(e)));
      EXPECT_EQ(window(x, y), expected) << x << "," << y;
    }
  // The four neighbours of the centre carry the largest weight.
  float largest = 0.0f;
  for (int i = 0; i < window.size(); ++i) largest = std::max(largest, window.data()[i]);
  EXPECT_EQ(window(3, 4), largest);
  EXPECT_EQ(window(5, 4), largest);
  EXPECT_EQ(window(4, 3), largest);
  EXPECT_EQ(window(4, 5), largest);
  // The eight pixels at (+-1, +-2) and (+-2, +-1) share one value.
  const float knight = window(5, 6);
  for (auto [x, y] : {std::pair{3, 2}, {5, 2}, {3, 6}, {2, 3}, {6, 3}, {2, 5}, {6, 5}}) EXPECT_EQ(window(x, y), knight);
}

TEST(PatchWindow, RadiusZeroIsASingleZero) {
  CMatrix<float> window;
  CNLMeans::makeGaussianWindow(window, 0);
  ASSERT_EQ(window.size(), 1);
  EXPECT_EQ(window(0, 0), 0.0f);
}

TEST(PatchDistance, IdenticalPatchesHaveDistanceZeroAndWeightOne) {
  const int X = 12, Y = 12;
  std::vector<float> image(X * Y);
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x) image[x + y * X] = static_cast<float>((x % 3) * 40 + y % 2);
  const CPatchWindow window(2);
  // Columns 3 apart and rows 2 apart repeat the pattern.
  const float d = NLMeansCommon::squareDistance(image.data(), X, 4, 4, 7, 6, window);
  EXPECT_EQ(d, 0.0f);
  EXPECT_EQ(std::exp(NLMeansCommon::sigmaKernel(20.0f) * d), 1.0f);
  float bounded = -1.0f;
  ASSERT_TRUE(NLMeansCommon::boundedDistance(image.data(), X, Y, 4, 4, 7, 6, window, bounded));
  EXPECT_EQ(bounded, d);
}

TEST(PatchDistance, BoundedEqualsSquareForInteriorPixels) {
  const int X = 20, Y = 15;
  std::vector<float> image(X * Y);
  for (int i = 0; i < X * Y; ++i) image[i] = static_cast<float>((i * 37) % 251);
  const CPatchWindow window(3);
  for (int q = 0; q < 6; ++q) {
    float bounded;
    ASSERT_TRUE(NLMeansCommon::boundedDistance(image.data(), X, Y, 5, 5, 8 + q, 3 + q, window, bounded));
    EXPECT_EQ(bounded, NLMeansCommon::squareDistance(image.data(), X, 5, 5, 8 + q, 3 + q, window));
  }
}

TEST(PatchDistance, BorderPixelsUseOnlyOffsetsInsideTheImage) {
  // A 6 x 5 image inside a larger buffer whose guard values would poison any
  // distance that read outside the image.
  const int X = 6, Y = 5;
  std::vector<float> image(X * Y);
  for (int i = 0; i < X * Y; ++i) image[i] = static_cast<float>(i % 7);
  const CPatchWindow window(2);
  float d;
  ASSERT_TRUE(NLMeansCommon::boundedDistance(image.data(), X, Y, 0, 0, 1, 1, window, d));
  // Offsets with both patches inside: dx, dy in [0, 2] for p = (0,0), q = (1,1) at most 3 and 3.
  float sum = 0, weights = 0;
  for (int dy = 0; dy <= 2; ++dy)
    for (int dx = 0; dx <= 2; ++dx) {
      if (1 + dx > X - 1 || 1 + dy > Y - 1) continue;
      const float diff = image[dx + dy * X] - image[(1 + dx) + (1 + dy) * X];
      sum += (diff * diff) * window.at(dx, dy);
      weights += window.at(dx, dy);
    }
  EXPECT_EQ(d, sum / weights);
  EXPECT_TRUE(std::isfinite(d));
}

TEST(PatchDistance, OnlyTheCentreInCommonMeansNoDistance) {
  // Opposite corners of a 3 x 3 image with radius 2: only offset (0, 0) fits both.
  std::vector<float> image(9, 10.0f);
  const CPatchWindow window(2);
  float d = -1.0f;
  EXPECT_FALSE(NLMeansCommon::boundedDistance(image.data(), 3, 3, 0, 0, 2, 2, window, d));
  EXPECT_EQ(d, -1.0f);
}

TEST(Estimate, SelfTakesTheLargestWeight) {
  NLMeansCommon::CEstimate estimate;
  estimate.add(0.5f, 100.0f);
  estimate.add(0.25f, 40.0f);
  float out = -1.0f;
  ASSERT_TRUE(estimate.store(10.0f, out));
  EXPECT_EQ(out, (0.5f * 100.0f + 0.25f * 40.0f + 0.5f * 10.0f) / (0.75f + 0.5f));

  NLMeansCommon::CEstimate nothing;
  nothing.add(0.0f, 50.0f);
  float kept = 7.0f;
  EXPECT_FALSE(nothing.store(3.0f, kept));
  EXPECT_EQ(kept, 7.0f);
}

}  // namespace

// The reference non-local means and its two windowed accelerations:
// preselection and gridding.
#include <climits>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "Exceptions.h"
#include "Preselection.h"
#include "TestSupport.h"

namespace {

using NLMeansCommon::CPatchWindow;

CNLMeans denoiser(int aPatchRadius, int aSearchRadius, float aFilterFactor = 1.0f) {
  CNLMeans nl;
  nl.patchRadius = aPatchRadius;
  nl.searchRadius = aSearchRadius;
  nl.filterFactor = aFilterFactor;
  return nl;
}

void expectSameImage(const CMatrix<float>& aActual, const CMatrix<float>& aExpected) {
  ASSERT_EQ(aActual.xSize(), aExpected.xSize());
  ASSERT_EQ(aActual.ySize(), aExpected.ySize());
  for (int y = 0; y < aActual.ySize(); ++y)
    for (int x = 0; x < aActual.xSize(); ++x) ASSERT_EQ(aActual(x, y), aExpected(x, y)) << x << "," << y;
}

// Pixel (x, y) of plain non-local means written out term by term: the kernel
// of filterFactor * sigma, candidates row by row, the pixel's own weight the
// largest one.
float plainEstimate(const CMatrix<float>& aImage, int aX, int aY, int aPatchRadius, int aSearchRadius,
                    float aFilterFactor, float aSigma) {
  CMatrix<float> window;
  CNLMeans::makeGaussianWindow(window, aPatchRadius);
  const float k = -0.5f / (aFilterFactor * (aSigma * aSigma * aFilterFactor));
  const int X = aImage.xSize(), Y = aImage.ySize(), r = aPatchRadius;
  float T = 0, A = 0, M = 0;
  for (int qy = std::max(aY - aSearchRadius, 0); qy <= std::min(aY + aSearchRadius, Y - 1); ++qy)
    for (int qx = std::max(aX - aSearchRadius, 0); qx <= std::min(aX + aSearchRadius, X - 1); ++qx) {
      if (qx == aX && qy == aY) continue;
      float S = 0, N = 0;
      for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
          if (aX + dx < 0 || qx + dx < 0 || aX + dx >= X || qx + dx >= X) continue;
          if (aY + dy < 0 || qy + dy < 0 || aY + dy >= Y || qy + dy >= Y) continue;
          const float d = aImage(aX + dx, aY + dy) - aImage(qx + dx, qy + dy);
          S += (d * d) * window(r + dx, r + dy);
          N += window(r + dx, r + dy);
        }
      const float w = expf(k * (S / N));
      M = std::max(w, M);
      T += w;
      A += w * aImage(qx, qy);
    }
  return (A + M * aImage(aX, aY)) / (T + M);
}

TEST(StandardNLMeans, MatchesThePlainFormulaAlsoAtTheBorder) {
  CMatrix<float> input = TestSupport::noisyImage(11, 9, 3);
  CMatrix<float> result(input);
  denoiser(2, 3, 0.8f).standardNLMeans(input, result, 20.0f);
  for (auto [x, y] : {std::pair{0, 0}, {10, 8}, {5, 4}, {1, 7}, {9, 0}})
    EXPECT_EQ(result(x, y), plainEstimate(input, x, y, 2, 3, 0.8f, 20.0f)) << x << "," << y;
}

TEST(StandardNLMeans, SearchRadiusZeroLeavesTheImage) {
  CMatrix<float> input = TestSupport::noisyImage(10, 8, 4);
  CMatrix<float> result(input);
  denoiser(2, 0).standardNLMeans(input, result, 20.0f);
  expectSameImage(result, input);
}

TEST(StandardNLMeans, RadiiBeyondTheImageClip) {
  CMatrix<float> input = TestSupport::noisyImage(9, 7, 5);
  CMatrix<float> clipped(input), huge(input);
  denoiser(2, 9).standardNLMeans(input, clipped, 30.0f);
  denoiser(2, INT_MAX).standardNLMeans(input, huge, 30.0f);
  expectSameImage(huge, clipped);
  CMatrix<float> negative(input);
  denoiser(2, INT_MIN).standardNLMeans(input, negative, 30.0f);
  denoiser(2, INT_MIN).preselection(input, negative, 30.0f);
  denoiser(2, INT_MIN).gridding(input, negative, 30.0f, 1);
  expectSameImage(negative, input);
  // A patch larger than the image is compared on what lies inside.
  CMatrix<float> bigPatch(input);
  denoiser(20, 3).standardNLMeans(input, bigPatch, 30.0f);
  for (int i = 0; i < bigPatch.size(); ++i) EXPECT_TRUE(std::isfinite(bigPatch.data()[i]));
}

TEST(StandardNLMeans, SkipsCandidateWithoutCommonPatch) {
  // In a 3 x 3 image with patch radius 2, opposite corners share only the
  // centre offset, which carries no weight: that candidate is skipped, not 0/0.
  CMatrix<float> input = TestSupport::noisyImage(3, 3, 6);
  CMatrix<float> result(input);
  denoiser(2, 2).standardNLMeans(input, result, 20.0f);
  for (int i = 0; i < result.size(); ++i) EXPECT_TRUE(std::isfinite(result.data()[i])) << i;
}

TEST(Variants, RejectImagesOfDifferentSizes) {
  CMatrix<float> input = TestSupport::noisyImage(8, 8, 1);
  CMatrix<float> result = TestSupport::noisyImage(8, 7, 1);
  CNLMeans nl = denoiser(1, 2);
  EXPECT_THROW(nl.standardNLMeans(input, result, 20.0f), EIncompatibleMatrices);
  EXPECT_THROW(nl.preselection(input, result, 20.0f), EIncompatibleMatrices);
  EXPECT_THROW(nl.gridding(input, result, 20.0f, 1), EIncompatibleMatrices);
  EXPECT_THROW(nl.sampling(input, result, 20.0f, 4), EIncompatibleMatrices);
  EXPECT_THROW(nl.sortingCriterion(input, result, 3), EIncompatibleMatrices);
  // The trees measure on the result and average the input: a result of
  // either other size would be read past one of its ends.
  CMatrix<float> wider = TestSupport::noisyImage(9, 8, 1);
  for (CMatrix<float>* other : {&result, &wider}) {
    EXPECT_THROW(nl.clusterTreeGlobal(input, *other, 20.0f, 0.0f), EIncompatibleMatrices);
    EXPECT_THROW(nl.clusterTreeLocal(input, *other, 20.0f, 0.0f), EIncompatibleMatrices);
    EXPECT_THROW(nl.treeLocalStep(input, *other, 20.0f, 0.0f), EIncompatibleMatrices);
  }
}

TEST(Preselection, BoundsBelongToTheAcceptedRanges) {
  using NLMeansCommon::preselectionAccepts;
  // Spread ratios: the bounds themselves pass, the next floats beyond do not.
  EXPECT_TRUE(preselectionAccepts(1.0f, 1.0f, 0.5f, 1.0f));
  EXPECT_TRUE(preselectionAccepts(1.0f, 1.0f, 1.5f, 1.0f));
  EXPECT_FALSE(preselectionAccepts(1.0f, 1.0f, std::nextafter(0.5f, 0.0f), 1.0f));
  EXPECT_FALSE(preselectionAccepts(1.0f, 1.0f, std::nextafter(1.5f, 2.0f), 1.0f));
  // Mean ratios are compared in double against 0.95 and 1.05, which no float
  // equals: the floats nearest to them inside the range pass, the next ones
  // outside do not. (The float 0.95f lies just below 0.95.)
  const float low = std::nextafter(0.95f, 1.0f), high = 1.05f;
  ASSERT_GT(static_cast<double>(low), 0.95);
  ASSERT_LT(static_cast<double>(high), 1.05);
  EXPECT_TRUE(preselectionAccepts(low, 1.0f, 1.0f, 1.0f));
  EXPECT_TRUE(preselectionAccepts(high, 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(preselectionAccepts(0.95f, 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(preselectionAccepts(std::nextafter(high, 2.0f), 1.0f, 1.0f, 1.0f));
  // Both ratios 1 within a constant region.
  EXPECT_TRUE(preselectionAccepts(80.0f, 80.0f, 3.0f, 3.0f));
}

TEST(Preselection, ZeroStatistics) {
  using NLMeansCommon::preselectionAccepts;
  // A zero mean against a non-zero one is an infinite ratio and fails ...
  EXPECT_FALSE(preselectionAccepts(50.0f, 0.0f, 1.0f, 1.0f));
  EXPECT_FALSE(preselectionAccepts(0.0f, 50.0f, 1.0f, 1.0f));
  // ... while two zeros make a ratio that is not a number, which passes.
  EXPECT_TRUE(preselectionAccepts(0.0f, 0.0f, 1.0f, 1.0f));
  EXPECT_TRUE(preselectionAccepts(10.0f, 10.0f, 0.0f, 0.0f));
  EXPECT_FALSE(preselectionAccepts(10.0f, 10.0f, 1.0f, 0.0f));
}

TEST(Preselection, DropsCandidatesOfAnotherMean) {
  // Columns 0-5 at 100, 6-11 at 200. With a wide kernel the plain method
  // mixes the two halves into the pixels near the edge; preselection only
  // averages patches whose mean matches.
  CMatrix<float> input(12, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 12; ++x) input(x, y) = x < 6 ? 100.0f : 200.0f;
  CMatrix<float> plain(input), preselected(input);
  denoiser(1, 2, 10.0f).standardNLMeans(input, plain, 20.0f);
  denoiser(1, 2, 10.0f).preselection(input, preselected, 20.0f);
  EXPECT_GT(plain(4, 3), 110.0f);
  EXPECT_LT(plain(7, 3), 190.0f);
  EXPECT_NEAR(preselected(4, 3), 100.0f, 1e-3f);
  EXPECT_NEAR(preselected(4, 1), 100.0f, 1e-3f);
  EXPECT_NEAR(preselected(7, 3), 200.0f, 1e-3f);
}

TEST(Preselection, ConstantImageStaysConstant) {
  CMatrix<float> input(9, 8);
  input.fill(77.0f);
  CMatrix<float> result(input);
  denoiser(2, 3).preselection(input, result, 20.0f);
  expectSameImage(result, input);
}

TEST(Gridding, TileHalfSizeZeroIsTheReferenceMethod) {
  CMatrix<float> input = TestSupport::noisyImage(13, 11, 8);
  CMatrix<float> reference(input), gridded(input);
  denoiser(2, 3, 0.7f).standardNLMeans(input, reference, 20.0f);
  denoiser(2, 3, 0.7f).gridding(input, gridded, 20.0f, 0);
  expectSameImage(gridded, reference);
}

// Every pixel of a tile written out: the centre's weights against its
// candidates, each candidate moved by the pixel's offset and used when the
// moved pixel lies inside the image; the self weight is the largest weight.
CMatrix<float> plainGridding(const CMatrix<float>& aImage, int aPatchRadius, int aSearchRadius, float aKernel,
                             int aHalf) {
  const int X = aImage.xSize(), Y = aImage.ySize(), side = 2 * aHalf + 1;
  const CPatchWindow window(aPatchRadius);
  CMatrix<float> out(aImage);
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x) {
      const int cx = x / side * side + aHalf, cy = y / side * side + aHalf;
      const int ox = x - cx, oy = y - cy;
      float P = 0, Q = 0, M = 0;
      for (int qy = std::max(cy - aSearchRadius, 0); qy <= std::min(cy + aSearchRadius, Y - 1); ++qy)
        for (int qx = std::max(cx - aSearchRadius, 0); qx <= std::min(cx + aSearchRadius, X - 1); ++qx) {
          if (qx == cx && qy == cy) continue;
          float d;
          if (!NLMeansCommon::boundedDistance(aImage.data(), X, Y, cx, cy, qx, qy, window, d)) continue;
          const float b = expf(aKernel * d);
          M = std::max(b, M);
          if (qx + ox < 0 || qx + ox >= X || qy + oy < 0 || qy + oy >= Y) continue;
          P = b * aImage(qx + ox, qy + oy) + P;
          Q += b;
        }
      if (M + Q > 0) out(x, y) = (P + M * aImage(x, y)) / (Q + M);
    }
  return out;
}

TEST(Gridding, TilesReuseTheCentresWeights) {
  // 17 x 12 with tiles of 5: the last tile column has two pixels and its
  // centre lies outside the image, the last tile row likewise.
  CMatrix<float> input = TestSupport::noisyImage(17, 12, 9);
  CMatrix<float> result(input);
  CNLMeans nl = denoiser(2, 3, 0.9f);
  nl.gridding(input, result, 20.0f, 2);
  expectSameImage(result, plainGridding(input, 2, 3, NLMeansCommon::filterKernel(0.9f, 20.0f), 2));
}

TEST(Gridding, OutOfRangeTileSizes) {
  CMatrix<float> input = TestSupport::noisyImage(9, 7, 10);
  CMatrix<float> result(input);
  denoiser(1, 3).gridding(input, result, 20.0f, -1);
  expectSameImage(result, input);
  // The one tile's centre lies so far outside that no patch reaches it.
  denoiser(1, 3).gridding(input, result, 20.0f, INT_MAX);
  expectSameImage(result, input);
  denoiser(1, INT_MAX).gridding(input, result, 20.0f, 5);
  for (int i = 0; i < result.size(); ++i) EXPECT_TRUE(std::isfinite(result.data()[i]));
}

TEST(Gridding, ConstantImageStaysConstant) {
  CMatrix<float> input(10, 10);
  input.fill(42.0f);
  CMatrix<float> result(input);
  denoiser(2, 4).gridding(input, result, 20.0f, 1);
  expectSameImage(result, input);
}

}  // namespace

// Random-sampling non-local means. The draws come from the process's one
// rand() sequence, so these tests look only at what any draw may or may not
// do, never at which values were drawn.
#include <climits>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "TestSupport.h"

namespace {

CNLMeans denoiser(int aPatchRadius, int aSearchRadius) {
  CNLMeans nl;
  nl.patchRadius = aPatchRadius;
  nl.searchRadius = aSearchRadius;
  nl.filterFactor = 1.0f;
  return nl;
}

void expectUnchanged(const CMatrix<float>& aResult, const CMatrix<float>& aInput) {
  for (int i = 0; i < aInput.size(); ++i) ASSERT_EQ(aResult.data()[i], aInput.data()[i]) << i;
}

TEST(Sampling, NothingToDrawLeavesTheImage) {
  CMatrix<float> input = TestSupport::noisyImage(12, 10, 21);
  CMatrix<float> result(input);
  denoiser(2, 4).sampling(input, result, 20.0f, 0);
  expectUnchanged(result, input);
  denoiser(2, 4).sampling(input, result, 20.0f, -3);
  expectUnchanged(result, input);
  // Offsets lie in [-R, R - 1]: with R below 1 there is no room for any.
  denoiser(2, 0).sampling(input, result, 20.0f, 10);
  expectUnchanged(result, input);
  denoiser(2, -2).sampling(input, result, 20.0f, 10);
  expectUnchanged(result, input);
}

TEST(Sampling, NeverAcceptsAnOffsetOfR) {
  // A black image with one bright pixel s. Patch distances leave the centre
  // out, so s is as good a candidate as any; a pixel p comes out above 0
  // exactly when s was accepted as one of its candidates, that is at offset
  // s - p. Asking for every position makes each pixel draw a few hundred times.
  const int R = 3, X = 31, Y = 31, sx = 15, sy = 15;
  CMatrix<float> input(X, Y);
  input.fill(0.0f);
  input(sx, sy) = 255.0f;
  CMatrix<float> result(input);
  denoiser(1, R).sampling(input, result, 20.0f, (2 * R) * (2 * R) - 1);
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x) {
      if (x == sx && y == sy) continue;
      const int dx = sx - x, dy = sy - y;
      if (dx < -R || dx > R - 1 || dy < -R || dy > R - 1) {
        EXPECT_EQ(result(x, y), 0.0f) << "offset " << dx << "," << dy;
      }
    }
  // Offsets just inside the range are drawn often and do contribute.
  EXPECT_GT(result(sx - (R - 1), sy), 0.0f);
  EXPECT_GT(result(sx + (R - 1), sy), 0.0f);
  EXPECT_GT(result(sx, sy - (R - 1)), 0.0f);
}

TEST(Sampling, CrowdedCornersEndAndStayFinite) {
  // Far more samples asked for than positions exist: every pixel gives up
  // after 5 * count failed draws and keeps what it found.
  CMatrix<float> input = TestSupport::noisyImage(4, 3, 22);
  CMatrix<float> result(input);
  denoiser(1, 2).sampling(input, result, 20.0f, 40);
  for (int i = 0; i < result.size(); ++i) EXPECT_TRUE(std::isfinite(result.data()[i])) << i;
  // A single pixel has no candidate at all.
  CMatrix<float> single(1, 1);
  single(0, 0) = 9.0f;
  CMatrix<float> singleResult(single);
  denoiser(1, 2).sampling(single, singleResult, 20.0f, 3);
  EXPECT_EQ(singleResult(0, 0), 9.0f);
}

TEST(Sampling, AnySearchRadiusIsSafe) {
  // Offsets of up to about 3.3 R are drawn; far outside the image they are
  // simply rejected.
  CMatrix<float> input = TestSupport::noisyImage(6, 5, 23);
  CMatrix<float> result(input);
  denoiser(1, INT_MAX).sampling(input, result, 20.0f, 3);
  for (int i = 0; i < result.size(); ++i) EXPECT_TRUE(std::isfinite(result.data()[i])) << i;
  CMatrix<float> negative(input);
  denoiser(1, INT_MIN).sampling(input, negative, 20.0f, 3);
  expectUnchanged(negative, input);
}

TEST(Sampling, ConstantImageStaysConstant) {
  CMatrix<float> input(16, 16);
  input.fill(64.0f);
  CMatrix<float> result(input);
  denoiser(2, 4).sampling(input, result, 20.0f, 12);
  expectUnchanged(result, input);
}

}  // namespace

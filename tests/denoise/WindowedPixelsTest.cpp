// The windowed pixels of the tree denoisers' borders and gaps: every pixel
// of the mask is estimated exactly once, as the plain loop estimates it,
// whether it falls in a run along a row, a run along a column or neither.
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "TestSupport.h"
#include "WindowedPixels.h"

namespace {

using NLMeansCommon::CEstimate;
using NLMeansCommon::CPatchWindow;

bool sameBits(float aA, float aB) { return std::memcmp(&aA, &aB, sizeof aA) == 0; }

void expectPlainEstimates(int aXSize, int aYSize, const std::vector<std::uint8_t>& aMask, int aPatchRadius,
                          int aSearchRadius) {
  const CMatrix<float> image = TestSupport::noisyImage(aXSize, aYSize, static_cast<unsigned>(aXSize * 31 + aYSize));
  const CMatrix<float> values = TestSupport::noisyImage(aXSize, aYSize, 3);
  const CPatchWindow window(aPatchRadius);
  const float k = NLMeansCommon::sigmaKernel(20.0f);
  const CWindowedPixels pixels(image.data(), values.data(), aXSize, aYSize, aMask, aSearchRadius, k, window);
  std::vector<int> times(aMask.size(), 0);
  std::vector<CEstimate> estimates(aMask.size());
  int counted = 0;
  for (int job = 0; job < pixels.jobs(); ++job) {
    counted += pixels.pixels(job);
    pixels.run(
        job,
        [&](int aPixel, const CEstimate& aEstimate) {
          ++times[aPixel];
          estimates[aPixel] = aEstimate;
        },
        [] {});
  }
  int masked = 0;
  for (int y = 0; y < aYSize; ++y)
    for (int x = 0; x < aXSize; ++x) {
      const int at = x + y * aXSize;
      masked += aMask[at];
      ASSERT_EQ(times[at], aMask[at] ? 1 : 0) << aXSize << "x" << aYSize << " at " << x << "," << y;
      if (!aMask[at]) continue;
      const CEstimate plain =
          NLMeansCommon::windowedEstimate(image.data(), values.data(), aXSize, aYSize, x, y, aSearchRadius, k, window);
      ASSERT_TRUE(sameBits(estimates[at].weightSum, plain.weightSum) &&
                  sameBits(estimates[at].weightedSum, plain.weightedSum) &&
                  sameBits(estimates[at].maxWeight, plain.maxWeight))
          << aXSize << "x" << aYSize << " at " << x << "," << y;
    }
  EXPECT_EQ(counted, masked);
}

TEST(WindowedPixels, BordersAreEstimatedOnceEachAsThePlainLoopDoes) {
  // A frame of width r, as global mode's border: runs along the top and
  // bottom rows, along the columns at the sides, single pixels at the corners.
  const int X = 60, Y = 50, r = 2;
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(X) * Y, 0);
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x) frame[x + y * X] = x < r || x >= X - r || y < r || y >= Y - r;
  expectPlainEstimates(X, Y, frame, r, 6);
}

TEST(WindowedPixels, ScatteredMasksAndSmallImagesTakeWhatFits) {
  std::mt19937 generator(17);
  for (const auto& size : {std::pair<int, int>{45, 38}, {7, 30}, {30, 5}, {1, 1}, {20, 20}}) {
    for (const int density : {20, 60, 100}) {
      std::vector<std::uint8_t> mask(static_cast<std::size_t>(size.first) * size.second);
      for (std::uint8_t& m : mask) m = static_cast<int>(generator() % 100) < density ? 1 : 0;
      expectPlainEstimates(size.first, size.second, mask, 1, 3);
    }
  }
  // Nothing to estimate: no job.
  const CPatchWindow window(1);
  const std::vector<float> image(16, 1.0f);
  const CWindowedPixels none(image.data(), image.data(), 4, 4, std::vector<std::uint8_t>(16, 0), 2, -0.01f, window);
  EXPECT_EQ(none.jobs(), 0);
}

}  // namespace

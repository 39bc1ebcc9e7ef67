#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "PairedWindows.h"
#include "Parallel.h"
#include "Progress.h"
#include "Preselection.h"

using namespace NLMeansCommon;

namespace {

// Window-weighted mean and spread of the patch of every pixel, over the part of
// the patch inside the image. The spread is (sum w v^2 - m^2) / N with m the
// already normalised mean: that is the statistic the bounds were chosen for.
void patchStatistics(const std::vector<float>& aImage, int aXSize, int aYSize, const CPatchWindow& aWindow,
                     std::vector<float>& aMean, std::vector<float>& aSpread) {
  const int r = aWindow.radius;
  NParallel::parallelFor(aYSize, [&](int y) {
    for (int x = 0; x < aXSize; ++x) {
      const int dxLow = std::max(-r, -x), dxHigh = std::min(r, aXSize - 1 - x);
      const int dyLow = std::max(-r, -y), dyHigh = std::min(r, aYSize - 1 - y);
      float mean = 0.0f, spread = 0.0f, weightSum = 0.0f;
      for (int dy = dyLow; dy <= dyHigh; ++dy)
        for (int dx = dxLow; dx <= dxHigh; ++dx) {
          const float w = aWindow.at(dx, dy);
          const float v = aImage[(x + dx) + (y + dy) * aXSize];
          mean = w * v + mean;
          spread = v * (v * w) + spread;
          weightSum += w;
        }
      const float c = 1.0f / weightSum;
      mean = c * mean;
      aMean[x + y * aXSize] = mean;
      aSpread[x + y * aXSize] = (spread - mean * mean) * c;
    }
  });
}

}  // namespace

void CNLMeans::preselection(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  std::vector<float> mean(copy.size()), spread(copy.size());
  patchStatistics(copy, xSize, ySize, window, mean, spread);
  const float kernel = filterKernel(filterFactor, aSigma);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  const float* values = aInput.data();
  float* out = aResult.data();
  if (CPairedWindows::serves(xSize, ySize, radius)) {
    // Each pair weighed once (the weight is symmetric, the test is not: it
    // is taken for each pixel's own candidates); bands of rows are
    // independent.
    const CPairedWindows bands(copy.data(), values, xSize, ySize, radius, kernel, window, NParallel::threadCount(),
                               mean.data(), spread.data());
    // Bands are long: progress is counted in rows.
    NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
    NLMeansProgress::CCounter rows(denoising);
    NParallel::parallelFor(bands.jobs(), [&](int aJob) {
      bands.run(
          aJob, [&](int aPixel, const CEstimate& aEstimate) { aEstimate.store(values[aPixel], out[aPixel]); },
          [&] { rows.add(1); });
    }, rows.tasksDone());
    return;
  }
  // Rows are independent: each reads the private copy and the statistics and
  // writes only itself. All distances of a window are taken side by side; a
  // candidate the test drops never enters the estimate.
  NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
  NParallel::parallelFor(ySize, [&](int y) {
    NLMeansKernels::CRowDistances rowDistances(copy.data(), xSize, ySize, radius, window);
    std::vector<float> weights(NLMeansKernels::largestWindow(xSize, ySize, radius));
    for (int x = 0; x < xSize; ++x) {
      const int p = x + y * xSize;
      const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(xSize, ySize, x, y, radius);
      const float* distances;
      const std::uint8_t* defined;
      rowDistances.at(x, y, distances, defined);
      NLMeansKernels::windowWeights(distances, defined, bounds.count(), kernel, weights.data());
      CEstimate estimate;
      int i = 0;
      for (int qy = bounds.yLow; qy <= bounds.yHigh; ++qy)
        for (int qx = bounds.xLow; qx <= bounds.xHigh; ++qx, ++i) {
          const int q = qx + qy * xSize;
          if (!preselectionAccepts(mean[p], mean[q], spread[p], spread[q])) continue;
          if (q == p || !defined[i]) continue;
          estimate.add(weights[i], values[q]);
        }
      estimate.store(values[p], out[p]);
    }
  }, NLMeansProgress::tasksDone(denoising));
}

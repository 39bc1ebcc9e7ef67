#include <cmath>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"

void CNLMeans::clusterTreeLocal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  const int X = aInput.xSize(), Y = aInput.ySize();
  const int r = patchRadius;
  const int R = searchRadius;
  const int blockSize = 2 * (r + R) + 1;
  const int step = static_cast<int>(blockSize * 0.5);
  const int halfStep = step >> 1;
  const float blend = static_cast<float>(1.0 / static_cast<double>(step * step));

  std::vector<float> estimates(static_cast<std::size_t>(X) * Y, 0.0f);
  std::vector<float> blendWeights(static_cast<std::size_t>(X) * Y, 0.0f);
  const NLMeansCommon::CPatchWindow window(r);
  const float k = NLMeansCommon::sigmaKernel(aSigma);

  // A step below 1 would never advance (very negative search radii): then no
  // block is formed and every pixel takes the windowed fallback.
  if (step >= 1) {
    for (int by = 0; by < Y - halfStep; by += step)
      for (int bx = 0; bx < X - halfStep; bx += step) {
        // A block that reaches the right or bottom edge stops one short of it.
        const int w = bx + blockSize >= X ? X - bx - 1 : blockSize;
        if (w <= 2 * r) continue;
        const int h = by + blockSize >= Y ? Y - by - 1 : blockSize;
        if (h <= 2 * r) continue;
        CMatrix<float> blockInput(w, h), blockResult(w, h);
        for (int i = 0; i < h; ++i)
          for (int j = 0; j < w; ++j) {
            blockInput(j, i) = aInput(bx + j, by + i);
            blockResult(j, i) = aResult(bx + j, by + i);
          }
        treeLocalStep(blockInput, blockResult, aSigma, aOverlap);
        // Blend with a Gaussian of standard deviation step around the block's centre.
        for (int i = r; i <= h - 1 - r; ++i)
          for (int j = r; j <= w - 1 - r; ++j) {
            const int squared = (i - step) * (i - step) + (j - step) * (j - step);
            const float beta =
                static_cast<float>(std::exp(static_cast<double>(squared) * -0.5 * static_cast<double>(blend)));
            const std::size_t at = static_cast<std::size_t>(bx + j) + static_cast<std::size_t>(by + i) * X;
            estimates[at] += beta * blockResult(j, i);
            blendWeights[at] += beta;
          }
      }
  }

  // Pixels inside no block: windowed non-local means on the entry values.
  const float* entry = aResult.data();
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x) {
      const std::size_t at = static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * X;
      if (blendWeights[at] > 0.0f) continue;
      const NLMeansCommon::CEstimate estimate =
          NLMeansCommon::windowedEstimate(entry, aInput.data(), X, Y, x, y, R, k, window);
      estimates[at] = entry[at];
      estimate.store(aInput(x, y), estimates[at]);
      blendWeights[at] = 1.0f;
    }

  for (std::size_t i = 0; i < estimates.size(); ++i) aResult.data()[i] = estimates[i] / blendWeights[i];
}

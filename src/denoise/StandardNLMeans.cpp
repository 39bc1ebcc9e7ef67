#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "Parallel.h"
#include "Progress.h"

using namespace NLMeansCommon;

void CNLMeans::standardNLMeans(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  const float* values = aInput.data();
  float* out = aResult.data();
  // Rows are independent: each reads the private copy and writes only itself.
  NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
  const NLMeansKernels::CRunPlanes planes{copy.data(), values, xSize, ySize, 1, xSize};
  NParallel::parallelFor(ySize, [&](int y) {
    for (int x = 0; x < xSize;) {
      const int at = x + y * xSize;
      if (NLMeansKernels::windowedRunFits(planes, x, y, radius, window)) {
        // Away from the sides, eight pixels side by side.
        NLMeansCommon::CEstimate run[NLMeansKernels::kRunLength];
        NLMeansKernels::windowedRunEstimates(planes, x, y, radius, kernel, window, run);
        for (int l = 0; l < NLMeansKernels::kRunLength; ++l) run[l].store(values[at + l], out[at + l]);
        x += NLMeansKernels::kRunLength;
        continue;
      }
      NLMeansKernels::windowedEstimate(copy.data(), values, xSize, ySize, x, y, radius, kernel, window)
          .store(values[at], out[at]);
      ++x;
    }
  }, NLMeansProgress::tasksDone(denoising));
}

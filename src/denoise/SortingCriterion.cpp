#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "BestCandidates.h"
#include "CElement.h"
#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "Parallel.h"
#include "Progress.h"

using namespace NLMeansCommon;

void CNLMeans::sortingCriterion(CMatrix<float>& aInput, CMatrix<float>& aResult, int aBest) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  if (aBest < 1 || searchRadius < 0) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  const float* values = aInput.data();
  float* out = aResult.data();
  // Each pixel ranks its own candidates: rows are independent, and the same
  // list in the same order sorts the same way on any thread.
  NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
  NParallel::parallelFor(ySize, [&](int y) {
    std::vector<CElement> best, list;
    NLMeansKernels::CRowDistances rowDistances(copy.data(), xSize, ySize, radius, window);
    std::vector<float> ranks(NLMeansKernels::largestWindow(xSize, ySize, radius));
    std::vector<int> which;
    for (int x = 0; x < xSize; ++x) {
      const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(xSize, ySize, x, y, radius);
      const float* distances;
      const std::uint8_t* defined;
      rowDistances.at(x, y, distances, defined);
      // Without a common weighted offset a candidate ranks last.
      const int total = bounds.count();
      for (int i = 0; i < total; ++i) ranks[i] = defined[i] ? distances[i] : std::numeric_limits<float>::infinity();
      const int width = bounds.width();
      const auto candidate = [&](int aIndex) {
        CElement element;
        element.distance = ranks[aIndex];
        element.value = values[(bounds.xLow + aIndex % width) + (bounds.yLow + aIndex / width) * xSize];
        return element;
      };
      // Near the border a pixel has fewer candidates than elsewhere.
      const int used = std::min(aBest, total);
      bestOfRanks(used, ranks.data(), total, candidate, best, list, which);
      float sum = 0.0f;
      for (int k = 0; k < used; ++k) sum += best[k].value;
      out[x + y * xSize] = sum / static_cast<float>(used);
    }
  }, NLMeansProgress::tasksDone(denoising));
}

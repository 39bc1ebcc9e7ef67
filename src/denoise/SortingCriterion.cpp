#include <algorithm>
#include <vector>

#include "BestCandidates.h"
#include "CElement.h"
#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "PairedDistances.h"
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
  // Each pixel ranks its own candidates (keys over its window, in list
  // order); the same list in the same order sorts the same way on any thread.
  struct CScratch {
    std::vector<CElement> best, list;
    std::vector<int> which;
  };
  const auto estimate = [&](int aX, int aY, const float* aRanks, CScratch& aScratch) {
    const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(xSize, ySize, aX, aY, radius);
    const int total = bounds.count(), width = bounds.width();
    const auto candidate = [&](int aIndex) {
      CElement element;
      element.distance = aRanks[aIndex];
      element.value = values[(bounds.xLow + aIndex % width) + (bounds.yLow + aIndex / width) * xSize];
      return element;
    };
    // Near the border a pixel has fewer candidates than elsewhere.
    const int used = std::min(aBest, total);
    bestOfRanks(used, aRanks, total, candidate, aScratch.best, aScratch.list, aScratch.which);
    float sum = 0.0f;
    for (int k = 0; k < used; ++k) sum += aScratch.best[k].value;
    out[aX + aY * xSize] = sum / static_cast<float>(used);
  };
  if (CPairedDistances::serves(xSize, ySize, radius)) {
    // Each pair measured once; bands of rows are independent.
    const CPairedDistances bands(copy.data(), xSize, ySize, radius, window, NParallel::threadCount());
    // Bands are long: progress is counted in rows.
    NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
    NLMeansProgress::CCounter rows(denoising);
    NParallel::parallelFor(bands.jobs(), [&](int aJob) {
      CScratch scratch;
      bands.run(
          aJob, [&](int aX, int aY, const float* aRanks) { estimate(aX, aY, aRanks, scratch); }, [&] { rows.add(1); });
    }, rows.tasksDone());
    return;
  }
  // Rows are independent.
  NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
  NParallel::parallelFor(ySize, [&](int y) {
    CScratch scratch;
    NLMeansKernels::CRowDistances rowDistances(copy.data(), xSize, ySize, radius, window);
    std::vector<float> ranks(NLMeansKernels::largestWindow(xSize, ySize, radius));
    for (int x = 0; x < xSize; ++x) {
      rowDistances.ranksAt(x, y, ranks.data());
      estimate(x, y, ranks.data(), scratch);
    }
  }, NLMeansProgress::tasksDone(denoising));
}

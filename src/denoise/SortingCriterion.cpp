#include <algorithm>
#include <vector>

#include "CElement.h"
#include "CNLMeans.h"
#include "CNLMeansCommon.h"

using namespace NLMeansCommon;

void CNLMeans::sortingCriterion(CMatrix<float>& aInput, CMatrix<float>& aResult, int aBest) {
  requireSameSize(aInput, aResult);
  if (aBest < 1 || searchRadius < 0) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  std::vector<CElement> candidates;
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      candidates.clear();
      const int yLow = std::max(y - radius, 0), yHigh = std::min(y + radius, ySize - 1);
      const int xLow = std::max(x - radius, 0), xHigh = std::min(x + radius, xSize - 1);
      for (int qy = yLow; qy <= yHigh; ++qy)
        for (int qx = xLow; qx <= xHigh; ++qx) {
          CElement candidate;
          candidate.distance = rankingDistance(copy.data(), xSize, ySize, x, y, qx, qy, window);
          candidate.value = aInput(qx, qy);
          candidates.push_back(candidate);
        }
      std::sort(candidates.begin(), candidates.end());
      // Near the border a pixel has fewer candidates than elsewhere.
      const int used = std::min(aBest, static_cast<int>(candidates.size()));
      float sum = 0.0f;
      for (int i = 0; i < used; ++i) sum += candidates[i].value;
      aResult(x, y) = sum / static_cast<float>(used);
    }
}

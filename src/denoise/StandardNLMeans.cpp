#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"

using namespace NLMeansCommon;

void CNLMeans::standardNLMeans(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma) {
  requireSameSize(aInput, aResult);
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x)
      windowedEstimate(copy.data(), aInput.data(), xSize, ySize, x, y, radius, kernel, window)
          .store(aInput(x, y), aResult(x, y));
}

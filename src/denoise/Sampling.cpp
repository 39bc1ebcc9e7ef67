#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"

using namespace NLMeansCommon;

namespace {

// One standard normal value from two draws of rand() (Box-Muller); a zero
// first draw gives 0.
float gaussianDraw(int aT, int aU) {
  const float scale = 4.656613e-10f;  // 2^-31
  const float f = static_cast<float>(aT) * scale;
  if (!(f > 0.0f)) return 0.0f;
  const double angle = static_cast<double>(static_cast<float>(aU) * scale) * 6.2831853072;
  return static_cast<float>(std::sqrt(std::log(static_cast<double>(f)) * -2.0) * std::cos(angle));
}

}  // namespace

void CNLMeans::sampling(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aCount) {
  requireSameSize(aInput, aResult);
  // With R below 1 the offset range [-R, R - 1] holds no candidate.
  if (searchRadius < 1 || aCount < 1) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const double scale = static_cast<double>(searchRadius) * 0.5;
  const long long radius = searchRadius;
  const long long maxFailures = 5LL * aCount;
  const float* values = aInput.data();
  // Drawn positions of the current pixel, kept only over the part of its
  // offset range [-R, R - 1]^2 that lies inside the image.
  std::vector<unsigned char> drawn;
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      const int xLow = static_cast<int>(std::max(x - radius, 0LL));
      const int xHigh = static_cast<int>(std::min(x + radius - 1, xSize - 1LL));
      const int yLow = static_cast<int>(std::max(y - radius, 0LL));
      const int yHigh = static_cast<int>(std::min(y + radius - 1, ySize - 1LL));
      const int maskWidth = xHigh - xLow + 1;
      drawn.assign(static_cast<size_t>(maskWidth) * (yHigh - yLow + 1), 0);
      drawn[(x - xLow) + (y - yLow) * maskWidth] = 1;  // never the pixel itself
      CEstimate estimate;
      int accepted = 0;
      long long failures = 0;
      while (accepted < aCount) {
        const int t1 = std::rand();
        const int u1 = std::rand();
        const int t2 = std::rand();
        const int u2 = std::rand();
        const float g1 = gaussianDraw(t1, u1), g2 = gaussianDraw(t2, u2);
        if (++failures > maxFailures) break;
        // Truncated toward zero; 64 bits hold the product for any radius.
        const long long qx = x + static_cast<long long>(static_cast<double>(g1) * scale);
        const long long qy = y + static_cast<long long>(static_cast<double>(g2) * scale);
        if (qx < xLow || qx > xHigh || qy < yLow || qy > yHigh) continue;
        unsigned char& mark = drawn[(qx - xLow) + (qy - yLow) * maskWidth];
        if (mark) continue;
        mark = 1;
        ++accepted;
        failures = 0;
        float distance;
        if (boundedDistance(copy.data(), xSize, ySize, x, y, static_cast<int>(qx), static_cast<int>(qy), window,
                            distance))
          estimate.add(std::exp(kernel * distance), values[qx + qy * xSize]);
      }
      estimate.store(values[x + y * xSize], aResult(x, y));
    }
}

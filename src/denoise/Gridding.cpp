#include <algorithm>
#include <cmath>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"

using namespace NLMeansCommon;

// Tile positions are taken in 64 bits: a tile half size far beyond the image
// puts the centre of the one tile far outside it.
void CNLMeans::gridding(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aTileHalfSize) {
  requireSameSize(aInput, aResult);
  // A negative tile half size has no tile, a negative search radius no candidate.
  if (aTileHalfSize < 0 || searchRadius < 0) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const long long a = aTileHalfSize, side = 2 * a + 1, radius = searchRadius, r = patchRadius;
  const float* values = aInput.data();
  // One running estimate per tile pixel inside the image; the self weight M is
  // the tile's and is set when the tile is written.
  std::vector<CEstimate> tile;
  for (long long ty = 0; ty < ySize; ty += side)
    for (long long tx = 0; tx < xSize; tx += side) {
      const long long cxLong = tx + a, cyLong = ty + a;
      // A centre more than r outside the image shares no patch offset with any
      // candidate: no weight, and the tile keeps its values.
      if (cxLong - r > xSize - 1 || cyLong - r > ySize - 1) continue;
      const int cx = static_cast<int>(cxLong), cy = static_cast<int>(cyLong);
      // Tile pixels inside the image: offsets [-a, oxHigh] x [-a, oyHigh].
      const int oxHigh = static_cast<int>(std::min(a, xSize - 1 - cxLong));
      const int oyHigh = static_cast<int>(std::min(a, ySize - 1 - cyLong));
      const int tileWidth = static_cast<int>(oxHigh + a + 1), tileHeight = static_cast<int>(oyHigh + a + 1);
      tile.assign(static_cast<size_t>(tileWidth) * tileHeight, CEstimate());
      float maxWeight = 0.0f;
      const int yLow = static_cast<int>(std::max(cyLong - radius, 0LL));
      const int yHigh = static_cast<int>(std::min(cyLong + radius, ySize - 1LL));
      const int xLow = static_cast<int>(std::max(cxLong - radius, 0LL));
      const int xHigh = static_cast<int>(std::min(cxLong + radius, xSize - 1LL));
      for (int qy = yLow; qy <= yHigh; ++qy)
        for (int qx = xLow; qx <= xHigh; ++qx) {
          if (qx == cx && qy == cy) continue;
          float distance;
          if (!boundedDistance(copy.data(), xSize, ySize, cx, cy, qx, qy, window, distance)) continue;
          const float weight = std::exp(kernel * distance);
          maxWeight = std::max(weight, maxWeight);
          // Offsets at which both the moved candidate and the tile pixel lie
          // inside the image; the others could never be written.
          const int oyLow = static_cast<int>(std::max(-a, static_cast<long long>(-qy)));
          const int oyTop = std::min(oyHigh, ySize - 1 - qy);
          const int oxLow = static_cast<int>(std::max(-a, static_cast<long long>(-qx)));
          const int oxTop = std::min(oxHigh, xSize - 1 - qx);
          for (int oy = oyLow; oy <= oyTop; ++oy)
            for (int ox = oxLow; ox <= oxTop; ++ox) {
              CEstimate& e = tile[(ox + a) + tileWidth * (oy + a)];
              e.weightedSum = weight * values[(qx + ox) + (qy + oy) * xSize] + e.weightedSum;
              e.weightSum += weight;
            }
        }
      for (int oy = static_cast<int>(-a); oy <= oyHigh; ++oy)
        for (int ox = static_cast<int>(-a); ox <= oxHigh; ++ox) {
          CEstimate& e = tile[(ox + a) + tileWidth * (oy + a)];
          e.maxWeight = maxWeight;
          e.store(values[(cx + ox) + (cy + oy) * xSize], aResult(cx + ox, cy + oy));
        }
    }
}

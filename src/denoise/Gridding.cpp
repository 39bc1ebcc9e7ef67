#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "Parallel.h"
#include "Progress.h"

using namespace NLMeansCommon;

// Tile positions are taken in 64 bits: a tile half size far beyond the image
// puts the centre of the one tile far outside it.
void CNLMeans::gridding(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aTileHalfSize) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  // A negative tile half size has no tile, a negative search radius no candidate.
  if (aTileHalfSize < 0 || searchRadius < 0) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const long long a = aTileHalfSize, side = 2 * a + 1, r = patchRadius;
  const float* values = aInput.data();
  float* out = aResult.data();
  const int tileRows = static_cast<int>((ySize + side - 1) / side);
  // Tiles are independent: each reads the private copy and writes only its
  // own pixels. One task per row of tiles.
  NLMeansProgress::CPhase denoising(progress, "denoising", tileRows);
  NParallel::parallelFor(tileRows, [&](int aTileRow) {
    // One running estimate per tile pixel inside the image; the self weight M
    // is the tile's and is set when the tile is written.
    std::vector<CEstimate> tile;
    // Distances, then in place their weights.
    std::vector<float> weights(NLMeansKernels::largestWindow(xSize, ySize, searchRadius));
    std::vector<std::uint8_t> defined(weights.size());
    const long long ty = aTileRow * side;
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
      const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(xSize, ySize, cx, cy, searchRadius);
      NLMeansKernels::windowDistances(copy.data(), xSize, ySize, cx, cy, bounds, window, weights.data(),
                                      defined.data());
      NLMeansKernels::windowWeights(weights.data(), defined.data(), bounds.count(), kernel, weights.data());
      int i = 0;
      for (int qy = bounds.yLow; qy <= bounds.yHigh; ++qy)
        for (int qx = bounds.xLow; qx <= bounds.xHigh; ++qx, ++i) {
          if ((qx == cx && qy == cy) || !defined[i]) continue;
          const float weight = weights[i];
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
          e.store(values[(cx + ox) + (cy + oy) * xSize], out[(cx + ox) + (cy + oy) * xSize]);
        }
    }
  }, NLMeansProgress::tasksDone(denoising));
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "Parallel.h"
#include "Progress.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

using namespace NLMeansCommon;

namespace {

#ifdef TEXTURE_HAVE_X86
// The sums of a whole tile of (2A + 1)^2 pixels whose every candidate, moved
// by any tile offset, stays inside the image: each tile row's sums in the
// first lanes of a register, the candidates added one after another in
// window order (the plain loop keeps them in memory, and each addition waits
// for the store before it). aWeighted and aTotal receive the tile's sums row
// by row; the largest weight goes to aMaxWeight.
template <int A>
__attribute__((target("avx2"))) void wholeTileSumsAvx2(const float* aWeights, const std::uint8_t* aDefined,
                                                        const float* aValues, int aXSize,
                                                        const NLMeansKernels::CWindowBounds& aBounds, int aCx, int aCy,
                                                        float* aWeighted, float* aTotal, float& aMaxWeight) {
  constexpr int kSide = 2 * A + 1;
  const __m256i inTile = _mm256_cmpgt_epi32(_mm256_set1_epi32(kSide), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  __m256 weighted[kSide], total[kSide];
  for (int row = 0; row < kSide; ++row) weighted[row] = total[row] = _mm256_setzero_ps();
  float maxWeight = aMaxWeight;
  int i = 0;
  for (int qy = aBounds.yLow; qy <= aBounds.yHigh; ++qy)
    for (int qx = aBounds.xLow; qx <= aBounds.xHigh; ++qx, ++i) {
      if ((qx == aCx && qy == aCy) || !aDefined[i]) continue;
      const float weight = aWeights[i];
      maxWeight = std::max(weight, maxWeight);
      const __m256 w = _mm256_set1_ps(weight);
      const float* const moved = aValues + (qx - A) + static_cast<std::ptrdiff_t>(qy - A) * aXSize;
      for (int row = 0; row < kSide; ++row) {
        const __m256 value = _mm256_maskload_ps(moved + static_cast<std::ptrdiff_t>(row) * aXSize, inTile);
        weighted[row] = _mm256_add_ps(_mm256_mul_ps(w, value), weighted[row]);
        total[row] = _mm256_add_ps(total[row], w);
      }
    }
  for (int row = 0; row < kSide; ++row) {
    _mm256_maskstore_ps(aWeighted + row * kSide, inTile, weighted[row]);
    _mm256_maskstore_ps(aTotal + row * kSide, inTile, total[row]);
  }
  aMaxWeight = maxWeight;
}
#endif

}  // namespace

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
    // One running estimate per tile pixel inside the image, its two sums in
    // two arrays (a tile row's sums are then side by side, for the
    // compiler's vectors; each still adds its terms in candidate order); the
    // self weight M is the tile's and is set when the tile is written.
    std::vector<float> weighted, total;
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
      weighted.assign(static_cast<size_t>(tileWidth) * tileHeight, 0.0f);
      total.assign(weighted.size(), 0.0f);
      float maxWeight = 0.0f;
      const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(xSize, ySize, cx, cy, searchRadius);
      NLMeansKernels::windowDistances(copy.data(), xSize, ySize, cx, cy, bounds, window, weights.data(),
                                      defined.data());
      NLMeansKernels::windowWeights(weights.data(), defined.data(), bounds.count(), kernel, weights.data());
      bool summed = false;
#ifdef TEXTURE_HAVE_X86
      // A whole tile whose candidates all move inside the image (most tiles
      // of the usual sizes) keeps its sums in registers.
      const bool whole = tileWidth == side && tileHeight == side && bounds.xLow - a >= 0 &&
                         bounds.xHigh + a <= xSize - 1 && bounds.yLow - a >= 0 && bounds.yHigh + a <= ySize - 1;
      if (whole && (a == 1 || a == 2) && NLMeansKernels::usesAvx2()) {
        (a == 1 ? wholeTileSumsAvx2<1> : wholeTileSumsAvx2<2>)(weights.data(), defined.data(), values, xSize, bounds,
                                                                cx, cy, weighted.data(), total.data(), maxWeight);
        summed = true;
      }
#endif
      if (!summed) {
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
            for (int oy = oyLow; oy <= oyTop; ++oy) {
              float* const weightedRow = weighted.data() + (a + tileWidth * (oy + a));
              float* const totalRow = total.data() + (a + tileWidth * (oy + a));
              const float* const valueRow = values + qx + (qy + oy) * static_cast<std::ptrdiff_t>(xSize);
              for (int ox = oxLow; ox <= oxTop; ++ox) {
                weightedRow[ox] = weight * valueRow[ox] + weightedRow[ox];
                totalRow[ox] += weight;
              }
            }
          }
      }
      for (int oy = static_cast<int>(-a); oy <= oyHigh; ++oy)
        for (int ox = static_cast<int>(-a); ox <= oxHigh; ++ox) {
          CEstimate e;
          e.weightedSum = weighted[(ox + a) + tileWidth * (oy + a)];
          e.weightSum = total[(ox + a) + tileWidth * (oy + a)];
          e.maxWeight = maxWeight;
          e.store(values[(cx + ox) + (cy + oy) * xSize], out[(cx + ox) + (cy + oy) * xSize]);
        }
    }
  }, NLMeansProgress::tasksDone(denoising));
}

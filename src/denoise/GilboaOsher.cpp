#include <algorithm>
#include <cmath>
#include <vector>

#include "BestCandidates.h"
#include "CElement.h"
#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "Exceptions.h"
#include "NLMeansKernels.h"
#include "PairedDistances.h"
#include "Parallel.h"
#include "Progress.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

using namespace NLMeansCommon;

namespace {

const int kLayers = 14;
const int kBestLayer = 4;     // layers 4-8: the five best matches
const int kReverseLayer = 9;  // layers 9-13: links from pixels that chose this one
const int kLinks = 5;

// Layer 0-3 of q when it is a direct neighbour of p (left, right, previous
// row, next row), else -1.
int directNeighbourLayer(int aPx, int aPy, int aQx, int aQy) {
  if (aQy == aPy) {
    if (aQx == aPx - 1) return 0;
    if (aQx == aPx + 1) return 1;
  } else if (aQx == aPx) {
    if (aQy == aPy - 1) return 2;
    if (aQy == aPy + 1) return 3;
  }
  return -1;
}

// The two kinds of step; each link adds aTerm(sum, w, d).
enum class EStep { kLinear, kTotalVariation };

#if defined(__x86_64__) || defined(__i386__)
// (float) (sum + a / sqrt(b + 1e-5)) in double, four lanes.
__attribute__((target("avx2"))) inline __m128 totalVariationFour(__m128 aSum, __m128 aA, __m128 aB) {
  const __m256d root = _mm256_sqrt_pd(_mm256_add_pd(_mm256_cvtps_pd(aB), _mm256_set1_pd(1e-5)));
  return _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(aSum), _mm256_div_pd(_mm256_cvtps_pd(aA), root)));
}

// The pixels of row aY from 0 to aEnd (a multiple of eight), one per lane.
// Layer by layer, so that each tensor row is read in order; each lane adds
// its pixel's links in layer order as the scalar loop does, and a link not in
// use leaves its lane as it was (its neighbour is not even read).
template <EStep Kind>
__attribute__((target("avx2"))) void graphRowAvx2(const CTensor<float>& aWeights, const CTensor<int>& aNeighborX,
                                                   const CTensor<int>& aNeighborY, const float* aOld, float* aImage,
                                                   int aXSize, int aY, int aEnd) {
  thread_local std::vector<float> sums;
  thread_local std::vector<int> links;
  sums.assign(static_cast<std::size_t>(aEnd), 0.0f);
  links.assign(static_cast<std::size_t>(aEnd), 0);
  const std::size_t rowStart = static_cast<std::size_t>(aY) * aXSize;
  const float* const own = aOld + rowStart;
  const __m256i columns = _mm256_set1_epi32(aXSize);
  for (int k = 0; k < aWeights.zSize(); ++k) {
    const float* const weights = &aWeights(0, aY, k);
    const int* const nx = &aNeighborX(0, aY, k);
    const int* const ny = &aNeighborY(0, aY, k);
    for (int x = 0; x < aEnd; x += 8) {
      const __m256 w = _mm256_loadu_ps(weights + x);
      const __m256 inUse = _mm256_cmp_ps(w, _mm256_setzero_ps(), _CMP_GT_OQ);
      if (_mm256_movemask_ps(inUse) == 0) continue;
      const __m256i column = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(nx + x));
      const __m256i row = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ny + x));
      const __m256i index = _mm256_add_epi32(column, _mm256_mullo_epi32(row, columns));
      const __m256 neighbour = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), aOld, index, inUse, 4);
      const __m256 d = _mm256_sub_ps(neighbour, _mm256_loadu_ps(own + x));
      const __m256 sum = _mm256_loadu_ps(&sums[x]);
      __m256 next;
      if (Kind == EStep::kLinear) {
        next = _mm256_add_ps(sum, _mm256_mul_ps(w, d));
      } else {
        const __m256 a = _mm256_mul_ps(w, d), b = _mm256_mul_ps(d, d);
        const __m128 low =
            totalVariationFour(_mm256_castps256_ps128(sum), _mm256_castps256_ps128(a), _mm256_castps256_ps128(b));
        const __m128 high =
            totalVariationFour(_mm256_extractf128_ps(sum, 1), _mm256_extractf128_ps(a, 1), _mm256_extractf128_ps(b, 1));
        next = _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
      }
      _mm256_storeu_ps(&sums[x], _mm256_blendv_ps(sum, next, inUse));
      __m256i* const count = reinterpret_cast<__m256i*>(&links[x]);
      _mm256_storeu_si256(count, _mm256_sub_epi32(_mm256_loadu_si256(count), _mm256_castps_si256(inUse)));
    }
  }
  // Without a link in use the step would be 0 / 0: such a pixel keeps its value.
  for (int x = 0; x < aEnd; x += 8) {
    const __m256i count = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&links[x]));
    const __m256 image = _mm256_loadu_ps(aImage + rowStart + x);
    const __m256 stepped = _mm256_add_ps(_mm256_div_ps(_mm256_loadu_ps(&sums[x]), _mm256_cvtepi32_ps(count)), image);
    const __m256 linked = _mm256_castsi256_ps(_mm256_cmpgt_epi32(count, _mm256_setzero_si256()));
    _mm256_storeu_ps(aImage + rowStart + x, _mm256_blendv_ps(image, stepped, linked));
  }
}
#endif

// One explicit step over the links in use, reading only the values before the
// step; aTerm gives the contribution of a link of weight w and difference d,
// as Kind names it.
template <EStep Kind, typename Term>
void graphStep(const CTensor<float>& aWeights, const CTensor<int>& aNeighborX, const CTensor<int>& aNeighborY,
               CMatrix<float>& aImage, Term aTerm) {
  if (aWeights.xSize() != aImage.xSize() || aWeights.ySize() != aImage.ySize() ||
      aNeighborX.xSize() != aWeights.xSize() || aNeighborX.ySize() != aWeights.ySize() ||
      aNeighborX.zSize() != aWeights.zSize() || aNeighborY.xSize() != aWeights.xSize() ||
      aNeighborY.ySize() != aWeights.ySize() || aNeighborY.zSize() != aWeights.zSize())
    throw EIncompatibleMatrices(aWeights.xSize(), aWeights.ySize(), aImage.xSize(), aImage.ySize());
  const int xSize = aImage.xSize(), ySize = aImage.ySize(), layers = aWeights.zSize();
  if (aImage.size() == 0) return;
  const std::vector<float> old(aImage.data(), aImage.data() + aImage.size());
  // Every pixel reads old values only and writes itself: rows are independent.
  NParallel::parallelFor(ySize, [&](int y) {
    int x = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (NLMeansKernels::usesAvx2()) {
      x = xSize / 8 * 8;
      if (x > 0) graphRowAvx2<Kind>(aWeights, aNeighborX, aNeighborY, old.data(), aImage.data(), xSize, y, x);
    }
#endif
    for (; x < xSize; ++x) {
      const float own = old[x + y * xSize];
      int links = 0;
      float sum = 0.0f;
      for (int k = 0; k < layers; ++k) {
        const float w = aWeights(x, y, k);
        if (!(w > 0.0f)) continue;
        const float d = old[aNeighborX(x, y, k) + aNeighborY(x, y, k) * xSize] - own;
        ++links;
        sum = aTerm(sum, w, d);
      }
      // Without a link in use the step would be 0 / 0.
      if (links > 0) aImage(x, y) = sum / static_cast<float>(links) + aImage(x, y);
    }
  });
}

}  // namespace

void CNLMeans::gilboaOsherBuildWeights(CMatrix<float>& aImage, float aSigma) {
  const int xSize = aImage.xSize(), ySize = aImage.ySize();
  weights.setSize(xSize, ySize, kLayers);
  weights.fill(0.0f);
  neighborX.setSize(xSize, ySize, kLayers);
  neighborX.fill(0);
  neighborY.setSize(xSize, ySize, kLayers);
  neighborY.fill(0);
  if (aImage.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  const float* image = aImage.data();
  // A candidate without a common weighted offset ranks last with weight 0.
  const auto linkWeight = [kernel](float aDistance) {
    return std::isinf(aDistance) ? 0.0f : std::exp(kernel * aDistance);
  };
  // First pass: each pixel fills only its own cells from its own ranking
  // (keys over its window, in list order).
  struct CScratch {
    std::vector<CElement> best, list;
    std::vector<int> which;
  };
  const auto link = [&](int aX, int aY, const float* aRanks, CScratch& aScratch) {
    const int x = aX, y = aY;
    const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(xSize, ySize, x, y, radius);
    const int total = bounds.count(), width = bounds.width();
    // The direct neighbours inside the search window.
    const int neighbourX[4] = {x - 1, x + 1, x, x}, neighbourY[4] = {y, y, y - 1, y + 1};
    for (int layer = 0; layer < 4; ++layer) {
      const int qx = neighbourX[layer], qy = neighbourY[layer];
      if (qx < bounds.xLow || qx > bounds.xHigh || qy < bounds.yLow || qy > bounds.yHigh) continue;
      weights(x, y, layer) = linkWeight(aRanks[(qx - bounds.xLow) + (qy - bounds.yLow) * width]);
    }
    const auto candidate = [&](int aIndex) {
      CElement element;
      element.distance = aRanks[aIndex];
      element.x = bounds.xLow + aIndex % width;
      element.y = bounds.yLow + aIndex / width;
      return element;
    };
    // Near a corner of a small search window there may be fewer than five.
    bestOfRanks(kLinks, aRanks, total, candidate, aScratch.best, aScratch.list, aScratch.which);
    for (int k = 0; k < static_cast<int>(aScratch.best.size()); ++k) {
      const CElement& e = aScratch.best[k];
      neighborX(x, y, kBestLayer + k) = e.x;
      neighborY(x, y, kBestLayer + k) = e.y;
      // A direct neighbour's link already sits in layers 0-3.
      if (directNeighbourLayer(x, y, e.x, e.y) < 0) weights(x, y, kBestLayer + k) = linkWeight(e.distance);
    }
    neighborX(x, y, 0) = x - 1;
    neighborY(x, y, 0) = y;
    neighborX(x, y, 1) = x + 1;
    neighborY(x, y, 1) = y;
    neighborX(x, y, 2) = x;
    neighborY(x, y, 2) = y - 1;
    neighborX(x, y, 3) = x;
    neighborY(x, y, 3) = y + 1;
  };
  if (CPairedDistances::serves(xSize, ySize, radius)) {
    // Each pair measured once; bands of rows are independent.
    const CPairedDistances bands(image, xSize, ySize, radius, window, NParallel::threadCount());
    // Bands are long: progress is counted in rows.
    NLMeansProgress::CPhase building(progress, "building the graph", ySize);
    NLMeansProgress::CCounter rows(building);
    NParallel::parallelFor(bands.jobs(), [&](int aJob) {
      CScratch scratch;
      bands.run(
          aJob, [&](int aX, int aY, const float* aRanks) { link(aX, aY, aRanks, scratch); }, [&] { rows.add(1); });
    }, rows.tasksDone());
  } else {
    // Rows are independent.
    NLMeansProgress::CPhase building(progress, "building the graph", ySize);
    NParallel::parallelFor(ySize, [&](int y) {
      CScratch scratch;
      NLMeansKernels::CRowDistances rowDistances(image, xSize, ySize, radius, window);
      std::vector<float> ranks(NLMeansKernels::largestWindow(xSize, ySize, radius));
      for (int x = 0; x < xSize; ++x) {
        rowDistances.ranksAt(x, y, ranks.data());
        link(x, y, ranks.data(), scratch);
      }
    }, NLMeansProgress::tasksDone(building));
  }
  // Reverse links take their target's layers 9-13 in the order found; a
  // pixel chosen by more than five others keeps the first five.
  std::vector<unsigned char> reverseCount(static_cast<size_t>(xSize) * ySize, 0);
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x)
      for (int i = 0; i < kLinks; ++i) {
        const float w = weights(x, y, kBestLayer + i);
        if (!(w > 0.0f)) continue;
        const int qx = neighborX(x, y, kBestLayer + i), qy = neighborY(x, y, kBestLayer + i);
        unsigned char& count = reverseCount[qx + static_cast<size_t>(qy) * xSize];
        if (count == kLinks) continue;
        const int layer = kReverseLayer + count++;
        weights(qx, qy, layer) = w;
        neighborX(qx, qy, layer) = x;
        neighborY(qx, qy, layer) = y;
      }
}

void CNLMeans::gilboaOsherFilter(CMatrix<float>& aImage) {
  graphStep<EStep::kLinear>(weights, neighborX, neighborY, aImage, [](float aSum, float aWeight, float aDifference) {
    return aSum + aWeight * aDifference;
  });
}

void CNLMeans::gilboaOsherFilterTV(CMatrix<float>& aImage) {
  graphStep<EStep::kTotalVariation>(weights, neighborX, neighborY, aImage, [](float aSum, float aWeight,
                                                                             float aDifference) {
    const float a = aWeight * aDifference;
    const float b = aDifference * aDifference;
    return static_cast<float>(static_cast<double>(aSum) +
                              static_cast<double>(a) / std::sqrt(static_cast<double>(b) + 1e-5));
  });
}

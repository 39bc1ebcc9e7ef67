#include "NLMeansKernels.h"

#include "ExpKernels.h"
#include "PatchKernels.h"
#include "SimdTranspose.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

namespace NLMeansKernels {
namespace {

using NLMeansCommon::CEstimate;
using NLMeansCommon::CPatchWindow;

constexpr int kLanes = 8;
// Leaves up to this size keep the whole matrix of pair weights, so each pair
// is computed once; larger ones recompute per pixel to bound the memory.
constexpr int kMaxPairMatrix = 1024;
// Largest patch radius of the AVX2 windowed kernel (its masks live on the stack).
constexpr int kMaxAvx2Radius = 16;

std::atomic<bool> gPortable{false};


// Patches of the leaf's members, component-major: component k of member j at
// k * stride + j, the stride a multiple of the lane count (padding is 0).
struct CLeafPatches {
  int count = 0;
  int stride = 0;
  int length = 0;
  std::vector<float> values;
};

#ifdef TEXTURE_HAVE_X86
// Members eight at a time: their patch rows loaded as rows and transposed
// into columns, the rest of each row lane by lane. Returns the number of
// members gathered (whole groups of eight).
__attribute__((target("avx2"))) int gatherPatchesAvx2(const float* aImage, int aXSize, const CPatchWindow& aWindow,
                                                      const std::vector<int>& aMembers, CLeafPatches& aPatches) {
  const int r = aWindow.radius, side = aWindow.side;
  const std::size_t stride = static_cast<std::size_t>(aPatches.stride);
  const int groups = aPatches.count / kLanes * kLanes;
  for (int j = 0; j < groups; j += kLanes) {
    const float* base[kLanes];
    for (int l = 0; l < kLanes; ++l) base[l] = aImage + aMembers[j + l] - r * aXSize - r;
    float* out = aPatches.values.data() + j;
    for (int dy = 0; dy < side; ++dy) {
      const int rowStart = dy * aXSize;
      int dx = 0;
      for (; dx + kLanes <= side; dx += kLanes, out += kLanes * stride) {
        __m256 rows[kLanes];
        for (int l = 0; l < kLanes; ++l) rows[l] = _mm256_loadu_ps(base[l] + rowStart + dx);
        NSimd::transpose8(rows);
        for (int c = 0; c < kLanes; ++c) _mm256_storeu_ps(out + c * stride, rows[c]);
      }
      for (; dx < side; ++dx, out += stride) {
        const int at = rowStart + dx;
        _mm256_storeu_ps(out, _mm256_setr_ps(base[0][at], base[1][at], base[2][at], base[3][at], base[4][at],
                                             base[5][at], base[6][at], base[7][at]));
      }
    }
  }
  return groups;
}

// The same for 9 x 9 patches from the image's bytes (exactBytes), every
// member (the stride has room for a whole last group): sixteen
// bytes of each patch row, transposed as bytes and widened to floats, so
// that each row costs one load from a quarter of the memory. On large images
// the members' patches come from all over the image, and the gathering
// waits for memory.
__attribute__((target("avx2"))) int gatherPatchBytesAvx2(const std::uint8_t* aBytes, int aXSize,
                                                           const std::vector<int>& aMembers, CLeafPatches& aPatches) {
  constexpr int kSide = 9, kRadius = 4;
  const std::size_t stride = static_cast<std::size_t>(aPatches.stride);
  const int count = aPatches.count;
  const auto widen = [](float* aOut, __m128i aValues) __attribute__((target("avx2"))) {
    _mm256_storeu_ps(aOut, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(aValues)));
  };
  // The last group's lanes past the members repeat its first member: they
  // land in the padding columns, which the caller clears.
  for (int j = 0; j < count; j += kLanes) {
    const std::uint8_t* base[kLanes];
    for (int l = 0; l < kLanes; ++l)
      base[l] = aBytes + aMembers[j + l < count ? j + l : j] - kRadius * aXSize - kRadius;
    float* out = aPatches.values.data() + j;
    for (int dy = 0; dy < kSide; ++dy, out += kSide * stride) {
      const std::ptrdiff_t rowStart = static_cast<std::ptrdiff_t>(dy) * aXSize;
      __m128i rows[kLanes];
      for (int l = 0; l < kLanes; ++l)
        rows[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base[l] + rowStart));
      // Columns 0-7: members interleaved by bytes, pairs, fours; each result
      // holds two columns of eight members.
      const __m128i a0 = _mm_unpacklo_epi8(rows[0], rows[1]), a1 = _mm_unpacklo_epi8(rows[2], rows[3]);
      const __m128i a2 = _mm_unpacklo_epi8(rows[4], rows[5]), a3 = _mm_unpacklo_epi8(rows[6], rows[7]);
      const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
      const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
      const __m128i columns[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2), _mm_unpacklo_epi32(b1, b3),
                                  _mm_unpackhi_epi32(b1, b3)};
      for (int c = 0; c < 4; ++c) {
        widen(out + 2 * c * stride, columns[c]);
        widen(out + (2 * c + 1) * stride, _mm_unpackhi_epi64(columns[c], columns[c]));
      }
      // Column 8, from the rows' upper halves.
      const __m128i h0 = _mm_unpackhi_epi8(rows[0], rows[1]), h1 = _mm_unpackhi_epi8(rows[2], rows[3]);
      const __m128i h2 = _mm_unpackhi_epi8(rows[4], rows[5]), h3 = _mm_unpackhi_epi8(rows[6], rows[7]);
      widen(out + 8 * stride, _mm_unpacklo_epi32(_mm_unpacklo_epi16(h0, h1), _mm_unpacklo_epi16(h2, h3)));
    }
  }
  return count;
}
#endif

// Bytes after an image's values in exactBytes: a row load of sixteen bytes
// from the last patch's last row runs at most this far past the image.
constexpr std::size_t kBytePadding = 16;

void gatherPatches(const float* aImage, int aXSize, const CPatchWindow& aWindow, const std::vector<int>& aMembers,
                   CLeafPatches& aPatches, const std::uint8_t* aBytes = nullptr) {
  const int r = aWindow.radius;
  const int count = static_cast<int>(aMembers.size());
  aPatches.count = count;
  // Room for lane groups that start anywhere up to the last member.
  aPatches.stride = (count + kLanes - 1) / kLanes * kLanes + 2 * kLanes;
  aPatches.length = aWindow.side * aWindow.side;
  const std::size_t size = static_cast<std::size_t>(aPatches.length) * aPatches.stride;
  if (aPatches.values.size() < size) aPatches.values.resize(size);
  float* values = aPatches.values.data();
  const std::size_t stride = static_cast<std::size_t>(aPatches.stride);
  int first = 0;
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2())
    first = aBytes && gathersBytes(aWindow) ? gatherPatchBytesAvx2(aBytes, aXSize, aMembers, aPatches)
                                            : gatherPatchesAvx2(aImage, aXSize, aWindow, aMembers, aPatches);
#endif
  // Member by member, each patch row read once and in order: the members lie
  // anywhere in the image, the columns written here stay in the cache.
  for (int j = first; j < count; ++j) {
    float* out = values + j;
    for (int dy = -r; dy <= r; ++dy) {
      const float* row = aImage + aMembers[j] + dy * aXSize - r;
      for (int dx = 0; dx < aWindow.side; ++dx, out += stride) *out = row[dx];
    }
  }
  // Padding lanes are computed but never used; keep them finite.
  for (int k = 0; k < aPatches.length; ++k)
    std::fill(values + k * stride + count, values + (k + 1) * stride, 0.0f);
}

// aSums[j] = sum over k of ((P[k][i] - P[k][j])^2 * w[k]) for the lane blocks
// covering [aFrom, aTo).
void rowSumsPortable(const CLeafPatches& aPatches, const float* aWeights, int aRow, int aFrom, int aTo,
                     float* aSums) {
  const float* p = aPatches.values.data();
  const int stride = aPatches.stride;
  for (int jb = aFrom / kLanes * kLanes; jb < aTo; jb += kLanes) {
    float sum[kLanes] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (int k = 0; k < aPatches.length; ++k) {
      const float a = p[k * stride + aRow];
      const float* b = p + k * stride + jb;
      const float w = aWeights[k];
      for (int l = 0; l < kLanes; ++l) {
        const float d = a - b[l];
        sum[l] += (d * d) * w;
      }
    }
    std::copy(sum, sum + kLanes, aSums + jb);
  }
}

#ifdef TEXTURE_HAVE_X86
// Sums for the candidates aFrom .. aTo - 1 of row aRow, and, when aRow2 is
// not negative, of row aRow2 over the same candidates (sharing the loads);
// lane groups start at aFrom, so only the last one runs past aTo.
__attribute__((target("avx2"))) void rowSumsAvx2(const CLeafPatches& aPatches, const float* aWeights, int aRow,
                                                  int aFrom, int aTo, float* aSums, int aRow2 = -1,
                                                  float* aSums2 = nullptr) {
  const float* p = aPatches.values.data();
  const int stride = aPatches.stride;
  for (int jb = aFrom; jb < aTo; jb += 2 * kLanes) {
    __m256 sum0 = _mm256_setzero_ps(), sum1 = _mm256_setzero_ps();
    __m256 sum2 = _mm256_setzero_ps(), sum3 = _mm256_setzero_ps();
    const float* column = p + jb;
    const float* reference = p + aRow;
    const float* reference2 = p + (aRow2 < 0 ? aRow : aRow2);
    for (int k = 0; k < aPatches.length; ++k, column += stride, reference += stride, reference2 += stride) {
      const __m256 w = _mm256_set1_ps(aWeights[k]);
      const __m256 b0 = _mm256_loadu_ps(column);
      const __m256 b1 = _mm256_loadu_ps(column + kLanes);
      const __m256 a = _mm256_set1_ps(*reference);
      const __m256 d0 = _mm256_sub_ps(a, b0);
      const __m256 d1 = _mm256_sub_ps(a, b1);
      sum0 = _mm256_add_ps(sum0, _mm256_mul_ps(_mm256_mul_ps(d0, d0), w));
      sum1 = _mm256_add_ps(sum1, _mm256_mul_ps(_mm256_mul_ps(d1, d1), w));
      if (aRow2 >= 0) {
        const __m256 a2 = _mm256_set1_ps(*reference2);
        const __m256 e0 = _mm256_sub_ps(a2, b0);
        const __m256 e1 = _mm256_sub_ps(a2, b1);
        sum2 = _mm256_add_ps(sum2, _mm256_mul_ps(_mm256_mul_ps(e0, e0), w));
        sum3 = _mm256_add_ps(sum3, _mm256_mul_ps(_mm256_mul_ps(e1, e1), w));
      }
    }
    _mm256_storeu_ps(aSums + jb, sum0);
    _mm256_storeu_ps(aSums + jb + kLanes, sum1);
    if (aRow2 >= 0) {
      _mm256_storeu_ps(aSums2 + jb, sum2);
      _mm256_storeu_ps(aSums2 + jb + kLanes, sum3);
    }
  }
}

template <int Vectors>
__attribute__((target("avx2"), always_inline)) inline void rowSums4Block(const float* aColumn, const float* aReference,
                                                                        int aStride, int aLength,
                                                                        const float* aWeights, float* const aSums[4],
                                                                        int aAt) {
  constexpr int Rows = 4;
  __m256 sum[Rows][Vectors];
  for (int r = 0; r < Rows; ++r)
    for (int v = 0; v < Vectors; ++v) sum[r][v] = _mm256_setzero_ps();
  for (int k = 0; k < aLength; ++k, aColumn += aStride, aReference += aStride) {
    const __m256 w = _mm256_set1_ps(aWeights[k]);
    __m256 b[Vectors];
    for (int v = 0; v < Vectors; ++v) b[v] = _mm256_loadu_ps(aColumn + v * kLanes);
    for (int r = 0; r < Rows; ++r) {
      const __m256 a = _mm256_set1_ps(aReference[r]);
      for (int v = 0; v < Vectors; ++v) {
        const __m256 d = _mm256_sub_ps(a, b[v]);
        sum[r][v] = _mm256_add_ps(sum[r][v], _mm256_mul_ps(_mm256_mul_ps(d, d), w));
      }
    }
  }
  for (int r = 0; r < Rows; ++r)
    for (int v = 0; v < Vectors; ++v) _mm256_storeu_ps(aSums[r] + aAt + v * kLanes, sum[r][v]);
}

// Sums of the four rows aRow .. aRow + 3 over the candidates aFrom .. aTo -
// 1, sixteen candidates at a time: eight independent chains, and each
// candidate load serves four rows (two rows left the processor waiting). A
// last group of at most eight candidates takes one lane group.
__attribute__((target("avx2"))) void rowSums4Avx2(const CLeafPatches& aPatches, const float* aWeights, int aRow,
                                                   int aFrom, int aTo, float* const aSums[4]) {
  const float* p = aPatches.values.data();
  const int stride = aPatches.stride;
  int jb = aFrom;
  for (; jb + kLanes < aTo; jb += 2 * kLanes)
    rowSums4Block<2>(p + jb, p + aRow, stride, aPatches.length, aWeights, aSums, jb);
  if (jb < aTo) rowSums4Block<1>(p + jb, p + aRow, stride, aPatches.length, aWeights, aSums, jb);
}
#endif

void rowSums(const CLeafPatches& aPatches, const float* aWeights, int aRow, int aFrom, int aTo, float* aSums) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) return rowSumsAvx2(aPatches, aWeights, aRow, aFrom, aTo, aSums);
#endif
  rowSumsPortable(aPatches, aWeights, aRow, aFrom, aTo, aSums);
}

void storeEstimate(const CEstimate& aEstimate, float aOwnValue, int aPixel, int aXSize, const COutput& aOutput) {
  const int x = aPixel % aXSize, y = aPixel / aXSize;
  aEstimate.store(aOwnValue, aOutput.out[(x - aOutput.originX) + (y - aOutput.originY) * aOutput.outXSize]);
}

// Candidates of a window row handed to the distance sums at a time: up to
// four lane groups, whose sums are independent chains.
constexpr int kWindowGroup = 4 * kLanes;

// aOut[l] = aKernel * (aSums[l] / aWeightSums[l]) where the weight sum is
// positive, else 0 (a harmless argument for the exponential), l < aCount.
void kernelQuotientsPortable(const float* aSums, const float* aWeightSums, float aKernel, float* aOut, int aCount) {
  for (int l = 0; l < aCount; ++l) aOut[l] = aWeightSums[l] > 0.0f ? aKernel * (aSums[l] / aWeightSums[l]) : 0.0f;
}

#ifdef TEXTURE_HAVE_X86
// Eight quotients at a time: the plain loop's division cannot be done ahead
// of its test (it could divide by zero), so the compiler leaves it scalar.
// Lanes without a positive weight sum divide by one and are then cleared.
__attribute__((target("avx2"))) void kernelQuotientsAvx2(const float* aSums, const float* aWeightSums, float aKernel,
                                                         float* aOut, int aCount) {
  const __m256 kernel = _mm256_set1_ps(aKernel), zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  int l = 0;
  for (; l + kLanes <= aCount; l += kLanes) {
    const __m256 weightSums = _mm256_loadu_ps(aWeightSums + l);
    const __m256 defined = _mm256_cmp_ps(weightSums, zero, _CMP_GT_OQ);
    const __m256 quotients = _mm256_div_ps(_mm256_loadu_ps(aSums + l), _mm256_blendv_ps(one, weightSums, defined));
    _mm256_storeu_ps(aOut + l, _mm256_and_ps(_mm256_mul_ps(kernel, quotients), defined));
  }
  kernelQuotientsPortable(aSums + l, aWeightSums + l, aKernel, aOut + l, aCount - l);
}
#endif

void kernelQuotients(const float* aSums, const float* aWeightSums, float aKernel, float* aOut, int aCount) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) return kernelQuotientsAvx2(aSums, aWeightSums, aKernel, aOut, aCount);
#endif
  kernelQuotientsPortable(aSums, aWeightSums, aKernel, aOut, aCount);
}

// The windowed estimate of pixel (x, y): the candidates of its clipped window,
// row by row, up to kWindowGroup at a time; aSums(qx, qy, lanes, sums,
// weightSums) gives their distance sums and window weight sums.
template <typename Sums>
CEstimate windowedCandidates(const float* aValues, int aXSize, int aYSize, int aX, int aY, int aRadius, float aKernel,
                             Sums&& aSums) {
  CEstimate estimate;
  const int yLow = std::max(aY - aRadius, 0), yHigh = std::min(aY + aRadius, aYSize - 1);
  const int xLow = std::max(aX - aRadius, 0), xHigh = std::min(aX + aRadius, aXSize - 1);
  float sums[kWindowGroup], weightSums[kWindowGroup], weights[kWindowGroup];
  for (int qy = yLow; qy <= yHigh; ++qy)
    for (int qx = xLow; qx <= xHigh; qx += kWindowGroup) {
      const int lanes = std::min(kWindowGroup, xHigh - qx + 1);
      aSums(qx, qy, lanes, sums, weightSums);
      // No common offset with window weight: the distance is undefined, and
      // its lane (skipped below) is given a harmless argument.
      kernelQuotients(sums, weightSums, aKernel, weights, lanes);
      NExpKernels::expAll(weights, weights, lanes);
      for (int l = 0; l < lanes; ++l) {
        if (qx + l == aX && qy == aY) continue;
        if (!(weightSums[l] > 0.0f)) continue;
        estimate.add(weights[l], aValues[qx + l + qy * aXSize]);
      }
    }
  return estimate;
}

// Bounded distances of pixel (x, y) to the candidates (qx .. qx + lanes - 1, qy):
// sums and weight sums per lane, terms added in the order of the plain loop.
void boundedSumsPortable(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aQx, int aQy, int aLanes,
                         const CPatchWindow& aWindow, float* aSums, float* aWeightSums) {
  for (int l = 0; l < aLanes; ++l) {
    const int r = aWindow.radius;
    const int qx = aQx + l;
    const int dxLow = std::max(-r, std::max(-aX, -qx));
    const int dxHigh = std::min(r, std::min(aXSize - 1 - aX, aXSize - 1 - qx));
    const int dyLow = std::max(-r, std::max(-aY, -aQy));
    const int dyHigh = std::min(r, std::min(aYSize - 1 - aY, aYSize - 1 - aQy));
    float sum = 0.0f, weightSum = 0.0f;
    for (int dy = dyLow; dy <= dyHigh; ++dy) {
      const float* a = aImage + (aY + dy) * aXSize + aX;
      const float* b = aImage + (aQy + dy) * aXSize + qx;
      for (int dx = dxLow; dx <= dxHigh; ++dx) {
        const float d = a[dx] - b[dx];
        const float w = aWindow.at(dx, dy);
        sum += (d * d) * w;
        weightSum += w;
      }
    }
    aSums[l] = sum;
    aWeightSums[l] = weightSum;
  }
}

#ifdef TEXTURE_HAVE_X86
// The reference pixel's patch and the window, each value repeated in all
// lanes once per reference pixel: offset (dx, dy) at lanes * ((dx + r) + (dy + r) * side).
struct CBroadcastPatch {
  std::vector<float> values;
  std::vector<float> weights;
  __attribute__((target("avx2"))) __m256 value(int aAt) const { return _mm256_loadu_ps(&values[aAt * kLanes]); }
  __attribute__((target("avx2"))) __m256 weight(int aAt) const { return _mm256_loadu_ps(&weights[aAt * kLanes]); }
};

// Sums of the lane-parallel distances of pixel (x, y) to the candidates
// (qx .. qx + lanes - 1, qy). A candidate's term is (q - p)^2 * w: the square
// of the negated difference is the same float.
__attribute__((target("avx2"))) void boundedSumsAvx2(const float* aImage, int aXSize, int aYSize, int aX, int aY,
                                                      int aQx, int aQy, int aLanes, const CPatchWindow& aWindow,
                                                      const CBroadcastPatch& aPatch, float* aSums,
                                                      float* aWeightSums) {
  const int r = aWindow.radius;
  const int side = aWindow.side;
  const int dyLow = std::max(-r, std::max(-aY, -aQy));
  const int dyHigh = std::min(r, std::min(aYSize - 1 - aY, aYSize - 1 - aQy));
  // Offsets at which the reference patch lies inside the image.
  const int dxLow = std::max(-r, -aX);
  const int dxHigh = std::min(r, aXSize - 1 - aX);
  __m256 sum = _mm256_setzero_ps();
  if (aLanes == kLanes && aQx + dxLow >= 0 && aQx + kLanes - 1 + dxHigh <= aXSize - 1) {
    // Every lane's patch is inside wherever the reference patch is, so all
    // lanes share one weight sum, added in the same order.
    float weightSum = 0.0f;
    for (int dy = dyLow; dy <= dyHigh; ++dy) {
      const float* b = aImage + (aQy + dy) * aXSize + aQx;
      const int row = (dy + r) * side + r;
      for (int dx = dxLow; dx <= dxHigh; ++dx) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(b + dx), aPatch.value(row + dx));
        sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_mul_ps(d, d), aPatch.weight(row + dx)));
        weightSum += aWindow.weights[row + dx];
      }
    }
    _mm256_storeu_ps(aSums, sum);
    std::fill(aWeightSums, aWeightSums + kLanes, weightSum);
    return;
  }
  // Lane l is a candidate (l < aLanes) and reads column aQx + l + dx, which
  // must lie inside the image; other lanes add exact zeros.
  __m256 weightSum = _mm256_setzero_ps();
  __m256i inside[2 * kMaxAvx2Radius + 1];
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i inLanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(aLanes), lane);
  for (int dx = dxLow; dx <= dxHigh; ++dx) {
    const __m256i column = _mm256_add_epi32(lane, _mm256_set1_epi32(aQx + dx));
    inside[dx - dxLow] = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(column, _mm256_set1_epi32(-1)),
                                                           _mm256_cmpgt_epi32(_mm256_set1_epi32(aXSize), column)),
                                          inLanes);
  }
  for (int dy = dyLow; dy <= dyHigh; ++dy) {
    const float* b = aImage + (aQy + dy) * aXSize + aQx;
    const int row = (dy + r) * side + r;
    for (int dx = dxLow; dx <= dxHigh; ++dx) {
      const __m256i mask = inside[dx - dxLow];
      const __m256 d = _mm256_sub_ps(_mm256_maskload_ps(b + dx, mask), aPatch.value(row + dx));
      const __m256 w = _mm256_and_ps(aPatch.weight(row + dx), _mm256_castsi256_ps(mask));
      sum = _mm256_add_ps(sum, _mm256_and_ps(_mm256_mul_ps(_mm256_mul_ps(d, d), w), _mm256_castsi256_ps(mask)));
      weightSum = _mm256_add_ps(weightSum, w);
    }
  }
  alignas(32) float sums[kLanes], weights[kLanes];
  _mm256_store_ps(sums, sum);
  _mm256_store_ps(weights, weightSum);
  std::copy(sums, sums + aLanes, aSums);
  std::copy(weights, weights + aLanes, aWeightSums);
}

// boundedSumsAvx2 for 8 * (Groups - 1) + 1 to 8 * Groups candidates (qx ..
// qx + lanes - 1, qy). Where every candidate's patch is inside wherever the
// reference patch is, the lane groups run side by side, each its own chain of
// additions (one chain alone would keep the processor waiting); the last
// group's missing lanes read nothing and are dropped.
template <int Groups>
__attribute__((target("avx2"))) void boundedSumsGroupsAvx2(const float* aImage, int aXSize, int aYSize, int aX,
                                                            int aY, int aQx, int aQy, int aLanes,
                                                            const CPatchWindow& aWindow,
                                                            const CBroadcastPatch& aPatch, float* aSums,
                                                            float* aWeightSums) {
  const int r = aWindow.radius;
  const int side = aWindow.side;
  const int dxLow = std::max(-r, -aX);
  const int dxHigh = std::min(r, aXSize - 1 - aX);
  if (!(aQx + dxLow >= 0 && aQx + aLanes - 1 + dxHigh <= aXSize - 1)) {
    for (int g = 0; g < Groups; ++g)
      boundedSumsAvx2(aImage, aXSize, aYSize, aX, aY, aQx + g * kLanes, aQy, std::min(kLanes, aLanes - g * kLanes),
                      aWindow, aPatch, aSums + g * kLanes, aWeightSums + g * kLanes);
    return;
  }
  const int dyLow = std::max(-r, std::max(-aY, -aQy));
  const int dyHigh = std::min(r, std::min(aYSize - 1 - aY, aYSize - 1 - aQy));
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i last = _mm256_cmpgt_epi32(_mm256_set1_epi32(aLanes - (Groups - 1) * kLanes), lane);
  __m256 sum[Groups];
  for (int g = 0; g < Groups; ++g) sum[g] = _mm256_setzero_ps();
  float weightSum = 0.0f;
  for (int dy = dyLow; dy <= dyHigh; ++dy) {
    const float* b = aImage + (aQy + dy) * aXSize + aQx;
    const int row = (dy + r) * side + r;
    for (int dx = dxLow; dx <= dxHigh; ++dx) {
      const __m256 a = aPatch.value(row + dx), w = aPatch.weight(row + dx);
      for (int g = 0; g < Groups; ++g) {
        const float* at = b + dx + g * kLanes;
        const __m256 d = _mm256_sub_ps(g + 1 < Groups ? _mm256_loadu_ps(at) : _mm256_maskload_ps(at, last), a);
        sum[g] = _mm256_add_ps(sum[g], _mm256_mul_ps(_mm256_mul_ps(d, d), w));
      }
      weightSum += aWindow.weights[row + dx];
    }
  }
  for (int g = 0; g + 1 < Groups; ++g) _mm256_storeu_ps(aSums + g * kLanes, sum[g]);
  alignas(32) float rest[kLanes];
  _mm256_store_ps(rest, sum[Groups - 1]);
  std::copy(rest, rest + (aLanes - (Groups - 1) * kLanes), aSums + (Groups - 1) * kLanes);
  std::fill(aWeightSums, aWeightSums + aLanes, weightSum);
}

// boundedSumsAvx2 for up to kWindowGroup candidates of a row, a lane group
// per chain where they can run side by side.
__attribute__((target("avx2"))) void boundedRowSumsAvx2(const float* aImage, int aXSize, int aYSize, int aX, int aY,
                                                         int aQx, int aQy, int aLanes, const CPatchWindow& aWindow,
                                                         const CBroadcastPatch& aPatch, float* aSums,
                                                         float* aWeightSums) {
  const int groups = (aLanes + kLanes - 1) / kLanes;
  const auto sums = groups == 1   ? boundedSumsAvx2
                    : groups == 2 ? boundedSumsGroupsAvx2<2>
                    : groups == 3 ? boundedSumsGroupsAvx2<3>
                                  : boundedSumsGroupsAvx2<4>;
  sums(aImage, aXSize, aYSize, aX, aY, aQx, aQy, aLanes, aWindow, aPatch, aSums, aWeightSums);
}

// Fills aPatch with the patch of pixel (x, y), which may lie outside the
// image (positions outside hold 0 and are never used).
void fillBroadcastPatch(const float* aImage, int aXSize, int aYSize, int aX, int aY, const CPatchWindow& aWindow,
                        CBroadcastPatch& aPatch) {
  const int r = aWindow.radius;
  const int side = aWindow.side;
  aPatch.values.resize(static_cast<std::size_t>(side) * side * kLanes);
  aPatch.weights.resize(static_cast<std::size_t>(side) * side * kLanes);
  for (int dy = -r; dy <= r; ++dy)
    for (int dx = -r; dx <= r; ++dx) {
      const int at = (dy + r) * side + (dx + r);
      const bool inside = aX + dx >= 0 && aX + dx < aXSize && aY + dy >= 0 && aY + dy < aYSize;
      const float value = inside ? aImage[(aY + dy) * aXSize + aX + dx] : 0.0f;
      std::fill_n(&aPatch.values[static_cast<std::size_t>(at) * kLanes], kLanes, value);
      std::fill_n(&aPatch.weights[static_cast<std::size_t>(at) * kLanes], kLanes, aWindow.weights[at]);
    }
}

__attribute__((target("avx2"))) CEstimate windowedEstimateAvx2(const float* aDistanceImage, const float* aValues,
                                                                int aXSize, int aYSize, int aX, int aY, int aRadius,
                                                                float aKernel, const CPatchWindow& aWindow) {
  thread_local CBroadcastPatch patch;
  fillBroadcastPatch(aDistanceImage, aXSize, aYSize, aX, aY, aWindow, patch);

  return windowedCandidates(aValues, aXSize, aYSize, aX, aY, aRadius, aKernel,
                            [&](int aQx, int aQy, int aLanes, float* aSums, float* aWeightSums) {
                              boundedRowSumsAvx2(aDistanceImage, aXSize, aYSize, aX, aY, aQx, aQy, aLanes, aWindow,
                                                 patch, aSums, aWeightSums);
                            });
}

// The running estimates of eight members: add() takes one candidate's
// weights for all eight; a member never counts itself, or a copy of itself
// (a masked lane adds exact zeros, which changes no sum).
struct CLaneEstimates {
  __m256i ownPixels;
  __m256 total, weighted, largest;
  __attribute__((target("avx2"), always_inline)) void add(__m256 aWeights, int aPixel, float aValue) {
    const __m256 keep = _mm256_castsi256_ps(
        _mm256_xor_si256(_mm256_cmpeq_epi32(ownPixels, _mm256_set1_epi32(aPixel)), _mm256_set1_epi32(-1)));
    const __m256 w = _mm256_and_ps(aWeights, keep);
    largest = _mm256_max_ps(w, largest);
    total = _mm256_add_ps(total, w);
    weighted = _mm256_add_ps(weighted, _mm256_and_ps(_mm256_mul_ps(w, _mm256_set1_ps(aValue)), keep));
  }
};

// The estimates of eight members side by side: lane l sums, over the
// candidates j in member order, the weights of pair (i0 + l, j). Member j's
// value is aMemberValues[j].
__attribute__((target("avx2"))) void accumulateLeafAvx2(const float* aPairWeight, int aStride,
                                                         const float* aMemberValues, int aXSize,
                                                         const std::vector<int>& aMembers,
                                                         const std::vector<std::uint8_t>& aIsCopy,
                                                         const COutput& aOutput) {
  const int n = static_cast<int>(aMembers.size());
  const std::size_t stride = static_cast<std::size_t>(aStride);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int i0 = 0; i0 < n; i0 += kLanes) {
    const int lanes = std::min(kLanes, n - i0);
    bool anyPrimary = false;
    alignas(32) int own[kLanes];
    for (int l = 0; l < kLanes; ++l) {
      own[l] = l < lanes ? aMembers[i0 + l] : -1;
      anyPrimary = anyPrimary || (l < lanes && !aIsCopy[i0 + l]);
    }
    if (!anyPrimary) continue;
    const __m256i ownPixels = _mm256_load_si256(reinterpret_cast<const __m256i*>(own));
    CLaneEstimates sums{ownPixels, _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    // Members before the group: their rows hold the pairs (upper triangle).
    for (int j = 0; j < i0; ++j)
      sums.add(_mm256_loadu_ps(aPairWeight + static_cast<std::size_t>(j) * stride + i0), aMembers[j],
               aMemberValues[j]);
    // From the group on, the group's own rows hold them: eight columns at a
    // time, transposed. Lanes past the members read row i0 and are dropped.
    const float* rows[kLanes];
    for (int l = 0; l < kLanes; ++l)
      rows[l] = aPairWeight + static_cast<std::size_t>(i0 + (l < lanes ? l : 0)) * stride;
    for (int jb = i0; jb < n; jb += kLanes) {
      __m256 columns[kLanes];
      for (int l = 0; l < kLanes; ++l) columns[l] = _mm256_loadu_ps(rows[l] + jb);
      NSimd::transpose8(columns);
      const int count = std::min(kLanes, n - jb);
      for (int c = 0; c < count; ++c) {
        __m256 weights = columns[c];
        if (jb == i0) {
          // Within the group, lanes after member jb + c find the pair in
          // its row (the diagonal is dropped by keep).
          const __m256 after = _mm256_castsi256_ps(_mm256_cmpgt_epi32(lane, _mm256_set1_epi32(c)));
          const float* const row = aPairWeight + static_cast<std::size_t>(jb + c) * stride;
          weights = _mm256_blendv_ps(weights, _mm256_loadu_ps(row + i0), after);
        }
        sums.add(weights, aMembers[jb + c], aMemberValues[jb + c]);
      }
    }
    alignas(32) float totals[kLanes], weighteds[kLanes], largests[kLanes];
    _mm256_store_ps(totals, sums.total);
    _mm256_store_ps(weighteds, sums.weighted);
    _mm256_store_ps(largests, sums.largest);
    for (int l = 0; l < lanes; ++l) {
      if (aIsCopy[i0 + l]) continue;
      CEstimate estimate;
      estimate.weightSum = totals[l];
      estimate.weightedSum = weighteds[l];
      estimate.maxWeight = largests[l];
      storeEstimate(estimate, aMemberValues[i0 + l], own[l], aXSize, aOutput);
    }
  }
}

#endif

// The patch offsets d at which both pixel c and candidate c + o lie inside
// [0, aSize): max(-r, -c, -(c + o)) .. min(r, aSize - 1 - c, aSize - 1 - (c + o)).
inline void patchRange(int aC, int aO, int aSize, int aR, int& aLow, int& aHigh) {
  aLow = std::max(-aR, std::max(-aC, -(aC + aO)));
  aHigh = std::min(aR, std::min(aSize - 1 - aC, aSize - 1 - (aC + aO)));
}

#ifdef TEXTURE_HAVE_X86
// Windowed estimates of a run of eight pixels, a pixel per lane, along a row
// or (on transposed images) along a column. Every lane visits the same
// candidate offsets in the same order, and where the run's windows and
// their candidates' patches lie inside the image along the run, every
// offset clips the patches alike in all lanes: the weight sums serve all
// lanes, and the running estimates advance eight pixels at a time.

// Sums of G candidates side by side: candidate j's patch at aCandidates + j *
// xStride, the pixels' at aPixels, patch offsets aDyLow .. aDyHigh by aDxLow ..
// aDxHigh in the plain loop's order.
// (GCC's predictive commoning would keep the loads of one candidate for the
// next offset, and spill the sums to make room.)
#if defined(__GNUC__) && !defined(__clang__)
#define TEXTURE_NO_PREDICTIVE_COMMONING __attribute__((optimize("no-predictive-commoning")))
#else
#define TEXTURE_NO_PREDICTIVE_COMMONING
#endif
template <int G>
__attribute__((target("avx2"), noinline)) TEXTURE_NO_PREDICTIVE_COMMONING void runSumsAvx2(
    const float* aPixels, const float* aCandidates, std::ptrdiff_t aXStride, std::ptrdiff_t aYStride, int aDyLow,
    int aDyHigh, int aDxLow, int aDxHigh, const CPatchWindow& aWindow, float* aSums) {
  const int r = aWindow.radius, side = aWindow.side;
  __m256 sum[G];
  for (int j = 0; j < G; ++j) sum[j] = _mm256_setzero_ps();
  for (int dy = aDyLow; dy <= aDyHigh; ++dy) {
    const float* const w = aWindow.weights.data() + (dy + r) * side + r;
    for (int dx = aDxLow; dx <= aDxHigh; ++dx) {
      const std::ptrdiff_t at = dy * aYStride + dx * aXStride;
      const __m256 a = _mm256_loadu_ps(aPixels + at);
      const __m256 weight = _mm256_set1_ps(w[dx]);
      for (int j = 0; j < G; ++j) {
        const __m256 d = _mm256_sub_ps(a, _mm256_loadu_ps(aCandidates + j * aXStride + at));
        sum[j] = _mm256_add_ps(sum[j], _mm256_mul_ps(_mm256_mul_ps(d, d), weight));
      }
    }
  }
  for (int j = 0; j < G; ++j) _mm256_storeu_ps(aSums + j * kLanes, sum[j]);
}

constexpr int kRunGroup = 6;

// The running estimates of a run's eight pixels.
struct CRunEstimates {
  __m256 total, weighted, largest;
  // Adds a window row's aCount candidates: weights of candidate i at [8i, 8i
  // + 8), its weight sum aWeightSums[i] (none: not positive), its values at
  // aValues + i * aXStride. Candidate aSkip is the pixels themselves. Apart,
  // so that the sums stay in registers across the row.
  __attribute__((target("avx2"), noinline)) void add(const float* aWeights, const float* aWeightSums,
                                                     const float* aValues, std::ptrdiff_t aXStride, int aCount,
                                                     int aSkip) {
    __m256 t = total, a = weighted, m = largest;
    for (int i = 0; i < aCount; ++i) {
      if (i == aSkip || !(aWeightSums[i] > 0.0f)) continue;
      const __m256 w = _mm256_loadu_ps(aWeights + i * kLanes);
      // max(M, w) keeps M only where M > w, as std::max(w, M) does (NaN included).
      m = _mm256_max_ps(m, w);
      t = _mm256_add_ps(t, w);
      a = _mm256_add_ps(a, _mm256_mul_ps(w, _mm256_loadu_ps(aValues + i * aXStride)));
    }
    total = t;
    weighted = a;
    largest = m;
  }
};

// The distance sums of a run's candidates, one window row at a time.
class CRunRows {
public:
  CRunRows(const CRunPlanes& aPlanes, int aX, int aY, int aRadius, const CPatchWindow& aWindow)
      : mPlanes(aPlanes), mX(aX), mY(aY), mWindow(aWindow) {
    oxLow = std::max(-aRadius, -aX);
    const int oxHigh = std::min(aRadius, aPlanes.xSize - 1 - aX);
    oyLow = std::max(-aRadius, -aY);
    oyHigh = std::min(aRadius, aPlanes.ySize - 1 - aY);
    count = oxHigh - oxLow + 1;
    thread_local CScratch scratch;
    mScratch = &scratch;
    scratch.sums.resize(static_cast<std::size_t>(count + kRunGroup) * kLanes);
    scratch.weightSums.resize(static_cast<std::size_t>(count));
    scratch.dxLow.resize(static_cast<std::size_t>(count));
    scratch.dxHigh.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
      patchRange(aX, oxLow + i, aPlanes.xSize, aWindow.radius, scratch.dxLow[i], scratch.dxHigh[i]);
  }
  // The run's window, that of its first pixel (along the run it is never
  // clipped): offsets oxLow .. oxLow + count - 1 by oyLow .. oyHigh.
  int oxLow, oyLow, oyHigh, count;

  // Window row oy: the sums of candidate i at sums()[8i .. 8i + 8), its
  // weight sum at weightSums()[i] (none where not positive).
  __attribute__((target("avx2"))) void sum(int aOy) {
    const int r = mWindow.radius, side = mWindow.side;
    const std::ptrdiff_t sx = mPlanes.xStride, sy = mPlanes.yStride;
    CScratch& s = *mScratch;
    int dyLow, dyHigh;
    patchRange(mY, aOy, mPlanes.ySize, r, dyLow, dyHigh);
    if (dyLow != mSumsLow || dyHigh != mSumsHigh) {
      // The weight sums, each added in the plain loop's order.
      for (int i = 0; i < count; ++i) {
        float sum = 0.0f;
        for (int dy = dyLow; dy <= dyHigh; ++dy)
          for (int dx = s.dxLow[i]; dx <= s.dxHigh[i]; ++dx) sum += mWindow.weights[(dx + r) + (dy + r) * side];
        s.weightSums[i] = sum;
      }
      mSumsLow = dyLow;
      mSumsHigh = dyHigh;
    }
    const float* const pixels = mPlanes.distance + mX * sx + mY * sy;
    const float* const candidates = pixels + oxLow * sx + aOy * sy;
    // Candidates side by side where their patch columns agree.
    for (int i = 0; i < count;) {
      const int low = s.dxLow[i], high = s.dxHigh[i];
      int end = i + 1;
      while (end < count && end - i < kRunGroup && s.dxLow[end] == low && s.dxHigh[end] == high) ++end;
      const float* const at = candidates + i * sx;
      float* const out = &s.sums[static_cast<std::size_t>(i) * kLanes];
      switch (end - i) {
        case 6: runSumsAvx2<6>(pixels, at, sx, sy, dyLow, dyHigh, low, high, mWindow, out); break;
        case 5: runSumsAvx2<5>(pixels, at, sx, sy, dyLow, dyHigh, low, high, mWindow, out); break;
        case 4: runSumsAvx2<4>(pixels, at, sx, sy, dyLow, dyHigh, low, high, mWindow, out); break;
        case 3: runSumsAvx2<3>(pixels, at, sx, sy, dyLow, dyHigh, low, high, mWindow, out); break;
        case 2: runSumsAvx2<2>(pixels, at, sx, sy, dyLow, dyHigh, low, high, mWindow, out); break;
        default: runSumsAvx2<1>(pixels, at, sx, sy, dyLow, dyHigh, low, high, mWindow, out); break;
      }
      i = end;
    }
  }
  float* sums() { return mScratch->sums.data(); }
  const float* weightSums() const { return mScratch->weightSums.data(); }

private:
  struct CScratch {
    std::vector<float> sums, weightSums;
    std::vector<int> dxLow, dxHigh;
  };
  const CRunPlanes& mPlanes;
  int mX, mY;
  const CPatchWindow& mWindow;
  CScratch* mScratch;
  int mSumsLow = 1, mSumsHigh = 0;  // the patch rows the weight sums are for (none yet)
};

__attribute__((target("avx2"))) void windowedRunAvx2(const CRunPlanes& aPlanes, int aX, int aY, int aRadius,
                                                      float aKernel, const CPatchWindow& aWindow,
                                                      CEstimate aEstimates[kRunLength]) {
  CRunRows rows(aPlanes, aX, aY, aRadius, aWindow);
  const std::ptrdiff_t sx = aPlanes.xStride, sy = aPlanes.yStride;
  const __m256 kernel = _mm256_set1_ps(aKernel);
  CRunEstimates estimates{_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  for (int oy = rows.oyLow; oy <= rows.oyHigh; ++oy) {
    rows.sum(oy);
    float* const weights = rows.sums();
    // expf(k * (S / N)), the quotient and product in float as the plain loop
    // takes them; candidates without a weight sum get a harmless argument.
    for (int i = 0; i < rows.count; ++i) {
      float* const at = weights + static_cast<std::size_t>(i) * kLanes;
      const float n = rows.weightSums()[i];
      _mm256_storeu_ps(at, n > 0.0f ? _mm256_mul_ps(kernel, _mm256_div_ps(_mm256_loadu_ps(at), _mm256_set1_ps(n)))
                                    : _mm256_setzero_ps());
    }
    NExpKernels::expAll(weights, weights, rows.count * kLanes);
    // The pixels themselves: offset (0, 0), in every lane.
    estimates.add(weights, rows.weightSums(), aPlanes.values + (aX + rows.oxLow) * sx + (aY + oy) * sy, sx,
                  rows.count, oy == 0 ? -rows.oxLow : -1);
  }
  alignas(32) float totals[kLanes], weighteds[kLanes], largests[kLanes];
  _mm256_store_ps(totals, estimates.total);
  _mm256_store_ps(weighteds, estimates.weighted);
  _mm256_store_ps(largests, estimates.largest);
  for (int l = 0; l < kLanes; ++l) {
    aEstimates[l].weightSum = totals[l];
    aEstimates[l].weightedSum = weighteds[l];
    aEstimates[l].maxWeight = largests[l];
  }
}

// forwardRunWeights on the AVX2 path: the run's window rows 0 .. R (row 0
// from offset 1 on), each row's weights as windowedRunAvx2 makes them.
__attribute__((target("avx2"))) void forwardRunWeightsAvx2(const CRunPlanes& aPlanes, int aX, int aY, int aRadius,
                                                            float aKernel, const CPatchWindow& aWindow,
                                                            float* aWeights, std::uint8_t* aDefined,
                                                            std::size_t aStride) {
  CRunRows rows(aPlanes, aX, aY, aRadius, aWindow);
  const __m256 kernel = _mm256_set1_ps(aKernel);
  for (int oy = 0; oy <= aRadius; ++oy) {
    // Along the run the window is whole: candidate i of a row is offset i - R.
    const int first = oy == 0 ? aRadius + 1 : 0;
    if (oy > rows.oyHigh) {
      // Rows below the image: no candidates.
      for (int i = first; i < rows.count; ++i)
        std::memset(aDefined + static_cast<std::size_t>(forwardSlot(aRadius, i - aRadius, oy)) * aStride, 0,
                    kLanes);
      continue;
    }
    rows.sum(oy);
    float* const weights = rows.sums();
    const float* const weightSums = rows.weightSums();
    for (int i = first; i < rows.count; ++i) {
      float* const at = weights + static_cast<std::size_t>(i) * kLanes;
      const float n = weightSums[i];
      _mm256_storeu_ps(at, n > 0.0f ? _mm256_mul_ps(kernel, _mm256_div_ps(_mm256_loadu_ps(at), _mm256_set1_ps(n)))
                                    : _mm256_setzero_ps());
    }
    NExpKernels::expAll(weights + static_cast<std::size_t>(first) * kLanes,
                        weights + static_cast<std::size_t>(first) * kLanes, (rows.count - first) * kLanes);
    for (int i = first; i < rows.count; ++i) {
      const std::size_t slot = static_cast<std::size_t>(forwardSlot(aRadius, i - aRadius, oy)) * aStride;
      _mm256_storeu_ps(aWeights + slot, _mm256_loadu_ps(weights + static_cast<std::size_t>(i) * kLanes));
      std::memset(aDefined + slot, weightSums[i] > 0.0f ? 0xFF : 0, kLanes);
    }
  }
}

// forwardRunRanks on the AVX2 path: each window row's quotients S / N as
// windowRunDistancesAvx2 takes them, infinity where N is not positive.
__attribute__((target("avx2"))) void forwardRunRanksAvx2(const CRunPlanes& aPlanes, int aX, int aY, int aRadius,
                                                          const CPatchWindow& aWindow, float* aRanks,
                                                          std::size_t aStride) {
  CRunRows rows(aPlanes, aX, aY, aRadius, aWindow);
  const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  for (int oy = 0; oy <= aRadius; ++oy) {
    // Along the run the window is whole: candidate i of a row is offset i - R.
    const int first = oy == 0 ? aRadius + 1 : 0;
    if (oy > rows.oyHigh) {
      for (int i = first; i < rows.count; ++i)
        _mm256_storeu_ps(aRanks + static_cast<std::size_t>(forwardSlot(aRadius, i - aRadius, oy)) * aStride,
                         infinity);
      continue;
    }
    rows.sum(oy);
    const float* const weightSums = rows.weightSums();
    // Row 0 holds the pixels' own keys too (offset 0: candidate R).
    for (int i = oy == 0 ? aRadius : first; i < rows.count; ++i) {
      const float n = weightSums[i];
      const __m256 rank =
          n > 0.0f ? _mm256_div_ps(_mm256_loadu_ps(rows.sums() + static_cast<std::size_t>(i) * kLanes), _mm256_set1_ps(n))
                   : infinity;
      const int slot = i == aRadius && oy == 0 ? forwardSlots(aRadius) : forwardSlot(aRadius, i - aRadius, oy);
      _mm256_storeu_ps(aRanks + static_cast<std::size_t>(slot) * aStride, rank);
    }
  }
}

// windowDistances of the pixels of a run along a row, candidate i of pixel l
// into aDistances[l][i] and aDefined[l][i] (every lane's window has the same
// shape, so the same index).
__attribute__((target("avx2"))) void windowRunDistancesAvx2(const CRunPlanes& aPlanes, int aX, int aY, int aRadius,
                                                             const CPatchWindow& aWindow,
                                                             float* const aDistances[kRunLength],
                                                             std::uint8_t* const aDefined[kRunLength]) {
  CRunRows rows(aPlanes, aX, aY, aRadius, aWindow);
  const __m256 one = _mm256_set1_ps(1.0f);
  int at = 0;
  for (int oy = rows.oyLow; oy <= rows.oyHigh; ++oy) {
    rows.sum(oy);
    const float* const weightSums = rows.weightSums();
    int i = 0;
    // Eight candidates at a time: their quotients (a candidate per register,
    // a pixel per lane) transposed into a pixel per register. Candidates
    // without a weight sum divide by one; their distances are never read.
    for (; i + kLanes <= rows.count; i += kLanes, at += kLanes) {
      __m256 quotients[kLanes];
      std::uint64_t flags = 0;
      for (int c = 0; c < kLanes; ++c) {
        const float n = weightSums[i + c];
        const bool defined = n > 0.0f;
        // Byte c of the flags (this path runs on little-endian processors only).
        flags |= static_cast<std::uint64_t>(defined ? 1 : 0) << (8 * c);
        quotients[c] = _mm256_div_ps(_mm256_loadu_ps(rows.sums() + static_cast<std::size_t>(i + c) * kLanes),
                                     defined ? _mm256_set1_ps(n) : one);
      }
      NSimd::transpose8(quotients);
      for (int l = 0; l < kLanes; ++l) {
        _mm256_storeu_ps(aDistances[l] + at, quotients[l]);
        std::memcpy(aDefined[l] + at, &flags, sizeof flags);
      }
    }
    for (; i < rows.count; ++i, ++at) {
      const float n = weightSums[i];
      const std::uint8_t defined = n > 0.0f ? 1 : 0;
      for (int l = 0; l < kLanes; ++l) aDefined[l][at] = defined;
      if (!defined) continue;
      alignas(32) float quotients[kLanes];
      _mm256_store_ps(quotients, _mm256_div_ps(_mm256_loadu_ps(rows.sums() + static_cast<std::size_t>(i) * kLanes),
                                               _mm256_set1_ps(n)));
      for (int l = 0; l < kLanes; ++l) aDistances[l][at] = quotients[l];
    }
  }
}
#endif

// Stores the distances of one lane group: sum / weight sum where the weight
// sum is positive, as boundedDistance divides.
void storeDistances(const float* aSums, const float* aWeightSums, int aLanes, float* aDistances,
                    std::uint8_t* aDefined) {
  for (int l = 0; l < aLanes; ++l) {
    aDefined[l] = aWeightSums[l] > 0.0f ? 1 : 0;
    if (aDefined[l]) aDistances[l] = aSums[l] / aWeightSums[l];
  }
}

#ifdef TEXTURE_HAVE_X86
__attribute__((target("avx2"))) void windowDistancesAvx2(const float* aImage, int aXSize, int aYSize, int aX, int aY,
                                                          const CWindowBounds& aBounds, const CPatchWindow& aWindow,
                                                          float* aDistances, std::uint8_t* aDefined) {
  thread_local CBroadcastPatch patch;
  fillBroadcastPatch(aImage, aXSize, aYSize, aX, aY, aWindow, patch);
  float sums[kWindowGroup], weightSums[kWindowGroup];
  int i = 0;
  for (int qy = aBounds.yLow; qy <= aBounds.yHigh; ++qy)
    for (int qx = aBounds.xLow; qx <= aBounds.xHigh; qx += kWindowGroup) {
      const int lanes = std::min(kWindowGroup, aBounds.xHigh - qx + 1);
      boundedRowSumsAvx2(aImage, aXSize, aYSize, aX, aY, qx, qy, lanes, aWindow, patch, sums, weightSums);
      storeDistances(sums, weightSums, lanes, aDistances + i, aDefined + i);
      i += lanes;
    }
}
#endif

}  // namespace

void windowWeights(const float* aDistances, const std::uint8_t* aDefined, int aCount, float aKernel,
                   float* aWeights) {
  // An undefined distance was never set; its lane gets a harmless argument.
  for (int i = 0; i < aCount; ++i) aWeights[i] = aDefined[i] ? aKernel * aDistances[i] : 0.0f;
  NExpKernels::expAll(aWeights, aWeights, aCount);
}

#ifdef TEXTURE_HAVE_X86
// exactBytes eight values at a time; returns how many values it took, or
// -1 if one of them is not a byte's value.
__attribute__((target("avx2"))) std::ptrdiff_t exactBytesAvx2(const float* aImage, std::size_t aCount,
                                                                std::uint8_t* aBytes) {
  const std::size_t whole = aCount / kLanes * kLanes;
  const __m256i largest = _mm256_set1_epi32(255);
  __m256i wrong = _mm256_setzero_si256();
  for (std::size_t i = 0; i < whole; i += kLanes) {
    const __m256 value = _mm256_loadu_ps(aImage + i);
    // Truncated: NaN and values out of the int range give INT_MIN, which is
    // not their value.
    const __m256i whole32 = _mm256_cvttps_epi32(value);
    const __m256 same = _mm256_cmp_ps(_mm256_cvtepi32_ps(whole32), value, _CMP_EQ_OQ);
    // Each lane's sign bit is set by a value that changed, a value's own
    // sign (negatives and -0), or one above 255.
    wrong = _mm256_or_si256(wrong, _mm256_andnot_si256(_mm256_castps_si256(same), _mm256_set1_epi32(-1)));
    wrong = _mm256_or_si256(wrong, _mm256_castps_si256(value));
    wrong = _mm256_or_si256(wrong, _mm256_cmpgt_epi32(whole32, largest));
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(whole32), _mm256_extracti128_si256(whole32, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(aBytes + i), _mm_packus_epi16(words, words));
  }
  if (_mm256_movemask_ps(_mm256_castsi256_ps(wrong)) != 0) return -1;
  return static_cast<std::ptrdiff_t>(whole);
}
#endif

std::vector<std::uint8_t> exactBytes(const float* aImage, std::size_t aCount) {
  std::vector<std::uint8_t> bytes(aCount + kBytePadding, 0);
  std::size_t first = 0;
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) {
    const std::ptrdiff_t taken = exactBytesAvx2(aImage, aCount, bytes.data());
    if (taken < 0) return {};
    first = static_cast<std::size_t>(taken);
  }
#endif
  // The last values, or all without AVX2; without a branch per value.
  bool exact = true;
  for (std::size_t i = first; i < aCount; ++i) {
    const float value = aImage[i];
    // Out of range (or NaN) takes 0, which then differs from the value.
    const float inRange = value >= 0.0f && value <= 255.0f ? value : 0.0f;
    const auto byte = static_cast<std::uint8_t>(static_cast<int>(inRange));
    exact &= static_cast<float>(byte) == value && !std::signbit(value);
    bytes[i] = byte;
  }
  if (!exact) return {};
  return bytes;
}

bool gathersBytes(const CPatchWindow& aWindow) {
#ifdef TEXTURE_HAVE_X86
  return usesAvx2() && aWindow.side == 9;
#else
  (void)aWindow;
  return false;
#endif
}

bool usesAvx2() { return !gPortable.load(std::memory_order_relaxed) && NPatchKernels::cpuHasAvx2Fma(); }

void forcePortable(bool aPortable) { gPortable.store(aPortable, std::memory_order_relaxed); }

void candidateWeights(const float* aDistanceImage, int aXSize, const CPatchWindow& aWindow, float aKernel,
                      int aPixel, const int* aCandidates, int aCount, float* aWeights) {
  // Candidates gathered at a time: the scratch stays small however many a
  // pixel has.
  constexpr int kBlock = 1024;
  // Scratch kept per thread: pixels come one after another.
  thread_local std::vector<int> members;
  thread_local CLeafPatches patches;
  thread_local std::vector<float> sums;
  for (int first = 0; first < aCount; first += kBlock) {
    const int count = std::min(kBlock, aCount - first);
    // The pixel is member 0, its candidates follow: one row of a leaf's sums.
    members.assign(1, aPixel);
    members.insert(members.end(), aCandidates + first, aCandidates + first + count);
    gatherPatches(aDistanceImage, aXSize, aWindow, members, patches);
    if (sums.size() < static_cast<std::size_t>(patches.stride) + kLanes) sums.resize(patches.stride + kLanes);
    rowSums(patches, aWindow.weights.data(), 0, 1, count + 1, sums.data());
    NExpKernels::weighAll(sums.data() + 1, aWindow.weightSum, aKernel, aWeights + first, count);
  }
}

void leafEstimates(const float* aDistanceImage, const float* aValues, int aXSize, const CPatchWindow& aWindow,
                   float aKernel, const std::vector<int>& aMembers, const std::vector<std::uint8_t>& aIsCopy,
                   const COutput& aOutput, const std::function<void()>& aBetweenRows,
                   const std::uint8_t* aDistanceBytes) {
  const int n = static_cast<int>(aMembers.size());
  if (std::all_of(aIsCopy.begin(), aIsCopy.end(), [](std::uint8_t c) { return c != 0; })) return;
  // Scratch kept per thread: leaves come one after another.
  thread_local CLeafPatches patches;
  thread_local std::vector<float> sums, sums2, sums3, sums4, pairWeight;
  gatherPatches(aDistanceImage, aXSize, aWindow, aMembers, patches, aDistanceBytes);
  // The members' values. When they are the distance image's, they are the
  // patches' centre components, gathered already; otherwise they are read
  // from all over the image, once each.
  thread_local std::vector<float> readValues;
  const float* memberValues;
  if (aValues == aDistanceImage) {
    const int centre = aWindow.radius * aWindow.side + aWindow.radius;
    memberValues = patches.values.data() + static_cast<std::size_t>(centre) * patches.stride;
  } else {
    readValues.resize(static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j) readValues[j] = aValues[aMembers[j]];
    memberValues = readValues.data();
  }
  if (sums.size() < static_cast<std::size_t>(patches.stride) + kLanes) {
    sums.resize(patches.stride + kLanes);
    sums2.resize(patches.stride + kLanes);
    sums3.resize(patches.stride + kLanes);
    sums4.resize(patches.stride + kLanes);
  }
  const float* weights = aWindow.weights.data();
  const float weightSum = aWindow.weightSum;

  if (n <= kMaxPairMatrix) {
    // Distances are symmetric to the bit ((a - b)^2 == (b - a)^2 term by
    // term), so every pair is weighed once: the weight of members i < j is
    // at row i, column j (rows padded to whole lane groups).
    const int stride = patches.stride;
    if (pairWeight.size() < static_cast<std::size_t>(n) * stride) pairWeight.resize(static_cast<std::size_t>(n) * stride);
    const auto weigh = [&](int aRow, const std::vector<float>& aSums) {
      float* const row = pairWeight.data() + static_cast<std::size_t>(aRow) * stride;
      NExpKernels::weighAll(aSums.data() + aRow + 1, weightSum, aKernel, row + aRow + 1, n - aRow - 1);
    };
    int i = 0;
#ifdef TEXTURE_HAVE_X86
    if (usesAvx2()) {
      // Rows in fours, then pairs, share their candidates' loads.
      float* const four[4] = {sums.data(), sums2.data(), sums3.data(), sums4.data()};
      for (; i + 4 < n; i += 4) {
        rowSums4Avx2(patches, weights, i, i + 1, n, four);
        weigh(i, sums);
        weigh(i + 1, sums2);
        weigh(i + 2, sums3);
        weigh(i + 3, sums4);
        if (aBetweenRows) aBetweenRows();
      }
      for (; i + 2 < n; i += 2) {
        rowSumsAvx2(patches, weights, i, i + 1, n, sums.data(), i + 1, sums2.data());
        weigh(i, sums);
        weigh(i + 1, sums2);
        if (aBetweenRows) aBetweenRows();
      }
    }
#endif
    for (; i + 1 < n; ++i) {
      rowSums(patches, weights, i, i + 1, n, sums.data());
      weigh(i, sums);
      if (aBetweenRows) aBetweenRows();
    }
#ifdef TEXTURE_HAVE_X86
    if (usesAvx2())
      return accumulateLeafAvx2(pairWeight.data(), stride, memberValues, aXSize, aMembers, aIsCopy, aOutput);
#endif
    for (int i = 0; i < n; ++i) {
      if (aIsCopy[i]) continue;
      CEstimate estimate;
      for (int j = 0; j < n; ++j) {
        if (aMembers[j] == aMembers[i]) continue;
        const std::size_t pair =
            j < i ? static_cast<std::size_t>(j) * stride + i : static_cast<std::size_t>(i) * stride + j;
        estimate.add(pairWeight[pair], memberValues[j]);
      }
      storeEstimate(estimate, memberValues[i], aMembers[i], aXSize, aOutput);
    }
    return;
  }

  for (int i = 0; i < n; ++i) {
    if (aIsCopy[i]) continue;
    rowSums(patches, weights, i, 0, n, sums.data());
    NExpKernels::weighAll(sums.data(), weightSum, aKernel, sums.data(), n);
    CEstimate estimate;
    for (int j = 0; j < n; ++j) {
      if (aMembers[j] == aMembers[i]) continue;
      estimate.add(sums[j], memberValues[j]);
    }
    storeEstimate(estimate, memberValues[i], aMembers[i], aXSize, aOutput);
    if (aBetweenRows) aBetweenRows();
  }
}

CEstimate windowedEstimate(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize, int aX, int aY,
                           int aRadius, float aKernel, const CPatchWindow& aWindow) {
  // A window never needs to reach further than the image does; clipping the
  // radius first keeps the bounds below from overflowing.
  aRadius = std::min(aRadius, std::max(aXSize, aYSize));
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2() && aWindow.radius <= kMaxAvx2Radius)
    return windowedEstimateAvx2(aDistanceImage, aValues, aXSize, aYSize, aX, aY, aRadius, aKernel, aWindow);
#endif
  return windowedCandidates(aValues, aXSize, aYSize, aX, aY, aRadius, aKernel,
                            [&](int aQx, int aQy, int aLanes, float* aSums, float* aWeightSums) {
                              boundedSumsPortable(aDistanceImage, aXSize, aYSize, aX, aY, aQx, aQy, aLanes, aWindow,
                                                  aSums, aWeightSums);
                            });
}

void windowedRunEstimates(const CRunPlanes& aPlanes, int aX, int aY, int aRadius, float aKernel,
                          const CPatchWindow& aWindow, CEstimate aEstimates[kRunLength]) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) return windowedRunAvx2(aPlanes, aX, aY, aRadius, aKernel, aWindow, aEstimates);
#endif
  // Pixel by pixel, the plain loop through the strides.
  const int r = aWindow.radius;
  const int X = aPlanes.xSize, Y = aPlanes.ySize;
  const std::ptrdiff_t sx = aPlanes.xStride, sy = aPlanes.yStride;
  const bool alongX = sx == 1;
  for (int l = 0; l < kRunLength; ++l) {
    const int px = aX + (alongX ? l : 0), py = aY + (alongX ? 0 : l);
    CEstimate estimate;
    for (int qy = std::max(py - aRadius, 0); qy <= std::min(py + aRadius, Y - 1); ++qy)
      for (int qx = std::max(px - aRadius, 0); qx <= std::min(px + aRadius, X - 1); ++qx) {
        if (qx == px && qy == py) continue;
        int dxLow, dxHigh, dyLow, dyHigh;
        patchRange(px, qx - px, X, r, dxLow, dxHigh);
        patchRange(py, qy - py, Y, r, dyLow, dyHigh);
        float sum = 0.0f, weightSum = 0.0f;
        for (int dy = dyLow; dy <= dyHigh; ++dy)
          for (int dx = dxLow; dx <= dxHigh; ++dx) {
            const float d = aPlanes.distance[(px + dx) * sx + (py + dy) * sy] -
                            aPlanes.distance[(qx + dx) * sx + (qy + dy) * sy];
            const float w = aWindow.at(dx, dy);
            sum += (d * d) * w;
            weightSum += w;
          }
        if (!(weightSum > 0.0f)) continue;
        estimate.add(std::exp(aKernel * (sum / weightSum)), aPlanes.values[qx * sx + qy * sy]);
      }
    aEstimates[l] = estimate;
  }
}

void forwardRunWeights(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius, float aKernel,
                       const CPatchWindow& aWindow, float* aWeights, std::uint8_t* aDefined, std::size_t aStride) {
  const CRunPlanes planes{aImage, nullptr, aXSize, aYSize, 1, aXSize};
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) return forwardRunWeightsAvx2(planes, aX, aY, aRadius, aKernel, aWindow, aWeights, aDefined, aStride);
#endif
  for (int l = 0; l < kRunLength; ++l)
    forwardPixelWeights(aImage, aXSize, aYSize, aX + l, aY, aRadius, aKernel, aWindow, aWeights + l, aDefined + l,
                        aStride);
}

namespace {

// The bounded distances of the forward candidates of pixel (aX, aY), by
// slot: aDistances[s] and aDefined[s] 1, or aDefined[s] 0 where the
// candidate lies outside the image or the distance is undefined. Two windows
// of candidates inside the image, each measured in one call: the rest of
// the pixel's row, then the rows below it.
void forwardPixelDistances(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius,
                           const CPatchWindow& aWindow, std::vector<float>& aDistances,
                           std::vector<std::uint8_t>& aDefined) {
  thread_local std::vector<float> distances;
  thread_local std::vector<std::uint8_t> defined;
  const std::size_t slots = static_cast<std::size_t>(forwardSlots(aRadius));
  if (distances.size() < slots) {
    distances.resize(slots);
    defined.resize(slots);
  }
  aDistances.resize(slots);
  aDefined.resize(slots);
  const CWindowBounds rest{std::max(aX + 1, 0), std::min(aX + aRadius, aXSize - 1), aY, aY};
  const CWindowBounds below{std::max(aX - aRadius, 0), std::min(aX + aRadius, aXSize - 1), aY + 1,
                            std::min(aY + aRadius, aYSize - 1)};
  const int restCount = rest.count();
  windowDistances(aImage, aXSize, aYSize, aX, aY, rest, aWindow, distances.data(), defined.data());
  windowDistances(aImage, aXSize, aYSize, aX, aY, below, aWindow, distances.data() + restCount,
                  defined.data() + restCount);
  for (int oy = 0; oy <= aRadius; ++oy)
    for (int ox = oy == 0 ? 1 : -aRadius; ox <= aRadius; ++ox) {
      const std::size_t slot = static_cast<std::size_t>(forwardSlot(aRadius, ox, oy));
      const int x = aX + ox, y = aY + oy;
      const CWindowBounds& bounds = oy == 0 ? rest : below;
      const bool inside = x >= bounds.xLow && x <= bounds.xHigh && y >= bounds.yLow && y <= bounds.yHigh;
      const std::size_t at = oy == 0 ? static_cast<std::size_t>(x - rest.xLow)
                                     : restCount + static_cast<std::size_t>(x - below.xLow) +
                                           static_cast<std::size_t>(y - below.yLow) * below.width();
      aDefined[slot] = inside && defined[at] ? 1 : 0;
      aDistances[slot] = aDefined[slot] ? distances[at] : 0.0f;
    }
}

}  // namespace

void forwardPixelWeights(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius, float aKernel,
                         const CPatchWindow& aWindow, float* aWeights, std::uint8_t* aDefined, std::size_t aStride) {
  thread_local std::vector<float> distances;
  thread_local std::vector<std::uint8_t> defined;
  forwardPixelDistances(aImage, aXSize, aYSize, aX, aY, aRadius, aWindow, distances, defined);
  const int slots = forwardSlots(aRadius);
  windowWeights(distances.data(), defined.data(), slots, aKernel, distances.data());
  for (int s = 0; s < slots; ++s) {
    aDefined[static_cast<std::size_t>(s) * aStride] = defined[s] ? 0xFF : 0;
    if (defined[s]) aWeights[static_cast<std::size_t>(s) * aStride] = distances[s];
  }
}

void forwardPixelRanks(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius,
                       const CPatchWindow& aWindow, float* aRanks, std::size_t aStride) {
  thread_local std::vector<float> distances;
  thread_local std::vector<std::uint8_t> defined;
  forwardPixelDistances(aImage, aXSize, aYSize, aX, aY, aRadius, aWindow, distances, defined);
  const int slots = forwardSlots(aRadius);
  for (int s = 0; s < slots; ++s)
    aRanks[static_cast<std::size_t>(s) * aStride] = defined[s] ? distances[s] : std::numeric_limits<float>::infinity();
  float own;
  aRanks[static_cast<std::size_t>(slots) * aStride] =
      NLMeansCommon::boundedDistance(aImage, aXSize, aYSize, aX, aY, aX, aY, aWindow, own)
          ? own
          : std::numeric_limits<float>::infinity();
}

void forwardRunRanks(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius,
                     const CPatchWindow& aWindow, float* aRanks, std::size_t aStride) {
  const CRunPlanes planes{aImage, nullptr, aXSize, aYSize, 1, aXSize};
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) return forwardRunRanksAvx2(planes, aX, aY, aRadius, aWindow, aRanks, aStride);
#endif
  for (int l = 0; l < kRunLength; ++l)
    forwardPixelRanks(aImage, aXSize, aYSize, aX + l, aY, aRadius, aWindow, aRanks + l, aStride);
}

// Windows of more candidates than this go pixel by pixel: the room for a
// run's eight windows stays within a few megabytes.
constexpr std::size_t kMaxRunWindow = std::size_t{1} << 16;

CRowDistances::CRowDistances(const float* aImage, int aXSize, int aYSize, int aRadius, const CPatchWindow& aWindow)
    : mImage(aImage), mXSize(aXSize), mYSize(aYSize), mRadius(aRadius), mWindow(aWindow),
      mStride(largestWindow(aXSize, aYSize, aRadius)) {
  // The single pixel's room first, the run's after it (made when needed).
  mDistances.resize(mStride);
  mDefined.resize(mStride);
}

void CRowDistances::at(int aX, int aY, const float*& aDistances, const std::uint8_t*& aDefined) {
  if (aY == mRunY && aX >= mRunX && aX < mRunX + kRunLength && mRunX >= 0) {
    aDistances = mDistances.data() + (1 + aX - mRunX) * mStride;
    aDefined = mDefined.data() + (1 + aX - mRunX) * mStride;
    return;
  }
#ifdef TEXTURE_HAVE_X86
  const CRunPlanes planes{mImage, nullptr, mXSize, mYSize, 1, mXSize};
  if (usesAvx2() && mStride <= kMaxRunWindow && windowedRunFits(planes, aX, aY, mRadius, mWindow)) {
    if (mDistances.size() < mStride * (kRunLength + 1)) {
      mDistances.resize(mStride * (kRunLength + 1));
      mDefined.resize(mDistances.size());
    }
    float* distances[kRunLength];
    std::uint8_t* defined[kRunLength];
    for (int l = 0; l < kRunLength; ++l) {
      distances[l] = mDistances.data() + (1 + l) * mStride;
      defined[l] = mDefined.data() + (1 + l) * mStride;
    }
    windowRunDistancesAvx2(planes, aX, aY, mRadius, mWindow, distances, defined);
    mRunX = aX;
    mRunY = aY;
    aDistances = distances[0];
    aDefined = defined[0];
    return;
  }
#endif
  // One pixel alone, in the room before the run's.
  float* const distances = mDistances.data();
  std::uint8_t* const defined = mDefined.data();
  windowDistances(mImage, mXSize, mYSize, aX, aY, windowBounds(mXSize, mYSize, aX, aY, mRadius), mWindow, distances,
                  defined);
  aDistances = distances;
  aDefined = defined;
}

void CRowDistances::ranksAt(int aX, int aY, float* aRanks) {
  const float* distances;
  const std::uint8_t* defined;
  at(aX, aY, distances, defined);
  const int total = windowBounds(mXSize, mYSize, aX, aY, mRadius).count();
  for (int i = 0; i < total; ++i) aRanks[i] = defined[i] ? distances[i] : std::numeric_limits<float>::infinity();
}

CWindowBounds windowBounds(int aXSize, int aYSize, int aX, int aY, int aRadius) {
  // In 64 bits, then clamped so that an empty window stays empty in int.
  const long long x = aX, y = aY, radius = aRadius;
  CWindowBounds bounds;
  bounds.xLow = static_cast<int>(std::min<long long>(std::max(x - radius, 0LL), aXSize));
  bounds.xHigh = static_cast<int>(std::max<long long>(std::min(x + radius, aXSize - 1LL), -1));
  bounds.yLow = static_cast<int>(std::min<long long>(std::max(y - radius, 0LL), aYSize));
  bounds.yHigh = static_cast<int>(std::max<long long>(std::min(y + radius, aYSize - 1LL), -1));
  return bounds;
}

void windowDistances(const float* aImage, int aXSize, int aYSize, int aX, int aY, const CWindowBounds& aBounds,
                     const CPatchWindow& aWindow, float* aDistances, std::uint8_t* aDefined) {
  if (aBounds.count() == 0) return;
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2() && aWindow.radius <= kMaxAvx2Radius)
    return windowDistancesAvx2(aImage, aXSize, aYSize, aX, aY, aBounds, aWindow, aDistances, aDefined);
#endif
  float sums[kLanes], weightSums[kLanes];
  int i = 0;
  for (int qy = aBounds.yLow; qy <= aBounds.yHigh; ++qy)
    for (int qx = aBounds.xLow; qx <= aBounds.xHigh; qx += kLanes) {
      const int lanes = std::min(kLanes, aBounds.xHigh - qx + 1);
      boundedSumsPortable(aImage, aXSize, aYSize, aX, aY, qx, qy, lanes, aWindow, sums, weightSums);
      storeDistances(sums, weightSums, lanes, aDistances + i, aDefined + i);
      i += lanes;
    }
}

}  // namespace NLMeansKernels

#include "PatchKernels.h"
#include "SimdTranspose.h"

#include <algorithm>
#include <atomic>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

namespace NPatchKernels {
namespace {

std::atomic<bool> gPortable{false};

// Eight interleaved sums: independent chains that the processor overlaps.
constexpr int kLanes = 8;

void centreDistancesPortable(const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre,
                             float* aOut) {
  for (int i = 0; i < aCount; i += kLanes) {
    const int lanes = aCount - i < kLanes ? aCount - i : kLanes;
    float sum[kLanes] = {};
    const float* base[kLanes];
    for (int l = 0; l < lanes; ++l) base[l] = aLayout.image + aPixels[i + l];
    for (int k = 0; k < aLayout.length; ++k) {
      const int offset = aLayout.offsets[k];
      const float c = aCentre[k];
      for (int l = 0; l < lanes; ++l) {
        const float d = base[l][offset] - c;
        sum[l] += d * d;
      }
    }
    for (int l = 0; l < lanes; ++l) aOut[i + l] = sum[l];
  }
}

void centreDistances2Portable(const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre0,
                              const float* aCentre1, float* aOut0, float* aOut1) {
  for (int i = 0; i < aCount; i += kLanes) {
    const int lanes = aCount - i < kLanes ? aCount - i : kLanes;
    float sum0[kLanes] = {}, sum1[kLanes] = {};
    const float* base[kLanes];
    for (int l = 0; l < lanes; ++l) base[l] = aLayout.image + aPixels[i + l];
    for (int k = 0; k < aLayout.length; ++k) {
      const int offset = aLayout.offsets[k];
      const float c0 = aCentre0[k], c1 = aCentre1[k];
      for (int l = 0; l < lanes; ++l) {
        const float x = base[l][offset];
        const float d0 = x - c0;
        sum0[l] += d0 * d0;
        const float d1 = x - c1;
        sum1[l] += d1 * d1;
      }
    }
    for (int l = 0; l < lanes; ++l) {
      aOut0[i + l] = sum0[l];
      aOut1[i + l] = sum1[l];
    }
  }
}

#ifdef TEXTURE_HAVE_X86
// The patch bases of up to eight records; missing lanes repeat the first, so
// every address read is valid, and their results are dropped.
inline void patchBases(const CPatchLayout& aLayout, const int* aPixels, int aLanes, const float* aBase[8]) {
  for (int l = 0; l < kLanes; ++l) aBase[l] = aLayout.image + aPixels[l < aLanes ? l : 0];
}

__attribute__((target("avx2,fma"))) void storeLanes(float* aOut, __m256 aValue, int aLanes) {
  if (aLanes == kLanes) {
    _mm256_storeu_ps(aOut, aValue);
    return;
  }
  alignas(32) float values[kLanes];
  _mm256_store_ps(values, aValue);
  for (int l = 0; l < aLanes; ++l) aOut[l] = values[l];
}

// Feeds the components of eight patches, in component order, to aVisit(k,
// values): each patch row's runs of eight are loaded as rows and transposed,
// what is left of the row is loaded lane by lane (cheaper than a gather on
// the processors measured). Two groups of eight taken row by row in turn,
// and prefetching the next group's rows, both measured no faster. Runs of
// eight consecutive pixels read without the transpose were only 30% faster
// (the additions and subtractions bound both), and below the largest nodes
// few records lie in such runs.
// Side is the patch side when known at compile time (the usual 9 x 9
// patches), or 0 to read it from the layout.
template <int Side, typename Visit>
__attribute__((target("avx2,fma"))) inline void forEachComponent(const CPatchLayout& aLayout,
                                                                 const float* const aBase[8], Visit& aVisit) {
  const int side = Side > 0 ? Side : aLayout.side;
  for (int dy = 0, k = 0; dy < side; ++dy) {
    const int rowStart = aLayout.offsets[k];
    int dx = 0;
    for (; dx + 8 <= side; dx += 8, k += 8) {
      __m256 rows[8];
      for (int l = 0; l < 8; ++l) rows[l] = _mm256_loadu_ps(aBase[l] + rowStart + dx);
      NSimd::transpose8(rows);
      for (int c = 0; c < 8; ++c) aVisit(k + c, rows[c]);
    }
    for (; dx < side; ++dx, ++k) {
      const int at = rowStart + dx;
      aVisit(k, _mm256_setr_ps(aBase[0][at], aBase[1][at], aBase[2][at], aBase[3][at], aBase[4][at], aBase[5][at],
                               aBase[6][at], aBase[7][at]));
    }
  }
}

// Squared distances to one centre, and to two, one component at a time.
// The centres' components are repeated in all lanes once per batch (each
// component k at [8k, 8k + 8)), so the inner loops read them directly; a
// broadcast from the centre in the loop measured slower.
const float* broadcastCentre(const float* aCentre, int aLength, std::vector<float>& aOut) {
  aOut.resize(static_cast<std::size_t>(aLength) * kLanes);
  for (int k = 0; k < aLength; ++k) std::fill_n(&aOut[static_cast<std::size_t>(k) * kLanes], kLanes, aCentre[k]);
  return aOut.data();
}

struct COneCentre {
  const float* centre;
  __m256 sum;
  __attribute__((target("avx2,fma"))) void operator()(int aK, __m256 aX) {
    const __m256 d = _mm256_sub_ps(aX, _mm256_loadu_ps(centre + aK * kLanes));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(d, d));
  }
};

// The first difference is taken as x * 1 - c in one rounding, which is x -
// c to the bit: the fused unit then does it, beside the multiplications,
// while the adders take the other difference and the two sums (on processors
// whose adders are apart, such as AMD's, the adders alone bound the kernel).
struct CTwoCentres {
  const float* centre0;
  const float* centre1;
  __m256 sum0;
  __m256 sum1;
  __attribute__((target("avx2,fma"))) void operator()(int aK, __m256 aX) {
    const __m256 d0 = _mm256_fmsub_ps(aX, _mm256_set1_ps(1.0f), _mm256_loadu_ps(centre0 + aK * kLanes));
    sum0 = _mm256_add_ps(sum0, _mm256_mul_ps(d0, d0));
    const __m256 d1 = _mm256_sub_ps(aX, _mm256_loadu_ps(centre1 + aK * kLanes));
    sum1 = _mm256_add_ps(sum1, _mm256_mul_ps(d1, d1));
  }
};

template <int Side>
__attribute__((target("avx2,fma"))) void centreDistancesAvx2(const CPatchLayout& aLayout, const int* aPixels,
                                                              int aCount, const float* aCentre, float* aOut) {
  thread_local std::vector<float> repeated;
  const float* centre = broadcastCentre(aCentre, aLayout.length, repeated);
  for (int i = 0; i < aCount; i += kLanes) {
    const int lanes = aCount - i < kLanes ? aCount - i : kLanes;
    const float* base[kLanes];
    patchBases(aLayout, aPixels + i, lanes, base);
    COneCentre visit{centre, _mm256_setzero_ps()};
    forEachComponent<Side>(aLayout, base, visit);
    storeLanes(aOut + i, visit.sum, lanes);
  }
}

template <int Side>
__attribute__((target("avx2,fma"), always_inline)) inline void centreDistances2Body(
    const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre0, const float* aCentre1,
    float* aOut0, float* aOut1) {
  thread_local std::vector<float> repeated0, repeated1;
  const float* centre0 = broadcastCentre(aCentre0, aLayout.length, repeated0);
  const float* centre1 = broadcastCentre(aCentre1, aLayout.length, repeated1);
  for (int i = 0; i < aCount; i += kLanes) {
    const int lanes = aCount - i < kLanes ? aCount - i : kLanes;
    const float* base[kLanes];
    patchBases(aLayout, aPixels + i, lanes, base);
    CTwoCentres visit{centre0, centre1, _mm256_setzero_ps(), _mm256_setzero_ps()};
    forEachComponent<Side>(aLayout, base, visit);
    storeLanes(aOut0 + i, visit.sum0, lanes);
    storeLanes(aOut1 + i, visit.sum1, lanes);
  }
}

// The sums of the 9 x 9 case stay in registers while the records stream
// past: rows 0-8 of columns 0-7 in nine registers, column 8 of rows 0-7 in a
// tenth, and the last component apart. Each component's additions still come
// one record after another. The rows of a patch lie xSize apart and each
// row's ninth component 8 after its first (the layout is a square patch), so
// every load is the patch's top left corner plus a multiple of the row
// stride and a constant, which needs few registers. Sign: which records are
// subtracted (without any, no sign is applied at all).
enum ESign { kAddAll, kSubtractSet };
template <ESign Sign>
__attribute__((target("avx2,fma"), always_inline)) inline void sumFeatures9Body(const CPatchLayout& aLayout,
                                                                                const int* aPositions,
                                                                                const std::uint8_t* aNegate, int aCount,
                                                                                float* aSum) {
  const std::ptrdiff_t corner0 = aLayout.offsets[0], stride = aLayout.xSize;
  __m256 row[9];
  for (int dy = 0; dy < 9; ++dy) row[dy] = _mm256_loadu_ps(aSum + 9 * dy);
  __m256 column = _mm256_setr_ps(aSum[8], aSum[17], aSum[26], aSum[35], aSum[44], aSum[53], aSum[62], aSum[71]);
  float corner = aSum[80];
  const __m256 signBit = _mm256_set1_ps(-0.0f);
  for (int i = 0; i < aCount; ++i) {
    const float* top = aLayout.image + aPositions[i] + corner0;
    constexpr bool Negate = Sign != kAddAll;
    __m256 sign = _mm256_setzero_ps();
    if (Negate) {
      const bool subtract = aNegate[i] != 0;
      sign = _mm256_and_ps(signBit, _mm256_castsi256_ps(_mm256_set1_epi32(subtract ? -1 : 0)));
    }
    for (int dy = 0; dy < 9; ++dy) {
      const __m256 x = _mm256_loadu_ps(top + dy * stride);
      row[dy] = _mm256_add_ps(row[dy], Negate ? _mm256_xor_ps(x, sign) : x);
    }
    const __m256 last = _mm256_setr_ps(top[8], top[stride + 8], top[2 * stride + 8], top[3 * stride + 8],
                                       top[4 * stride + 8], top[5 * stride + 8], top[6 * stride + 8],
                                       top[7 * stride + 8]);
    column = _mm256_add_ps(column, Negate ? _mm256_xor_ps(last, sign) : last);
    // The sign by the same mask, not by a branch: whether a record leaves or
    // joins is as good as random.
    __m128 cornerValue = _mm_set_ss(top[8 * stride + 8]);
    if (Negate) cornerValue = _mm_xor_ps(cornerValue, _mm256_castps256_ps128(sign));
    corner = corner + _mm_cvtss_f32(cornerValue);
  }
  for (int dy = 0; dy < 9; ++dy) _mm256_storeu_ps(aSum + 9 * dy, row[dy]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, column);
  for (int dy = 0; dy < 8; ++dy) aSum[9 * dy + 8] = lanes[dy];
  aSum[80] = corner;
}

// sumMoves for the rows [aFirstRow, aFirstRow + Rows) of the 9 x 9 case:
// columns 0-7 of each row in a register per sum, column 8 of up to eight
// rows in the lanes of one more register per sum (128 bits for up to four
// rows), that of a ninth row apart. Each record is added to one sum and
// subtracted from the other: the second sum subtracts what the first adds
// (a - b is a + (-b) to the bit). All nine rows at once need the thirty-two
// registers of the wider build.
template <int Rows>
__attribute__((target("avx2,fma"), always_inline)) inline void sumMoves9Body(const CPatchLayout& aLayout,
                                                                             const int* aPositions,
                                                                             const std::uint8_t* aToSecond, int aCount,
                                                                             float* aSum0, float* aSum1,
                                                                             int aFirstRow) {
  static_assert(Rows >= 1 && Rows <= 9, "a patch has nine rows");
  const int* offsets = aLayout.offsets + 9 * aFirstRow;
  float* sum0 = aSum0 + 9 * aFirstRow;
  float* sum1 = aSum1 + 9 * aFirstRow;
  __m256 row0[Rows], row1[Rows];
  alignas(32) float last0[9] = {}, last1[9] = {};
  for (int dy = 0; dy < Rows; ++dy) {
    row0[dy] = _mm256_loadu_ps(sum0 + 9 * dy);
    row1[dy] = _mm256_loadu_ps(sum1 + 9 * dy);
    last0[dy] = sum0[9 * dy + 8];
    last1[dy] = sum1[9 * dy + 8];
  }
  constexpr bool kNarrowColumn = Rows <= 4;
  __m128 narrow0 = _mm_load_ps(last0), narrow1 = _mm_load_ps(last1);
  __m256 wide0 = _mm256_load_ps(last0), wide1 = _mm256_load_ps(last1);
  float corner0 = last0[8], corner1 = last1[8];
  const __m256 signBit = _mm256_set1_ps(-0.0f);
  for (int i = 0; i < aCount; ++i) {
    const float* base = aLayout.image + aPositions[i];
    // Negative where the record goes to the second cluster; no branch on
    // the side, which is as good as random.
    const __m256 sign = _mm256_and_ps(signBit, _mm256_castsi256_ps(_mm256_set1_epi32(aToSecond[i] ? -1 : 0)));
    float ninth[9] = {};
    for (int dy = 0; dy < Rows; ++dy) {
      const float* row = base + offsets[9 * dy];
      const __m256 x = _mm256_xor_ps(_mm256_loadu_ps(row), sign);
      row0[dy] = _mm256_add_ps(row0[dy], x);
      row1[dy] = _mm256_sub_ps(row1[dy], x);
      ninth[dy] = row[8];
    }
    if constexpr (kNarrowColumn) {
      const __m128 column =
          _mm_xor_ps(_mm_setr_ps(ninth[0], ninth[1], ninth[2], ninth[3]), _mm256_castps256_ps128(sign));
      narrow0 = _mm_add_ps(narrow0, column);
      narrow1 = _mm_sub_ps(narrow1, column);
    } else {
      const __m256 column = _mm256_xor_ps(
          _mm256_setr_ps(ninth[0], ninth[1], ninth[2], ninth[3], ninth[4], ninth[5], ninth[6], ninth[7]), sign);
      wide0 = _mm256_add_ps(wide0, column);
      wide1 = _mm256_sub_ps(wide1, column);
      if constexpr (Rows == 9) {
        const float c = _mm_cvtss_f32(_mm_xor_ps(_mm_set_ss(ninth[8]), _mm256_castps256_ps128(sign)));
        corner0 = corner0 + c;
        corner1 = corner1 - c;
      }
    }
  }
  if constexpr (kNarrowColumn) {
    _mm_store_ps(last0, narrow0);
    _mm_store_ps(last1, narrow1);
  } else {
    _mm256_store_ps(last0, wide0);
    _mm256_store_ps(last1, wide1);
    last0[8] = corner0;
    last1[8] = corner1;
  }
  for (int dy = 0; dy < Rows; ++dy) {
    _mm256_storeu_ps(sum0 + 9 * dy, row0[dy]);
    _mm256_storeu_ps(sum1 + 9 * dy, row1[dy]);
    sum0[9 * dy + 8] = last0[dy];
    sum1[9 * dy + 8] = last1[dy];
  }
}

// The kernels above, each compiled twice: for AVX2 and FMA, and for processors
// with AVX-512VL, whose thirty-two registers the same 256-bit instructions
// may use. With sixteen, the compiler spills a transposed patch row or the
// sums to the stack; the instructions and their order are the same.
#define TEXTURE_PATCH_KERNELS(Suffix, Target)                                                                        \
  template <int Side>                                                                                             \
  __attribute__((target(Target))) void centreDistances2##Suffix(const CPatchLayout& aLayout, const int* aPixels,  \
                                                                int aCount, const float* aCentre0,                \
                                                                const float* aCentre1, float* aOut0, float* aOut1) { \
    centreDistances2Body<Side>(aLayout, aPixels, aCount, aCentre0, aCentre1, aOut0, aOut1);                       \
  }                                                                                                               \
  __attribute__((target(Target))) void sumFeatures9##Suffix(const CPatchLayout& aLayout, const int* aPositions,   \
                                                            const std::uint8_t* aNegate, int aCount, float* aSum) { \
    if (!aNegate)                                                                                                 \
      sumFeatures9Body<kAddAll>(aLayout, aPositions, aNegate, aCount, aSum);                                      \
    else                                                                                                          \
      sumFeatures9Body<kSubtractSet>(aLayout, aPositions, aNegate, aCount, aSum);                                 \
  }                                                                                                               \
  template <int Rows>                                                                                             \
  __attribute__((target(Target))) void sumMoves9##Suffix(const CPatchLayout& aLayout, const int* aPositions,      \
                                                         const std::uint8_t* aToSecond, int aCount, float* aSum0, \
                                                         float* aSum1, int aFirstRow) {                           \
    sumMoves9Body<Rows>(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, aFirstRow);                         \
  }

TEXTURE_PATCH_KERNELS(Avx2, "avx2,fma")
TEXTURE_PATCH_KERNELS(Wide, "avx2,fma,avx512f,avx512vl")
#undef TEXTURE_PATCH_KERNELS

#endif

std::atomic<bool> gNarrow{false};

}  // namespace

bool cpuHasAvx2Fma() {
#ifdef TEXTURE_HAVE_X86
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
#else
  return false;
#endif
}

bool cpuHasAvx512vl() {
#ifdef TEXTURE_HAVE_X86
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  return has;
#else
  return false;
#endif
}

bool usesAvx2() { return !gPortable.load(std::memory_order_relaxed) && cpuHasAvx2Fma(); }

bool usesWideRegisters() { return usesAvx2() && !gNarrow.load(std::memory_order_relaxed) && cpuHasAvx512vl(); }

void forcePortable(bool aPortable) { gPortable.store(aPortable, std::memory_order_relaxed); }

void forceNarrowRegisters(bool aNarrow) { gNarrow.store(aNarrow, std::memory_order_relaxed); }

void centreDistances(const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre, float* aOut) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) {
    if (aLayout.side == 9) return centreDistancesAvx2<9>(aLayout, aPixels, aCount, aCentre, aOut);
    return centreDistancesAvx2<0>(aLayout, aPixels, aCount, aCentre, aOut);
  }
#endif
  centreDistancesPortable(aLayout, aPixels, aCount, aCentre, aOut);
}

void centreDistances2(const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre0,
                      const float* aCentre1, float* aOut0, float* aOut1) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) {
    const bool wide = usesWideRegisters();
    if (aLayout.side == 9)
      return wide ? centreDistances2Wide<9>(aLayout, aPixels, aCount, aCentre0, aCentre1, aOut0, aOut1)
                  : centreDistances2Avx2<9>(aLayout, aPixels, aCount, aCentre0, aCentre1, aOut0, aOut1);
    return wide ? centreDistances2Wide<0>(aLayout, aPixels, aCount, aCentre0, aCentre1, aOut0, aOut1)
                : centreDistances2Avx2<0>(aLayout, aPixels, aCount, aCentre0, aCentre1, aOut0, aOut1);
  }
#endif
  centreDistances2Portable(aLayout, aPixels, aCount, aCentre0, aCentre1, aOut0, aOut1);
}

void sumFeatures(const CPatchLayout& aLayout, const int* aPositions, const std::uint8_t* aNegate, int aCount,
                 float* aSum) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2() && aLayout.side == 9)
    return usesWideRegisters() ? sumFeatures9Wide(aLayout, aPositions, aNegate, aCount, aSum)
                               : sumFeatures9Avx2(aLayout, aPositions, aNegate, aCount, aSum);
#endif
  for (int i = 0; i < aCount; ++i) {
    const float* base = aLayout.image + aPositions[i];
    if (aNegate && aNegate[i])
      for (int k = 0; k < aLayout.length; ++k) aSum[k] -= base[aLayout.offsets[k]];
    else
      for (int k = 0; k < aLayout.length; ++k) aSum[k] += base[aLayout.offsets[k]];
  }
}

}  // namespace NPatchKernels

namespace NPatchKernels {

void sumMoves(const CPatchLayout& aLayout, const int* aPositions, const std::uint8_t* aToSecond, int aCount,
              float* aSum0, float* aSum1, int aFirstRow, int aEndRow) {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2() && aLayout.side == 9) {
    const bool wide = usesWideRegisters();
    for (int dy = aFirstRow; dy < aEndRow;) {
      const int rows = aEndRow - dy;
      if (wide && rows == 9) {
        // Each record read once.
        sumMoves9Wide<9>(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, dy);
        dy += 9;
      } else if (rows == 5 || rows == 4) {
        // A thread's half of the rows (see the tree's shared moves).
        if (rows == 5)
          (wide ? sumMoves9Wide<5> : sumMoves9Avx2<5>)(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, dy);
        else
          (wide ? sumMoves9Wide<4> : sumMoves9Avx2<4>)(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, dy);
        dy += rows;
      } else if (rows >= 3) {
        (wide ? sumMoves9Wide<3> : sumMoves9Avx2<3>)(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, dy);
        dy += 3;
      } else if (rows == 2) {
        (wide ? sumMoves9Wide<2> : sumMoves9Avx2<2>)(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, dy);
        dy += 2;
      } else {
        (wide ? sumMoves9Wide<1> : sumMoves9Avx2<1>)(aLayout, aPositions, aToSecond, aCount, aSum0, aSum1, dy);
        dy += 1;
      }
    }
    return;
  }
#endif
  const int begin = aFirstRow * aLayout.side, end = aEndRow * aLayout.side;
  for (int i = 0; i < aCount; ++i) {
    const float* base = aLayout.image + aPositions[i];
    if (aToSecond[i])
      for (int k = begin; k < end; ++k) {
        const float x = base[aLayout.offsets[k]];
        aSum0[k] -= x;
        aSum1[k] += x;
      }
    else
      for (int k = begin; k < end; ++k) {
        const float x = base[aLayout.offsets[k]];
        aSum0[k] += x;
        aSum1[k] -= x;
      }
  }
}

}  // namespace NPatchKernels

#include "BestCandidates.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace NLMeansCommon {

namespace {

// The smallest keys seen so far, in increasing order; a key equal to one kept
// goes after it (a tie, found at the end when it stays among them).
struct CFewKept {
  static constexpr int kMost = 16;
  float value[kMost];
  int index[kMost];
  int size = 0;
  int kept = 0;
  void offer(float aKey, int aIndex) {
    if (size == kept && !(aKey < value[kept - 1])) return;
    int j = size < kept ? size++ : kept - 1;
    for (; j > 0 && value[j - 1] > aKey; --j) {
      value[j] = value[j - 1];
      index[j] = index[j - 1];
    }
    value[j] = aKey;
    index[j] = aIndex;
  }
};

// Offers the keys [aBegin, aEnd); returns whether one is NaN.
bool offerRange(const float* aRanks, int aBegin, int aEnd, CFewKept& aKept) {
  bool notANumber = false;
  for (int i = aBegin; i < aEnd; ++i) {
    notANumber |= !(aRanks[i] == aRanks[i]);
    aKept.offer(aRanks[i], i);
  }
  return notANumber;
}

#if defined(__x86_64__) || defined(__i386__)
// The eight keys from aRanks[aAt], infinity past aTotal.
__attribute__((target("avx2"))) inline __m256 keysAt(const float* aRanks, int aAt, int aTotal) {
  if (aAt + 8 <= aTotal) return _mm256_loadu_ps(aRanks + aAt);
  alignas(32) float last[8];
  for (int l = 0; l < 8; ++l) last[l] = aAt + l < aTotal ? aRanks[aAt + l] : std::numeric_limits<float>::infinity();
  return _mm256_load_ps(last);
}

// Offers all keys, eight lanes side by side: each lane keeps its K smallest
// keys (with their indices) in registers, sorted, by one insertion step per
// register, without a branch; then the lanes' keys are offered to aKept.
// Every key among the K smallest of all is among the K smallest of its lane,
// so aKept ends as an offer of every key would leave it, but for which of
// several entries with its last key it holds. Returns whether a key is NaN.
template <int K>
__attribute__((target("avx2"))) bool offerAllAvx2(const float* aRanks, int aTotal, CFewKept& aKept) {
  const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  __m256 value[K];
  __m256i index[K];
  for (int k = 0; k < K; ++k) {
    value[k] = infinity;
    index[k] = _mm256_set1_epi32(-1);
  }
  __m256 unordered = _mm256_setzero_ps();
  __m256i at = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i step = _mm256_set1_epi32(8);
  for (int i = 0; i < aTotal; i += 8, at = _mm256_add_epi32(at, step)) {
    // Past the end: infinity, which never enters (infinity < x is false).
    __m256 key = keysAt(aRanks, i, aTotal);
    unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(key, key, _CMP_UNORD_Q));
    __m256i keyIndex = at;
    for (int k = 0; k < K; ++k) {
      // Below the k-th kept: the key takes its place, and it moves on down.
      const __m256 below = _mm256_cmp_ps(key, value[k], _CMP_LT_OQ);
      const __m256i belowI = _mm256_castps_si256(below);
      const __m256 kept = value[k];
      const __m256i keptIndex = index[k];
      value[k] = _mm256_blendv_ps(kept, key, below);
      index[k] = _mm256_castps_si256(
          _mm256_blendv_ps(_mm256_castsi256_ps(keptIndex), _mm256_castsi256_ps(keyIndex), below));
      key = _mm256_blendv_ps(key, kept, below);
      keyIndex = _mm256_castps_si256(
          _mm256_blendv_ps(_mm256_castsi256_ps(keyIndex), _mm256_castsi256_ps(keptIndex), _mm256_castsi256_ps(belowI)));
    }
  }
  alignas(32) float values[K][8];
  alignas(32) int indices[K][8];
  for (int k = 0; k < K; ++k) {
    _mm256_store_ps(values[k], value[k]);
    _mm256_store_si256(reinterpret_cast<__m256i*>(indices[k]), index[k]);
  }
  for (int l = 0; l < 8; ++l)
    for (int k = 0; k < K; ++k)
      if (indices[k][l] >= 0) aKept.offer(values[k][l], indices[k][l]);
  return _mm256_movemask_ps(unordered) != 0;
}
#endif

// Offers every key; returns whether one is NaN.
bool offerAll(const float* aRanks, int aTotal, CFewKept& aKept) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    switch (aKept.kept) {
      case 1: return offerAllAvx2<1>(aRanks, aTotal, aKept);
      case 2: return offerAllAvx2<2>(aRanks, aTotal, aKept);
      case 3: return offerAllAvx2<3>(aRanks, aTotal, aKept);
      case 4: return offerAllAvx2<4>(aRanks, aTotal, aKept);
      case 5: return offerAllAvx2<5>(aRanks, aTotal, aKept);
      case 6: return offerAllAvx2<6>(aRanks, aTotal, aKept);
      default: break;
    }
  }
#endif
  return offerRange(aRanks, 0, aTotal, aKept);
}

}  // namespace

bool fewSmallest(const float* aRanks, int aTotal, int aKept, std::vector<int>& aWhich) {
  aWhich.clear();
  if (aKept < 1 || aKept > aTotal || aKept > CFewKept::kMost) return false;
  CFewKept kept;
  kept.kept = aKept;
  const bool notANumber = offerAll(aRanks, aTotal, kept);
  if (notANumber) return false;
  // All different: each of these keys belongs to one entry, whatever the
  // order of the offers (only the last may share its key with one left out).
  if (kept.size < aKept) return false;
  for (int j = 0; j + 1 < aKept; ++j)
    if (!(kept.value[j] < kept.value[j + 1])) return false;
  aWhich.assign(kept.index, kept.index + aKept);
  return true;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
// A bound on the aKept-th smallest key for narrowBest, found in one pass:
// each of eight lanes keeps its M smallest keys in registers (a min and a
// max per register), and the aKept-th smallest of those 8M keys is at least
// the aKept-th smallest of all (8M >= aKept). False when a key is NaN or has
// its sign bit set (as the histogram below).
template <int M>
__attribute__((target("avx2"))) bool laneBound(const float* aRanks, int aTotal, int aKept, float& aBound) {
  const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  __m256 kept[M];
  for (int k = 0; k < M; ++k) kept[k] = infinity;
  __m256 unordered = _mm256_setzero_ps(), signs = _mm256_setzero_ps();
  for (int i = 0; i < aTotal; i += 8) {
    __m256 key = keysAt(aRanks, i, aTotal);
    unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(key, key, _CMP_UNORD_Q));
    signs = _mm256_or_ps(signs, key);
    for (int k = 0; k < M; ++k) {
      const __m256 smaller = _mm256_min_ps(kept[k], key);
      key = _mm256_max_ps(kept[k], key);
      kept[k] = smaller;
    }
  }
  if (_mm256_movemask_ps(_mm256_or_ps(unordered, signs)) != 0) return false;
  alignas(32) float values[8 * M];
  for (int k = 0; k < M; ++k) _mm256_store_ps(values + 8 * k, kept[k]);
  std::nth_element(values, values + (aKept - 1), values + 8 * M);
  aBound = values[aKept - 1];
  return true;
}

bool laneBoundFor(const float* aRanks, int aTotal, int aKept, float& aBound, bool& aDecided) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  aDecided = avx2 && aKept <= 64;
  if (!aDecided) return false;
  switch ((aKept + 7) / 8) {
    case 1: return laneBound<1>(aRanks, aTotal, aKept, aBound);
    case 2: return laneBound<2>(aRanks, aTotal, aKept, aBound);
    case 3: return laneBound<3>(aRanks, aTotal, aKept, aBound);
    case 4: return laneBound<4>(aRanks, aTotal, aKept, aBound);
    case 5: return laneBound<5>(aRanks, aTotal, aKept, aBound);
    case 6: return laneBound<6>(aRanks, aTotal, aKept, aBound);
    case 7: return laneBound<7>(aRanks, aTotal, aKept, aBound);
    default: return laneBound<8>(aRanks, aTotal, aKept, aBound);
  }
}
#endif

// The keys of aRanks up to aBound, in list order, into aWhich; false (and
// nothing listed) when more than pays for a sort.
bool listUpTo(const float* aRanks, int aTotal, int aKept, float aBound, std::vector<int>& aWhich) {
  aWhich.resize(static_cast<std::size_t>(aTotal) + 1);
  int* const which = aWhich.data();
  int count = 0;
  for (int i = 0; i < aTotal; ++i) {
    which[count] = i;
    count += aRanks[i] <= aBound ? 1 : 0;
  }
  aWhich.resize(static_cast<std::size_t>(count));
  // Beyond this, sorting them costs about what the insertions would.
  if (count > 4 * aKept + 64) {
    aWhich.clear();
    return false;
  }
  return true;
}

}  // namespace

bool narrowBest(const float* aRanks, int aTotal, int aKept, std::vector<int>& aWhich) {
  aWhich.clear();
  if (aKept < 1 || aKept > aTotal) return false;
#if defined(__x86_64__) || defined(__i386__)
  {
    float bound = 0.0f;
    bool decided = false;
    const bool found = laneBoundFor(aRanks, aTotal, aKept, bound, decided);
    if (decided) return found && listUpTo(aRanks, aTotal, aKept, bound, aWhich);
  }
#endif
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  // In a form the compiler turns into vector instructions: any sign bit set,
  // any NaN, the smallest key and the largest finite one.
  std::uint32_t signs = 0;
  bool notANumber = false;
  float low = kInfinity, high = 0.0f;
  for (int i = 0; i < aTotal; ++i) {
    const float key = aRanks[i];
    std::uint32_t bits;
    std::memcpy(&bits, &key, sizeof bits);
    signs |= bits;
    notANumber |= !(key == key);
    low = key < low ? key : low;
    high = key > high && key < kInfinity ? key : high;
  }
  if ((signs & 0x80000000u) != 0 || notANumber) return false;
  // Buckets over [low, high], infinity after the last. A key's bucket never
  // decreases as the key grows, so every key in a later bucket than the one
  // where the count reaches aKept is larger than every key up to it; the
  // largest of those bounds the keys to list.
  constexpr int kBuckets = 64;
  // A spread too small for its reciprocal to be finite: one bucket.
  float scale = high > low ? (kBuckets - 1) / (high - low) : 0.0f;
  if (!(scale < kInfinity)) scale = 0.0f;
  int counts[kBuckets + 1] = {};
  float largest[kBuckets + 1] = {};
  for (int i = 0; i < aTotal; ++i) {
    const float key = aRanks[i];
    int bucket = kBuckets;
    if (key < kInfinity) {
      bucket = static_cast<int>((key - low) * scale);
      bucket = bucket < kBuckets - 1 ? bucket : kBuckets - 1;
    }
    ++counts[bucket];
    largest[bucket] = key > largest[bucket] ? key : largest[bucket];
  }
  int last = 0, listed = counts[0];
  float bound = largest[0];
  while (listed < aKept) {
    listed += counts[++last];
    bound = largest[last] > bound ? largest[last] : bound;
  }
  // Beyond this, sorting them costs about what the insertions would.
  if (listed > 4 * aKept + 64) return false;
  return listUpTo(aRanks, aTotal, aKept, bound, aWhich);
}

}  // namespace NLMeansCommon

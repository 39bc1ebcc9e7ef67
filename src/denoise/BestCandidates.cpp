#include "BestCandidates.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace NLMeansCommon {

bool narrowBest(const float* aRanks, int aTotal, int aKept, std::vector<int>& aWhich) {
  aWhich.clear();
  if (aKept < 1 || aKept > aTotal) return false;
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
  aWhich.resize(static_cast<std::size_t>(aTotal) + 1);
  int* const which = aWhich.data();
  int count = 0;
  for (int i = 0; i < aTotal; ++i) {
    which[count] = i;
    count += aRanks[i] <= bound ? 1 : 0;
  }
  aWhich.resize(static_cast<std::size_t>(count));
  return true;
}

}  // namespace NLMeansCommon

#include "CPatchTree.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "CNearerTest.h"
#include "CRandomDraws.h"
#include "PatchKernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace NPatchTree {
namespace {

// The constants and rules of two-means and of the split, as in CClustering
// and CClusterTree, whose plain code is the reference for this one.
constexpr float kFarAway = 99999997952.0f;
constexpr int kMaxPasses = 5;
constexpr int kMinHalf = 30;
constexpr int kMaxRepeatedLeaf = 2 * kMinHalf + 1;
// A random start draws this many records' values at a time (see twoMeans).
constexpr int kStartPiece = 1024;

// Scratch arrays are written before they are read, so growing one need not
// clear the new room first (as a plain vector's resize does).
template <typename T>
struct CUncleared : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = CUncleared<U>;
  };
  CUncleared() = default;
  template <typename U>
  CUncleared(const CUncleared<U>&) {}
  template <typename U>
  void construct(U* aAt) noexcept {
    ::new (static_cast<void*>(aAt)) U;
  }
  template <typename U, typename... Args>
  void construct(U* aAt, Args&&... aArgs) {
    ::new (static_cast<void*>(aAt)) U(std::forward<Args>(aArgs)...);
  }
};
template <typename T>
using CScratch = std::vector<T, CUncleared<T>>;

// A node's work list: the records' pixels and copy flags, one array each.
struct CWorkList {
  std::vector<int> pixel;
  std::vector<std::uint8_t> isCopy;

  int size() const { return static_cast<int>(pixel.size()); }
  void reserve(std::size_t aCount) {
    pixel.reserve(aCount);
    isCopy.reserve(aCount);
  }
  void release() {
    std::vector<int>().swap(pixel);
    std::vector<std::uint8_t>().swap(isCopy);
  }
};

// The two-means fields of the records of the node being divided, one array
// each, so that the per-record loops run over contiguous values. Nodes are
// divided one at a time, so one set serves them all.
struct CBounds {
  const std::uint8_t* isCopy = nullptr;
  int count = 0;
  CScratch<std::int8_t> cluster;
  CScratch<float> lower0;
  CScratch<float> lower1;
  CScratch<float> upper;

  // Makes room for a list; every field is written before it is read (copies'
  // fields are written but never read).
  void prepare(const CWorkList& aList) {
    count = aList.size();
    isCopy = aList.isCopy.data();
    if (cluster.size() < static_cast<std::size_t>(count)) {
      cluster.resize(count);
      lower0.resize(count);
      lower1.resize(count);
      upper.resize(count);
    }
  }
  int size() const { return count; }
};

// Independent jobs that the builder and the other threads take in turn. A
// thread may join after all are taken; it then finds nothing to do, and never
// touches the builder's data. A job learns which thread runs it (0: the
// builder, then the others as they join), so that it can use that thread's
// scratch; threads beyond mostWorkers take no jobs.
//
// The builder takes the jobs from the front, the others from the back. A
// node's jobs cover its records in order, pass after pass, so each thread
// then mostly finds its records' data in its own cache; and the smaller
// nodes that follow, which only the builder works on, use the fronts of the
// same arrays. Handing a cache line between the threads costs far more than
// reading it from one's own cache, and several times more again where the
// processors do not share a cache (those of a virtual machine may lie apart
// for a while).
struct CSharedJobs {
  std::function<void(int, int)> job;
  int jobs = 0;
  int mostWorkers = 1;
  // The jobs not yet taken, [front, back): front in the low 32 bits.
  std::atomic<std::uint64_t> open{0};
  std::atomic<int> done{0};
  std::atomic<int> joined{1};

  void start(int aJobs) {
    jobs = aJobs;
    open.store(static_cast<std::uint64_t>(aJobs) << 32, std::memory_order_relaxed);
  }
  // The next job for aWorker (from the front for the builder, from the back
  // for the others); -1 when none is left.
  int take(int aWorker) {
    std::uint64_t ends = open.load(std::memory_order_relaxed);
    for (;;) {
      const int front = static_cast<int>(ends & 0xFFFFFFFFu), back = static_cast<int>(ends >> 32);
      if (front >= back) return -1;
      const std::uint64_t taken = aWorker == 0 ? ends + 1 : ends - (std::uint64_t{1} << 32);
      if (open.compare_exchange_weak(ends, taken, std::memory_order_relaxed)) return aWorker == 0 ? front : back - 1;
    }
  }
  // Lets no more jobs start; returns how many were taken.
  int close() {
    std::uint64_t ends = open.load(std::memory_order_relaxed);
    for (;;) {
      const std::uint64_t front = ends & 0xFFFFFFFFu, back = ends >> 32;
      if (open.compare_exchange_weak(ends, front | front << 32, std::memory_order_relaxed))
        return static_cast<int>(front) + (jobs - static_cast<int>(back));
    }
  }

  void join() {
    const int worker = joined.fetch_add(1, std::memory_order_relaxed);
    if (worker < mostWorkers) work(worker);
  }
  void work(int aWorker) {
    for (int j = take(aWorker); j >= 0; j = take(aWorker)) {
      job(j, aWorker);
      done.fetch_add(1, std::memory_order_release);
    }
  }
};

// Records per shared distance job (the settings' leastShared are the fewest
// records worth sharing).
constexpr int kDistanceChunk = 256;
// Records per range of a shared pass, and the least records whose passes are
// shared by ranges.
constexpr int kPassChunk = 2048;
constexpr int kMinChunkedRecords = 4096;
// Threads that take part in a shared pass at most (each with its scratch).
constexpr int kPassWorkers = 4;

// A thread's scratch for its ranges of a shared pass.
struct CPassScratch {
  CScratch<int> own0, own1, pixels;
  CScratch<float> distTo0, distTo1;

  // Room for a whole range and the few more that the listing kernels write
  // past the end, made before the jobs run: a job must not throw.
  void reserve(std::size_t aRecords) {
    for (CScratch<int>* list : {&own0, &own1, &pixels}) list->reserve(aRecords);
    for (CScratch<float>* list : {&distTo0, &distTo1}) list->reserve(aRecords);
  }
};
// What a range's share of a pass leaves for the join: its moves (to the
// second cluster among them), and its spreads after loosening.
struct CChunkResult {
  int moves = 0;
  int movedTo1 = 0;
  float spread0 = 0.0f;
  float spread1 = 0.0f;
};

// Keeps selected values in order without a branch on the selection, which
// the processor cannot predict (a record's side or bounds are as good as
// random): every value is stored, and the end advances only past the kept
// ones. Room for one more value than can be kept is made first.
template <typename Vector>
class CKeeper {
public:
  using T = typename Vector::value_type;
  CKeeper(Vector& aOut, std::size_t aMost) : mOut(aOut) {
    if (mOut.size() < aMost + 1) mOut.resize(aMost + 1);
    mData = mOut.data();
  }
  void offer(T aValue, bool aKeep) {
    mData[mEnd] = aValue;
    mEnd += aKeep ? 1 : 0;
  }
  std::size_t size() const { return mEnd; }
  // For loops that keep values themselves (in locals the compiler need not
  // reload after a byte store): where the next value goes, and the new end.
  T* data() { return mData; }
  void setSize(std::size_t aEnd) { mEnd = aEnd; }
  // Cuts the vector to the kept values.
  void finish() { mOut.resize(mEnd); }

private:
  Vector& mOut;
  T* mData = nullptr;
  std::size_t mEnd = 0;
};

float squaredDistance(const float* aA, const float* aB, int aLength) {
  float sum = 0.0f;
  for (int k = 0; k < aLength; ++k) {
    const float d = aA[k] - aB[k];
    sum += d * d;
  }
  return sum;
}

// Loosens every bound by the squared movements of the centres, takes the
// spreads (largest upper bound of the active records of each cluster) and,
// when aScan is set, lists the active records whose bounds do not rule out
// the distance to their own centre in the next pass (half: half the squared
// distance between the centres). Copies' bounds are updated too, but never
// read.
struct CBoundsStep {
  float move0, move1, half;
  bool scan;
};

void boundsStepPortable(CBounds& aList, int aBegin, int aEnd, const CBoundsStep& aStep, float& aSpread0,
                        float& aSpread1, CScratch<int>& aOwn0, CScratch<int>& aOwn1) {
  const std::uint8_t* const isCopy = aList.isCopy;
  std::int8_t* const cluster = aList.cluster.data();
  float* const lower0 = aList.lower0.data();
  float* const lower1 = aList.lower1.data();
  float* const upper = aList.upper.data();
  const int n = aEnd;
  float s0 = 0.0f, s1 = 0.0f;
  for (int i = aBegin; i < n; ++i) {
    lower0[i] -= aStep.move0;
    lower1[i] -= aStep.move1;
    const bool first = cluster[i] == 0;
    const float u = upper[i] + (first ? aStep.move0 : aStep.move1);
    upper[i] = u;
    if (isCopy[i]) continue;
    if (first) {
      if (u > s0) s0 = u;
    } else if (u > s1) {
      s1 = u;
    }
    if (aStep.scan && !(aStep.half >= u)) {
      if (first) {
        if (!(u <= lower1[i])) aOwn0.push_back(i);
      } else if (!(u <= lower0[i])) {
        aOwn1.push_back(i);
      }
    }
  }
  aSpread0 = s0;
  aSpread1 = s1;
}

#if defined(__x86_64__) || defined(__i386__)
// For each 8-bit mask, the positions of its set bits in order (the rest 0).
struct CLaneTable {
  alignas(32) std::int32_t lanes[256][8]{};
  constexpr CLaneTable() {
    for (int mask = 0; mask < 256; ++mask) {
      int count = 0;
      for (int l = 0; l < 8; ++l)
        if (mask >> l & 1) lanes[mask][count++] = l;
    }
  }
};
constexpr CLaneTable kLaneTable{};

// Appends aBase + l for the set bits l of aMask, in order, at aOut + aCount
// (room for eight more must be there); returns the new count. No branch on
// the mask, which is as good as random.
__attribute__((target("avx2,popcnt"))) inline int pushLanes(unsigned aMask, int aBase, int* aOut, int aCount) {
  const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneTable.lanes[aMask]));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(aOut + aCount), _mm256_add_epi32(lanes, _mm256_set1_epi32(aBase)));
  return aCount + __builtin_popcount(aMask);
}

// placeBySide eight records at a time, for as many as there are eights; the
// counts so far in aCount0 and aCount1. Returns the records placed.
__attribute__((target("avx2,popcnt"))) int placeBySideAvx2(const std::int8_t* aSide, const int* aPixels, int aCount,
                                                           int* aOut0, int* aOut1, int& aCount0, int& aCount1) {
  int count0 = aCount0, count1 = aCount1, j = 0;
  for (; j + 8 <= aCount; j += 8) {
    const __m128i sides = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(aSide + j));
    const unsigned second = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(sides, _mm_setzero_si128()))) & 0xffu;
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(aPixels + j));
    const __m256i lanes1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneTable.lanes[second]));
    const __m256i lanes0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneTable.lanes[second ^ 0xffu]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(aOut1 + count1), _mm256_permutevar8x32_epi32(pixels, lanes1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(aOut0 + count0), _mm256_permutevar8x32_epi32(pixels, lanes0));
    const int ones = __builtin_popcount(second);
    count1 += ones;
    count0 += 8 - ones;
  }
  aCount0 = count0;
  aCount1 = count1;
  return j;
}

__attribute__((target("avx2,bmi"))) void boundsStepAvx2(CBounds& aList, int aBegin, int aEnd,
                                                         const CBoundsStep& aStep, float& aSpread0, float& aSpread1,
                                                         CScratch<int>& aOwn0, CScratch<int>& aOwn1) {
  const std::uint8_t* const isCopy = aList.isCopy;
  std::int8_t* const cluster = aList.cluster.data();
  float* const lower0 = aList.lower0.data();
  float* const lower1 = aList.lower1.data();
  float* const upper = aList.upper.data();
  const int n = aEnd;
  const __m256 move0 = _mm256_set1_ps(aStep.move0), move1 = _mm256_set1_ps(aStep.move1);
  const __m256 half = _mm256_set1_ps(aStep.half);
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  // Room for every record and eight more; cut to the listed ones below.
  const std::size_t listed0 = aOwn0.size(), listed1 = aOwn1.size();
  int count0 = static_cast<int>(listed0), count1 = static_cast<int>(listed1);
  if (aStep.scan) {
    aOwn0.resize(listed0 + static_cast<std::size_t>(n - aBegin) + 8);
    aOwn1.resize(listed1 + static_cast<std::size_t>(n - aBegin) + 8);
  }
  int i = aBegin;
  for (; i + 8 <= n; i += 8) {
    const __m256 l0 = _mm256_sub_ps(_mm256_loadu_ps(&lower0[i]), move0);
    const __m256 l1 = _mm256_sub_ps(_mm256_loadu_ps(&lower1[i]), move1);
    _mm256_storeu_ps(&lower0[i], l0);
    _mm256_storeu_ps(&lower1[i], l1);
    const __m256i halves = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&cluster[i])));
    const __m256i copies = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&isCopy[i])));
    const __m256 first = _mm256_castsi256_ps(_mm256_cmpeq_epi32(halves, _mm256_setzero_si256()));
    const __m256 active = _mm256_castsi256_ps(_mm256_cmpeq_epi32(copies, _mm256_setzero_si256()));
    const __m256 u = _mm256_add_ps(_mm256_loadu_ps(&upper[i]), _mm256_blendv_ps(move1, move0, first));
    _mm256_storeu_ps(&upper[i], u);
    // s = (active && in cluster && u > s) ? u : s, lane by lane.
    const __m256 take0 = _mm256_and_ps(_mm256_and_ps(active, first), _mm256_cmp_ps(u, s0, _CMP_GT_OQ));
    s0 = _mm256_blendv_ps(s0, u, take0);
    const __m256 take1 = _mm256_and_ps(_mm256_andnot_ps(first, active), _mm256_cmp_ps(u, s1, _CMP_GT_OQ));
    s1 = _mm256_blendv_ps(s1, u, take1);
    if (aStep.scan) {
      // !(half >= u) and !(u <= lower of the other centre), for active records.
      const __m256 open = _mm256_and_ps(active, _mm256_cmp_ps(half, u, _CMP_NGE_UQ));
      const __m256 need0 = _mm256_and_ps(_mm256_and_ps(open, first), _mm256_cmp_ps(u, l1, _CMP_NLE_UQ));
      const __m256 need1 = _mm256_and_ps(_mm256_andnot_ps(first, open), _mm256_cmp_ps(u, l0, _CMP_NLE_UQ));
      count0 = pushLanes(static_cast<unsigned>(_mm256_movemask_ps(need0)), i, aOwn0.data(), count0);
      count1 = pushLanes(static_cast<unsigned>(_mm256_movemask_ps(need1)), i, aOwn1.data(), count1);
    }
  }
  if (aStep.scan) {
    aOwn0.resize(static_cast<std::size_t>(count0));
    aOwn1.resize(static_cast<std::size_t>(count1));
  }
  alignas(32) float lanes0[8], lanes1[8];
  _mm256_store_ps(lanes0, s0);
  _mm256_store_ps(lanes1, s1);
  float spread0 = 0.0f, spread1 = 0.0f;
  for (int l = 0; l < 8; ++l) {
    if (lanes0[l] > spread0) spread0 = lanes0[l];
    if (lanes1[l] > spread1) spread1 = lanes1[l];
  }
  // The rest of the list, one record at a time.
  float rest0 = 0.0f, rest1 = 0.0f;
  boundsStepPortable(aList, i, n, aStep, rest0, rest1, aOwn0, aOwn1);
  aSpread0 = rest0 > spread0 ? rest0 : spread0;
  aSpread1 = rest1 > spread1 ? rest1 : spread1;
}
#endif

void boundsStep(CBounds& aList, int aBegin, int aEnd, const CBoundsStep& aStep, float& aSpread0, float& aSpread1,
                CScratch<int>& aOwn0, CScratch<int>& aOwn1) {
#if defined(__x86_64__) || defined(__i386__)
  if (NPatchKernels::usesAvx2()) return boundsStepAvx2(aList, aBegin, aEnd, aStep, aSpread0, aSpread1, aOwn0, aOwn1);
#endif
  boundsStepPortable(aList, aBegin, aEnd, aStep, aSpread0, aSpread1, aOwn0, aOwn1);
}

// A pass's distances are applied in two steps. First each record looked at
// takes its distance to its own centre as its lower bound to that centre and
// keeps the other in its upper bound for the moment, and bit 1 of its
// cluster marks it (spreadDistances). Then the records are applied in order
// (applyDistances), which clears the marks. A first pass that looks at every
// record of a list without copies has each record's distances to centre 0
// and 1 written straight to its lower bounds instead (AllLooked), in record
// order, and no record is marked.
constexpr std::int8_t kLookedAt = 2;

// The distances of the records of aOwn0 (in cluster 0) and then of aOwn1 (in
// cluster 1), in that order in aTo0 and aTo1, put in place.
void spreadDistances(CBounds& aList, const CScratch<int>& aOwn0, const CScratch<int>& aOwn1, const float* aTo0,
                     const float* aTo1) {
  std::int8_t* const cluster = aList.cluster.data();
  float* const lower0 = aList.lower0.data();
  float* const lower1 = aList.lower1.data();
  float* const upper = aList.upper.data();
  std::size_t j = 0;
  for (const int i : aOwn0) {
    lower0[i] = aTo0[j];
    upper[i] = aTo1[j];
    cluster[i] = kLookedAt;
    ++j;
  }
  for (const int i : aOwn1) {
    lower1[i] = aTo1[j];
    upper[i] = aTo0[j];
    cluster[i] = 1 | kLookedAt;
    ++j;
  }
}

// What the distances of a pass do to the records looked at in [aBegin,
// aEnd), in record order. Each takes its distance to its own centre as its
// lower bound to that centre and as its upper bound. Unless that distance is
// at most its lower bound to the other centre (0 in the first pass, where
// the random start left it open), it takes its distance to the other centre
// as that bound, and moves to the other cluster where the other centre is
// nearer (a tie stays), its upper bound then the distance to it. The moves'
// positions (aPixels of the records) and whether each joins the second
// cluster go to aPositions and aToSecond from 0 on, in record order; returns
// their count, aMovedTo1 of them joining the second cluster.
template <bool FirstPass, bool AllLooked = false>
int applyDistancesPortable(CBounds& aList, int aBegin, int aEnd, const int* aPixels, int* aPositions,
                           std::uint8_t* aToSecond, int& aMovedTo1) {
  std::int8_t* const cluster = aList.cluster.data();
  float* const lower0 = aList.lower0.data();
  float* const lower1 = aList.lower1.data();
  float* const upper = aList.upper.data();
  int moved = 0, movedTo1 = 0;
  for (int i = aBegin; i < aEnd; ++i) {
    if (!AllLooked && !(cluster[i] & kLookedAt)) continue;
    const bool second = (cluster[i] & 1) != 0;
    cluster[i] = second ? 1 : 0;
    const float own = second ? lower1[i] : lower0[i];
    float& lowerOther = second ? lower0[i] : lower1[i];
    const float other = AllLooked ? lowerOther : upper[i];
    upper[i] = own;
    if (FirstPass) lowerOther = 0.0f;
    if (own <= lowerOther) continue;
    lowerOther = other;
    if (own <= other) continue;
    upper[i] = other;
    cluster[i] = second ? 0 : 1;
    aPositions[moved] = aPixels[i];
    aToSecond[moved] = second ? 0 : 1;
    ++moved;
    movedTo1 += second ? 0 : 1;
  }
  aMovedTo1 = movedTo1;
  return moved;
}

#if defined(__x86_64__) || defined(__i386__)
// The low bytes of eight 32-bit lanes, in order.
__attribute__((target("avx2"))) inline __m128i lowBytes(__m256i aLanes) {
  const __m256i bytes = _mm256_packs_epi16(_mm256_packs_epi32(aLanes, aLanes), _mm256_setzero_si256());
  return _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
}

// applyDistancesPortable eight records at a time: the same rules lane by
// lane, by masks rather than branches (whether a record moves is as good as
// random), the records not looked at keeping every field. The moves are
// packed by the lane table, so eight values are stored where fewer are
// kept; these stores stay below the group's own end in the outputs.
template <bool FirstPass, bool AllLooked>
__attribute__((target("avx2,popcnt"))) int applyDistancesAvx2(CBounds& aList, int aBegin, int aEnd,
                                                               const int* aPixels, int* aPositions,
                                                               std::uint8_t* aToSecond, int& aMovedTo1) {
  std::int8_t* const cluster = aList.cluster.data();
  float* const lower0 = aList.lower0.data();
  float* const lower1 = aList.lower1.data();
  float* const upper = aList.upper.data();
  const __m256i one = _mm256_set1_epi32(1), lookedBit = _mm256_set1_epi32(kLookedAt);
  int moved = 0, movedTo1 = 0;
  int i = aBegin;
  for (; i + 8 <= aEnd; i += 8) {
    const __m256i marked = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cluster + i)));
    const __m256 lookedAt =
        AllLooked ? _mm256_castsi256_ps(_mm256_cmpeq_epi32(marked, marked))
                  : _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(marked, lookedBit), lookedBit));
    const __m256i halves = _mm256_and_si256(marked, one);
    const __m256 second = _mm256_castsi256_ps(_mm256_cmpeq_epi32(halves, one));
    const __m256 l0 = _mm256_loadu_ps(lower0 + i), l1 = _mm256_loadu_ps(lower1 + i);
    // The other distance: kept in the upper bound, or all looked at, in the
    // other lower bound.
    const __m256 u = AllLooked ? _mm256_blendv_ps(l1, l0, second) : _mm256_loadu_ps(upper + i);
    const __m256 own = _mm256_blendv_ps(l0, l1, second);
    const __m256 lowerOther = FirstPass ? _mm256_setzero_ps() : _mm256_blendv_ps(l1, l0, second);
    // !(own <= lowerOther) and !(own <= other), as the plain rules ask (u:
    // the other distance).
    const __m256 keep = _mm256_and_ps(lookedAt, _mm256_cmp_ps(own, lowerOther, _CMP_NLE_UQ));
    const __m256 move = _mm256_and_ps(keep, _mm256_cmp_ps(own, u, _CMP_NLE_UQ));
    const __m256 newOther = _mm256_blendv_ps(lowerOther, u, keep);
    // The other centre's bound: lower0 for records of cluster 1, lower1 for
    // those of cluster 0.
    _mm256_storeu_ps(lower0 + i, _mm256_blendv_ps(l0, newOther, _mm256_and_ps(second, lookedAt)));
    _mm256_storeu_ps(lower1 + i, _mm256_blendv_ps(l1, newOther, _mm256_andnot_ps(second, lookedAt)));
    _mm256_storeu_ps(upper + i, _mm256_blendv_ps(u, _mm256_blendv_ps(own, u, move), lookedAt));
    const __m256i newHalves = _mm256_xor_si256(halves, _mm256_and_si256(_mm256_castps_si256(move), one));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cluster + i), lowBytes(newHalves));
    const unsigned moves = static_cast<unsigned>(_mm256_movemask_ps(move));
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneTable.lanes[moves]));
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(aPixels + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(aPositions + moved), _mm256_permutevar8x32_epi32(pixels, lanes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(aToSecond + moved),
                     lowBytes(_mm256_permutevar8x32_epi32(newHalves, lanes)));
    moved += __builtin_popcount(moves);
    movedTo1 += __builtin_popcount(moves & ~static_cast<unsigned>(_mm256_movemask_ps(second)));
  }
  int restTo1 = 0;
  const int rest = applyDistancesPortable<FirstPass, AllLooked>(aList, i, aEnd, aPixels, aPositions + moved,
                                                                aToSecond + moved, restTo1);
  aMovedTo1 = movedTo1 + restTo1;
  return moved + rest;
}
#endif

template <bool FirstPass, bool AllLooked = false>
int applyDistances(CBounds& aList, int aBegin, int aEnd, const int* aPixels, int* aPositions,
                   std::uint8_t* aToSecond, int& aMovedTo1) {
  static_assert(FirstPass || !AllLooked, "only a first pass looks at every record");
#if defined(__x86_64__) || defined(__i386__)
  if (NPatchKernels::usesAvx2())
    return applyDistancesAvx2<FirstPass, AllLooked>(aList, aBegin, aEnd, aPixels, aPositions, aToSecond,
                                                    aMovedTo1);
#endif
  return applyDistancesPortable<FirstPass, AllLooked>(aList, aBegin, aEnd, aPixels, aPositions, aToSecond,
                                                      aMovedTo1);
}

// The sides of aCount active records of ranks aFirstRank on, from their
// draws and what startingDraws made of them, into aSide (0 or 1: a side of 2
// counts as 1); aCount1: the second cluster's count before them. Returns
// its count after them. Only the chain through that count is left here, a
// comparison and an addition per record.
int startingSides(const CStartingDraw* aStarts, const int* aDraws, int aFirstRank, int aCount, int aCount1,
                  std::int8_t* aSide) {
  int count1 = aCount1;
  for (int j = 0; j < aCount; ++j) {
    const std::uint32_t before = static_cast<std::uint32_t>(count1);
    if (before == aStarts[j].nearTie) {
      const int side = startingClusterInDouble(aFirstRank + j - count1, count1, aDraws[j]) != 0 ? 1 : 0;
      aSide[j] = static_cast<std::int8_t>(side);
      count1 += side;
      continue;
    }
#if defined(__x86_64__) || defined(__i386__)
    // count1 += count1 < below, as a comparison and an add with carry: GCC
    // makes the plain expression a comparison, a flag to a byte, a widening
    // and an addition, twice as long a chain.
    std::uint32_t after = before;
    asm("cmpl %[below], %[count]\n\tadcl $0, %[count]" : [count] "+r"(after) : [below] "rm"(aStarts[j].below) : "cc");
    aSide[j] = static_cast<std::int8_t>(after - before);
    count1 = static_cast<int>(after);
#else
    const int side = before < aStarts[j].below ? 1 : 0;
    aSide[j] = static_cast<std::int8_t>(side);
    count1 += side;
#endif
  }
  return count1;
}

// Appends aPixels[j] to aOut1 where aSide[j] is 1 and to aOut0 where it is
// 0, in order, j < aCount; returns how many went to aOut1. Each list needs
// room for seven values past its end.
int placeBySide(const std::int8_t* aSide, const int* aPixels, int aCount, int* aOut0, int* aOut1) {
  int count0 = 0, count1 = 0, j = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (NPatchKernels::usesAvx2()) j = placeBySideAvx2(aSide, aPixels, aCount, aOut0, aOut1, count0, count1);
#endif
  for (; j < aCount; ++j) {
    aOut0[count0] = aPixels[j];
    aOut1[count1] = aPixels[j];
    count1 += aSide[j];
    count0 += 1 - aSide[j];
  }
  return count1;
}

class CBuilder {
public:
  // Takes the settings of the next tree; the scratch of earlier trees stays.
  void configure(const CSettings& aSettings) {
    mSettings = aSettings;
    const int r = aSettings.patchRadius;
    mSide = 2 * r + 1;
    mLength = mSide * mSide;
    mOffsets.clear();
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx) mOffsets.push_back(dy * aSettings.xSize + dx);
    mLayout = NPatchKernels::CPatchLayout{aSettings.scaled, mOffsets.data(), mLength, mSide, aSettings.xSize};
    mSum0.resize(mLength);
    mSum1.resize(mLength);
    mCentre0.resize(mLength);
    mCentre1.resize(mLength);
    mOld0.resize(mLength);
    mOld1.resize(mLength);
  }

  void run(CWorkList&& aRoot, const std::function<void(CLeaf&&)>& aSink) {
    // Every draw of the build comes from this thread, one after another.
    const CRandomDraws::CLease lease(mDraws);
    std::vector<CWorkList>& pending = mPending;
    pending.clear();
    pending.push_back(std::move(aRoot));
    while (!pending.empty()) {
      CWorkList list = std::move(pending.back());
      pending.pop_back();
      CWorkList first, second;
      if (splitOne(list, first, second)) {
        // First child on top: its whole subtree comes before the second child.
        pending.push_back(std::move(second));
        pending.push_back(std::move(first));
      } else {
        CLeaf leaf;
        leaf.members = std::move(list.pixel);
        leaf.isCopy = std::move(list.isCopy);
        list.release();
        aSink(std::move(leaf));
      }
    }
  }

private:
  // Where the features of a list are, and where record i's feature is.
  const NPatchKernels::CPatchLayout& layoutOf(const CWorkList&) const { return mLayout; }
  int positionOf(const CWorkList& aList, int aIndex) const { return aList.pixel[aIndex]; }
  const float* feature(const NPatchKernels::CPatchLayout& aLayout, int aPosition) const {
    return aLayout.image + aPosition;
  }
  bool samePatch(const NPatchKernels::CPatchLayout& aLayout, int aA, int aB) const {
    for (int k = 0; k < mLength; ++k)
      if (!(feature(aLayout, aA)[aLayout.offsets[k]] == feature(aLayout, aB)[aLayout.offsets[k]])) return false;
    return true;
  }
  // Appends record aIndex of aFrom to aTo.
  void addRecord(CWorkList& aTo, const CWorkList& aFrom, int aIndex, bool aIsCopy) const {
    aTo.pixel.push_back(aFrom.pixel[aIndex]);
    aTo.isCopy.push_back(aIsCopy ? 1 : 0);
  }
  void mean(const std::vector<float>& aSum, int aCount, std::vector<float>& aMean) const {
    const float factor = static_cast<float>(1.0 / aCount);
    for (int k = 0; k < mLength; ++k) aMean[k] = aSum[k] * factor;
  }
  // Largest upper bound among the active records of each cluster.
  void spreads(const CBounds& aList, float& aSpread0, float& aSpread1) const {
    aSpread0 = 0.0f;
    aSpread1 = 0.0f;
    for (int i = 0; i < aList.size(); ++i) {
      if (aList.isCopy[i]) continue;
      const float u = aList.upper[i];
      if (aList.cluster[i] == 0) {
        if (u > aSpread0) aSpread0 = u;
      } else if (u > aSpread1) {
        aSpread1 = u;
      }
    }
  }

  // aPixels = the positions of the records listed in aWhich0, then of those
  // in aWhich1.
  void gatherPixels(const CWorkList& aList, const CScratch<int>& aWhich0, const CScratch<int>& aWhich1,
                    CScratch<int>& aPixels) const {
    aPixels.resize(aWhich0.size() + aWhich1.size());
    int* out = aPixels.data();
    for (const int i : aWhich0) *out++ = positionOf(aList, i);
    for (const int i : aWhich1) *out++ = positionOf(aList, i);
  }
  // Distances of the patches at aPixels[0 .. aCount - 1] to both centres,
  // side by side.
  void bothDistances(const NPatchKernels::CPatchLayout& aLayout, const int* aPixels, int aCount,
                     CScratch<float>& aOut0, CScratch<float>& aOut1) {
    aOut0.resize(static_cast<std::size_t>(aCount));
    aOut1.resize(static_cast<std::size_t>(aCount));
    inChunks(aCount, [&](int aBegin, int aChunk) {
      NPatchKernels::centreDistances2(aLayout, aPixels + aBegin, aChunk, mCentre0.data(), mCentre1.data(),
                                      aOut0.data() + aBegin, aOut1.data() + aBegin);
    });
  }

  // Runs aJob(0 .. aJobs - 1), sharing the jobs with the other thread of the
  // settings. The jobs must be independent and must not throw.
  template <typename Job>
  void runJobs(int aJobs, const Job& aJob) {
    runWorkerJobs(aJobs, std::numeric_limits<int>::max(), [&aJob](int aIndex, int) { aJob(aIndex); });
  }
  // As runJobs, where aJob(index, worker) also learns its thread's number,
  // below aMostWorkers.
  template <typename Job>
  void runWorkerJobs(int aJobs, int aMostWorkers, const Job& aJob) {
    if (!mSettings.share || aJobs < 2) {
      for (int j = 0; j < aJobs; ++j) aJob(j, 0);
      return;
    }
    auto shared = std::make_shared<CSharedJobs>();
    shared->start(aJobs);
    shared->mostWorkers = aMostWorkers;
    shared->job = [&aJob](int aIndex, int aWorker) { aJob(aIndex, aWorker); };
    try {
      mSettings.share([shared] { shared->join(); });
    } catch (...) {
      // The hand-over may have reached a thread before it failed: no job
      // starts from now on, and those started end before aJob goes.
      const int taken = shared->close();
      while (shared->done.load(std::memory_order_acquire) < taken) pause();
      throw;
    }
    shared->work(0);
    // Each other thread holds at most one job by now.
    while (shared->done.load(std::memory_order_acquire) < aJobs) pause();
  }
  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
  }
  // aRange(begin, count) over [0, aCount) in chunks, shared when long.
  template <typename Range>
  void inChunks(int aCount, const Range& aRange) {
    if (aCount < mSettings.leastShared || !mSettings.share) {
      aRange(0, aCount);
      return;
    }
    const int chunks = (aCount + kDistanceChunk - 1) / kDistanceChunk;
    runJobs(chunks, [&](int aChunk) {
      const int begin = aChunk * kDistanceChunk;
      aRange(begin, std::min(kDistanceChunk, aCount - begin));
    });
  }
  // sumFeatures into each of two sums, one sum for each thread when long:
  // the whole-patch kernel reads each record once, while a share by patch
  // rows would have each thread read every record.
  void sumFeaturesTwice(const NPatchKernels::CPatchLayout& aLayout, const int* aPositions0, int aCount0,
                        float* aSum0, const int* aPositions1, int aCount1, float* aSum1) {
    const auto sum = [&](int aJob) {
      if (aJob == 0)
        NPatchKernels::sumFeatures(aLayout, aPositions0, nullptr, aCount0, aSum0);
      else
        NPatchKernels::sumFeatures(aLayout, aPositions1, nullptr, aCount1, aSum1);
    };
    if (!mSettings.share || aCount0 + aCount1 < mSettings.leastShared) {
      sum(0);
      sum(1);
      return;
    }
    runJobs(2, sum);
  }

  // The moves of a pass into both sums (NPatchKernels::sumMoves), each moved
  // record read once for both; when long, the upper and the lower patch rows
  // of both sums for one thread each, so that each thread reads half of
  // each moved patch. (One sum for each thread had each read all of every
  // moved patch: 5.3-6.4 ns of the builder's time per moved record against
  // 3.9-5.1 on the sample, 9.4-12.5 against 7.4-10.3 on a 2048 x 2048 image.)
  void sumMoves(const NPatchKernels::CPatchLayout& aLayout, const int* aPositions, const std::uint8_t* aToSecond,
                int aCount) {
    if (!mSettings.share || aCount < mSettings.leastShared) {
      NPatchKernels::sumMoves(aLayout, aPositions, aToSecond, aCount, mSum0.data(), mSum1.data(), 0, aLayout.side);
      return;
    }
    const int half = (aLayout.side + 1) / 2;
    runJobs(2, [&](int aJob) {
      NPatchKernels::sumMoves(aLayout, aPositions, aToSecond, aCount, mSum0.data(), mSum1.data(),
                              aJob == 0 ? 0 : half, aJob == 0 ? half : aLayout.side);
    });
  }


  // Two-means on one work list of more active records than can make a leaf
  // whatever it finds (smaller lists only draw, see splitOne); the centres
  // end in mCentre0 and mCentre1.
  void twoMeans(const CWorkList& aRecords, int& aCount0, int& aCount1, float& aSpread0, float& aSpread1) {
    const int n = aRecords.size();
    CBounds& aList = mBounds;
    aList.prepare(aRecords);
    if (mMovePositions.size() < static_cast<std::size_t>(n)) {
      mMovePositions.resize(static_cast<std::size_t>(n));
      mToSecond.resize(static_cast<std::size_t>(n));
    }
    // Plain local pointers: the byte-sized copy flags could alias anything,
    // which would make the compiler reload every array after every store.
    const NPatchKernels::CPatchLayout layout = layoutOf(aRecords);
    const std::uint8_t* const isCopy = aRecords.isCopy.data();
    std::int8_t* const cluster = aList.cluster.data();
    float* const lower0 = aList.lower0.data();
    float* const lower1 = aList.lower1.data();
    float* const upper = aList.upper.data();
    int& n0 = aCount0;
    int& n1 = aCount1;
    // The draws decide the whole division; the sums follow once an attempt
    // has filled both clusters.
    // The active records of each cluster, and their pixels, are listed as
    // they are assigned. After the start every active record's bounds (lower
    // 0, upper far away) leave open the distance to its own centre, so these
    // are also the records the first pass must look at, unless the centres
    // lie farther apart than that. The start's bounds themselves are written
    // by the first pass, which writes every looked-at record's bounds anyway.
    // (Room for the placement's seven values past the end.)
    const std::size_t room = static_cast<std::size_t>(n) + 8;
    for (CScratch<int>* list : {&mPositions0, &mPositions1, &mOwn0, &mOwn1})
      if (list->size() < room) list->resize(room);
    int* const positions0 = mPositions0.data();
    int* const positions1 = mPositions1.data();
    int* const own0 = mOwn0.data();
    int* const own1 = mOwn1.data();
    const int active = static_cast<int>(n - std::count(isCopy, isCopy + n, std::uint8_t{1}));
    if (mDrawn.size() < static_cast<std::size_t>(kStartPiece)) {
      mDrawn.resize(static_cast<std::size_t>(kStartPiece));
      mStarts.resize(static_cast<std::size_t>(kStartPiece));
    }
    const int* const drawn = mDrawn.data();
    const CStartingDraw* const starts = mStarts.data();
    const int* const pixels = aRecords.pixel.data();
    // Without copies the first pass looks at every record in record order
    // (unless the centres lie too far apart), and needs no lists of them.
    const bool listOwn = active != n;
    do {
      // One draw per active record, in record order. A piece of records at
      // a time, their draws are made first (the generator's state then stays
      // in registers), and what each says about its record's side is worked
      // out ahead of the chain through the count of the second cluster,
      // which is then a comparison and an addition per record.
      // Counted in locals: the byte-sized stores below could alias the caller's counters.
      int count1 = 0, rank = 0, i = 0;
      while (rank < active) {
        const int first = rank, end = std::min(active, first + kStartPiece);
        mDraws.drawMany(mDrawn.data(), end - first);
        startingDraws(drawn, end - first, first, mStarts.data());
        if (!listOwn) {
          // No copies, so rank and record are one: the sides straight into
          // the cluster bytes, then the positions by side, apart from the
          // chain.
          const int before1 = count1;
          count1 = startingSides(starts, drawn, first, end - first, count1, cluster + first);
          placeBySide(cluster + first, pixels + first, end - first, positions0 + (first - before1),
                      positions1 + before1);
          rank = i = end;
          continue;
        }
        for (; rank < end; ++i) {
          if (isCopy[i]) {
            cluster[i] = 0;
            lower0[i] = lower1[i] = upper[i] = 0.0f;
            continue;
          }
          // Side 2 (a draw that rounds to 2^31, see startingDraw) counts as
          // 1, and is kept as 1: the passes read a cluster byte's bit 0.
          const int side = startingClusterFrom(starts[rank - first], drawn[rank - first], rank, count1) != 0 ? 1 : 0;
          const int count0 = rank - count1;
          ++rank;
          cluster[i] = static_cast<std::int8_t>(side);
          // Listed on both sides, kept on one by the counts: no branch on
          // the side, which is as good as random.
          const int at = pixels[i];
          positions0[count0] = at;
          positions1[count1] = at;
          if (listOwn) {
            own0[count0] = i;
            own1[count1] = i;
          }
          count1 += side;
        }
      }
      for (; i < n; ++i) {
        cluster[i] = 0;
        lower0[i] = lower1[i] = upper[i] = 0.0f;
      }
      n0 = rank - count1;
      n1 = count1;
    } while (n0 == 0 || n1 == 0);
    mPositions0.resize(static_cast<std::size_t>(n0));
    mOwn0.resize(static_cast<std::size_t>(listOwn ? n0 : 0));
    mPositions1.resize(static_cast<std::size_t>(n1));
    mOwn1.resize(static_cast<std::size_t>(listOwn ? n1 : 0));
    std::fill(mSum0.begin(), mSum0.end(), 0.0f);
    std::fill(mSum1.begin(), mSum1.end(), 0.0f);
    sumFeaturesTwice(layout, mPositions0.data(), static_cast<int>(mPositions0.size()), mSum0.data(),
                     mPositions1.data(), static_cast<int>(mPositions1.size()), mSum1.data());

    mean(mSum0, n0, mCentre0);
    mean(mSum1, n1, mCentre1);
    float half = 0.5f * squaredDistance(mCentre0.data(), mCentre1.data(), mLength);
    mFirstLooksAtAll = !listOwn && !(half >= kFarAway);

    if (half >= kFarAway) {
      // No record is looked at in the first pass: the bounds are the start's.
      mOwn0.clear();
      mOwn1.clear();
      for (int i = 0; i < n; ++i) {
        if (isCopy[i]) continue;
        lower0[i] = 0.0f;
        lower1[i] = 0.0f;
        upper[i] = kFarAway;
      }
    }
    if (mSettings.share && n >= kMinChunkedRecords) {
      chunkedPasses(aRecords, n0, n1, aSpread0, aSpread1);
      return;
    }

    for (int pass = 1; pass <= kMaxPasses; ++pass) {
      // Within a pass the centres are fixed, so every record's decisions
      // depend on its own bounds only: compute the distances it needs side by
      // side, then apply the moves to the sums in list order. After the
      // random start nearly every record needs both distances; later passes
      // need the second one only for some.
      // About half of the records whose own distance a later pass needs go
      // on to need the other one too: both at once read each patch once, and
      // cost less than the second distance taken apart. The other distance
      // is used only where the rules ask for it. Both clusters' records go
      // in one batch, so that only its last group of eight has idle lanes.
      // The moves, in list order: each sum takes the moved records in that
      // order, a record leaving a cluster subtracted from its sum, one
      // joining it added.
      int moved = 0, movedTo1 = 0;
      if (pass == 1 && mFirstLooksAtAll) {
        // Every record, in record order, its distances written straight to
        // its lower bounds.
        inChunks(n, [&](int aBegin, int aCount) {
          NPatchKernels::centreDistances2(layout, pixels + aBegin, aCount, mCentre0.data(), mCentre1.data(),
                                          lower0 + aBegin, lower1 + aBegin);
        });
        moved = applyDistances<true, true>(aList, 0, n, pixels, mMovePositions.data(), mToSecond.data(), movedTo1);
      } else {
        const int count0 = static_cast<int>(mOwn0.size()), count1 = static_cast<int>(mOwn1.size());
        if (pass == 1) {
          // The first pass looks at all of each cluster (or at none): their
          // pixels are the positions listed for the sums.
          mPixels.resize(static_cast<std::size_t>(count0 + count1));
          std::copy_n(mPositions0.data(), count0, mPixels.data());
          std::copy_n(mPositions1.data(), count1, mPixels.data() + count0);
        } else {
          gatherPixels(aRecords, mOwn0, mOwn1, mPixels);
        }
        bothDistances(layout, mPixels.data(), count0 + count1, mDistTo0, mDistTo1);
        if (count0 + count1 > 0) {
          spreadDistances(aList, mOwn0, mOwn1, mDistTo0.data(), mDistTo1.data());
          moved = pass == 1 ? applyDistances<true>(aList, 0, n, pixels, mMovePositions.data(), mToSecond.data(),
                                                   movedTo1)
                            : applyDistances<false>(aList, 0, n, pixels, mMovePositions.data(), mToSecond.data(),
                                                    movedTo1);
        }
      }
      if (!takeMoves(layout, pass, moved, movedTo1, n0, n1, aSpread0, aSpread1)) return;

      const CBoundsStep step = newCentres(n0, n1, pass < kMaxPasses);
      // Loosen the bounds, and list the records the next pass must look at.
      mOwn0.clear();
      mOwn1.clear();
      boundsStep(aList, 0, n, step, aSpread0, aSpread1, mOwn0, mOwn1);
    }
  }

  // After pass aPass has listed its aMoved moves (aMovedTo1 of them to
  // cluster 1): false when two-means ends with it, because nothing moved or
  // a cluster was emptied, and then the spreads are set; otherwise the counts
  // and sums have taken the moves, in list order.
  bool takeMoves(const NPatchKernels::CPatchLayout& aLayout, int aPass, int aMoved, int aMovedTo1, int& aCount0,
                 int& aCount1, float& aSpread0, float& aSpread1) {
    if (aMoved == 0) {
      if (aPass == 1) spreads(mBounds, aSpread0, aSpread1);
      return false;
    }
    const int movedTo0 = aMoved - aMovedTo1;
    aCount0 += movedTo0 - aMovedTo1;
    aCount1 += aMovedTo1 - movedTo0;
    sumMoves(aLayout, mMovePositions.data(), mToSecond.data(), aMoved);
    if (aCount0 == 0 || aCount1 == 0) {
      // A pass emptied a cluster: its mean is undefined, so the centres stay.
      spreads(mBounds, aSpread0, aSpread1);
      return false;
    }
    return true;
  }

  // The centres of the sums, and how far they moved; aScan: whether another
  // pass follows.
  CBoundsStep newCentres(int aCount0, int aCount1, bool aScan) {
    mOld0 = mCentre0;
    mOld1 = mCentre1;
    mean(mSum0, aCount0, mCentre0);
    mean(mSum1, aCount1, mCentre1);
    float move0 = 0.0f, move1 = 0.0f, between = 0.0f;
    for (int k = 0; k < mLength; ++k) {
      const float a = mCentre0[k] - mOld0[k];
      move0 += a * a;
      const float b = mCentre1[k] - mOld1[k];
      move1 += b * b;
      const float c = mCentre0[k] - mCentre1[k];
      between += c * c;
    }
    return CBoundsStep{move0, move1, 0.5f * between, aScan};
  }

  // The passes of two-means on a large node, each as one round of jobs over
  // ranges of records that the two threads share. A job loosens its range's
  // bounds by the last movements of the centres, takes the distances that
  // its records need, and finds their moves. Each record's decisions depend
  // on its own bounds and the centres alone, so the ranges are independent;
  // their moves, joined in range order, are the list of the plain passes,
  // and the sums take them as there.
  void chunkedPasses(const CWorkList& aRecords, int& aCount0, int& aCount1, float& aSpread0, float& aSpread1) {
    const int n = aRecords.size();
    const int chunks = (n + kPassChunk - 1) / kPassChunk;
    const NPatchKernels::CPatchLayout& layout = layoutOf(aRecords);
    mChunks.resize(static_cast<std::size_t>(chunks));
    for (CPassScratch& worker : mWorkers) worker.reserve(kPassChunk + 16);
    const auto joinSpreads = [&] {
      aSpread0 = 0.0f;
      aSpread1 = 0.0f;
      for (const CChunkResult& chunk : mChunks) {
        if (chunk.spread0 > aSpread0) aSpread0 = chunk.spread0;
        if (chunk.spread1 > aSpread1) aSpread1 = chunk.spread1;
      }
    };
    CBoundsStep loosen{};
    for (int pass = 1; pass <= kMaxPasses; ++pass) {
      const CBoundsStep* const step = pass == 1 ? nullptr : &loosen;
      runWorkerJobs(chunks, kPassWorkers,
                    [&](int aChunk, int aWorker) { passChunk(aRecords, step, aChunk, mWorkers[aWorker]); });
      if (step) joinSpreads();
      // The moves of each range, moved down behind those of the ranges before.
      int moved = 0, movedTo1 = 0;
      for (int c = 0; c < chunks; ++c) {
        const int count = mChunks[c].moves, begin = c * kPassChunk;
        if (count > 0 && moved != begin) {
          std::memmove(mMovePositions.data() + moved, mMovePositions.data() + begin, sizeof(int) * count);
          std::memmove(mToSecond.data() + moved, mToSecond.data() + begin, count);
        }
        moved += count;
        movedTo1 += mChunks[c].movedTo1;
      }
      if (!takeMoves(layout, pass, moved, movedTo1, aCount0, aCount1, aSpread0, aSpread1)) return;
      loosen = newCentres(aCount0, aCount1, pass < kMaxPasses);
    }
    // After the last pass the bounds are only loosened.
    runWorkerJobs(chunks, kPassWorkers,
                  [&](int aChunk, int aWorker) { passChunk(aRecords, &loosen, aChunk, mWorkers[aWorker]); });
    joinSpreads();
  }

  // One range's share of a pass (see chunkedPasses). Without aLoosen this is
  // the first pass, which looks at the records listed by the random start.
  void passChunk(const CWorkList& aRecords, const CBoundsStep* aLoosen, int aChunk, CPassScratch& aScratch) {
    const int begin = aChunk * kPassChunk, end = std::min(begin + kPassChunk, aRecords.size());
    CBounds& list = mBounds;
    CChunkResult& result = mChunks[static_cast<std::size_t>(aChunk)];
    CScratch<int>& own0 = aScratch.own0;
    CScratch<int>& own1 = aScratch.own1;
    own0.clear();
    own1.clear();
    const NPatchKernels::CPatchLayout& layout = layoutOf(aRecords);
    const int* const positions = aRecords.pixel.data();
    int movedTo1 = 0;
    if (aLoosen) {
      boundsStep(list, begin, end, *aLoosen, result.spread0, result.spread1, own0, own1);
      if (!aLoosen->scan) return;
    } else if (mFirstLooksAtAll) {
      NPatchKernels::centreDistances2(layout, positions + begin, end - begin, mCentre0.data(), mCentre1.data(),
                                      list.lower0.data() + begin, list.lower1.data() + begin);
      result.moves = applyDistances<true, true>(list, begin, end, positions, mMovePositions.data() + begin,
                                                mToSecond.data() + begin, movedTo1);
      result.movedTo1 = movedTo1;
      return;
    } else {
      const auto from0 = std::lower_bound(mOwn0.begin(), mOwn0.end(), begin);
      own0.assign(from0, std::lower_bound(from0, mOwn0.end(), end));
      const auto from1 = std::lower_bound(mOwn1.begin(), mOwn1.end(), begin);
      own1.assign(from1, std::lower_bound(from1, mOwn1.end(), end));
    }
    // Both distances of every record looked at, both clusters in one batch:
    // in the first pass the random start leaves every bound open, and in
    // later ones about half of the records go on to need the other distance
    // (see twoMeans).
    CScratch<int>& pixels = aScratch.pixels;
    gatherPixels(aRecords, own0, own1, pixels);
    const int count = static_cast<int>(pixels.size());
    aScratch.distTo0.resize(static_cast<std::size_t>(count));
    aScratch.distTo1.resize(static_cast<std::size_t>(count));
    float* const to0 = aScratch.distTo0.data();
    float* const to1 = aScratch.distTo1.data();
    NPatchKernels::centreDistances2(layout, pixels.data(), count, mCentre0.data(), mCentre1.data(), to0, to1);
    result.moves = 0;
    result.movedTo1 = 0;
    if (count == 0) return;
    spreadDistances(list, own0, own1, to0, to1);
    result.moves = aLoosen ? applyDistances<false>(list, begin, end, positions,
                                                   mMovePositions.data() + begin, mToSecond.data() + begin, movedTo1)
                           : applyDistances<true>(list, begin, end, positions,
                                                  mMovePositions.data() + begin, mToSecond.data() + begin, movedTo1);
    result.movedTo1 = movedTo1;
  }

  // The draws of two-means' random start alone: attempts of one draw per
  // active record each, until both clusters have a record. Which cluster a
  // draw sends a record to depends only on the draw and the counts so far.
  void drawRandomStart(int aActive) {
    if (aActive < 2) return;
    if (mDrawn.size() < static_cast<std::size_t>(kMaxRepeatedLeaf)) {
      mDrawn.resize(static_cast<std::size_t>(kMaxRepeatedLeaf));
      mStarts.resize(static_cast<std::size_t>(kMaxRepeatedLeaf));
    }
    if (mSides.size() < mDrawn.size()) mSides.resize(mDrawn.size());
    int count1 = 0;
    do {
      // Made as twoMeans makes them (a piece of draws, then their sides
      // ahead of the count's chain), a leaf's are nearly all in one piece.
      count1 = 0;
      for (int first = 0; first < aActive;) {
        const int count = std::min(aActive - first, static_cast<int>(mDrawn.size()));
        mDraws.drawMany(mDrawn.data(), count);
        startingDraws(mDrawn.data(), count, first, mStarts.data());
        count1 = startingSides(mStarts.data(), mDrawn.data(), first, count, count1, mSides.data());
        first += count;
      }
    } while (count1 == 0 || count1 == aActive);
  }

  // mNearer[i] = whether record i lies nearer to centre 0 than to centre 1
  // by the exact sums (d1 > d0). With aSidesOnly, only that order is needed,
  // and the test settles it for most records without the sums; otherwise
  // mDistTo0 and mDistTo1 receive the sums of every record.
  void nearerSides(const CWorkList& aList, bool aSidesOnly) {
    const int n = aList.size();
    const NPatchKernels::CPatchLayout& layout = layoutOf(aList);
    const int* const pixels = aList.pixel.data();
    mNearer.resize(static_cast<std::size_t>(n));
    const bool rangeKnown = mSettings.valueLow <= mSettings.valueHigh;
    if (!aSidesOnly || !rangeKnown ||
        !mNearerTest.prepare(layout, mCentre0.data(), mCentre1.data(), mSettings.valueLow, mSettings.valueHigh)) {
      bothDistances(layout, pixels, n, mDistTo0, mDistTo1);
      for (int i = 0; i < n; ++i) mNearer[i] = mDistTo1[i] > mDistTo0[i] ? 1 : 0;
      return;
    }
    inChunks(n, [&](int aBegin, int aCount) {
      mNearerTest.sides(layout, pixels + aBegin, aCount, mNearer.data() + aBegin);
    });
    // The few the test leaves open take the exact sums.
    const void* firstOpen = std::memchr(mNearer.data(), NPatchKernels::kUndecided, static_cast<std::size_t>(n));
    if (!firstOpen) return;
    CKeeper<CScratch<int>> open(mPixels, static_cast<std::size_t>(n)), openIndex(mOther0, static_cast<std::size_t>(n));
    for (int i = static_cast<int>(static_cast<const std::uint8_t*>(firstOpen) - mNearer.data()); i < n; ++i) {
      const bool undecided = mNearer[i] == NPatchKernels::kUndecided;
      open.offer(pixels[i], undecided);
      openIndex.offer(i, undecided);
    }
    open.finish();
    openIndex.finish();
    if (mPixels.empty()) return;
    bothDistances(layout, mPixels.data(), static_cast<int>(mPixels.size()), mDistTo0, mDistTo1);
    for (std::size_t j = 0; j < mOther0.size(); ++j) mNearer[mOther0[j]] = mDistTo1[j] > mDistTo0[j] ? 1 : 0;
  }

  bool splitOne(CWorkList& aList, CWorkList& aFirst, CWorkList& aSecond) {
    // A list of at most 61 active records is a leaf whatever two-means finds
    // (a split needs more than 30 on each side, and repeated patches are
    // divided only in larger lists). Of two-means only its draws would
    // remain, so only they are made.
    const int active = static_cast<int>(std::count(aList.isCopy.begin(), aList.isCopy.end(), std::uint8_t{0}));
    if (active <= kMaxRepeatedLeaf) {
      drawRandomStart(active);
      return false;
    }
    int count0 = 0, count1 = 0;
    float spread0 = 0.0f, spread1 = 0.0f;
    twoMeans(aList, count0, count1, spread0, spread1);

    const float threshold = mSettings.splitThreshold;
    if (spread0 > threshold && count0 > kMinHalf && spread1 > threshold && count1 > kMinHalf) {
      // The halves follow the nearest final centre (ties to the second child).
      const int n = aList.size();
      const float band = mSettings.overlapMargin * mSettings.overlapMargin;
      const bool bandless = !(band > 0.0f);
      nearerSides(aList, bandless);
      const std::uint8_t* const nearer = mNearer.data();
      int active0 = 0, active1 = 0, near0 = 0;
      for (int i = 0; i < n; ++i) {
        const bool nearer0 = nearer[i] != 0;
        near0 += nearer0 ? 1 : 0;
        (nearer0 ? active0 : active1) += aList.isCopy[i] ? 0 : 1;
      }
      // A partition that leaves one side without an active record divides nothing.
      if (active0 > 0 && active1 > 0) {
        // The first child takes the records nearer to centre 0 followed by
        // the copies from the other side; the second the copies from the
        // first side followed by its own records.
        const std::uint8_t* const isCopy = aList.isCopy.data();
        const int* const pixels = aList.pixel.data();
        if (bandless) {
          // No copies to make (the denoisers' case): each record goes to one
          // side, in one sweep.
          // (Room for placeBySide's seven values past the end.)
          CKeeper<std::vector<int>> pixel0(aFirst.pixel, near0 + 7), pixel1(aSecond.pixel, n - near0 + 7);
          if (active == n) {
            // Listed eight records at a time by their sides (1: nearer to
            // centre 0, the first child).
            const int to0 = placeBySide(reinterpret_cast<const std::int8_t*>(nearer), pixels, n, pixel1.data(),
                                        pixel0.data());
            pixel0.setSize(static_cast<std::size_t>(to0));
            pixel1.setSize(static_cast<std::size_t>(n - to0));
            aFirst.isCopy.assign(pixel0.size(), 0);
            aSecond.isCopy.assign(pixel1.size(), 0);
          } else {
            CKeeper<std::vector<std::uint8_t>> copy0(aFirst.isCopy, near0), copy1(aSecond.isCopy, n - near0);
            for (int i = 0; i < n; ++i) {
              const bool nearer0 = nearer[i] != 0;
              pixel0.offer(pixels[i], nearer0);
              copy0.offer(isCopy[i], nearer0);
              pixel1.offer(pixels[i], !nearer0);
              copy1.offer(isCopy[i], !nearer0);
            }
            copy0.finish();
            copy1.finish();
          }
          pixel0.finish();
          pixel1.finish();
          aList.release();
          return true;
        }
        int copiesTo0 = 0, copiesTo1 = 0;
        for (int i = 0; i < n; ++i) {
          const float d0 = mDistTo0[i], d1 = mDistTo1[i];
          copiesTo1 += d1 > d0 && d0 + band > d1 ? 1 : 0;
          copiesTo0 += !(d1 > d0) && d1 + band > d0 ? 1 : 0;
        }
        CKeeper<std::vector<int>> pixel0(aFirst.pixel, near0 + copiesTo0), pixel1(aSecond.pixel, n - near0 + copiesTo1);
        CKeeper<std::vector<std::uint8_t>> copy0(aFirst.isCopy, near0 + copiesTo0), copy1(aSecond.isCopy, n - near0 + copiesTo1);
        for (int i = 0; i < n; ++i) {
          const float d0 = mDistTo0[i], d1 = mDistTo1[i];
          const bool nearer0 = d1 > d0;
          pixel0.offer(pixels[i], nearer0);
          copy0.offer(isCopy[i], nearer0);
          const bool copy = nearer0 && d0 + band > d1;
          pixel1.offer(pixels[i], copy);
          copy1.offer(1, copy);
        }
        for (int i = 0; i < n; ++i) {
          const float d0 = mDistTo0[i], d1 = mDistTo1[i];
          const bool nearer1 = !(d1 > d0);
          pixel1.offer(pixels[i], nearer1);
          copy1.offer(isCopy[i], nearer1);
          const bool copy = nearer1 && d1 + band > d0;
          pixel0.offer(pixels[i], copy);
          copy0.offer(1, copy);
        }
        pixel0.finish();
        copy0.finish();
        pixel1.finish();
        copy1.finish();
        aList.release();
        return true;
      }
    }
    return divideRepeated(aList, aFirst, aSecond);
  }

  bool divideRepeated(CWorkList& aList, CWorkList& aFirst, CWorkList& aSecond) {
    std::vector<int> activeIndices;
    for (int i = 0; i < aList.size(); ++i)
      if (!aList.isCopy[i]) activeIndices.push_back(i);
    const int active = static_cast<int>(activeIndices.size());
    if (active <= kMaxRepeatedLeaf) return false;

    const NPatchKernels::CPatchLayout layout = layoutOf(aList);
    const auto at = [&](int aIndex) { return positionOf(aList, aIndex); };
    // Bit patterns that compare as the floats do (0 and -0 alike).
    const auto key = [&](int aPixel, int aK) {
      const float v = feature(layout, aPixel)[layout.offsets[aK]];
      std::uint32_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      return v == 0.0f ? 0u : bits;
    };
    // A group of more than kMaxRepeatedLeaf equal patches (all of them
    // included) shares its first component: without that many equal first
    // components, which is the rule, there is nothing to divide.
    mKeys.clear();
    for (const int i : activeIndices) mKeys.push_back(key(at(i), 0));
    // Equal keys share a bucket: with no bucket above the limit there is no
    // such group, and the sort is spared (most leaves end here).
    {
      int buckets[256] = {};
      bool crowded = false;
      for (const std::uint32_t k : mKeys) crowded |= ++buckets[(k * 0x9E3779B1u) >> 24] > kMaxRepeatedLeaf;
      if (!crowded) return false;
    }
    std::sort(mKeys.begin(), mKeys.end());
    std::size_t longestRun = 0;
    for (std::size_t start = 0, end = 0; start < mKeys.size(); start = end) {
      while (end < mKeys.size() && mKeys[end] == mKeys[start]) ++end;
      longestRun = std::max(longestRun, end - start);
    }
    if (longestRun <= static_cast<std::size_t>(kMaxRepeatedLeaf)) return false;

    const int firstPixel = at(activeIndices.front());
    const bool allEqual = std::all_of(activeIndices.begin(), activeIndices.end(),
                                      [&](int i) { return samePatch(layout, at(i), firstPixel); });
    if (allEqual) {
      // Identical patches cannot be told apart: halve the list in its own order.
      const int lastOfFirst = activeIndices[(active + 1) / 2 - 1];
      for (int i = 0; i < aList.size(); ++i)
        addRecord(i <= lastOfFirst ? aFirst : aSecond, aList, i, aList.isCopy[i] != 0);
      aList.release();
      return true;
    }

    // The largest group of equal patches (ties: the group met first). Sorting
    // by content brings each group together.
    std::vector<int> order = activeIndices;
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      for (int k = 0; k < mLength; ++k) {
        const std::uint32_t ka = key(at(a), k), kb = key(at(b), k);
        if (ka != kb) return ka < kb;
      }
      return a < b;
    });
    int bestSize = 0, bestFirst = -1;
    for (std::size_t start = 0; start < order.size();) {
      std::size_t end = start + 1;
      while (end < order.size() && samePatch(layout, at(order[end]), at(order[start]))) ++end;
      const int size = static_cast<int>(end - start);
      if (size > bestSize || (size == bestSize && order[start] < bestFirst)) {
        bestSize = size;
        bestFirst = order[start];
      }
      start = end;
    }
    if (bestSize <= kMaxRepeatedLeaf) return false;

    // Divide off the group; the rest follows.
    const int shared = at(bestFirst);
    for (int i = 0; i < aList.size(); ++i) {
      if (!aList.isCopy[i] && samePatch(layout, at(i), shared))
        addRecord(aFirst, aList, i, false);
      else
        addRecord(aSecond, aList, i, aList.isCopy[i] != 0);
    }
    aList.release();
    return true;
  }

  CSettings mSettings;
  int mSide = 0;
  int mLength = 0;
  std::vector<int> mOffsets;
  CBounds mBounds;
  NPatchKernels::CPatchLayout mLayout{};
  std::vector<float> mSum0, mSum1, mCentre0, mCentre1, mOld0, mOld1;
  // Scratch of the passes, kept between nodes to avoid reallocating.
  CScratch<int> mOwn0, mOwn1, mOther0, mPixels;
  // Distances to centre 0 and to centre 1 of a batch of records.
  CScratch<float> mDistTo0, mDistTo1;
  CScratch<int> mPositions0, mPositions1;
  // A random start's draws, and what each says of its record's side.
  CScratch<int> mDrawn;
  CScratch<CStartingDraw> mStarts;
  CScratch<std::int8_t> mSides;  // the sides of a leaf's draws, unused
  // The passes of large nodes: each thread's scratch, each range's results,
  // and the moves' positions, at first at their range's start.
  CPassScratch mWorkers[kPassWorkers];
  std::vector<CChunkResult> mChunks;
  // The moves of a pass: positions, and whether each joins the second
  // cluster (in the shared passes, each range's at first at its start).
  CScratch<int> mMovePositions;
  CScratch<std::uint8_t> mToSecond;
  // Whether the first pass of the node being divided looks at every record
  // in record order (see twoMeans).
  bool mFirstLooksAtAll = false;
  CScratch<std::uint8_t> mNearer;
  NPatchKernels::CNearerTest mNearerTest;
  std::vector<CWorkList> mPending;
  CRandomDraws mDraws;
  std::vector<std::uint32_t> mKeys;
};

#if defined(__x86_64__) || defined(__i386__)
// startingDraws four records at a time, in 64-bit lanes. The draw rounded as
// u is at most 2^31, and b = rank + 1 at most 2^31, so their product is the
// unsigned 32 by 32 bit one. With x = product - margin, startingDraw's
// -((margin - product) >> 31) is the ceiling of x / 2^31, here taken as
// (x + 2^31 - 1) >> 31, whose operand is never negative; and its bound
// (product - 1) >> 31, plus one, in the low 32 bits is 0 also for a product
// of 0 (2^33 there). Each record's pair is one 64-bit word.
__attribute__((target("avx2"))) int startingDrawsAvx2(const int* aDraws, int aCount, int aFirstRank,
                                                      CStartingDraw* aOut) {
  static_assert(sizeof(CStartingDraw) == 8 && offsetof(CStartingDraw, below) == 0 &&
                    offsetof(CStartingDraw, nearTie) == 4,
                "a record's pair is one 64-bit word, bound first");
  const __m256i one = _mm256_set1_epi64x(1), four = _mm256_set1_epi64x(4);
  const __m256i belowHalf = _mm256_set1_epi64x(0x7fffffff), lowWord = _mm256_set1_epi64x(0xffffffff);
  const __m256i full = _mm256_set1_epi64x(std::int64_t{1} << 31);
  const std::int64_t b = static_cast<std::int64_t>(aFirstRank) + 1;
  __m256i denominator = _mm256_setr_epi64x(b, b + 1, b + 2, b + 3);
  int j = 0;
  for (; j + 4 <= aCount; j += 4) {
    const __m128 u = _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(aDraws + j)));
    // Exact: an integer below 2^31, or 2^31 itself, whose bits read as
    // unsigned.
    const __m256i drawn = _mm256_cvtepu32_epi64(_mm_cvttps_epi32(u));
    const __m256i product = _mm256_mul_epu32(drawn, denominator);
    const __m256i margin = _mm256_add_epi64(_mm256_srli_epi64(denominator, 20), one);
    const __m256i below = _mm256_add_epi64(_mm256_srli_epi64(_mm256_sub_epi64(product, one), 31), one);
    const __m256i low =
        _mm256_srli_epi64(_mm256_add_epi64(product, _mm256_sub_epi64(belowHalf, margin)), 31);
    const __m256i high = _mm256_srli_epi64(_mm256_add_epi64(product, margin), 31);
    // No near tie: all ones; a draw of 2^31: 0.
    __m256i nearTie = _mm256_or_si256(low, _mm256_and_si256(_mm256_cmpgt_epi64(low, high), lowWord));
    nearTie = _mm256_andnot_si256(_mm256_cmpeq_epi64(drawn, full), nearTie);
    const __m256i words = _mm256_or_si256(_mm256_and_si256(below, lowWord), _mm256_slli_epi64(nearTie, 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(aOut + j), words);
    denominator = _mm256_add_epi64(denominator, four);
  }
  return j;
}
#endif

}  // namespace

void startingDraws(const int* aDraws, int aCount, int aFirstRank, CStartingDraw* aOut) {
  int j = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (NPatchKernels::usesAvx2()) j = startingDrawsAvx2(aDraws, aCount, aFirstRank, aOut);
#endif
  for (; j < aCount; ++j) aOut[j] = startingDraw(aDraws[j], aFirstRank + j);
}

void setValueRange(CSettings& aSettings, const float* aValues, std::size_t aCount) {
  aSettings.valueLow = 1.0f;
  aSettings.valueHigh = 0.0f;
  if (aCount == 0) return;
  float low = aValues[0], high = aValues[0];
  bool finite = true;
  for (std::size_t i = 0; i < aCount; ++i) {
    const float v = aValues[i];
    low = v < low ? v : low;
    high = v > high ? v : high;
    finite = finite && std::isfinite(v);
  }
  if (!finite) return;
  aSettings.valueLow = low;
  aSettings.valueHigh = high;
}

struct CTreeBuilder::CImpl {
  CBuilder builder;
};

CTreeBuilder::CTreeBuilder() : mImpl(std::make_unique<CImpl>()) {}
CTreeBuilder::~CTreeBuilder() = default;

void CTreeBuilder::build(const CSettings& aSettings, std::vector<int> aPixels,
                         const std::function<void(CLeaf&&)>& aSink) {
  CWorkList root;
  root.isCopy.assign(aPixels.size(), 0);
  root.pixel = std::move(aPixels);
  mImpl->builder.configure(aSettings);
  mImpl->builder.run(std::move(root), aSink);
}

void build(const CSettings& aSettings, std::vector<int> aPixels, const std::function<void(CLeaf&&)>& aSink) {
  CTreeBuilder().build(aSettings, std::move(aPixels), aSink);
}

}  // namespace NPatchTree

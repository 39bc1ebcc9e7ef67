// A cluster tree over the square patches of an image, built exactly as
// CClusterTree builds one over CDataElement feature vectors (same two-means,
// same split rule, same division of repeated patches, same depth-first order
// of random draws), but without storing a feature vector per pixel: the
// feature of a pixel is read from the scaled image on the fly. The tree keeps
// no nodes either; each leaf is handed to a sink as soon as it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace NPatchTree {

// One leaf: the centre pixel indices of its members in work-list order, and
// for each whether it is held as an overlap copy (false: as a primary).
struct CLeaf {
  std::vector<int> members;
  std::vector<std::uint8_t> isCopy;
};

struct CSettings {
  // Scaled image: the feature of pixel p has components aScaled[p + offset]
  // over the patch offsets, row by row.
  const float* scaled = nullptr;
  int xSize = 0;       // row length of the scaled image
  int patchRadius = 0;
  float overlapMargin = 0.0f;
  float splitThreshold = 0.0f;
  // Range of the values of the scaled image that the patches read, when
  // known (valueLow <= valueHigh, both finite; see setValueRange). A split
  // then settles most records' sides with a cheap test instead of their two
  // distances; the tree is the same either way.
  float valueLow = 1.0f;
  float valueHigh = 0.0f;
  // Optional: hands a task to another thread that runs it as soon as it is
  // free. The builder then shares the distances and sums of large nodes with
  // that thread; a task that starts late finds nothing left and returns. The
  // tree and its leaves do not depend on whether or when the task runs.
  std::function<void(std::function<void()>)> share;
  // The fewest records of a node whose distances and sums are shared (its
  // passes are shared by ranges from 4096 records on, whatever this is).
  // Each share hands cache lines between the threads, which costs several
  // times as much where their caches lie apart; then only larger nodes pay.
  int leastShared = 512;
};

// The side, 0 or 1 (or 2, which counts as 1), that two-means' random start
// gives a record when aCount0 and aCount1 active records before it went to
// the two clusters and aDraw (a rand() value) is its draw: the integer part
// of p + u in double, p = (aCount0 + 1) / (aCount0 + aCount1 + 1), u the draw
// times 2^-31 in float. The plain expression, for the rare near ties of
// startingClusterFrom.
__attribute__((noinline, cold)) inline int startingClusterInDouble(int aCount0, int aCount1, int aDraw) {
  const double p = static_cast<double>(aCount0 + 1) / static_cast<double>(aCount0 + aCount1 + 1);
  const double u = static_cast<double>(static_cast<float>(aDraw) * 4.656612873077393e-10f);
  return static_cast<int>(p + u);
}

// Sets the value range of aSettings to that of the aCount values at aValues,
// which must hold every value the patches read; leaves it unknown when a
// value is not finite.
void setValueRange(CSettings& aSettings, const float* aValues, std::size_t aCount);

// The side of a record in integers, made ahead from its draw and its rank
// among the active records of the attempt (0 for the first). With b the
// denominator of p, which is the rank plus one whatever sides the earlier
// records took, and the draw rounded as u is, p + u - 1 = (draw * b -
// aCount1 * 2^31) / (b * 2^31): so p + u >= 1 becomes a bound on aCount1
// alone, and the chain from one record to the next is a comparison and an
// addition. Double rounding moves p + u by less than 2^-51, at most
// (b >> 20) + 1 in units of that numerator; the one count (if any) that
// close to the boundary takes the double expression itself. So does count
// 0 for a draw that rounds to 2^31 (u = 1), where p + u is 2 (side 2).
struct CStartingDraw {
  std::uint32_t below = 0;               // the side is 1 while aCount1 is below this
  std::uint32_t nearTie = kNoNearTie;    // the aCount1 that takes the double expression
  static constexpr std::uint32_t kNoNearTie = 0xffffffffu;  // no count is this large
};

inline CStartingDraw startingDraw(int aDraw, int aRank) {
  const std::int64_t drawn = static_cast<std::int64_t>(static_cast<float>(aDraw));
  const std::int64_t b = static_cast<std::int64_t>(aRank) + 1;
  const std::int64_t product = drawn * b;
  const std::int64_t margin = (b >> 20) + 1;
  CStartingDraw out;
  // aCount1 * 2^31 < product (shifts round toward minus infinity); at most
  // b + 1, so it fits.
  out.below = static_cast<std::uint32_t>(((product - 1) >> 31) + 1);
  if (drawn == (std::int64_t{1} << 31)) {
    // Every count is below b, and only count 0 makes p 1.
    out.nearTie = 0;
    return out;
  }
  const std::int64_t low = -((margin - product) >> 31), high = (product + margin) >> 31;
  if (low <= high) out.nearTie = static_cast<std::uint32_t>(low);
  return out;
}

// startingClusterInDouble(aRank - aCount1, aCount1, aDraw), from aDraw's
// startingDraw at aRank. The near tie is rare, so well predicted; the side
// itself is as good as random, so it is computed without a branch.
inline int startingClusterFrom(const CStartingDraw& aStart, int aDraw, int aRank, int aCount1) {
  const std::uint32_t count1 = static_cast<std::uint32_t>(aCount1);
  if (count1 == aStart.nearTie) return startingClusterInDouble(aRank - aCount1, aCount1, aDraw);
  return count1 < aStart.below ? 1 : 0;
}

// aOut[j] = startingDraw(aDraws[j], aFirstRank + j) for j < aCount, several
// at a time where the processor allows. The ranks must stay below 2^31.
void startingDraws(const int* aDraws, int aCount, int aFirstRank, CStartingDraw* aOut);

// Builds the tree over the patches centred on aPixels (in that order) and
// passes every leaf, in depth-first order, to aSink. Draws from rand() as the
// cluster tree does. The patches must lie inside the scaled image. The tree
// starts from aPixels itself: a list handed over (moved) is not copied.
void build(const CSettings& aSettings, std::vector<int> aPixels, const std::function<void(CLeaf&&)>& aSink);

// build for many trees one after another (one per block of an image): the
// builder keeps its working memory from one tree to the next. The trees are
// those that build makes.
class CTreeBuilder {
public:
  CTreeBuilder();
  ~CTreeBuilder();
  CTreeBuilder(const CTreeBuilder&) = delete;
  CTreeBuilder& operator=(const CTreeBuilder&) = delete;
  void build(const CSettings& aSettings, std::vector<int> aPixels, const std::function<void(CLeaf&&)>& aSink);

private:
  struct CImpl;
  std::unique_ptr<CImpl> mImpl;
};

}  // namespace NPatchTree

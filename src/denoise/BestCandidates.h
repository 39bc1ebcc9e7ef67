// The best-ranked candidates of a pixel, as std::sort would order them, found
// without sorting the whole list where that gives the same result.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "CElement.h"

namespace NLMeansCommon {

// Leaves in aBest the first min(aCount, N) entries of a pixel's candidate
// list as std::sort orders it. aForEach(visit) must call visit(const
// CElement&) for the N candidates in list order, the same way every time it
// is called. When the aCount + 1 smallest distances are all different, every
// correct sort puts the same entries first (each of those distances belongs to
// one entry only), and one pass that keeps the aCount + 1 best finds them.
// Otherwise (ties among them, a distance that is not a number, aCount >= N or
// a large aCount) the whole list is built in aList and sorted with std::sort
// as it stands, ties resolved as it resolves them.
template <typename ForEach>
void bestCandidates(int aCount, const ForEach& aForEach, std::vector<CElement>& aBest, std::vector<CElement>& aList) {
  // Above this the kept entries cost more than a sort.
  constexpr int kMostKept = 64;
  aBest.clear();
  if (aCount < 1) return;
  if (aCount <= kMostKept) {
    const std::size_t kept = static_cast<std::size_t>(aCount) + 1;
    std::size_t total = 0;
    bool notANumber = false;
    aForEach([&](const CElement& aCandidate) {
      ++total;
      notANumber = notANumber || std::isnan(aCandidate.distance);
      if (aBest.size() == kept) {
        if (!(aCandidate < aBest.back())) return;
        aBest.pop_back();
      }
      aBest.insert(std::upper_bound(aBest.begin(), aBest.end(), aCandidate), aCandidate);
    });
    if (!notANumber && total >= kept) {
      bool distinct = true;
      for (std::size_t i = 0; distinct && i + 1 < kept; ++i) distinct = aBest[i] < aBest[i + 1];
      if (distinct) {
        aBest.pop_back();
        return;
      }
    }
  }
  aList.clear();
  aForEach([&](const CElement& aCandidate) { aList.push_back(aCandidate); });
  std::sort(aList.begin(), aList.end());
  aBest.assign(aList.begin(), aList.begin() + std::min(aList.size(), static_cast<std::size_t>(aCount)));
}

// The candidates that can be among the aKept smallest of the keys
// aRanks[0 .. aTotal): their indices, in list order, into aWhich, found with a
// histogram of the keys. Every key left out is larger than every key listed.
// Returns false, and lists nothing, when the keys are not all nonnegative
// numbers or infinity (-0 included), or too many would be listed for the
// listing to pay (many equal keys).
bool narrowBest(const float* aRanks, int aTotal, int aKept, std::vector<int>& aWhich);

// The aKept smallest keys of aRanks[0 .. aTotal) when they are all
// different numbers and no key is NaN: their indices, in increasing key
// order, into aWhich (the last may be that of any entry with its key).
// Returns false, and lists nothing, otherwise, or when aKept is not in
// 1 .. min(aTotal, 16).
bool fewSmallest(const float* aRanks, int aTotal, int aKept, std::vector<int>& aWhich);

// As bestCandidates, for candidates whose sort keys are aRanks[0 .. aTotal)
// in list order, candidate i being aMake(i). When the aCount + 1 smallest keys
// are all different, the first aCount are the same whatever order finds them:
// narrowBest picks out a few candidates, and only those are sorted (fewer
// than a dozen, whose insertions cost less than the histogram, are kept by
// fewSmallest). Otherwise bestCandidates decides, as above.
template <typename Make>
void bestOfRanks(int aCount, const float* aRanks, int aTotal, const Make& aMake, std::vector<CElement>& aBest,
                 std::vector<CElement>& aList, std::vector<int>& aWhich) {
  constexpr int kFewestNarrowed = 12;
  const int kept = aCount + 1;
  if (aCount >= 1 && aCount < kFewestNarrowed && fewSmallest(aRanks, aTotal, kept, aWhich)) {
    // The kept + 1 smallest keys differ: the first aCount of them, in order.
    aBest.clear();
    for (int k = 0; k < aCount; ++k) aBest.push_back(aMake(aWhich[static_cast<std::size_t>(k)]));
    return;
  }
  if (aCount >= kFewestNarrowed && kept <= aTotal && narrowBest(aRanks, aTotal, kept, aWhich) &&
      aWhich.size() >= static_cast<std::size_t>(kept)) {
    aBest.clear();
    for (const int i : aWhich) aBest.push_back(aMake(i));
    std::sort(aBest.begin(), aBest.end());
    aBest.resize(static_cast<std::size_t>(kept));
    bool distinct = true;
    for (int i = 0; distinct && i + 1 < kept; ++i) distinct = aBest[i] < aBest[i + 1];
    if (distinct) {
      aBest.pop_back();
      return;
    }
  }
  bestCandidates(
      aCount,
      [&](const auto& aVisit) {
        for (int i = 0; i < aTotal; ++i) aVisit(aMake(i));
      },
      aBest, aList);
}

}  // namespace NLMeansCommon

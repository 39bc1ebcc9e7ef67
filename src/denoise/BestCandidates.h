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

}  // namespace NLMeansCommon

// Bands of image rows for the plans that take rows in order (each pair of
// pixels measured once): a band is one job, and measures the R rows above it
// a second time for itself, so bands are independent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace NRowBands {

// The first rows of the bands of aYSize rows, and aYSize at the end: up to
// aPerThread bands per thread, each of aLeastRadii search radii at least,
// and a whole number of rounds of the threads when there are enough.
inline std::vector<int> bandStarts(int aYSize, int aRadius, int aThreads, int aPerThread, int aLeastRadii) {
  const int threads = std::max(1, aThreads);
  const long long least = static_cast<long long>(aLeastRadii) * std::max(1, aRadius);
  int bands = static_cast<int>(std::min<long long>(static_cast<long long>(aPerThread) * threads,
                                                   std::max<long long>(1, aYSize / least)));
  if (bands > threads) bands -= bands % threads;
  std::vector<int> starts;
  for (int b = 0; b <= bands; ++b) starts.push_back(static_cast<int>(static_cast<long long>(aYSize) * b / bands));
  return starts;
}

// The length of a padded row: R columns on the left, R + 8 on the right, so
// that any offset of a window and a group of eight lanes stays inside.
inline std::size_t paddedWidth(int aXSize, int aRadius) {
  return static_cast<std::size_t>(aXSize) + 2 * static_cast<std::size_t>(aRadius) + 8;
}

}  // namespace NRowBands

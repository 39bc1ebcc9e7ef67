#include "WindowedPixels.h"

#include <algorithm>

namespace {

// Pixels per job: enough work to outweigh the hand-over.
constexpr int kJobPixels = 64;

}  // namespace

CWindowedPixels::CWindowedPixels(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize,
                                 const std::vector<std::uint8_t>& aMask, int aRadius, float aKernel,
                                 const NLMeansCommon::CPatchWindow& aWindow)
    : mDistance(aDistanceImage), mValues(aValues), mXSize(aXSize), mYSize(aYSize), mRadius(aRadius),
      mKernel(aKernel), mWindow(aWindow) {
  const int X = aXSize, Y = aYSize;
  constexpr int n = NLMeansKernels::kRunLength;
  const NLMeansKernels::CRunPlanes rows{aDistanceImage, aValues, X, Y, 1, X};
  const NLMeansKernels::CRunPlanes columns{nullptr, nullptr, X, Y, Y, 1};
  std::vector<std::uint8_t> open(aMask);
  const auto at = [X](int aX, int aY) { return static_cast<std::size_t>(aX) + static_cast<std::size_t>(aY) * X; };
  // Runs along rows first: the plain images serve them.
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x + n <= X; ++x) {
      if (!open[at(x, y)] || !NLMeansKernels::windowedRunFits(rows, x, y, aRadius, aWindow)) continue;
      int l = 1;
      while (l < n && open[at(x + l, y)]) ++l;
      if (l < n) continue;
      mItems.push_back({static_cast<int>(at(x, y)), kAlongX});
      for (l = 0; l < n; ++l) open[at(x + l, y)] = 0;
      x += n - 1;
    }
  // Then along columns, among the pixels left.
  for (int x = 0; x < X; ++x)
    for (int y = 0; y + n <= Y; ++y) {
      if (!open[at(x, y)] || !NLMeansKernels::windowedRunFits(columns, x, y, aRadius, aWindow)) continue;
      int l = 1;
      while (l < n && open[at(x, y + l)]) ++l;
      if (l < n) continue;
      mItems.push_back({static_cast<int>(at(x, y)), kAlongY});
      for (l = 0; l < n; ++l) open[at(x, y + l)] = 0;
      y += n - 1;
    }
  for (std::size_t p = 0; p < open.size(); ++p)
    if (open[p]) mItems.push_back({static_cast<int>(p), kSingle});

  // The transposed copies hold only the columns that runs along columns
  // reach (their windows and patches); the others are never read.
  std::vector<std::uint8_t> reached(static_cast<std::size_t>(X), 0);
  const long long reach = static_cast<long long>(aRadius) + aWindow.radius;
  for (const CItem& item : mItems) {
    if (item.kind != kAlongY) continue;
    const long long x = item.pixel % X;
    std::fill(reached.begin() + std::max(0LL, x - reach), reached.begin() + std::min<long long>(X, x + reach + 1), 1);
  }
  if (std::find(reached.begin(), reached.end(), 1) != reached.end()) {
    mDistanceT.reset(new float[static_cast<std::size_t>(X) * Y]);
    mValuesT.reset(new float[static_cast<std::size_t>(X) * Y]);
    for (int x = 0; x < X; ++x) {
      if (!reached[x]) continue;
      for (int y = 0; y < Y; ++y) {
        mDistanceT[static_cast<std::size_t>(x) * Y + y] = aDistanceImage[at(x, y)];
        mValuesT[static_cast<std::size_t>(x) * Y + y] = aValues[at(x, y)];
      }
    }
  }

  mJobStarts.push_back(0);
  int pixels = 0;
  for (std::size_t i = 0; i < mItems.size(); ++i) {
    pixels += mItems[i].kind == kSingle ? 1 : n;
    if (pixels >= kJobPixels || i + 1 == mItems.size()) {
      mJobStarts.push_back(static_cast<int>(i + 1));
      pixels = 0;
    }
  }
}

int CWindowedPixels::pixels(int aJob) const {
  int count = 0;
  for (int i = mJobStarts[aJob]; i < mJobStarts[aJob + 1]; ++i)
    count += mItems[i].kind == kSingle ? 1 : NLMeansKernels::kRunLength;
  return count;
}

void CWindowedPixels::runEstimates(const CItem& aItem, NLMeansCommon::CEstimate* aEstimates) const {
  const int x = aItem.pixel % mXSize, y = aItem.pixel / mXSize;
  const NLMeansKernels::CRunPlanes planes =
      aItem.kind == kAlongX ? NLMeansKernels::CRunPlanes{mDistance, mValues, mXSize, mYSize, 1, mXSize}
                            : NLMeansKernels::CRunPlanes{mDistanceT.get(), mValuesT.get(), mXSize, mYSize, mYSize, 1};
  NLMeansKernels::windowedRunEstimates(planes, x, y, mRadius, mKernel, mWindow, aEstimates);
}

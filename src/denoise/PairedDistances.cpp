#include "PairedDistances.h"

#include <algorithm>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

#include "RowBands.h"
#include "SimdTranspose.h"

namespace {

// A band's ring of keys stays below this (bytes).
constexpr double kMostBandBytes = 64.0 * 1024 * 1024;
// Rows per band at least, in search radii: each band measures R rows above
// it a second time. The methods that rank spend most of their time after the
// distances, unevenly from pixel to pixel: several bands per thread keep the
// threads busy to the end.
constexpr int kLeastBandRadii = 4;
constexpr int kBandsPerThread = 4;

}  // namespace

bool CPairedDistances::serves(int aXSize, int aYSize, int aRadius) {
  if (!NLMeansKernels::usesAvx2() || aXSize <= 0 || aYSize <= 0 || aRadius < 1) return false;
  // In double: the slots of a large radius overflow int.
  const double slots = static_cast<double>(aRadius) * (2.0 * aRadius + 2.0) + 1.0;
  const double width = static_cast<double>(NRowBands::paddedWidth(aXSize, aRadius));
  return (static_cast<double>(aRadius) + 1) * slots * width * sizeof(float) <= kMostBandBytes;
}

CPairedDistances::CPairedDistances(const float* aImage, int aXSize, int aYSize, int aRadius,
                                   const NLMeansCommon::CPatchWindow& aWindow, int aThreads)
    : mImage(aImage), mXSize(aXSize), mYSize(aYSize), mRadius(aRadius), mWindow(aWindow),
      mPaddedWidth(NRowBands::paddedWidth(aXSize, aRadius)),
      mBandStarts(NRowBands::bandStarts(aYSize, aRadius, aThreads, kBandsPerThread, kLeastBandRadii)) {}

CPairedDistances::CBand::CBand(const CPairedDistances& aPlan, int aJob)
    : mPlan(aPlan), mFirstRow(std::max(0, aPlan.mBandStarts[aJob] - aPlan.mRadius)) {
  // The forward keys and the pixel's own.
  const std::size_t slots = static_cast<std::size_t>(NLMeansKernels::forwardSlots(aPlan.mRadius)) + 1;
  mKeys.resize(static_cast<std::size_t>(aPlan.mRadius + 1) * slots * aPlan.mPaddedWidth);
  mWindow.resize(NLMeansKernels::largestWindow(aPlan.mXSize, aPlan.mYSize, aPlan.mRadius));
}

float* CPairedDistances::CBand::keys(int aY, int aSlot) {
  const std::size_t row = static_cast<std::size_t>(aY % (mPlan.mRadius + 1)) *
                          (static_cast<std::size_t>(NLMeansKernels::forwardSlots(mPlan.mRadius)) + 1);
  return mKeys.data() + (row + static_cast<std::size_t>(aSlot)) * mPlan.mPaddedWidth + mPlan.mRadius;
}

void CPairedDistances::CBand::measureForward(int aY) {
  const CPairedDistances& p = mPlan;
  constexpr int n = NLMeansKernels::kRunLength;
  const NLMeansKernels::CRunPlanes planes{p.mImage, nullptr, p.mXSize, p.mYSize, 1, p.mXSize};
  float* const row = keys(aY, 0);
  for (int x = 0; x < p.mXSize;) {
    if (x + n <= p.mXSize && NLMeansKernels::windowedRunFits(planes, x, aY, p.mRadius, p.mWindow)) {
      NLMeansKernels::forwardRunRanks(p.mImage, p.mXSize, p.mYSize, x, aY, p.mRadius, p.mWindow, row + x,
                                      p.mPaddedWidth);
      x += n;
    } else {
      NLMeansKernels::forwardPixelRanks(p.mImage, p.mXSize, p.mYSize, x, aY, p.mRadius, p.mWindow, row + x,
                                        p.mPaddedWidth);
      ++x;
    }
  }
}

const float* CPairedDistances::CBand::window(int aX, int aY) {
  const CPairedDistances& p = mPlan;
  const int R = p.mRadius;
  const std::ptrdiff_t width = static_cast<std::ptrdiff_t>(p.mPaddedWidth);
  const NLMeansKernels::CWindowBounds bounds = NLMeansKernels::windowBounds(p.mXSize, p.mYSize, aX, aY, R);
  float* out = mWindow.data();
  for (int qy = bounds.yLow; qy <= bounds.yHigh; ++qy) {
    const int oy = qy - aY;
    int qx = bounds.xLow;
    if (oy < 0) {
      // Earlier rows: candidate (qx, qy)'s forward key for this pixel, at
      // offset (aX - qx, -oy) from it; the slot falls by one as qx grows.
      const float* key = keys(qy, NLMeansKernels::forwardSlot(R, aX - qx, -oy)) + qx;
      for (; qx <= bounds.xHigh; ++qx, key += 1 - width) *out++ = *key;
      continue;
    }
    if (oy == 0) {
      // Slot 0 is the last of the row's earlier pixels: the key goes no
      // further down (below slot 0 of the ring's first row it would leave
      // the array).
      if (qx < aX) {
        const float* key = keys(qy, NLMeansKernels::forwardSlot(R, aX - qx, 0)) + qx;
        for (; qx + 1 < aX; ++qx, key += 1 - width) *out++ = *key;
        *out++ = *key;
        ++qx;
      }
      *out++ = keys(aY, NLMeansKernels::forwardSlots(R))[aX];
      ++qx;
    }
    // The pixel's own forward keys: the slot grows by one as qx grows.
    if (qx > bounds.xHigh) continue;
    const float* key = keys(aY, NLMeansKernels::forwardSlot(R, qx - aX, oy)) + aX;
    for (; qx <= bounds.xHigh; ++qx, key += width) *out++ = *key;
  }
  return mWindow.data();
}

bool CPairedDistances::CBand::prepareWhole(int aY) {
  const CPairedDistances& p = mPlan;
  const int R = p.mRadius;
  if (aY < R || aY > p.mYSize - 1 - R) return false;
  // Entry (ox, oy) of pixel x, in window order, at mEntries[e] + x.
  mEntries.clear();
  for (int oy = -R; oy <= R; ++oy)
    for (int ox = -R; ox <= R; ++ox) {
      if (oy < 0 || (oy == 0 && ox < 0))
        mEntries.push_back(keys(aY + oy, NLMeansKernels::forwardSlot(R, -ox, -oy)) + ox);
      else if (oy == 0 && ox == 0)
        mEntries.push_back(keys(aY, NLMeansKernels::forwardSlots(R)));
      else
        mEntries.push_back(keys(aY, NLMeansKernels::forwardSlot(R, ox, oy)));
    }
  mWhole.resize(mEntries.size() * kGroup);
  return true;
}

#ifdef TEXTURE_HAVE_X86
__attribute__((target("avx2"))) const float* CPairedDistances::CBand::wholeWindows(int aX) {
  const std::size_t size = mEntries.size();
  float* const out = mWhole.data();
  std::size_t e = 0;
  // Eight entries of eight pixels at a time: a register per entry (a pixel
  // per lane) turned into a register per pixel.
  for (; e + kGroup <= size; e += kGroup) {
    __m256 rows[kGroup];
    for (int j = 0; j < kGroup; ++j) rows[j] = _mm256_loadu_ps(mEntries[e + j] + aX);
    NSimd::transpose8(rows);
    for (int l = 0; l < kGroup; ++l) _mm256_storeu_ps(out + static_cast<std::size_t>(l) * size + e, rows[l]);
  }
  for (; e < size; ++e)
    for (int l = 0; l < kGroup; ++l) out[static_cast<std::size_t>(l) * size + e] = mEntries[e][aX + l];
  return out;
}
#else
const float* CPairedDistances::CBand::wholeWindows(int) { return nullptr; }
#endif

#include "PairedWindows.h"

#include <algorithm>
#include <cstring>

#include "NLMeansKernels.h"
#include "RowBands.h"
#include "Preselection.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

namespace {

// A band's working memory stays below this (bytes).
constexpr double kMostBandBytes = 64.0 * 1024 * 1024;
// Rows per band at least, in search radii: each band weighs R rows above it
// a second time, nearly the whole cost of a row. Two bands per thread.
constexpr int kLeastBandRadii = 16;
constexpr int kBandsPerThread = 2;

// A band's working memory: one row of forward weights and flags, and the
// running sums of R + 1 rows.
double bandBytes(int aXSize, int aRadius) {
  // In double: the slots of a large radius overflow int.
  const double width = static_cast<double>(NRowBands::paddedWidth(aXSize, aRadius));
  const double slots = static_cast<double>(aRadius) * (2.0 * aRadius + 2.0);
  return slots * width * (sizeof(float) + 1) +
         (static_cast<double>(aRadius) + 1) * width * 3 * sizeof(float);
}

}  // namespace

bool CPairedWindows::serves(int aXSize, int aYSize, int aRadius) {
#ifdef TEXTURE_HAVE_X86
  // Radii beyond the image's larger side only clip to it (the caller clips).
  return NLMeansKernels::usesAvx2() && aXSize > 0 && aYSize > 0 && aRadius >= 1 &&
         bandBytes(aXSize, aRadius) <= kMostBandBytes;
#else
  (void)aXSize;
  (void)aYSize;
  (void)aRadius;
  return false;
#endif
}

CPairedWindows::CPairedWindows(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize,
                               int aRadius, float aKernel, const NLMeansCommon::CPatchWindow& aWindow, int aThreads,
                               const float* aMean, const float* aSpread)
    : mDistance(aDistanceImage), mXSize(aXSize), mYSize(aYSize), mRadius(aRadius), mKernel(aKernel),
      mWindow(aWindow), mPaddedWidth(NRowBands::paddedWidth(aXSize, aRadius)) {
  const auto padded = [&](const float* aImage, std::vector<float>& aOut) {
    aOut.assign(mPaddedWidth * static_cast<std::size_t>(aYSize), 0.0f);
    for (int y = 0; y < aYSize; ++y)
      std::copy(aImage + static_cast<std::size_t>(y) * aXSize, aImage + static_cast<std::size_t>(y + 1) * aXSize,
                aOut.begin() + static_cast<std::ptrdiff_t>(y * mPaddedWidth + aRadius));
  };
  padded(aValues, mValues);
  if (aMean && aSpread) {
    padded(aMean, mMean);
    padded(aSpread, mSpread);
  }
  mBandStarts = NRowBands::bandStarts(aYSize, aRadius, aThreads, kBandsPerThread, kLeastBandRadii);
}

CPairedWindows::CBand::CBand(const CPairedWindows& aPlan, int aJob)
    : mPlan(aPlan), mFirstRow(std::max(0, aPlan.mBandStarts[aJob] - aPlan.mRadius)),
      mFirstEstimated(aPlan.mBandStarts[aJob]), mEnd(aPlan.mBandStarts[aJob + 1]),
      mGroups((aPlan.mXSize + kLanes - 1) / kLanes) {
  const std::size_t size = static_cast<std::size_t>(NLMeansKernels::forwardSlots(aPlan.mRadius)) * aPlan.mPaddedWidth;
  mWeights.resize(size);
  // The padding columns are never written: their flags stay clear.
  mDefined.assign(size, 0);
  // Three sums (T, A, M) per lane group of eight pixels, per row.
  mSums.assign(static_cast<std::size_t>(aPlan.mRadius + 1) * mGroups * 3 * kLanes, 0.0f);
  mEstimates.resize(static_cast<std::size_t>(mGroups) * kLanes);
}

float* CPairedWindows::CBand::weights(int aSlot) {
  return mWeights.data() + static_cast<std::size_t>(aSlot) * mPlan.mPaddedWidth + mPlan.mRadius;
}

std::uint8_t* CPairedWindows::CBand::defined(int aSlot) {
  return mDefined.data() + static_cast<std::size_t>(aSlot) * mPlan.mPaddedWidth + mPlan.mRadius;
}

float* CPairedWindows::CBand::sums(int aY) {
  return mSums.data() + static_cast<std::size_t>(aY % (mPlan.mRadius + 1)) * mGroups * 3 * kLanes;
}

const NLMeansCommon::CEstimate* CPairedWindows::CBand::row(int aY) {
  weighForward(aY);
  handOn(aY);
  return aY >= mFirstEstimated ? finish(aY) : nullptr;
}

void CPairedWindows::CBand::weighForward(int aY) {
  const CPairedWindows& p = mPlan;
  const NLMeansKernels::CRunPlanes planes{p.mDistance, nullptr, p.mXSize, p.mYSize, 1, p.mXSize};
  float* const weights = this->weights(0);
  std::uint8_t* const defined = this->defined(0);
  for (int x = 0; x < p.mXSize;) {
    if (x + kLanes <= p.mXSize && NLMeansKernels::windowedRunFits(planes, x, aY, p.mRadius, p.mWindow)) {
      NLMeansKernels::forwardRunWeights(p.mDistance, p.mXSize, p.mYSize, x, aY, p.mRadius, p.mKernel, p.mWindow,
                                        weights + x, defined + x, p.mPaddedWidth);
      x += kLanes;
    } else {
      NLMeansKernels::forwardPixelWeights(p.mDistance, p.mXSize, p.mYSize, x, aY, p.mRadius, p.mKernel, p.mWindow,
                                          weights + x, defined + x, p.mPaddedWidth);
      ++x;
    }
  }
}

#ifdef TEXTURE_HAVE_X86
template <bool Tested>
__attribute__((target("avx2"))) void CPairedWindows::addCandidate(float* aSums, int aGroups,
                                                                  const CCandidate& aCandidate) {
  static const float lowMean = NLMeansCommon::preselectionLowMean(),
                     highMean = NLMeansCommon::preselectionHighMean();
  const __m256 low = _mm256_set1_ps(lowMean), high = _mm256_set1_ps(highMean);
  const __m256 lowSpread = _mm256_set1_ps(0.5f), highSpread = _mm256_set1_ps(1.5f);
  for (int g = 0; g < aGroups; ++g) {
    const int x = 8 * g;
    float* const at = aSums + 24 * g;
    __m256 mask = _mm256_castsi256_ps(
        _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(aCandidate.defined + x))));
    if (Tested) {
      // preselectionAccepts, lane by lane: a ratio that is not a number
      // fails no comparison and passes.
      const __m256 meanRatio = _mm256_div_ps(_mm256_loadu_ps(aCandidate.meanP + x), _mm256_loadu_ps(aCandidate.meanQ + x));
      const __m256 spreadRatio =
          _mm256_div_ps(_mm256_loadu_ps(aCandidate.spreadP + x), _mm256_loadu_ps(aCandidate.spreadQ + x));
      const __m256 dropped = _mm256_or_ps(
          _mm256_or_ps(_mm256_cmp_ps(meanRatio, low, _CMP_LT_OQ), _mm256_cmp_ps(meanRatio, high, _CMP_GT_OQ)),
          _mm256_or_ps(_mm256_cmp_ps(spreadRatio, lowSpread, _CMP_LT_OQ),
                       _mm256_cmp_ps(spreadRatio, highSpread, _CMP_GT_OQ)));
      mask = _mm256_andnot_ps(dropped, mask);
    }
    const __m256 weight = _mm256_loadu_ps(aCandidate.weights + x);
    const __m256 total = _mm256_loadu_ps(at), weighted = _mm256_loadu_ps(at + 8), largest = _mm256_loadu_ps(at + 16);
    _mm256_storeu_ps(at, _mm256_blendv_ps(total, _mm256_add_ps(total, weight), mask));
    _mm256_storeu_ps(at + 8, _mm256_blendv_ps(weighted,
                                              _mm256_add_ps(weighted, _mm256_mul_ps(weight, _mm256_loadu_ps(aCandidate.values + x))),
                                              mask));
    // max(M, w) keeps M only where M > w, as std::max(w, M) does (NaN included).
    _mm256_storeu_ps(at + 16, _mm256_blendv_ps(largest, _mm256_max_ps(largest, weight), mask));
  }
}

CPairedWindows::CCandidate CPairedWindows::CBand::candidate(const float* aWeights, const std::uint8_t* aDefined, std::size_t aAt,
                                            std::size_t aPixelAt) const {
  const CPairedWindows& p = mPlan;
  const bool tested = !p.mMean.empty();
  return CCandidate{aWeights,
                    aDefined,
                    p.mValues.data() + aAt,
                    tested ? p.mMean.data() + aAt : nullptr,
                    tested ? p.mSpread.data() + aAt : nullptr,
                    tested ? p.mMean.data() + aPixelAt : nullptr,
                    tested ? p.mSpread.data() + aPixelAt : nullptr};
}

void CPairedWindows::CBand::add(float* aSums, const CCandidate& aCandidate) {
  if (mPlan.mMean.empty())
    addCandidate<false>(aSums, mGroups, aCandidate);
  else
    addCandidate<true>(aSums, mGroups, aCandidate);
}

void CPairedWindows::CBand::handOn(int aY) {
  const int R = mPlan.mRadius;
  // Pixel (x + c, aY) is candidate (c, -d) of pixel (x, aY + d), whose
  // candidates of that row come in the order of c; from the row's pixel the
  // other is at forward offset (-c, d).
  const std::size_t row = static_cast<std::size_t>(aY) * mPlan.mPaddedWidth + R;
  const int last = std::min(mEnd, mPlan.mYSize) - 1;
  for (int d = 1; d <= R && aY + d <= last; ++d) {
    if (aY + d < mFirstEstimated) continue;
    float* const target = sums(aY + d);
    const std::size_t pixelRow = row + static_cast<std::size_t>(d) * mPlan.mPaddedWidth;
    for (int c = -R; c <= R; ++c) {
      const int slot = NLMeansKernels::forwardSlot(R, -c, d);
      add(target, candidate(weights(slot) + c, defined(slot) + c, row + c, pixelRow));
    }
  }
}

const NLMeansCommon::CEstimate* CPairedWindows::CBand::finish(int aY) {
  const int R = mPlan.mRadius;
  float* const own = sums(aY);
  const std::size_t row = static_cast<std::size_t>(aY) * mPlan.mPaddedWidth + R;
  // The earlier rows are in; the row's own earlier pixels come next, their
  // forward weights for this pixel.
  for (int ox = -R; ox < 0; ++ox) {
    const int slot = NLMeansKernels::forwardSlot(R, -ox, 0);
    add(own, candidate(weights(slot) + ox, defined(slot) + ox, row + ox, row));
  }
  // Then the pixel's own forward candidates.
  for (int oy = 0; oy <= R && aY + oy < mPlan.mYSize; ++oy)
    for (int ox = oy == 0 ? 1 : -R; ox <= R; ++ox) {
      const int slot = NLMeansKernels::forwardSlot(R, ox, oy);
      add(own, candidate(weights(slot), defined(slot), row + oy * mPlan.mPaddedWidth + ox, row));
    }
  for (int g = 0; g < mGroups; ++g)
    for (int l = 0; l < kLanes; ++l) {
      NLMeansCommon::CEstimate& e = mEstimates[static_cast<std::size_t>(g) * kLanes + l];
      const float* const at = own + 24 * g;
      e.weightSum = at[l];
      e.weightedSum = at[kLanes + l];
      e.maxWeight = at[2 * kLanes + l];
    }
  // The row's room serves the row R + 1 below.
  std::fill(own, own + static_cast<std::size_t>(mGroups) * 3 * kLanes, 0.0f);
  return mEstimates.data();
}
#else
void CPairedWindows::CBand::handOn(int) {}
const NLMeansCommon::CEstimate* CPairedWindows::CBand::finish(int) { return nullptr; }
#endif

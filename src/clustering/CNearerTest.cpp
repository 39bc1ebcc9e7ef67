#include "CNearerTest.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

// Why the test is safe. With n components, x a patch, u = 2^-24 and d0, d1
// the real squared distances to c0 and c1:
//
// - The exact sums (a subtraction, a square and an addition per component,
//   all nonnegative terms) lie within g * d + a of d, with g = 2 (n + 3) u
//   (twice the textbook gamma(n + 2)) and a = n * 2^-140 for the absolute
//   error of results in the subnormal range.
// - d0 <= U0 = sum over k of max((c0[k] - low)^2, (high - c0[k])^2) when
//   every component lies in [low, high]; likewise d1 <= U1.
// - d1 - d0 = K + 2 S exactly, with K = sum (c1[k]^2 - c0[k]^2) and
//   S = sum x[k] (c0[k] - c1[k]). The estimate takes the float differences
//   c0[k] - c1[k], sums their products with x in any order, and adds K in
//   float; its error E is bounded below by the usual dot-product bound
//   (relative error gamma(n + 1) of sum |x[k] w[k]| <= X sum |w[k]|, X the
//   largest magnitude in [low, high]) plus the roundings of K and the final
//   addition. A fused multiply-add rounds once where a product and a sum
//   round twice, so the bound holds for fused steps too.
//
// So if the estimate exceeds T = E + g (U0 + U1) + 2a, the exact sums have
// d1 > d0; if it is below -T, they have d1 < d0. Only the order of d0 and d1
// is taken from the test, never a value, and every patch it cannot settle
// is left to the exact sums: the outcome is theirs in every case, whatever
// the order and instructions of the estimate.

namespace NPatchKernels {
namespace {

constexpr int kLanes = 8;
constexpr double kUnit = 0x1p-24;

inline std::uint8_t sideOf(float aEstimate, float aThreshold) {
  if (aEstimate > aThreshold) return kNearerFirst;
  if (aEstimate < -aThreshold) return kNearerSecond;
  return kUndecided;  // also when the estimate is not a number
}

// The sums over the components that prepare's bounds need, each in four
// parts (component k in part k mod 4): the bounds hold for any order of the
// additions, and four independent chains of double additions take a
// quarter of the time of one (prepare runs for every node that splits).
struct CCentreSums {
  static constexpr int kWays = 4;
  // Sums of c1^2 - c0^2, of c0^2 + c1^2, of |c0 - c1|, and of the squared
  // farthest reach of a component in [low, high] from c0 and from c1.
  double offset[kWays] = {}, squares[kWays] = {}, weight[kWays] = {}, far0[kWays] = {}, far1[kWays] = {};

  void add(int aPart, float aC0, float aC1, double aLow, double aHigh, float* aDifference) {
    // Products of two floats are exact in double.
    const double q0 = static_cast<double>(aC0) * aC0, q1 = static_cast<double>(aC1) * aC1;
    offset[aPart] += q1 - q0;
    squares[aPart] += q0 + q1;
    *aDifference = aC0 - aC1;
    weight[aPart] += std::fabs(static_cast<double>(*aDifference));
    const double reach0 = std::max(aC0 - aLow, aHigh - aC0), reach1 = std::max(aC1 - aLow, aHigh - aC1);
    far0[aPart] += reach0 * reach0;
    far1[aPart] += reach1 * reach1;
  }
  static double total(const double* aParts) { return (aParts[0] + aParts[1]) + (aParts[2] + aParts[3]); }
};

#ifdef TEXTURE_HAVE_X86
// CCentreSums::add four components at a time, part j in lane j; returns how
// many components it took (a multiple of four).
__attribute__((target("avx2"))) int centreSumsAvx2(const float* aCentre0, const float* aCentre1, int aCount,
                                                   double aLow, double aHigh, float* aDifference,
                                                   CCentreSums& aSums) {
  __m256d offset = _mm256_setzero_pd(), squares = _mm256_setzero_pd(), weight = _mm256_setzero_pd();
  __m256d far0 = _mm256_setzero_pd(), far1 = _mm256_setzero_pd();
  const __m256d low = _mm256_set1_pd(aLow), high = _mm256_set1_pd(aHigh);
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  int k = 0;
  for (; k + CCentreSums::kWays <= aCount; k += CCentreSums::kWays) {
    const __m128 c0 = _mm_loadu_ps(aCentre0 + k), c1 = _mm_loadu_ps(aCentre1 + k);
    const __m128 difference = _mm_sub_ps(c0, c1);
    _mm_storeu_ps(aDifference + k, difference);
    const __m256d d0 = _mm256_cvtps_pd(c0), d1 = _mm256_cvtps_pd(c1);
    const __m256d q0 = _mm256_mul_pd(d0, d0), q1 = _mm256_mul_pd(d1, d1);
    offset = _mm256_add_pd(offset, _mm256_sub_pd(q1, q0));
    squares = _mm256_add_pd(squares, _mm256_add_pd(q0, q1));
    weight = _mm256_add_pd(weight, _mm256_and_pd(_mm256_cvtps_pd(difference), magnitude));
    const __m256d reach0 = _mm256_max_pd(_mm256_sub_pd(d0, low), _mm256_sub_pd(high, d0));
    const __m256d reach1 = _mm256_max_pd(_mm256_sub_pd(d1, low), _mm256_sub_pd(high, d1));
    far0 = _mm256_add_pd(far0, _mm256_mul_pd(reach0, reach0));
    far1 = _mm256_add_pd(far1, _mm256_mul_pd(reach1, reach1));
  }
  _mm256_storeu_pd(aSums.offset, offset);
  _mm256_storeu_pd(aSums.squares, squares);
  _mm256_storeu_pd(aSums.weight, weight);
  _mm256_storeu_pd(aSums.far0, far0);
  _mm256_storeu_pd(aSums.far1, far1);
  return k;
}

// Eight patches at a time, each row read in runs of eight columns straight
// from the image (no transpose): one product sum per patch in its own
// register, folded into one register of eight sums at the end. Chunks is the
// number of runs per row when known at compile time (two for 9 x 9 patches),
// or 0 to take it from aChunkStarts.
template <int Chunks>
__attribute__((target("avx2,fma"))) void sidesAvx2(const CPatchLayout& aLayout, const int* aPixels, int aCount,
                                                   const std::vector<int>& aChunkStarts, const float* aRowWeights,
                                                   float aOffset, float aThreshold, std::uint8_t* aOut) {
  const int side = aLayout.side, xSize = aLayout.xSize, first = aLayout.offsets[0];
  const int chunks = Chunks > 0 ? Chunks : static_cast<int>(aChunkStarts.size());
  const int* const starts = aChunkStarts.data();
  const __m256 offset = _mm256_set1_ps(aOffset), two = _mm256_set1_ps(2.0f);
  const __m256 above = _mm256_set1_ps(aThreshold), below = _mm256_set1_ps(-aThreshold);
  for (int i = 0; i < aCount; i += kLanes) {
    const int lanes = std::min(kLanes, aCount - i);
    const float* row[kLanes];
    for (int l = 0; l < kLanes; ++l) row[l] = aLayout.image + aPixels[i + (l < lanes ? l : 0)] + first;
    __m256 sum[kLanes];
    for (int l = 0; l < kLanes; ++l) sum[l] = _mm256_setzero_ps();
    const float* weights = aRowWeights;
    // Nine columns (Chunks 2, the second run only adding column 8): column
    // 8 of the eight patches is gathered into the lanes of one more sum
    // instead, one product for all eight.
    constexpr bool kNine = Chunks == 2;
    __m256 lastColumn = _mm256_setzero_ps();
    for (int dy = 0; dy < side; ++dy) {
      if (kNine && side == 9) {
        const __m256 w = _mm256_loadu_ps(weights);
        for (int l = 0; l < kLanes; ++l) sum[l] = _mm256_fmadd_ps(_mm256_loadu_ps(row[l]), w, sum[l]);
        const __m256 ninth = _mm256_setr_ps(row[0][8], row[1][8], row[2][8], row[3][8], row[4][8], row[5][8],
                                            row[6][8], row[7][8]);
        lastColumn = _mm256_fmadd_ps(ninth, _mm256_set1_ps(weights[2 * kLanes - 1]), lastColumn);
        weights += 2 * kLanes;
      } else {
        for (int c = 0; c < chunks; ++c, weights += kLanes) {
          const __m256 w = _mm256_loadu_ps(weights);
          const int at = starts[c];
          for (int l = 0; l < kLanes; ++l)
            sum[l] = _mm256_fmadd_ps(_mm256_loadu_ps(row[l] + at), w, sum[l]);
        }
      }
      for (int l = 0; l < kLanes; ++l) row[l] += xSize;
    }
    const __m256 s01 = _mm256_hadd_ps(sum[0], sum[1]), s23 = _mm256_hadd_ps(sum[2], sum[3]);
    const __m256 s45 = _mm256_hadd_ps(sum[4], sum[5]), s67 = _mm256_hadd_ps(sum[6], sum[7]);
    const __m256 s0123 = _mm256_hadd_ps(s01, s23), s4567 = _mm256_hadd_ps(s45, s67);
    const __m256 dots = _mm256_add_ps(_mm256_add_ps(_mm256_permute2f128_ps(s0123, s4567, 0x20),
                                                    _mm256_permute2f128_ps(s0123, s4567, 0x31)),
                                      lastColumn);
    const __m256 estimate = _mm256_add_ps(offset, _mm256_mul_ps(two, dots));
    const int nearerFirst = _mm256_movemask_ps(_mm256_cmp_ps(estimate, above, _CMP_GT_OQ));
    const int nearerSecond = _mm256_movemask_ps(_mm256_cmp_ps(estimate, below, _CMP_LT_OQ));
    // Without a branch: the sides are as good as random.
    const int open = ~(nearerFirst | nearerSecond);
    for (int l = 0; l < lanes; ++l)
      aOut[i + l] = static_cast<std::uint8_t>((nearerFirst >> l & 1) | (open >> l & 1) << 1);
  }
}
#endif

}  // namespace

bool CNearerTest::prepare(const CPatchLayout& aLayout, const float* aCentre0, const float* aCentre1, float aLow,
                          float aHigh) {
  mThreshold = std::numeric_limits<float>::quiet_NaN();
  const int n = aLayout.length;
  if (!std::isfinite(aLow) || !std::isfinite(aHigh) || aLow > aHigh) return false;
  mDifference.resize(static_cast<std::size_t>(n));
  // A centre value that is not finite makes the sums (and so the threshold)
  // infinite or not a number, which the check below turns away.
  CCentreSums parts;
  int k = 0;
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2()) k = centreSumsAvx2(aCentre0, aCentre1, n, aLow, aHigh, mDifference.data(), parts);
#endif
  for (; k < n; ++k) parts.add(k % CCentreSums::kWays, aCentre0[k], aCentre1[k], aLow, aHigh, mDifference.data() + k);
  const double offset = CCentreSums::total(parts.offset), squares = CCentreSums::total(parts.squares);
  const double weightSum = CCentreSums::total(parts.weight);
  const double far0 = CCentreSums::total(parts.far0), far1 = CCentreSums::total(parts.far1);
  const double largest = std::max(std::fabs(static_cast<double>(aLow)), std::fabs(static_cast<double>(aHigh)));
  const double gamma = 2.0 * (n + 3) * kUnit;
  // Bound on sum |x[k] (c0[k] - c1[k])|, with room for the double sums' own roundings.
  const double products = largest * weightSum * (1.0 + 1e-6);
  // K in double (2n exact products, 2n roundings), then rounded to float.
  const double offsetError = 4.0 * (n + 1) * 0x1p-53 * squares + kUnit * std::fabs(offset);
  const double magnitude = std::fabs(offset) + 2.0 * products;
  const double estimateError = 2.0 * gamma * products + offsetError + 2.0 * kUnit * magnitude;
  const double subnormal = n * 0x1p-140;
  // Subnormal results: twice for the exact sums, once for the estimate.
  const double threshold = (estimateError + gamma * (far0 + far1) + 3.0 * subnormal) * 1.01;
  if (!std::isfinite(threshold) || magnitude > 1e30 || threshold > 1e30) return false;
  mOffset = static_cast<float>(offset);
  mThreshold = std::nextafter(static_cast<float>(threshold), std::numeric_limits<float>::infinity());

  // The row-wise kernel reads each patch row in runs of eight columns: at 0,
  // 8, ... and, when the side is not a multiple of eight, one more run ending
  // at the row's end. A column that an earlier run covered has weight 0 in
  // the later one, so every component counts once. The runs depend on the
  // side alone.
  const int side = aLayout.side;
  if (side != mSide) {
    mSide = side;
    mChunkStarts.clear();
    mRowSource.clear();
    if (side >= kLanes) {
      for (int start = 0; start + kLanes <= side; start += kLanes) mChunkStarts.push_back(start);
      if (side % kLanes != 0) mChunkStarts.push_back(side - kLanes);
      for (int dy = 0; dy < side; ++dy) {
        int covered = 0;
        for (const int start : mChunkStarts) {
          for (int column = start; column < start + kLanes; ++column)
            mRowSource.push_back(column >= covered ? dy * side + column : -1);
          covered = start + kLanes;
        }
      }
    }
  }
  mRowWeights.resize(mRowSource.size());
  for (std::size_t j = 0; j < mRowSource.size(); ++j)
    mRowWeights[j] = mRowSource[j] >= 0 ? mDifference[static_cast<std::size_t>(mRowSource[j])] : 0.0f;
  return true;
}

void CNearerTest::sides(const CPatchLayout& aLayout, const int* aPixels, int aCount, std::uint8_t* aOut) const {
#ifdef TEXTURE_HAVE_X86
  if (usesAvx2() && !mChunkStarts.empty()) {
    if (mChunkStarts.size() == 2)
      return sidesAvx2<2>(aLayout, aPixels, aCount, mChunkStarts, mRowWeights.data(), mOffset, mThreshold, aOut);
    return sidesAvx2<0>(aLayout, aPixels, aCount, mChunkStarts, mRowWeights.data(), mOffset, mThreshold, aOut);
  }
#endif
  const int n = aLayout.length;
  for (int i = 0; i < aCount; ++i) {
    const float* base = aLayout.image + aPixels[i];
    float dot = 0.0f;
    for (int k = 0; k < n; ++k) dot += base[aLayout.offsets[k]] * mDifference[static_cast<std::size_t>(k)];
    aOut[i] = sideOf(mOffset + 2.0f * dot, mThreshold);
  }
}

}  // namespace NPatchKernels

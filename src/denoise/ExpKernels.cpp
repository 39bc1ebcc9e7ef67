#include "ExpKernels.h"

#include "PatchKernels.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

namespace NExpKernels {
namespace {

std::atomic<bool> gScalar{false};

#ifdef TEXTURE_HAVE_X86
// The steps of the library's expf for |x| below about 80: with N = 32,
// k = round(x * N / ln 2), r = x * N / ln 2 - k (fused, so exact but for the
// one rounding), 2^(k / N) from a table of 2^(i / N) (i = k mod N, bits with
// i / N taken out of the exponent field) with k / N added into the exponent,
// and a cubic in r for 2^(r / N); all in double, rounded to float at the end.
// The fused steps are the ones the library's FMA build fuses.
alignas(32) constexpr std::uint64_t kTable[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
constexpr std::uint64_t kInvLn2N = 0x40471547652b82fe;  // N / ln 2
constexpr std::uint64_t kShift = 0x4338000000000000;    // 1.5 * 2^52: rounds to an integer
constexpr std::uint64_t kC0 = 0x3ebc6af84b912394;
constexpr std::uint64_t kC1 = 0x3f2ebfce50fac4f3;
constexpr std::uint64_t kC2 = 0x3f962e42ff0c52d6;
// Arguments whose bits >> 20, sign masked, reach this take the library's
// slower path (overflow, underflow, infinities, NaN).
constexpr int kSlowTop = 0x42a;

double fromBits(std::uint64_t aBits) {
  double value;
  std::memcpy(&value, &aBits, sizeof value);
  return value;
}

__attribute__((target("avx2,fma"))) __m128 exp4(__m128 aX) {
  const __m256d invLn2N = _mm256_set1_pd(fromBits(kInvLn2N));
  const __m256d shift = _mm256_set1_pd(fromBits(kShift));
  const __m256d x = _mm256_cvtps_pd(aX);
  const __m256d z = _mm256_fmadd_pd(invLn2N, x, shift);
  const __m256i k = _mm256_castpd_si256(z);
  const __m256d r = _mm256_fmsub_pd(invLn2N, x, _mm256_sub_pd(z, shift));
  const __m256i index = _mm256_and_si256(k, _mm256_set1_epi64x(31));
  // Four plain loads beat a gather here.
  alignas(32) std::uint64_t at[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
  __m256i bits = _mm256_setr_epi64x(static_cast<long long>(kTable[at[0]]), static_cast<long long>(kTable[at[1]]),
                                    static_cast<long long>(kTable[at[2]]), static_cast<long long>(kTable[at[3]]));
  bits = _mm256_add_epi64(bits, _mm256_slli_epi64(k, 47));
  const __m256d scale = _mm256_castsi256_pd(bits);
  const __m256d cubic = _mm256_fmadd_pd(_mm256_set1_pd(fromBits(kC0)), r, _mm256_set1_pd(fromBits(kC1)));
  const __m256d r2 = _mm256_mul_pd(r, r);
  __m256d y = _mm256_fmadd_pd(r, _mm256_set1_pd(fromBits(kC2)), _mm256_set1_pd(1.0));
  y = _mm256_fmadd_pd(cubic, r2, y);
  return _mm256_cvtpd_ps(_mm256_mul_pd(y, scale));
}

// Eight at a time: the arguments aIn, or with Weigh aKernel * (aIn /
// aWeightSum), lanes past the count masked off (their argument is 0). A group
// with any argument outside the fast range goes through expf whole.
template <bool Weigh>
__attribute__((target("avx2,fma"))) void expGroups(const float* aIn, float aWeightSum, float aKernel, float* aOut,
                                                   int aCount) {
  const __m256i slowTop = _mm256_set1_epi32(kSlowTop - 1);
  const __m256i topMask = _mm256_set1_epi32(0x7ff);
  const __m256 weightSum = _mm256_set1_ps(aWeightSum), kernel = _mm256_set1_ps(aKernel);
  for (int i = 0; i < aCount; i += 8) {
    const int lanes = aCount - i < 8 ? aCount - i : 8;
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(lanes), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256 x = lanes == 8 ? _mm256_loadu_ps(aIn + i) : _mm256_maskload_ps(aIn + i, mask);
    if (Weigh) x = _mm256_and_ps(_mm256_mul_ps(kernel, _mm256_div_ps(x, weightSum)), _mm256_castsi256_ps(mask));
    const __m256i top = _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(x), 20), topMask);
    __m256 y;
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(top, slowTop)) != 0) {
      alignas(32) float values[8];
      _mm256_store_ps(values, x);
      for (float& value : values) value = std::exp(value);
      y = _mm256_load_ps(values);
    } else {
      y = _mm256_set_m128(exp4(_mm256_extractf128_ps(x, 1)), exp4(_mm256_castps256_ps128(x)));
    }
    if (lanes == 8)
      _mm256_storeu_ps(aOut + i, y);
    else
      _mm256_maskstore_ps(aOut + i, mask, y);
  }
}

void expAllAvx2(const float* aIn, float* aOut, int aCount) { expGroups<false>(aIn, 1.0f, 1.0f, aOut, aCount); }

// Compares the vector path with expf on the bit patterns aStart + i * aStride
// (mod 2^32), 0 <= i < aCount, those of the fast range only.
long long countDifferences(std::uint64_t aStart, std::uint64_t aStride, long long aCount) {
  long long differences = 0;
  float in[8], out[8];
  int filled = 0;
  const auto flush = [&] {
    expAllAvx2(in, out, filled);
    for (int l = 0; l < filled; ++l) {
      const float expected = std::exp(in[l]);
      if (std::memcmp(&expected, &out[l], sizeof expected) != 0) ++differences;
    }
    filled = 0;
  };
  std::uint64_t bits = aStart;
  for (long long i = 0; i < aCount; ++i, bits += aStride) {
    const std::uint32_t pattern = static_cast<std::uint32_t>(bits);
    if (((pattern >> 20) & 0x7ff) >= static_cast<std::uint32_t>(kSlowTop)) continue;
    std::memcpy(&in[filled++], &pattern, sizeof pattern);
    if (filled == 8) flush();
  }
  flush();
  return differences;
}

// Another C library may compute expf otherwise; then every value goes
// through its expf. Bit patterns an odd prime apart reach every part of the
// range: some 2^15 arguments, well under a millisecond.
bool vectorPathAgrees() {
  static const bool agrees = NPatchKernels::cpuHasAvx2Fma() && countDifferences(0x9e3779b9u, 65521, 1 << 16) == 0;
  return agrees;
}
#endif

}  // namespace

bool usesVector() {
#ifdef TEXTURE_HAVE_X86
  return !gScalar.load(std::memory_order_relaxed) && vectorPathAgrees();
#else
  return false;
#endif
}

void forceScalar(bool aScalar) { gScalar.store(aScalar, std::memory_order_relaxed); }

void weighAll(const float* aSums, float aWeightSum, float aKernel, float* aOut, int aCount) {
#ifdef TEXTURE_HAVE_X86
  if (usesVector()) return expGroups<true>(aSums, aWeightSum, aKernel, aOut, aCount);
#endif
  for (int i = 0; i < aCount; ++i) aOut[i] = std::exp(aKernel * (aSums[i] / aWeightSum));
}

void expAll(const float* aIn, float* aOut, int aCount) {
#ifdef TEXTURE_HAVE_X86
  if (usesVector()) return expAllAvx2(aIn, aOut, aCount);
#endif
  for (int i = 0; i < aCount; ++i) aOut[i] = std::exp(aIn[i]);
}

long long compareWithLibrary(std::uint64_t aStart, std::uint64_t aStride, long long aCount) {
#ifdef TEXTURE_HAVE_X86
  if (NPatchKernels::cpuHasAvx2Fma()) return countDifferences(aStart, aStride, aCount);
#endif
  (void)aStart, (void)aStride, (void)aCount;
  return 0;
}

}  // namespace NExpKernels

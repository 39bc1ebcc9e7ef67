#include "GaussianDraws.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEXTURE_HAVE_X86 1
#endif

namespace NGaussianDraws {
namespace {

constexpr float kScale = 4.656613e-10f;  // 2^-31
constexpr double kTurn = 6.2831853072;

// How far the polynomial product may lie from the library's, relative and
// absolute. For these arguments (f >= 2^-31, so |log f| < 22; |r| <= pi/4;
// the root below 7) the series are cut off below 10^-17 of their values,
// their rounding leaves the product within 3 10^-15 |v| + 4 10^-15 of the
// true value, and the library (accurate to an ulp or so) within a few
// 10^-16 |v|: the bound leaves a margin of twenty-five and more. It settles
// all but about one value in twenty thousand (those whose cosine is near 0,
// or whose product lies next to a float's rounding boundary).
constexpr double kRelativeBound = 1e-12;
constexpr double kAbsoluteBound = 1e-13;

// The series' coefficients, highest power first: (-1)^j / (2j)! for cos,
// (-1)^j / (2j + 1)! for sin (j = 8 .. 0), and 2 / (2j + 1) for 2 atanh
// (j = 8 .. 0). Each within a few ulps, which is enough here.
constexpr int kTerms = 9;
struct CCoefficients {
  double cos[kTerms];
  double sin[kTerms];
  double atanh[kTerms];
};
constexpr CCoefficients coefficients() {
  CCoefficients out{};
  double inverseFactorial[24] = {};
  inverseFactorial[0] = 1.0;
  for (int n = 1; n < 24; ++n) inverseFactorial[n] = inverseFactorial[n - 1] / n;
  for (int j = 0; j < kTerms; ++j) {
    out.cos[kTerms - 1 - j] = (j % 2 == 0 ? 1.0 : -1.0) * inverseFactorial[2 * j];
    out.sin[kTerms - 1 - j] = (j % 2 == 0 ? 1.0 : -1.0) * inverseFactorial[2 * j + 1];
    out.atanh[kTerms - 1 - j] = 2.0 / (2 * j + 1);
  }
  return out;
}
constexpr CCoefficients kSeries = coefficients();

constexpr double kTwoOverPi = 6.36619772367581382433e-01;
constexpr double kHalfPi1 = 1.57079632673412561417e+00;      // first 33 bits of pi/2
constexpr double kHalfPi1Tail = 6.07710050650619224932e-11;  // pi/2 - kHalfPi1

// cos(a) for 0 <= a <= 6.3: a less a multiple k of pi/2 (pi/2 in two parts,
// the first with trailing zeros, so that k times it and the subtraction are
// exact), then the Taylor series of cos or sin on |r| <= pi/4 (terms to the
// 16th and 17th power: the rest is below 10^-17).
double cosine(double aAngle) {
  const int k = static_cast<int>(aAngle * kTwoOverPi + 0.5);
  const double r = (aAngle - k * kHalfPi1) - k * kHalfPi1Tail;
  const double z = r * r;
  if ((k & 1) == 0) {
    double c = kSeries.cos[0];
    for (int j = 1; j < kTerms; ++j) c = c * z + kSeries.cos[j];
    return (k & 2) == 0 ? c : -c;
  }
  double s = kSeries.sin[0];
  for (int j = 1; j < kTerms; ++j) s = s * z + kSeries.sin[j];
  s *= r;
  // cos(k pi/2 + r) is -sin(r) for k = 1 and sin(r) for k = 3.
  return (k & 2) == 0 ? -s : s;
}

// log(f) for a normal positive float f: f = m 2^e with m in [sqrt(1/2),
// sqrt(2)), log m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| < 0.172
// (terms to the 17th power of s: the rest is below 3 10^-16), ln 2 in two
// parts.
constexpr double kLn2High = 6.93147180369123816490e-01;  // 32 significant bits
constexpr double kLn2Low = 1.90821492927058770002e-10;
constexpr double kSqrt2 = 1.41421356237309504880;

double logarithm(float aValue) {
  std::uint32_t bits;
  std::memcpy(&bits, &aValue, sizeof bits);
  int e = static_cast<int>((bits >> 23) & 0xFF) - 127;
  bits = (bits & 0x007FFFFFu) | 0x3F800000u;  // m in [1, 2), exactly
  float mantissa;
  std::memcpy(&mantissa, &bits, sizeof mantissa);
  double m = mantissa;
  if (m > kSqrt2) {
    m *= 0.5;
    ++e;
  }
  const double s = (m - 1.0) / (m + 1.0);
  const double z = s * s;
  double t = kSeries.atanh[0];
  for (int j = 1; j < kTerms; ++j) t = t * z + kSeries.atanh[j];
  return e * kLn2High + (s * t + e * kLn2Low);
}

float sameBitsOrNot(float aA, float aB, bool& aSame) {
  std::uint32_t a, b;
  std::memcpy(&a, &aA, sizeof a);
  std::memcpy(&b, &aB, sizeof b);
  aSame = a == b;
  return aA;
}

}  // namespace

float libraryGaussianDraw(int aT, int aU) {
  const float f = static_cast<float>(aT) * kScale;
  if (!(f > 0.0f)) return 0.0f;
  const double angle = static_cast<double>(static_cast<float>(aU) * kScale) * kTurn;
  return static_cast<float>(std::sqrt(std::log(static_cast<double>(f)) * -2.0) * std::cos(angle));
}

bool settledGaussianDraw(int aT, int aU, float& aG) {
  const float f = static_cast<float>(aT) * kScale;
  if (!(f > 0.0f)) {
    aG = 0.0f;
    return true;
  }
  const double angle = static_cast<double>(static_cast<float>(aU) * kScale) * kTurn;
  const double product = std::sqrt(logarithm(f) * -2.0) * cosine(angle);
  // Every value within the bound rounds to one float (the same bits: not
  // +0 against -0), so the library's product does too.
  const double bound = std::fabs(product) * kRelativeBound + kAbsoluteBound;
  bool same = false;
  aG = sameBitsOrNot(static_cast<float>(product - bound), static_cast<float>(product + bound), same);
  return same;
}

#ifdef TEXTURE_HAVE_X86
namespace {

// settledGaussianDraw in four lanes of doubles, the same operations in the
// same order; the lanes it leaves open go to the library.
__attribute__((target("avx2"))) void gaussianDrawsAvx2(const int* aValues, int aCount, float* aOut) {
  const __m128 scale = _mm_set1_ps(kScale);
  const __m256d turn = _mm256_set1_pd(kTurn), twoOverPi = _mm256_set1_pd(kTwoOverPi), half = _mm256_set1_pd(0.5);
  const __m256d halfPi1 = _mm256_set1_pd(kHalfPi1), halfPi1Tail = _mm256_set1_pd(kHalfPi1Tail);
  const __m256d one = _mm256_set1_pd(1.0), minusTwo = _mm256_set1_pd(-2.0), sqrt2 = _mm256_set1_pd(kSqrt2);
  const __m256d ln2High = _mm256_set1_pd(kLn2High), ln2Low = _mm256_set1_pd(kLn2Low);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d relative = _mm256_set1_pd(kRelativeBound), absolute = _mm256_set1_pd(kAbsoluteBound);
  int i = 0;
  for (; i + 4 <= aCount; i += 4) {
    // t and u of four draws: even and odd values.
    const __m256i tu = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(aValues + 2 * i));
    const __m256i paired = _mm256_permutevar8x32_epi32(tu, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    const __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(_mm256_castsi256_si128(paired)), scale);
    const __m128 u = _mm_mul_ps(_mm_cvtepi32_ps(_mm256_extracti128_si256(paired, 1)), scale);
    // log f from f's exponent and mantissa.
    const __m128i fBits = _mm_castps_si128(f);
    __m256d e = _mm256_cvtepi32_pd(_mm_sub_epi32(_mm_and_si128(_mm_srli_epi32(fBits, 23), _mm_set1_epi32(0xFF)),
                                                  _mm_set1_epi32(127)));
    __m256d m = _mm256_cvtps_pd(_mm_castsi128_ps(
        _mm_or_si128(_mm_and_si128(fBits, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000))));
    const __m256d high = _mm256_cmp_pd(m, sqrt2, _CMP_GT_OQ);
    m = _mm256_blendv_pd(m, _mm256_mul_pd(m, half), high);
    e = _mm256_blendv_pd(e, _mm256_add_pd(e, one), high);
    const __m256d s = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
    const __m256d zs = _mm256_mul_pd(s, s);
    __m256d t = _mm256_set1_pd(kSeries.atanh[0]);
    for (int j = 1; j < kTerms; ++j) t = _mm256_add_pd(_mm256_mul_pd(t, zs), _mm256_set1_pd(kSeries.atanh[j]));
    const __m256d log = _mm256_add_pd(_mm256_mul_pd(e, ln2High), _mm256_add_pd(_mm256_mul_pd(s, t), _mm256_mul_pd(e, ln2Low)));
    const __m256d root = _mm256_sqrt_pd(_mm256_mul_pd(log, minusTwo));
    // cos of the angle, as cosine() takes it.
    const __m256d angle = _mm256_mul_pd(_mm256_cvtps_pd(u), turn);
    const __m128i k = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(angle, twoOverPi), half));
    const __m256d kd = _mm256_cvtepi32_pd(k);
    const __m256d r = _mm256_sub_pd(_mm256_sub_pd(angle, _mm256_mul_pd(kd, halfPi1)), _mm256_mul_pd(kd, halfPi1Tail));
    const __m256d z = _mm256_mul_pd(r, r);
    __m256d c = _mm256_set1_pd(kSeries.cos[0]), sn = _mm256_set1_pd(kSeries.sin[0]);
    for (int j = 1; j < kTerms; ++j) {
      c = _mm256_add_pd(_mm256_mul_pd(c, z), _mm256_set1_pd(kSeries.cos[j]));
      sn = _mm256_add_pd(_mm256_mul_pd(sn, z), _mm256_set1_pd(kSeries.sin[j]));
    }
    sn = _mm256_mul_pd(sn, r);
    // Odd k: -sin r for k = 1, sin r for k = 3; even k: cos r, negated for k = 2.
    const __m256i k64 = _mm256_cvtepi32_epi64(k);
    const __m256d odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(k64, _mm256_set1_epi64x(1)),
                                                               _mm256_set1_epi64x(1)));
    const __m256d flip = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(k64, _mm256_set1_epi64x(2)),
                                                                _mm256_setzero_si256()));
    __m256d cosine = _mm256_blendv_pd(c, sn, odd);
    // Negated where (k & 2) == 0 for odd k, where it is 2 for even k.
    const __m256d negate = _mm256_xor_pd(odd, _mm256_xor_pd(flip, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))));
    cosine = _mm256_xor_pd(cosine, _mm256_and_pd(negate, sign));
    const __m256d product = _mm256_mul_pd(root, cosine);
    const __m256d bound = _mm256_add_pd(_mm256_mul_pd(_mm256_andnot_pd(sign, product), relative), absolute);
    const __m128 low = _mm256_cvtpd_ps(_mm256_sub_pd(product, bound));
    const __m128 highF = _mm256_cvtpd_ps(_mm256_add_pd(product, bound));
    const int settled = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(low), _mm_castps_si128(highF))));
    const int zero = _mm_movemask_ps(_mm_cmpgt_ps(f, _mm_setzero_ps())) ^ 0xF;
    _mm_storeu_ps(aOut + i, low);
    for (int l = 0; l < 4; ++l) {
      if ((zero >> l) & 1)
        aOut[i + l] = 0.0f;
      else if (!((settled >> l) & 1))
        aOut[i + l] = libraryGaussianDraw(aValues[2 * (i + l)], aValues[2 * (i + l) + 1]);
    }
  }
  for (; i < aCount; ++i) aOut[i] = gaussianDraw(aValues[2 * i], aValues[2 * i + 1]);
}

// The rough path: the transform in floats, eight draws at a time. Its error
// against the double product, at most about 10^-5: the angle taken in
// floats (7.5 10^-7) and its reduction by pi/2 in two parts leave the cosine
// within 1.1 10^-6; the logarithm's mantissa series (2 atanh s, to s^9, cut
// off below 3 10^-9 of its value) and ln 2 in two parts leave the logarithm
// within 5 10^-7 of its value, the root within 3.1 10^-7; the root is below
// 6.6 (f >= 2^-31). kRoughBound leaves a margin of four.
constexpr float kLn2HighF = 0.693145751953125f;    // few bits: e times it is exact
constexpr float kLn2LowF = 1.42860682031e-06f;     // ln 2 - kLn2HighF
constexpr float kHalfPiHighF = 1.5703125f;         // few bits: k times it is exact
constexpr float kHalfPiLowF = 4.83826794897e-04f;  // pi/2 - kHalfPiHighF

// The rough products of the four pairs (t, u) of aValues[0 .. 15] in eight
// lanes, and where f is 0 (the draw is 0 whatever the rest).
__attribute__((target("avx2"))) inline __m256 roughDraws8(const int* aValues, __m256& aZero) {
  const __m256 v0 = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(aValues)));
  const __m256 v1 = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(aValues + 8)));
  // Even values (t) and odd ones (u), each in pair order.
  const __m256i t = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0))),
                                             _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i u = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1))),
                                             _MM_SHUFFLE(3, 1, 2, 0));
  const __m256 scale = _mm256_set1_ps(kScale), one = _mm256_set1_ps(1.0f);
  const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(t), scale);
  aZero = _mm256_cmp_ps(f, _mm256_setzero_ps(), _CMP_EQ_OQ);
  // log f = e ln 2 + log m, m in [sqrt(1/2), sqrt(2)).
  const __m256i fBits = _mm256_castps_si256(f);
  __m256 e = _mm256_cvtepi32_ps(
      _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(fBits, 23), _mm256_set1_epi32(0xFF)), _mm256_set1_epi32(127)));
  __m256 m = _mm256_castsi256_ps(
      _mm256_or_si256(_mm256_and_si256(fBits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F800000)));
  const __m256 high = _mm256_cmp_ps(m, _mm256_set1_ps(static_cast<float>(kSqrt2)), _CMP_GT_OQ);
  m = _mm256_blendv_ps(m, _mm256_mul_ps(m, _mm256_set1_ps(0.5f)), high);
  e = _mm256_blendv_ps(e, _mm256_add_ps(e, one), high);
  const __m256 sv = _mm256_div_ps(_mm256_sub_ps(m, one), _mm256_add_ps(m, one));
  const __m256 zs = _mm256_mul_ps(sv, sv);
  __m256 p = _mm256_set1_ps(2.0f / 9.0f);
  p = _mm256_add_ps(_mm256_mul_ps(p, zs), _mm256_set1_ps(2.0f / 7.0f));
  p = _mm256_add_ps(_mm256_mul_ps(p, zs), _mm256_set1_ps(2.0f / 5.0f));
  p = _mm256_add_ps(_mm256_mul_ps(p, zs), _mm256_set1_ps(2.0f / 3.0f));
  p = _mm256_add_ps(_mm256_mul_ps(p, zs), _mm256_set1_ps(2.0f));
  const __m256 log = _mm256_add_ps(_mm256_mul_ps(e, _mm256_set1_ps(kLn2HighF)),
                                   _mm256_add_ps(_mm256_mul_ps(sv, p), _mm256_mul_ps(e, _mm256_set1_ps(kLn2LowF))));
  const __m256 root = _mm256_sqrt_ps(_mm256_max_ps(_mm256_mul_ps(log, _mm256_set1_ps(-2.0f)), _mm256_setzero_ps()));
  // cos of the angle: less the nearest multiple k of pi/2, then cos or sin.
  const __m256 angle = _mm256_mul_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(u), scale), _mm256_set1_ps(static_cast<float>(kTurn)));
  const __m256i k = _mm256_cvtps_epi32(_mm256_mul_ps(angle, _mm256_set1_ps(static_cast<float>(kTwoOverPi))));
  const __m256 kf = _mm256_cvtepi32_ps(k);
  const __m256 r = _mm256_sub_ps(_mm256_sub_ps(angle, _mm256_mul_ps(kf, _mm256_set1_ps(kHalfPiHighF))),
                                 _mm256_mul_ps(kf, _mm256_set1_ps(kHalfPiLowF)));
  const __m256 z = _mm256_mul_ps(r, r);
  __m256 c = _mm256_set1_ps(1.0f / 40320.0f), sn = _mm256_set1_ps(1.0f / 362880.0f);
  c = _mm256_add_ps(_mm256_mul_ps(c, z), _mm256_set1_ps(-1.0f / 720.0f));
  sn = _mm256_add_ps(_mm256_mul_ps(sn, z), _mm256_set1_ps(-1.0f / 5040.0f));
  c = _mm256_add_ps(_mm256_mul_ps(c, z), _mm256_set1_ps(1.0f / 24.0f));
  sn = _mm256_add_ps(_mm256_mul_ps(sn, z), _mm256_set1_ps(1.0f / 120.0f));
  c = _mm256_add_ps(_mm256_mul_ps(c, z), _mm256_set1_ps(-0.5f));
  sn = _mm256_add_ps(_mm256_mul_ps(sn, z), _mm256_set1_ps(-1.0f / 6.0f));
  c = _mm256_add_ps(_mm256_mul_ps(c, z), one);
  sn = _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(sn, z), r), r);
  // cos(k pi/2 + r): cos r, -sin r, -cos r, sin r for k = 0, 1, 2, 3 (mod 4).
  const __m256 odd = _mm256_castsi256_ps(_mm256_slli_epi32(k, 31));
  const __m256 negate = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k, _mm256_set1_epi32(1)), 30));
  const __m256 cosine = _mm256_xor_ps(_mm256_blendv_ps(c, sn, odd), _mm256_and_ps(negate, _mm256_set1_ps(-0.0f)));
  return _mm256_mul_ps(root, cosine);
}

__attribute__((target("avx2"))) void roughDrawsAvx2(const int* aValues, int aCount, float* aOut) {
  int i = 0;
  for (; i + 8 <= aCount; i += 8) {
    __m256 zero;
    _mm256_storeu_ps(aOut + i, _mm256_andnot_ps(zero, roughDraws8(aValues + 2 * i, zero)));
  }
  for (; i < aCount; ++i) aOut[i] = gaussianDraw(aValues[2 * i], aValues[2 * i + 1]);
}

// gaussianOffsets for radii up to 2^20 (aScale = aRadius * 0.5 is then a
// float, and every product far inside the int range).
__attribute__((target("avx2"))) void gaussianOffsetsAvx2(const int* aValues, int aCount, int aRadius, int* aOut) {
  const float scale = static_cast<float>(aRadius) * 0.5f;
  // Bound on |rough offset - double offset| before truncation: the products'
  // bound scaled, the double product's rounding to a float (2^-24 of it),
  // and the rounding of the float steps below, all well within 2^-20 of the
  // offset.
  const __m256 absolute = _mm256_set1_ps(scale * kRoughBound * 1.01f);
  const __m256 relative = _mm256_set1_ps(1.0f / (1 << 20));
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256i most = _mm256_set1_epi32(aRadius), least = _mm256_set1_epi32(-aRadius - 1);
  int i = 0;
  for (; i + 8 <= aCount; i += 8) {
    __m256 zero;
    const __m256 product = _mm256_mul_ps(roughDraws8(aValues + 2 * i, zero), _mm256_set1_ps(scale));
    const __m256 bound = _mm256_add_ps(absolute, _mm256_mul_ps(_mm256_andnot_ps(sign, product), relative));
    const __m256i low = _mm256_cvttps_epi32(_mm256_sub_ps(product, bound));
    const __m256i high = _mm256_cvttps_epi32(_mm256_add_ps(product, bound));
    // f = 0 gives the draw 0, so the offset 0.
    const __m256i offset = _mm256_andnot_si256(_mm256_castps_si256(zero), low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(aOut + i), _mm256_max_epi32(_mm256_min_epi32(offset, most), least));
    const int open = _mm256_movemask_ps(_mm256_andnot_ps(zero, _mm256_castsi256_ps(_mm256_xor_si256(
                                                                      _mm256_cmpeq_epi32(low, high), _mm256_set1_epi32(-1)))));
    for (int l = 0; l < 8; ++l)
      if ((open >> l) & 1) aOut[i + l] = gaussianOffset(aValues[2 * (i + l)], aValues[2 * (i + l) + 1], aRadius);
  }
  for (; i < aCount; ++i) aOut[i] = gaussianOffset(aValues[2 * i], aValues[2 * i + 1], aRadius);
}

}  // namespace
#endif

const float kRoughBound = 4e-5f;

bool roughGaussianDraws(const int* aValues, int aCount, float* aOut) {
#ifdef TEXTURE_HAVE_X86
  if (__builtin_cpu_supports("avx2")) {
    roughDrawsAvx2(aValues, aCount, aOut);
    return true;
  }
#endif
  (void)aValues;
  (void)aCount;
  (void)aOut;
  return false;
}

int gaussianOffset(int aT, int aU, int aRadius) {
  const long long offset =
      static_cast<long long>(static_cast<double>(gaussianDraw(aT, aU)) * (static_cast<double>(aRadius) * 0.5));
  return static_cast<int>(std::clamp(offset, -static_cast<long long>(aRadius) - 1, static_cast<long long>(aRadius)));
}

void gaussianOffsets(const int* aValues, int aCount, int aRadius, int* aOut) {
#ifdef TEXTURE_HAVE_X86
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && aRadius <= (1 << 20)) return gaussianOffsetsAvx2(aValues, aCount, aRadius, aOut);
#endif
  for (int i = 0; i < aCount; ++i) aOut[i] = gaussianOffset(aValues[2 * i], aValues[2 * i + 1], aRadius);
}

void gaussianDraws(const int* aValues, int aCount, float* aOut) {
#ifdef TEXTURE_HAVE_X86
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return gaussianDrawsAvx2(aValues, aCount, aOut);
#endif
  for (int i = 0; i < aCount; ++i) aOut[i] = gaussianDraw(aValues[2 * i], aValues[2 * i + 1]);
}

float gaussianDraw(int aT, int aU) {
  float g;
  if (settledGaussianDraw(aT, aU, g)) return g;
  return libraryGaussianDraw(aT, aU);
}

}  // namespace NGaussianDraws

// An 8 x 8 transpose of floats in AVX2 registers, for kernels that turn
// rows of eight records into one register per component. Only moves values,
// so it cannot change a result.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace NSimd {

// Transposes eight rows of eight floats: afterwards aRows[c] holds, in lane
// l, what aRows[l] held in lane c.
__attribute__((target("avx2"))) inline void transpose8(__m256 aRows[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(aRows[0], aRows[1]), t1 = _mm256_unpackhi_ps(aRows[0], aRows[1]);
  const __m256 t2 = _mm256_unpacklo_ps(aRows[2], aRows[3]), t3 = _mm256_unpackhi_ps(aRows[2], aRows[3]);
  const __m256 t4 = _mm256_unpacklo_ps(aRows[4], aRows[5]), t5 = _mm256_unpackhi_ps(aRows[4], aRows[5]);
  const __m256 t6 = _mm256_unpacklo_ps(aRows[6], aRows[7]), t7 = _mm256_unpackhi_ps(aRows[6], aRows[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  aRows[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  aRows[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  aRows[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  aRows[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  aRows[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  aRows[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  aRows[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  aRows[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

}  // namespace NSimd

#endif

// The exponential of the weights, many at a time. Every result is the C
// library's expf of the same argument, to the bit: where the processor has
// AVX2 and FMA, and a check at first use finds that the library's expf is the
// table-driven one whose steps the vector path repeats, four lanes in double
// precision do exactly those steps; otherwise each value goes through expf.
#pragma once

#include <cstdint>

namespace NExpKernels {

// aOut[i] = expf(aIn[i]) for 0 <= i < aCount. aIn and aOut may be the same
// array but must not otherwise overlap. Any float is allowed (NaN, infinities,
// values that overflow or underflow); such groups take the scalar path.
void expAll(const float* aIn, float* aOut, int aCount);

// aOut[i] = expf(aKernel * (aSums[i] / aWeightSum)) for 0 <= i < aCount, the
// quotient and product in float; aSums and aOut as for expAll.
void weighAll(const float* aSums, float aWeightSum, float aKernel, float* aOut, int aCount);

// True when expAll uses the vector path: the processor has AVX2 and FMA, the
// first-use check passed, and forceScalar(true) is not in effect.
bool usesVector();
// Sends every value through expf (tests, and comparisons of speed).
void forceScalar(bool aScalar);

// Compares the vector path with expf on the floats whose bit patterns are
// aStart + i * aStride (mod 2^32) for 0 <= i < aCount, of those the vector
// path takes. Returns the number that differ; 0 when the processor lacks the
// vector path (whatever the first-use check found).
long long compareWithLibrary(std::uint64_t aStart, std::uint64_t aStride, long long aCount);

}  // namespace NExpKernels

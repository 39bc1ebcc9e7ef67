// The Box-Muller transform of random sampling: one standard normal float from
// two rand() values, with the C library's log and cos in double precision.
#pragma once

namespace NGaussianDraws {

// The float (sqrt(log(f) * -2) * cos(a)) of the library's functions, f the
// float aT * 2^-31 and a the float aU * 2^-31 widened and times
// 6.2831853072; 0 when f is 0. aT and aU are rand() values (0 .. 2^31 - 1).
//
// The library's log and cos cost most of the transform, yet they matter
// only through the float that the product rounds to. So the product is first
// worked out with polynomials, well within 10^-12 of the library's value
// whatever it is (the library is accurate to an ulp or so); where every value
// that close rounds to the same float, that float is the library's too, and
// the library is called only for the others (about one value in twenty
// thousand).
float gaussianDraw(int aT, int aU);

// aOut[i] = gaussianDraw(aValues[2i], aValues[2i + 1]) for i < aCount,
// four at a time where the processor has AVX2 (the same floats).
void gaussianDraws(const int* aValues, int aCount, float* aOut);

// The offset that random sampling takes from a draw for search radius aRadius
// (1 or more): gaussianDraw(aT, aU) widened, times aRadius * 0.5 (in double)
// and truncated toward zero, held to [-aRadius - 1, aRadius]. (Sampling keeps
// offsets in [-aRadius, aRadius - 1] only, so every offset that the holding
// changes stays outside that range.)
int gaussianOffset(int aT, int aU, int aRadius);

// aOut[i] = gaussianOffset(aValues[2i], aValues[2i + 1], aRadius) for
// i < aCount. Where the processor has AVX2, eight at a time: the product is
// worked out in floats, to within a bound of the double one, and where
// every value within that bound truncates to the same integer, that is the
// offset; the others (a few in ten thousand for a radius of 10) go through
// gaussianDraw. The same offsets either way.
void gaussianOffsets(const int* aValues, int aCount, int aRadius, int* aOut);

// The float products of the vector path before they are scaled, for tests of
// their bound: false where the processor lacks AVX2.
bool roughGaussianDraws(const int* aValues, int aCount, float* aOut);
// The bound on |rough product - gaussianDraw| that gaussianOffsets relies on.
extern const float kRoughBound;

// gaussianDraw through the library's functions alone (the definition, for
// tests and comparisons).
float libraryGaussianDraw(int aT, int aU);

// The polynomial path alone: true, with its float in aG, where it settles the
// float; false where gaussianDraw calls the library (tests).
bool settledGaussianDraw(int aT, int aU, float& aG);

}  // namespace NGaussianDraws

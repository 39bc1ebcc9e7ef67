// NMath: scalar, angle and dense linear-algebra routines in single precision.
#pragma once

namespace NMath {

// Pi in single precision, 3.1415927 (bits 0x40490FDB).
extern const float Pi;

// n! as an int; 1 for n <= 1. Exact up to n = 12.
int faculty(int aN);
// The binomial coefficient n over k, computed as n over min(k, n - k); 1 when
// no factor remains (k <= 0 after that exchange). Exact while the product of
// the k factors stays below 2^31.
int binCoeff(int aN, int aK);
// Nearest integer, halves rounded upward: 2.5 gives 3, -2.5 gives -2.
int round(float aX);
// a + b wrapped once into [-Pi, Pi] (exactly +-Pi stay as they are).
float angleSum(float aA, float aB);
// a - b wrapped once into [-Pi, Pi].
float angleDifference(float aA, float aB);
// |a - b| folded into [0, Pi].
float absAngleDifference(float aA, float aB);
// Direction angle in (-Pi, Pi] of the vector from (x1, y1) to (x2, y2);
// -Pi along negative x, and -Pi/2 for two coincident points.
float tangent(float aX1, float aY1, float aX2, float aY2);

}  // namespace NMath

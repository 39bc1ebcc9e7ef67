#include "NMath.h"

#include <cmath>
#include <cstdint>

namespace NMath {

const float Pi = 3.1415927f;

namespace {
// The angle routines wrap with the single-precision pi and its double.
constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kHalfPi = 1.5707964f;
}  // namespace

int faculty(int aN) {
  // Unsigned products wrap instead of overflowing; results past 12! are not defined anyway.
  std::uint32_t result = 1;
  for (int i = 2; i <= aN; ++i) result *= static_cast<std::uint32_t>(i);
  return static_cast<int>(result);
}

int binCoeff(int aN, int aK) {
  while (aK > (aN >> 1)) aK = aN - aK;
  std::int64_t result = 1;
  for (int i = 0; i < aK; ++i) result *= aN - i;
  for (int i = 2; i <= aK; ++i) result /= i;
  return static_cast<int>(result);
}

int round(float aX) {
  const float lower = std::floor(aX);
  const float fraction = aX - lower;
  if (fraction >= 0.5f || std::isnan(fraction)) return static_cast<int>(std::ceil(aX));
  return static_cast<int>(lower);
}

float angleSum(float aA, float aB) {
  const float s = aA + aB;
  if (s > kPi) return s - kTwoPi;
  if (s < -kPi) return s + kTwoPi;
  return s;
}

float angleDifference(float aA, float aB) {
  const float d = aA - aB;
  if (d > kPi) return d - kTwoPi;
  if (d < -kPi) return d + kTwoPi;
  return d;
}

float absAngleDifference(float aA, float aB) {
  const float d = std::fabs(aA - aB);
  return d > kPi ? kTwoPi - d : d;
}

float tangent(float aX1, float aY1, float aX2, float aY2) {
  const float dx = aX2 - aX1;
  const float dy = aY2 - aY1;
  if (dy > 0) {
    if (dx == 0) return kHalfPi;
    if (dx > 0) return std::atan(dy / dx);
    return static_cast<float>(std::atan(static_cast<double>(dy / dx)) + static_cast<double>(kPi));
  }
  if (dx == 0) return -kHalfPi;
  if (dx > 0) return std::atan(dy / dx);
  return static_cast<float>(std::atan(static_cast<double>(dy / dx)) - static_cast<double>(kPi));
}

}  // namespace NMath

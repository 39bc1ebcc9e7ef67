#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "NMath.h"

namespace {

TEST(NMathScalar, PiIsTheNearestFloat) {
  std::uint32_t bits;
  std::memcpy(&bits, &NMath::Pi, sizeof bits);
  EXPECT_EQ(bits, 0x40490FDBu);
}

TEST(NMathScalar, Faculty) {
  EXPECT_EQ(NMath::faculty(0), 1);
  EXPECT_EQ(NMath::faculty(1), 1);
  EXPECT_EQ(NMath::faculty(-3), 1);
  EXPECT_EQ(NMath::faculty(5), 120);
  EXPECT_EQ(NMath::faculty(12), 479001600);
}

TEST(NMathScalar, BinomialCoefficient) {
  EXPECT_EQ(NMath::binCoeff(5, 2), 10);
  EXPECT_EQ(NMath::binCoeff(5, 3), 10);
  EXPECT_EQ(NMath::binCoeff(6, 0), 1);
  EXPECT_EQ(NMath::binCoeff(6, 6), 1);
  EXPECT_EQ(NMath::binCoeff(10, 4), 210);
  // No factor remains after the exchange, so the result is 1, not 0.
  EXPECT_EQ(NMath::binCoeff(3, 5), 1);
  EXPECT_EQ(NMath::binCoeff(3, -1), 1);
}

TEST(NMathScalar, RoundHalvesUpward) {
  EXPECT_EQ(NMath::round(2.5f), 3);
  EXPECT_EQ(NMath::round(-2.5f), -2);
  EXPECT_EQ(NMath::round(2.49f), 2);
  EXPECT_EQ(NMath::round(-2.6f), -3);
  EXPECT_EQ(NMath::round(0.49999997f), 0);
  EXPECT_EQ(NMath::round(-0.5f), 0);
  EXPECT_EQ(NMath::round(1.5f), 2);
}

TEST(NMathScalar, AnglesWrapOnce) {
  const float twoPi = 6.2831855f;
  EXPECT_EQ(NMath::angleSum(3.0f, 1.0f), 4.0f - twoPi);
  EXPECT_NEAR(NMath::angleSum(3.0f, 1.0f), -2.2831855f, 1e-6f);
  EXPECT_EQ(NMath::angleDifference(-3.0f, 1.0f), -4.0f + twoPi);
  EXPECT_EQ(NMath::angleDifference(NMath::Pi, 0.0f), NMath::Pi);
  EXPECT_EQ(NMath::angleSum(-NMath::Pi, 0.0f), -NMath::Pi);
  EXPECT_EQ(NMath::absAngleDifference(3.0f, -3.0f), twoPi - 6.0f);
  EXPECT_NEAR(NMath::absAngleDifference(3.0f, -3.0f), 0.2831855f, 1e-6f);
  EXPECT_EQ(NMath::absAngleDifference(1.0f, 2.0f), 1.0f);
}

TEST(NMathScalar, TangentOfTwoPoints) {
  EXPECT_EQ(NMath::tangent(0, 0, 1, 1), std::atan(1.0f));
  EXPECT_NEAR(NMath::tangent(0, 0, 1, 1), 0.7853982f, 1e-7f);
  EXPECT_EQ(NMath::tangent(0, 0, -1, 0), -NMath::Pi);
  EXPECT_EQ(NMath::tangent(1, 1, 1, 1), -1.5707964f);
  EXPECT_EQ(NMath::tangent(0, 0, 0, 2), 1.5707964f);
  EXPECT_EQ(NMath::tangent(0, 0, 0, -2), -1.5707964f);
  EXPECT_EQ(NMath::tangent(0, 0, -1, 1), static_cast<float>(std::atan(-1.0) + static_cast<double>(NMath::Pi)));
  EXPECT_EQ(NMath::tangent(0, 0, -1, -1), static_cast<float>(std::atan(1.0) - static_cast<double>(NMath::Pi)));
  EXPECT_EQ(NMath::tangent(0, 0, 2, -1), std::atan(-0.5f));
}

}  // namespace

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "Exceptions.h"
#include "MatrixTestSupport.h"
#include "NMath.h"

namespace {

using namespace MatrixTestSupport;

// Homogeneous motion from a rotation by aAngle about the unit axis aAxis
// (Rodrigues, in double) and a translation.
CMatrix<float> motion(const double aAxis[3], double aAngle, const double aT[3]) {
  const double s = std::sin(aAngle), k = 1.0 - std::cos(aAngle);
  const double skew[3][3] = {{0, -aAxis[2], aAxis[1]}, {aAxis[2], 0, -aAxis[0]}, {-aAxis[1], aAxis[0], 0}};
  CMatrix<float> m(4, 4);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double square = 0.0;
      for (int j = 0; j < 3; ++j) square += skew[r][j] * skew[j][c];
      m(c, r) = static_cast<float>((r == c ? 1.0 : 0.0) + s * skew[r][c] + k * square);
    }
    m(3, r) = static_cast<float>(aT[r]);
  }
  for (int c = 0; c < 4; ++c) m(c, 3) = c == 3 ? 1.0f : 0.0f;
  return m;
}

// The motion exp(twist): rotation about omega by theta = |theta omega| and
// translation (I - R)(omega x v) + omega omega^T v theta, in double.
CMatrix<float> exponential(const CVector<float>& aTwist) {
  double w[3], u[3];
  for (int i = 0; i < 3; ++i) {
    u[i] = aTwist(i);
    w[i] = aTwist(i + 3);
  }
  const double theta = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  if (theta == 0.0) {
    const double none[3] = {1, 0, 0};
    return motion(none, 0.0, u);
  }
  const double omega[3] = {w[0] / theta, w[1] / theta, w[2] / theta};
  const double v[3] = {u[0] / theta, u[1] / theta, u[2] / theta};
  const double zero[3] = {0, 0, 0};
  CMatrix<float> m = motion(omega, theta, zero);
  const double cross[3] = {omega[1] * v[2] - omega[2] * v[1], omega[2] * v[0] - omega[0] * v[2],
                           omega[0] * v[1] - omega[1] * v[0]};
  const double along = (omega[0] * v[0] + omega[1] * v[1] + omega[2] * v[2]) * theta;
  for (int r = 0; r < 3; ++r) {
    double t = cross[r] + omega[r] * along;
    for (int c = 0; c < 3; ++c) t -= m(c, r) * cross[c];
    m(3, r) = static_cast<float>(t);
  }
  return m;
}

void expectTwist(const CVector<float>& aTwist, std::initializer_list<float> aExpected, float aTolerance) {
  ASSERT_EQ(aTwist.size(), 6);
  int i = 0;
  for (float value : aExpected) EXPECT_NEAR(aTwist(i++), value, aTolerance) << "element " << i - 1;
}

TEST(Twist, TranslationsAndTheQuarterTurn) {
  const double z[3] = {0, 0, 1}, t[3] = {1, -2, 3};
  CVector<float> twist(2);
  CMatrix<float> m = motion(z, 0.0, t);
  NMath::RBM2Twist(twist, m);
  expectTwist(twist, {1, -2, 3, 0, 0, 0}, 0.0f);
  // Closer to the identity than 0.0001: the rotation is dropped.
  m = motion(z, 0.005, t);
  NMath::RBM2Twist(twist, m);
  expectTwist(twist, {1, -2, 3, 0, 0, 0}, 0.0f);

  const double x[3] = {1, 0, 0};
  m = motion(z, M_PI / 2, x);
  NMath::RBM2Twist(twist, m);
  const float q = static_cast<float>(M_PI / 4);
  expectTwist(twist, {q, -q, 0, 0, 0, 2 * q}, 1e-6f);
  // A pure rotation gives theta omega alone.
  const double axis[3] = {0.6, 0, -0.8}, none[3] = {0, 0, 0};
  m = motion(axis, 1.2, none);
  NMath::RBM2Twist(twist, m);
  expectTwist(twist, {0, 0, 0, 0.72f, 0, -0.96f}, 1e-6f);
}

TEST(Twist, TraceOfThreeButNoIdentityTakesTheSmallAngle) {
  CMatrix<float> m = rows(4, 3, {1, -0.01f, 0, 0, 0.01f, 1, 0, 0, 0, 0, 1.0001f, 0});
  CVector<float> twist;
  NMath::RBM2Twist(twist, m);
  // theta = 0.001 and omega = (0, 0, 0.02) / (2 sin 0.001).
  EXPECT_NEAR(twist(5), static_cast<float>(0.001 * 0.02 / (2.0 * std::sin(0.001))), 1e-6f);
}

TEST(Twist, RandomMotionsRebuild) {
  std::mt19937 generator(47);
  std::normal_distribution<double> gauss;
  std::uniform_real_distribution<double> angle(0.1, M_PI - 0.1), shift(-5.0, 5.0);
  // Random angles, then half turns and angles within 0.001 of one; float
  // rounding of an exact half turn leaves cosines on both sides of -1.
  const double nearHalfTurn[] = {M_PI - 1e-4, M_PI - 5e-4, M_PI - 1e-3};
  for (int trial = 0; trial < 423; ++trial) {
    double axis[3], t[3];
    double length = 0.0;
    for (double& a : axis) {
      a = gauss(generator);
      length += a * a;
    }
    for (double& a : axis) a /= std::sqrt(length);
    for (double& s : t) s = shift(generator);
    const double theta = trial < 20 ? angle(generator) : trial < 420 ? M_PI : nearHalfTurn[trial - 420];
    CMatrix<float> m = motion(axis, theta, t);
    CVector<float> twist;
    NMath::RBM2Twist(twist, m);
    const CMatrix<float> rebuilt = exponential(twist);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(rebuilt(c, r), m(c, r), 2e-5f) << trial << ": " << r << "," << c;
  }
}

TEST(Twist, HalfTurnGivesCorrectTwist) {
  // About the x axis: the antisymmetric part is exactly zero.
  const double x[3] = {1, 0, 0}, t[3] = {0, 2, 0};
  CMatrix<float> m = motion(x, M_PI, t);
  CVector<float> twist;
  NMath::RBM2Twist(twist, m);
  // The axis passes through (0, 1, 0), so v = -omega x (0, 1, 0) = (0, 0, -1).
  const float pi = static_cast<float>(M_PI);
  expectTwist(twist, {0, 0, -pi, pi, 0, 0}, 1e-6f);
}

TEST(Twist, RefusesTooSmallMotion) {
  CMatrix<float> m = identity(3);
  CVector<float> twist;
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(NMath::RBM2Twist(twist, m), EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 3x3  M2 = 4x3\n");
}

}  // namespace

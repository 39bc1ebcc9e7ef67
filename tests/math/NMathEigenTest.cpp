#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "Exceptions.h"
#include "MatrixOperators.h"
#include "MatrixTestSupport.h"
#include "NMath.h"

namespace {

using namespace MatrixTestSupport;

TEST(Eigen, DiagonalInputIsOnlyOrdered) {
  const CMatrix<float> a = rows(3, 3, {1, 0, 0, 0, -3, 0, 0, 0, 2});
  CVector<float> lambda(3);
  CMatrix<float> e(3, 3);
  NMath::PATransformation(a, lambda, e);
  EXPECT_EQ(lambda(0), -3.0f);
  EXPECT_EQ(lambda(1), 2.0f);
  EXPECT_EQ(lambda(2), 1.0f);
  expectNear(e, rows(3, 3, {0, 1, 0, 0, 0, 1, 1, 0, 0}), 0.0f);

  const CMatrix<float> single = rows(1, 1, {-4});
  CVector<float> one(1);
  CMatrix<float> unit(1, 1);
  NMath::PATransformation(single, one, unit);
  EXPECT_EQ(one(0), -4.0f);
  EXPECT_EQ(unit(0, 0), 1.0f);
}

TEST(Eigen, EqualDiagonalTakesTheFixedRotation) {
  const CMatrix<float> a = rows(2, 2, {1, 2, 2, 1});
  CVector<float> lambda(2);
  CMatrix<float> e(2, 2);
  NMath::PATransformation(a, lambda, e);
  EXPECT_EQ(lambda(0), 3.0f);
  EXPECT_EQ(lambda(1), -1.0f);
  const float h = 0.70710677f;
  expectNear(e, rows(2, 2, {h, h, h, -h}), 1e-7f);
}

TEST(Eigen, RandomSymmetricMatrices) {
  std::mt19937 generator(23);
  for (int n = 2; n <= 6; ++n) {
    CMatrix<float> a = randomMatrix(n, n, generator);
    CMatrix<float> symmetric(a);
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < r; ++c) symmetric(c, r) = a(r, c);  // mirror the upper triangle
    CVector<float> lambda(n);
    CMatrix<float> e(n, n);
    NMath::PATransformation(a, lambda, e);
    for (int i = 0; i + 1 < n; ++i) EXPECT_GE(std::fabs(lambda(i)), std::fabs(lambda(i + 1)));
    expectNear(e * e.transposed(), identity(n), 1e-5f);
    // The part below the diagonal has no effect.
    CVector<float> lambda2(n);
    CMatrix<float> e2(n, n);
    NMath::PATransformation(symmetric, lambda2, e2);
    expectNear(e2, e, 0.0f);
    CMatrix<float> back(n, n);
    NMath::PABacktransformation(e, lambda, back);
    expectNear(back, symmetric, 1e-5f);

    // A bound below the smallest eigenvalue leaves a plain inverse.
    const CMatrix<float> spd = randomSpd(n, 1.5f, generator);
    CMatrix<float> inverse(spd);
    NMath::invRegularized(inverse, 1);
    expectNear(inverse * spd, identity(n), 1e-5f);
  }
}

TEST(Eigen, RegularisedInverseRaisesSmallEigenvalues) {
  CMatrix<float> m = identity(3);
  NMath::invRegularized(m, 2);
  expectNear(m, rows(3, 3, {0.5f, 0, 0, 0, 0.5f, 0, 0, 0, 0.5f}), 0.0f);
  m = identity(3);
  NMath::invRegularized(m, 1);
  expectNear(m, identity(3), 0.0f);
  m = identity(3);
  NMath::invRegularized(m, -5);
  expectNear(m, identity(3), 0.0f);
  // A singular matrix stays finite with a positive bound: diag(4, 0) -> diag(0.25, 1).
  CMatrix<float> singular = rows(2, 2, {4, 0, 0, 0});
  NMath::invRegularized(singular, 1);
  expectNear(singular, rows(2, 2, {0.25f, 0, 0, 1}), 0.0f);
  // With bound 0 a negative eigenvalue becomes 1 / 0.
  CMatrix<float> negative = rows(1, 1, {-2});
  NMath::invRegularized(negative, 0);
  EXPECT_TRUE(std::isinf(negative(0, 0)));

  CMatrix<float> wide(2, 3);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(NMath::invRegularized(wide, 1), ENonquadraticMatrix); }),
            "Exception ENonquadarticMatrix: M = 2x3\n");
}

TEST(Eigen, RefusesTooSmallContainers) {
  const CMatrix<float> a = identity(3);
  CVector<float> lambda(3);
  CMatrix<float> small(3, 2);
  small.fill(9.0f);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(NMath::PATransformation(a, lambda, small), EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 3x2  M2 = 1x3\n");
  EXPECT_EQ(small(0, 0), 9.0f);
  CVector<float> four(4);
  CMatrix<float> e(4, 4);
  EXPECT_THROW(NMath::PATransformation(a, four, e), EIncompatibleMatrices);
  EXPECT_THROW(NMath::PABacktransformation(e, four, small), EIncompatibleMatrices);
}

}  // namespace

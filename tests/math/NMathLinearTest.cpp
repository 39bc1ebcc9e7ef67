#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "Exceptions.h"
#include "MatrixOperators.h"
#include "MatrixTestSupport.h"
#include "NMath.h"

namespace {

using namespace MatrixTestSupport;

TEST(TriangularSolve, ReadsOnlyTheLowerTriangle) {
  CMatrix<float> l = rows(2, 2, {2, 99, 1, 4});  // 99 is above the diagonal
  CVector<float> b = vec({2, 9});
  CVector<float> x(2);
  NMath::triangularSolve(l, b, x);
  EXPECT_EQ(x(0), 1.0f);
  EXPECT_EQ(x(1), 2.0f);
  NMath::triangularSolveTransposed(l, b, x);
  EXPECT_EQ(x(0), -0.125f);
  EXPECT_EQ(x(1), 2.25f);
  EXPECT_EQ(b(0), 2.0f);

  // Matrix forms: one row of B per right-hand side.
  CMatrix<float> bs = rows(2, 2, {2, 9, 4, 18});
  CMatrix<float> xs(2, 2);
  NMath::triangularSolve(l, bs, xs);
  EXPECT_EQ(xs(0, 0), 1.0f);
  EXPECT_EQ(xs(1, 0), 2.0f);
  EXPECT_EQ(xs(0, 1), 2.0f);
  EXPECT_EQ(xs(1, 1), 4.0f);
  NMath::triangularSolveTransposed(l, bs, xs);
  EXPECT_EQ(xs(0, 0), -0.125f);
  EXPECT_EQ(xs(1, 1), 4.5f);

  CVector<float> none;
  x.fill(7.0f);
  NMath::triangularSolve(l, none, x);
  EXPECT_EQ(x(0), 7.0f);
}

TEST(TriangularSolve, RefusesTooSmallContainers) {
  CMatrix<float> l = rows(2, 2, {2, 0, 1, 4});
  CVector<float> b = vec({1, 2, 3});
  CVector<float> x(3);
  x.fill(7.0f);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(NMath::triangularSolve(l, b, x), EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 2x2  M2 = 1x3\n");
  CVector<float> b2 = vec({1, 2});
  CVector<float> small(1);
  EXPECT_THROW(NMath::triangularSolveTransposed(l, b2, small), EIncompatibleMatrices);
  CMatrix<float> bs(2, 3), xs(2, 2);
  bs.fill(1.0f);
  EXPECT_THROW(NMath::triangularSolve(l, bs, xs), EIncompatibleMatrices);
  EXPECT_EQ(x(0), 7.0f);
}

TEST(Cholesky, FactorAndInverseOfTheExample) {
  CMatrix<float> a = rows(2, 2, {4, 2, -50, 5});  // the lower triangle is never read
  NMath::cholesky(a);
  EXPECT_EQ(a(0, 0), 2.0f);
  EXPECT_EQ(a(1, 0), 2.0f);
  EXPECT_EQ(a(0, 1), 1.0f);
  EXPECT_EQ(a(1, 1), 2.0f);
  CMatrix<float> inverse(2, 2);
  NMath::choleskyInv(a, inverse);
  EXPECT_EQ(inverse(0, 0), 0.3125f);
  EXPECT_EQ(inverse(1, 0), -0.125f);
  EXPECT_EQ(inverse(0, 1), -0.125f);
  EXPECT_EQ(inverse(1, 1), 0.25f);
}

TEST(Cholesky, StopsSilentlyAndChecksSizes) {
  CMatrix<float> a = rows(2, 2, {1, 2, 2, 1});
  EXPECT_EQ(stderrOf([&] { NMath::cholesky(a); }), "");
  EXPECT_EQ(a(0, 0), 1.0f);
  EXPECT_EQ(a(1, 0), 2.0f);
  EXPECT_EQ(a(0, 1), 2.0f);
  EXPECT_EQ(a(1, 1), 1.0f);
  CMatrix<float> empty;
  NMath::cholesky(empty);
  CMatrix<float> wide(2, 3);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(NMath::cholesky(wide), ENonquadraticMatrix); }),
            "Exception ENonquadarticMatrix: M = 2x3\n");
  CMatrix<float> l = identity(3), small(2, 2);
  EXPECT_THROW(NMath::choleskyInv(l, small), EIncompatibleMatrices);
}

TEST(Cholesky, RandomPositiveDefiniteMatrices) {
  std::mt19937 generator(31);
  for (int n = 1; n <= 6; ++n) {
    const CMatrix<float> a = randomSpd(n, 0.5f, generator);
    CMatrix<float> l(a);
    NMath::cholesky(l);
    CMatrix<float> lower(l);  // L alone, without the kept upper triangle
    for (int r = 0; r < n; ++r)
      for (int c = r + 1; c < n; ++c) lower(c, r) = 0.0f;
    expectNear(lower * lower.transposed(), a, 2e-5f * n);
    CMatrix<float> inverse(n, n);
    NMath::choleskyInv(l, inverse);
    expectNear(inverse * a, identity(n), 1e-4f);
    // Forward then backward substitution solve A x = b.
    CVector<float> b(n), y(n), x(n);
    for (int i = 0; i < n; ++i) b(i) = static_cast<float>(i + 1);
    NMath::triangularSolve(l, b, y);
    NMath::triangularSolveTransposed(l, y, x);
    const CVector<float> back = a * x;
    for (int i = 0; i < n; ++i) EXPECT_NEAR(back(i), b(i), 1e-4f);
  }
}

TEST(Householder, ReflectsTheExampleColumns) {
  CMatrix<float> a = rows(1, 2, {3, 4});
  CVector<float> b = vec({3, 4});
  const CVector<float> x = NMath::leastSquares(a, b);
  EXPECT_EQ(a(0, 0), -5.0f);
  EXPECT_EQ(a(0, 1), 4.0f);
  EXPECT_EQ(b(0), -5.0f);
  EXPECT_EQ(b(1), 0.0f);
  ASSERT_EQ(x.size(), 1);
  EXPECT_EQ(x(0), 1.0f);
  // A negative diagonal takes sigma = +5, so the vector starts with -8.
  CMatrix<float> n = rows(1, 2, {-3, 4});
  CVector<float> c = vec({-3, 4});
  NMath::householder(n, c);
  EXPECT_EQ(n(0, 0), 5.0f);
  EXPECT_EQ(c(0), 5.0f);
  EXPECT_EQ(c(1), 0.0f);
}

TEST(Householder, KeepsDiagonalAfterSingularColumn) {
  // Column 1 is zero: column 0 is reflected, then the reflections stop.
  CMatrix<float> a = rows(3, 3, {1, 0, 1, 1, 0, 2, 1, 0, 3});
  CVector<float> b = vec({1, 1, 1});
  EXPECT_EQ(stderrOf([&] { NMath::householder(a, b); }), "NMath::householder(): matrix is singular!\n");
  EXPECT_NEAR(a(0, 0), -std::sqrt(3.0f), 1e-6f);
  EXPECT_EQ(a(1, 1), 0.0f);
  // Column 2 after the first reflection: its diagonal keeps that value.
  const double sigma = -std::sqrt(3.0), v[3] = {1.0 - sigma, 1.0, 1.0}, col[3] = {1.0, 2.0, 3.0};
  const double f = 2.0 * (v[0] * col[0] + v[1] * col[1] + v[2] * col[2]) / (v[0] * v[0] + 2.0);
  EXPECT_NEAR(a(2, 2), col[2] - f * v[2], 1e-5);
}

TEST(Householder, WideMatrixWritesNothingOutside) {
  // Three unknowns, two equations: the third column has no row left.
  CMatrix<float> a = rows(3, 2, {1, 2, 3, 4, 5, 6});
  CVector<float> b = vec({1, 2});
  CVector<float> x;
  EXPECT_EQ(stderrOf([&] { x = NMath::leastSquares(a, b); }), "NMath::householder(): matrix is singular!\n");
  ASSERT_EQ(x.size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(x(i)));
  CVector<float> shortB = vec({1});
  EXPECT_THROW(NMath::householder(a, shortB), EIncompatibleMatrices);
}

TEST(Householder, LeastSquaresOnRandomSystems) {
  std::mt19937 generator(17);
  // Square: the exact solution.
  CMatrix<float> a = randomMatrix(5, 5, generator);
  for (int i = 0; i < 5; ++i) a(i, i) += 3.0f;
  const CMatrix<float> original(a);
  CVector<float> b = vec({1, -2, 3, 0.5f, 2});
  const CVector<float> rhs(b);
  const CVector<float> x = NMath::leastSquares(a, b);
  const CVector<float> back = original * x;
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(back(i), rhs(i), 1e-5f);

  // Tall: the solution of the normal equations A^T A x = A^T b.
  CMatrix<float> tall = randomMatrix(3, 8, generator);
  const CMatrix<float> tallOriginal(tall);
  CVector<float> c(8);
  for (int i = 0; i < 8; ++i) c(i) = static_cast<float>(i % 3) - 1.0f;
  const CVector<float> tallRhs(c);
  const CVector<float> y = NMath::leastSquares(tall, c);
  CMatrix<float> normal = tallOriginal.transposed() * tallOriginal;
  CVector<float> normalRhs = tallOriginal.transposed() * tallRhs;
  const CVector<float> expected = NMath::leastSquares(normal, normalRhs);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(y(i), expected(i), 1e-4f);
}

}  // namespace

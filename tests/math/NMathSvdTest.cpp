#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Exceptions.h"
#include "MatrixOperators.h"
#include "MatrixTestSupport.h"
#include "NMath.h"

namespace {

using namespace MatrixTestSupport;

TEST(Svd, DiagonalMatrixNeedsNoSweep) {
  CMatrix<float> a = rows(3, 3, {3, 0, 0, 0, -2, 0, 0, 0, 5});
  CMatrix<float> w(3, 3), v(3, 3);
  w.fill(7.0f);
  std::string err = stderrOf([&] { NMath::svd(a, w, v, false, 1); });
  EXPECT_EQ(err, "");  // the limit of one sweep is never reached
  EXPECT_EQ(w(0, 0), 3.0f);
  EXPECT_EQ(w(1, 1), 2.0f);
  EXPECT_EQ(w(2, 2), 5.0f);
  // Off the diagonal W keeps what the caller put there.
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (r != c) {
        EXPECT_EQ(w(c, r), 7.0f);
      }

  CMatrix<float> b = rows(3, 3, {3, 0, 0, 0, -2, 0, 0, 0, 5});
  NMath::svd(b, w, v, true, 30);
  EXPECT_EQ(w(0, 0), 5.0f);
  EXPECT_EQ(w(1, 1), 3.0f);
  EXPECT_EQ(w(2, 2), 2.0f);
}

TEST(Svd, RandomMatricesRebuildAndSort) {
  std::mt19937 generator(11);
  const int shapes[][2] = {{4, 4}, {3, 7}, {6, 9}, {5, 3}, {1, 4}};  // x-size (n), y-size (m)
  for (const auto& shape : shapes)
    for (bool sort : {false, true}) {
      const CMatrix<float> a = randomMatrix(shape[0], shape[1], generator);
      const int n = shape[0];
      CMatrix<float> u(a), w(n, n), v(n, n);
      EXPECT_EQ(stderrOf([&] { NMath::svd(u, w, v, sort, 30); }), "");
      for (int i = 0; i < n; ++i) EXPECT_GE(w(i, i), 0.0f);
      if (sort) {
        for (int i = 0; i + 1 < n; ++i) EXPECT_GE(w(i, i), w(i + 1, i + 1));
      }
      expectNear(v.transposed() * v, identity(n), 1e-5f);
      NMath::svdBack(u, w, v);
      expectNear(u, a, 1e-5f);
    }
}

TEST(Svd, ReportsMissingConvergence) {
  std::mt19937 generator(3);
  CMatrix<float> a = randomMatrix(4, 4, generator);
  CMatrix<float> w(4, 4), v(4, 4);
  const std::string err = stderrOf([&] { NMath::svd(a, w, v, false, 1); });
  ASSERT_FALSE(err.empty());
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) EXPECT_EQ(line, "svd: No convergence in 1 iterations");
}

TEST(Svd, WithoutSweepsKeepsTheBidiagonalForm) {
  std::mt19937 generator(8);
  const CMatrix<float> a = randomMatrix(4, 6, generator);
  CMatrix<float> u(a), w(4, 4), v(4, 4);
  NMath::svd(u, w, v, false, 0);
  // U^T A V is upper bidiagonal with W on its diagonal.
  const CMatrix<float> b = u.transposed() * a * v;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      const float expected = r == c ? w(r, r) : (c == r + 1 ? b(c, r) : 0.0f);
      EXPECT_NEAR(b(c, r), expected, 1e-5f) << r << "," << c;
    }
}

TEST(Svd, RefusesTooSmallContainers) {
  CMatrix<float> a = rows(3, 2, {1, 2, 3, 4, 5, 6});
  CMatrix<float> w(2, 2), v(3, 3), smallV(2, 3);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(NMath::svd(a, w, v, true, 30), EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 3x2  M2 = 2x2\n");
  w.setSize(3, 3);
  EXPECT_THROW(NMath::svd(a, w, smallV, true, 30), EIncompatibleMatrices);
  EXPECT_EQ(a(0, 0), 1.0f);
  CMatrix<float> u(2, 2);
  EXPECT_THROW(NMath::svdBack(u, w, v), EIncompatibleMatrices);
}

TEST(Svd, NotANumberInputEnds) {
  CMatrix<float> a = rows(2, 2, {1, std::numeric_limits<float>::quiet_NaN(), 3, 4});
  CMatrix<float> w(2, 2), v(2, 2);
  stderrOf([&] { NMath::svd(a, w, v, true, 5); });
  EXPECT_TRUE(std::isnan(w(0, 0)) || std::isnan(w(1, 1)));
}

}  // namespace

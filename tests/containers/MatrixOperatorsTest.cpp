#include <random>
#include <string>

#include <gtest/gtest.h>

#include "CMatrix.h"
#include "CVector.h"
#include "Exceptions.h"
#include "MatrixOperators.h"

namespace {

// A matrix from its rows, written as they read.
CMatrix<float> rows(int aXSize, int aYSize, std::initializer_list<float> aValues) {
  CMatrix<float> m(aXSize, aYSize);
  std::copy(aValues.begin(), aValues.end(), m.data());
  return m;
}

void expectElements(const CMatrix<float>& aM, std::initializer_list<float> aValues) {
  ASSERT_EQ(aM.size(), static_cast<int>(aValues.size()));
  int i = 0;
  for (float v : aValues) EXPECT_EQ(aM.data()[i++], v) << "element " << i - 1;
}

template <typename F>
std::string stderrOf(F aAction) {
  testing::internal::CaptureStderr();
  aAction();
  return testing::internal::GetCapturedStderr();
}

TEST(MatrixOperators, SizeMismatchesThrowWithBothSizes) {
  CMatrix<float> a(2, 3), b(3, 2), c(3, 4);
  a.fill(1.0f);
  b.fill(1.0f);
  CVector<float> v(5);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(a + b, EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 2x3  M2 = 3x2\n");
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(c * v, EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 3x4  M2 = 1x5\n");
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(a * a, EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 2x3  M2 = 2x3\n");
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(a += b, EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 2x3  M2 = 3x2\n");
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(a -= b, EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 2x3  M2 = 3x2\n");
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(a *= a, EIncompatibleMatrices); }),
            "Exception EIncompatibleMatrices: M1 = 2x3  M2 = 2x3\n");
  CMatrix<float> wide(2, 3);
  EXPECT_EQ(stderrOf([&] { EXPECT_THROW(wide.inv(), ENonquadraticMatrix); }),
            "Exception ENonquadarticMatrix: M = 2x3\n");
  // Nothing was changed by the refused operations.
  EXPECT_EQ(a.xSize(), 2);
  EXPECT_EQ(a(1, 2), 1.0f);
}

TEST(MatrixOperators, ProductsAndSums) {
  // 3 columns, 2 rows times 4 columns, 3 rows gives 4 columns, 2 rows.
  const CMatrix<float> a = rows(3, 2, {1, 2, 3, 4, 5, 6});
  const CMatrix<float> b = rows(4, 3, {1, 0, 2, -1, 0, 1, 1, 2, 3, -2, 0, 1});
  const CMatrix<float> p = a * b;
  ASSERT_EQ(p.xSize(), 4);
  ASSERT_EQ(p.ySize(), 2);
  expectElements(p, {10, -4, 4, 6, 22, -7, 13, 12});

  CMatrix<float> inPlace(a);
  inPlace *= b;
  ASSERT_EQ(inPlace.xSize(), 4);
  ASSERT_EQ(inPlace.ySize(), 2);
  expectElements(inPlace, {10, -4, 4, 6, 22, -7, 13, 12});

  CVector<float> v(3);
  v(0) = 1;
  v(1) = -1;
  v(2) = 2;
  const CVector<float> w = a * v;
  ASSERT_EQ(w.size(), 2);
  EXPECT_EQ(w(0), 5.0f);
  EXPECT_EQ(w(1), 11.0f);

  expectElements(a + a, {2, 4, 6, 8, 10, 12});
  expectElements(0.5f * a, {0.5f, 1, 1.5f, 2, 2.5f, 3});
  CMatrix<float> c(a);
  c += a;
  expectElements(c, {2, 4, 6, 8, 10, 12});
  c -= rows(3, 2, {1, 1, 1, 1, 1, 1});
  expectElements(c, {1, 3, 5, 7, 9, 11});
}

TEST(MatrixOperators, InPlaceProductWithItself) {
  CMatrix<float> a = rows(2, 2, {1, 2, 3, 4});
  a *= a;
  expectElements(a, {7, 10, 15, 22});
}

TEST(MatrixOperators, InverseEdgeCases) {
  CMatrix<float> four = rows(1, 1, {4});
  four.inv();
  EXPECT_EQ(four(0, 0), 0.25f);
  CMatrix<float> zero = rows(1, 1, {0});
  zero.inv();
  EXPECT_EQ(zero(0, 0), 0.0f);
  CMatrix<float> exchange = rows(2, 2, {0, 1, 1, 0});
  exchange.inv();
  expectElements(exchange, {0, 1, 1, 0});
  // Singular: stops after the first exchange step.
  CMatrix<float> singular = rows(2, 2, {1, 2, 2, 4});
  singular.inv();
  expectElements(singular, {0.5f, -2, 0.5f, 0});
  // A tie in the pivot column keeps the upper row (an exchange would leave
  // rows (-1, -2) and (-1, 0) here).
  CMatrix<float> tie = rows(2, 2, {1, 2, -1, -2});
  tie.inv();
  expectElements(tie, {1, -2, -1, 0});
  CMatrix<float> empty;
  empty.inv();
  EXPECT_EQ(empty.xSize(), 0);
}

TEST(MatrixOperators, InverseOfRandomMatrices) {
  std::mt19937 generator(5);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int n = 2; n <= 7; ++n) {
    CMatrix<float> a(n, n);
    for (int i = 0; i < a.size(); ++i) a.data()[i] = value(generator);
    // Large entries on the anti-diagonal keep the condition modest and make
    // the pivot search exchange rows.
    for (int i = 0; i < n; ++i) a(n - 1 - i, i) += 2.0f;
    CMatrix<float> inverse(a);
    inverse.inv();
    const CMatrix<float> identity = a * inverse;
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < n; ++c) EXPECT_NEAR(identity(c, r), r == c ? 1.0f : 0.0f, 1e-5f) << n;
  }
}

}  // namespace

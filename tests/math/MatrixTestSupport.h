// Small helpers for the linear-algebra tests.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "CMatrix.h"
#include "CVector.h"

namespace MatrixTestSupport {

// A matrix from its rows, written as they read.
inline CMatrix<float> rows(int aXSize, int aYSize, std::initializer_list<float> aValues) {
  CMatrix<float> m(aXSize, aYSize);
  std::copy(aValues.begin(), aValues.end(), m.data());
  return m;
}

inline CVector<float> vec(std::initializer_list<float> aValues) {
  CVector<float> v(static_cast<int>(aValues.size()));
  std::copy(aValues.begin(), aValues.end(), v.data());
  return v;
}

// Entries uniform in [-1, 1) from a private generator (never rand()).
inline CMatrix<float> randomMatrix(int aXSize, int aYSize, std::mt19937& aGenerator) {
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  CMatrix<float> m(aXSize, aYSize);
  for (int i = 0; i < m.size(); ++i) m.data()[i] = value(aGenerator);
  return m;
}

// A = G G^T + aShift I: symmetric with every eigenvalue at least aShift.
inline CMatrix<float> randomSpd(int aN, float aShift, std::mt19937& aGenerator) {
  const CMatrix<float> g = randomMatrix(aN, aN, aGenerator);
  CMatrix<float> a(aN, aN);
  for (int r = 0; r < aN; ++r)
    for (int c = 0; c < aN; ++c) {
      double sum = r == c ? aShift : 0.0;
      for (int k = 0; k < aN; ++k) sum += static_cast<double>(g(k, r)) * g(k, c);
      a(c, r) = static_cast<float>(sum);
    }
  return a;
}

inline void expectNear(const CMatrix<float>& aActual, const CMatrix<float>& aExpected, float aTolerance) {
  ASSERT_EQ(aActual.xSize(), aExpected.xSize());
  ASSERT_EQ(aActual.ySize(), aExpected.ySize());
  for (int i = 0; i < aActual.size(); ++i)
    EXPECT_NEAR(aActual.data()[i], aExpected.data()[i], aTolerance) << "element " << i;
}

inline CMatrix<float> identity(int aN) {
  CMatrix<float> m(aN, aN);
  m.fill(0.0f);
  for (int i = 0; i < aN; ++i) m(i, i) = 1.0f;
  return m;
}

// What an action writes to std::cerr.
template <typename F>
std::string stderrOf(F aAction) {
  testing::internal::CaptureStderr();
  aAction();
  return testing::internal::GetCapturedStderr();
}

}  // namespace MatrixTestSupport

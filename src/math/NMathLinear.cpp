// Triangular solves, Cholesky factorisation and inverse, Householder QR and
// least squares. Single precision throughout except the one square root per
// Householder column; sums run in the stated index order.
#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "Exceptions.h"
#include "NMath.h"

namespace NMath {

namespace {

// L must hold an n x n lower triangle.
void requireTriangle(const CMatrix<float>& aL, int aN, int aXSize2, int aYSize2) {
  if (aL.xSize() < aN || aL.ySize() < aN) throw EIncompatibleMatrices(aL.xSize(), aL.ySize(), aXSize2, aYSize2);
}

}  // namespace

void triangularSolve(CMatrix<float>& aL, CVector<float>& aB, CVector<float>& aX) {
  const int n = aB.size();
  requireTriangle(aL, n, 1, n);
  if (aX.size() < n) throw EIncompatibleMatrices(1, aX.size(), 1, n);
  for (int i = 0; i < n; ++i) {
    float s = aB(i);
    for (int k = 0; k < i; ++k) s = s - aL(k, i) * aX(k);
    aX(i) = s / aL(i, i);
  }
}

void triangularSolveTransposed(CMatrix<float>& aL, CVector<float>& aB, CVector<float>& aX) {
  const int n = aB.size();
  requireTriangle(aL, n, 1, n);
  if (aX.size() < n) throw EIncompatibleMatrices(1, aX.size(), 1, n);
  for (int j = n - 1; j >= 0; --j) {
    float s = aB(j);
    for (int k = n - 1; k > j; --k) s = s - aL(j, k) * aX(k);
    aX(j) = s / aL(j, j);
  }
}

namespace {

// Shared set-up of the matrix forms: size checks and the reciprocals of the
// diagonal, so that each row costs no division.
std::vector<float> prepareRows(const CMatrix<float>& aL, const CMatrix<float>& aB, const CMatrix<float>& aX) {
  const int n = aB.xSize();
  requireTriangle(aL, n, aB.xSize(), aB.ySize());
  if (aX.xSize() < n || aX.ySize() < aB.ySize())
    throw EIncompatibleMatrices(aX.xSize(), aX.ySize(), aB.xSize(), aB.ySize());
  std::vector<float> reciprocal(n);
  for (int i = 0; i < n; ++i) reciprocal[i] = 1.0f / aL(i, i);
  return reciprocal;
}

}  // namespace

void triangularSolve(CMatrix<float>& aL, CMatrix<float>& aB, CMatrix<float>& aX) {
  const std::vector<float> reciprocal = prepareRows(aL, aB, aX);
  const int n = aB.xSize();
  for (int r = 0; r < aB.ySize(); ++r) {
    const float* b = aB.data() + r * aB.xSize();
    float* x = aX.data() + r * aX.xSize();
    for (int i = 0; i < n; ++i) {
      float s = b[i];
      for (int k = 0; k < i; ++k) s = s - aL(k, i) * x[k];
      x[i] = s * reciprocal[i];
    }
  }
}

void triangularSolveTransposed(CMatrix<float>& aL, CMatrix<float>& aB, CMatrix<float>& aX) {
  const std::vector<float> reciprocal = prepareRows(aL, aB, aX);
  const int n = aB.xSize();
  for (int r = 0; r < aB.ySize(); ++r) {
    const float* b = aB.data() + r * aB.xSize();
    float* x = aX.data() + r * aX.xSize();
    for (int j = n - 1; j >= 0; --j) {
      float s = b[j];
      for (int k = n - 1; k > j; --k) s = s - aL(j, k) * x[k];
      x[j] = s * reciprocal[j];
    }
  }
}

void cholesky(CMatrix<float>& aA) {
  if (aA.xSize() != aA.ySize()) throw ENonquadraticMatrix(aA.xSize(), aA.ySize());
  const int n = aA.xSize();
  // The diagonal of L waits here: the input's diagonal is still read while
  // later rows are factored.
  std::vector<float> d(n);
  for (int i = 0; i < n; ++i)
    for (int j = i; j < n; ++j) {
      float s = aA(j, i);
      for (int k = i - 1; k >= 0; --k) s = s - aA(k, i) * aA(k, j);
      if (j == i) {
        if (!(s > 0.0f) && !std::isnan(s)) return;  // not positive definite
        d[i] = std::sqrt(s);
      } else {
        aA(i, j) = s / d[i];
      }
    }
  for (int i = 0; i < n; ++i) aA(i, i) = d[i];
}

void choleskyInv(const CMatrix<float>& aL, CMatrix<float>& aInverse) {
  if (aL.xSize() != aL.ySize()) throw ENonquadraticMatrix(aL.xSize(), aL.ySize());
  const int n = aL.xSize();
  if (aInverse.xSize() != n || aInverse.ySize() != n)
    throw EIncompatibleMatrices(aL.xSize(), aL.ySize(), aInverse.xSize(), aInverse.ySize());
  aInverse.fill(0.0f);
  // W = L^-1, lower triangle only; w[c + r * n] is W[r][c].
  std::vector<float> w(aL.size());
  for (int i = 0; i < n; ++i) w[i + i * n] = 1.0f / aL(i, i);
  for (int j = 0; j < n; ++j)
    for (int i = j + 1; i < n; ++i) {
      float s = 0.0f;
      for (int k = j; k < i; ++k) s = s - aL(k, i) * w[j + k * n];
      w[j + i * n] = s * w[i + i * n];
    }
  // Lower triangle of W^T W, then mirrored.
  for (int q = 0; q < n; ++q)
    for (int r = q; r < n; ++r) {
      float s = 0.0f;
      for (int k = r; k < n; ++k) s = s + w[r + k * n] * w[q + k * n];
      aInverse(q, r) = s;
    }
  for (int a = 0; a < n; ++a)
    for (int b = a + 1; b < n; ++b) aInverse(b, a) = aInverse(a, b);
}

void householder(CMatrix<float>& aA, CVector<float>& aB) {
  const int m = aA.xSize();
  const int rows = aA.ySize();
  if (aB.size() < rows) throw EIncompatibleMatrices(aA.xSize(), aA.ySize(), 1, aB.size());
  std::vector<float> d(m);
  int done = 0;  // columns whose reflection is complete
  for (int j = 0; j < m; ++j) {
    if (j >= rows) {
      std::cerr << "NMath::householder(): matrix is singular!" << std::endl;
      break;
    }
    float s = 0.0f;
    for (int i = j; i < rows; ++i) s = s + aA(j, i) * aA(j, i);
    if (s == 0.0f) {
      std::cerr << "NMath::householder(): matrix is singular!" << std::endl;
      break;
    }
    const float a = aA(j, j);
    double root = std::sqrt(static_cast<double>(s));
    if (!(a < 0.0f)) root = -root;
    const float sigma = static_cast<float>(root);
    d[j] = sigma;
    aA(j, j) = a - sigma;
    // -2 / (v^T v) for the Householder vector v now in column j.
    const float beta = 1.0f / (sigma * a - s);
    for (int k = j + 1; k < m; ++k) {
      float t = 0.0f;
      for (int i = j; i < rows; ++i) t = t + aA(j, i) * aA(k, i);
      t = t * beta;
      for (int i = j; i < rows; ++i) aA(k, i) = t * aA(j, i) + aA(k, i);
    }
    float t = 0.0f;
    for (int i = j; i < rows; ++i) t = t + aA(j, i) * aB(i);
    t = t * beta;
    for (int i = j; i < rows; ++i) aB(i) = t * aA(j, i) + aB(i);
    done = j + 1;
  }
  // Only completed columns have a sigma; the others keep their diagonal.
  for (int j = 0; j < done; ++j) aA(j, j) = d[j];
}

CVector<float> leastSquares(CMatrix<float>& aA, CVector<float>& aB) {
  const int m = aA.xSize();
  const int rows = aA.ySize();
  CVector<float> x(m);
  householder(aA, aB);
  for (int r = m - 1; r >= 0; --r) {
    if (r >= rows) {
      // No equation for this unknown: a zero row, whose division by its zero
      // diagonal gives not-a-number (and so do all unknowns depending on it).
      x(r) = std::numeric_limits<float>::quiet_NaN();
      continue;
    }
    float sum = 0.0f;
    for (int k = r + 1; k < m; ++k) sum = sum + aA(k, r) * x(k);
    x(r) = (aB(r) - sum) / aA(r, r);
  }
  return x;
}

}  // namespace NMath

// Eigen-decomposition of symmetric matrices by cyclic Jacobi rotations, the
// rebuild from eigenvalues and eigenvectors, and the regularised inverse.
#include <cmath>
#include <utility>

#include "Exceptions.h"
#include "NMath.h"

namespace NMath {

namespace {

// One step below the float nearest to 1e-8 (bits 0x322BCC76).
constexpr float kZeroThreshold = 9.999999e-9f;
// At most this |theta| takes the fixed 45-degree rotation (bits 0x358637BD).
constexpr float kAngleThreshold = 1e-6f;
constexpr double kSqrt2 = 1.4142135623730951;

// A matrix must hold an n x n block; it is reported against the eigenvalues
// as a 1 x n column.
void requireBlock(const CMatrix<float>& aM, int aN) {
  if (aM.xSize() < aN || aM.ySize() < aN) throw EIncompatibleMatrices(aM.xSize(), aM.ySize(), 1, aN);
}

// x' = x - s (y + tau x), y' = y + s (x - tau y), both from the old values.
inline void rotate(float& aX, float& aY, float aS, float aTau) {
  const float x = aX;
  const float y = aY;
  aX = x - aS * (y + aTau * x);
  aY = y + aS * (x - aTau * y);
}

}  // namespace

void PATransformation(const CMatrix<float>& aA, CVector<float>& aLambda, CMatrix<float>& aE) {
  const int n = aLambda.size();
  requireBlock(aA, n);
  requireBlock(aE, n);
  // Only the upper triangle (row <= column) of the copy is used.
  CMatrix<float> work(aA);
  auto B = [&work](int aRow, int aColumn) -> float& { return work(aColumn, aRow); };
  auto E = [&aE](int aRow, int aColumn) -> float& { return aE(aColumn, aRow); };
  aE.fill(0.0f);
  for (int i = 0; i < n; ++i) E(i, i) = 1.0f;

  if (n > 1) {
    for (;;) {
      float off = 0.0f;
      for (int i = 1; i < n; ++i)
        for (int j = 0; j < i; ++j) off = off + B(j, i) * B(j, i);
      if (!(2.0f * off > kZeroThreshold)) break;
      bool rotated = false;
      for (int p = 0; p < n - 1; ++p)
        for (int q = p + 1; q < n; ++q) {
          if (std::fabs(B(p, q)) < kZeroThreshold) continue;
          const float theta = static_cast<float>(static_cast<double>(B(q, q) - B(p, p)) /
                                                 (2.0 * static_cast<double>(B(p, q))));
          float t;
          float c;
          if (std::fabs(theta) > kAngleThreshold) {
            const float sign = theta / std::fabs(theta);
            t = static_cast<float>(1.0 / (static_cast<double>(theta) +
                                          static_cast<double>(sign) *
                                              std::sqrt(static_cast<double>(theta * theta) + 1.0)));
            c = static_cast<float>(1.0 / std::sqrt(static_cast<double>(t * t) + 1.0));
          } else {
            t = 1.0f;
            c = static_cast<float>(1.0 / kSqrt2);
          }
          const float s = t * c;
          const float tau = static_cast<float>(static_cast<double>(s) / (static_cast<double>(c) + 1.0));
          const float a = B(p, q);
          B(p, p) = B(p, p) - t * a;
          B(q, q) = B(q, q) + t * a;
          B(p, q) = 0.0f;
          for (int l = 0; l < p; ++l) rotate(B(l, p), B(l, q), s, tau);
          for (int l = p + 1; l < q; ++l) rotate(B(p, l), B(l, q), s, tau);
          for (int l = q + 1; l < n; ++l) rotate(B(p, l), B(q, l), s, tau);
          for (int l = 0; l < n; ++l) rotate(E(p, l), E(q, l), s, tau);
          rotated = true;
        }
      // Every element is below the threshold while their squares still add
      // up above it: another sweep would change nothing.
      if (!rotated) break;
    }
  }
  for (int i = 0; i < n; ++i) aLambda(i) = B(i, i);

  // Decreasing absolute value; the first of equal values stays first.
  for (int i = 0; i < n - 1; ++i) {
    int k = i;
    for (int j = i + 1; j < n; ++j)
      if (std::fabs(aLambda(j)) > std::fabs(aLambda(k))) k = j;
    if (k != i) {
      std::swap(aLambda(i), aLambda(k));
      for (int c = 0; c < n; ++c) std::swap(E(i, c), E(k, c));
    }
  }
}

void PABacktransformation(const CMatrix<float>& aE, const CVector<float>& aLambda, CMatrix<float>& aS) {
  const int n = aLambda.size();
  requireBlock(aE, n);
  requireBlock(aS, n);
  if (n < 1) return;
  // S[j][i] = sum over k of (lambda[k] E[k][i]) E[k][j], upper triangle first.
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      float sum = (aLambda(0) * aE(i, 0)) * aE(j, 0);
      for (int k = 1; k < n; ++k) sum = sum + (aLambda(k) * aE(i, k)) * aE(j, k);
      aS(i, j) = sum;
    }
  for (int i = 0; i < n - 1; ++i)
    for (int j = i + 1; j < n; ++j) aS(i, j) = aS(j, i);
}

void invRegularized(CMatrix<float>& aM, int aBound) {
  if (aM.xSize() != aM.ySize()) throw ENonquadraticMatrix(aM.xSize(), aM.ySize());
  const int n = aM.xSize();
  CVector<float> lambda(n);
  CMatrix<float> e(n, n);
  PATransformation(aM, lambda, e);
  const float bound = static_cast<float>(aBound);
  for (int i = 0; i < n; ++i) {
    if (bound > lambda(i))
      lambda(i) = static_cast<float>(1.0 / static_cast<double>(aBound));
    else
      lambda(i) = 1.0f / lambda(i);
  }
  PABacktransformation(e, lambda, aM);
}

}  // namespace NMath

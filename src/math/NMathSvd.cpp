// Singular value decomposition (Golub-Reinsch): Householder bidiagonalisation,
// accumulation of the transformations, implicitly shifted QR sweeps. The
// precision of every step (single, or double where noted) is part of the
// results and must not change.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <utility>
#include <vector>

#include "Exceptions.h"
#include "NMath.h"

namespace NMath {

namespace {

// sqrt(a^2 + b^2) without destructive overflow: quotient and its square in
// float, the rest in double, rounded to float at the end.
float hypotenuse(float aA, float aB) {
  const float at = std::fabs(aA);
  const float bt = std::fabs(aB);
  if (at > bt) {
    const float ct = bt / at;
    return static_cast<float>(static_cast<double>(at) * std::sqrt(1.0 + static_cast<double>(ct * ct)));
  }
  if (bt != 0.0f) {
    const float ct = at / bt;
    return static_cast<float>(static_cast<double>(bt) * std::sqrt(1.0 + static_cast<double>(ct * ct)));
  }
  return 0.0f;
}

// |a| with the sign of b (b = -0 counts as positive).
float withSign(float aA, float aB) { return aB >= 0.0f ? std::fabs(aA) : -std::fabs(aA); }

float larger(float aA, float aB) { return aA > aB ? aA : aB; }

float floatRoot(float aS) { return static_cast<float>(std::sqrt(static_cast<double>(aS))); }

}  // namespace

void svd(CMatrix<float>& aA, CMatrix<float>& aW, CMatrix<float>& aV, bool aSort, int aMaxIterations) {
  const int m = aA.ySize();
  const int n = aA.xSize();
  if (aW.xSize() < n || aW.ySize() < n) throw EIncompatibleMatrices(aA.xSize(), aA.ySize(), aW.xSize(), aW.ySize());
  if (aV.xSize() != n || aV.ySize() != n) throw EIncompatibleMatrices(aA.xSize(), aA.ySize(), aV.xSize(), aV.ySize());
  // Element access by row and column.
  auto A = [&aA](int aRow, int aColumn) -> float& { return aA(aColumn, aRow); };
  auto V = [&aV](int aRow, int aColumn) -> float& { return aV(aColumn, aRow); };
  auto W = [&aW](int aI) -> float& { return aW(aI, aI); };
  std::vector<float> e(n);  // superdiagonal of the bidiagonal form

  // Householder reduction to upper bidiagonal form.
  float g = 0.0f, scale = 0.0f, anorm = 0.0f;
  float s = 0.0f, f = 0.0f, h = 0.0f;
  int l = 0;
  for (int i = 0; i < n; ++i) {
    l = i + 1;
    e[i] = scale * g;
    g = s = scale = 0.0f;
    if (i < m) {
      for (int k = i; k < m; ++k) scale = scale + std::fabs(A(k, i));
      if (scale != 0.0f) {
        for (int k = i; k < m; ++k) {
          A(k, i) = A(k, i) / scale;
          s = s + A(k, i) * A(k, i);
        }
        f = A(i, i);
        g = -withSign(floatRoot(s), f);
        h = f * g - s;
        A(i, i) = f - g;
        for (int j = l; j < n; ++j) {
          s = 0.0f;
          for (int k = i; k < m; ++k) s = s + A(k, i) * A(k, j);
          f = s / h;
          for (int k = i; k < m; ++k) A(k, j) = A(k, j) + f * A(k, i);
        }
        for (int k = i; k < m; ++k) A(k, i) = A(k, i) * scale;
      }
    }
    W(i) = scale * g;
    g = s = scale = 0.0f;
    if (i < m && i != n - 1) {
      for (int k = l; k < n; ++k) scale = scale + std::fabs(A(i, k));
      if (scale != 0.0f) {
        for (int k = l; k < n; ++k) {
          A(i, k) = A(i, k) / scale;
          s = s + A(i, k) * A(i, k);
        }
        f = A(i, l);
        g = -withSign(floatRoot(s), f);
        h = f * g - s;
        A(i, l) = f - g;
        for (int k = l; k < n; ++k) e[k] = A(i, k) / h;
        for (int j = l; j < m; ++j) {
          s = 0.0f;
          for (int k = l; k < n; ++k) s = s + A(j, k) * A(i, k);
          for (int k = l; k < n; ++k) A(j, k) = A(j, k) + s * e[k];
        }
        for (int k = l; k < n; ++k) A(i, k) = A(i, k) * scale;
      }
    }
    anorm = larger(anorm, std::fabs(W(i)) + std::fabs(e[i]));
  }

  // Accumulation of the right-hand transformations.
  for (int i = n - 1; i >= 0; --i) {
    if (i < n - 1) {
      if (g != 0.0f) {
        const float denominator = g * A(i, l);
        for (int j = l; j < n; ++j) V(j, i) = A(i, j) / denominator;
        for (int j = l; j < n; ++j) {
          s = 0.0f;
          for (int k = l; k < n; ++k) s = s + A(i, k) * V(k, j);
          for (int k = l; k < n; ++k) V(k, j) = V(k, j) + s * V(k, i);
        }
      }
      for (int j = l; j < n; ++j) V(i, j) = V(j, i) = 0.0f;
    }
    V(i, i) = 1.0f;
    g = e[i];
    l = i;
  }

  // Accumulation of the left-hand transformations.
  for (int i = std::min(m, n) - 1; i >= 0; --i) {
    l = i + 1;
    g = W(i);
    for (int j = l; j < n; ++j) A(i, j) = 0.0f;
    if (g != 0.0f) {
      g = 1.0f / g;
      for (int j = l; j < n; ++j) {
        s = 0.0f;
        for (int k = l; k < m; ++k) s = s + A(k, i) * A(k, j);
        f = (s / A(i, i)) * g;
        for (int k = i; k < m; ++k) A(k, j) = A(k, j) + f * A(k, i);
      }
      for (int j = i; j < m; ++j) A(j, i) = A(j, i) * g;
    } else {
      for (int j = i; j < m; ++j) A(j, i) = 0.0f;
    }
    A(i, i) = A(i, i) + 1.0f;
  }

  // Diagonalisation of the bidiagonal form.
  const double norm = static_cast<double>(anorm);
  auto negligible = [norm](float aX) { return static_cast<double>(std::fabs(aX)) + norm == norm; };
  if (aMaxIterations >= 1) {
    for (int k = n - 1; k >= 0; --k) {
      for (int its = 1;; ++its) {
        // Look for a split; e[0] is always 0, so l = 0 ends the search (also
        // when the norm is not a number and nothing counts as negligible).
        bool cancel = true;
        for (l = k; l >= 0; --l) {
          if (l == 0 || negligible(e[l])) {
            cancel = false;
            break;
          }
          if (negligible(W(l - 1))) break;
        }
        if (cancel) {
          // W[l-1] is negligible: chase e[l] out with rotations.
          const int p = l - 1;
          float c = 0.0f;
          s = 1.0f;
          for (int i = l; i <= k; ++i) {
            f = s * e[i];
            e[i] = c * e[i];
            if (negligible(f)) break;
            g = W(i);
            h = hypotenuse(f, g);
            W(i) = h;
            h = 1.0f / h;
            c = g * h;
            s = -f * h;
            for (int r = 0; r < m; ++r) {
              const float y = A(r, p);
              const float z = A(r, i);
              A(r, p) = y * c + z * s;
              A(r, i) = z * c - y * s;
            }
          }
        }
        float z = W(k);
        if (l == k) {
          if (z < 0.0f) {
            W(k) = -z;
            for (int j = 0; j < n; ++j) V(j, k) = -V(j, k);
          }
          break;
        }
        if (its == aMaxIterations) std::cerr << "svd: No convergence in " << its << " iterations" << std::endl;
        // Shift from the bottom 2 x 2 minor.
        float x = W(l);
        const int q = k - 1;
        float y = W(q);
        g = e[q];
        h = e[k];
        f = static_cast<float>(static_cast<double>((y - z) * (y + z) + (g - h) * (g + h)) /
                               ((static_cast<double>(h) + static_cast<double>(h)) * static_cast<double>(y)));
        g = hypotenuse(f, 1.0f);
        f = static_cast<float>(
            (static_cast<double>((x - z) * (x + z)) +
             static_cast<double>(h) *
                 (static_cast<double>(y) / (static_cast<double>(f) + static_cast<double>(withSign(g, f))) -
                  static_cast<double>(h))) /
            static_cast<double>(x));
        // QR sweep.
        float c = 1.0f;
        s = 1.0f;
        for (int j = l; j <= q; ++j) {
          const int i = j + 1;
          g = e[i];
          y = W(i);
          h = s * g;
          g = c * g;
          z = hypotenuse(f, h);
          e[j] = z;
          c = f * (1.0f / z);
          s = h * (1.0f / z);
          f = x * c + g * s;
          g = g * c - x * s;
          h = y * s;
          y = y * c;
          for (int r = 0; r < n; ++r) {
            const float a = V(r, j);
            const float b = V(r, i);
            V(r, j) = a * c + b * s;
            V(r, i) = b * c - a * s;
          }
          z = hypotenuse(f, h);
          W(j) = z;
          if (z != 0.0f) {
            c = f * (1.0f / z);
            s = h * (1.0f / z);
          }
          f = c * g + s * y;
          x = c * y - s * g;
          for (int r = 0; r < m; ++r) {
            const float a = A(r, j);
            const float b = A(r, i);
            A(r, j) = a * c + b * s;
            A(r, i) = b * c - a * s;
          }
        }
        e[l] = 0.0f;
        e[k] = f;
        W(k) = x;
        if (its >= aMaxIterations) break;  // W[k] keeps the value reached
      }
    }
  }

  if (aSort) {
    for (int i = 0; i < n - 1; ++i) {
      int b = i;
      for (int j = i + 1; j < n; ++j)
        if (std::fabs(W(j)) > std::fabs(W(b))) b = j;
      if (b != i) {
        std::swap(W(i), W(b));
        for (int r = 0; r < m; ++r) std::swap(A(r, i), A(r, b));
        for (int r = 0; r < n; ++r) std::swap(V(r, i), V(r, b));
      }
    }
  }
}

void svdBack(CMatrix<float>& aU, const CMatrix<float>& aW, const CMatrix<float>& aV) {
  // The checks of the final product, made before U is scaled.
  if (aU.xSize() != aV.xSize()) throw EIncompatibleMatrices(aU.xSize(), aU.ySize(), aV.ySize(), aV.xSize());
  if (aW.xSize() < aU.xSize() || aW.ySize() < aU.xSize())
    throw EIncompatibleMatrices(aU.xSize(), aU.ySize(), aW.xSize(), aW.ySize());
  for (int r = 0; r < aU.ySize(); ++r)
    for (int c = 0; c < aU.xSize(); ++c) aU(c, r) = aU(c, r) * aW(c, c);
  aU *= aV.transposed();
}

}  // namespace NMath

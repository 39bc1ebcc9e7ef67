// Matrix sums and products returning new objects. Sizes are x-size (columns)
// by y-size (rows); A[r][c] below is element (c, r). A size mismatch throws
// EIncompatibleMatrices before anything is allocated. The arithmetic is that
// of T, with every partial sum held in the result element.
#pragma once

#include "CMatrix.h"
#include "CVector.h"
#include "Exceptions.h"

// Element-wise sum; both operands must have the same sizes.
template <typename T>
CMatrix<T> operator+(const CMatrix<T>& aLeft, const CMatrix<T>& aRight) {
  if (aLeft.xSize() != aRight.xSize() || aLeft.ySize() != aRight.ySize())
    throw EIncompatibleMatrices(aLeft.xSize(), aLeft.ySize(), aRight.xSize(), aRight.ySize());
  CMatrix<T> result(aLeft.xSize(), aLeft.ySize());
  const T* left = aLeft.data();
  const T* right = aRight.data();
  T* out = result.data();
  for (int i = 0, n = result.size(); i < n; ++i) out[i] = left[i] + right[i];
  return result;
}

// Matrix product; needs aLeft.xSize() == aRight.ySize(). The result has
// aRight's x-size and aLeft's y-size; R[r][j] accumulates A[r][k] * B[k][j]
// for k increasing.
template <typename T>
CMatrix<T> operator*(const CMatrix<T>& aLeft, const CMatrix<T>& aRight) {
  if (aLeft.xSize() != aRight.ySize())
    throw EIncompatibleMatrices(aLeft.xSize(), aLeft.ySize(), aRight.xSize(), aRight.ySize());
  const int inner = aLeft.xSize();
  const int columns = aRight.xSize();
  CMatrix<T> result(columns, aLeft.ySize());
  result.fill(T(0));
  for (int r = 0; r < aLeft.ySize(); ++r)
    for (int j = 0; j < columns; ++j) {
      T& sum = result(j, r);
      for (int k = 0; k < inner; ++k) sum = aLeft(k, r) * aRight(j, k) + sum;
    }
  return result;
}

// Matrix times column vector; needs aMatrix.xSize() == aVector.size() (the
// vector is reported as 1 x size). The result has aMatrix's y-size elements.
template <typename T>
CVector<T> operator*(const CMatrix<T>& aMatrix, const CVector<T>& aVector) {
  if (aMatrix.xSize() != aVector.size())
    throw EIncompatibleMatrices(aMatrix.xSize(), aMatrix.ySize(), 1, aVector.size());
  CVector<T> result(aMatrix.ySize());
  result.fill(T(0));
  for (int r = 0; r < aMatrix.ySize(); ++r) {
    T& sum = result(r);
    for (int k = 0; k < aMatrix.xSize(); ++k) sum = aMatrix(k, r) * aVector(k) + sum;
  }
  return result;
}

// Every element multiplied by the scalar.
template <typename T>
CMatrix<T> operator*(const T& aScalar, const CMatrix<T>& aMatrix) {
  CMatrix<T> result(aMatrix.xSize(), aMatrix.ySize());
  const T* in = aMatrix.data();
  T* out = result.data();
  for (int i = 0, n = result.size(); i < n; ++i) out[i] = aScalar * in[i];
  return result;
}

// In-place product and inverse of CMatrix<float>.
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "CMatrix.h"
#include "Exceptions.h"

template <>
CMatrix<float>& CMatrix<float>::operator*=(const CMatrix<float>& aRight) {
  if (mXSize != aRight.mYSize) throw EIncompatibleMatrices(mXSize, mYSize, aRight.mXSize, aRight.mYSize);
  const int inner = mXSize;
  const int columns = aRight.mXSize;
  // The product goes into a fresh array and the old one is read until the
  // product is complete, so aRight may be this matrix itself, and a failed
  // allocation leaves the matrix as it was.
  std::unique_ptr<float[]> product(new float[NContainers::elementCount(columns, mYSize)]);
  const float* left = mData.get();
  const float* right = aRight.mData.get();
  for (int r = 0; r < mYSize; ++r)
    for (int j = 0; j < columns; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < inner; ++k) sum = left[k + r * inner] * right[j + k * columns] + sum;
      product[j + r * columns] = sum;
    }
  mData = std::move(product);
  mXSize = columns;
  return *this;
}

template <>
void CMatrix<float>::inv() {
  if (mXSize != mYSize) throw ENonquadraticMatrix(mXSize, mYSize);
  const int n = mXSize;
  std::vector<int> permutation(n);
  std::vector<float> row(n);
  for (int i = 0; i < n; ++i) permutation[i] = i;
  float* a = mData.get();
  // a[c + r * n] is the element in row r and column c.
  for (int k = 0; k < n; ++k) {
    // Pivot: largest absolute value in column k from the diagonal down; the
    // upper row wins a tie.
    int pivotRow = k;
    float largest = std::fabs(a[k + k * n]);
    for (int r = k + 1; r < n; ++r) {
      const float value = std::fabs(a[k + r * n]);
      if (value > largest) {
        largest = value;
        pivotRow = r;
      }
    }
    // No tolerance: only an exactly zero remaining column stops the inversion.
    if (!(largest > 0.0f)) return;
    if (pivotRow > k) {
      for (int c = 0; c < n; ++c) std::swap(a[c + k * n], a[c + pivotRow * n]);
      std::swap(permutation[k], permutation[pivotRow]);
    }
    const float f = 1.0f / a[k + k * n];
    for (int s = 0; s < n; ++s) a[k + s * n] *= f;
    a[k + k * n] = f;
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      const float pivotRowValue = a[i + k * n];
      for (int s = 0; s < n; ++s)
        if (s != k) a[i + s * n] = a[i + s * n] - a[k + s * n] * pivotRowValue;
      a[i + k * n] = pivotRowValue * -f;
    }
  }
  // The row exchanges permuted the unknowns: put the columns back in order.
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) row[permutation[c]] = a[c + r * n];
    for (int c = 0; c < n; ++c) a[c + r * n] = row[c];
  }
}

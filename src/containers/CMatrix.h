// CMatrix<T>: a dense two-dimensional array that owns its storage.
//
// Element (x, y) lives at x + y * xSize(): rows one after another, x running
// fastest. For an image x is the column and y the row (row 0 at the top), which
// is also the order of a PGM raster; in linear algebra x is the column index
// and y the row index. Sizes are written x-size by y-size everywhere.
#pragma once

#include <algorithm>
#include <memory>
#include <utility>

#include "Allocation.h"
#include "Exceptions.h"

template <typename T>
class CMatrix {
public:
  // An empty matrix: both sizes 0, no storage.
  CMatrix() = default;
  // aXSize columns by aYSize rows, contents not initialised.
  CMatrix(int aXSize, int aYSize)
      : mXSize(aXSize), mYSize(aYSize), mData(new T[NContainers::elementCount(aXSize, aYSize)]) {}
  CMatrix(const CMatrix& aOther) : mXSize(aOther.mXSize), mYSize(aOther.mYSize) {
    const int n = size();
    if (aOther.mData) {
      mData.reset(new T[n]);
      std::copy(aOther.mData.get(), aOther.mData.get() + n, mData.get());
    }
  }
  CMatrix(CMatrix&& aOther) noexcept
      : mXSize(std::exchange(aOther.mXSize, 0)), mYSize(std::exchange(aOther.mYSize, 0)),
        mData(std::move(aOther.mData)) {}
  CMatrix& operator=(const CMatrix& aOther) {
    if (this != &aOther) {
      CMatrix copy(aOther);
      swap(copy);
    }
    return *this;
  }
  CMatrix& operator=(CMatrix&& aOther) noexcept {
    CMatrix moved(std::move(aOther));
    swap(moved);
    return *this;
  }
  virtual ~CMatrix() = default;

  // Releases the old storage, then allocates aXSize by aYSize elements (not
  // initialised). Old contents are not kept.
  void setSize(int aXSize, int aYSize) {
    mData.reset();
    mXSize = 0;
    mYSize = 0;
    const int n = NContainers::elementCount(aXSize, aYSize);
    mData.reset(new T[n]);
    mXSize = aXSize;
    mYSize = aYSize;
  }
  void fill(T aValue) { std::fill(mData.get(), mData.get() + size(), aValue); }

  int xSize() const { return mXSize; }
  int ySize() const { return mYSize; }
  // Number of elements, xSize() * ySize().
  int size() const { return mXSize * mYSize; }
  T* data() { return mData.get(); }
  const T* data() const { return mData.get(); }

  // Element (x, y); no bounds check.
  T& operator()(int aX, int aY) { return mData[aX + aY * mXSize]; }
  const T& operator()(int aX, int aY) const { return mData[aX + aY * mXSize]; }

  // A new matrix with the sizes exchanged whose element (y, x) is this one's (x, y).
  CMatrix transposed() const {
    CMatrix result(mYSize, mXSize);
    for (int y = 0; y < mYSize; ++y)
      for (int x = 0; x < mXSize; ++x) result(y, x) = (*this)(x, y);
    return result;
  }

  void swap(CMatrix& aOther) noexcept {
    std::swap(mXSize, aOther.mXSize);
    std::swap(mYSize, aOther.mYSize);
    std::swap(mData, aOther.mData);
  }

  // Element-wise sum and difference with a matrix of the same sizes; throws
  // EIncompatibleMatrices (left sizes, then right sizes) before changing
  // anything when the sizes differ.
  CMatrix& operator+=(const CMatrix& aRight) {
    checkSameSize(aRight);
    const T* right = aRight.mData.get();
    T* left = mData.get();
    for (int i = 0, n = size(); i < n; ++i) left[i] = left[i] + right[i];
    return *this;
  }
  CMatrix& operator-=(const CMatrix& aRight) {
    checkSameSize(aRight);
    const T* right = aRight.mData.get();
    T* left = mData.get();
    for (int i = 0, n = size(); i < n; ++i) left[i] = left[i] - right[i];
    return *this;
  }

  // Arithmetic of CMatrix<float> only (see MatrixOperators.cpp).
  // Replaces this matrix by this * aRight; needs xSize() == aRight.ySize(),
  // otherwise throws EIncompatibleMatrices and leaves both unchanged. The
  // result has aRight's x-size. aRight may be this matrix itself.
  CMatrix& operator*=(const CMatrix& aRight);
  // Replaces a square matrix by its inverse (Gauss-Jordan exchange steps with
  // partial pivoting); throws ENonquadraticMatrix when it is not square. A
  // singular matrix is not reported: the inversion stops at the first pivot
  // column that is zero from the diagonal down and leaves partial results.
  void inv();

  // Binary PGM files (CMatrix<float> only; see CMatrixPGM.cpp). The reader
  // replaces sizes and contents, or leaves the matrix unchanged and throws
  // EInvalidFileFormat or EFileError. The writer replaces the file only once
  // the whole image has been written, and throws EFileError otherwise.
  void readFromPGM(const char* aFilename);
  void writeToPGM(const char* aFilename) const;

protected:
  void checkSameSize(const CMatrix& aOther) const {
    if (mXSize != aOther.mXSize || mYSize != aOther.mYSize)
      throw EIncompatibleMatrices(mXSize, mYSize, aOther.mXSize, aOther.mYSize);
  }

  int mXSize = 0;
  int mYSize = 0;
  std::unique_ptr<T[]> mData;
};

template <>
void CMatrix<float>::readFromPGM(const char* aFilename);
template <>
void CMatrix<float>::writeToPGM(const char* aFilename) const;
template <>
CMatrix<float>& CMatrix<float>::operator*=(const CMatrix<float>& aRight);
template <>
void CMatrix<float>::inv();

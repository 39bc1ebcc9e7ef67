// CVector<T>: a dense one-dimensional array that owns its storage. Next to a
// matrix it is a column (x-size 1, y-size size()).
#pragma once

#include <algorithm>
#include <memory>
#include <utility>

#include "Allocation.h"

template <typename T>
class CVector {
public:
  CVector() = default;
  // aSize elements, not initialised.
  explicit CVector(int aSize) : mSize(aSize), mData(new T[NContainers::elementCount(aSize, 1)]) {}
  CVector(const CVector& aOther) : mSize(aOther.mSize) {
    if (aOther.mData) {
      mData.reset(new T[mSize]);
      std::copy(aOther.mData.get(), aOther.mData.get() + mSize, mData.get());
    }
  }
  CVector(CVector&& aOther) noexcept : mSize(std::exchange(aOther.mSize, 0)), mData(std::move(aOther.mData)) {}
  CVector& operator=(const CVector& aOther) {
    if (this != &aOther) {
      CVector copy(aOther);
      swap(copy);
    }
    return *this;
  }
  CVector& operator=(CVector&& aOther) noexcept {
    CVector moved(std::move(aOther));
    swap(moved);
    return *this;
  }
  virtual ~CVector() = default;

  // Releases the old storage, then allocates aSize elements (not initialised).
  void setSize(int aSize) {
    mData.reset();
    mSize = 0;
    mData.reset(new T[NContainers::elementCount(aSize, 1)]);
    mSize = aSize;
  }
  void fill(T aValue) { std::fill(mData.get(), mData.get() + mSize, aValue); }

  int size() const { return mSize; }
  T* data() { return mData.get(); }
  const T* data() const { return mData.get(); }
  T& operator()(int aIndex) { return mData[aIndex]; }
  const T& operator()(int aIndex) const { return mData[aIndex]; }

  void swap(CVector& aOther) noexcept {
    std::swap(mSize, aOther.mSize);
    std::swap(mData, aOther.mData);
  }

protected:
  int mSize = 0;
  std::unique_ptr<T[]> mData;
};

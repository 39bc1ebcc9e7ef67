// CTensor<T>: a dense three-dimensional array that owns its storage.
// Element (x, y, z) lives at x + xSize() * (y + ySize() * z).
#pragma once

#include <algorithm>
#include <memory>
#include <utility>

#include "Allocation.h"

template <typename T>
class CTensor {
public:
  CTensor() = default;
  // aXSize by aYSize by aZSize elements, not initialised.
  CTensor(int aXSize, int aYSize, int aZSize)
      : mXSize(aXSize), mYSize(aYSize), mZSize(aZSize),
        mData(new T[NContainers::elementCount(aXSize, aYSize, aZSize)]) {}
  CTensor(const CTensor& aOther) : mXSize(aOther.mXSize), mYSize(aOther.mYSize), mZSize(aOther.mZSize) {
    if (aOther.mData) {
      mData.reset(new T[size()]);
      std::copy(aOther.mData.get(), aOther.mData.get() + size(), mData.get());
    }
  }
  CTensor(CTensor&& aOther) noexcept
      : mXSize(std::exchange(aOther.mXSize, 0)), mYSize(std::exchange(aOther.mYSize, 0)),
        mZSize(std::exchange(aOther.mZSize, 0)), mData(std::move(aOther.mData)) {}
  CTensor& operator=(const CTensor& aOther) {
    if (this != &aOther) {
      CTensor copy(aOther);
      swap(copy);
    }
    return *this;
  }
  CTensor& operator=(CTensor&& aOther) noexcept {
    CTensor moved(std::move(aOther));
    swap(moved);
    return *this;
  }
  virtual ~CTensor() = default;

  // Releases the old storage, then allocates the new size (not initialised).
  void setSize(int aXSize, int aYSize, int aZSize) {
    mData.reset();
    mXSize = mYSize = mZSize = 0;
    mData.reset(new T[NContainers::elementCount(aXSize, aYSize, aZSize)]);
    mXSize = aXSize;
    mYSize = aYSize;
    mZSize = aZSize;
  }
  void fill(T aValue) { std::fill(mData.get(), mData.get() + size(), aValue); }

  int xSize() const { return mXSize; }
  int ySize() const { return mYSize; }
  int zSize() const { return mZSize; }
  int size() const { return mXSize * mYSize * mZSize; }
  T* data() { return mData.get(); }
  const T* data() const { return mData.get(); }
  T& operator()(int aX, int aY, int aZ) { return mData[aX + mXSize * (aY + mYSize * aZ)]; }
  const T& operator()(int aX, int aY, int aZ) const { return mData[aX + mXSize * (aY + mYSize * aZ)]; }

  void swap(CTensor& aOther) noexcept {
    std::swap(mXSize, aOther.mXSize);
    std::swap(mYSize, aOther.mYSize);
    std::swap(mZSize, aOther.mZSize);
    std::swap(mData, aOther.mData);
  }

protected:
  int mXSize = 0;
  int mYSize = 0;
  int mZSize = 0;
  std::unique_ptr<T[]> mData;
};

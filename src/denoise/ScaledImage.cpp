#include "ScaledImage.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

constexpr int kLineFloats = 16;  // a 64-byte cache line

}  // namespace

int CScaledImage::rowPitch(int aXSize, int aYSize) {
  if (aXSize <= 0 || aYSize <= 0) return std::max(aXSize, 0);
  std::int64_t lines = (static_cast<std::int64_t>(aXSize) + kLineFloats - 1) / kLineFloats;
  if (lines % 2 == 0) ++lines;
  const std::int64_t pitch = lines * kLineFloats;
  return pitch * aYSize <= INT_MAX ? static_cast<int>(pitch) : aXSize;
}

CScaledImage::CScaledImage(const float* aImage, int aXSize, int aYSize, float aScale)
    : mXSize(aXSize), mPitch(rowPitch(aXSize, aYSize)) {
  if (aXSize <= 0 || aYSize <= 0) return;
  mValues.resize(static_cast<std::size_t>(mPitch) * aYSize);
  for (int y = 0; y < aYSize; ++y) {
    const float* in = aImage + static_cast<std::size_t>(y) * aXSize;
    float* out = mValues.data() + static_cast<std::size_t>(y) * mPitch;
    for (int x = 0; x < aXSize; ++x) out[x] = aScale * in[x];
    std::fill(out + aXSize, out + mPitch, out[aXSize - 1]);
  }
}

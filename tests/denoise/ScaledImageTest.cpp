#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "ScaledImage.h"

TEST(ScaledImage, RowsAreAnOddNumberOfCacheLines) {
  for (int x : {1, 15, 16, 17, 32, 48, 100, 512, 2048, 4096})
    for (int y : {1, 3, 40}) {
      const int pitch = CScaledImage::rowPitch(x, y);
      EXPECT_GE(pitch, x);
      EXPECT_LT(pitch, x + 32);
      EXPECT_EQ(pitch % 16, 0) << x;
      EXPECT_EQ(pitch / 16 % 2, 1) << x;
    }
  EXPECT_EQ(CScaledImage::rowPitch(2048, 2048), 2064);
  EXPECT_EQ(CScaledImage::rowPitch(0, 5), 0);
}

// Positions are ints: where the longer rows would pass the int range, the
// rows keep the image's width.
TEST(ScaledImage, KeepsTheWidthWherePaddedPositionsWouldOverflow) {
  const int x = 46336, y = 46340;  // x * y fits an int, 46352 * y does not
  ASSERT_LE(static_cast<long long>(x) * y, INT_MAX);
  EXPECT_EQ(CScaledImage::rowPitch(x, y), x);
  EXPECT_EQ(CScaledImage::rowPitch(x, y / 2), 46352);
}

TEST(ScaledImage, ScalesEveryValueAndMapsPixelsBothWays) {
  const int xSize = 37, ySize = 5;
  const float scale = 1.0f / 9.0f;
  std::vector<float> image(xSize * ySize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<float>((i * 37) % 256);
  const CScaledImage scaled(image.data(), xSize, ySize, scale);
  const int pitch = scaled.pitch();
  ASSERT_EQ(pitch, 48);
  ASSERT_EQ(scaled.size(), static_cast<std::size_t>(pitch) * ySize);
  for (int y = 0; y < ySize; ++y) {
    for (int x = 0; x < xSize; ++x) {
      const int pixel = x + y * xSize;
      EXPECT_EQ(scaled.position(x, y), x + y * pitch);
      EXPECT_EQ(scaled.pixel(x + y * pitch), pixel);
      // The same float product as the plain feature.
      EXPECT_EQ(scaled.data()[x + y * pitch], scale * image[pixel]);
    }
    // The extra values repeat the row's last one: no new value enters the
    // range the tree is told of.
    for (int x = xSize; x < pitch; ++x)
      EXPECT_EQ(scaled.data()[x + y * pitch], scale * image[xSize - 1 + y * xSize]);
  }
}

// Large values take another allocation (on huge pages where offered); every
// value, the padding included, is still written.
TEST(ScaledImage, LargeImagesAreScaledInFull) {
  const int xSize = 1500, ySize = 1500;  // 9 MB of values with the padding
  std::vector<float> image(static_cast<std::size_t>(xSize) * ySize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<float>((i * 7919) % 256);
  const float scale = 1.0f / 9.0f;
  const CScaledImage scaled(image.data(), xSize, ySize, scale);
  const int pitch = scaled.pitch();
  ASSERT_EQ(scaled.size(), static_cast<std::size_t>(pitch) * ySize);
  // Whole huge pages from the start.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(scaled.data()) % (std::uintptr_t{1} << 21), 0u);
  int wrong = 0;
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < pitch; ++x) {
      const float expected = scale * image[std::min(x, xSize - 1) + static_cast<std::size_t>(y) * xSize];
      wrong += scaled.data()[x + static_cast<std::size_t>(y) * pitch] != expected;
    }
  EXPECT_EQ(wrong, 0);
}

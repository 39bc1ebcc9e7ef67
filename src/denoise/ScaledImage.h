// The patch features of an image for the cluster trees: every value times
// the feature scale, in rows a little longer than the image's. The tree
// reads a patch's rows one after another; rows whose length is a large
// power of two apart (a 2048-wide image's rows are 8 KiB apart) all fall
// into the same few cache sets and evict each other, so each row here is an
// odd number of cache lines long. The extra values repeat the row's last one
// and no patch reads them.
#pragma once

#include <vector>

class CScaledImage {
public:
  // aScale times each of the aXSize x aYSize values at aImage (row-major).
  CScaledImage(const float* aImage, int aXSize, int aYSize, float aScale);

  // The scaled values: value (x, y) at x + y * pitch().
  const std::vector<float>& values() const { return mValues; }
  // Floats from the start of one row to the next.
  int pitch() const { return mPitch; }
  // The pitch of an aXSize x aYSize image: whole cache lines, an odd number
  // of them, unless positions would then pass the int range (then aXSize).
  static int rowPitch(int aXSize, int aYSize);

  // Where the feature of pixel (x, y) starts, and the pixel index x + y *
  // xSize of a position.
  int position(int aX, int aY) const { return aX + aY * mPitch; }
  int pixel(int aPosition) const { return aPosition - aPosition / mPitch * (mPitch - mXSize); }

private:
  int mXSize;
  int mPitch;
  std::vector<float> mValues;
};

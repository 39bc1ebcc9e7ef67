// The patch features of an image for the cluster trees: every value times
// the feature scale, in rows a little longer than the image's. The tree
// reads a patch's rows one after another; rows whose length is a large
// power of two apart (a 2048-wide image's rows are 8 KiB apart) all fall
// into the same few cache sets and evict each other, so each row here is an
// odd number of cache lines long. The extra values repeat the row's last one
// and no patch reads them. A large image's values lie on huge pages where
// the system offers them (see the constructor).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

class CScaledImage {
public:
  // aScale times each of the aXSize x aYSize values at aImage (row-major).
  // Values of 8 MiB and more are asked to lie on huge pages: the tree reads
  // patches all over the image, and each of a patch's nine rows lies on
  // another 4 KiB page, more pages in all than the processor's address cache
  // holds for a 2048 x 2048 image. Throws std::bad_alloc without the memory.
  CScaledImage(const float* aImage, int aXSize, int aYSize, float aScale);

  // The scaled values, size() of them: value (x, y) at x + y * pitch().
  const float* data() const { return mValues.get(); }
  std::size_t size() const { return mSize; }
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
  struct CFree {
    void operator()(float* aValues) const { std::free(aValues); }
  };

  int mXSize;
  int mPitch;
  std::size_t mSize = 0;
  std::unique_ptr<float[], CFree> mValues;
};

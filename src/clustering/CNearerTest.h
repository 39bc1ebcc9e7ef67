// Which of two centres a patch lies nearer to, as the exact float sums of
// centreDistances2 would say, settled for most patches by a cheap estimate
// whose error is bounded: a split only compares the two distances, and the
// comparison is clear long before the sums are.
#pragma once

#include <cstdint>
#include <vector>

#include "PatchKernels.h"

namespace NPatchKernels {

// What CNearerTest::sides reports for a patch, with d0 and d1 the exact
// centreDistances2 sums to the first and second centre.
enum ENearer : std::uint8_t {
  kNearerSecond = 0,  // d1 <= d0
  kNearerFirst = 1,   // d1 > d0
  kUndecided = 2,     // too close to call: compute the sums
};

class CNearerTest {
public:
  // Prepares the test for two centres of aLayout's length, for patches whose
  // components all lie in [aLow, aHigh]. Returns false, and leaves the test
  // unusable, when no bound can be given (a value not finite, or so large
  // that the bound would be useless).
  bool prepare(const CPatchLayout& aLayout, const float* aCentre0, const float* aCentre1, float aLow, float aHigh);

  // aOut[i] = the side of the patch at aPixels[i], i < aCount. Needs a
  // successful prepare with the same layout.
  void sides(const CPatchLayout& aLayout, const int* aPixels, int aCount, std::uint8_t* aOut) const;

private:
  // d1 - d0 is estimated as mOffset + 2 * (feature . (c0 - c1)); mDifference
  // holds c0 - c1 in component order, mRowWeights the same values for the
  // row-wise kernel (see the .cpp).
  std::vector<float> mDifference;
  std::vector<float> mRowWeights;
  // The runs of eight columns that the row-wise kernel reads, and for each
  // of its weights the component it takes (-1: none), for patches of mSide.
  int mSide = 0;
  std::vector<int> mChunkStarts;
  std::vector<int> mRowSource;
  float mOffset = 0.0f;
  float mThreshold = 0.0f;
};

}  // namespace NPatchKernels

// The ranking keys of every pixel's search window (the bounded distance, or
// infinity where it is undefined), each pair of pixels measured once. The
// distance is symmetric to the bit, so a pixel's keys for the candidates
// before it in its window's scan order are those that these candidates
// found for it. Row by row: the row's pixels measure their forward
// candidates (those after them in the scan) into a ring of the last R + 1
// rows, and each pixel's window is then read from the ring. The keys are
// those of NLMeansKernels::windowDistances, to the bit.
//
// The image is cut into bands of rows, one job each; a band first measures
// the R rows above it for itself, so bands are independent.
#pragma once

#include <cstddef>
#include <vector>

#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"

class CPairedDistances {
public:
  // Whether the plan serves an image of X x Y with search radius aRadius on
  // this processor: the vector kernels are in use, the radius is at least 1,
  // and a band's ring of keys stays within some tens of megabytes.
  static bool serves(int aXSize, int aYSize, int aRadius);

  // Keeps pointers to the image and the window, which must outlive it;
  // serves() must hold.
  CPairedDistances(const float* aImage, int aXSize, int aYSize, int aRadius,
                   const NLMeansCommon::CPatchWindow& aWindow, int aThreads);

  int jobs() const { return static_cast<int>(mBandStarts.size()) - 1; }
  // Calls aVisit(x, y, keys) for every pixel of band aJob, row by row: keys
  // over windowBounds(X, Y, x, y, R), candidate (qx, qy) at (qx - xLow) +
  // (qy - yLow) * width, the pixel itself included; valid during the call.
  // aRowDone() follows each row.
  template <typename Visit, typename RowDone>
  void run(int aJob, Visit&& aVisit, RowDone&& aRowDone) const {
    CBand band(*this, aJob);
    for (int y = band.firstRow(); y < mBandStarts[aJob + 1]; ++y) {
      band.measureForward(y);
      if (y < mBandStarts[aJob]) continue;
      const bool wholeRow = band.prepareWhole(y);
      for (int x = 0; x < mXSize;) {
        if (wholeRow && x >= mRadius && x + kGroup - 1 <= mXSize - 1 - mRadius) {
          // Eight pixels whose windows lie inside the image, read together.
          const float* const windows = band.wholeWindows(x);
          for (int l = 0; l < kGroup; ++l) aVisit(x + l, y, windows + static_cast<std::size_t>(l) * band.wholeSize());
          x += kGroup;
        } else {
          aVisit(x, y, band.window(x, y));
          ++x;
        }
      }
      aRowDone();
    }
  }

private:
  static constexpr int kGroup = 8;

  // A band's ring of forward keys: R + 1 rows, each slot-major with the
  // row's columns padded by R on the left and R + 8 on the right; and the
  // room for one pixel's window, or for eight whole ones.
  class CBand {
  public:
    CBand(const CPairedDistances& aPlan, int aJob);
    int firstRow() const { return mFirstRow; }
    void measureForward(int aY);
    // The window of pixel (aX, aY), valid until the next call.
    const float* window(int aX, int aY);
    // Whether the windows of row aY lie inside the image across it; if so,
    // where each of their entries is read for column 0.
    bool prepareWhole(int aY);
    // The whole windows of the pixels aX .. aX + 7 of the prepared row, one
    // after another (wholeSize() keys each), valid until the next call.
    const float* wholeWindows(int aX);
    std::size_t wholeSize() const { return mEntries.size(); }

  private:
    float* keys(int aY, int aSlot);
    const CPairedDistances& mPlan;
    int mFirstRow;
    std::vector<float> mKeys;
    std::vector<float> mWindow;
    std::vector<const float*> mEntries;
    std::vector<float> mWhole;
  };

  const float* mImage;
  int mXSize, mYSize, mRadius;
  const NLMeansCommon::CPatchWindow& mWindow;
  std::size_t mPaddedWidth;
  std::vector<int> mBandStarts;
};

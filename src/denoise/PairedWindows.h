// The windowed non-local means of every pixel of an image, each pair of
// pixels weighed once. The distance is symmetric to the bit, so a pixel's
// weights for the candidates before it in its window's scan order are those
// that these candidates found for it. Row by row: the row's pixels weigh
// their forward candidates (those after them in the scan); each pixel below
// within R rows takes the weights that concern it into its running sums at
// once (its earlier rows come first, as in the plain order), and the row's
// own pixels finish their sums with the row's weights. The estimates are
// those of the plain windowed loop, to the bit.
//
// The image is cut into bands of rows, one job each; a band first weighs the
// R rows above it for itself, so bands are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CNLMeansCommon.h"

class CPairedWindows {
public:
  // Whether the plan serves an image of X x Y with search radius aRadius on
  // this processor: the vector kernels are in use, the radius is at least 1,
  // and a band's working memory (a row of weights per slot of the window)
  // stays within some tens of megabytes.
  static bool serves(int aXSize, int aYSize, int aRadius);

  // Keeps pointers to the two images and the window, which must outlive it;
  // serves() must hold. Makes a padded copy of the values.
  CPairedWindows(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize, int aRadius,
                 float aKernel, const NLMeansCommon::CPatchWindow& aWindow, int aThreads);

  int jobs() const { return static_cast<int>(mBandStarts.size()) - 1; }
  // Estimates the pixels of band aJob, row by row: aStore(pixel index,
  // estimate) for each.
  template <typename Store>
  void run(int aJob, Store&& aStore) const {
    CBand band(*this, aJob);
    for (int y = band.firstRow(); y < mBandStarts[aJob + 1]; ++y) {
      const NLMeansCommon::CEstimate* const estimates = band.row(y);
      if (!estimates) continue;
      for (int x = 0; x < mXSize; ++x) aStore(x + y * mXSize, estimates[x]);
    }
  }

private:
  static constexpr int kLanes = 8;

  // A band's working memory: the forward weights of one row, slot-major with
  // the row's columns padded by R on the left and R + 8 on the right (never
  // defined), and the running sums of the next R + 1 rows.
  class CBand {
  public:
    CBand(const CPairedWindows& aPlan, int aJob);
    int firstRow() const { return mFirstRow; }
    // Weighs row aY's forward candidates and hands the weights on; returns
    // the row's estimates (valid until the next call), or none for a row
    // above the band.
    const NLMeansCommon::CEstimate* row(int aY);

  private:
    void weighForward(int aY);
    void handOn(int aY);
    const NLMeansCommon::CEstimate* finish(int aY);
    float* weights(int aSlot);
    std::uint8_t* defined(int aSlot);
    float* sums(int aY);
    const CPairedWindows& mPlan;
    int mFirstRow, mFirstEstimated, mEnd, mGroups;
    std::vector<float> mWeights;
    std::vector<std::uint8_t> mDefined;
    std::vector<float> mSums;
    std::vector<NLMeansCommon::CEstimate> mEstimates;
  };

  const float* mDistance;
  int mXSize, mYSize, mRadius;
  float mKernel;
  const NLMeansCommon::CPatchWindow& mWindow;
  // Row y's values at y * mPaddedWidth + mRadius, zero around.
  std::size_t mPaddedWidth;
  std::vector<float> mValues;
  std::vector<int> mBandStarts;
};

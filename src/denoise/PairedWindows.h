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

  // Keeps pointers to the distance image and the window, which must outlive
  // it; serves() must hold. Makes padded copies of the values and, when
  // given (preselection), of the patch means and spreads: candidate q of
  // pixel p then counts only where
  // preselectionAccepts(mean p, mean q, spread p, spread q).
  CPairedWindows(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize, int aRadius,
                 float aKernel, const NLMeansCommon::CPatchWindow& aWindow, int aThreads,
                 const float* aMean = nullptr, const float* aSpread = nullptr);

  int jobs() const { return static_cast<int>(mBandStarts.size()) - 1; }
  // Estimates the pixels of band aJob, row by row: aStore(pixel index,
  // estimate) for each, and aRowDone() after each row.
  template <typename Store, typename RowDone>
  void run(int aJob, Store&& aStore, RowDone&& aRowDone) const {
    CBand band(*this, aJob);
    for (int y = band.firstRow(); y < mBandStarts[aJob + 1]; ++y) {
      const NLMeansCommon::CEstimate* const estimates = band.row(y);
      if (!estimates) continue;
      for (int x = 0; x < mXSize; ++x) aStore(x + y * mXSize, estimates[x]);
      aRowDone();
    }
  }

private:
  static constexpr int kLanes = 8;

  // One candidate of a row's pixels, pixel x's at index x of each array: its
  // weight, its flag, its value and, for preselection, the statistics of the
  // candidate and of the pixel.
  struct CCandidate {
    const float* weights;
    const std::uint8_t* defined;
    const float* values;
    const float* meanQ;
    const float* spreadQ;
    const float* meanP;
    const float* spreadP;
  };
  // Adds one candidate to the running sums of a row's aGroups lane groups of
  // eight pixels (group g's at aSums + 24g). Lanes whose candidate is outside
  // the image, has an undefined distance or (Tested) fails preselection's
  // test keep their sums: the plain loop skips that candidate.
  template <bool Tested>
  static void addCandidate(float* aSums, int aGroups, const CCandidate& aCandidate);

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
    // The candidate whose flags and weights start at aDefined and aWeights
    // and whose padded row starts at aAt, of the pixels whose padded row
    // starts at aPixelAt.
    CCandidate candidate(const float* aWeights, const std::uint8_t* aDefined, std::size_t aAt,
                         std::size_t aPixelAt) const;
    void add(float* aSums, const CCandidate& aCandidate);
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
  // Row y's values (and means and spreads, when tested) at y * mPaddedWidth
  // + mRadius, zero around.
  std::size_t mPaddedWidth;
  std::vector<float> mValues, mMean, mSpread;
  std::vector<int> mBandStarts;
};

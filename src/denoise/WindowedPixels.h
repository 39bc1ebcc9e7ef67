// Pixels to be estimated by the windowed non-local means (all of them for
// the reference method; image borders and pixels inside no block for the
// tree denoisers), planned as runs of pixels along rows and along columns
// where the kernels can take several at once, and single pixels elsewhere.
// The plan is cut into jobs for the threads; each job's estimates equal the
// plain windowed estimates.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"

class CWindowedPixels {
public:
  // The pixels p with aMask[p] set (X x Y, row-major), their windows of
  // radius aRadius over aDistanceImage, values from aValues, the weight
  // expf(aKernel * D). Keeps pointers to the two images and the window,
  // which must outlive it.
  CWindowedPixels(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize,
                  const std::vector<std::uint8_t>& aMask, int aRadius, float aKernel,
                  const NLMeansCommon::CPatchWindow& aWindow);

  // The jobs: about 64 pixels each, or one run.
  int jobs() const { return static_cast<int>(mJobStarts.size()) - 1; }
  // Pixels in job aJob.
  int pixels(int aJob) const;
  // Estimates the pixels of job aJob: aStore(pixel index, estimate) for each,
  // and aBetween() after each run or single pixel.
  template <typename Store, typename Between>
  void run(int aJob, Store&& aStore, Between&& aBetween) const {
    for (int i = mJobStarts[aJob]; i < mJobStarts[aJob + 1]; ++i) {
      const CItem& item = mItems[i];
      if (item.kind == kSingle) {
        const int x = item.pixel % mXSize, y = item.pixel / mXSize;
        aStore(item.pixel, NLMeansKernels::windowedEstimate(mDistance, mValues, mXSize, mYSize, x, y, mRadius,
                                                            mKernel, mWindow));
      } else {
        NLMeansCommon::CEstimate estimates[NLMeansKernels::kRunLength];
        runEstimates(item, estimates);
        const int step = item.kind == kAlongX ? 1 : mXSize;
        for (int l = 0; l < NLMeansKernels::kRunLength; ++l) aStore(item.pixel + l * step, estimates[l]);
      }
      aBetween();
    }
  }

private:
  enum EKind : std::uint8_t { kSingle, kAlongX, kAlongY };
  struct CItem {
    int pixel;  // the first of a run
    EKind kind;
  };
  void runEstimates(const CItem& aItem, NLMeansCommon::CEstimate* aEstimates) const;

  const float* mDistance;
  const float* mValues;
  int mXSize, mYSize, mRadius;
  float mKernel;
  const NLMeansCommon::CPatchWindow& mWindow;
  // Transposed copies of the two images, pixel (x, y) at x * ySize + y, for
  // runs along columns (none when there are none).
  std::unique_ptr<float[]> mDistanceT, mValuesT;
  std::vector<CItem> mItems;
  std::vector<int> mJobStarts;
};

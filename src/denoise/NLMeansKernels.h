// The fast kernels behind the shared non-local means pieces: patch distances
// for many candidates side by side, each summed in exactly the order of the
// plain loops of CNLMeansCommon.h (which remain their definition and are
// compared with them in the tests). AVX2 is used where the processor has it,
// a portable path elsewhere; both give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "CNLMeansCommon.h"

namespace NLMeansKernels {

// Where the estimates of a leaf go: pixel index p = x + y * imageXSize of the
// image goes to out[(x - originX) + (y - originY) * outXSize].
struct COutput {
  float* out;
  int outXSize;
  int originX;
  int originY;
};

// Estimates every primary member of one leaf from all members of the leaf
// (pixel indices in the image of aXSize columns, patches at least r from
// every edge): the whole-patch distance on aDistanceImage, the weight
// expf(aKernel * D), the values from aValues; each pair's weight is computed
// once. An estimate is written only when its weight sum is positive.
// aBetweenRows, when set, is called now and then (between rows of the pair
// matrix), for the caller to take up other work. aDistanceBytes, when given,
// is aDistanceImage as exactBytes made it: the patches are then read from it,
// the same values from a quarter of the memory. When aValues is
// aDistanceImage, the members' values are taken from their gathered patches.
void leafEstimates(const float* aDistanceImage, const float* aValues, int aXSize,
                   const NLMeansCommon::CPatchWindow& aWindow, float aKernel, const std::vector<int>& aMembers,
                   const std::vector<std::uint8_t>& aIsCopy, const COutput& aOutput,
                   const std::function<void()>& aBetweenRows = {}, const std::uint8_t* aDistanceBytes = nullptr);

// The aCount values at aImage as bytes, when every one of them is a byte's
// value exactly (an integer from 0 to 255, and not -0), as the values read
// from 8-bit images are; otherwise empty. A few bytes of padding follow the
// values, for the kernels' whole-row loads.
std::vector<std::uint8_t> exactBytes(const float* aImage, std::size_t aCount);

// Whether leafEstimates reads patches of aWindow from the bytes it is given
// (9 x 9 patches, on processors with AVX2); otherwise the bytes go unused.
bool gathersBytes(const NLMeansCommon::CPatchWindow& aWindow);

// aWeights[i] = expf(aKernel * D(p, q_i)) for the aCount candidates q_i at
// aCandidates[i] and the pixel p at aPixel (pixel indices in the image of
// aXSize columns), D the whole-patch distance on aDistanceImage as
// NLMeansCommon::boundedDistance gives it: every patch must lie at least r
// from every edge. The candidates' distances are summed side by side.
void candidateWeights(const float* aDistanceImage, int aXSize, const NLMeansCommon::CPatchWindow& aWindow,
                      float aKernel, int aPixel, const int* aCandidates, int aCount, float* aWeights);

// Windowed non-local means of one pixel, as NLMeansCommon::windowedEstimate.
NLMeansCommon::CEstimate windowedEstimate(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize,
                                          int aX, int aY, int aRadius, float aKernel,
                                          const NLMeansCommon::CPatchWindow& aWindow);

// Pixels estimated together by windowedRunEstimates.
constexpr int kRunLength = 8;
// The images of windowed runs, xSize x ySize pixels: pixel (x, y) of the
// distance image and of the values at x * xStride + y * yStride. A run goes
// along x when xStride is 1 (plain images), along y when yStride is 1
// (transposed ones).
struct CRunPlanes {
  const float* distance;
  const float* values;
  int xSize, ySize;
  std::ptrdiff_t xStride, yStride;
};
// Whether the run of kRunLength pixels from (aX, aY) can go to
// windowedRunEstimates: inside the image, and along the run their search
// windows of radius aRadius, and the patches of all their candidates, lie
// inside it (across it they may be clipped).
inline bool windowedRunFits(const CRunPlanes& aPlanes, int aX, int aY, int aRadius,
                            const NLMeansCommon::CPatchWindow& aWindow) {
  const long long reach = static_cast<long long>(aRadius) + aWindow.radius;
  const bool alongX = aPlanes.xStride == 1;
  const long long along = alongX ? aX : aY, size = alongX ? aPlanes.xSize : aPlanes.ySize;
  const long long across = alongX ? aY : aX, acrossSize = alongX ? aPlanes.ySize : aPlanes.xSize;
  return aRadius >= 0 && across >= 0 && across < acrossSize && along >= reach &&
         along + (kRunLength - 1) + reach <= size - 1;
}
// aEstimates[l] = windowedEstimate of the run's pixel l, to the bit, for
// l < kRunLength; the run must fit (windowedRunFits).
void windowedRunEstimates(const CRunPlanes& aPlanes, int aX, int aY, int aRadius, float aKernel,
                          const NLMeansCommon::CPatchWindow& aWindow,
                          NLMeansCommon::CEstimate aEstimates[kRunLength]);

// The forward candidates of a pixel: those after it in its window's scan
// order, at offsets (ox, oy) with oy = 0 < ox or oy > 0 (|ox|, oy <= R). The
// distance is symmetric to the bit ((a - b)^2 is (b - a)^2, and the offsets
// both patches share are the same), so a pixel's weights for its earlier
// candidates are those that the candidates found for it as forward ones.
// Slots: ox - 1 for oy = 0, then row oy > 0 from R + (oy - 1) * (2R + 1).
inline int forwardSlots(int aRadius) { return aRadius * (2 * aRadius + 2); }
inline int forwardSlot(int aRadius, int aOx, int aOy) {
  return aOy == 0 ? aOx - 1 : aRadius + (aOy - 1) * (2 * aRadius + 1) + (aOx + aRadius);
}
// The weights expf(aKernel * D) of the forward candidates of pixel (aX, aY),
// D the bounded distance on aImage (X x Y): slot s at aWeights[s * aStride]
// and aDefined[s * aStride] 0xFF, or aDefined 0 (weight unset) where the
// candidate lies outside the image or D is undefined. Any pixel of the image.
void forwardPixelWeights(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius, float aKernel,
                         const NLMeansCommon::CPatchWindow& aWindow, float* aWeights, std::uint8_t* aDefined,
                         std::size_t aStride);
// forwardPixelWeights of the run of kRunLength pixels from (aX, aY) along a
// row, pixel l at aWeights + l and aDefined + l; the run must fit
// (windowedRunFits on the plain image).
void forwardRunWeights(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius, float aKernel,
                       const NLMeansCommon::CPatchWindow& aWindow, float* aWeights, std::uint8_t* aDefined,
                       std::size_t aStride);

// The ranking keys of the forward candidates of pixel (aX, aY): the bounded
// distance D on aImage, or infinity where it is undefined, slot s at
// aRanks[s * aStride]; candidates outside the image get infinity too. The
// pixel's own key follows at slot forwardSlots(aRadius). Any pixel of the
// image.
void forwardPixelRanks(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius,
                       const NLMeansCommon::CPatchWindow& aWindow, float* aRanks, std::size_t aStride);
// forwardPixelRanks of the run of kRunLength pixels from (aX, aY) along a
// row, pixel l at aRanks + l; the run must fit (windowedRunFits on the plain
// image).
void forwardRunRanks(const float* aImage, int aXSize, int aYSize, int aX, int aY, int aRadius,
                     const NLMeansCommon::CPatchWindow& aWindow, float* aRanks, std::size_t aStride);

// The search window of radius aRadius around (aX, aY), clipped to the image:
// columns xLow..xHigh, rows yLow..yHigh (empty when a low bound exceeds its
// high bound, as for a negative radius). Any int arguments are safe.
struct CWindowBounds {
  int xLow, xHigh, yLow, yHigh;
  int width() const { return xHigh >= xLow ? xHigh - xLow + 1 : 0; }
  int height() const { return yHigh >= yLow ? yHigh - yLow + 1 : 0; }
  int count() const { return width() * height(); }
};
CWindowBounds windowBounds(int aXSize, int aYSize, int aX, int aY, int aRadius);
// The most candidates any such window of the image can hold.
inline std::size_t largestWindow(int aXSize, int aYSize, int aRadius) {
  if (aRadius < 0) return 0;
  const long long side = 2LL * aRadius + 1;
  const std::size_t width = static_cast<std::size_t>(side < aXSize ? side : aXSize);
  return width * static_cast<std::size_t>(side < aYSize ? side : aYSize);
}

// Bounded patch distances (as NLMeansCommon::boundedDistance) of pixel
// (aX, aY) to every candidate of aBounds, rows ascending and columns
// ascending within a row (candidate (qx, qy) at index (qx - xLow) +
// (qy - yLow) * width), the pixel itself included when it lies in them. The
// pixel may lie outside the image by up to the patch radius; then only the
// offsets inside count. aDistances[i] gets candidate i's distance and
// aDefined[i] 1, or 0 when the two patches share no weighted offset (the
// distance is then left unset). Both arrays need room for aBounds.count().
void windowDistances(const float* aImage, int aXSize, int aYSize, int aX, int aY, const CWindowBounds& aBounds,
                     const NLMeansCommon::CPatchWindow& aWindow, float* aDistances, std::uint8_t* aDefined);

// windowDistances pixel after pixel, for callers that visit the pixels of an
// image row in order: where a run of kRunLength pixels along the row fits
// (windowedRunFits) and the windows are not huge, its distances are worked
// out together on the first pixel's call and handed out from then on. One
// object per thread.
class CRowDistances {
public:
  CRowDistances(const float* aImage, int aXSize, int aYSize, int aRadius, const NLMeansCommon::CPatchWindow& aWindow);
  // The distances and flags of pixel (aX, aY), as windowDistances gives them
  // over windowBounds(xSize, ySize, aX, aY, radius); valid until the next call.
  void at(int aX, int aY, const float*& aDistances, const std::uint8_t*& aDefined);
  // The ranking keys of pixel (aX, aY) into aRanks (room for its window): the
  // distance, or infinity where it is undefined, so that such a candidate
  // ranks last.
  void ranksAt(int aX, int aY, float* aRanks);

private:
  const float* mImage;
  int mXSize, mYSize, mRadius;
  const NLMeansCommon::CPatchWindow& mWindow;
  // Room for one pixel's window, then for a run's (the run held starts at
  // mRunX, mRunY; none while mRunX is below 0).
  int mRunX = -1, mRunY = -1;
  std::vector<float> mDistances;
  std::vector<std::uint8_t> mDefined;
  std::size_t mStride;
};

// aWeights[i] = expf(aKernel * aDistances[i]) for each of the aCount
// candidates with aDefined[i] set; the others get a weight that must not be
// used. aWeights may be aDistances.
void windowWeights(const float* aDistances, const std::uint8_t* aDefined, int aCount, float aKernel, float* aWeights);

// True when the AVX2 paths are in use; forcePortable switches them off (tests).
bool usesAvx2();
void forcePortable(bool aPortable);

}  // namespace NLMeansKernels

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "Parallel.h"
#include "Progress.h"

using namespace NLMeansCommon;

namespace {

// One standard normal value from two draws of rand() (Box-Muller); a zero
// first draw gives 0.
float gaussianDraw(int aT, int aU) {
  const float scale = 4.656613e-10f;  // 2^-31
  const float f = static_cast<float>(aT) * scale;
  if (!(f > 0.0f)) return 0.0f;
  const double angle = static_cast<double>(static_cast<float>(aU) * scale) * 6.2831853072;
  return static_cast<float>(std::sqrt(std::log(static_cast<double>(f)) * -2.0) * std::cos(angle));
}

// The candidates accepted for a run of pixels (raster order), each pixel's in
// the order they were drawn: pixel first + i has candidates[start[i] ..
// start[i + 1]), as pixel indices x + y * X.
struct CDraws {
  int first = 0;
  int count = 0;
  std::vector<int> start;
  std::vector<int> candidates;
};

// Draws the candidates of pixels aFirst .. aFirst + aCount - 1 exactly as one
// pass over them would: which positions a pixel accepts depends only on the
// draws and the image's size, never on its values.
class CDrawer {
public:
  CDrawer(int aXSize, int aYSize, int aRadius, int aCount)
      : mXSize(aXSize), mYSize(aYSize), mRadius(aRadius), mCount(aCount), mScale(static_cast<double>(aRadius) * 0.5) {}

  void draw(int aFirst, int aCount, CDraws& aDraws) {
    aDraws.first = aFirst;
    aDraws.count = aCount;
    aDraws.start.assign(1, 0);
    aDraws.candidates.clear();
    const long long radius = mRadius;
    const long long maxFailures = 5LL * mCount;
    for (int p = aFirst; p < aFirst + aCount; ++p) {
      const int x = p % mXSize, y = p / mXSize;
      const int xLow = static_cast<int>(std::max(x - radius, 0LL));
      const int xHigh = static_cast<int>(std::min(x + radius - 1, mXSize - 1LL));
      const int yLow = static_cast<int>(std::max(y - radius, 0LL));
      const int yHigh = static_cast<int>(std::min(y + radius - 1, mYSize - 1LL));
      // Drawn positions of this pixel, kept only over the part of its offset
      // range [-R, R - 1]^2 that lies inside the image.
      const int maskWidth = xHigh - xLow + 1;
      mDrawn.assign(static_cast<size_t>(maskWidth) * (yHigh - yLow + 1), 0);
      mDrawn[(x - xLow) + (y - yLow) * maskWidth] = 1;  // never the pixel itself
      int accepted = 0;
      long long failures = 0;
      while (accepted < mCount) {
        const int t1 = std::rand();
        const int u1 = std::rand();
        const int t2 = std::rand();
        const int u2 = std::rand();
        const float g1 = gaussianDraw(t1, u1), g2 = gaussianDraw(t2, u2);
        if (++failures > maxFailures) break;
        // Truncated toward zero; 64 bits hold the product for any radius.
        const long long qx = x + static_cast<long long>(static_cast<double>(g1) * mScale);
        const long long qy = y + static_cast<long long>(static_cast<double>(g2) * mScale);
        if (qx < xLow || qx > xHigh || qy < yLow || qy > yHigh) continue;
        unsigned char& mark = mDrawn[(qx - xLow) + (qy - yLow) * maskWidth];
        if (mark) continue;
        mark = 1;
        ++accepted;
        failures = 0;
        aDraws.candidates.push_back(static_cast<int>(qx + qy * mXSize));
      }
      aDraws.start.push_back(static_cast<int>(aDraws.candidates.size()));
    }
  }

private:
  int mXSize, mYSize, mRadius, mCount;
  double mScale;
  std::vector<unsigned char> mDrawn;
};

// Candidates held per run of pixels: runs are drawn one after another while
// the previous run is being weighed.
constexpr long long kCandidatesPerRun = 1 << 18;
// Pixels per weighing task.
constexpr int kPixelsPerTask = 256;

}  // namespace

void CNLMeans::sampling(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aCount) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  // With R below 1 the offset range [-R, R - 1] holds no candidate.
  if (searchRadius < 1 || aCount < 1) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const float* values = aInput.data();
  float* out = aResult.data();
  const int pixels = xSize * ySize;
  const int runLength = static_cast<int>(std::max(1LL, std::min<long long>(kCandidatesPerRun / aCount, pixels)));

  // The draws stay in pixel order on one thread at a time (rand() is one
  // sequence); the distances and estimates of a drawn run are spread over the
  // threads while the next run is drawn.
  NLMeansProgress::CPhase denoising(progress, "denoising", pixels);
  CDrawer drawer(xSize, ySize, searchRadius, aCount);
  CDraws current, next;
  if (pixels > 0) drawer.draw(0, std::min(runLength, pixels), current);
  while (current.count > 0) {
    const int nextFirst = current.first + current.count;
    const int tasks = (current.count + kPixelsPerTask - 1) / kPixelsPerTask;
    next.count = 0;
    NParallel::parallelFor(1 + tasks, [&](int aTask) {
      if (aTask == 0) {
        if (nextFirst < pixels) drawer.draw(nextFirst, std::min(runLength, pixels - nextFirst), next);
        return;
      }
      const int from = (aTask - 1) * kPixelsPerTask, to = std::min(from + kPixelsPerTask, current.count);
      for (int i = from; i < to; ++i) {
        const int p = current.first + i;
        const int x = p % xSize, y = p / xSize;
        CEstimate estimate;
        for (int c = current.start[i]; c < current.start[i + 1]; ++c) {
          const int q = current.candidates[c];
          float distance;
          if (boundedDistance(copy.data(), xSize, ySize, x, y, q % xSize, q / xSize, window, distance))
            estimate.add(std::exp(kernel * distance), values[q]);
        }
        estimate.store(values[p], out[p]);
      }
    });
    denoising.report(nextFirst);
    std::swap(current, next);
  }
}

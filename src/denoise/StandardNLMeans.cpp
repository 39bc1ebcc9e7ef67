#include <cstdint>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "NLMeansKernels.h"
#include "PairedWindows.h"
#include "Parallel.h"
#include "Progress.h"
#include "WindowedPixels.h"

using namespace NLMeansCommon;

void CNLMeans::standardNLMeans(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const int radius = clippedRadius(searchRadius, xSize, ySize);
  const float* values = aInput.data();
  float* out = aResult.data();
  const auto store = [&](int aPixel, const CEstimate& aEstimate) { aEstimate.store(values[aPixel], out[aPixel]); };
  if (CPairedWindows::serves(xSize, ySize, radius)) {
    // Each pair weighed once, for the two pixels; bands of rows are
    // independent.
    const CPairedWindows bands(copy.data(), values, xSize, ySize, radius, kernel, window, NParallel::threadCount());
    // Bands are long: progress is counted in rows.
    NLMeansProgress::CPhase denoising(progress, "denoising", ySize);
    NLMeansProgress::CCounter rows(denoising);
    NParallel::parallelFor(bands.jobs(), [&](int aJob) { bands.run(aJob, store, [&] { rows.add(1); }); },
                           rows.tasksDone());
    return;
  }
  // Pixels are independent: each reads the private copy and writes only
  // itself. Runs of eight along rows, and along columns at the sides, take
  // eight pixels side by side.
  const CWindowedPixels pixels(copy.data(), values, xSize, ySize,
                               std::vector<std::uint8_t>(static_cast<std::size_t>(xSize) * ySize, 1), radius,
                               kernel, window);
  NLMeansProgress::CPhase denoising(progress, "denoising", pixels.jobs());
  NParallel::parallelFor(pixels.jobs(), [&](int aJob) {
    pixels.run(aJob, store, [] {});
  }, NLMeansProgress::tasksDone(denoising));
}

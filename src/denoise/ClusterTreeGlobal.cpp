#include <cmath>
#include <memory>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "CPatchTree.h"
#include "NLMeansKernels.h"
#include "Parallel.h"

namespace {

using NLMeansCommon::CPatchWindow;

// Border pixels are compared with their clipped 31 x 31 window.
constexpr int kBorderSearchRadius = 15;
// Border pixels per task: enough work to outweigh the hand-over.
constexpr int kBorderChunk = 64;

// The feature of a pixel is its patch scaled by 1 / (2r+1), so that squared
// feature distances are plain mean squared patch differences.
std::vector<float> scaledImage(const std::vector<float>& aImage, int aRadius) {
  const int side = 2 * aRadius + 1;
  const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(side * side)));
  std::vector<float> scaled(aImage.size());
  for (std::size_t i = 0; i < aImage.size(); ++i) scaled[i] = scale * aImage[i];
  return scaled;
}

// Builds the cluster tree over the patches of aPixels and estimates every
// primary of every leaf, each leaf as a task of aQueue while the tree grows.
void denoiseByTree(const std::vector<float>& aImage, const std::vector<float>& aScaled, const float* aValues,
                   int aXSize, int aRadius, float aOverlap, float aKernel, const CPatchWindow& aWindow,
                   const std::vector<int>& aPixels, const NLMeansKernels::COutput& aOutput,
                   NParallel::CTaskQueue& aQueue) {
  NPatchTree::CSettings settings;
  settings.scaled = aScaled.data();
  settings.xSize = aXSize;
  settings.patchRadius = aRadius;
  settings.overlapMargin = aOverlap;
  if (aQueue.workers() > 0)
    settings.parallel = [&aQueue](int aCount, const std::function<void(int)>& aTask) {
      aQueue.runTogether(aCount, aTask);
    };
  NPatchTree::build(settings, aPixels, [&](NPatchTree::CLeaf&& aLeaf) {
    auto leaf = std::make_shared<NPatchTree::CLeaf>(std::move(aLeaf));
    aQueue.submit([&aImage, aValues, aXSize, &aWindow, aKernel, aOutput, leaf] {
      NLMeansKernels::leafEstimates(aImage.data(), aValues, aXSize, aWindow, aKernel, leaf->members, leaf->isCopy,
                                    aOutput);
    });
  });
}

std::vector<int> interiorPixels(int aXSize, int aYSize, int aRadius) {
  std::vector<int> pixels;
  for (int y = aRadius; y < aYSize - aRadius; ++y)
    for (int x = aRadius; x < aXSize - aRadius; ++x) pixels.push_back(x + y * aXSize);
  return pixels;
}

}  // namespace

void CNLMeans::clusterTreeGlobal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  const int X = aInput.xSize(), Y = aInput.ySize();
  const int r = patchRadius;
  const std::vector<float> image(aResult.data(), aResult.data() + aResult.size());
  const std::vector<float> scaled = scaledImage(image, r);
  const CPatchWindow window(r);
  const float k = NLMeansCommon::sigmaKernel(aSigma);
  const float* values = aInput.data();
  float* out = aResult.data();

  std::vector<int> border;
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x)
      if (x < r || x >= X - r || y < r || y >= Y - r) border.push_back(x + y * X);

  NParallel::CTaskQueue queue(NParallel::threadCount() - 1);
  // Border pixels need no tree: they keep the other threads busy while the
  // tree's first leaves are being formed.
  for (std::size_t start = 0; start < border.size(); start += kBorderChunk)
    queue.submit([&, start] {
      const std::size_t end = std::min(border.size(), start + kBorderChunk);
      for (std::size_t i = start; i < end; ++i) {
        const int x = border[i] % X, y = border[i] / X;
        NLMeansKernels::windowedEstimate(image.data(), values, X, Y, x, y, kBorderSearchRadius, k, window)
            .store(values[border[i]], out[border[i]]);
      }
    });
  denoiseByTree(image, scaled, values, X, r, aOverlap, k, window, interiorPixels(X, Y, r),
                NLMeansKernels::COutput{out, X, 0, 0}, queue);
  queue.finish();
}

void CNLMeans::treeLocalStep(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  const int X = aInput.xSize(), Y = aInput.ySize();
  const int r = patchRadius;
  const std::vector<float> image(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(r);
  NParallel::CTaskQueue queue(0);
  denoiseByTree(image, scaledImage(image, r), aInput.data(), X, r, aOverlap, NLMeansCommon::sigmaKernel(aSigma),
                window, interiorPixels(X, Y, r), NLMeansKernels::COutput{aResult.data(), X, 0, 0}, queue);
  queue.finish();
}

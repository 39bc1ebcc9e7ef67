#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "CPatchTree.h"
#include "NLMeansKernels.h"
#include "Parallel.h"
#include "Progress.h"
#include "ScaledImage.h"
#include "WindowedPixels.h"

namespace {

using NLMeansCommon::CPatchWindow;

// Border pixels are compared with their clipped 31 x 31 window.
constexpr int kBorderSearchRadius = 15;
// The tree shares nodes from 512 records on with a worker that shares a cache
// with it, from 4096 on otherwise: a cache line's round trip (in ns) is some
// 50 within a cache and 300 or more between processors that lie apart.
constexpr double kNearRoundTrip = 150.0;
constexpr int kLeastSharedNear = 512;
constexpr int kLeastSharedFar = 4096;
// Leaves go to the workers in batches of about this many pixels, or at once
// when no task is waiting: each hand-over moves several cache lines between
// the threads (the queue's lock, its list, its count).
constexpr int kLeafBatch = 1024;

// The feature of a pixel is its patch scaled by 1 / (2r+1), so that squared
// feature distances are plain mean squared patch differences.
CScaledImage scaledImage(const std::vector<float>& aImage, int aXSize, int aYSize, int aRadius) {
  const int side = 2 * aRadius + 1;
  const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(side * side)));
  return CScaledImage(aImage.data(), aXSize, aYSize, scale);
}

// Builds the cluster tree over the patches at aPositions (in aScaled) and
// estimates every primary of every leaf, the leaves in tasks of aQueue while
// the tree grows. With aEstimated, each task adds the number of primaries
// of its leaves to it when done, and aBuilding hears of the primaries placed in
// leaves so far. aLeastShared: the fewest records of a node that the tree
// shares with a worker. aDistanceBytes: aImage as NLMeansKernels::exactBytes
// made it, or null; like aImage, it must outlive the queue's tasks.
void denoiseByTree(const std::vector<float>& aImage, const std::uint8_t* aDistanceBytes, const CScaledImage& aScaled,
                   const float* aValues, int aXSize, int aRadius, float aOverlap, float aKernel,
                   const CPatchWindow& aWindow, std::vector<int> aPositions, const NLMeansKernels::COutput& aOutput,
                   NParallel::CTaskQueue& aQueue, std::atomic<long long>* aEstimated = nullptr,
                   NLMeansProgress::CPhase* aBuilding = nullptr, NParallel::CHelpDesk* aHelpDesk = nullptr,
                   int aLeastShared = kLeastSharedNear) {
  NPatchTree::CSettings settings;
  settings.scaled = aScaled.data();
  settings.xSize = aScaled.pitch();
  settings.patchRadius = aRadius;
  settings.overlapMargin = aOverlap;
  settings.leastShared = aLeastShared;
  NPatchTree::setValueRange(settings, aScaled.data(), aScaled.size());
  // Large nodes share their distances and sums with a worker: an idle one
  // takes them from the queue, a busy one between rows of its leaf.
  if (aQueue.workers() > 0)
    settings.share = [&aQueue, aHelpDesk](std::function<void()> aTask) {
      auto task = std::make_shared<const std::function<void()>>(std::move(aTask));
      if (aHelpDesk) aHelpDesk->post(task);
      aQueue.submitFirst([task] { (*task)(); });
    };
  long long placed = 0;
  auto batch = std::make_shared<std::vector<NPatchTree::CLeaf>>();
  long long batchPrimaries = 0;
  int batchPixels = 0;
  const auto handOver = [&] {
    if (batch->empty()) return;
    aQueue.submit([&aImage, &aScaled, aValues, aXSize, &aWindow, aKernel, aOutput, leaves = batch, aEstimated,
                   primaries = batchPrimaries, aHelpDesk, aDistanceBytes] {
      thread_local unsigned seen = 0;
      const std::function<void()> help = [aHelpDesk] { aHelpDesk->help(seen); };
      for (NPatchTree::CLeaf& leaf : *leaves) {
        // The leaf names its members by feature position.
        for (int& member : leaf.members) member = aScaled.pixel(member);
        NLMeansKernels::leafEstimates(aImage.data(), aValues, aXSize, aWindow, aKernel, leaf.members, leaf.isCopy,
                                      aOutput, aHelpDesk ? help : std::function<void()>(), aDistanceBytes);
      }
      if (aEstimated) aEstimated->fetch_add(primaries, std::memory_order_relaxed);
    });
    batch = std::make_shared<std::vector<NPatchTree::CLeaf>>();
    batchPrimaries = 0;
    batchPixels = 0;
  };
  NPatchTree::build(settings, std::move(aPositions), [&](NPatchTree::CLeaf&& aLeaf) {
    long long primaries = 0;
    if (aEstimated) {
      for (const std::uint8_t copy : aLeaf.isCopy) primaries += copy ? 0 : 1;
      placed += primaries;
      if (aBuilding) aBuilding->report(static_cast<double>(placed));
    }
    batchPixels += static_cast<int>(aLeaf.members.size());
    batchPrimaries += primaries;
    batch->push_back(std::move(aLeaf));
    if (batchPixels >= kLeafBatch || aQueue.waiting() == 0) handOver();
  });
  handOver();
}

// The feature positions of the interior pixels, in row-major order.
std::vector<int> interiorPositions(const CScaledImage& aScaled, int aXSize, int aYSize, int aRadius) {
  std::vector<int> positions;
  positions.reserve(static_cast<std::size_t>(std::max(0, aXSize - 2 * aRadius)) * std::max(0, aYSize - 2 * aRadius));
  for (int y = aRadius; y < aYSize - aRadius; ++y)
    for (int x = aRadius; x < aXSize - aRadius; ++x) positions.push_back(aScaled.position(x, y));
  return positions;
}

}  // namespace

void CNLMeans::clusterTreeGlobal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  NLMeansCommon::requireSameSize(aInput, aResult);
  const int X = aInput.xSize(), Y = aInput.ySize();
  // An image without pixels has nothing to denoise (but may have 2^31 - 1 empty rows).
  if (aInput.size() == 0) return;
  const int r = patchRadius;
  const std::vector<float> image(aResult.data(), aResult.data() + aResult.size());
  const CScaledImage scaled = scaledImage(image, X, Y, r);
  const CPatchWindow window(r);
  // Images read from 8-bit files hold bytes' values: the leaves read their
  // patches from a copy in bytes, a quarter of the memory (where they can).
  const std::vector<std::uint8_t> bytes = NLMeansKernels::gathersBytes(window)
                                              ? NLMeansKernels::exactBytes(image.data(), image.size())
                                              : std::vector<std::uint8_t>();
  const float k = NLMeansCommon::sigmaKernel(aSigma);
  const float* values = aInput.data();
  float* out = aResult.data();
  // The leaves take their members' values from the patches they gather when
  // the values are the distance image's (the program's case: the result
  // starts as a copy of the input), instead of from all over the image.
  const float* const leafValues =
      std::memcmp(image.data(), values, sizeof(float) * image.size()) == 0 ? image.data() : values;

  // Border pixels need no tree: another thread finds them and estimates
  // them while the tree's first leaves are being formed.
  std::unique_ptr<const CWindowedPixels> border;
  const auto findBorder = [&] {
    std::vector<std::uint8_t> isBorder(static_cast<std::size_t>(X) * Y, 0);
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x)
        isBorder[x + static_cast<std::size_t>(y) * X] = x < r || x >= X - r || y < r || y >= Y - r;
    border = std::make_unique<const CWindowedPixels>(image.data(), values, X, Y, isBorder, kBorderSearchRadius, k,
                                                     window);
  };

  // Progress: pixels placed in leaves while the tree grows, then pixels
  // estimated, counted by the tasks as they end.
  const bool reporting = static_cast<bool>(progress);
  std::atomic<long long> estimated{0};
  const double interiorCount = static_cast<double>(std::max(0, X - 2 * r)) * std::max(0, Y - 2 * r);
  NLMeansProgress::CPhase building(progress, "building the tree", interiorCount);
  NLMeansProgress::CPhase denoising(progress, "denoising", static_cast<double>(X) * Y);

  // The desk outlives the queue: the queue's threads stop before it goes.
  NParallel::CHelpDesk helpDesk;
  NParallel::CTaskQueue queue(NParallel::threadCount() - 1);
  const int leastShared = queue.roundTrip() > kNearRoundTrip ? kLeastSharedFar : kLeastSharedNear;
  // The first task: the border's jobs come from it.
  queue.submit([&] {
    findBorder();
    for (int job = 0; job < border->jobs(); ++job)
      queue.submit([&, job] {
        thread_local unsigned seen = 0;
        helpDesk.help(seen);
        const auto store = [&](int aPixel, const NLMeansCommon::CEstimate& aEstimate) {
          aEstimate.store(values[aPixel], out[aPixel]);
        };
        border->run(job, store, [&] { helpDesk.help(seen); });
        if (reporting) estimated.fetch_add(border->pixels(job), std::memory_order_relaxed);
      });
  });
  building.report(0.0);
  denoiseByTree(image, bytes.empty() ? nullptr : bytes.data(), scaled, leafValues, X, r, aOverlap, k, window,
                interiorPositions(scaled, X, Y, r), NLMeansKernels::COutput{out, X, 0, 0}, queue,
                reporting ? &estimated : nullptr, &building, &helpDesk, leastShared);
  if (!reporting) {
    queue.finish();
    return;
  }
  building.report(interiorCount);
  queue.finish([&] { denoising.report(static_cast<double>(estimated.load(std::memory_order_relaxed))); });
  denoising.report(static_cast<double>(X) * Y);
}

void CNLMeans::treeLocalStep(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  NLMeansCommon::requireSameSize(aInput, aResult);
  const int X = aInput.xSize(), Y = aInput.ySize();
  if (aInput.size() == 0) return;
  const int r = patchRadius;
  const std::vector<float> image(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(r);
  const CScaledImage scaled = scaledImage(image, X, Y, r);
  NParallel::CTaskQueue queue(0);
  denoiseByTree(image, nullptr, scaled, aInput.data(), X, r, aOverlap, NLMeansCommon::sigmaKernel(aSigma), window,
                interiorPositions(scaled, X, Y, r), NLMeansKernels::COutput{aResult.data(), X, 0, 0},
                queue);
  queue.finish();
}

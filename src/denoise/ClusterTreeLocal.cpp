#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
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

struct CBlock {
  int x, y, width, height;
  // The block's result image: entry values, then its tree's estimates.
  std::vector<float> result;
};

}  // namespace

void CNLMeans::clusterTreeLocal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  NLMeansCommon::requireSameSize(aInput, aResult);
  const int X = aInput.xSize(), Y = aInput.ySize();
  if (aInput.size() == 0) return;
  const int r = patchRadius;
  const int R = searchRadius;
  // The geometry in 64 bits: a search radius near the int range must not
  // overflow (blocks are cut to the image anyway).
  const std::int64_t blockSize = 2 * (static_cast<std::int64_t>(r) + R) + 1;
  const std::int64_t step = static_cast<std::int64_t>(static_cast<double>(blockSize) * 0.5);
  const std::int64_t halfStep = step >> 1;
  const float blend = static_cast<float>(1.0 / static_cast<double>(step * step));

  // The entry values serve every block: as the private copy each block's
  // distances are measured on, and scaled, as its patch features. aResult
  // itself holds them until the blocks are blended, at the very end.
  const float* const entry = aResult.data();
  const std::size_t size = aResult.size();
  const int side = 2 * r + 1;
  const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(side * side)));
  const CScaledImage scaled(entry, X, Y, scale);
  const NLMeansCommon::CPatchWindow window(r);
  const float k = NLMeansCommon::sigmaKernel(aSigma);
  const float* values = aInput.data();

  // Blocks of 2(r + R) + 1 pixels every r + R pixels. A block that reaches the
  // right or bottom edge stops one short of it; one too small for an interior
  // is skipped. A step below 1 (very negative search radii) would never
  // advance: then no block is formed and every pixel takes the fallback.
  std::vector<CBlock> blocks;
  int widest = 0, tallest = 0;
  if (step >= 1)
    for (std::int64_t by = 0; by < Y - halfStep; by += step)
      for (std::int64_t bx = 0; bx < X - halfStep; bx += step) {
        const std::int64_t w = bx + blockSize >= X ? X - bx - 1 : blockSize;
        if (w <= 2 * r) continue;
        const std::int64_t h = by + blockSize >= Y ? Y - by - 1 : blockSize;
        if (h <= 2 * r) continue;
        blocks.push_back(CBlock{static_cast<int>(bx), static_cast<int>(by), static_cast<int>(w), static_cast<int>(h), {}});
        widest = std::max(widest, static_cast<int>(w));
        tallest = std::max(tallest, static_cast<int>(h));
      }

  // Pixels interior to no block take a windowed non-local means on the entry
  // values. Which ones they are follows from the blocks alone, so another
  // thread finds and estimates them while the trees are being built; it
  // also makes the images the blocks are blended into.
  const auto inNoBlock = [&blocks, size, r, X] {
    std::vector<std::uint8_t> mask(size, 1);
    for (const CBlock& block : blocks)
      for (int i = r; i <= block.height - 1 - r; ++i)
        std::fill_n(mask.begin() + (block.x + r) + static_cast<std::ptrdiff_t>(block.y + i) * X, block.width - 2 * r,
                    0);
    return mask;
  };
  std::vector<float> estimates, blendWeights;
  std::unique_ptr<const CWindowedPixels> fallback;

  // Progress: blocks whose trees are built, then pixels estimated (each
  // block's interior, then the pixels inside no block).
  const bool reporting = static_cast<bool>(progress);
  std::atomic<long long> estimated{0};
  long long blockPixels = 0, uncovered = 0;
  if (reporting) {
    for (const CBlock& block : blocks)
      blockPixels += static_cast<long long>(block.width - 2 * r) * (block.height - 2 * r);
    for (const std::uint8_t c : inNoBlock()) uncovered += c;
  }
  NLMeansProgress::CPhase building(progress, "building the tree", static_cast<double>(blocks.size()));
  NLMeansProgress::CPhase denoising(progress, "denoising", static_cast<double>(blockPixels + uncovered));

  {
    // Each block's tree draws from rand(), so the trees are built one after
    // another in block order; their leaves are estimated by the other threads.
    NParallel::CTaskQueue queue(NParallel::threadCount() - 1);
    // For the worker's start on another processor (the tree here shares no
    // nodes, so the round trip itself is not needed).
    queue.roundTrip();
    // The first task: every other task that reads what it makes comes from it.
    queue.submit([&] {
      estimates.assign(size, 0.0f);
      blendWeights.assign(size, 0.0f);
      fallback = std::make_unique<const CWindowedPixels>(entry, values, X, Y, inNoBlock(), R, k, window);
      for (int job = 0; job < fallback->jobs(); ++job)
        queue.submit([&, job] {
          const auto store = [&](int aPixel, const NLMeansCommon::CEstimate& aEstimate) {
            estimates[aPixel] = entry[aPixel];
            aEstimate.store(values[aPixel], estimates[aPixel]);
            blendWeights[aPixel] = 1.0f;
          };
          fallback->run(job, store, [] {});
          if (reporting) estimated.fetch_add(fallback->pixels(job), std::memory_order_relaxed);
        });
    });
    NPatchTree::CSettings settings;
    settings.scaled = scaled.data();
    settings.xSize = scaled.pitch();
    settings.patchRadius = r;
    settings.overlapMargin = aOverlap;
    NPatchTree::setValueRange(settings, scaled.data(), scaled.size());
    NPatchTree::CTreeBuilder builder;
    std::vector<int> positions;
    for (CBlock& block : blocks) {
      block.result.resize(static_cast<std::size_t>(block.width) * block.height);
      for (int i = 0; i < block.height; ++i)
        std::copy_n(entry + static_cast<std::size_t>(block.y + i) * X + block.x, block.width,
                    block.result.begin() + static_cast<std::size_t>(i) * block.width);
      positions.clear();
      for (int i = r; i < block.height - r; ++i)
        for (int j = r; j < block.width - r; ++j) positions.push_back(scaled.position(block.x + j, block.y + i));
      const NLMeansKernels::COutput output{block.result.data(), block.width, block.x, block.y};
      // A block's leaves go to the other threads as one task: handing them
      // over one by one cost the tree's thread more than it saved.
      auto leaves = std::make_shared<std::vector<NPatchTree::CLeaf>>();
      builder.build(settings, positions, [&](NPatchTree::CLeaf&& aLeaf) { leaves->push_back(std::move(aLeaf)); });
      long long primaries = 0;
      if (reporting)
        for (const NPatchTree::CLeaf& leaf : *leaves)
          for (const std::uint8_t copy : leaf.isCopy) primaries += copy ? 0 : 1;
      queue.submit([entry, values, X, &window, k, output, leaves, &scaled, &estimated, primaries] {
        for (NPatchTree::CLeaf& leaf : *leaves) {
          // The leaves name their members by feature position.
          for (int& member : leaf.members) member = scaled.pixel(member);
          NLMeansKernels::leafEstimates(entry, values, X, window, k, leaf.members, leaf.isCopy, output);
        }
        if (primaries > 0) estimated.fetch_add(primaries, std::memory_order_relaxed);
      });
      building.report(static_cast<double>(&block - blocks.data() + 1));
    }
    if (reporting)
      queue.finish([&] { denoising.report(static_cast<double>(estimated.load(std::memory_order_relaxed))); });
    else
      queue.finish();
  }

  // Blend the block estimates in block order with a Gaussian of standard
  // deviation step around each block's centre.
  std::vector<float> beta(static_cast<std::size_t>(widest) * tallest);
  for (int i = 0; i < tallest; ++i)
    for (int j = 0; j < widest; ++j) {
      const std::int64_t squared = (i - step) * (i - step) + (j - step) * (j - step);
      beta[static_cast<std::size_t>(i) * widest + j] =
          static_cast<float>(std::exp(static_cast<double>(squared) * -0.5 * static_cast<double>(blend)));
    }
  for (CBlock& block : blocks) {
    for (int i = r; i <= block.height - 1 - r; ++i)
      for (int j = r; j <= block.width - 1 - r; ++j) {
        const float b = beta[static_cast<std::size_t>(i) * widest + j];
        const std::size_t at = static_cast<std::size_t>(block.x + j) + static_cast<std::size_t>(block.y + i) * X;
        estimates[at] += b * block.result[static_cast<std::size_t>(i) * block.width + j];
        blendWeights[at] += b;
      }
    std::vector<float>().swap(block.result);
  }

  for (std::size_t i = 0; i < estimates.size(); ++i) aResult.data()[i] = estimates[i] / blendWeights[i];
}

// A leaf's estimates on their own: every pair of n members of a noisy
// 512 x 512 image weighed once, 9 x 9 patches, sigma 20, the patches gathered
// from the floats or (argument 1) from the image's bytes. Items are pairs.
// And the weights' exponentials in batches of n, through the vector path
// and through expf one by one (argument 1). Items are exponentials.
//
//   build/bin/leaf_bench
//
// Compare as ratios of runs made in one session.
#include <algorithm>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "CNLMeansCommon.h"
#include "ExpKernels.h"
#include "NLMeansKernels.h"

namespace {

constexpr int kSize = 512, kRadius = 4;

void LeafPairs(benchmark::State& aState) {
  std::mt19937 generator(11);
  std::uniform_int_distribution<int> grey(0, 255);
  std::vector<float> image(kSize * kSize);
  for (float& v : image) v = static_cast<float>(grey(generator));
  std::vector<int> interior;
  for (int y = kRadius; y < kSize - kRadius; ++y)
    for (int x = kRadius; x < kSize - kRadius; ++x) interior.push_back(y * kSize + x);
  std::shuffle(interior.begin(), interior.end(), generator);
  const int n = static_cast<int>(aState.range(0));
  std::vector<int> members(interior.begin(), interior.begin() + n);
  std::sort(members.begin(), members.end());
  const std::vector<std::uint8_t> isCopy(members.size(), 0);
  const NLMeansCommon::CPatchWindow window(kRadius);
  std::vector<float> out(image.size());
  const NLMeansKernels::COutput output{out.data(), kSize, 0, 0};
  const float kernel = -0.5f / (20.0f * 20.0f);
  const std::vector<std::uint8_t> bytes = NLMeansKernels::exactBytes(image.data(), image.size());
  const std::uint8_t* const distanceBytes = aState.range(1) != 0 ? bytes.data() : nullptr;
  for (auto _ : aState) {
    NLMeansKernels::leafEstimates(image.data(), image.data(), kSize, window, kernel, members, isCopy, output, {},
                                  distanceBytes);
    benchmark::DoNotOptimize(out.data());
  }
  aState.SetItemsProcessed(aState.iterations() * n * (n - 1) / 2);
}

BENCHMARK(LeafPairs)->ArgsProduct({{40, 60, 120, 400}, {0, 1}});

void Weights(benchmark::State& aState) {
  const int n = static_cast<int>(aState.range(0));
  std::mt19937 generator(5);
  std::uniform_real_distribution<float> sum(0.0f, 40000.0f);
  std::vector<float> sums(static_cast<std::size_t>(n)), weights(sums.size());
  for (float& s : sums) s = sum(generator);
  NExpKernels::forceScalar(aState.range(1) != 0);
  for (auto _ : aState) {
    NExpKernels::weighAll(sums.data(), 81.0f, -0.5f / (20.0f * 20.0f), weights.data(), n);
    benchmark::DoNotOptimize(weights.data());
  }
  NExpKernels::forceScalar(false);
  aState.SetItemsProcessed(aState.iterations() * n);
}

BENCHMARK(Weights)->ArgsProduct({{13, 40, 400}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();

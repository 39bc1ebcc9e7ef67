// The tree's distance and sum kernels on their own: 9 x 9 patches of a noisy
// 512 x 512 image; a node of n records is a random n of its pixels in
// ascending order, as the tree's work lists keep them.
//
//   build/bin/kernels_bench
//
// Compare as ratios of runs made in one session.
#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "CNearerTest.h"
#include "PatchKernels.h"

namespace {

struct CFixture {
  static constexpr int kSize = 512, kRadius = 4;
  std::vector<float> image;
  std::vector<int> offsets, all;
  std::mt19937 generator{7};
  std::vector<float> centre0, centre1, out0, out1;
  NPatchKernels::CPatchLayout layout{};

  CFixture() {
    std::uniform_int_distribution<int> grey(0, 255);
    image.resize(kSize * kSize);
    for (float& v : image) v = static_cast<float>(grey(generator)) * (1.0f / 9.0f);
    for (int dy = -kRadius; dy <= kRadius; ++dy)
      for (int dx = -kRadius; dx <= kRadius; ++dx) offsets.push_back(dy * kSize + dx);
    for (int y = kRadius; y < kSize - kRadius; ++y)
      for (int x = kRadius; x < kSize - kRadius; ++x) all.push_back(y * kSize + x);
    const int length = static_cast<int>(offsets.size());
    centre0.assign(length, 12.0f);
    centre1.assign(length, 17.0f);
    out0.resize(all.size());
    out1.resize(all.size());
    layout = NPatchKernels::CPatchLayout{image.data(), offsets.data(), length, 2 * kRadius + 1, kSize};
  }
  // A node of aState.range(0) records (at most the whole image).
  std::vector<int> node(const benchmark::State& aState) {
    std::vector<int> pixels = all;
    std::shuffle(pixels.begin(), pixels.end(), generator);
    pixels.resize(std::min(pixels.size(), static_cast<std::size_t>(aState.range(0))));
    std::sort(pixels.begin(), pixels.end());
    return pixels;
  }
};

CFixture& fixture() {
  static CFixture f;
  return f;
}

void OneCentre(benchmark::State& aState) {
  CFixture& f = fixture();
  const std::vector<int> pixels = f.node(aState);
  const int n = static_cast<int>(pixels.size());
  for (auto _ : aState) {
    NPatchKernels::centreDistances(f.layout, pixels.data(), n, f.centre0.data(), f.out0.data());
    benchmark::DoNotOptimize(f.out0.data());
  }
  aState.SetItemsProcessed(aState.iterations() * n);
}

void TwoCentres(benchmark::State& aState) {
  CFixture& f = fixture();
  const std::vector<int> pixels = f.node(aState);
  const int n = static_cast<int>(pixels.size());
  for (auto _ : aState) {
    NPatchKernels::centreDistances2(f.layout, pixels.data(), n, f.centre0.data(), f.centre1.data(),
                                    f.out0.data(), f.out1.data());
    benchmark::DoNotOptimize(f.out0.data());
  }
  aState.SetItemsProcessed(aState.iterations() * n);
}

void Sums(benchmark::State& aState) {
  CFixture& f = fixture();
  const std::vector<int> pixels = f.node(aState);
  const int n = static_cast<int>(pixels.size());
  for (auto _ : aState) {
    NPatchKernels::sumFeatures(f.layout, pixels.data(), nullptr, n, f.out0.data());
    benchmark::DoNotOptimize(f.out0.data());
  }
  aState.SetItemsProcessed(aState.iterations() * n);
}

// The moves of a pass into both sums, half of the records joining each
// cluster.
void Moves(benchmark::State& aState) {
  CFixture& f = fixture();
  const std::vector<int> pixels = f.node(aState);
  const int n = static_cast<int>(pixels.size());
  std::vector<std::uint8_t> toSecond(pixels.size());
  std::bernoulli_distribution coin(0.5);
  for (std::uint8_t& side : toSecond) side = coin(f.generator) ? 1 : 0;
  for (auto _ : aState) {
    NPatchKernels::sumMoves(f.layout, pixels.data(), toSecond.data(), n, f.out0.data(), f.out1.data(), 0, 9);
    benchmark::DoNotOptimize(f.out0.data());
    benchmark::DoNotOptimize(f.out1.data());
  }
  aState.SetItemsProcessed(aState.iterations() * n);
}

// The split's test of which centre is nearer, which replaces the two sums
// for most records.
void NearerSides(benchmark::State& aState) {
  CFixture& f = fixture();
  const std::vector<int> pixels = f.node(aState);
  const int n = static_cast<int>(pixels.size());
  NPatchKernels::CNearerTest test;
  test.prepare(f.layout, f.centre0.data(), f.centre1.data(), 0.0f, 255.0f / 9.0f);
  std::vector<std::uint8_t> sides(pixels.size());
  for (auto _ : aState) {
    test.sides(f.layout, pixels.data(), n, sides.data());
    benchmark::DoNotOptimize(sides.data());
  }
  aState.SetItemsProcessed(aState.iterations() * n);
}

BENCHMARK(OneCentre)->Arg(100)->Arg(4096)->Arg(1 << 18);
BENCHMARK(TwoCentres)->Arg(100)->Arg(4096)->Arg(1 << 18);
BENCHMARK(NearerSides)->Arg(100)->Arg(4096)->Arg(1 << 18);
BENCHMARK(Sums)->Arg(4096)->Arg(1 << 18);
BENCHMARK(Moves)->Arg(100)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();

// Whole denoising runs of the two cluster-tree methods, on the noisy sample
// photograph (512 x 512) and on a 2048 x 2048 image made of 4 x 4 copies of
// the clean photograph with fresh noise (standard deviation 20).
//
//   build/bin/texture_bench                       all of them
//   build/bin/texture_bench --benchmark_filter=Global/512
//
// Compare speeds as ratios of runs made in one session: the machines are
// shared and their speed varies.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "CMatrix.h"
#include "CNLMeans.h"

namespace {

const CMatrix<float>& image(int aSize) {
  static CMatrix<float> small, large;
  if (aSize == 512) {
    if (small.size() == 0) small.readFromPGM(TEXTURE_DATA_DIR "/camera_s20.pgm");
    return small;
  }
  if (large.size() == 0) {
    CMatrix<float> clean;
    clean.readFromPGM(TEXTURE_DATA_DIR "/camera.pgm");
    large.setSize(4 * clean.xSize(), 4 * clean.ySize());
    std::mt19937 generator(2048);
    std::normal_distribution<float> noise(0.0f, 20.0f);
    for (int y = 0; y < large.ySize(); ++y)
      for (int x = 0; x < large.xSize(); ++x) {
        const float v = clean(x % clean.xSize(), y % clean.ySize()) + noise(generator);
        large(x, y) = std::min(255.0f, std::max(0.0f, std::round(v)));
      }
  }
  return large;
}

void denoise(benchmark::State& aState, bool aLocal) {
  const CMatrix<float>& noisy = image(static_cast<int>(aState.range(0)));
  for (auto _ : aState) {
    CMatrix<float> input(noisy), result(noisy);
    CNLMeans nlMeans;
    nlMeans.patchRadius = 4;
    nlMeans.searchRadius = 21 / 2 + 1;
    if (aLocal)
      nlMeans.clusterTreeLocal(input, result, 20.0f, 0.0f);
    else
      nlMeans.clusterTreeGlobal(input, result, 20.0f, 0.0f);
    benchmark::DoNotOptimize(result.data());
  }
  aState.SetItemsProcessed(aState.iterations() * noisy.size());
}

void Global(benchmark::State& aState) { denoise(aState, false); }
void LocalWindow21(benchmark::State& aState) { denoise(aState, true); }

BENCHMARK(Global)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(LocalWindow21)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

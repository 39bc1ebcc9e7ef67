// Batched squared distances between image patches, read as feature vectors,
// and cluster centres. Each distance is the float sum over the components in
// their order, exactly as a plain loop adds them; the batch only computes many
// such sums side by side (SIMD lanes across patches where the processor has
// AVX2, interleaved scalar sums elsewhere; both give the same bits).
#pragma once

#include <cstdint>

namespace NPatchKernels {

// Feature vector of the square patch of side `side` around pixel index p:
// component k is image[p + offsets[k]], k = 0 .. length - 1, row by row, so
// offsets[dy * side + dx] = (dy - r) * xSize + (dx - r).
struct CPatchLayout {
  const float* image;
  const int* offsets;
  int length;
  int side;
  int xSize;
};

// aOut[i] = || feature(aPixels[i]) - aCentre ||^2 for i < aCount.
void centreDistances(const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre, float* aOut);

// The distances to two centres at once.
void centreDistances2(const CPatchLayout& aLayout, const int* aPixels, int aCount, const float* aCentre0,
                      const float* aCentre1, float* aOut0, float* aOut1);

// aSum[k] += component k of the features at aPositions[0 .. aCount - 1],
// one record after another, so each component's additions keep that order;
// where aNegate is given and aNegate[i] is set, record i's feature is
// subtracted instead (a - b is a + (-b) to the bit).
void sumFeatures(const CPatchLayout& aLayout, const int* aPositions, const std::uint8_t* aNegate, int aCount,
                 float* aSum);

// The moves of a pass: aSum0[k] and aSum1[k] both take component k of the
// features at aPositions[0 .. aCount - 1], one record after another, for the
// patch rows [aFirstRow, aEndRow); record i is subtracted from aSum0 and
// added to aSum1 where aToSecond[i] is set, the other way round where it is
// not. Each record is read once for both sums; each sum's additions keep the
// records' order. Different row ranges may run on different threads.
void sumMoves(const CPatchLayout& aLayout, const int* aPositions, const std::uint8_t* aToSecond, int aCount,
              float* aSum0, float* aSum1, int aFirstRow, int aEndRow);

// True when the processor has AVX2 and FMA (each processor with AVX2 made so
// far also has FMA; one without takes the portable paths).
bool cpuHasAvx2Fma();
// True when the processor has AVX-512F and AVX-512VL.
bool cpuHasAvx512vl();
// True when the AVX2 paths are in use (for tests and benchmarks).
bool usesAvx2();
// True when the AVX2 paths of the distances and sums run in their build for
// AVX-512VL's thirty-two registers (same instructions, same results).
bool usesWideRegisters();
// Forces the portable paths (for tests comparing the two).
void forcePortable(bool aPortable);
// Keeps the AVX2 paths to AVX2's sixteen registers (for tests comparing the
// two builds).
void forceNarrowRegisters(bool aNarrow);

}  // namespace NPatchKernels

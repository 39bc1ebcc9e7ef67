// The fast kernels behind the shared non-local means pieces: patch distances
// for many candidates side by side, each summed in exactly the order of the
// plain loops of CNLMeansCommon.h (which remain their specification and are
// compared with them in the tests). AVX2 is used where the processor has it,
// a portable path elsewhere; both give the same bits.
#pragma once

#include <cstdint>
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
void leafEstimates(const float* aDistanceImage, const float* aValues, int aXSize,
                   const NLMeansCommon::CPatchWindow& aWindow, float aKernel, const std::vector<int>& aMembers,
                   const std::vector<std::uint8_t>& aIsCopy, const COutput& aOutput);

// Windowed non-local means of one pixel, as NLMeansCommon::windowedEstimate.
NLMeansCommon::CEstimate windowedEstimate(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize,
                                          int aX, int aY, int aRadius, float aKernel,
                                          const NLMeansCommon::CPatchWindow& aWindow);

// True when the AVX2 paths are in use; forcePortable switches them off (tests).
bool usesAvx2();
void forcePortable(bool aPortable);

}  // namespace NLMeansKernels

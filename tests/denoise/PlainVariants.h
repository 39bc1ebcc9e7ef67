// The windowed methods of CNLMeans written as plain single-threaded loops over
// the shared pieces of CNLMeansCommon.h, one pixel and one candidate at a
// time. The library's versions (threads, lane-parallel distances, selection
// shortcuts) must give the very same bits; these are what they are compared
// with.
#pragma once

#include "CMatrix.h"
#include "CNLMeans.h"

namespace PlainVariants {

// Each reads patchRadius, searchRadius and filterFactor of aSettings and
// behaves as the CNLMeans member of the same name.
void standardNLMeans(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma);
void preselection(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma);
void gridding(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma,
              int aTileHalfSize);
void sampling(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma,
              int aCount);
void sortingCriterion(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, int aBest);
// Builds the graph into aGraph's tensors, as gilboaOsherBuildWeights.
void gilboaOsherBuildWeights(CNLMeans& aGraph, const CMatrix<float>& aImage, float aSigma);
// One linear (or total-variation) step over aGraph's tensors.
void gilboaOsherStep(const CNLMeans& aGraph, CMatrix<float>& aImage, bool aTotalVariation);

}  // namespace PlainVariants

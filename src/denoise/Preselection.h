// The test by which preselection keeps or drops a candidate before measuring
// its patch distance.
#pragma once

namespace NLMeansCommon {

// True when a candidate with patch mean aMeanQ and spread aSpreadQ may be
// compared with a pixel of mean aMeanP and spread aSpreadP: the mean ratio,
// taken in float and compared in double, lies in [0.95, 1.05] and the spread
// ratio in [0.5, 1.5]. A ratio that is not a number fails no bound and passes.
inline bool preselectionAccepts(float aMeanP, float aMeanQ, float aSpreadP, float aSpreadQ) {
  const double meanRatio = aMeanP / aMeanQ;
  if (meanRatio < 0.95 || meanRatio > 1.05) return false;
  const float spreadRatio = aSpreadP / aSpreadQ;
  return !(spreadRatio < 0.5f || spreadRatio > 1.5f);
}

}  // namespace NLMeansCommon

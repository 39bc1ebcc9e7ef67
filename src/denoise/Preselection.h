// The test by which preselection keeps or drops a candidate before measuring
// its patch distance.
#pragma once

#include <cmath>

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

// The bounds of the mean ratio as floats, for tests taken in float: a float
// ratio r is below 0.95 in double exactly when r < preselectionLowMean(), and
// above 1.05 exactly when r > preselectionHighMean().
inline float preselectionLowMean() {
  // The least float not below 0.95.
  float f = 0.95f;
  while (static_cast<double>(f) < 0.95) f = std::nextafter(f, 2.0f);
  while (static_cast<double>(std::nextafter(f, 0.0f)) >= 0.95) f = std::nextafter(f, 0.0f);
  return f;
}
inline float preselectionHighMean() {
  // The greatest float not above 1.05.
  float f = 1.05f;
  while (static_cast<double>(f) > 1.05) f = std::nextafter(f, 0.0f);
  while (static_cast<double>(std::nextafter(f, 2.0f)) <= 1.05) f = std::nextafter(f, 2.0f);
  return f;
}

}  // namespace NLMeansCommon

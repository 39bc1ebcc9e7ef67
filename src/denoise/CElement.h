// CElement: one candidate of a pixel, ranked by its patch distance.
//
// sortingCriterion fills distance and value, gilboaOsherBuildWeights distance,
// x and y. Ordering compares the distance alone, so candidates of equal
// distance may end in any order under std::sort.
#pragma once

class CElement {
public:
  float distance = 0.0f;  // patch distance to the pixel being processed
  float value = 0.0f;     // grey level of the candidate
  int x = 0;              // column of the candidate
  int y = 0;              // row of the candidate

  bool operator<(const CElement& aOther) const { return distance < aOther.distance; }
};

// Pieces that every denoising method of CNLMeans shares: the patch window,
// the patch distance, the weight kernels and the estimate. Keeping them in one
// place keeps every method's arithmetic identical.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "CMatrix.h"
#include "CNLMeans.h"
#include "Exceptions.h"

namespace NLMeansCommon {

// The Gaussian patch window of a radius, with the sum of all its weights
// (taken row by row, the order in which a whole-patch distance adds them).
struct CPatchWindow {
  explicit CPatchWindow(int aRadius) : radius(aRadius), side(2 * aRadius + 1) {
    CMatrix<float> window;
    CNLMeans::makeGaussianWindow(window, aRadius);
    weights.assign(window.data(), window.data() + window.size());
    for (float w : weights) weightSum += w;
  }
  int radius;
  int side;
  std::vector<float> weights;  // (dx + r) + (dy + r) * side
  float weightSum = 0.0f;
  float at(int aDx, int aDy) const { return weights[(aDx + radius) + (aDy + radius) * side]; }
};

// Window-weighted mean squared difference of the patches around pixels p and q
// of the image I (aXSize columns), both at least r from every edge. Terms are
// added row by row in single precision.
inline float squareDistance(const float* aImage, int aXSize, int aPx, int aPy, int aQx, int aQy,
                            const CPatchWindow& aWindow) {
  const int r = aWindow.radius;
  const float* w = aWindow.weights.data();
  float sum = 0.0f;
  for (int dy = -r; dy <= r; ++dy) {
    const float* a = aImage + (aPy + dy) * aXSize + aPx;
    const float* b = aImage + (aQy + dy) * aXSize + aQx;
    for (int dx = -r; dx <= r; ++dx, ++w) {
      const float d = a[dx] - b[dx];
      sum += (d * d) * *w;
    }
  }
  return sum / aWindow.weightSum;
}

// The same distance for any two pixels, over the offsets at which both patches
// lie inside the image. Returns false when those offsets carry no window weight
// (only the centre is common): the distance is then undefined and the
// candidate must be skipped.
inline bool boundedDistance(const float* aImage, int aXSize, int aYSize, int aPx, int aPy, int aQx, int aQy,
                            const CPatchWindow& aWindow, float& aDistance) {
  const int r = aWindow.radius;
  const int dxLow = std::max(-r, std::max(-aPx, -aQx));
  const int dxHigh = std::min(r, std::min(aXSize - 1 - aPx, aXSize - 1 - aQx));
  const int dyLow = std::max(-r, std::max(-aPy, -aQy));
  const int dyHigh = std::min(r, std::min(aYSize - 1 - aPy, aYSize - 1 - aQy));
  float sum = 0.0f;
  float weightSum = 0.0f;
  for (int dy = dyLow; dy <= dyHigh; ++dy) {
    const float* a = aImage + (aPy + dy) * aXSize + aPx;
    const float* b = aImage + (aQy + dy) * aXSize + aQx;
    for (int dx = dxLow; dx <= dxHigh; ++dx) {
      const float d = a[dx] - b[dx];
      const float w = aWindow.at(dx, dy);
      sum += (d * d) * w;
      weightSum += w;
    }
  }
  if (!(weightSum > 0.0f)) return false;
  aDistance = sum / weightSum;
  return true;
}

// Kernel factor k of the weight expf(k * D) for the cluster-tree methods.
inline float sigmaKernel(float aSigma) { return -0.5f / (aSigma * aSigma); }
// Kernel factor for the methods whose width is filterFactor * sigma.
inline float filterKernel(float aFilterFactor, float aSigma) {
  return -0.5f / (aFilterFactor * (aSigma * aSigma * aFilterFactor));
}

// Running weighted mean of one pixel: candidates are added in their order, the
// pixel itself (never added) takes the largest candidate weight.
struct CEstimate {
  float weightSum = 0.0f;    // T
  float weightedSum = 0.0f;  // A
  float maxWeight = 0.0f;    // M
  void add(float aWeight, float aValue) {
    maxWeight = std::max(aWeight, maxWeight);
    weightSum += aWeight;
    weightedSum += aWeight * aValue;
  }
  // Writes (A + M * own) / (T + M) to aOut when T + M > 0; otherwise leaves it.
  bool store(float aOwnValue, float& aOut) const {
    const float total = weightSum + maxWeight;
    if (!(total > 0.0f)) return false;
    aOut = (weightedSum + maxWeight * aOwnValue) / total;
    return true;
  }
};

// Windowed non-local means of pixel (x, y): candidates are the pixels of its
// search window of radius aRadius clipped to the image, row by row, compared
// on the bounded distance over aDistanceImage and averaged from aValues.
inline CEstimate windowedEstimate(const float* aDistanceImage, const float* aValues, int aXSize, int aYSize, int aX,
                                  int aY, int aRadius, float aKernel, const CPatchWindow& aWindow) {
  CEstimate estimate;
  const int yLow = std::max(aY - aRadius, 0), yHigh = std::min(aY + aRadius, aYSize - 1);
  const int xLow = std::max(aX - aRadius, 0), xHigh = std::min(aX + aRadius, aXSize - 1);
  for (int qy = yLow; qy <= yHigh; ++qy)
    for (int qx = xLow; qx <= xHigh; ++qx) {
      if (qx == aX && qy == aY) continue;
      float distance;
      if (!boundedDistance(aDistanceImage, aXSize, aYSize, aX, aY, qx, qy, aWindow, distance)) continue;
      estimate.add(std::exp(aKernel * distance), aValues[qx + qy * aXSize]);
    }
  return estimate;
}

// The distance by which candidates are ranked rather than weighted: the bounded
// distance, or +infinity when it is undefined, so that such a candidate sorts
// after every other one.
inline float rankingDistance(const float* aImage, int aXSize, int aYSize, int aPx, int aPy, int aQx, int aQy,
                             const CPatchWindow& aWindow) {
  float distance;
  if (!boundedDistance(aImage, aXSize, aYSize, aPx, aPy, aQx, aQy, aWindow, distance))
    return std::numeric_limits<float>::infinity();
  return distance;
}

// A search radius beyond the image's larger side selects the same clipped
// window, and any negative one the same empty window; clipping it keeps the
// window's bounds arithmetic within int.
inline int clippedRadius(int aRadius, int aXSize, int aYSize) {
  return std::max(-1, std::min(aRadius, std::max(aXSize, aYSize)));
}

// Throws EIncompatibleMatrices unless the two images have the same size: a
// method that measured on one image and averaged the other would otherwise
// read outside the smaller one.
inline void requireSameSize(const CMatrix<float>& aFirst, const CMatrix<float>& aSecond) {
  if (aFirst.xSize() != aSecond.xSize() || aFirst.ySize() != aSecond.ySize())
    throw EIncompatibleMatrices(aFirst.xSize(), aFirst.ySize(), aSecond.xSize(), aSecond.ySize());
}

}  // namespace NLMeansCommon

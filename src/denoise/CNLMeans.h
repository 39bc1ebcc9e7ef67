// CNLMeans: the non-local means denoiser and its variants.
//
// Every method takes an input image (the noisy values that are averaged) and a
// result image of the same size. On entry the result image holds the image on
// which patch distances are measured (normally a copy of the input); the
// methods copy it privately first, so a written estimate never changes a later
// distance. Pixel (x, y) is column x of row y; values are grey levels 0..255.
//
// The weight of a candidate q for a pixel p is expf(k * D(p, q)), D being the
// Gaussian-window-weighted mean squared difference of the two patches (the
// centre pixel left out), and the pixel itself takes the largest candidate
// weight. The methods check nothing: the caller keeps the images of equal
// size, the radii sensible and sigma non-zero.
#pragma once

#include "CMatrix.h"
#include "CTensor.h"

class CNLMeans {
public:
  // Kernel width h = filterFactor * sigma of the windowed variants and of the
  // graph weights; the cluster-tree methods use sigma alone.
  float filterFactor = 1.0f;
  // Half size r of the square patch of (2r+1) x (2r+1) pixels.
  int patchRadius = 4;
  // Half size of the square search window of the windowed methods.
  int searchRadius = 10;
  // The non-local weight graph: 14 layers per pixel (see gilboaOsherBuildWeights).
  CTensor<float> weights;
  CTensor<int> neighborX;
  CTensor<int> neighborY;

  // Fills aWindow with the (2r+1) x (2r+1) Gaussian patch window of radius
  // aRadius >= 0: (pi s)^-1/2 exp(-(dx^2 + dy^2) / s) with s = r^2/2 + 0.01,
  // and 0 at the centre.
  static void makeGaussianWindow(CMatrix<float>& aWindow, int aRadius);

  // Cluster-tree non-local means over the whole image: one two-means cluster
  // tree of the patches of all pixels at least patchRadius from every edge;
  // each such pixel is compared with the members of its leaf. Pixels nearer
  // the edge are compared with their clipped 31 x 31 window on the part of the
  // patches inside the image. aOverlap is the tree's overlap margin (0: every
  // patch in exactly one leaf). Kernel k = -0.5 / sigma^2.
  void clusterTreeGlobal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap);
  // Cluster-tree non-local means per overlapping block of 2(patchRadius +
  // searchRadius) + 1 pixels, block estimates blended with a Gaussian weight
  // around each block's centre; pixels inside no block take a windowed
  // non-local means over radius searchRadius.
  void clusterTreeLocal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap);
  // One block of clusterTreeLocal: the interior part of clusterTreeGlobal on
  // the two block images; pixels nearer than patchRadius to the block's edge
  // are left as they are.
  void treeLocalStep(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap);
};

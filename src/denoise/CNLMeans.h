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

#include <functional>

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
  // Optional progress hook, empty by default: the methods call it with the
  // name of a phase ("building the tree", "building the graph", "denoising")
  // and the fraction of it that is done (0..1, growing within a phase). It is
  // called only on the thread that called the method, at coarse steps (leaves,
  // blocks, rows), and never changes a result; it must not throw.
  // treeLocalStep does not call it.
  std::function<void(const char* aPhase, double aFraction)> progress;

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
  // The variants below weigh a candidate q of pixel p with
  // expf(k * D(p, q)), k = -0.5 / h^2 and h = filterFactor * sigma (sigma in
  // grey levels), unless said otherwise. D is measured on the part of the two
  // patches that lies inside the image, and a candidate with no weighted
  // offset in common with p is skipped. Search windows are clipped to the
  // image, so any radius is safe. Each throws EIncompatibleMatrices when the
  // two images differ in size; aInput and aResult must be distinct objects.

  // Plain non-local means: every pixel of the (2 searchRadius + 1)^2 window
  // around p is a candidate. searchRadius 0 leaves the result unchanged. Cost:
  // X Y (2R+1)^2 patch distances of up to (2r+1)^2 terms each.
  void standardNLMeans(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma);
  // standardNLMeans that first drops every candidate whose window-weighted
  // patch mean differs from p's by a ratio outside [0.95, 1.05] or whose patch
  // spread differs by a ratio outside [0.5, 1.5]. Cost: one pass over all
  // patches, then a full distance only for candidates that pass.
  void preselection(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma);
  // Non-local means whose weights are computed only for the centre of each
  // (2 aTileHalfSize + 1)^2 tile and reused for every pixel of the tile, each
  // candidate moved by the pixel's offset from the centre; the self weight is
  // the centre's. aTileHalfSize 0 is standardNLMeans; a negative one, or a
  // negative searchRadius, leaves the result unchanged. Cost:
  // X Y (2R+1)^2 / (2a+1)^2 patch distances plus X Y (2R+1)^2 multiply-adds.
  void gridding(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aTileHalfSize);
  // Non-local means over aCount distinct candidates per pixel, drawn with
  // rand() at Gaussian offsets of standard deviation searchRadius / 2 in each
  // axis, truncated toward zero and kept within [-R, R - 1]; the pixel gives up
  // after 5 aCount failed draws in a row. aCount below 1 or searchRadius below
  // 1 draws nothing and leaves the result unchanged. Continues the process's
  // one rand() sequence. Cost: aCount patch distances per pixel.
  void sampling(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aCount);
  // Rank rule instead of weights: every pixel of the clipped search window
  // (p itself included) is ranked by D, and p becomes the plain mean of the
  // input values of the aBest best-ranked ones. aBest is limited to the
  // pixel's candidate count; below 1, or with a negative searchRadius, the
  // result is unchanged. Neither filterFactor nor sigma is used. Cost: as
  // standardNLMeans plus one sort of (2R+1)^2 candidates per pixel.
  void sortingCriterion(CMatrix<float>& aInput, CMatrix<float>& aResult, int aBest);

  // Builds the non-local graph of aImage into weights, neighborX and
  // neighborY, 14 layers per pixel (x, y): layers 0-3 link to (x-1, y),
  // (x+1, y), (x, y-1), (x, y+1); layers 4-8 to the five candidates of the
  // search window with the smallest D (the first is normally p itself, weight
  // 1), weight 0 where such a candidate is a direct neighbour; layers 9-13
  // hold reverse links from pixels that chose p, in the order they are found,
  // further ones dropped. A link is in use when its weight is above 0. Cost:
  // as standardNLMeans plus one sort per pixel.
  void gilboaOsherBuildWeights(CMatrix<float>& aImage, float aSigma);
  // One explicit step of linear non-local diffusion over the graph, in place:
  // u += (1/N) sum w (u(q) - u(p)) over p's N links in use. aImage must have
  // the size the graph was built for (else EIncompatibleMatrices, also before
  // any build). A pixel without links keeps its value.
  void gilboaOsherFilter(CMatrix<float>& aImage);
  // The same with the total-variation-like term
  // w (u(q) - u(p)) / sqrt((u(q) - u(p))^2 + 1e-5).
  void gilboaOsherFilterTV(CMatrix<float>& aImage);
};

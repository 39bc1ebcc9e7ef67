#include <cmath>
#include <vector>

#include "CClustering.h"
#include "CNLMeans.h"
#include "CNLMeansCommon.h"

namespace {

using NLMeansCommon::CEstimate;
using NLMeansCommon::CPatchWindow;

// Border pixels are compared with their clipped 31 x 31 window.
constexpr int kBorderSearchRadius = 15;

// The cluster tree over the patches of every pixel at least r from each edge
// of aImage, with the element storage it points into.
struct CPatchTree {
  CPatchTree(const float* aImage, int aXSize, int aYSize, int aRadius, float aOverlap) {
    const int side = 2 * aRadius + 1;
    const int length = side * side;
    // 1 / (2r+1): the squared distance of two features is then the plain mean
    // squared difference of the patches.
    const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(length)));
    elements.resize(static_cast<std::size_t>(aXSize) * aYSize);
    for (int y = aRadius; y < aYSize - aRadius; ++y)
      for (int x = aRadius; x < aXSize - aRadius; ++x) {
        CDataElement& e = elements[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * aXSize];
        e.feature.setSize(length);
        float* f = e.feature.data();
        for (int dy = -aRadius; dy <= aRadius; ++dy)
          for (int dx = -aRadius; dx <= aRadius; ++dx) *f++ = scale * aImage[(x + dx) + (y + dy) * aXSize];
        e.x = x;
        e.y = y;
        list.push_back(&e);
      }
    tree.patchXSize = side;
    tree.patchYSize = side;
    tree.overlapMargin = aOverlap;
    tree.leafMap.setSize(aXSize, aYSize);
    tree.buildTree(list);
  }
  std::vector<CDataElement> elements;
  std::vector<CDataElement*> list;
  CClusterTree tree;
};

// Estimates every pixel at least aRadius from each edge from the members of
// its leaf, compared on the whole-patch distance.
void estimateFromLeaves(const float* aDistanceImage, const CMatrix<float>& aInput, CMatrix<float>& aResult, int aRadius,
                        float aKernel, const CPatchWindow& aWindow, const CClusterTree& aTree) {
  const int X = aInput.xSize(), Y = aInput.ySize();
  const float* values = aInput.data();
  for (int y = aRadius; y < Y - aRadius; ++y)
    for (int x = aRadius; x < X - aRadius; ++x) {
      const CClusterTreeNode* leaf = aTree.leafMap(x, y);
      CEstimate estimate;
      for (const CDataElement* m : leaf->members) {
        if (m->x == x && m->y == y) continue;
        const float d = NLMeansCommon::squareDistance(aDistanceImage, X, x, y, m->x, m->y, aWindow);
        estimate.add(std::exp(aKernel * d), values[m->x + m->y * X]);
      }
      estimate.store(values[x + y * X], aResult(x, y));
    }
}

}  // namespace

void CNLMeans::clusterTreeGlobal(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  const int X = aInput.xSize(), Y = aInput.ySize();
  const int r = patchRadius;
  const std::vector<float> image(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(r);
  const CPatchTree patches(image.data(), X, Y, r, aOverlap);
  const float k = NLMeansCommon::sigmaKernel(aSigma);

  estimateFromLeaves(image.data(), aInput, aResult, r, k, window, patches.tree);
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x) {
      if (x >= r && x < X - r && y >= r && y < Y - r) continue;
      const CEstimate estimate = NLMeansCommon::windowedEstimate(image.data(), aInput.data(), X, Y, x, y,
                                                                 kBorderSearchRadius, k, window);
      estimate.store(aInput(x, y), aResult(x, y));
    }
}

void CNLMeans::treeLocalStep(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, float aOverlap) {
  const int r = patchRadius;
  const std::vector<float> image(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(r);
  const CPatchTree patches(image.data(), aInput.xSize(), aInput.ySize(), r, aOverlap);
  estimateFromLeaves(image.data(), aInput, aResult, r, NLMeansCommon::sigmaKernel(aSigma), window,
                                    patches.tree);
}

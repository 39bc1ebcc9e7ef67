// Read-only queries on a built cluster tree and the diagnostic patch mosaics.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "CClustering.h"

namespace {

// A member is found only if its squared distance lies below this (the float nearest to 1e11).
constexpr float kFarthest = 99999997952.0f;
// Feature value 1 is drawn as grey level 255.
constexpr float kGreyScale = 255.0f;

float squaredDistance(const CVector<float>& aA, const CVector<float>& aB, int aLength) {
  float d = 0.0f;
  for (int k = 0; k < aLength; ++k) {
    const float a = aA(k) - aB(k);
    d += a * a;
  }
  return d;
}

}  // namespace

CClusterTreeNode* CClusterTree::descend(const CVector<float>& aQuery) const {
  CClusterTreeNode* node = root.get();
  if (!node) return nullptr;
  const int length = aQuery.size();
  while (node->firstChild) {
    const CVector<float>& first = node->firstChild->center;
    const CVector<float>& second = node->secondChild->center;
    float df = 0.0f, ds = 0.0f;
    for (int k = 0; k < length; ++k) {
      const float a = aQuery(k) - first(k);
      df += a * a;
      const float b = aQuery(k) - second(k);
      ds += b * b;
    }
    node = ds > df ? node->firstChild.get() : node->secondChild.get();
  }
  return node;
}

void CClusterTree::findNearNeighbors(const CVector<float>& aQuery, std::vector<CDataElement*>*& aResult) {
  CClusterTreeNode* leaf = descend(aQuery);
  aResult = leaf ? &leaf->members : nullptr;
}

void CClusterTree::findNearestNeighbor(const CVector<float>& aQuery, CDataElement*& aResult) const {
  aResult = nullptr;
  const CClusterTreeNode* leaf = descend(aQuery);
  if (!leaf) return;
  float best = kFarthest;
  for (CDataElement* m : leaf->members) {
    const float d = squaredDistance(aQuery, m->feature, aQuery.size());
    if (d < best) {
      best = d;
      aResult = m;
    }
  }
}

void CClusterTree::showList(CTensor<float>& aMosaic, const std::vector<CDataElement*>& aList, int aFirstRow) const {
  // Without a whole tile per row the list could never be laid out.
  if (patchXSize <= 0) return;
  const int perRow = aMosaic.xSize() / patchXSize;
  if (perRow < 1) return;
  const int length = static_cast<int>(aList.size());
  const bool layersFit = patchZSize <= aMosaic.zSize();
  for (int p = 0, row = aFirstRow; p < length; p += perRow, ++row) {
    if (!layersFit || row < 0 || static_cast<long long>(row + 1) * patchYSize > aMosaic.ySize()) continue;
    for (int i = 0; i < perRow && p + i < length; ++i) {
      const float* feature = aList[p + i]->feature.data();
      for (int py = 0; py < patchYSize; ++py)
        for (int px = 0; px < patchXSize; ++px)
          for (int pz = 0; pz < patchZSize; ++pz)
            aMosaic(i * patchXSize + px, row * patchYSize + py, pz) =
                kGreyScale * feature[px + patchXSize * (py + patchYSize * pz)];
    }
  }
}

void CClusterTree::showNearNeighbors(int aIndex, const CVector<float>& aQuery) const {
  const CClusterTreeNode* leaf = descend(aQuery);
  if (leaf) composeMosaic(leaf->primaries, leaf->copies, "neighbors", aIndex);
}

void CClusterTree::showNodeMembers(int aIndex, const CClusterTreeNode& aNode) const {
  if (aNode.elements.empty()) {
    composeMosaic(aNode.primaries, aNode.copies, "node", aIndex);
    return;
  }
  std::vector<CDataElement*> primaries, copies;
  for (const CKMeansElement& e : aNode.elements) (e.isCopy ? copies : primaries).push_back(e.element);
  composeMosaic(primaries, copies, "node", aIndex);
}

void CClusterTree::composeMosaic(const std::vector<CDataElement*>& aPrimaries, const std::vector<CDataElement*>& aCopies,
                                 const char* aKind, int aIndex) const {
  const int primaryCount = static_cast<int>(aPrimaries.size());
  const int n = primaryCount + static_cast<int>(aCopies.size());
  // Nothing to show, nobody to show it to, or no tile shape to show it in.
  if (n == 0 || (mosaicFolder.empty() && !mosaicSink)) return;
  if (patchXSize <= 0 || patchYSize <= 0 || patchZSize <= 0) return;

  const int perRow = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
  CTensor<float> mosaic(perRow * patchXSize, (n / perRow + 2) * patchYSize, patchZSize);
  mosaic.fill(0.0f);
  showList(mosaic, aPrimaries, 0);
  showList(mosaic, aCopies, primaryCount / perRow + 1);

  if (!mosaicFolder.empty()) {
    // The tensor's storage order is already that of its layers stacked top to bottom.
    CMatrix<float> image(mosaic.xSize(), mosaic.ySize() * mosaic.zSize());
    std::copy(mosaic.data(), mosaic.data() + mosaic.size(), image.data());
    const std::string path = mosaicFolder + "/" + aKind + "-" + std::to_string(aIndex) + ".pgm";
    image.writeToPGM(path.c_str());
  }
  if (mosaicSink) mosaicSink(mosaic, aIndex);
}

#include <algorithm>
#include <cstring>
#include <utility>

#include "CClustering.h"

namespace {

// A split needs more than this many active records in each half.
constexpr int kMinHalf = 30;
// Nodes of up to this many active records may stay leaves whatever they hold;
// larger nodes of repeated vectors are divided without two-means.
constexpr int kMaxRepeatedLeaf = 2 * kMinHalf + 1;

bool sameVector(const CVector<float>& aA, const CVector<float>& aB) {
  if (aA.size() != aB.size()) return false;
  for (int k = 0; k < aA.size(); ++k)
    if (!(aA(k) == aB(k))) return false;
  return true;
}

CKMeansElement record(CDataElement* aElement, bool aIsCopy) {
  CKMeansElement r;
  r.element = aElement;
  r.isCopy = aIsCopy;
  return r;
}

// Empties a work list and gives its storage back.
void release(std::vector<CKMeansElement>& aList) { std::vector<CKMeansElement>().swap(aList); }

std::unique_ptr<CClusterTreeNode> childWithCenter(const CVector<float>& aCenter) {
  auto child = std::make_unique<CClusterTreeNode>();
  child->center = aCenter;
  return child;
}

}  // namespace

CClusterTreeNode::~CClusterTreeNode() {
  std::vector<std::unique_ptr<CClusterTreeNode>> pending;
  if (firstChild) pending.push_back(std::move(firstChild));
  if (secondChild) pending.push_back(std::move(secondChild));
  while (!pending.empty()) {
    std::unique_ptr<CClusterTreeNode> node = std::move(pending.back());
    pending.pop_back();
    if (node->firstChild) pending.push_back(std::move(node->firstChild));
    if (node->secondChild) pending.push_back(std::move(node->secondChild));
  }
}

void CClusterTree::buildTree(std::vector<CDataElement*>& aElements) {
  root.reset();
  root = std::make_unique<CClusterTreeNode>();
  root->elements.reserve(aElements.size());
  for (CDataElement* element : aElements) root->elements.push_back(record(element, false));
  copyCount = 0;
  primaryCount = 0;
  split(*root);
}

void CClusterTree::split(CClusterTreeNode& aNode) {
  // Depth first with an explicit stack: the first child's whole subtree is
  // built before the second child, which fixes the order of the random draws.
  std::vector<CClusterTreeNode*> pending{&aNode};
  while (!pending.empty()) {
    CClusterTreeNode* node = pending.back();
    pending.pop_back();
    if (splitOne(*node)) {
      pending.push_back(node->secondChild.get());
      pending.push_back(node->firstChild.get());
    }
  }
}

bool CClusterTree::splitOne(CClusterTreeNode& aNode) {
  CClustering clustering;
  CVector<float> center0, center1;
  int count0 = 0, count1 = 0;
  float spread0 = 0.0f, spread1 = 0.0f;
  clustering.twoMeans(aNode.elements, center0, center1, count0, count1, spread0, spread1);

  if (spread0 > splitThreshold && count0 > kMinHalf && spread1 > splitThreshold && count1 > kMinHalf) {
    // The halves follow the nearest final centre (ties to the second child),
    // which need not be the two-means clusters after five passes.
    const int length = center0.size();
    std::vector<CKMeansElement*> nearer0, nearer1;
    nearer0.reserve(aNode.elements.size());
    nearer1.reserve(aNode.elements.size());
    int active0 = 0, active1 = 0;
    for (CKMeansElement& e : aNode.elements) {
      const float* x = e.element->feature.data();
      float d0 = 0.0f, d1 = 0.0f;
      for (int k = 0; k < length; ++k) {
        const float a = x[k] - center0(k);
        d0 += a * a;
        const float b = x[k] - center1(k);
        d1 += b * b;
      }
      e.lower0 = d0;
      e.lower1 = d1;
      if (d1 > d0) {
        nearer0.push_back(&e);
        active0 += e.isCopy ? 0 : 1;
      } else {
        nearer1.push_back(&e);
        active1 += e.isCopy ? 0 : 1;
      }
    }
    // A partition that leaves one side without an active record divides nothing.
    if (active0 > 0 && active1 > 0) {
      auto first = childWithCenter(center0);
      auto second = childWithCenter(center1);
      const float band = overlapMargin * overlapMargin;
      for (CKMeansElement* e : nearer0) {
        first->elements.push_back(record(e->element, e->isCopy));
        if (e->lower0 + band > e->lower1) second->elements.push_back(record(e->element, true));
      }
      for (CKMeansElement* e : nearer1) {
        second->elements.push_back(record(e->element, e->isCopy));
        if (e->lower1 + band > e->lower0) first->elements.push_back(record(e->element, true));
      }
      release(aNode.elements);
      aNode.firstChild = std::move(first);
      aNode.secondChild = std::move(second);
      return true;
    }
  }

  if (divideRepeated(aNode)) return true;
  makeLeaf(aNode);
  return false;
}

bool CClusterTree::divideRepeated(CClusterTreeNode& aNode) {
  std::vector<CKMeansElement>& list = aNode.elements;
  std::vector<int> activeIndices;
  for (int i = 0; i < static_cast<int>(list.size()); ++i)
    if (!list[i].isCopy) activeIndices.push_back(i);
  const int active = static_cast<int>(activeIndices.size());
  if (active <= kMaxRepeatedLeaf) return false;

  const CVector<float>& firstVector = list[activeIndices.front()].element->feature;
  const bool allEqual = std::all_of(activeIndices.begin(), activeIndices.end(),
                                    [&](int i) { return sameVector(list[i].element->feature, firstVector); });
  if (allEqual) {
    // Identical patches cannot be told apart: halve the list in its own order.
    const int lastOfFirst = activeIndices[(active + 1) / 2 - 1];
    auto first = childWithCenter(firstVector);
    auto second = childWithCenter(firstVector);
    for (int i = 0; i < static_cast<int>(list.size()); ++i)
      (i <= lastOfFirst ? first : second)->elements.push_back(record(list[i].element, list[i].isCopy));
    release(list);
    aNode.firstChild = std::move(first);
    aNode.secondChild = std::move(second);
    return true;
  }

  // Find the largest group of active records with one shared vector; between
  // groups of equal size the one whose first record comes first wins. Sorting
  // the indices by vector content brings each group together.
  const int length = firstVector.size();
  std::vector<int> order = activeIndices;
  const auto less = [&](int a, int b) {
    const float* va = list[a].element->feature.data();
    const float* vb = list[b].element->feature.data();
    for (int k = 0; k < length; ++k) {
      // Bit patterns order the values; +0 and -0 count as one, as == has it.
      std::uint32_t ba = 0, bb = 0;
      if (va[k] != 0.0f) std::memcpy(&ba, va + k, sizeof ba);
      if (vb[k] != 0.0f) std::memcpy(&bb, vb + k, sizeof bb);
      if (ba != bb) return ba < bb;
    }
    return a < b;
  };
  std::sort(order.begin(), order.end(), less);
  int bestSize = 0, bestFirst = -1;
  for (std::size_t start = 0; start < order.size();) {
    std::size_t end = start + 1;
    while (end < order.size() && sameVector(list[order[end]].element->feature, list[order[start]].element->feature))
      ++end;
    const int size = static_cast<int>(end - start);
    const int firstIndex = order[start];  // smallest list index of the run
    if (size > bestSize || (size == bestSize && firstIndex < bestFirst)) {
      bestSize = size;
      bestFirst = firstIndex;
    }
    start = end;
  }
  if (bestSize <= kMaxRepeatedLeaf) return false;

  // Divide off the group; the rest keeps its own mean as centre.
  const CVector<float> shared = list[bestFirst].element->feature;
  auto first = childWithCenter(shared);
  auto second = std::make_unique<CClusterTreeNode>();
  CVector<float> sum(length);
  sum.fill(0.0f);
  int restCount = 0;
  for (const CKMeansElement& e : list) {
    if (!e.isCopy && sameVector(e.element->feature, shared)) {
      first->elements.push_back(record(e.element, false));
    } else {
      second->elements.push_back(record(e.element, e.isCopy));
      if (!e.isCopy) {
        const float* x = e.element->feature.data();
        for (int k = 0; k < length; ++k) sum(k) += x[k];
        ++restCount;
      }
    }
  }
  second->center.setSize(length);
  const float factor = static_cast<float>(1.0 / restCount);
  for (int k = 0; k < length; ++k) second->center(k) = sum(k) * factor;
  release(list);
  aNode.firstChild = std::move(first);
  aNode.secondChild = std::move(second);
  return true;
}

void CClusterTree::makeLeaf(CClusterTreeNode& aNode) {
  aNode.members.reserve(aNode.elements.size());
  for (const CKMeansElement& e : aNode.elements) {
    aNode.members.push_back(e.element);
    (e.isCopy ? aNode.copies : aNode.primaries).push_back(e.element);
  }
  if (leafMap.xSize() > 0) {
    CClusterTreeNode** map = leafMap.data();
    const int stride = leafMap.xSize();
    for (const CKMeansElement& e : aNode.elements)
      if (!e.isCopy) map[e.element->y * stride + e.element->x] = &aNode;
  }
  release(aNode.elements);
}

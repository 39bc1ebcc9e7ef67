// Agglomerative pairwise clustering and the cluster-tree nodes built from its merge tree.
#include <algorithm>
#include <cmath>
#include <queue>
#include <utility>
#include <vector>

#include "CClustering.h"

namespace {

// A merge of two childless clusters records its parts only if both hold more than this many items.
constexpr int kFlatMergeLimit = 9;
// Exponent of the size weight of a merge cost.
constexpr double kSizeWeightExponent = 0.25;

}  // namespace

void CClustering::pairwiseClustering(std::vector<CPWCElement>& aList,
                                     const std::function<void(const CPWCDistance&)>& aOnMerge) {
  if (aList.empty()) return;
  const int length = aList.front().sum.size();
  std::priority_queue<CPWCDistance> queue;

  // Every pair at once; for singletons the plain squared distance of the sums
  // is the merge cost.
  const int n = static_cast<int>(aList.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j) {
      const CVector<float>& a = aList[i].sum;
      const CVector<float>& b = aList[j].sum;
      float d = 0.0f;
      for (int c = 0; c < length; ++c) {
        const float t = a(c) - b(c);
        d += t * t;
      }
      queue.push(CPWCDistance{d, i, j});
    }

  while (!queue.empty()) {
    const CPWCDistance top = queue.top();
    // Candidates of clusters merged since are skipped, not searched out of the queue.
    if (!aList[top.first].active || !aList[top.second].active) {
      queue.pop();
      continue;
    }
    CPWCElement& first = aList[top.first];
    CPWCElement& second = aList[top.second];
    first.active = false;
    second.active = false;
    CPWCElement merged;
    merged.sum = first.sum;
    for (int c = 0; c < merged.sum.size(); ++c) merged.sum(c) += second.sum(c);
    merged.count = first.count + second.count;
    merged.active = true;
    if ((first.count > kFlatMergeLimit && second.count > kFlatMergeLimit) || first.firstChild >= 0 ||
        second.firstChild >= 0) {
      merged.firstChild = top.first;
      merged.secondChild = top.second;
    }
    // The append may move the list: no reference into it survives this line.
    aList.push_back(std::move(merged));
    const int r = static_cast<int>(aList.size()) - 1;
    queue.pop();
    if (aOnMerge) aOnMerge(top);

    const CPWCElement& newest = aList[r];
    const float w = static_cast<float>(1.0 / newest.count);
    for (int k = 0; k < r; ++k) {
      const CPWCElement& other = aList[k];
      if (!other.active) continue;
      const float a = static_cast<float>(1.0 / other.count);
      float squared = 0.0f;
      for (int c = 0; c < length; ++c) {
        const float t = a * other.sum(c) - w * newest.sum(c);
        squared += t * t;
      }
      const double weight = std::pow(static_cast<double>(std::max(other.count, newest.count)), kSizeWeightExponent);
      queue.push(CPWCDistance{static_cast<float>(static_cast<double>(squared) * weight), k, r});
    }
  }
}

void CClusterTree::buildPWCSubTree(std::vector<CPWCElement>& aList, int aIndex, CClusterTreeNode* aNode) {
  // Depth first, first child first, with an explicit stack: chains of merges
  // can make the merge tree as deep as the list is long.
  std::vector<std::pair<int, CClusterTreeNode*>> pending{{aIndex, aNode}};
  while (!pending.empty()) {
    const auto [index, node] = pending.back();
    pending.pop_back();
    const int f = aList[index].firstChild;
    const int g = aList[index].secondChild;

    if (f < 0 || g < 0) {
      for (const CKMeansElement& e : node->elements) ++(e.isCopy ? copyCount : primaryCount);
      makeLeaf(*node);
      continue;
    }

    // A part's centre is its mean; the sum in the list is replaced by it.
    const auto childAt = [&](int aPart) {
      CPWCElement& part = aList[aPart];
      const float factor = static_cast<float>(1.0 / part.count);
      for (int c = 0; c < part.sum.size(); ++c) part.sum(c) *= factor;
      auto child = std::make_unique<CClusterTreeNode>();
      child->center = part.sum;
      return child;
    };
    auto first = childAt(f);
    auto second = childAt(g);

    // Each record follows the nearer centre, ties to the second child, as in split.
    const CVector<float>& c0 = first->center;
    const CVector<float>& c1 = second->center;
    const int length = c0.size();
    for (const CKMeansElement& e : node->elements) {
      const float* x = e.element->feature.data();
      float d0 = 0.0f, d1 = 0.0f;
      for (int k = 0; k < length; ++k) {
        const float a = x[k] - c0(k);
        d0 += a * a;
        const float b = x[k] - c1(k);
        d1 += b * b;
      }
      CKMeansElement record;
      record.element = e.element;
      record.isCopy = e.isCopy;
      (d1 > d0 ? first : second)->elements.push_back(record);
    }
    std::vector<CKMeansElement>().swap(node->elements);
    node->firstChild = std::move(first);
    node->secondChild = std::move(second);
    pending.emplace_back(g, node->secondChild.get());
    pending.emplace_back(f, node->firstChild.get());
  }
}

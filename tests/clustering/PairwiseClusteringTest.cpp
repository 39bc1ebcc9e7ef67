// Agglomerative pairwise clustering and the tree nodes built from its merge tree.
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "CClustering.h"

namespace {

CPWCElement cluster(std::initializer_list<float> aSum, int aCount = 1) {
  CPWCElement e;
  e.sum.setSize(static_cast<int>(aSum.size()));
  std::copy(aSum.begin(), aSum.end(), e.sum.data());
  e.count = aCount;
  return e;
}

std::vector<CPWCDistance> clusterAll(std::vector<CPWCElement>& aList) {
  std::vector<CPWCDistance> merges;
  CClustering().pairwiseClustering(aList, [&](const CPWCDistance& aMerge) { merges.push_back(aMerge); });
  return merges;
}

// The merge cost of a cluster (sum, count) with the newest one, step by step in float and double.
float mergeCost(float aSum, int aCount, float aNewestSum, int aNewestCount) {
  const float a = static_cast<float>(1.0 / aCount);
  const float w = static_cast<float>(1.0 / aNewestCount);
  const float t = a * aSum - w * aNewestSum;
  const float squared = 0.0f + t * t;
  return static_cast<float>(static_cast<double>(squared) * std::pow(std::max(aCount, aNewestCount), 0.25));
}

TEST(PairwiseClustering, ThreePointsOnALine) {
  std::vector<CPWCElement> list{cluster({0.0f}), cluster({1.0f}), cluster({5.0f})};
  const std::vector<CPWCDistance> merges = clusterAll(list);
  // The candidates (1, 2) at 16 and (0, 2) at 25 name merged clusters when
  // they reach the top and cause no merge.
  ASSERT_EQ(merges.size(), 2u);
  EXPECT_EQ(merges[0].distance, 1.0f);
  EXPECT_EQ(merges[0].first, 0);
  EXPECT_EQ(merges[0].second, 1);
  const float second = static_cast<float>(static_cast<double>(4.5f * 4.5f) * std::pow(2.0, 0.25));
  EXPECT_EQ(merges[1].distance, second);
  EXPECT_EQ(merges[1].distance, mergeCost(5.0f, 1, 1.0f, 2));
  EXPECT_EQ(merges[1].first, 2);
  EXPECT_EQ(merges[1].second, 3);

  ASSERT_EQ(list.size(), 5u);
  const float sums[] = {0.0f, 1.0f, 5.0f, 1.0f, 6.0f};
  const int counts[] = {1, 1, 1, 2, 3};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(list[k].sum(0), sums[k]);
    EXPECT_EQ(list[k].count, counts[k]);
    EXPECT_EQ(list[k].active, k == 4);
    EXPECT_EQ(list[k].firstChild, -1);
    EXPECT_EQ(list[k].secondChild, -1);
  }
}

TEST(PairwiseClustering, CostsOfLargerClustersRoundLikeTheirSteps) {
  // 0 and 1 merge, then 3.1 joins them (count 3), then 23.6 joins last. With
  // these values both costs differ from a product taken in float.
  std::vector<CPWCElement> list{cluster({0.0f}), cluster({1.0f}), cluster({3.1f}), cluster({23.6f})};
  const std::vector<CPWCDistance> merges = clusterAll(list);
  ASSERT_EQ(merges.size(), 3u);
  EXPECT_EQ(merges[1].distance, mergeCost(3.1f, 1, 1.0f, 2));
  EXPECT_EQ(merges[1].first, 2);
  EXPECT_EQ(merges[1].second, 4);
  EXPECT_EQ(merges[2].distance, mergeCost(23.6f, 1, 3.1f + 1.0f, 3));
  EXPECT_EQ(merges[2].first, 3);
  EXPECT_EQ(merges[2].second, 5);
  ASSERT_EQ(list.size(), 7u);
  EXPECT_EQ(list[5].sum(0), 3.1f + 1.0f);
  EXPECT_EQ(list[6].count, 4);
  EXPECT_EQ(list[6].sum(0), 23.6f + (3.1f + 1.0f));
}

TEST(PairwiseClustering, ChildrenAreRecordedAboveNineItemsOrBelowRecordedMerges) {
  // Counts 10 and 10 at distance 1000 of their sums, and a far singleton.
  std::vector<CPWCElement> big{cluster({0.0f}, 10), cluster({1000.0f}, 10), cluster({1e6f})};
  clusterAll(big);
  ASSERT_EQ(big.size(), 5u);
  EXPECT_EQ(big[3].count, 20);
  EXPECT_EQ(big[3].firstChild, 0);
  EXPECT_EQ(big[3].secondChild, 1);
  // The singleton merges with a cluster that has children: recorded too.
  EXPECT_EQ(big[4].firstChild, 2);
  EXPECT_EQ(big[4].secondChild, 3);

  std::vector<CPWCElement> small{cluster({0.0f}, 9), cluster({1000.0f}, 10), cluster({1e6f})};
  clusterAll(small);
  ASSERT_EQ(small.size(), 5u);
  EXPECT_EQ(small[3].count, 19);
  for (const CPWCElement& e : small) {
    EXPECT_EQ(e.firstChild, -1);
    EXPECT_EQ(e.secondChild, -1);
  }
}

TEST(PairwiseClustering, EveryClusterIsMergedExactlyOnce) {
  std::mt19937 generator(5);
  std::uniform_real_distribution<float> position(0.0f, 100.0f);
  std::vector<CPWCElement> list;
  for (int i = 0; i < 40; ++i) list.push_back(cluster({position(generator), position(generator)}));
  const std::vector<CPWCDistance> merges = clusterAll(list);
  ASSERT_EQ(merges.size(), 39u);
  ASSERT_EQ(list.size(), 79u);
  std::map<int, int> parts;
  for (std::size_t m = 0; m < merges.size(); ++m) {
    // Both parts existed before the merge and were still active.
    EXPECT_LT(merges[m].first, 40 + static_cast<int>(m));
    EXPECT_LT(merges[m].second, 40 + static_cast<int>(m));
    ++parts[merges[m].first];
    ++parts[merges[m].second];
    EXPECT_EQ(list[40 + m].count, list[merges[m].first].count + list[merges[m].second].count);
  }
  EXPECT_EQ(parts.size(), 78u);
  for (const auto& [index, times] : parts) EXPECT_EQ(times, 1) << index;
  for (std::size_t k = 0; k + 1 < list.size(); ++k) EXPECT_FALSE(list[k].active);
  EXPECT_TRUE(list.back().active);
  EXPECT_EQ(list.back().count, 40);
}

TEST(PairwiseClustering, EmptyAndSingleListsAreLeftAlone) {
  std::vector<CPWCElement> empty;
  EXPECT_TRUE(clusterAll(empty).empty());
  EXPECT_TRUE(empty.empty());
  std::vector<CPWCElement> one{cluster({3.0f, 4.0f}, 2)};
  EXPECT_TRUE(clusterAll(one).empty());
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(one[0].active);
  EXPECT_EQ(one[0].sum(1), 4.0f);
}

// Elements on a grid of positions, each with a feature vector.
struct CElements {
  std::vector<std::unique_ptr<CDataElement>> owned;
  std::vector<CDataElement*> list;
  static constexpr int kXSize = 16;
  CDataElement* add(std::initializer_list<float> aValues) {
    owned.push_back(std::make_unique<CDataElement>());
    CDataElement* e = owned.back().get();
    e->feature.setSize(static_cast<int>(aValues.size()));
    std::copy(aValues.begin(), aValues.end(), e->feature.data());
    e->x = static_cast<int>(list.size()) % kXSize;
    e->y = static_cast<int>(list.size()) / kXSize;
    list.push_back(e);
    return e;
  }
};

void addRecord(CClusterTreeNode& aNode, CDataElement* aElement, bool aIsCopy = false) {
  CKMeansElement r;
  r.element = aElement;
  r.isCopy = aIsCopy;
  aNode.elements.push_back(r);
}

TEST(PWCSubTree, ChildlessClusterMakesTheNodeALeaf) {
  CElements elements;
  CDataElement* a = elements.add({1.0f});
  CDataElement* b = elements.add({2.0f});
  CDataElement* c = elements.add({3.0f});
  std::vector<CPWCElement> list{cluster({1.0f})};
  CClusterTreeNode node;
  node.center = cluster({7.0f}).sum;
  addRecord(node, a);
  addRecord(node, b, true);
  addRecord(node, c);
  CClusterTree tree;
  tree.primaryCount = 5;
  tree.copyCount = 1;
  tree.leafMap.setSize(CElements::kXSize, 1);
  tree.leafMap.fill(nullptr);
  tree.buildPWCSubTree(list, 0, &node);
  EXPECT_FALSE(node.firstChild);
  EXPECT_TRUE(node.elements.empty());
  EXPECT_EQ(node.members, (std::vector<CDataElement*>{a, b, c}));
  EXPECT_EQ(node.primaries, (std::vector<CDataElement*>{a, c}));
  EXPECT_EQ(node.copies, std::vector<CDataElement*>{b});
  EXPECT_EQ(tree.primaryCount, 7);
  EXPECT_EQ(tree.copyCount, 2);
  EXPECT_EQ(tree.leafMap(a->x, a->y), &node);
  EXPECT_EQ(tree.leafMap(b->x, b->y), nullptr);
  EXPECT_EQ(tree.leafMap(c->x, c->y), &node);
  EXPECT_EQ(node.center(0), 7.0f);
  EXPECT_EQ(list[0].sum(0), 1.0f);
}

TEST(PWCSubTree, RecordedMergeGivesTwoLeavesAroundTheMeans) {
  // Clusters of 10 and 10 items with means (1, 2) and (10, 20).
  std::vector<CPWCElement> list{cluster({10.0f, 20.0f}, 10), cluster({100.0f, 200.0f}, 10)};
  CClustering().pairwiseClustering(list);
  ASSERT_EQ(list.size(), 3u);
  ASSERT_EQ(list[2].firstChild, 0);

  CElements elements;
  CDataElement* nearFirst = elements.add({1.5f, 2.0f});
  CDataElement* equidistant = elements.add({5.5f, 11.0f});
  CDataElement* nearSecond = elements.add({9.0f, 19.0f});
  CDataElement* copyNearFirst = elements.add({0.0f, 0.0f});
  CClusterTreeNode node;
  addRecord(node, nearSecond);
  addRecord(node, copyNearFirst, true);
  addRecord(node, equidistant);
  addRecord(node, nearFirst);
  CClusterTree tree;
  tree.buildPWCSubTree(list, 2, &node);

  ASSERT_TRUE(node.firstChild);
  ASSERT_TRUE(node.secondChild);
  const CClusterTreeNode& first = *node.firstChild;
  const CClusterTreeNode& second = *node.secondChild;
  EXPECT_EQ(first.center(0), 1.0f);
  EXPECT_EQ(first.center(1), 2.0f);
  EXPECT_EQ(second.center(0), 10.0f);
  EXPECT_EQ(second.center(1), 20.0f);
  EXPECT_EQ(node.center.size(), 0);
  // The parts' sums now hold their means.
  EXPECT_EQ(list[0].sum(1), 2.0f);
  EXPECT_EQ(list[1].sum(1), 20.0f);
  // Records follow the nearer centre in list order, ties to the second child.
  EXPECT_EQ(first.members, (std::vector<CDataElement*>{copyNearFirst, nearFirst}));
  EXPECT_EQ(first.copies, std::vector<CDataElement*>{copyNearFirst});
  EXPECT_EQ(second.members, (std::vector<CDataElement*>{nearSecond, equidistant}));
  EXPECT_TRUE(node.elements.empty());
  EXPECT_TRUE(node.members.empty());
  EXPECT_EQ(tree.primaryCount, 3);
  EXPECT_EQ(tree.copyCount, 1);
}

TEST(PWCSubTree, MeansUseTheRoundedReciprocalOfTheCount) {
  std::vector<CPWCElement> list{cluster({10.0f}, 3), cluster({50.0f}, 10), cluster({0.0f}, 13)};
  list[2].firstChild = 0;
  list[2].secondChild = 1;
  CClusterTreeNode node;
  CClusterTree().buildPWCSubTree(list, 2, &node);
  // 10 times the float of 1/3 rounds up; 10 / 3 in float rounds down.
  EXPECT_EQ(node.firstChild->center(0), 10.0f * static_cast<float>(1.0 / 3));
  EXPECT_NE(node.firstChild->center(0), 10.0f / 3.0f);
  EXPECT_EQ(node.secondChild->center(0), 50.0f * static_cast<float>(1.0 / 10));
}

void collectLeaves(const CClusterTreeNode& aNode, std::vector<const CClusterTreeNode*>& aLeaves) {
  EXPECT_TRUE(aNode.elements.empty());
  if (!aNode.firstChild) {
    aLeaves.push_back(&aNode);
    return;
  }
  EXPECT_TRUE(aNode.members.empty());
  ASSERT_TRUE(aNode.secondChild);
  collectLeaves(*aNode.firstChild, aLeaves);
  collectLeaves(*aNode.secondChild, aLeaves);
}

TEST(PWCSubTree, MergeTreeLeavesHoldEveryRecordOnceAndAnswerQueries) {
  // Three groups of 15 items: the groups form flat, then merge with children.
  std::mt19937 generator(3);
  std::normal_distribution<float> noise(0.0f, 2.0f);
  const float centres[3][2] = {{0.0f, 0.0f}, {50.0f, 0.0f}, {0.0f, 50.0f}};
  CElements elements;
  for (int i = 0; i < 45; ++i) {
    const float* c = centres[i % 3];
    elements.add({c[0] + noise(generator), c[1] + noise(generator)});
  }
  std::vector<CPWCElement> list;
  for (CDataElement* e : elements.list) {
    list.emplace_back();
    list.back().sum = e->feature;
    list.back().count = 1;
  }
  CClustering().pairwiseClustering(list);

  CClusterTree tree;
  tree.root = std::make_unique<CClusterTreeNode>();
  for (CDataElement* e : elements.list) addRecord(*tree.root, e);
  tree.leafMap.setSize(CElements::kXSize, 3);
  tree.buildPWCSubTree(list, static_cast<int>(list.size()) - 1, tree.root.get());

  std::vector<const CClusterTreeNode*> leaves;
  collectLeaves(*tree.root, leaves);
  EXPECT_EQ(leaves.size(), 3u);
  std::map<const CDataElement*, int> seen;
  for (const CClusterTreeNode* leaf : leaves) {
    EXPECT_EQ(leaf->members, leaf->primaries);
    for (CDataElement* m : leaf->members) {
      ++seen[m];
      EXPECT_EQ(tree.leafMap(m->x, m->y), leaf);
    }
  }
  EXPECT_EQ(seen.size(), elements.list.size());
  for (const auto& [element, times] : seen) EXPECT_EQ(times, 1);
  EXPECT_EQ(tree.primaryCount, 45);
  EXPECT_EQ(tree.copyCount, 0);

  // Records went down the nearer centres, so a query from an element finds its leaf.
  for (CDataElement* e : elements.list) {
    std::vector<CDataElement*>* found = nullptr;
    tree.findNearNeighbors(e->feature, found);
    EXPECT_EQ(found, &tree.leafMap(e->x, e->y)->members);
    CDataElement* nearest = nullptr;
    tree.findNearestNeighbor(e->feature, nearest);
    EXPECT_EQ(nearest, e);
  }
}

TEST(PWCSubTree, DeepMergeChainsAreBuiltWithoutRecursion) {
  // A chain in which every merge adds one singleton to the previous merge.
  const int depth = 50000;
  std::vector<CPWCElement> list;
  list.reserve(2 * depth + 1);
  for (int i = 0; i <= depth; ++i) list.push_back(cluster({static_cast<float>(i)}));
  int previous = 0;
  for (int i = 1; i <= depth; ++i) {
    CPWCElement merged = cluster({0.0f}, i + 1);
    merged.firstChild = previous;
    merged.secondChild = i;
    list.push_back(std::move(merged));
    previous = static_cast<int>(list.size()) - 1;
  }
  auto tree = std::make_unique<CClusterTree>();
  tree->root = std::make_unique<CClusterTreeNode>();
  tree->buildPWCSubTree(list, previous, tree->root.get());
  int levels = 0;
  for (const CClusterTreeNode* node = tree->root.get(); node->firstChild; node = node->firstChild.get()) ++levels;
  EXPECT_EQ(levels, depth);
  tree.reset();
}

}  // namespace

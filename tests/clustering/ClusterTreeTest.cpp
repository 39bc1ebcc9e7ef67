#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "CClustering.h"

namespace {

// Elements laid out on a grid of positions so that leafMap can index them.
struct CElements {
  explicit CElements(int aXSize = 64) : xSize(aXSize) {}
  int xSize;
  std::vector<std::unique_ptr<CDataElement>> owned;
  std::vector<CDataElement*> list;
  CDataElement* add(const std::vector<float>& aVector) {
    auto e = std::make_unique<CDataElement>();
    e->feature.setSize(static_cast<int>(aVector.size()));
    std::copy(aVector.begin(), aVector.end(), e->feature.data());
    const int index = static_cast<int>(owned.size());
    e->x = index % xSize;
    e->y = index / xSize;
    list.push_back(e.get());
    owned.push_back(std::move(e));
    return list.back();
  }
  int ySize() const { return static_cast<int>(owned.size()) / xSize + 1; }
};

void forEachLeaf(const CClusterTreeNode& aNode, const std::function<void(const CClusterTreeNode&)>& aVisit) {
  if (!aNode.firstChild) {
    aVisit(aNode);
    return;
  }
  forEachLeaf(*aNode.firstChild, aVisit);
  forEachLeaf(*aNode.secondChild, aVisit);
}

void expectNoWorkListsLeft(const CClusterTreeNode& aNode) {
  EXPECT_TRUE(aNode.elements.empty());
  if (aNode.firstChild) {
    EXPECT_TRUE(aNode.members.empty());
    ASSERT_TRUE(aNode.secondChild);
    expectNoWorkListsLeft(*aNode.firstChild);
    expectNoWorkListsLeft(*aNode.secondChild);
  }
}

// Leaves partition the elements and leafMap names the leaf of each.
void expectPartition(const CClusterTree& aTree, const CElements& aElements) {
  std::map<const CDataElement*, int> seen;
  forEachLeaf(*aTree.root, [&](const CClusterTreeNode& aLeaf) {
    EXPECT_EQ(aLeaf.members.size(), aLeaf.primaries.size());
    EXPECT_TRUE(aLeaf.copies.empty());
    for (const CDataElement* m : aLeaf.members) {
      ++seen[m];
      EXPECT_EQ(aTree.leafMap(m->x, m->y), &aLeaf);
    }
  });
  EXPECT_EQ(seen.size(), aElements.list.size());
  for (const auto& [element, count] : seen) EXPECT_EQ(count, 1);
  expectNoWorkListsLeft(*aTree.root);
}

std::vector<float> jittered(std::mt19937& aGenerator, float aCentre, int aLength) {
  std::normal_distribution<float> noise(0.0f, 0.5f);
  std::vector<float> v(aLength);
  for (float& c : v) c = aCentre + noise(aGenerator);
  return v;
}

TEST(ClusterTree, SmallListsStayOneLeafInListOrder) {
  for (int n : {2, 17, 61}) {
    std::mt19937 generator(n);
    CElements elements;
    for (int i = 0; i < n; ++i) elements.add(jittered(generator, i % 2 ? 50.0f : 0.0f, 4));
    CClusterTree tree;
    tree.leafMap.setSize(elements.xSize, elements.ySize());
    tree.buildTree(elements.list);
    ASSERT_FALSE(tree.root->firstChild) << n;
    EXPECT_EQ(tree.root->members, elements.list);
    expectPartition(tree, elements);
  }
}

TEST(ClusterTree, SplitNeedsMoreThanThirtyOnEachSide) {
  for (auto [left, right, splits] : {std::tuple{31, 31, true}, std::tuple{31, 30, false}}) {
    std::mt19937 generator(3);
    CElements elements;
    for (int i = 0; i < left; ++i) elements.add(jittered(generator, 0.0f, 2));
    for (int i = 0; i < right; ++i) elements.add(jittered(generator, 100.0f, 2));
    CClusterTree tree;
    tree.leafMap.setSize(elements.xSize, elements.ySize());
    tree.buildTree(elements.list);
    EXPECT_EQ(static_cast<bool>(tree.root->firstChild), splits) << left << "/" << right;
    if (splits) {
      EXPECT_EQ(tree.root->firstChild->members.size() + tree.root->secondChild->members.size(), 62u);
      EXPECT_EQ(tree.root->firstChild->members.size(), 31u);
    }
    expectPartition(tree, elements);
  }
}

TEST(ClusterTree, LeavesPartitionManyElementsAndMapNamesTheirLeaf) {
  std::mt19937 generator(5);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  CElements elements(100);
  for (int i = 0; i < 3000; ++i) {
    std::vector<float> v(9);
    for (float& c : v) c = noise(generator) + (i % 4) * 3.0f;
    elements.add(v);
  }
  CClusterTree tree;
  tree.leafMap.setSize(elements.xSize, elements.ySize());
  tree.buildTree(elements.list);
  EXPECT_TRUE(tree.root->firstChild);
  expectPartition(tree, elements);
}

TEST(ClusterTree, RebuildReplacesTheOldNodes) {
  std::mt19937 generator(9);
  CElements elements;
  for (int i = 0; i < 400; ++i) elements.add(jittered(generator, (i % 5) * 20.0f, 3));
  CClusterTree tree;
  tree.leafMap.setSize(elements.xSize, elements.ySize());
  tree.buildTree(elements.list);
  tree.buildTree(elements.list);
  std::set<const CClusterTreeNode*> leaves;
  forEachLeaf(*tree.root, [&](const CClusterTreeNode& aLeaf) { leaves.insert(&aLeaf); });
  for (const CDataElement* e : elements.list) EXPECT_EQ(leaves.count(tree.leafMap(e->x, e->y)), 1u);
  expectPartition(tree, elements);
}

TEST(ClusterTree, WithoutMapTheTreeIsBuiltAlike) {
  std::mt19937 generator(4);
  CElements elements;
  for (int i = 0; i < 200; ++i) elements.add(jittered(generator, (i % 2) * 40.0f, 3));
  CClusterTree tree;
  tree.buildTree(elements.list);
  int members = 0;
  forEachLeaf(*tree.root, [&](const CClusterTreeNode& aLeaf) { members += static_cast<int>(aLeaf.members.size()); });
  EXPECT_EQ(members, 200);
}

TEST(ClusterTree, OverlapBandCopiesIntoTheFarChild) {
  // Two groups around 0 and 100 on a line and one element at 49: nearer to
  // the first group, by 100^2 - ... = about 200 in squared distance.
  std::mt19937 generator(2);
  CElements elements;
  for (int i = 0; i < 40; ++i) elements.add(jittered(generator, 0.0f, 1));
  for (int i = 0; i < 40; ++i) elements.add(jittered(generator, 100.0f, 1));
  CDataElement* between = elements.add({49.0f});
  CClusterTree tree;
  tree.overlapMargin = 20.0f;  // band of 400 in squared distance
  tree.leafMap.setSize(elements.xSize, elements.ySize());
  tree.buildTree(elements.list);
  ASSERT_TRUE(tree.root->firstChild);
  int primaries = 0, copies = 0;
  forEachLeaf(*tree.root, [&](const CClusterTreeNode& aLeaf) {
    const bool listed = std::count(aLeaf.members.begin(), aLeaf.members.end(), between) > 0;
    const bool primary = std::count(aLeaf.primaries.begin(), aLeaf.primaries.end(), between) > 0;
    const bool copy = std::count(aLeaf.copies.begin(), aLeaf.copies.end(), between) > 0;
    EXPECT_EQ(listed, primary || copy);
    primaries += primary;
    copies += copy;
    if (primary) {
      EXPECT_EQ(tree.leafMap(between->x, between->y), &aLeaf);
      // The primary stays on the side of the group near 0.
      EXPECT_LT(aLeaf.members.front()->feature(0), 50.0f);
    }
  });
  EXPECT_EQ(primaries, 1);
  EXPECT_GE(copies, 1);
}

TEST(ClusterTree, EquidistantRecordGoesToTheSecondChild) {
  // Groups with exact means 0 and 8 and, as a copy, a record at 4.
  CElements elements;
  for (int i = 0; i < 32; ++i) elements.add({i % 2 ? 0.5f : -0.5f});
  for (int i = 0; i < 32; ++i) elements.add({i % 2 ? 8.5f : 7.5f});
  CDataElement* middle = elements.add({4.0f});
  CClusterTreeNode node;
  for (CDataElement* e : elements.list) {
    CKMeansElement r;
    r.element = e;
    r.isCopy = e == middle;
    node.elements.push_back(r);
  }
  CClusterTree tree;
  tree.split(node);
  ASSERT_TRUE(node.firstChild);
  const std::set<float> centres{node.firstChild->center(0), node.secondChild->center(0)};
  EXPECT_EQ(centres, (std::set<float>{0.0f, 8.0f}));
  const CClusterTreeNode& second = *node.secondChild;
  ASSERT_FALSE(second.firstChild);
  EXPECT_EQ(second.copies, std::vector<CDataElement*>{middle});
}

TEST(ClusterTree, FlatNodeDividedByListOrder) {
  // 1000 identical patches: two-means cannot divide them, so the list is
  // halved in its own order until the leaves hold 31 to 61 each.
  CElements elements;
  for (int i = 0; i < 1000; ++i) elements.add({1.0f, 2.0f, 3.0f});
  CClusterTree tree;
  tree.leafMap.setSize(elements.xSize, elements.ySize());
  tree.buildTree(elements.list);
  std::vector<CDataElement*> inOrder;
  forEachLeaf(*tree.root, [&](const CClusterTreeNode& aLeaf) {
    EXPECT_GE(aLeaf.members.size(), 31u);
    EXPECT_LE(aLeaf.members.size(), 61u);
    inOrder.insert(inOrder.end(), aLeaf.members.begin(), aLeaf.members.end());
  });
  EXPECT_EQ(inOrder, elements.list);
  expectPartition(tree, elements);
}

TEST(ClusterTree, LargeGroupOfRepeatsIsDividedOff) {
  std::mt19937 generator(8);
  CElements elements;
  std::set<const CDataElement*> others;
  for (int i = 0; i < 300; ++i) {
    if (i % 15 == 7)
      others.insert(elements.add(jittered(generator, 30.0f, 3)));
    else
      elements.add({5.0f, 5.0f, 5.0f});
  }
  CClusterTree tree;
  tree.leafMap.setSize(elements.xSize, elements.ySize());
  tree.buildTree(elements.list);
  forEachLeaf(*tree.root, [&](const CClusterTreeNode& aLeaf) {
    const auto isOther = [&](const CDataElement* e) { return others.count(e) > 0; };
    const long n = std::count_if(aLeaf.members.begin(), aLeaf.members.end(), isOther);
    // Every leaf holds repeats only or the others only, and none is oversized.
    EXPECT_TRUE(n == 0 || n == static_cast<long>(aLeaf.members.size()));
    EXPECT_LE(aLeaf.members.size(), 61u);
  });
  expectPartition(tree, elements);
}

TEST(ClusterTree, DeepTreesAreBuiltAndFreedWithoutRecursion) {
  // Points spread along a line split into many small leaves; building and
  // destroying must not depend on the depth.
  CElements elements(1000);
  for (int i = 0; i < 20000; ++i) elements.add({static_cast<float>(i * i) * 1e-3f});
  auto tree = std::make_unique<CClusterTree>();
  tree->leafMap.setSize(elements.xSize, elements.ySize());
  tree->buildTree(elements.list);
  expectPartition(*tree, elements);
  tree.reset();
  for (const CDataElement* e : elements.list) EXPECT_EQ(e->feature.size(), 1);
}

}  // namespace

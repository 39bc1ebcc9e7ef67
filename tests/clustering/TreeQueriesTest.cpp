// Greedy descent and nearest-member queries on hand-built trees.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "CClustering.h"

namespace {

CVector<float> vec(std::initializer_list<float> aValues) {
  CVector<float> v(static_cast<int>(aValues.size()));
  std::copy(aValues.begin(), aValues.end(), v.data());
  return v;
}

// Elements kept alive for a test; pointers stay valid as more are added.
struct CPool {
  std::vector<std::unique_ptr<CDataElement>> owned;
  CDataElement* add(std::initializer_list<float> aValues) {
    owned.push_back(std::make_unique<CDataElement>());
    owned.back()->feature = vec(aValues);
    return owned.back().get();
  }
};

std::unique_ptr<CClusterTreeNode> nodeAt(std::initializer_list<float> aCenter) {
  auto node = std::make_unique<CClusterTreeNode>();
  node->center = vec(aCenter);
  return node;
}

void giveChildren(CClusterTreeNode& aNode, std::unique_ptr<CClusterTreeNode> aFirst,
                  std::unique_ptr<CClusterTreeNode> aSecond) {
  aNode.firstChild = std::move(aFirst);
  aNode.secondChild = std::move(aSecond);
}

// Root with children at 0 and 2; the second has children at 0.5 and 1.5.
// Each leaf holds one element at its own centre.
struct CTwoLevelTree {
  CTwoLevelTree() {
    tree.root = std::make_unique<CClusterTreeNode>();
    giveChildren(*tree.root, nodeAt({0.0f}), nodeAt({2.0f}));
    CClusterTreeNode& second = *tree.root->secondChild;
    giveChildren(second, nodeAt({0.5f}), nodeAt({1.5f}));
    left = tree.root->firstChild.get();
    inner = second.firstChild.get();
    outer = second.secondChild.get();
    left->members = {pool.add({0.0f})};
    inner->members = {pool.add({0.5f})};
    outer->members = {pool.add({1.5f})};
  }
  CPool pool;
  CClusterTree tree;
  CClusterTreeNode* left;
  CClusterTreeNode* inner;
  CClusterTreeNode* outer;
};

TEST(TreeQueries, DescentFollowsTheNearerCentreAndTiesGoToTheSecondChild) {
  CTwoLevelTree t;
  std::vector<CDataElement*>* found = nullptr;
  // 1 is exactly as far from 0 as from 2, and from 0.5 as from 1.5.
  t.tree.findNearNeighbors(vec({1.0f}), found);
  EXPECT_EQ(found, &t.outer->members);
  t.tree.findNearNeighbors(vec({0.9f}), found);
  EXPECT_EQ(found, &t.left->members);
  t.tree.findNearNeighbors(vec({1.1f}), found);
  EXPECT_EQ(found, &t.outer->members);
  t.tree.findNearNeighbors(vec({1.2f}), found);
  EXPECT_EQ(found, &t.outer->members);
  t.tree.findNearNeighbors(vec({-5.0f}), found);
  EXPECT_EQ(found, &t.left->members);

  CDataElement* nearest = nullptr;
  t.tree.findNearestNeighbor(vec({1.0f}), nearest);
  EXPECT_EQ(nearest, t.outer->members[0]);
}

TEST(TreeQueries, NoBacktrackingIntoTheOtherLeaf) {
  // 5.1 falls to the centre at 10; the member at 4.9 in the other leaf is
  // nearer but is never looked at.
  CPool pool;
  CClusterTree tree;
  tree.root = std::make_unique<CClusterTreeNode>();
  giveChildren(*tree.root, nodeAt({0.0f}), nodeAt({10.0f}));
  CDataElement* close = pool.add({4.9f});
  CDataElement* far = pool.add({9.0f});
  tree.root->firstChild->members = {close};
  tree.root->secondChild->members = {far};
  CDataElement* nearest = nullptr;
  tree.findNearestNeighbor(vec({5.1f}), nearest);
  EXPECT_EQ(nearest, far);
}

TEST(TreeQueries, RootLeafAnswersFromItsMembers) {
  CPool pool;
  CClusterTree tree;
  tree.root = std::make_unique<CClusterTreeNode>();
  CDataElement* below = pool.add({-1.0f, 0.0f});
  CDataElement* above = pool.add({1.0f, 0.0f});
  CDataElement* exact = pool.add({3.0f, 4.0f});
  tree.root->members = {below, above, exact};

  std::vector<CDataElement*>* found = nullptr;
  tree.findNearNeighbors(vec({0.0f, 0.0f}), found);
  EXPECT_EQ(found, &tree.root->members);

  // The first of two equally near members wins.
  CDataElement* nearest = nullptr;
  tree.findNearestNeighbor(vec({0.0f, 0.0f}), nearest);
  EXPECT_EQ(nearest, below);
  // A query equal to a member's vector finds it, wherever it is listed.
  tree.findNearestNeighbor(vec({3.0f, 4.0f}), nearest);
  EXPECT_EQ(nearest, exact);
}

TEST(TreeQueries, NearestIsNullWithoutAMemberWithinTheBound) {
  CPool pool;
  CClusterTree tree;
  CDataElement* stale = pool.add({0.0f});
  CDataElement* nearest = stale;
  std::vector<CDataElement*> elsewhere;
  std::vector<CDataElement*>* found = &elsewhere;

  // A tree that was never built has nothing to answer from.
  tree.findNearNeighbors(vec({0.0f}), found);
  EXPECT_EQ(found, nullptr);
  tree.findNearestNeighbor(vec({0.0f}), nearest);
  EXPECT_EQ(nearest, nullptr);

  // An empty leaf.
  tree.root = std::make_unique<CClusterTreeNode>();
  nearest = stale;
  tree.findNearestNeighbor(vec({0.0f}), nearest);
  EXPECT_EQ(nearest, nullptr);

  // A member 1e6 away lies beyond the starting bound of about 1e11.
  tree.root->members = {pool.add({1e6f})};
  nearest = stale;
  tree.findNearestNeighbor(vec({0.0f}), nearest);
  EXPECT_EQ(nearest, nullptr);
  // One just inside it is found.
  CDataElement* inside = pool.add({3e5f});
  tree.root->members.push_back(inside);
  tree.findNearestNeighbor(vec({0.0f}), nearest);
  EXPECT_EQ(nearest, inside);
}

}  // namespace

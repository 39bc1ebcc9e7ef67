// The cluster tree: records, the tree itself, and the clustering algorithms.
//
// Ownership: the caller owns the CDataElement objects and keeps them alive
// while a tree refers to them; the tree owns its nodes; every node owns its two
// children; all lists hold pointers to elements, or records that point at
// them, and never own them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "CMatrix.h"
#include "CVector.h"

// One item to be clustered: its feature vector and the pixel it stands for.
struct CDataElement {
  CVector<float> feature;
  int x = 0;
  int y = 0;
};

// How a node holds an element while the tree is built, and the unit that
// two-means works on. Records are copied by value between work lists.
struct CKMeansElement {
  CDataElement* element = nullptr;
  // Half of the current two-means split: 0 for cluster 0, anything else for cluster 1.
  std::int8_t cluster = 0;
  // Placed here only as an overlap copy; two-means ignores such records.
  bool isCopy = false;
  // Lower bounds on the squared distances to centre 0 and centre 1, and an
  // upper bound on the squared distance to the own centre.
  float lower0 = 0.0f;
  float lower1 = 0.0f;
  float upper = 0.0f;
};

struct CClusterTreeNode {
  CClusterTreeNode() = default;
  CClusterTreeNode(const CClusterTreeNode&) = delete;
  CClusterTreeNode& operator=(const CClusterTreeNode&) = delete;
  // Frees the whole subtree without recursing, so a deep tree cannot exhaust the stack.
  ~CClusterTreeNode();

  // Mean of this node's half of the parent's split; empty at the root.
  CVector<float> center;
  // Both set (an inner node) or both null (a leaf).
  std::unique_ptr<CClusterTreeNode> firstChild;
  std::unique_ptr<CClusterTreeNode> secondChild;
  // Work list while the tree is built; empty afterwards.
  std::vector<CKMeansElement> elements;
  // A leaf's elements in work-list order, primaries and copies alike.
  std::vector<CDataElement*> members;
  // A leaf's elements held as primaries, and those held as overlap copies.
  std::vector<CDataElement*> primaries;
  std::vector<CDataElement*> copies;
};

class CClusterTree {
public:
  CClusterTree() = default;
  CClusterTree(const CClusterTree&) = delete;
  CClusterTree& operator=(const CClusterTree&) = delete;

  // Size of the patch a feature vector holds; component (px, py, pz) is at
  // px + patchXSize * (py + patchYSize * pz). Read by the diagnostic mosaics only.
  int patchXSize = 0;
  int patchYSize = 0;
  int patchZSize = 1;
  // Pixel-to-leaf map: entry (x, y) is the leaf holding the element of pixel
  // (x, y) as a primary. Sized by the caller; the tree only writes entries.
  CMatrix<CClusterTreeNode*> leafMap;
  // An element nearer to one centre by less than overlapMargin^2 in squared
  // distance is also copied into the other child.
  float overlapMargin = 0.0f;
  // A node is split only if the spreads of both halves exceed this.
  float splitThreshold = 0.0f;
  std::unique_ptr<CClusterTreeNode> root;
  int copyCount = 0;
  int primaryCount = 0;

  // Builds the tree over aElements (deleting any previous tree first). Every
  // element must be alive, have a feature vector of the common length and,
  // when leafMap has a size, a position inside it. Afterwards every element is
  // a primary of exactly one leaf and listed in its members, and its leafMap
  // entry names that leaf.
  void buildTree(std::vector<CDataElement*>& aElements);
  // Splits aNode by two-means, and its children after it, depth first (the
  // first child's whole subtree before the second child), or makes it a leaf.
  void split(CClusterTreeNode& aNode);

private:
  // Divides one node; returns true when it got children.
  bool splitOne(CClusterTreeNode& aNode);
  void makeLeaf(CClusterTreeNode& aNode);
  // Division of a node of many repeated vectors that two-means cannot divide.
  bool divideRepeated(CClusterTreeNode& aNode);
};

// The clustering algorithms; the class holds no data.
class CClustering {
public:
  // Divides the active records (isCopy false) of aList into two clusters,
  // starting from a random division drawn from rand() that favours equal
  // halves, then moving records for at most five passes, with per-record
  // bounds that skip distance computations. Outputs the two means, the two
  // cluster sizes and, as spreads, bounds on the largest squared distance of a
  // member to its centre; the records' cluster and bound fields are written.
  // A list with fewer than two active records draws nothing: they all go to
  // cluster 0, the centres are both their mean and the spreads 0.
  void twoMeans(std::vector<CKMeansElement>& aList, CVector<float>& aCenter0, CVector<float>& aCenter1, int& aCount0,
                int& aCount1, float& aSpread0, float& aSpread1);
  // The same, keeping only the effects on the records (and the random draws).
  void twoMeans(std::vector<CKMeansElement>& aList);
};

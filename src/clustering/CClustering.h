// The cluster tree: records, the tree itself, and the clustering algorithms.
//
// Ownership: the caller owns the CDataElement objects and keeps them alive
// while a tree refers to them; the tree owns its nodes; every node owns its two
// children; all lists hold pointers to elements, or records that point at
// them, and never own them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CMatrix.h"
#include "CTensor.h"
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

// One cluster of the pairwise clustering. Held by value in a list; a merged
// cluster names the two clusters it was made of by their list positions.
struct CPWCElement {
  // Componentwise sum of the vectors of the cluster's items.
  CVector<float> sum;
  int count = 0;
  // Positions of the two merged parts, or -1 when the merge was recorded flat.
  int firstChild = -1;
  int secondChild = -1;
  // False once the cluster has been merged into a larger one.
  bool active = true;
};

// A candidate merge of clusters first and second at the given cost. The order
// is reversed, so a std::priority_queue of them has the cheapest on top.
struct CPWCDistance {
  float distance = 0.0f;
  int first = 0;
  int second = 0;
  bool operator<(const CPWCDistance& aOther) const { return distance > aOther.distance; }
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

  // Queries on a built tree. Both descend greedily from the root to one leaf,
  // always to the child whose centre is nearer to aQuery (ties to the second
  // child), without backtracking. aQuery must have the features' length.
  // Sets aResult to the members list of the leaf reached (owned by the leaf,
  // valid as long as the tree), or to null when the tree was never built.
  void findNearNeighbors(const CVector<float>& aQuery, std::vector<CDataElement*>*& aResult);
  // Sets aResult to the member of the leaf reached nearest to aQuery (the
  // first of equally near ones), or to null when the leaf has no member
  // nearer than 1e11 in squared distance, or the tree was never built.
  void findNearestNeighbor(const CVector<float>& aQuery, CDataElement*& aResult) const;

  // Diagnostic mosaics. A tile shows one element's vector as a patch of
  // patchXSize x patchYSize x patchZSize, every component times 255; the
  // vectors must be at least that long. Draws the elements of aList into
  // aMosaic tile by tile, xSize / patchXSize tiles to a row, from tile row
  // aFirstRow down; tiles that would not lie wholly inside aMosaic are not
  // drawn, and other mosaic elements are left unchanged.
  void showList(CTensor<float>& aMosaic, const std::vector<CDataElement*>& aList, int aFirstRow) const;
  // Composes the mosaic of the leaf that aQuery reaches (as findNearNeighbors
  // descends): its primaries from tile row 0, its overlap copies in a band
  // below, and hands it to the mosaic sinks with aIndex.
  void showNearNeighbors(int aIndex, const CVector<float>& aQuery) const;
  // The same for aNode: from its work list while it has one (primary and copy
  // records), else from its primaries and copies.
  void showNodeMembers(int aIndex, const CClusterTreeNode& aNode) const;
  // Mosaic sinks; with neither set (the default) the show methods compose and
  // write nothing. A leaf or node with nothing to show gives no mosaic.
  // mosaicFolder: each mosaic is written there as a PGM file named
  // "neighbors-<aIndex>.pgm" (showNearNeighbors) or "node-<aIndex>.pgm"
  // (showNodeMembers), replacing a file of that name; its layers are stacked
  // top to bottom (layer z in rows z * ySize to z * ySize + ySize - 1), grey
  // levels clamped to 0..255 and truncated. A file that cannot be written
  // throws EFileError.
  std::string mosaicFolder;
  // mosaicSink: called with each mosaic and aIndex (after the file, if any).
  std::function<void(const CTensor<float>&, int)> mosaicSink;

  // Turns the merge tree that CClustering::pairwiseClustering left in aList
  // into nodes below aNode, which stands for cluster aIndex (start with the
  // last record, the root of the merge tree). A cluster with recorded parts
  // gets two children whose centres are the parts' means; the sums of those
  // parts are replaced by their means in aList. Each record of a node's work
  // list goes to the child with the nearer centre (ties to the second), no
  // overlap copies are made, and a cluster without recorded parts becomes a
  // leaf as in split (members, primaries, copies, leafMap when it has a
  // size), counted in copyCount and primaryCount. aIndex and the positions
  // stored in aList must be valid; aNode's own centre is left alone.
  void buildPWCSubTree(std::vector<CPWCElement>& aList, int aIndex, CClusterTreeNode* aNode);

private:
  // Divides one node; returns true when it got children.
  bool splitOne(CClusterTreeNode& aNode);
  void makeLeaf(CClusterTreeNode& aNode);
  // Division of a node of many repeated vectors that two-means cannot divide.
  bool divideRepeated(CClusterTreeNode& aNode);
  // The leaf a greedy descent from the root reaches; null without a root.
  CClusterTreeNode* descend(const CVector<float>& aQuery) const;
  // Lays out n = primaries + copies tiles and hands the mosaic to the sinks.
  void composeMosaic(const std::vector<CDataElement*>& aPrimaries, const std::vector<CDataElement*>& aCopies,
                     const char* aKind, int aIndex) const;
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
  // Agglomerative clustering: repeatedly merges the two active clusters of
  // aList with the smallest cost (squared distance of their means times the
  // fourth root of the larger count) until one is left, appending each merged
  // cluster to aList. A merge records its two parts as children only if both
  // hold more than 9 items or either has children. All sums must have the same
  // length. Calls aOnMerge, when given, with the candidate of each merge.
  // An empty list is returned at once.
  void pairwiseClustering(std::vector<CPWCElement>& aList,
                          const std::function<void(const CPWCDistance&)>& aOnMerge = {});
};

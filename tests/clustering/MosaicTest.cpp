// Patch mosaics: tile layout, the bands of primaries and copies, and the sinks.
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "CClustering.h"
#include "TestSupport.h"

namespace {

// Patches of 2 x 3 pixels in 2 layers; component c of element e is e + c / 16.
constexpr int kPX = 2, kPY = 3, kPZ = 2;

struct CPool {
  std::vector<std::unique_ptr<CDataElement>> owned;
  CDataElement* add(int aId) {
    owned.push_back(std::make_unique<CDataElement>());
    CVector<float>& f = owned.back()->feature;
    f.setSize(kPX * kPY * kPZ);
    for (int c = 0; c < f.size(); ++c) f(c) = static_cast<float>(aId) + static_cast<float>(c) / 16.0f;
    return owned.back().get();
  }
  std::vector<CDataElement*> some(int aCount, int aFirstId) {
    std::vector<CDataElement*> list;
    for (int i = 0; i < aCount; ++i) list.push_back(add(aFirstId + i));
    return list;
  }
};

void setPatch(CClusterTree& aTree) {
  aTree.patchXSize = kPX;
  aTree.patchYSize = kPY;
  aTree.patchZSize = kPZ;
}

// Whether tile (i, r) shows aElement, component by component, in every layer.
bool tileShows(const CTensor<float>& aMosaic, int aI, int aR, const CDataElement& aElement) {
  for (int pz = 0; pz < kPZ; ++pz)
    for (int py = 0; py < kPY; ++py)
      for (int px = 0; px < kPX; ++px)
        if (!(aMosaic(aI * kPX + px, aR * kPY + py, pz) == 255.0f * aElement.feature(px + kPX * (py + kPY * pz))))
          return false;
  return true;
}

bool tileIs(const CTensor<float>& aMosaic, int aI, int aR, float aValue) {
  for (int pz = 0; pz < kPZ; ++pz)
    for (int py = 0; py < kPY; ++py)
      for (int px = 0; px < kPX; ++px)
        if (!(aMosaic(aI * kPX + px, aR * kPY + py, pz) == aValue)) return false;
  return true;
}

// A tree whose sink keeps every mosaic handed to it.
struct CCapture {
  CCapture() {
    setPatch(tree);
    tree.mosaicSink = [this](const CTensor<float>& aMosaic, int aIndex) {
      mosaics.push_back(aMosaic);
      indices.push_back(aIndex);
    };
  }
  CClusterTree tree;
  std::vector<CTensor<float>> mosaics;
  std::vector<int> indices;
};

std::vector<CKMeansElement> workList(const std::vector<std::pair<CDataElement*, bool>>& aRecords) {
  std::vector<CKMeansElement> list;
  for (const auto& [element, isCopy] : aRecords) {
    CKMeansElement r;
    r.element = element;
    r.isCopy = isCopy;
    list.push_back(r);
  }
  return list;
}

TEST(Mosaic, ShowListFillsRowsLeftToRightFromTheFirstRow) {
  CPool pool;
  CClusterTree tree;
  setPatch(tree);
  // Five pixels wide: two whole tiles to a row, one spare column.
  CTensor<float> mosaic(2 * kPX + 1, 6 * kPY, kPZ);
  mosaic.fill(-1.0f);
  const std::vector<CDataElement*> list = pool.some(5, 1);
  tree.showList(mosaic, list, 3);
  EXPECT_TRUE(tileShows(mosaic, 0, 3, *list[0]));
  EXPECT_TRUE(tileShows(mosaic, 1, 3, *list[1]));
  EXPECT_TRUE(tileShows(mosaic, 0, 4, *list[2]));
  EXPECT_TRUE(tileShows(mosaic, 1, 4, *list[3]));
  EXPECT_TRUE(tileShows(mosaic, 0, 5, *list[4]));
  EXPECT_TRUE(tileIs(mosaic, 1, 5, -1.0f));
  for (int r = 0; r < 3; ++r)
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(tileIs(mosaic, i, r, -1.0f));
  for (int z = 0; z < kPZ; ++z)
    for (int y = 0; y < mosaic.ySize(); ++y) EXPECT_EQ(mosaic(2 * kPX, y, z), -1.0f);
}

TEST(Mosaic, ShowListDrawsOnlyTilesInsideTheMosaic) {
  CPool pool;
  CClusterTree tree;
  setPatch(tree);
  const std::vector<CDataElement*> list = pool.some(3, 1);
  // One tile wide and two high: the third element has no room.
  CTensor<float> mosaic(kPX, 2 * kPY, kPZ);
  mosaic.fill(-1.0f);
  tree.showList(mosaic, list, 0);
  EXPECT_TRUE(tileShows(mosaic, 0, 0, *list[0]));
  EXPECT_TRUE(tileShows(mosaic, 0, 1, *list[1]));
  // Narrower than a tile: nothing can be laid out, and the call returns.
  CTensor<float> narrow(kPX - 1, 4 * kPY, kPZ);
  narrow.fill(-1.0f);
  tree.showList(narrow, list, 0);
  for (int k = 0; k < narrow.size(); ++k) EXPECT_EQ(narrow.data()[k], -1.0f);
}

TEST(Mosaic, NodeOfFivePrimariesAndFourCopies) {
  CPool pool;
  const std::vector<CDataElement*> p = pool.some(5, 10);
  const std::vector<CDataElement*> c = pool.some(4, 20);
  CClusterTreeNode node;
  // Primaries and copies interleaved: each band keeps its own list order.
  node.elements = workList({{p[0], false}, {c[0], true}, {p[1], false}, {p[2], false}, {c[1], true},
                            {c[2], true}, {p[3], false}, {c[3], true}, {p[4], false}});
  CCapture capture;
  capture.tree.showNodeMembers(7, node);
  ASSERT_EQ(capture.mosaics.size(), 1u);
  EXPECT_EQ(capture.indices[0], 7);
  const CTensor<float>& m = capture.mosaics[0];
  EXPECT_EQ(m.xSize(), 3 * kPX);
  EXPECT_EQ(m.ySize(), 5 * kPY);
  EXPECT_EQ(m.zSize(), kPZ);
  EXPECT_TRUE(tileShows(m, 0, 0, *p[0]));
  EXPECT_TRUE(tileShows(m, 1, 0, *p[1]));
  EXPECT_TRUE(tileShows(m, 2, 0, *p[2]));
  EXPECT_TRUE(tileShows(m, 0, 1, *p[3]));
  EXPECT_TRUE(tileShows(m, 1, 1, *p[4]));
  EXPECT_TRUE(tileIs(m, 2, 1, 0.0f));
  EXPECT_TRUE(tileShows(m, 0, 2, *c[0]));
  EXPECT_TRUE(tileShows(m, 1, 2, *c[1]));
  EXPECT_TRUE(tileShows(m, 2, 2, *c[2]));
  EXPECT_TRUE(tileShows(m, 0, 3, *c[3]));
  EXPECT_TRUE(tileIs(m, 1, 3, 0.0f));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(tileIs(m, i, 4, 0.0f));
  // The work list is only looked at.
  EXPECT_EQ(node.elements.size(), 9u);
}

TEST(Mosaic, NodeOfFourPrimariesAndOneCopyFromItsLists) {
  CPool pool;
  CClusterTreeNode node;
  node.primaries = pool.some(4, 10);
  node.copies = pool.some(1, 20);
  CCapture capture;
  capture.tree.showNodeMembers(-2, node);
  ASSERT_EQ(capture.mosaics.size(), 1u);
  EXPECT_EQ(capture.indices[0], -2);
  const CTensor<float>& m = capture.mosaics[0];
  EXPECT_EQ(m.xSize(), 3 * kPX);
  EXPECT_EQ(m.ySize(), 3 * kPY);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(tileShows(m, i, 0, *node.primaries[i]));
  EXPECT_TRUE(tileShows(m, 0, 1, *node.primaries[3]));
  EXPECT_TRUE(tileIs(m, 1, 1, 0.0f));
  EXPECT_TRUE(tileShows(m, 0, 2, *node.copies[0]));
  EXPECT_TRUE(tileIs(m, 1, 2, 0.0f));
}

TEST(Mosaic, NothingToShowComposesNothing) {
  TestSupport::CTempDir dir;
  CCapture capture;
  capture.tree.mosaicFolder = dir.path();
  CClusterTreeNode empty;
  capture.tree.showNodeMembers(1, empty);
  // A leaf reached by a query, with no elements.
  capture.tree.root = std::make_unique<CClusterTreeNode>();
  CVector<float> query(kPX * kPY * kPZ);
  query.fill(0.0f);
  capture.tree.showNearNeighbors(2, query);
  // A tree never built.
  CClusterTree unbuilt;
  unbuilt.mosaicFolder = dir.path();
  unbuilt.showNearNeighbors(3, query);
  EXPECT_TRUE(capture.mosaics.empty());
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Mosaic, FolderSinkWritesStackedLayersClamped) {
  CPool pool;
  CDataElement* bright = pool.add(0);
  // Grey levels from 255 * component: some negative, some above 255, some fractional.
  for (int c = 0; c < bright->feature.size(); ++c) bright->feature(c) = -0.25f + 0.125f * static_cast<float>(c);
  CClusterTreeNode node;
  node.primaries = {bright, pool.add(0)};
  node.copies = {pool.add(1)};

  TestSupport::CTempDir dir;
  CCapture capture;
  capture.tree.mosaicFolder = dir.path();
  capture.tree.showNodeMembers(12, node);
  // Both sinks receive the mosaic.
  ASSERT_EQ(capture.mosaics.size(), 1u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"node-12.pgm"});
  const CTensor<float>& m = capture.mosaics[0];

  CMatrix<float> image;
  image.readFromPGM(dir.file("node-12.pgm").c_str());
  ASSERT_EQ(image.xSize(), m.xSize());
  ASSERT_EQ(image.ySize(), m.ySize() * m.zSize());
  for (int z = 0; z < m.zSize(); ++z)
    for (int y = 0; y < m.ySize(); ++y)
      for (int x = 0; x < m.xSize(); ++x) {
        const float v = m(x, y, z);
        const float expected = v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : static_cast<float>(static_cast<int>(v));
        EXPECT_EQ(image(x, y + z * m.ySize()), expected) << x << ", " << y << ", " << z;
      }
  // Without a folder only the callback is served.
  capture.tree.mosaicFolder.clear();
  capture.tree.showNodeMembers(13, node);
  EXPECT_EQ(capture.mosaics.size(), 2u);
  EXPECT_EQ(dir.entries().size(), 1u);
}

TEST(Mosaic, NearNeighborsShowTheLeafTheQueryReaches) {
  CPool pool;
  CCapture capture;
  CClusterTree& tree = capture.tree;
  tree.root = std::make_unique<CClusterTreeNode>();
  auto first = std::make_unique<CClusterTreeNode>();
  auto second = std::make_unique<CClusterTreeNode>();
  first->center = pool.add(0)->feature;
  second->center = pool.add(2)->feature;
  first->primaries = pool.some(2, 100);
  second->primaries = pool.some(3, 200);
  second->copies = pool.some(1, 300);
  const CClusterTreeNode& reached = *second;
  tree.root->firstChild = std::move(first);
  tree.root->secondChild = std::move(second);

  TestSupport::CTempDir dir;
  tree.mosaicFolder = dir.path();
  // Element 1 lies exactly between the two centres: the second child is reached.
  tree.showNearNeighbors(4, pool.add(1)->feature);
  ASSERT_EQ(capture.mosaics.size(), 1u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"neighbors-4.pgm"});
  const CTensor<float>& m = capture.mosaics[0];
  // n = 4: two tiles to a row, (4 / 2 + 2) rows; copies from row 3 / 2 + 1 = 2.
  EXPECT_EQ(m.xSize(), 2 * kPX);
  EXPECT_EQ(m.ySize(), 4 * kPY);
  EXPECT_TRUE(tileShows(m, 0, 0, *reached.primaries[0]));
  EXPECT_TRUE(tileShows(m, 1, 0, *reached.primaries[1]));
  EXPECT_TRUE(tileShows(m, 0, 1, *reached.primaries[2]));
  EXPECT_TRUE(tileShows(m, 0, 2, *reached.copies[0]));
}

TEST(Mosaic, LeavesOfABuiltTreeListTheirPrimariesAndCopies) {
  // Two groups on a line and an overlap band wide enough to copy across.
  std::mt19937 generator(11);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<std::unique_ptr<CDataElement>> owned;
  std::vector<CDataElement*> list;
  for (int i = 0; i < 120; ++i) {
    owned.push_back(std::make_unique<CDataElement>());
    owned.back()->feature.setSize(1);
    owned.back()->feature(0) = (i % 2 ? 0.75f : 0.25f) + noise(generator);
    owned.back()->x = i;
    list.push_back(owned.back().get());
  }
  CCapture capture;
  CClusterTree& tree = capture.tree;
  tree.patchXSize = tree.patchYSize = tree.patchZSize = 1;
  tree.overlapMargin = 0.6f;
  tree.leafMap.setSize(120, 1);
  tree.buildTree(list);
  ASSERT_TRUE(tree.root->firstChild);

  int leaves = 0, copies = 0;
  std::function<void(const CClusterTreeNode&)> visit = [&](const CClusterTreeNode& aNode) {
    if (aNode.firstChild) {
      visit(*aNode.firstChild);
      visit(*aNode.secondChild);
      return;
    }
    // members is primaries and copies interleaved, each in its own order.
    std::size_t p = 0, c = 0;
    for (CDataElement* m : aNode.members) {
      if (p < aNode.primaries.size() && aNode.primaries[p] == m) {
        EXPECT_EQ(tree.leafMap(m->x, m->y), &aNode);
        ++p;
      } else {
        ASSERT_LT(c, aNode.copies.size());
        EXPECT_EQ(aNode.copies[c], m);
        ++c;
      }
    }
    EXPECT_EQ(p, aNode.primaries.size());
    EXPECT_EQ(c, aNode.copies.size());
    copies += static_cast<int>(c);
    tree.showNodeMembers(leaves++, aNode);
    const int n = static_cast<int>(aNode.members.size());
    const int perRow = capture.mosaics.back().xSize();
    EXPECT_EQ(perRow, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n)))));
    EXPECT_EQ(capture.mosaics.back().ySize(), n / perRow + 2);
  };
  visit(*tree.root);
  EXPECT_GT(copies, 0);
  EXPECT_EQ(static_cast<int>(capture.mosaics.size()), leaves);

  // A query from an element reaches the leaf that holds it as a primary.
  capture.mosaics.clear();
  tree.showNearNeighbors(0, list[0]->feature);
  ASSERT_EQ(capture.mosaics.size(), 1u);
  const CTensor<float>& m = capture.mosaics[0];
  const CClusterTreeNode& leaf = *tree.leafMap(list[0]->x, list[0]->y);
  EXPECT_EQ(m.xSize(), static_cast<int>(std::ceil(std::sqrt(static_cast<double>(leaf.members.size())))));
  EXPECT_EQ(m(0, 0, 0), 255.0f * leaf.primaries[0]->feature(0));
}

}  // namespace

// leafmosaics: builds the cluster tree of the global denoiser over the 9 x 9
// patches of a PGM image and writes the patch mosaics of a few of its leaves,
// so that one can see which patches the denoiser compares with each other.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "CClustering.h"
#include "CMatrix.h"
#include "Exceptions.h"

namespace {

const char* const kUsage =
    "usage: leafmosaics INPUT.pgm OUTDIR [LEAVES]\n"
    "\n"
    "Builds the cluster tree that texture builds in global mode over the 9 x 9\n"
    "patches of INPUT.pgm and writes the mosaics of LEAVES leaves (default 4),\n"
    "spread evenly over the leaves in depth-first order, into the existing\n"
    "folder OUTDIR as leaf-N.pgm, N being the leaf's depth-first number. A\n"
    "mosaic shows the leaf's patches as 9 x 9 tiles in their original grey\n"
    "levels, row by row in the order the leaf lists them.\n"
    "\n"
    "Exit status: 0 done, 1 input unreadable or too small, or a file not\n"
    "written, 2 bad arguments.\n";

constexpr int kPatchRadius = 4;
constexpr int kPatchSide = 2 * kPatchRadius + 1;

std::vector<const CClusterTreeNode*> leavesDepthFirst(const CClusterTreeNode& aRoot) {
  std::vector<const CClusterTreeNode*> leaves, pending{&aRoot};
  while (!pending.empty()) {
    const CClusterTreeNode* node = pending.back();
    pending.pop_back();
    if (!node->firstChild) {
      leaves.push_back(node);
      continue;
    }
    pending.push_back(node->secondChild.get());
    pending.push_back(node->firstChild.get());
  }
  return leaves;
}

int run(const std::string& aInput, const std::string& aFolder, int aLeafCount) {
  CMatrix<float> image;
  image.readFromPGM(aInput.c_str());
  const int X = image.xSize(), Y = image.ySize();
  if (X < kPatchSide || Y < kPatchSide || (X - 2 * kPatchRadius) * (Y - 2 * kPatchRadius) < 2) {
    std::cerr << "leafmosaics: " << aInput << " is too small: it needs at least two pixels with a whole "
              << kPatchSide << " x " << kPatchSide << " patch around them" << std::endl;
    return 1;
  }

  // Features exactly as the global denoiser makes them: the patch, row by
  // row, times the float of 1 / 9, so the tree is the one it builds.
  const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(kPatchSide * kPatchSide)));
  std::vector<CDataElement> elements(static_cast<std::size_t>(X) * Y);
  std::vector<CDataElement*> list;
  for (int y = kPatchRadius; y < Y - kPatchRadius; ++y)
    for (int x = kPatchRadius; x < X - kPatchRadius; ++x) {
      CDataElement& e = elements[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * X];
      e.feature.setSize(kPatchSide * kPatchSide);
      float* f = e.feature.data();
      for (int dy = -kPatchRadius; dy <= kPatchRadius; ++dy)
        for (int dx = -kPatchRadius; dx <= kPatchRadius; ++dx) *f++ = scale * image(x + dx, y + dy);
      e.x = x;
      e.y = y;
      list.push_back(&e);
    }

  CClusterTree tree;
  tree.patchXSize = kPatchSide;
  tree.patchYSize = kPatchSide;
  tree.patchZSize = 1;
  tree.leafMap.setSize(X, Y);
  tree.buildTree(list);

  // The mosaic draws 255 times a feature; undo both factors to get the
  // image's grey levels back (rounded, as the writer truncates).
  const double toGrey = 1.0 / (255.0 * static_cast<double>(scale));
  tree.mosaicSink = [&](const CTensor<float>& aMosaic, int aIndex) {
    CMatrix<float> picture(aMosaic.xSize(), aMosaic.ySize() * aMosaic.zSize());
    for (int k = 0; k < picture.size(); ++k)
      picture.data()[k] = static_cast<float>(std::floor(aMosaic.data()[k] * toGrey + 0.5));
    const std::string path = aFolder + "/leaf-" + std::to_string(aIndex) + ".pgm";
    picture.writeToPGM(path.c_str());
    std::cout << "  -> " << path << " (" << picture.xSize() << " x " << picture.ySize() << ")" << std::endl;
  };

  const std::vector<const CClusterTreeNode*> leaves = leavesDepthFirst(*tree.root);
  const int total = static_cast<int>(leaves.size());
  const int shown = aLeafCount < total ? aLeafCount : total;
  std::cout << list.size() << " patches in " << total << " leaves" << std::endl;
  for (int k = 0; k < shown; ++k) {
    const int index = static_cast<int>(static_cast<long long>(k) * total / shown);
    const CClusterTreeNode& leaf = *leaves[index];
    std::cout << "leaf " << index << ": " << leaf.members.size() << " patches" << std::endl;
    tree.showNodeMembers(index, leaf);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  if (argc < 3 || argc > 4) {
    std::cerr << kUsage;
    return 2;
  }
  long leafCount = 4;
  if (argc == 4) {
    char* end = nullptr;
    errno = 0;
    leafCount = std::strtol(argv[3], &end, 10);
    if (end == argv[3] || *end != '\0' || errno != 0 || leafCount < 1 || leafCount > INT_MAX) {
      std::cerr << "leafmosaics: LEAVES must be a whole number of at least 1, not \"" << argv[3] << "\"" << std::endl;
      return 2;
    }
  }
  // The exception types write their own message when they are made.
  try {
    return run(argv[1], argv[2], static_cast<int>(leafCount));
  } catch (const EInvalidFileFormat&) {
  } catch (const EFileError&) {
  } catch (const std::bad_alloc&) {
    std::cerr << "leafmosaics: out of memory" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "leafmosaics: " << e.what() << std::endl;
  }
  return 1;
}

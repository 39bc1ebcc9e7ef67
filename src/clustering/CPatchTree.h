// A cluster tree over the square patches of an image, built exactly as
// CClusterTree builds one over CDataElement feature vectors (same two-means,
// same split rule, same division of repeated patches, same depth-first order
// of random draws), but without storing a feature vector per pixel: the
// feature of a pixel is read from the scaled image on the fly. The tree keeps
// no nodes either; each leaf is handed to a sink as soon as it is complete.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace NPatchTree {

// One leaf: the centre pixel indices of its members in work-list order, and
// for each whether it is held as an overlap copy (false: as a primary).
struct CLeaf {
  std::vector<int> members;
  std::vector<std::uint8_t> isCopy;
};

struct CSettings {
  // Scaled image: the feature of pixel p has components aScaled[p + offset]
  // over the patch offsets, row by row.
  const float* scaled = nullptr;
  int xSize = 0;       // row length of the scaled image
  int patchRadius = 0;
  float overlapMargin = 0.0f;
  float splitThreshold = 0.0f;
  // Optional: hands a task to another thread that runs it as soon as it is
  // free. The builder then shares the distances and sums of large nodes with
  // that thread; a task that starts late finds nothing left and returns. The
  // tree and its leaves do not depend on whether or when the task runs.
  std::function<void(std::function<void()>)> share;
};

// Builds the tree over the patches centred on aPixels (in that order) and
// passes every leaf, in depth-first order, to aSink. Draws from rand() as the
// cluster tree does. The patches must lie inside the scaled image.
void build(const CSettings& aSettings, const std::vector<int>& aPixels, const std::function<void(CLeaf&&)>& aSink);

}  // namespace NPatchTree

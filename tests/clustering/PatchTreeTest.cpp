// The patch tree must build exactly the tree that CClusterTree builds over
// stored feature vectors: same leaves, same member order, same copies and the
// same number of random draws. Both start from one state of rand(): the
// reference runs in a forked child, which inherits the parent's state.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CClustering.h"
#include "CPatchTree.h"
#include "CRandomDraws.h"
#include "PatchKernels.h"

namespace {

struct CImage {
  int xSize, ySize;
  std::vector<float> values;
};

CImage noisy(int aXSize, int aYSize, unsigned aSeed) {
  std::mt19937 generator(aSeed);
  std::normal_distribution<float> noise(0.0f, 25.0f);
  CImage image{aXSize, aYSize, std::vector<float>(static_cast<std::size_t>(aXSize) * aYSize)};
  for (int y = 0; y < aYSize; ++y)
    for (int x = 0; x < aXSize; ++x)
      image.values[x + y * aXSize] = std::round(std::min(255.0f, std::max(0.0f, 100.0f + 0.8f * x + noise(generator))));
  return image;
}

CImage shapes(int aXSize, int aYSize, unsigned aSeed) {
  std::mt19937 generator(aSeed);
  std::uniform_int_distribution<int> speck(0, 40);
  CImage image{aXSize, aYSize, std::vector<float>(static_cast<std::size_t>(aXSize) * aYSize)};
  for (int y = 0; y < aYSize; ++y)
    for (int x = 0; x < aXSize; ++x) {
      float v = (x - 20) * (x - 20) + (y - 18) * (y - 18) < 150 ? 200.0f : 30.0f;
      if (x > 40 && y > 25) v = 255.0f;
      if (speck(generator) == 0) v = 90.0f;  // a few odd pixels among the repeats
      image.values[x + y * aXSize] = v;
    }
  return image;
}

std::vector<float> scaled(const CImage& aImage, int aRadius) {
  const int side = 2 * aRadius + 1;
  const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(side * side)));
  std::vector<float> out(aImage.values.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = scale * aImage.values[i];
  return out;
}

std::vector<int> interior(const CImage& aImage, int aRadius) {
  std::vector<int> pixels;
  for (int y = aRadius; y < aImage.ySize - aRadius; ++y)
    for (int x = aRadius; x < aImage.xSize - aRadius; ++x) pixels.push_back(x + y * aImage.xSize);
  return pixels;
}

void describeLeaf(std::ostream& aOut, const std::vector<int>& aMembers, const std::vector<bool>& aCopies) {
  aOut << "[";
  for (std::size_t i = 0; i < aMembers.size(); ++i) aOut << aMembers[i] << (aCopies[i] ? "c " : " ");
  aOut << "]\n";
}

// The leaves of the reference tree in depth-first order, then the next draw.
std::string referenceTree(const CImage& aImage, int aRadius, float aOverlap) {
  const std::vector<float> features = scaled(aImage, aRadius);
  const std::vector<int> pixels = interior(aImage, aRadius);
  const int side = 2 * aRadius + 1;
  std::vector<CDataElement> elements(pixels.size());
  std::vector<CDataElement*> list;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const int x = pixels[i] % aImage.xSize, y = pixels[i] / aImage.xSize;
    elements[i].feature.setSize(side * side);
    int k = 0;
    for (int dy = -aRadius; dy <= aRadius; ++dy)
      for (int dx = -aRadius; dx <= aRadius; ++dx) elements[i].feature(k++) = features[(x + dx) + (y + dy) * aImage.xSize];
    elements[i].x = x;
    elements[i].y = y;
    list.push_back(&elements[i]);
  }
  CClusterTree tree;
  tree.overlapMargin = aOverlap;
  tree.leafMap.setSize(aImage.xSize, aImage.ySize);
  tree.buildTree(list);
  std::ostringstream out;
  const std::function<void(const CClusterTreeNode&)> visit = [&](const CClusterTreeNode& aNode) {
    if (aNode.firstChild) {
      visit(*aNode.firstChild);
      visit(*aNode.secondChild);
      return;
    }
    std::vector<int> members;
    std::vector<bool> copies;
    for (const CDataElement* m : aNode.members) {
      members.push_back(m->x + m->y * aImage.xSize);
      copies.push_back(std::count(aNode.copies.begin(), aNode.copies.end(), m) > 0 &&
                       std::count(aNode.primaries.begin(), aNode.primaries.end(), m) == 0);
    }
    describeLeaf(out, members, copies);
  };
  visit(*tree.root);
  out << "next draw " << std::rand() << "\n";
  return out.str();
}

// How the builder's shared work is taken: not at all, by a thread started
// for each hand-over, by a crowd of threads started for each (more than take
// part in a shared pass), or only after the tree is complete (nothing is left
// then, and the late tasks must not touch the builder's data).
enum class Sharing { kNone, kThread, kCrowd, kLate };

// With aRange, the builder knows the range of the image's values and settles
// most sides of a split without distances.
// With aBuilder, that builder builds the tree (keeping its memory from
// earlier trees). With aPitch, the scaled rows are that long, their extra
// values a far-off 7777, and the tree reads the patches at their positions
// in those rows; the leaves are described by pixel index all the same.
// aLeastShared: the fewest records of a node whose work is shared.
std::string patchTree(const CImage& aImage, int aRadius, float aOverlap, Sharing aSharing = Sharing::kNone,
                      bool aRange = true, NPatchTree::CTreeBuilder* aBuilder = nullptr, int aPitch = 0,
                      int aLeastShared = NPatchTree::CSettings().leastShared) {
  const int pitch = aPitch > 0 ? aPitch : aImage.xSize;
  const std::vector<float> unpadded = scaled(aImage, aRadius);
  std::vector<float> features(static_cast<std::size_t>(pitch) * aImage.ySize, 7777.0f);
  for (int y = 0; y < aImage.ySize; ++y)
    std::copy_n(unpadded.begin() + static_cast<std::ptrdiff_t>(y) * aImage.xSize, aImage.xSize,
                features.begin() + static_cast<std::ptrdiff_t>(y) * pitch);
  std::vector<int> positions = interior(aImage, aRadius);
  for (int& p : positions) p = p % aImage.xSize + p / aImage.xSize * pitch;
  NPatchTree::CSettings settings;
  settings.scaled = features.data();
  settings.xSize = pitch;
  settings.patchRadius = aRadius;
  settings.overlapMargin = aOverlap;
  settings.leastShared = aLeastShared;
  if (aRange) NPatchTree::setValueRange(settings, features.data(), features.size());
  std::vector<std::thread> helpers;
  std::vector<std::function<void()>> late;
  if (aSharing == Sharing::kThread)
    settings.share = [&](std::function<void()> aTask) { helpers.emplace_back(std::move(aTask)); };
  if (aSharing == Sharing::kCrowd)
    settings.share = [&](std::function<void()> aTask) {
      for (int t = 0; t < 6; ++t) helpers.emplace_back(aTask);
    };
  if (aSharing == Sharing::kLate) settings.share = [&](std::function<void()> aTask) { late.push_back(std::move(aTask)); };
  std::ostringstream out;
  const auto sink = [&](NPatchTree::CLeaf&& aLeaf) {
    for (int& m : aLeaf.members) m = m % pitch + m / pitch * aImage.xSize;
    describeLeaf(out, aLeaf.members, std::vector<bool>(aLeaf.isCopy.begin(), aLeaf.isCopy.end()));
  };
  if (aBuilder)
    aBuilder->build(settings, positions, sink);
  else
    NPatchTree::build(settings, positions, sink);
  for (std::thread& helper : helpers) helper.join();
  for (const std::function<void()>& task : late) task();
  if (aSharing != Sharing::kNone) out << (helpers.size() + late.size() > 0 ? "shared" : "nothing shared") << "\n";
  out << "next draw " << std::rand() << "\n";
  return out.str();
}

// Runs aWork in a forked child (sharing this process's rand() state) and
// returns what it produced.
std::string inChild(const std::function<std::string()>& aWork) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeEnds[0]);
    const std::string result = aWork();
    std::size_t written = 0;
    while (written < result.size()) {
      const ssize_t n = ::write(pipeEnds[1], result.data() + written, result.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipeEnds[1]);
  std::string result;
  char buffer[65536];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return result;
}

void expectSameTree(const CImage& aImage, int aRadius, float aOverlap) {
  for (bool portable : {false, true}) {
    NPatchKernels::forcePortable(portable);
    const std::string reference = inChild([&] { return referenceTree(aImage, aRadius, aOverlap); });
    const std::string withoutRange =
        inChild([&] { return patchTree(aImage, aRadius, aOverlap, Sharing::kNone, false); });
    const std::string fast = patchTree(aImage, aRadius, aOverlap);
    NPatchKernels::forcePortable(false);
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(fast, reference) << "radius " << aRadius << " overlap " << aOverlap << " portable " << portable;
    EXPECT_EQ(withoutRange, reference) << "radius " << aRadius << " overlap " << aOverlap << " portable " << portable;
  }
}

TEST(PatchTree, SameTreeAsStoredFeatures) {
  expectSameTree(noisy(60, 50, 1), 4, 0.0f);
  expectSameTree(noisy(37, 41, 2), 2, 0.0f);
  expectSameTree(noisy(30, 30, 3), 1, 0.0f);
}

// Lists of a single leaf only draw their random start, and the fewer their
// records, the more often an attempt leaves a cluster empty and all of them
// are drawn again (two records: every other attempt). One row of 1 to 62
// interior pixels, each size from several states of rand().
TEST(PatchTree, SameDrawsForListsOfOneLeaf) {
  for (const int interiorPixels : {1, 2, 3, 5, 61, 62})
    for (unsigned seed = 30; seed < 33; ++seed) {
      std::rand();
      expectSameTree(noisy(interiorPixels + 2, 3, seed), 1, 0.0f);
    }
}

TEST(PatchTree, SameTreeWithOverlapCopies) {
  expectSameTree(noisy(50, 44, 4), 4, 3.0f);
  expectSameTree(noisy(40, 40, 5), 3, 10.0f);
}

TEST(PatchTree, SameTreeForRepeatedPatches) {
  expectSameTree(shapes(64, 48, 6), 4, 0.0f);
  CImage flat{40, 40, std::vector<float>(1600, 77.0f)};
  expectSameTree(flat, 4, 0.0f);
}

// Values so large that a random start's centres lie farther apart than the
// start's bound on every distance: the first pass then looks at no record,
// and the bounds it hands on are the start's own.
TEST(PatchTree, SameTreeWhenTheStartingCentresLieFarApart) {
  CImage huge = noisy(60, 50, 12);
  for (float& value : huge.values) value *= 1e6f;
  expectSameTree(huge, 4, 0.0f);
}

// Advances rand() until its next value is one that rounds to 2^31 as a
// float (2^31 - 64 or more): the random start's u is then 1, and a node's
// first record, with p = 1, goes to "cluster 2", which counts as 1. Such
// values come once in about 33 million draws.
void skipToADrawThatRoundsUp() {
  constexpr int kRoundsUp = 2147483584;
  const long ahead = std::stol(inChild([] {
    CRandomDraws draws;
    const CRandomDraws::CLease lease(draws);
    long count = 0;
    while (draws.draw() < kRoundsUp) ++count;
    return std::to_string(count);
  }));
  CRandomDraws draws;
  const CRandomDraws::CLease lease(draws);
  for (long i = 0; i < ahead; ++i) draws.draw();
}

TEST(PatchTree, SameTreeWhenTheFirstDrawRoundsUp) {
  for (const CImage& image : {noisy(60, 50, 13), shapes(64, 48, 14)}) {
    for (bool portable : {false, true}) {
      skipToADrawThatRoundsUp();
      NPatchKernels::forcePortable(portable);
      const std::string reference = inChild([&] { return referenceTree(image, 4, 0.0f); });
      const std::string fast = patchTree(image, 4, 0.0f);
      NPatchKernels::forcePortable(false);
      ASSERT_FALSE(reference.empty());
      EXPECT_EQ(fast, reference) << image.xSize << " portable " << portable;
    }
  }
}

// Not-a-number and infinite values, and sums that overflow to infinity:
// every comparison of the vector paths must go as the plain comparisons of
// the reference go, NaN included (the value range is then unknown, and the
// side test stays off).
TEST(PatchTree, SameTreeForSpecialValues) {
  for (unsigned seed : {20u, 21u, 22u}) {
    CImage a = noisy(60, 50, seed);
    a.values[100] = std::numeric_limits<float>::quiet_NaN();
    expectSameTree(a, 4, 0.0f);
    CImage b = noisy(60, 50, seed);
    b.values[200] = std::numeric_limits<float>::infinity();
    b.values[1300] = -std::numeric_limits<float>::infinity();
    expectSameTree(b, 4, 0.0f);
    CImage c = noisy(60, 50, seed);
    for (int i = 0; i < 3000; i += 97) c.values[i] = std::numeric_limits<float>::quiet_NaN();
    expectSameTree(c, 4, 3.0f);
    CImage d = noisy(60, 50, seed);
    for (int i = 0; i < 3000; i += 7) d.values[i] = 3e38f;
    expectSameTree(d, 4, 0.0f);
  }
}

// The scaled image may have longer rows than the image (the denoisers pad
// them so that a patch's rows spread over the cache): the tree reads only
// the patches, so it is the same.
TEST(PatchTree, SameTreeOverRowsLongerThanTheImage) {
  const struct {
    CImage image;
    int radius;
    float overlap;
    int pitch;
  } cases[] = {{noisy(60, 50, 11), 4, 0.0f, 64}, {noisy(48, 40, 12), 3, 0.0f, 61},
               {noisy(50, 44, 13), 4, 3.0f, 80}, {shapes(64, 56, 14), 4, 0.0f, 80}};
  for (const auto& c : cases)
    for (bool portable : {false, true}) {
      NPatchKernels::forcePortable(portable);
      const std::string reference = inChild([&] { return referenceTree(c.image, c.radius, c.overlap); });
      const std::string padded = inChild([&] {
        return patchTree(c.image, c.radius, c.overlap, Sharing::kNone, true, nullptr, c.pitch);
      });
      NPatchKernels::forcePortable(false);
      ASSERT_FALSE(reference.empty());
      EXPECT_EQ(padded, reference) << c.image.xSize << " in rows of " << c.pitch << " portable " << portable;
    }
}

TEST(PatchTree, SameTreeForALargerImage) {
  expectSameTree(noisy(150, 140, 7), 4, 0.0f);
}

// Large nodes hand distance and sum jobs to another thread; the tree is the
// same whoever computes them, and whenever the other thread starts.
// The largest nodes (above eight thousand records) also share their passes,
// by ranges of records. Which nodes share (from a few records on, or only the
// largest) changes nothing either.
TEST(PatchTree, SameTreeWhenLargeNodesShareTheirWork) {
  for (const CImage& image : {noisy(90, 80, 8), noisy(150, 120, 10)}) {
    for (bool portable : {false, true}) {
      NPatchKernels::forcePortable(portable);
      std::string alone = inChild([&] { return patchTree(image, 4, 0.0f); });
      alone.insert(alone.rfind("next draw"), "shared\n");
      const std::string withThreads = inChild([&] { return patchTree(image, 4, 0.0f, Sharing::kThread); });
      const std::string crowd = inChild([&] { return patchTree(image, 4, 0.0f, Sharing::kCrowd); });
      const std::string late = inChild([&] { return patchTree(image, 4, 0.0f, Sharing::kLate); });
      const std::string fromFew =
          inChild([&] { return patchTree(image, 4, 0.0f, Sharing::kThread, true, nullptr, 0, 2); });
      const std::string largestOnly =
          inChild([&] { return patchTree(image, 4, 0.0f, Sharing::kThread, true, nullptr, 0, 4096); });
      NPatchKernels::forcePortable(false);
      ASSERT_FALSE(alone.empty());
      EXPECT_EQ(withThreads, alone) << image.xSize << " portable " << portable;
      EXPECT_EQ(fromFew, alone) << image.xSize << " portable " << portable;
      EXPECT_EQ(largestOnly, alone) << image.xSize << " portable " << portable;
      EXPECT_EQ(crowd, alone) << image.xSize << " portable " << portable;
      EXPECT_EQ(late, alone) << image.xSize << " portable " << portable;
    }
  }
}

// A hand-over that fails after reaching a thread (say, out of memory while
// queueing the task) fails the build with its error; a thread that took the
// task must not run a job of the abandoned node once the builder has left it.
TEST(PatchTree, FailedHandOverFailsTheBuild) {
  const CImage image = noisy(90, 80, 8);
  for (bool started : {false, true}) {
    const std::string result = inChild([&] {
      const std::vector<float> features = scaled(image, 4);
      NPatchTree::CSettings settings;
      settings.scaled = features.data();
      settings.xSize = image.xSize;
      settings.patchRadius = 4;
      NPatchTree::setValueRange(settings, features.data(), features.size());
      std::vector<std::thread> helpers;
      settings.share = [&](std::function<void()> aTask) {
        if (started) helpers.emplace_back(std::move(aTask));
        throw std::runtime_error("no room for the task");
      };
      std::string what = "built";
      try {
        NPatchTree::build(settings, interior(image, 4), [](NPatchTree::CLeaf&&) {});
      } catch (const std::runtime_error& aError) {
        what = aError.what();
      }
      for (std::thread& helper : helpers) helper.join();
      return what;
    });
    EXPECT_EQ(result, "no room for the task") << "started " << started;
  }
}

// One builder for trees of different sizes, radii and margins builds each
// as a fresh one would.
TEST(PatchTree, ReusedBuilderBuildsTheSameTrees) {
  const std::vector<CImage> images{noisy(90, 80, 9), noisy(37, 41, 2), shapes(64, 48, 6), noisy(50, 44, 4)};
  const int radii[] = {4, 2, 4, 3};
  const float margins[] = {0.0f, 0.0f, 0.0f, 3.0f};
  const auto all = [&](bool aReuse) {
    NPatchTree::CTreeBuilder builder;
    std::string out;
    for (std::size_t t = 0; t < images.size(); ++t)
      out += patchTree(images[t], radii[t], margins[t], Sharing::kNone, true, aReuse ? &builder : nullptr);
    return out;
  };
  const std::string fresh = inChild([&] { return all(false); });
  const std::string reused = inChild([&] { return all(true); });
  ASSERT_FALSE(fresh.empty());
  EXPECT_EQ(reused, fresh);
}

}  // namespace

namespace {

int plainStartingCluster(int aCount0, int aCount1, int aDraw) {
  const double p = static_cast<double>(aCount0 + 1) / static_cast<double>(aCount0 + aCount1 + 1);
  const double u = static_cast<double>(static_cast<float>(aDraw) * 4.656612873077393e-10f);
  return static_cast<int>(p + u);
}

// Draws that put p + u exactly on 1, or one rounding step of the draw to
// either side: u * b = aCount1 * 2^31 when the draw is aCount1 * 2^31 / b.
std::vector<int> drawsNearTheBoundary(int aCount0, int aCount1) {
  const long long b = static_cast<long long>(aCount0) + aCount1 + 1;
  const long long exact = (static_cast<long long>(aCount1) << 31) / b;
  std::vector<int> draws;
  for (long long d = exact - 300; d <= exact + 300; ++d)
    if (d >= 0 && d <= 2147483647LL) draws.push_back(static_cast<int>(d));
  for (const float f : {static_cast<float>(exact), std::nextafter(static_cast<float>(exact), 0.0f),
                        std::nextafter(static_cast<float>(exact), 3e9f)})
    if (f >= 0.0f && f < 2147483648.0f) draws.push_back(static_cast<int>(f));
  return draws;
}

}  // namespace

// The starts of a run of draws, made several at a time, are those made one
// at a time: near every boundary, at ranks where the rounding margin grows
// (2^20) and near the largest, with and without the vector path.
TEST(StartingCluster, RunsOfDrawsAgreeWithOneAtATime) {
  std::mt19937 generator(5);
  std::uniform_int_distribution<int> anyDraw(0, 2147483647);
  for (const int firstRank : {0, 1, 3, 1048570, 16777213, 2147483000}) {
    std::vector<int> draws;
    for (int j = 0; j < 41; ++j) {
      const int rank = firstRank + j;
      // Counts of the second cluster from 0 to the rank, a few of them.
      for (const int c1 : {0, rank / 3, rank / 2, rank}) {
        const std::vector<int> near = drawsNearTheBoundary(rank - c1, c1);
        draws.push_back(near[static_cast<std::size_t>(j) % near.size()]);
      }
      draws.push_back(anyDraw(generator));
    }
    for (const int draw : {2147483647, 2147483600, 2147483584, 0, 1, 64, 127}) draws.push_back(draw);
    const int n = static_cast<int>(std::min<std::size_t>(draws.size(), 2147483647u - firstRank));
    for (const bool portable : {false, true}) {
      NPatchKernels::forcePortable(portable);
      std::vector<NPatchTree::CStartingDraw> starts(draws.size());
      NPatchTree::startingDraws(draws.data(), n, firstRank, starts.data());
      NPatchKernels::forcePortable(false);
      for (int j = 0; j < n; ++j) {
        const NPatchTree::CStartingDraw one = NPatchTree::startingDraw(draws[j], firstRank + j);
        ASSERT_TRUE(starts[j].below == one.below && starts[j].nearTie == one.nearTie)
            << "rank " << firstRank + j << " draw " << draws[j] << " portable " << portable;
      }
    }
  }
}

TEST(StartingCluster, AgreesWithTheDoubleExpression) {
  // The side in integers, made ahead from the draw and the record's rank.
  const auto atRank = [](int aCount0, int aCount1, int aDraw) {
    const int rank = aCount0 + aCount1;
    return NPatchTree::startingClusterFrom(NPatchTree::startingDraw(aDraw, rank), aDraw, rank, aCount1);
  };
  // Every draw that matters for small counts, where ties are exact.
  for (int c0 = 0; c0 < 40; ++c0)
    for (int c1 = 0; c1 < 40; ++c1)
      for (const int draw : drawsNearTheBoundary(c0, c1))
        ASSERT_EQ(atRank(c0, c1, draw), plainStartingCluster(c0, c1, draw)) << c0 << " " << c1 << " " << draw;
  // The largest draws (u rounds to exactly 1, and p + u to 2 when p is 1).
  for (const int draw : {2147483647, 2147483600, 2147483584, 2147483520, 0, 1})
    for (int c0 = 0; c0 < 5; ++c0)
      for (int c1 = 0; c1 < 5; ++c1) EXPECT_EQ(atRank(c0, c1, draw), plainStartingCluster(c0, c1, draw));
  EXPECT_EQ(atRank(3, 0, 2147483647), 2);
  // Large nodes: random counts up to 2^24 records, random and boundary draws.
  std::mt19937 generator(11);
  std::uniform_int_distribution<int> count(0, 1 << 24), anyDraw(0, 2147483647);
  for (int trial = 0; trial < 2000; ++trial) {
    const int c0 = count(generator), c1 = count(generator);
    for (const int draw : drawsNearTheBoundary(c0, c1))
      ASSERT_EQ(atRank(c0, c1, draw), plainStartingCluster(c0, c1, draw)) << c0 << " " << c1 << " " << draw;
    for (int k = 0; k < 100; ++k) {
      const int draw = anyDraw(generator);
      ASSERT_EQ(atRank(c0, c1, draw), plainStartingCluster(c0, c1, draw));
    }
  }
}

// The fast kernels against the plain loops that specify them: every result
// must be the same float, with AVX2 and on the portable path.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CNLMeansCommon.h"
#include "ExpKernels.h"
#include "NLMeansKernels.h"
#include "PatchKernels.h"
#include "TestSupport.h"

namespace {

using NLMeansCommon::CEstimate;
using NLMeansCommon::CPatchWindow;

bool sameBits(float aA, float aB) { return std::memcmp(&aA, &aB, sizeof aA) == 0; }

class KernelPaths : public testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    NLMeansKernels::forcePortable(GetParam());
    NPatchKernels::forcePortable(GetParam());
    NExpKernels::forceScalar(GetParam());
  }
  void TearDown() override {
    NLMeansKernels::forcePortable(false);
    NPatchKernels::forcePortable(false);
    NPatchKernels::forceNarrowRegisters(false);
    NExpKernels::forceScalar(false);
  }
};

TEST_P(KernelPaths, WindowedEstimateMatchesThePlainLoop) {
  struct Case {
    int xSize, ySize, patchRadius, searchRadius;
  } cases[] = {{23, 17, 4, 15}, {12, 30, 3, 5}, {1, 40, 2, 6}, {40, 1, 4, 10}, {9, 9, 4, 15},
               {31, 29, 1, 0}, {16, 16, 5, 7}, {20, 20, 0, 3}, {25, 14, 2, -1}, {33, 21, 6, 40},
               // Wide enough for window rows of two, three and four whole or
               // partial lane groups away from the edges.
               {70, 12, 2, 15}, {64, 10, 3, 11}, {50, 9, 4, 6}, {72, 9, 1, 16}};
  for (const Case& c : cases) {
    const CMatrix<float> image = TestSupport::noisyImage(c.xSize, c.ySize, static_cast<unsigned>(c.xSize * 97 + c.ySize));
    const CMatrix<float> values = TestSupport::noisyImage(c.xSize, c.ySize, 5);
    const CPatchWindow window(c.patchRadius);
    const float k = NLMeansCommon::sigmaKernel(18.0f);
    for (int y = 0; y < c.ySize; ++y)
      for (int x = 0; x < c.xSize; ++x) {
        const CEstimate plain = NLMeansCommon::windowedEstimate(image.data(), values.data(), c.xSize, c.ySize, x, y,
                                                                c.searchRadius, k, window);
        const CEstimate fast = NLMeansKernels::windowedEstimate(image.data(), values.data(), c.xSize, c.ySize, x, y,
                                                                c.searchRadius, k, window);
        ASSERT_TRUE(sameBits(fast.weightSum, plain.weightSum) && sameBits(fast.weightedSum, plain.weightedSum) &&
                    sameBits(fast.maxWeight, plain.maxWeight))
            << c.xSize << "x" << c.ySize << " r " << c.patchRadius << " R " << c.searchRadius << " at " << x << ","
            << y;
      }
  }
}

// Runs of pixels along rows, and along columns of the transposed images, at
// every start where they fit: window rows clipped by the image's top and
// bottom (or sides), candidates whose patches are clipped across the run,
// and windows whose rows hold fewer candidates than a lane group.
TEST_P(KernelPaths, WindowedRunsMatchThePlainLoop) {
  struct Case {
    int xSize, ySize, patchRadius, searchRadius;
  } cases[] = {{30, 9, 2, 5}, {40, 12, 4, 15}, {17, 40, 3, 3}, {26, 26, 1, 0}, {21, 14, 0, 6}, {36, 11, 3, 1}};
  int runs = 0;
  for (const Case& c : cases) {
    const CMatrix<float> image = TestSupport::noisyImage(c.xSize, c.ySize, static_cast<unsigned>(c.xSize + 7 * c.ySize));
    const CMatrix<float> values = TestSupport::noisyImage(c.xSize, c.ySize, 9);
    std::vector<float> imageT(image.size()), valuesT(values.size());
    for (int y = 0; y < c.ySize; ++y)
      for (int x = 0; x < c.xSize; ++x) {
        imageT[static_cast<std::size_t>(x) * c.ySize + y] = image.data()[x + y * c.xSize];
        valuesT[static_cast<std::size_t>(x) * c.ySize + y] = values.data()[x + y * c.xSize];
      }
    const CPatchWindow window(c.patchRadius);
    const float k = NLMeansCommon::sigmaKernel(15.0f);
    const NLMeansKernels::CRunPlanes rows{image.data(), values.data(), c.xSize, c.ySize, 1, c.xSize};
    const NLMeansKernels::CRunPlanes columns{imageT.data(), valuesT.data(), c.xSize, c.ySize, c.ySize, 1};
    for (const bool alongX : {true, false})
      for (int y = 0; y < c.ySize; ++y)
        for (int x = 0; x < c.xSize; ++x) {
          const NLMeansKernels::CRunPlanes& planes = alongX ? rows : columns;
          if (!NLMeansKernels::windowedRunFits(planes, x, y, c.searchRadius, window)) continue;
          ++runs;
          CEstimate run[NLMeansKernels::kRunLength];
          NLMeansKernels::windowedRunEstimates(planes, x, y, c.searchRadius, k, window, run);
          for (int l = 0; l < NLMeansKernels::kRunLength; ++l) {
            const int px = x + (alongX ? l : 0), py = y + (alongX ? 0 : l);
            const CEstimate plain = NLMeansCommon::windowedEstimate(image.data(), values.data(), c.xSize, c.ySize,
                                                                    px, py, c.searchRadius, k, window);
            ASSERT_TRUE(sameBits(run[l].weightSum, plain.weightSum) &&
                        sameBits(run[l].weightedSum, plain.weightedSum) &&
                        sameBits(run[l].maxWeight, plain.maxWeight))
                << c.xSize << "x" << c.ySize << " r " << c.patchRadius << " R " << c.searchRadius
                << (alongX ? " row" : " column") << " run at " << x << "," << y << " lane " << l;
          }
        }
  }
  EXPECT_GT(runs, 200);
}

// Row distances hand out what windowDistances gives, pixel by pixel, whether
// the pixels come in row order (runs taken whole) or not.
TEST_P(KernelPaths, RowDistancesMatchWindowDistances) {
  struct Case {
    int xSize, ySize, patchRadius, searchRadius;
  } cases[] = {{40, 9, 2, 5}, {33, 14, 3, 3}, {12, 12, 1, 8}, {30, 6, 0, 2}};
  for (const Case& c : cases) {
    const CMatrix<float> image = TestSupport::noisyImage(c.xSize, c.ySize, static_cast<unsigned>(c.xSize * c.ySize));
    const CPatchWindow window(c.patchRadius);
    NLMeansKernels::CRowDistances rows(image.data(), c.xSize, c.ySize, c.searchRadius, window);
    std::vector<float> distances(NLMeansKernels::largestWindow(c.xSize, c.ySize, c.searchRadius));
    std::vector<std::uint8_t> defined(distances.size());
    for (const bool inOrder : {true, false})
      for (int y = 0; y < c.ySize; ++y)
        for (int i = 0; i < c.xSize; ++i) {
          const int x = inOrder ? i : (i * 7) % c.xSize;
          const NLMeansKernels::CWindowBounds bounds =
              NLMeansKernels::windowBounds(c.xSize, c.ySize, x, y, c.searchRadius);
          NLMeansKernels::windowDistances(image.data(), c.xSize, c.ySize, x, y, bounds, window, distances.data(),
                                          defined.data());
          const float* rowDistances;
          const std::uint8_t* rowDefined;
          rows.at(x, y, rowDistances, rowDefined);
          for (int k = 0; k < bounds.count(); ++k) {
            ASSERT_EQ(rowDefined[k], defined[k]) << c.xSize << "x" << c.ySize << " at " << x << "," << y << " " << k;
            if (defined[k]) {
              ASSERT_TRUE(sameBits(rowDistances[k], distances[k]))
                  << c.xSize << "x" << c.ySize << " at " << x << "," << y << " candidate " << k;
            }
          }
        }
  }
}

// A pixel's forward weights and ranking keys are those of the plain loop for
// the candidates after it in its window, and a run's lanes those of its
// pixels alone.
TEST_P(KernelPaths, ForwardWeightsMatchThePlainLoop) {
  struct Case {
    int xSize, ySize, patchRadius, searchRadius;
  } cases[] = {{40, 9, 2, 5}, {33, 14, 3, 3}, {12, 12, 1, 8}};
  const float kernel = -0.5f / (15.0f * 15.0f);
  for (const Case& c : cases) {
    const CMatrix<float> image = TestSupport::noisyImage(c.xSize, c.ySize, static_cast<unsigned>(c.xSize + c.ySize));
    const CPatchWindow window(c.patchRadius);
    const int R = c.searchRadius, slots = NLMeansKernels::forwardSlots(R);
    std::vector<float> pixelWeights(slots), runWeights(static_cast<std::size_t>(slots) * 8);
    std::vector<std::uint8_t> pixelDefined(slots), runDefined(runWeights.size());
    // The ranking keys have one slot more: the pixel's own key.
    std::vector<float> pixelRanks(slots + 1), runRanks(static_cast<std::size_t>(slots + 1) * 8);
    const NLMeansKernels::CRunPlanes planes{image.data(), nullptr, c.xSize, c.ySize, 1, c.xSize};
    for (int y = 0; y < c.ySize; ++y)
      for (int x = 0; x < c.xSize; ++x) {
        const bool run = x + 8 <= c.xSize && NLMeansKernels::windowedRunFits(planes, x, y, R, window);
        if (run) {
          NLMeansKernels::forwardRunWeights(image.data(), c.xSize, c.ySize, x, y, R, kernel, window, runWeights.data(),
                                            runDefined.data(), 8);
          NLMeansKernels::forwardRunRanks(image.data(), c.xSize, c.ySize, x, y, R, window, runRanks.data(), 8);
        }
        for (int l = 0; l < (run ? 8 : 1); ++l) {
          NLMeansKernels::forwardPixelWeights(image.data(), c.xSize, c.ySize, x + l, y, R, kernel, window,
                                              pixelWeights.data(), pixelDefined.data(), 1);
          NLMeansKernels::forwardPixelRanks(image.data(), c.xSize, c.ySize, x + l, y, R, window, pixelRanks.data(), 1);
          float own = 0.0f;
          const float ownRank = NLMeansCommon::boundedDistance(image.data(), c.xSize, c.ySize, x + l, y, x + l, y,
                                                               window, own)
                                    ? own
                                    : std::numeric_limits<float>::infinity();
          ASSERT_TRUE(sameBits(pixelRanks[slots], ownRank)) << x + l << "," << y << " (own rank)";
          if (run) {
            ASSERT_TRUE(sameBits(runRanks[static_cast<std::size_t>(slots) * 8 + l], ownRank))
                << x + l << "," << y << " (own rank, run)";
          }
          for (int oy = 0; oy <= R; ++oy)
            for (int ox = oy == 0 ? 1 : -R; ox <= R; ++ox) {
              const int slot = NLMeansKernels::forwardSlot(R, ox, oy);
              const int qx = x + l + ox, qy = y + oy;
              float distance = 0.0f;
              const bool expected = qx >= 0 && qx < c.xSize && qy < c.ySize &&
                                    NLMeansCommon::boundedDistance(image.data(), c.xSize, c.ySize, x + l, y, qx, qy,
                                                                   window, distance);
              const std::string where = std::to_string(c.xSize) + "x" + std::to_string(c.ySize) + " at " +
                                        std::to_string(x + l) + "," + std::to_string(y) + " offset " +
                                        std::to_string(ox) + "," + std::to_string(oy);
              ASSERT_EQ(pixelDefined[slot] != 0, expected) << where;
              if (expected) {
                ASSERT_TRUE(sameBits(pixelWeights[slot], std::exp(kernel * distance))) << where;
              }
              const float rank = expected ? distance : std::numeric_limits<float>::infinity();
              ASSERT_TRUE(sameBits(pixelRanks[slot], rank)) << where << " (rank)";
              if (run) {
                ASSERT_TRUE(sameBits(runRanks[slot * 8 + l], rank)) << where << " (run rank)";
              }
              if (!run) continue;
              ASSERT_EQ(runDefined[slot * 8 + l], pixelDefined[slot]) << where << " (run)";
              if (expected) {
                ASSERT_TRUE(sameBits(runWeights[slot * 8 + l], pixelWeights[slot])) << where << " (run)";
              }
            }
        }
      }
  }
}

// Where a run may start: not where its last pixel's window or candidates
// would reach past the image along the run, nor outside the image across it.
TEST(WindowedRuns, FitOnlyWhereTheirWindowsLieInsideAlongTheRun) {
  const CPatchWindow window(2);
  const NLMeansKernels::CRunPlanes rows{nullptr, nullptr, 30, 10, 1, 30};
  EXPECT_TRUE(NLMeansKernels::windowedRunFits(rows, 5, 0, 3, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(rows, 4, 0, 3, window));
  EXPECT_TRUE(NLMeansKernels::windowedRunFits(rows, 17, 9, 3, window));   // last pixel 24, reach 29
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(rows, 18, 9, 3, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(rows, 10, 10, 3, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(rows, 10, -1, 3, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(rows, 10, 5, -1, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(rows, 10, 5, 2147483647, window));
  const NLMeansKernels::CRunPlanes columns{nullptr, nullptr, 10, 30, 30, 1};
  EXPECT_TRUE(NLMeansKernels::windowedRunFits(columns, 0, 5, 3, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(columns, 0, 18, 3, window));
  EXPECT_FALSE(NLMeansKernels::windowedRunFits(columns, 10, 5, 3, window));
}

// One pixel against candidates anywhere inside: as many as fill no lane group,
// one, and several with a partial last, for several patch sizes.
TEST_P(KernelPaths, CandidateWeightsMatchThePlainLoop) {
  std::mt19937 generator(41);
  for (const int r : {1, 3, 4, 6}) {
    const int xSize = 40, ySize = 33;
    const CMatrix<float> image = TestSupport::noisyImage(xSize, ySize, static_cast<unsigned>(r));
    const CPatchWindow window(r);
    const float k = NLMeansCommon::filterKernel(0.5f, 20.0f);
    std::uniform_int_distribution<int> column(r, xSize - 1 - r), row(r, ySize - 1 - r);
    // 2500: more than one block of those gathered at a time.
    for (const int count : {0, 1, 5, 8, 9, 16, 23, 100, 2500}) {
      const int pixel = column(generator) + row(generator) * xSize;
      std::vector<int> candidates;
      for (int c = 0; c < count; ++c) candidates.push_back(column(generator) + row(generator) * xSize);
      std::vector<float> weights(static_cast<std::size_t>(count) + 1, -1.0f);
      NLMeansKernels::candidateWeights(image.data(), xSize, window, k, pixel, candidates.data(), count, weights.data());
      for (int c = 0; c < count; ++c) {
        float distance = 0.0f;
        ASSERT_TRUE(NLMeansCommon::boundedDistance(image.data(), xSize, ySize, pixel % xSize, pixel / xSize,
                                                   candidates[c] % xSize, candidates[c] / xSize, window, distance));
        ASSERT_TRUE(sameBits(weights[c], std::exp(k * distance))) << "r " << r << " count " << count << " at " << c;
      }
      EXPECT_EQ(weights[count], -1.0f) << "written past the end, r " << r << " count " << count;
    }
  }
}

TEST_P(KernelPaths, LeafEstimatesMatchThePlainLoop) {
  const int X = 70, Y = 60;
  const CMatrix<float> image = TestSupport::noisyImage(X, Y, 17);
  const CMatrix<float> values = TestSupport::noisyImage(X, Y, 18);
  const float k = NLMeansCommon::sigmaKernel(25.0f);
  std::mt19937 generator(3);
  // Patch sides below, at and above a lane group plus one; small leaves, one
  // with copies, and one above the size that keeps a pair matrix.
  for (const int r : {1, 4, 6}) {
    const CPatchWindow window(r);
    for (int size : {2, 7, 31, 200, 1500}) {
      if (r != 4 && size == 1500) continue;
      std::vector<int> members;
      std::vector<std::uint8_t> isCopy;
      std::uniform_int_distribution<int> column(r, X - 1 - r), row(r, Y - 1 - r);
      std::vector<bool> used(X * Y, false);
      while (static_cast<int>(members.size()) < size) {
        const int p = column(generator) + row(generator) * X;
        if (used[p]) continue;
        used[p] = true;
        members.push_back(p);
        isCopy.push_back(size == 31 && members.size() % 4 == 0 ? 1 : 0);
      }
      // Values of their own, and the distance image's (then taken from the
      // gathered patches).
      for (const float* leafValues : {values.data(), image.data()}) {
        std::vector<float> fast(X * Y, -1.0f), plain(X * Y, -1.0f);
        NLMeansKernels::leafEstimates(image.data(), leafValues, X, window, k, members, isCopy,
                                      NLMeansKernels::COutput{fast.data(), X, 0, 0});
        for (std::size_t i = 0; i < members.size(); ++i) {
          if (isCopy[i]) continue;
          const int px = members[i] % X, py = members[i] / X;
          CEstimate estimate;
          for (int q : members) {
            if (q == members[i]) continue;
            const float d = NLMeansCommon::squareDistance(image.data(), X, px, py, q % X, q / X, window);
            estimate.add(std::exp(k * d), leafValues[q]);
          }
          estimate.store(leafValues[members[i]], plain[members[i]]);
        }
        const bool own = leafValues == values.data();
        for (int p = 0; p < X * Y; ++p)
          ASSERT_TRUE(sameBits(fast[p], plain[p]))
              << "leaf of " << size << " r " << r << (own ? " values" : " image's values") << " at " << p;
      }
    }
  }
}

// An image of bytes' values: a leaf's estimates from its patches read as
// bytes are those from the floats, bit for bit, for leaves of every size
// around a lane group and members up to the image's last corner (whose last
// patch row is read beyond the image's end, into the bytes' padding).
TEST_P(KernelPaths, LeafEstimatesFromBytesAreThoseFromFloats) {
  const int X = 37, Y = 29;
  std::mt19937 generator(5);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<float> image(static_cast<std::size_t>(X) * Y);
  for (float& value : image) value = static_cast<float>(byte(generator));
  const CMatrix<float> values = TestSupport::noisyImage(X, Y, 19);
  const std::vector<std::uint8_t> bytes = NLMeansKernels::exactBytes(image.data(), image.size());
  ASSERT_GT(bytes.size(), image.size());
  for (std::size_t i = 0; i < image.size(); ++i) ASSERT_EQ(bytes[i], image[i]) << "at " << i;
  const float k = NLMeansCommon::sigmaKernel(20.0f);
  // The byte kernel reads 9 x 9 patches; other sides keep to the floats.
  for (const int r : {3, 4}) {
    const CPatchWindow window(r);
    const int corner = (X - 1 - r) + (Y - 1 - r) * X;
    for (const int size : {1, 2, 7, 8, 9, 15, 16, 17, 64, 200}) {
      std::vector<int> members{corner};
      std::uniform_int_distribution<int> column(r, X - 1 - r), row(r, Y - 1 - r);
      std::vector<bool> used(image.size(), false);
      used[corner] = true;
      while (static_cast<int>(members.size()) < size) {
        const int p = column(generator) + row(generator) * X;
        if (used[p]) continue;
        used[p] = true;
        members.push_back(p);
      }
      // The corner last as well as first: the last group's lanes past the
      // members repeat its first member.
      if (size % 2 == 0) std::swap(members.front(), members.back());
      const std::vector<std::uint8_t> isCopy(members.size(), 0);
      std::vector<float> fromFloats(image.size(), -1.0f), fromBytes(image.size(), -1.0f);
      NLMeansKernels::leafEstimates(image.data(), values.data(), X, window, k, members, isCopy,
                                    NLMeansKernels::COutput{fromFloats.data(), X, 0, 0});
      NLMeansKernels::leafEstimates(image.data(), values.data(), X, window, k, members, isCopy,
                                    NLMeansKernels::COutput{fromBytes.data(), X, 0, 0}, {}, bytes.data());
      for (std::size_t p = 0; p < image.size(); ++p)
        ASSERT_TRUE(sameBits(fromBytes[p], fromFloats[p])) << "leaf of " << size << " r " << r << " at " << p;
    }
  }
}

// Only values that a byte holds exactly make bytes: anything else, wherever
// it lies (in a lane group or in the last values), leaves the result empty.
TEST_P(KernelPaths, ExactBytesTakeOnlyBytesValues) {
  std::vector<float> image(37);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<float>(i * 7 % 256);
  image[3] = 255.0f;
  image[5] = 0.0f;
  const std::vector<std::uint8_t> bytes = NLMeansKernels::exactBytes(image.data(), image.size());
  ASSERT_GT(bytes.size(), image.size());
  for (std::size_t i = 0; i < image.size(); ++i) EXPECT_EQ(bytes[i], image[i]) << "at " << i;
  EXPECT_TRUE(NLMeansKernels::exactBytes(image.data(), 0).size() > 0);
  const float wrong[] = {0.5f, 254.99f, -1.0f, 256.0f, -0.0f, 1e10f, -3e9f, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
  for (const float value : wrong)
    for (const std::size_t at : {std::size_t{0}, std::size_t{13}, std::size_t{36}}) {
      std::vector<float> changed = image;
      changed[at] = value;
      EXPECT_TRUE(NLMeansKernels::exactBytes(changed.data(), changed.size()).empty())
          << value << " at " << at;
    }
}

void expectCentreDistancesAndSumsAsThePlainLoops() {
  const int X = 50, Y = 45;
  const CMatrix<float> image = TestSupport::noisyImage(X, Y, 23);
  std::mt19937 generator(4);
  std::normal_distribution<float> noise(100.0f, 40.0f);
  for (int r : {1, 3, 4, 5}) {
    const int side = 2 * r + 1, length = side * side;
    std::vector<int> offsets;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx) offsets.push_back(dy * X + dx);
    const NPatchKernels::CPatchLayout layout{image.data(), offsets.data(), length, side, X};
    std::vector<float> centre0(length), centre1(length);
    for (float& c : centre0) c = noise(generator);
    for (float& c : centre1) c = noise(generator);
    std::vector<int> pixels;
    for (int y = r; y < Y - r; y += 3)
      for (int x = r; x < X - r; x += 2) pixels.push_back(x + y * X);
    pixels.resize(pixels.size() - 3);  // a batch that does not fill its last lane group
    const int n = static_cast<int>(pixels.size());
    std::vector<float> one(n), both0(n), both1(n);
    NPatchKernels::centreDistances(layout, pixels.data(), n, centre0.data(), one.data());
    NPatchKernels::centreDistances2(layout, pixels.data(), n, centre0.data(), centre1.data(), both0.data(),
                                    both1.data());
    std::vector<float> sum(length, 0.5f), plainSum(length, 0.5f), mixed(length, 3.0f), plainMixed(length, 3.0f);
    std::vector<std::uint8_t> negate(n);
    for (int i = 0; i < n; ++i) {
      float d0 = 0.0f, d1 = 0.0f;
      for (int k = 0; k < length; ++k) {
        const float x = image.data()[pixels[i] + offsets[k]];
        d0 += (x - centre0[k]) * (x - centre0[k]);
        d1 += (x - centre1[k]) * (x - centre1[k]);
        plainSum[k] += x;
        if (i % 3 == 1)
          plainMixed[k] -= x;
        else
          plainMixed[k] += x;
      }
      negate[i] = i % 3 == 1 ? 1 : 0;
      ASSERT_TRUE(sameBits(one[i], d0) && sameBits(both0[i], d0) && sameBits(both1[i], d1)) << "r " << r << " " << i;
    }
    NPatchKernels::sumFeatures(layout, pixels.data(), nullptr, n, sum.data());
    NPatchKernels::sumFeatures(layout, pixels.data(), negate.data(), n, mixed.data());
    for (int k = 0; k < length; ++k)
      ASSERT_TRUE(sameBits(sum[k], plainSum[k]) && sameBits(mixed[k], plainMixed[k])) << "r " << r << " k " << k;

    // The moves of a pass into both sums at once, whole, by pairs of rows and
    // by the halves that two threads share, against one sum at a time.
    std::vector<std::uint8_t> toFirst(n);
    for (int i = 0; i < n; ++i) toFirst[i] = negate[i] ^ 1;
    std::vector<float> first(length, 7.0f), second(length, -2.0f);
    std::vector<float> plainFirst = first, plainSecond = second;
    NPatchKernels::sumFeatures(layout, pixels.data(), negate.data(), n, plainFirst.data());
    NPatchKernels::sumFeatures(layout, pixels.data(), toFirst.data(), n, plainSecond.data());
    std::vector<float> splitFirst = first, splitSecond = second, halvesFirst = first, halvesSecond = second;
    NPatchKernels::sumMoves(layout, pixels.data(), negate.data(), n, first.data(), second.data(), 0, side);
    for (int row = 0; row < side; row += 2)
      NPatchKernels::sumMoves(layout, pixels.data(), negate.data(), n, splitFirst.data(), splitSecond.data(), row,
                              std::min(row + 2, side));
    const int half = (side + 1) / 2;
    NPatchKernels::sumMoves(layout, pixels.data(), negate.data(), n, halvesFirst.data(), halvesSecond.data(), half,
                            side);
    NPatchKernels::sumMoves(layout, pixels.data(), negate.data(), n, halvesFirst.data(), halvesSecond.data(), 0, half);
    for (int k = 0; k < length; ++k)
      ASSERT_TRUE(sameBits(first[k], plainFirst[k]) && sameBits(second[k], plainSecond[k]) &&
                  sameBits(splitFirst[k], plainFirst[k]) && sameBits(splitSecond[k], plainSecond[k]) &&
                  sameBits(halvesFirst[k], plainFirst[k]) && sameBits(halvesSecond[k], plainSecond[k]))
          << "moves, r " << r << " k " << k;
  }
}

// Natively, the kernels' build for thirty-two registers (where the processor
// has them) and the one for AVX2's sixteen.
TEST_P(KernelPaths, CentreDistancesAndSumsMatchThePlainLoops) {
  for (bool narrow : {false, true}) {
    SCOPED_TRACE(narrow ? "sixteen registers" : "all registers");
    NPatchKernels::forceNarrowRegisters(narrow);
    expectCentreDistancesAndSumsAsThePlainLoops();
    NPatchKernels::forceNarrowRegisters(false);
    if (HasFatalFailure()) return;
  }
}

// The two-centre distance takes one difference by a fused step (x * 1 - c),
// which must round as the plain subtraction does for every kind of value:
// zeros of both signs, subnormals, squares that underflow or overflow, and,
// here and there, infinities, NaN and differences that overflow (NaN's sign
// and payload mean nothing: any NaN will do).
TEST_P(KernelPaths, CentreDistancesOfExtremeValuesMatchThePlainLoop) {
  const float kFinite[] = {0.0f, -0.0f, 1e-40f, -3e-39f, 0x1p-149f, 1e-20f, -2.5e-23f, 0.1f, 1.5f, 100.25f, -7.0f,
                           1e19f, -1e19f, 3.3e18f};
  const float kRare[] = {3e38f, -3e38f, std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
  constexpr int kFiniteCount = sizeof kFinite / sizeof kFinite[0], kRareCount = sizeof kRare / sizeof kRare[0];
  const auto same = [](float aA, float aB) { return sameBits(aA, aB) || (std::isnan(aA) && std::isnan(aB)); };
  const int X = 41, Y = 37;
  for (const bool narrow : {false, true}) {
    NPatchKernels::forceNarrowRegisters(narrow);
    for (const int r : {1, 4}) {
      // The rare values sparse enough that most patches hold none.
      const int rareEvery = r == 1 ? 23 : 263;
      std::vector<float> image(static_cast<std::size_t>(X) * Y);
      for (int p = 0; p < X * Y; ++p)
        image[p] = p % rareEvery == 5 ? kRare[(p / rareEvery) % kRareCount] : kFinite[(p * 7 + p / X) % kFiniteCount];
      const int side = 2 * r + 1, length = side * side;
      std::vector<int> offsets, pixels;
      for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) offsets.push_back(dy * X + dx);
      for (int y = r; y < Y - r; ++y)
        for (int x = r; x < X - r; ++x) pixels.push_back(x + y * X);
      const NPatchKernels::CPatchLayout layout{image.data(), offsets.data(), length, side, X};
      const int n = static_cast<int>(pixels.size());
      for (int trial = 0; trial < 4; ++trial) {
        // The last trial's centres hold the rare values too.
        std::vector<float> centre0(length), centre1(length);
        for (int k = 0; k < length; ++k) {
          centre0[k] = kFinite[(k * 3 + trial) % kFiniteCount];
          centre1[k] = trial == 3 && k % 17 == 4 ? kRare[k % kRareCount]
                                                  : kFinite[(k * 5 + 2 * trial + 1) % kFiniteCount];
        }
        std::vector<float> both0(n), both1(n);
        NPatchKernels::centreDistances2(layout, pixels.data(), n, centre0.data(), centre1.data(), both0.data(),
                                        both1.data());
        for (int i = 0; i < n; ++i) {
          float d0 = 0.0f, d1 = 0.0f;
          for (int k = 0; k < length; ++k) {
            const float x = image[pixels[i] + offsets[k]];
            d0 += (x - centre0[k]) * (x - centre0[k]);
            d1 += (x - centre1[k]) * (x - centre1[k]);
          }
          ASSERT_TRUE(same(both0[i], d0) && same(both1[i], d1))
              << (narrow ? "sixteen registers" : "all registers") << ", r " << r << ", trial " << trial << ", record "
              << i << ": " << both0[i] << " vs " << d0 << ", " << both1[i] << " vs " << d1;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, KernelPaths, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& aInfo) { return aInfo.param ? "Portable" : "Native"; });

}  // namespace

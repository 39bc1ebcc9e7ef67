// The nearer-centre test may leave a patch open, but must never contradict
// the exact sums: a wrong side would put a record in the wrong child.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "CNearerTest.h"
#include "PatchKernels.h"

namespace {

struct CPatches {
  int xSize = 0, ySize = 0, radius = 0;
  std::vector<float> image;
  std::vector<int> offsets;
  std::vector<int> pixels;  // every interior pixel
  NPatchKernels::CPatchLayout layout{};

  CPatches(int aXSize, int aYSize, int aRadius, std::mt19937& aGenerator)
      : xSize(aXSize), ySize(aYSize), radius(aRadius) {
    const int side = 2 * aRadius + 1;
    const float scale = 1.0f / static_cast<float>(side);
    std::uniform_int_distribution<int> grey(0, 255);
    image.resize(static_cast<std::size_t>(aXSize) * aYSize);
    for (float& v : image) v = scale * static_cast<float>(grey(aGenerator));
    for (int dy = -aRadius; dy <= aRadius; ++dy)
      for (int dx = -aRadius; dx <= aRadius; ++dx) offsets.push_back(dy * aXSize + dx);
    for (int y = aRadius; y < aYSize - aRadius; ++y)
      for (int x = aRadius; x < aXSize - aRadius; ++x) pixels.push_back(x + y * aXSize);
    layout = NPatchKernels::CPatchLayout{image.data(), offsets.data(), side * side, side, aXSize};
  }
  std::vector<float> feature(int aPixel) const {
    std::vector<float> out;
    for (const int offset : offsets) out.push_back(image[static_cast<std::size_t>(aPixel + offset)]);
    return out;
  }
};

// Checks every decided side against the exact sums; returns how many the
// test left open.
int expectNoContradiction(const CPatches& aPatches, const std::vector<float>& aCentre0,
                          const std::vector<float>& aCentre1) {
  NPatchKernels::CNearerTest test;
  EXPECT_TRUE(test.prepare(aPatches.layout, aCentre0.data(), aCentre1.data(), 0.0f, 255.0f / (2 * aPatches.radius + 1)));
  const int n = static_cast<int>(aPatches.pixels.size());
  std::vector<float> d0(n), d1(n);
  NPatchKernels::centreDistances2(aPatches.layout, aPatches.pixels.data(), n, aCentre0.data(), aCentre1.data(),
                                  d0.data(), d1.data());
  std::vector<std::uint8_t> sides(n);
  test.sides(aPatches.layout, aPatches.pixels.data(), n, sides.data());
  int open = 0;
  for (int i = 0; i < n; ++i) {
    if (sides[i] == NPatchKernels::kUndecided) {
      ++open;
      continue;
    }
    const bool nearerFirst = d1[i] > d0[i];
    EXPECT_EQ(sides[i], nearerFirst ? NPatchKernels::kNearerFirst : NPatchKernels::kNearerSecond)
        << "pixel " << aPatches.pixels[i] << " d0 " << d0[i] << " d1 " << d1[i];
  }
  return open;
}

}  // namespace

TEST(NearerTest, NeverContradictsTheExactSums) {
  std::mt19937 generator(5);
  for (const bool portable : {false, true}) {
    NPatchKernels::forcePortable(portable);
    for (const int radius : {1, 3, 4, 6}) {
      const CPatches patches(48, 40, radius, generator);
      const int n = static_cast<int>(patches.pixels.size());
      std::uniform_int_distribution<int> anyPixel(0, n - 1);
      std::normal_distribution<float> jitter(0.0f, 1.0f);
      for (int trial = 0; trial < 30; ++trial) {
        // Centres: two patches, one patch and a slight change of it (so
        // that many patches lie near the middle), and exact mirror images
        // about a patch (whose distances can tie to the bit).
        std::vector<float> c0 = patches.feature(patches.pixels[anyPixel(generator)]);
        std::vector<float> c1 = patches.feature(patches.pixels[anyPixel(generator)]);
        if (trial % 3 == 1) {
          c1 = c0;
          c1[static_cast<std::size_t>(trial) % c1.size()] += 1e-4f * jitter(generator);
        } else if (trial % 3 == 2) {
          const std::vector<float> middle = patches.feature(patches.pixels[anyPixel(generator)]);
          for (std::size_t k = 0; k < middle.size(); ++k) {
            const float step = static_cast<float>(static_cast<int>(4.0f * jitter(generator))) * 0.25f;
            c0[k] = middle[k] + step;
            c1[k] = middle[k] - step;
          }
        }
        expectNoContradiction(patches, c0, c1);
      }
    }
  }
  NPatchKernels::forcePortable(false);
}

TEST(NearerTest, SettlesNearlyAllPatchesForDistinctCentres) {
  std::mt19937 generator(9);
  const CPatches patches(80, 70, 4, generator);
  std::uniform_int_distribution<int> anyPixel(0, static_cast<int>(patches.pixels.size()) - 1);
  const std::vector<float> c0 = patches.feature(patches.pixels[anyPixel(generator)]);
  const std::vector<float> c1 = patches.feature(patches.pixels[anyPixel(generator)]);
  const int open = expectNoContradiction(patches, c0, c1);
  EXPECT_LT(open, static_cast<int>(patches.pixels.size()) / 50);
}

TEST(NearerTest, DeclinesWhatItCannotBound) {
  std::mt19937 generator(3);
  const CPatches patches(20, 20, 4, generator);
  std::vector<float> c0 = patches.feature(patches.pixels[0]), c1 = patches.feature(patches.pixels[1]);
  NPatchKernels::CNearerTest test;
  EXPECT_TRUE(test.prepare(patches.layout, c0.data(), c1.data(), 0.0f, 30.0f));
  EXPECT_FALSE(test.prepare(patches.layout, c0.data(), c1.data(), 0.0f, INFINITY));
  EXPECT_FALSE(test.prepare(patches.layout, c0.data(), c1.data(), NAN, 30.0f));
  EXPECT_FALSE(test.prepare(patches.layout, c0.data(), c1.data(), 1e25f, 1e26f));
  c1[7] = NAN;
  EXPECT_FALSE(test.prepare(patches.layout, c0.data(), c1.data(), 0.0f, 30.0f));
}

// The Box-Muller transform settles most draws with polynomials instead of
// the library's log and cos; every float it gives must be the library's.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "GaussianDraws.h"

namespace {

constexpr int kRandom = 400000;

bool sameBits(float aA, float aB) { return std::memcmp(&aA, &aB, sizeof aA) == 0; }

// Random draws, and the edges: t near 0 (large values, and f = 0) and near
// 2^31 (f rounds to 1: log 0, a signed zero), u near the quarter turns (a
// cosine near 0 or 1).
std::vector<int> draws() {
  std::mt19937 generator(5);
  const auto any = [&] { return static_cast<int>(generator() & 0x7FFFFFFF); };
  std::vector<int> values;
  const auto add = [&](long long aT, long long aU) {
    values.push_back(static_cast<int>(aT));
    values.push_back(static_cast<int>(aU));
  };
  for (int i = 0; i < kRandom; ++i) add(any(), any());
  for (int t = 0; t < 20000; ++t) add(t, any());
  for (long long t = 0x7FFFFFFFLL - 20000; t <= 0x7FFFFFFFLL; ++t) add(t, any());
  for (long long quarter = 0; quarter <= 4; ++quarter)
    for (long long u = (quarter << 29) - 20000; u <= (quarter << 29) + 20000; ++u)
      if (u >= 0 && u <= 0x7FFFFFFFLL) add(any(), u);
  return values;
}

TEST(GaussianDraws, EveryFloatIsTheLibrarys) {
  const std::vector<int> values = draws();
  const int count = static_cast<int>(values.size() / 2);
  std::vector<float> batch(count);
  NGaussianDraws::gaussianDraws(values.data(), count, batch.data());
  int settled = 0;
  for (int i = 0; i < count; ++i) {
    const int t = values[2 * i], u = values[2 * i + 1];
    const float expected = NGaussianDraws::libraryGaussianDraw(t, u);
    ASSERT_TRUE(sameBits(NGaussianDraws::gaussianDraw(t, u), expected)) << "t " << t << ", u " << u;
    ASSERT_TRUE(sameBits(batch[i], expected)) << "t " << t << ", u " << u << " (batch)";
    float g;
    if (NGaussianDraws::settledGaussianDraw(t, u, g)) {
      settled += i < kRandom ? 1 : 0;
      ASSERT_TRUE(sameBits(g, expected)) << "t " << t << ", u " << u << " (settled)";
    }
  }
  // The polynomials must settle nearly all random draws, or they only add
  // work (near the quarter turns many are left to the library).
  EXPECT_GT(settled, kRandom - kRandom / 100);
}

// The rough float products must stay well inside the bound that the offsets
// rely on (a quarter of it, which leaves room for inputs the test does not
// meet), or a truncation they settle could differ from the double one.
TEST(GaussianDraws, RoughProductsStayWithinTheirBound) {
  const std::vector<int> values = draws();
  const int count = static_cast<int>(values.size() / 2);
  std::vector<float> rough(count);
  if (!NGaussianDraws::roughGaussianDraws(values.data(), count, rough.data())) GTEST_SKIP() << "no AVX2";
  float worst = 0.0f;
  for (int i = 0; i < count; ++i) {
    const float exact = NGaussianDraws::libraryGaussianDraw(values[2 * i], values[2 * i + 1]);
    worst = std::max(worst, std::fabs(rough[i] - exact));
  }
  EXPECT_LT(worst, NGaussianDraws::kRoughBound / 4) << "worst error " << worst;
}

// Every offset is the double product's, truncated and held, for radii whose
// offsets lie near many integers (R 1000: an offset unit is a 500th of a
// standard deviation), up to the largest the vector path takes and past it.
TEST(GaussianDraws, EveryOffsetIsTheDoubleProducts) {
  const std::vector<int> values = draws();
  const int count = static_cast<int>(values.size() / 2);
  std::vector<int> offsets(count);
  for (int radius : {1, 2, 10, 1000, 1 << 20, (1 << 20) + 1, 0x7FFFFFFF}) {
    NGaussianDraws::gaussianOffsets(values.data(), count, radius, offsets.data());
    const double scale = static_cast<double>(radius) * 0.5;
    for (int i = 0; i < count; ++i) {
      const float g = NGaussianDraws::libraryGaussianDraw(values[2 * i], values[2 * i + 1]);
      const long long exact = static_cast<long long>(static_cast<double>(g) * scale);
      const long long held = std::min<long long>(std::max<long long>(exact, -1LL - radius), radius);
      ASSERT_EQ(offsets[i], held) << "R " << radius << ", t " << values[2 * i] << ", u " << values[2 * i + 1];
    }
  }
}

TEST(GaussianDraws, ZeroFirstDrawGivesZero) {
  for (int u : {0, 1, 12345, 0x7FFFFFFF}) {
    EXPECT_TRUE(sameBits(NGaussianDraws::gaussianDraw(0, u), 0.0f));
    EXPECT_TRUE(sameBits(NGaussianDraws::libraryGaussianDraw(0, u), 0.0f));
  }
}

}  // namespace

// The Box-Muller transform settles most draws with polynomials instead of
// the library's log and cos; every float it gives must be the library's.
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

TEST(GaussianDraws, ZeroFirstDrawGivesZero) {
  for (int u : {0, 1, 12345, 0x7FFFFFFF}) {
    EXPECT_TRUE(sameBits(NGaussianDraws::gaussianDraw(0, u), 0.0f));
    EXPECT_TRUE(sameBits(NGaussianDraws::libraryGaussianDraw(0, u), 0.0f));
  }
}

}  // namespace

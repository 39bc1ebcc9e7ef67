// The best-n rank rule and the record it sorts.
#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "BestCandidates.h"
#include "CElement.h"
#include "CNLMeans.h"
#include "TestSupport.h"

namespace {

CNLMeans ranker(int aPatchRadius, int aSearchRadius) {
  CNLMeans nl;
  nl.patchRadius = aPatchRadius;
  nl.searchRadius = aSearchRadius;
  return nl;
}

// Mean of the input over the clipped search window; the inputs are whole grey
// levels, so the float sum is exact in any order.
float windowMean(const CMatrix<float>& aImage, int aX, int aY, int aRadius) {
  float sum = 0;
  int count = 0;
  for (int y = std::max(aY - aRadius, 0); y <= std::min(aY + aRadius, aImage.ySize() - 1); ++y)
    for (int x = std::max(aX - aRadius, 0); x <= std::min(aX + aRadius, aImage.xSize() - 1); ++x, ++count)
      sum += aImage(x, y);
  return sum / static_cast<float>(count);
}

TEST(CElement, OrdersByDistanceAlone) {
  CElement near, far;
  near.distance = 1.0f;
  near.value = 200.0f;
  far.distance = 2.0f;
  far.value = 10.0f;
  EXPECT_TRUE(near < far);
  EXPECT_FALSE(far < near);
  CElement same = near;
  same.x = 5;
  EXPECT_FALSE(same < near);
  EXPECT_FALSE(near < same);
  EXPECT_EQ(sizeof(CElement), 16u);
}

// bestCandidates must give exactly the entries std::sort puts first, in its
// order, whatever the ties: lists of few distinct distances (many ties), of
// distinct ones, with infinities, signed zeros and not-a-number.
TEST(CElement, BestCandidatesLeadAsStdSort) {
  std::mt19937 generator(77);
  const float specials[] = {std::numeric_limits<float>::infinity(), -0.0f, 0.0f,
                            std::numeric_limits<float>::quiet_NaN()};
  std::vector<CElement> list, expected, best, scratch;
  int shortcuts = 0;
  for (int round = 0; round < 3000; ++round) {
    const int size = 1 + static_cast<int>(generator() % 300);
    const int levels = round % 3 == 0 ? 4 : (round % 3 == 1 ? 1000000 : 40);
    list.clear();
    for (int i = 0; i < size; ++i) {
      CElement e;
      e.distance = static_cast<float>(generator() % levels) * 0.25f;
      if (round % 7 == 0 && generator() % 50 == 0) e.distance = specials[generator() % (round % 14 == 0 ? 4 : 3)];
      e.value = static_cast<float>(i);
      e.x = i;
      e.y = -i;
      list.push_back(e);
    }
    expected = list;
    std::sort(expected.begin(), expected.end());
    const int wanted = round % 5 == 0 ? static_cast<int>(generator() % static_cast<unsigned>(size + 2))
                                      : static_cast<int>(generator() % 70);
    NLMeansCommon::bestCandidates(
        wanted, [&](const auto& aVisit) { for (const CElement& e : list) aVisit(e); }, best, scratch);
    ASSERT_EQ(best.size(), static_cast<std::size_t>(std::min(wanted, size))) << "round " << round;
    for (std::size_t i = 0; i < best.size(); ++i) {
      ASSERT_EQ(best[i].x, expected[i].x) << "round " << round << " entry " << i;
      ASSERT_EQ(best[i].value, expected[i].value);
    }
    shortcuts += levels == 1000000 && wanted < size && wanted <= 64;
  }
  EXPECT_GT(shortcuts, 100);
}

// bestOfRanks as well, which narrows the keys down by a histogram: ties at
// and below the boundary, infinities, signed zeros, not-a-number, and spreads
// so small that the histogram's scale would not be finite.
TEST(CElement, BestOfRanksLeadAsStdSort) {
  std::mt19937 generator(78);
  const float specials[] = {std::numeric_limits<float>::infinity(), -0.0f, 0.0f,
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min()};
  std::vector<CElement> list, expected, best, scratch;
  std::vector<float> ranks;
  std::vector<int> which;
  int narrowed = 0;
  for (int round = 0; round < 3000; ++round) {
    const int size = 1 + static_cast<int>(generator() % 300);
    const int levels = round % 3 == 0 ? 4 : (round % 3 == 1 ? 1000000 : 40);
    // Every few rounds all keys lie within a few of the smallest floats.
    const float unit = round % 11 == 0 ? std::numeric_limits<float>::denorm_min() : 0.25f;
    list.clear();
    ranks.clear();
    for (int i = 0; i < size; ++i) {
      CElement e;
      e.distance = static_cast<float>(generator() % levels) * unit;
      if (round % 7 == 0 && generator() % 50 == 0) e.distance = specials[generator() % (round % 14 == 0 ? 5 : 3)];
      e.value = static_cast<float>(i);
      e.x = i;
      list.push_back(e);
      ranks.push_back(e.distance);
    }
    expected = list;
    std::sort(expected.begin(), expected.end());
    const int wanted = round % 5 == 0 ? static_cast<int>(generator() % static_cast<unsigned>(size + 2))
                                      : 12 + static_cast<int>(generator() % 100);
    NLMeansCommon::bestOfRanks(
        wanted, ranks.data(), size, [&](int aIndex) { return list[static_cast<std::size_t>(aIndex)]; }, best, scratch,
        which);
    ASSERT_EQ(best.size(), static_cast<std::size_t>(std::min(wanted, size))) << "round " << round;
    for (std::size_t i = 0; i < best.size(); ++i)
      ASSERT_EQ(best[i].x, expected[i].x) << "round " << round << " entry " << i;
    narrowed += wanted < size && NLMeansCommon::narrowBest(ranks.data(), size, wanted + 1, which) ? 1 : 0;
  }
  EXPECT_GT(narrowed, 500);
}

// The few best (up to eleven, as the graph's five links) through
// fewSmallest: the same entries as std::sort puts first, with ties, signed
// zeros, infinities (also more of them than finite keys) and NaN.
TEST(CElement, FewBestOfRanksLeadAsStdSort) {
  std::mt19937 generator(79);
  const float specials[] = {std::numeric_limits<float>::infinity(), -0.0f, 0.0f,
                            std::numeric_limits<float>::quiet_NaN()};
  std::vector<CElement> list, expected, best, scratch;
  std::vector<float> ranks;
  std::vector<int> which;
  int shortcuts = 0;
  for (int round = 0; round < 4000; ++round) {
    const int size = 1 + static_cast<int>(generator() % 500);
    const int levels = round % 3 == 0 ? 6 : (round % 3 == 1 ? 1000000 : 60);
    list.clear();
    ranks.clear();
    for (int i = 0; i < size; ++i) {
      CElement e;
      e.distance = static_cast<float>(generator() % levels) * 0.25f;
      if (round % 5 == 0 && generator() % 8 == 0) e.distance = specials[generator() % (round % 10 == 0 ? 4 : 3)];
      e.x = i;
      list.push_back(e);
      ranks.push_back(e.distance);
    }
    expected = list;
    std::sort(expected.begin(), expected.end());
    const int wanted = 1 + static_cast<int>(generator() % 11);
    NLMeansCommon::bestOfRanks(
        wanted, ranks.data(), size, [&](int aIndex) { return list[static_cast<std::size_t>(aIndex)]; }, best, scratch,
        which);
    ASSERT_EQ(best.size(), static_cast<std::size_t>(std::min(wanted, size))) << "round " << round;
    for (std::size_t i = 0; i < best.size(); ++i)
      ASSERT_EQ(best[i].x, expected[i].x) << "round " << round << " entry " << i;
    shortcuts += NLMeansCommon::fewSmallest(ranks.data(), size, wanted + 1, which) ? 1 : 0;
  }
  EXPECT_GT(shortcuts, 1000);
}

TEST(SortingCriterion, BestOneIsThePixelItself) {
  CMatrix<float> input = TestSupport::noisyImage(12, 10, 31);
  CMatrix<float> result(input);
  ranker(2, 3).sortingCriterion(input, result, 1);
  for (int i = 0; i < input.size(); ++i) EXPECT_EQ(result.data()[i], input.data()[i]) << i;
  // With radius 0 the pixel is its own only candidate.
  CMatrix<float> alone(input);
  ranker(2, 0).sortingCriterion(input, alone, 1);
  for (int i = 0; i < input.size(); ++i) EXPECT_EQ(alone.data()[i], input.data()[i]) << i;
}

TEST(SortingCriterion, AllCandidatesGiveTheWindowMean) {
  const int R = 2;
  CMatrix<float> input = TestSupport::noisyImage(9, 8, 32);
  // (2R+1)^2 is the count of an interior pixel; pixels near the border have
  // fewer candidates and average all of theirs.
  for (int n : {(2 * R + 1) * (2 * R + 1), 1000}) {
    CMatrix<float> result(input);
    ranker(1, R).sortingCriterion(input, result, n);
    for (int y = 0; y < input.ySize(); ++y)
      for (int x = 0; x < input.xSize(); ++x)
        EXPECT_EQ(result(x, y), windowMean(input, x, y, R)) << x << "," << y << " n " << n;
  }
}

TEST(SortingCriterion, OutOfRangeArgumentsLeaveTheImage) {
  CMatrix<float> input = TestSupport::noisyImage(7, 6, 33);
  for (auto [n, radius] : {std::pair{0, 2}, {-4, 2}, {3, -1}, {3, INT_MIN}}) {
    CMatrix<float> result(input);
    ranker(1, radius).sortingCriterion(input, result, n);
    for (int i = 0; i < input.size(); ++i) EXPECT_EQ(result.data()[i], input.data()[i]) << i;
  }
}

TEST(SortingCriterion, RanksCandidateWithoutCommonPatchLast) {
  // 3 x 3 with patch radius 2: opposite corners share only the unweighted
  // centre. Measured on a constant image every other candidate has distance
  // 0, so the best 8 of the corner's 9 are all but the opposite corner.
  CMatrix<float> input(3, 3);
  for (int i = 0; i < 9; ++i) input.data()[i] = static_cast<float>(10 * i);
  CMatrix<float> result(3, 3);
  result.fill(50.0f);
  ranker(2, 2).sortingCriterion(input, result, 8);
  EXPECT_EQ(result(0, 0), (360.0f - input(2, 2)) / 8.0f);
  EXPECT_EQ(result(2, 2), (360.0f - input(0, 0)) / 8.0f);
  EXPECT_EQ(result(2, 0), (360.0f - input(0, 2)) / 8.0f);
}

}  // namespace

// The non-local graph and the two explicit filter steps over it.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "Exceptions.h"
#include "TestSupport.h"

namespace {

CNLMeans graphOf(CMatrix<float>& aImage, int aPatchRadius, int aSearchRadius, float aSigma = 20.0f) {
  CNLMeans nl;
  nl.patchRadius = aPatchRadius;
  nl.searchRadius = aSearchRadius;
  nl.filterFactor = 1.0f;
  nl.gilboaOsherBuildWeights(aImage, aSigma);
  return nl;
}

bool isDirectNeighbour(int aX, int aY, int aQx, int aQy) {
  return std::abs(aQx - aX) + std::abs(aQy - aY) == 1;
}

void expectSameImage(const CMatrix<float>& aActual, const CMatrix<float>& aExpected) {
  for (int i = 0; i < aExpected.size(); ++i) ASSERT_EQ(aActual.data()[i], aExpected.data()[i]) << i;
}

TEST(GilboaOsherGraph, ConstantImageLinksWeighOneAndStepsKeepIt) {
  CMatrix<float> image(8, 7);
  image.fill(90.0f);
  CNLMeans nl = graphOf(image, 2, 2);
  ASSERT_EQ(nl.weights.zSize(), 14);
  int inUse = 0;
  for (int i = 0; i < nl.weights.size(); ++i) {
    const float w = nl.weights.data()[i];
    EXPECT_TRUE(w == 0.0f || w == 1.0f) << i;
    inUse += w > 0.0f;
  }
  EXPECT_GT(inUse, 8 * 7 * 3);
  CMatrix<float> linear(image), tv(image);
  nl.gilboaOsherFilter(linear);
  nl.gilboaOsherFilterTV(tv);
  expectSameImage(linear, image);
  expectSameImage(tv, image);
}

TEST(GilboaOsherGraph, LayerLayoutAtTheCorner) {
  CMatrix<float> image = TestSupport::noisyImage(9, 8, 41);
  CNLMeans nl = graphOf(image, 2, 2);
  const int expected[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(nl.neighborX(0, 0, k), expected[k][0]) << k;
    EXPECT_EQ(nl.neighborY(0, 0, k), expected[k][1]) << k;
  }
  EXPECT_EQ(nl.weights(0, 0, 0), 0.0f);
  EXPECT_EQ(nl.weights(0, 0, 2), 0.0f);
  EXPECT_GT(nl.weights(0, 0, 1), 0.0f);
  EXPECT_GT(nl.weights(0, 0, 3), 0.0f);
  // The best match of a noisy patch is the pixel itself.
  EXPECT_EQ(nl.neighborX(4, 4, 4), 4);
  EXPECT_EQ(nl.neighborY(4, 4, 4), 4);
  EXPECT_EQ(nl.weights(4, 4, 4), 1.0f);
  // The far corner's right and lower neighbours lie outside: weight 0.
  EXPECT_EQ(nl.neighborX(8, 7, 1), 9);
  EXPECT_EQ(nl.weights(8, 7, 1), 0.0f);
  EXPECT_EQ(nl.neighborY(8, 7, 3), 8);
  EXPECT_EQ(nl.weights(8, 7, 3), 0.0f);
}

TEST(GilboaOsherGraph, BestMatchThatIsADirectNeighbourWeighsZero) {
  // Each row one distinct grey level: a pixel's patch equals those of its row
  // and differs from every other row's, so with radius 1 its three best
  // matches are itself and its left and right neighbours.
  CMatrix<float> image(10, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) image(x, y) = static_cast<float>(30 * y + 7);
  CNLMeans nl = graphOf(image, 1, 1);
  for (int y = 1; y < 7; ++y)
    for (int x = 1; x < 9; ++x) {
      int neighbours = 0;
      for (int layer = 4; layer < 7; ++layer) {
        const int qx = nl.neighborX(x, y, layer), qy = nl.neighborY(x, y, layer);
        ASSERT_EQ(qy, y);
        if (qx == x) {
          EXPECT_EQ(nl.weights(x, y, layer), 1.0f);
        } else {
          ASSERT_TRUE(isDirectNeighbour(x, y, qx, qy));
          EXPECT_EQ(nl.weights(x, y, layer), 0.0f);
          ++neighbours;
        }
      }
      EXPECT_EQ(neighbours, 2);
      EXPECT_EQ(nl.weights(x, y, 0), 1.0f);
      EXPECT_EQ(nl.weights(x, y, 1), 1.0f);
    }
}

TEST(GilboaOsherGraph, ReverseLinksTakeTheFirstFiveInVisitOrder) {
  CMatrix<float> image = TestSupport::noisyImage(11, 9, 42);
  CNLMeans nl = graphOf(image, 1, 3);
  const int X = 11, Y = 9;
  // Forward links of weight above 0, in the order of the second pass.
  std::vector<std::vector<std::pair<int, float>>> expected(X * Y);
  for (int y = 0; y < Y; ++y)
    for (int x = 0; x < X; ++x)
      for (int layer = 4; layer < 9; ++layer) {
        const float w = nl.weights(x, y, layer);
        if (w > 0.0f) expected[nl.neighborX(x, y, layer) + nl.neighborY(x, y, layer) * X].push_back({x + y * X, w});
      }
  int crowded = 0;
  for (int q = 0; q < X * Y; ++q) {
    crowded += expected[q].size() > 5;
    for (int i = 0; i < 5; ++i) {
      const float w = nl.weights(q % X, q / X, 9 + i);
      if (i < static_cast<int>(expected[q].size())) {
        EXPECT_EQ(w, expected[q][i].second);
        EXPECT_EQ(nl.neighborX(q % X, q / X, 9 + i) + nl.neighborY(q % X, q / X, 9 + i) * X, expected[q][i].first);
      } else {
        EXPECT_EQ(w, 0.0f);
      }
    }
  }
  EXPECT_GT(crowded, 0) << "no pixel tested the limit of five";
  // Each build counts the reverse layers afresh.
  CNLMeans again = nl;
  again.gilboaOsherBuildWeights(image, 20.0f);
  for (int i = 0; i < nl.weights.size(); ++i) ASSERT_EQ(again.weights.data()[i], nl.weights.data()[i]) << i;
}

TEST(GilboaOsherGraph, FewerThanFiveCandidatesFillFewerLayers) {
  CMatrix<float> image = TestSupport::noisyImage(6, 6, 43);
  CNLMeans nl = graphOf(image, 1, 1);
  // The corner's window holds 4 pixels: layers 4-7 hold them, 8 stays empty.
  std::vector<std::pair<int, int>> found;
  for (int layer = 4; layer < 8; ++layer) found.push_back({nl.neighborX(0, 0, layer), nl.neighborY(0, 0, layer)});
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}}));
  EXPECT_EQ(nl.weights(0, 0, 8), 0.0f);
  // Radius 0: only the pixel itself.
  CNLMeans self = graphOf(image, 1, 0);
  EXPECT_EQ(self.weights(3, 3, 4), 1.0f);
  for (int layer : {0, 1, 2, 3, 5, 6, 7, 8}) EXPECT_EQ(self.weights(3, 3, layer), 0.0f) << layer;
}

TEST(GilboaOsherGraph, PixelWithoutLinksKeepsItsValue) {
  // Patch radius 0 leaves no weighted offset: no distance is defined, so no
  // link is in use and a step must not divide 0 by 0. A negative search
  // radius leaves no candidate at all.
  CMatrix<float> image = TestSupport::noisyImage(6, 5, 44);
  CNLMeans nl = graphOf(image, 0, 2);
  for (int i = 0; i < nl.weights.size(); ++i) ASSERT_EQ(nl.weights.data()[i], 0.0f);
  CNLMeans none = graphOf(image, 2, INT_MIN);
  for (int i = 0; i < none.weights.size(); ++i) ASSERT_EQ(none.weights.data()[i], 0.0f);
  CMatrix<float> stepped(image);
  nl.gilboaOsherFilter(stepped);
  nl.gilboaOsherFilterTV(stepped);
  expectSameImage(stepped, image);
}

// One linear step written out: u + (1/N) sum w (u(q) - u(p)) from old values.
CMatrix<float> plainLinearStep(const CNLMeans& aGraph, const CMatrix<float>& aImage) {
  CMatrix<float> out(aImage);
  for (int y = 0; y < aImage.ySize(); ++y)
    for (int x = 0; x < aImage.xSize(); ++x) {
      float A = 0;
      int N = 0;
      for (int k = 0; k < 14; ++k) {
        const float w = aGraph.weights(x, y, k);
        if (w <= 0) continue;
        A = A + w * (aImage(aGraph.neighborX(x, y, k), aGraph.neighborY(x, y, k)) - aImage(x, y));
        ++N;
      }
      if (N > 0) out(x, y) = A / static_cast<float>(N) + aImage(x, y);
    }
  return out;
}

TEST(GilboaOsherFilter, StepsReadOldValuesAndRepeat) {
  CMatrix<float> image = TestSupport::noisyImage(12, 10, 45);
  CNLMeans nl = graphOf(image, 2, 3);
  CMatrix<float> once(image);
  nl.gilboaOsherFilter(once);
  expectSameImage(once, plainLinearStep(nl, image));
  CMatrix<float> twice(once);
  nl.gilboaOsherFilter(twice);
  // A second object with the same graph, stepping from the first result.
  CNLMeans fresh = graphOf(image, 2, 3);
  CMatrix<float> second(once);
  fresh.gilboaOsherFilter(second);
  expectSameImage(twice, second);
  expectSameImage(twice, plainLinearStep(nl, once));
}

TEST(GilboaOsherFilter, TotalVariationTermIsBounded) {
  // A hand-made graph of two pixels: each links to itself with weight 1 and
  // to the other with weight 0.5.
  CNLMeans nl;
  for (CTensor<int>* t : {&nl.neighborX, &nl.neighborY}) {
    t->setSize(2, 1, 14);
    t->fill(0);
  }
  nl.weights.setSize(2, 1, 14);
  nl.weights.fill(0.0f);
  for (int p = 0; p < 2; ++p) {
    nl.weights(p, 0, 4) = 1.0f;
    nl.neighborX(p, 0, 4) = p;
    nl.weights(p, 0, 9) = 0.5f;
    nl.neighborX(p, 0, 9) = 1 - p;
  }
  CMatrix<float> image(2, 1);
  image(0, 0) = 0.0f;
  image(1, 0) = 100.0f;
  CMatrix<float> tv(image);
  nl.gilboaOsherFilterTV(tv);
  // Far above sqrt(1e-5) a difference contributes about w * sign(d); the
  // self link contributes 0 but counts.
  EXPECT_NEAR(tv(0, 0), 0.25f, 1e-6f);
  EXPECT_NEAR(tv(1, 0), 99.75f, 1e-5f);
  CMatrix<float> linear(image);
  nl.gilboaOsherFilter(linear);
  EXPECT_EQ(linear(0, 0), 25.0f);
  EXPECT_EQ(linear(1, 0), 75.0f);
}

TEST(GilboaOsherFilter, StepBeforeBuildThrows) {
  CNLMeans nl;
  CMatrix<float> image = TestSupport::noisyImage(5, 4, 46);
  EXPECT_THROW(nl.gilboaOsherFilter(image), EIncompatibleMatrices);
  EXPECT_THROW(nl.gilboaOsherFilterTV(image), EIncompatibleMatrices);
}

TEST(GilboaOsherFilter, StepOnImageOfOtherSizeThrows) {
  CMatrix<float> image = TestSupport::noisyImage(6, 5, 47);
  CNLMeans nl = graphOf(image, 1, 2);
  CMatrix<float> wider = TestSupport::noisyImage(7, 5, 47);
  const CMatrix<float> before(wider);
  EXPECT_THROW(nl.gilboaOsherFilter(wider), EIncompatibleMatrices);
  EXPECT_THROW(nl.gilboaOsherFilterTV(wider), EIncompatibleMatrices);
  expectSameImage(wider, before);
}

}  // namespace

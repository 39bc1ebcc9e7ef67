// The windowed methods run on threads, with lane-parallel patch distances and
// a shortcut for the best-ranked candidates; none of it may change a bit of
// their output. Each is compared with its plain loop (PlainVariants) on
// images with borders, odd sizes, flat areas (ties of distances) and noise,
// and with 1 and 3 threads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "NLMeansKernels.h"
#include "PairedWindows.h"
#include "PlainVariants.h"
#include "Preselection.h"
#include "TestSupport.h"

namespace {

CNLMeans settings(int aPatchRadius, int aSearchRadius, float aFilterFactor = 0.5f) {
  CNLMeans nl;
  nl.patchRadius = aPatchRadius;
  nl.searchRadius = aSearchRadius;
  nl.filterFactor = aFilterFactor;
  return nl;
}

// Whole grey levels: flat blocks (many equal distances), a ramp, and noise.
CMatrix<float> scene(int aXSize, int aYSize, unsigned aSeed) {
  std::mt19937 generator(aSeed);
  std::uniform_int_distribution<int> noise(-25, 25);
  CMatrix<float> image(aXSize, aYSize);
  for (int y = 0; y < aYSize; ++y)
    for (int x = 0; x < aXSize; ++x) {
      int v = 30 + 4 * x + noise(generator);                              // noisy ramp
      if (x < aXSize / 3 && y < aYSize / 2) v = 60;                       // flat: exact ties
      if (x >= 2 * aXSize / 3) v = 100 + 5 * (y % 4) + noise(generator);  // texture with noise
      image(x, y) = static_cast<float>(std::min(255, std::max(0, v)));
    }
  return image;
}

struct CShape {
  int xSize, ySize;
};
// Odd sizes, images thinner than a patch or a window, one pixel.
const CShape kShapes[] = {{23, 17}, {9, 31}, {40, 6}, {3, 2}, {1, 1}, {5, 5}};

void expectSameBits(const CMatrix<float>& aActual, const CMatrix<float>& aExpected, const std::string& aWhat) {
  ASSERT_EQ(aActual.size(), aExpected.size()) << aWhat;
  ASSERT_EQ(std::memcmp(aActual.data(), aExpected.data(), sizeof(float) * aActual.size()), 0)
      << aWhat << ": first difference at "
      << std::mismatch(aActual.data(), aActual.data() + aActual.size(), aExpected.data()).first - aActual.data();
}

using TestSupport::CThreads;

// aRun(nl, input, output, plain) on scenes of each shape and each (patch,
// search) radius pair: the fast method with 1, 3 and 7 threads gives the
// bits of the plain loop.
template <typename Run>
void expectAsPlainWithThreads(std::initializer_list<CShape> aShapes,
                              std::initializer_list<std::pair<int, int>> aRadii, unsigned aSeed, Run aRun) {
  for (const CShape& shape : aShapes)
    for (auto [r, R] : aRadii) {
      CMatrix<float> input = scene(shape.xSize, shape.ySize, aSeed);
      CMatrix<float> plain(input);
      CNLMeans nl = settings(r, R);
      aRun(nl, input, plain, true);
      for (int threads : {1, 3, 7}) {
        CThreads environment(threads);
        CMatrix<float> fast(input);
        aRun(nl, input, fast, false);
        expectSameBits(fast, plain, std::to_string(threads) + " threads, " + std::to_string(shape.xSize) + "x" +
                                        std::to_string(shape.ySize) + " r" + std::to_string(r) + " R" +
                                        std::to_string(R));
      }
    }
}

// Runs every check with the AVX2 kernels (where the processor has them) and
// with the portable ones, and with 1 and with 3 threads.
template <typename Check>
void forEveryPath(Check aCheck) {
  for (bool portable : {false, true}) {
    NLMeansKernels::forcePortable(portable);
    for (int threads : {1, 3}) {
      CThreads environment(threads);
      aCheck(std::string(portable ? "portable" : "native") + ", " + std::to_string(threads) + " threads");
    }
  }
  NLMeansKernels::forcePortable(false);
}

TEST(FastVariants, StandardEqualsThePlainLoop) {
  forEveryPath([](const std::string& aPath) {
    for (const CShape& shape : kShapes)
      for (auto [r, R] : {std::pair{1, 2}, {2, 5}, {3, 10}, {2, 0}, {1, 100}}) {
        CMatrix<float> input = scene(shape.xSize, shape.ySize, 1);
        CMatrix<float> fast(input), plain(input);
        CNLMeans nl = settings(r, R);
        nl.standardNLMeans(input, fast, 20.0f);
        PlainVariants::standardNLMeans(nl, input, plain, 20.0f);
        expectSameBits(fast, plain, aPath + " standard " + std::to_string(shape.xSize) + "x" +
                                        std::to_string(shape.ySize) + " r" + std::to_string(r) + " R" +
                                        std::to_string(R));
      }
  });
}

TEST(FastVariants, StandardWeighsEachPairOnceAsThePlainLoop) {
  // Images wide enough for runs of eight along the rows, and tall enough for
  // several bands of rows with 1, 3 and 7 threads; the last lane group of
  // each row is partial.
  expectAsPlainWithThreads({{61, 47}, {70, 180}, {37, 90}}, {{3, 10}, {2, 5}, {1, 3}, {4, 1}, {2, 30}}, 11,
                           [](CNLMeans& aNl, CMatrix<float>& aInput, CMatrix<float>& aOut, bool aPlain) {
                             if (aPlain)
                               PlainVariants::standardNLMeans(aNl, aInput, aOut, 20.0f);
                             else
                               aNl.standardNLMeans(aInput, aOut, 20.0f);
                           });
}

TEST(FastVariants, PairedPlanOnlyWhereItsMemoryStaysSmall) {
  // A row of weights per forward offset: a radius of 50000 would need some
  // 10^15 bytes (and overflows int in the count of offsets); such windows,
  // and the empty one, take the pixel plan.
  EXPECT_FALSE(CPairedWindows::serves(100000, 3, 50000));
  EXPECT_FALSE(CPairedWindows::serves(3, 100000, 46341));
  EXPECT_FALSE(CPairedWindows::serves(512, 512, 0));
  EXPECT_EQ(CPairedWindows::serves(512, 512, 10), NLMeansKernels::usesAvx2());
}

TEST(FastVariants, StandardKeepsThePlainLoopsSpecialValues) {
  // Weights that are not numbers (a NaN or infinite grey level, or a kernel
  // of -infinity times a zero distance) and values that are not finite:
  // the pixels they reach must come out as in the plain loop, written or not.
  CMatrix<float> input = scene(53, 41, 12);
  input(20, 20) = std::numeric_limits<float>::quiet_NaN();
  input(40, 10) = std::numeric_limits<float>::infinity();
  input(5, 30) = -3.0e38f;
  for (float sigma : {20.0f, 1.0e-30f}) {
    CMatrix<float> fast(input), plain(input);
    CNLMeans nl = settings(2, 6);
    nl.standardNLMeans(input, fast, sigma);
    PlainVariants::standardNLMeans(nl, input, plain, sigma);
    expectSameBits(fast, plain, "special values, sigma " + std::to_string(sigma));
  }
}

TEST(FastVariants, PatchRadiusBeyondTheVectorKernelsLimit) {
  // Radii above 16 take the portable kernel even where AVX2 is available.
  CMatrix<float> input = scene(40, 38, 2);
  CMatrix<float> fast(input), plain(input);
  CNLMeans nl = settings(17, 3);
  nl.standardNLMeans(input, fast, 20.0f);
  PlainVariants::standardNLMeans(nl, input, plain, 20.0f);
  expectSameBits(fast, plain, "standard r17");
}

TEST(FastVariants, PreselectionEqualsThePlainLoop) {
  forEveryPath([](const std::string& aPath) {
    for (const CShape& shape : kShapes)
      for (auto [r, R] : {std::pair{1, 3}, {2, 5}, {3, 10}}) {
        CMatrix<float> input = scene(shape.xSize, shape.ySize, 3);
        CMatrix<float> fast(input), plain(input);
        CNLMeans nl = settings(r, R);
        nl.preselection(input, fast, 15.0f);
        PlainVariants::preselection(nl, input, plain, 15.0f);
        expectSameBits(fast, plain, aPath + " preselection r" + std::to_string(r) + " R" + std::to_string(R));
      }
  });
}

TEST(FastVariants, PreselectionWeighsEachPairOnceAsThePlainLoop) {
  // As for standard: runs along the rows, several bands, partial lane
  // groups; the test itself is not symmetric.
  expectAsPlainWithThreads({{61, 47}, {70, 150}}, {{3, 10}, {2, 5}, {1, 2}}, 13,
                           [](CNLMeans& aNl, CMatrix<float>& aInput, CMatrix<float>& aOut, bool aPlain) {
                             if (aPlain)
                               PlainVariants::preselection(aNl, aInput, aOut, 15.0f);
                             else
                               aNl.preselection(aInput, aOut, 15.0f);
                           });
}

TEST(FastVariants, PreselectionMeanBoundsInFloat) {
  // The float bounds decide as the comparison in double does, on and next
  // to each bound.
  const float low = NLMeansCommon::preselectionLowMean(), high = NLMeansCommon::preselectionHighMean();
  for (float around : {low, high}) {
    float r = around;
    for (int i = 0; i < 50; ++i) r = std::nextafter(r, 0.0f);
    for (int i = 0; i < 100; ++i, r = std::nextafter(r, 2.0f)) {
      EXPECT_EQ(r < low, static_cast<double>(r) < 0.95) << r;
      EXPECT_EQ(r > high, static_cast<double>(r) > 1.05) << r;
    }
  }
}

TEST(FastVariants, GriddingEqualsThePlainLoop) {
  forEveryPath([](const std::string& aPath) {
    for (const CShape& shape : kShapes)
      for (int a : {0, 1, 2, 4})
        for (auto [r, R] : {std::pair{1, 3}, {3, 10}, {2, 40}}) {
          // With a = 2 and 4 the last tiles' centres lie outside most of
          // these images.
          CMatrix<float> input = scene(shape.xSize, shape.ySize, 4);
          CMatrix<float> fast(input), plain(input);
          CNLMeans nl = settings(r, R);
          nl.gridding(input, fast, 20.0f, a);
          PlainVariants::gridding(nl, input, plain, 20.0f, a);
          expectSameBits(fast, plain, aPath + " gridding a" + std::to_string(a) + " r" + std::to_string(r) + " R" +
                                          std::to_string(R) + " " + std::to_string(shape.xSize) + "x" +
                                          std::to_string(shape.ySize));
        }
  });
}

TEST(FastVariants, SortingEqualsThePlainLoop) {
  forEveryPath([](const std::string& aPath) {
    for (const CShape& shape : kShapes)
      for (int best : {1, 2, 5, 20, 1000})
        for (auto [r, R] : {std::pair{1, 2}, {2, 4}, {3, 10}}) {
          CMatrix<float> input = scene(shape.xSize, shape.ySize, 5);
          CMatrix<float> fast(input), plain(input);
          CNLMeans nl = settings(r, R);
          nl.sortingCriterion(input, fast, best);
          PlainVariants::sortingCriterion(nl, input, plain, best);
          expectSameBits(fast, plain, aPath + " sorting n" + std::to_string(best) + " r" + std::to_string(r) +
                                          " R" + std::to_string(R));
        }
  });
}

TEST(FastVariants, SortingOfAPilotEstimate) {
  // Distances measured on a smoothed pilot, values averaged from the input.
  CMatrix<float> input = scene(31, 27, 6);
  CMatrix<float> pilot(input);
  settings(2, 3).standardNLMeans(input, pilot, 20.0f);
  CMatrix<float> fast(pilot), plain(pilot);
  CNLMeans nl = settings(2, 5);
  nl.sortingCriterion(input, fast, 9);
  PlainVariants::sortingCriterion(nl, input, plain, 9);
  expectSameBits(fast, plain, "sorting on a pilot");
}

void expectSameGraph(const CNLMeans& aActual, const CNLMeans& aExpected, const std::string& aWhat) {
  ASSERT_EQ(aActual.weights.size(), aExpected.weights.size()) << aWhat;
  ASSERT_EQ(std::memcmp(aActual.weights.data(), aExpected.weights.data(), sizeof(float) * aActual.weights.size()), 0)
      << aWhat;
  ASSERT_EQ(std::memcmp(aActual.neighborX.data(), aExpected.neighborX.data(), sizeof(int) * aActual.weights.size()),
            0)
      << aWhat;
  ASSERT_EQ(std::memcmp(aActual.neighborY.data(), aExpected.neighborY.data(), sizeof(int) * aActual.weights.size()),
            0)
      << aWhat;
}

TEST(FastVariants, GraphAndStepsEqualThePlainLoops) {
  forEveryPath([](const std::string& aPath) {
    for (const CShape& shape : kShapes)
      for (auto [r, R] : {std::pair{1, 2}, {2, 4}, {3, 10}}) {
        CMatrix<float> image = scene(shape.xSize, shape.ySize, 7);
        CNLMeans fast = settings(r, R, 1.0f), plain = settings(r, R, 1.0f);
        fast.gilboaOsherBuildWeights(image, 20.0f);
        PlainVariants::gilboaOsherBuildWeights(plain, image, 20.0f);
        const std::string what = aPath + " graph r" + std::to_string(r) + " R" + std::to_string(R);
        expectSameGraph(fast, plain, what);
        for (bool tv : {false, true}) {
          CMatrix<float> fastImage(image), plainImage(image);
          for (int step = 0; step < 3; ++step) {
            if (tv)
              fast.gilboaOsherFilterTV(fastImage);
            else
              fast.gilboaOsherFilter(fastImage);
            PlainVariants::gilboaOsherStep(plain, plainImage, tv);
          }
          expectSameBits(fastImage, plainImage, what + (tv ? " tv" : " linear"));
        }
      }
  });
}

// Sampling continues the process's rand() sequence, so the two versions are
// run in two children forked from the same state; each sends back its image
// and the next value of the sequence, which shows that both drew as often.
struct CSampled {
  std::vector<float> image;
  int nextRand = 0;
};

template <typename Run>
CSampled inChild(Run aRun) {
  int ends[2];
  if (::pipe(ends) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ends[0]);
    const CMatrix<float> result = aRun();
    const int next = std::rand();
    const int size = result.size();
    bool ok = ::write(ends[1], &size, sizeof size) == sizeof size;
    ok = ok && ::write(ends[1], &next, sizeof next) == sizeof next;
    const std::size_t bytes = sizeof(float) * size;
    ok = ok && ::write(ends[1], result.data(), bytes) == static_cast<ssize_t>(bytes);
    ::_exit(ok ? 0 : 1);
  }
  ::close(ends[1]);
  CSampled sampled;
  int size = 0;
  const auto readAll = [&](void* aTo, std::size_t aBytes) {
    char* to = static_cast<char*>(aTo);
    while (aBytes > 0) {
      const ssize_t n = ::read(ends[0], to, aBytes);
      if (n <= 0) return false;
      to += n;
      aBytes -= static_cast<std::size_t>(n);
    }
    return true;
  };
  if (readAll(&size, sizeof size) && readAll(&sampled.nextRand, sizeof sampled.nextRand)) {
    sampled.image.resize(static_cast<std::size_t>(size));
    if (!readAll(sampled.image.data(), sizeof(float) * sampled.image.size())) sampled.image.clear();
  }
  ::close(ends[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return sampled;
}

TEST(FastVariants, SortingAndGraphMeasureEachPairOnceAsThePlainLoops) {
  // Images wide enough for runs along the rows, several bands of rows, and
  // the last lane group of each row partial.
  const CShape shapes[] = {{61, 47}, {70, 150}};
  for (const CShape& shape : shapes)
    for (auto [r, R] : {std::pair{3, 10}, {2, 5}, {1, 2}}) {
      CMatrix<float> input = scene(shape.xSize, shape.ySize, 17);
      const std::string what =
          std::to_string(shape.xSize) + "x" + std::to_string(shape.ySize) + " r" + std::to_string(r) + " R" +
          std::to_string(R);
      CMatrix<float> plainSorted(input);
      CNLMeans nl = settings(r, R);
      PlainVariants::sortingCriterion(nl, input, plainSorted, 20);
      CNLMeans plainGraph = settings(r, R, 1.0f);
      PlainVariants::gilboaOsherBuildWeights(plainGraph, input, 20.0f);
      for (int threads : {1, 3, 7}) {
        CThreads environment(threads);
        CMatrix<float> sorted(input);
        nl.sortingCriterion(input, sorted, 20);
        expectSameBits(sorted, plainSorted, std::to_string(threads) + " threads, sorting " + what);
        CNLMeans graph = settings(r, R, 1.0f);
        graph.gilboaOsherBuildWeights(input, 20.0f);
        expectSameGraph(graph, plainGraph, std::to_string(threads) + " threads, graph " + what);
      }
    }
}

TEST(FastVariants, SamplingDrawsAndWeighsAsThePlainLoop) {
  for (const CShape& shape : kShapes)
    for (auto [r, R, drawn] : {std::tuple{1, 3, 5}, {2, 5, 30}, {3, 10, 100}, {2, 2, 15}}) {
      // A plain copy: C++17 lambdas cannot capture a structured binding.
      const int count = drawn;
      const CMatrix<float> input = scene(shape.xSize, shape.ySize, 8);
      const CNLMeans nl = settings(r, R);
      const CSampled plain = inChild([&] {
        CMatrix<float> result(input);
        PlainVariants::sampling(nl, input, result, 20.0f, count);
        return result;
      });
      ASSERT_EQ(plain.image.size(), static_cast<std::size_t>(input.size()));
      for (int threads : {1, 3}) {
        const CSampled fast = inChild([&] {
          CThreads environment(threads);
          CMatrix<float> in(input), result(input);
          CNLMeans method = nl;
          method.sampling(in, result, 20.0f, count);
          return result;
        });
        const std::string what = std::to_string(shape.xSize) + "x" + std::to_string(shape.ySize) + " R" +
                                 std::to_string(R) + " count " + std::to_string(count) + ", " +
                                 std::to_string(threads) + " threads";
        ASSERT_EQ(fast.image.size(), plain.image.size()) << what;
        EXPECT_EQ(std::memcmp(fast.image.data(), plain.image.data(), sizeof(float) * plain.image.size()), 0) << what;
        EXPECT_EQ(fast.nextRand, plain.nextRand) << what;
      }
    }
}

// Runs of sampling longer than one batch of draws: the draws of the next run
// overlap the weighing of the current one.
TEST(FastVariants, SamplingOverManyRuns) {
  const CMatrix<float> input = scene(80, 80, 9);
  const CNLMeans nl = settings(1, 10);
  const int count = 100;  // 6400 pixels x 100 candidates: three runs of 2^18
  const CSampled plain = inChild([&] {
    CMatrix<float> result(input);
    PlainVariants::sampling(nl, input, result, 20.0f, count);
    return result;
  });
  const CSampled fast = inChild([&] {
    CThreads environment(3);
    CMatrix<float> in(input), result(input);
    CNLMeans method = nl;
    method.sampling(in, result, 20.0f, count);
    return result;
  });
  ASSERT_EQ(fast.image.size(), plain.image.size());
  EXPECT_EQ(std::memcmp(fast.image.data(), plain.image.data(), sizeof(float) * plain.image.size()), 0);
  EXPECT_EQ(fast.nextRand, plain.nextRand);
}

// Draws are made ahead only as far as the pixels still to come are sure to
// take them. Pixels that ask for more candidates than their window holds give
// up after 5 x count failures, so they take many more draws than the
// least, and the amount drawn ahead is held by that bound. A search radius
// far beyond the image leaves each pixel's marks over the whole image; they
// must be gone before the next pixel draws.
TEST(FastVariants, SamplingDrawsAheadNoFurtherThanThePlainLoop) {
  struct CCase {
    int xSize, ySize, r, R, count;
  };
  // One row with R = 2 holds 3 positions, so every pixel gives up, after 501
  // draws; 100 candidates make runs of 2621 pixels, and the last run's 10
  // take far fewer draws than the run before would suggest.
  for (const CCase& c : {CCase{2 * 2621 + 10, 1, 1, 2, 100}, CCase{30, 20, 1, 50, 40}, CCase{64, 48, 2, 6, 90}}) {
    const CMatrix<float> input = scene(c.xSize, c.ySize, 11);
    const CNLMeans nl = settings(c.r, c.R);
    const CSampled plain = inChild([&] {
      CMatrix<float> result(input);
      PlainVariants::sampling(nl, input, result, 20.0f, c.count);
      return result;
    });
    ASSERT_EQ(plain.image.size(), static_cast<std::size_t>(input.size()));
    for (int threads : {1, 2, 3}) {
      const CSampled fast = inChild([&] {
        CThreads environment(threads);
        CMatrix<float> in(input), result(input);
        CNLMeans method = nl;
        method.sampling(in, result, 20.0f, c.count);
        return result;
      });
      const std::string what = std::to_string(c.xSize) + "x" + std::to_string(c.ySize) + " R" + std::to_string(c.R) +
                               " count " + std::to_string(c.count) + ", " + std::to_string(threads) + " threads";
      ASSERT_EQ(fast.image.size(), plain.image.size()) << what;
      EXPECT_EQ(std::memcmp(fast.image.data(), plain.image.data(), sizeof(float) * plain.image.size()), 0) << what;
      EXPECT_EQ(fast.nextRand, plain.nextRand) << what;
    }
  }
}

}  // namespace

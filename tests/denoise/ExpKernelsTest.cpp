// The batched exponentials against the C library's expf, bit for bit: on the
// arguments the weights meet, on those the vector path must hand to expf
// (overflow, underflow, infinities, NaN), and in groups of every length.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "ExpKernels.h"

namespace {

bool sameBits(float aA, float aB) { return std::memcmp(&aA, &aB, sizeof aA) == 0; }

// Arguments of every kind, shuffled so that unusual ones fall into groups of
// ordinary ones.
std::vector<float> mixedArguments() {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> arguments = {0.0f,       -0.0f,   -1e-30f, -1.0f,    1.0f,      -80.0f,     -87.0f,
                                  -87.5f,     -100.0f, -103.9f, -103.98f, -104.0f,   -200.0f,    88.7f,
                                  88.8f,      -inf,    inf,     std::nanf(""), -std::numeric_limits<float>::max(),
                                  std::numeric_limits<float>::denorm_min(), 79.9f, -79.9f, 80.1f, -80.1f};
  std::mt19937 random(7);
  std::uniform_real_distribution<float> weightArgument(-30.0f, 0.0f), wide(-110.0f, 90.0f);
  for (int i = 0; i < 400; ++i) arguments.push_back(i % 3 == 0 ? wide(random) : weightArgument(random));
  std::shuffle(arguments.begin(), arguments.end(), random);
  return arguments;
}

class ExpPaths : public testing::TestWithParam<bool> {
protected:
  void SetUp() override { NExpKernels::forceScalar(GetParam()); }
  void TearDown() override { NExpKernels::forceScalar(false); }
};

TEST_P(ExpPaths, ExpAllIsExpfForEveryLengthAndStart) {
  const std::vector<float> arguments = mixedArguments();
  std::vector<float> out(arguments.size());
  for (int start : {0, 1, 5}) {
    for (int count = 0; count <= 40; ++count) {
      std::fill(out.begin(), out.end(), -1.0f);
      NExpKernels::expAll(arguments.data() + start, out.data() + start, count);
      for (int i = 0; i < static_cast<int>(out.size()); ++i) {
        const bool inside = i >= start && i < start + count;
        // Lanes past the count are neither read as arguments nor written.
        const float expected = inside ? std::exp(arguments[i]) : -1.0f;
        ASSERT_TRUE(sameBits(out[i], expected)) << "argument " << arguments[i] << " count " << count;
      }
    }
  }
  // The whole list, in place.
  std::vector<float> inPlace = arguments;
  NExpKernels::expAll(inPlace.data(), inPlace.data(), static_cast<int>(inPlace.size()));
  for (std::size_t i = 0; i < arguments.size(); ++i)
    ASSERT_TRUE(sameBits(inPlace[i], std::exp(arguments[i]))) << "argument " << arguments[i];
}

TEST_P(ExpPaths, WeighAllIsTheWeightOfEachSum) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> sum(0.0f, 60000.0f);
  std::vector<float> sums(300);
  for (float& s : sums) s = sum(random);
  sums[3] = std::numeric_limits<float>::infinity();  // a sum that overflowed
  sums[17] = 0.0f;
  for (float kernel : {-0.00077f, -0.02f, -1.5f}) {
    const float weightSum = 81.0f;
    for (int count : {0, 1, 7, 8, 9, 300}) {
      std::vector<float> out(sums.size(), -1.0f);
      NExpKernels::weighAll(sums.data(), weightSum, kernel, out.data(), count);
      for (int i = 0; i < static_cast<int>(sums.size()); ++i) {
        const float expected = i < count ? std::exp(kernel * (sums[i] / weightSum)) : -1.0f;
        ASSERT_TRUE(sameBits(out[i], expected)) << "sum " << sums[i] << " kernel " << kernel;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ExpPaths, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& aInfo) { return aInfo.param ? "Scalar" : "Vector"; });

// About a million arguments spread evenly over all floats (tools/expcheck
// runs every one); only those the vector path takes count.
TEST(ExpKernels, VectorPathAgreesWithTheLibraryOverItsWholeRange) {
  EXPECT_EQ(NExpKernels::compareWithLibrary(12345, 4099, (1LL << 32) / 4099), 0);
}

// The C library of this system computes expf in the steps the vector path
// repeats since version 2.28; there the vector path must be in use, or the
// first-use check has gone wrong.
TEST(ExpKernels, VectorPathInUseWhereTheProcessorAndLibraryAllow) {
#if defined(__x86_64__) && defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) GTEST_SKIP() << "no AVX2 and FMA";
  EXPECT_TRUE(NExpKernels::usesVector());
#else
  GTEST_SKIP() << "not glibc 2.28 or later on x86-64";
#endif
}

}  // namespace

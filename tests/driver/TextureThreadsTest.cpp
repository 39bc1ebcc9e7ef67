// The output must not depend on the number of threads.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

TEST(TextureThreads, OutputIsTheSameForAnyThreadCount) {
  TestSupport::CTempDir dir;
  // Large enough for the first tree nodes to be shared between threads.
  const int X = 240, Y = 200;
  const CMatrix<float> image = TestSupport::noisyImage(X, Y, 31, 120.0f, 35.0f);
  const std::vector<unsigned char> pixels(image.data(), image.data() + image.size());
  const std::string input = dir.file("noisy.pgm");
  TestSupport::writeBytes(input, TestSupport::pgmBytes(X, Y, pixels));
  for (const char* window : {"", "15"}) {
    std::string first;
    for (const char* threads : {"1", "2", "7"}) {
      std::vector<std::string> command{TestSupport::binaryPath("texture"), input, "20"};
      if (*window) command.push_back(window);
      const TestSupport::CRun run = TestSupport::run(command, {std::string("OMP_NUM_THREADS=") + threads});
      ASSERT_EQ(run.status, 0) << run.err;
      const std::string output = TestSupport::readBytes(dir.file("noisyResult.pgm"));
      if (first.empty())
        first = output;
      else
        EXPECT_TRUE(output == first) << threads << " threads, window '" << window << "'";
    }
  }
}

}  // namespace

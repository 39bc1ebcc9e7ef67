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
    // Idle threads watch for work or sleep at once (passive): same bytes.
    for (const char* threads : {"1", "2", "7", "2 passive"}) {
      std::vector<std::string> command{TestSupport::binaryPath("texture"), input, "20"};
      if (*window) command.push_back(window);
      const std::string count(threads, threads + 1);
      std::vector<std::string> environment{"OMP_NUM_THREADS=" + count};
      if (std::string(threads).find("passive") != std::string::npos) environment.push_back("OMP_WAIT_POLICY=PASSIVE");
      const TestSupport::CRun run = TestSupport::run(command, environment);
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

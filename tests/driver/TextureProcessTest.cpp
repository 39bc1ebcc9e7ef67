// The texture program run as a real process: arguments, exit statuses,
// messages and the files it leaves.
#include <regex>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

TestSupport::CRun texture(const std::vector<std::string>& aArguments) {
  std::vector<std::string> command{TestSupport::binaryPath("texture")};
  command.insert(command.end(), aArguments.begin(), aArguments.end());
  return TestSupport::run(command);
}

std::string smallImage(const CTempDir& aDir, const std::string& aName, int aXSize = 24, int aYSize = 20) {
  const CMatrix<float> image = TestSupport::noisyImage(aXSize, aYSize, 7);
  std::vector<unsigned char> pixels(image.data(), image.data() + image.size());
  const std::string path = aDir.file(aName);
  TestSupport::writeBytes(path, TestSupport::pgmBytes(aXSize, aYSize, pixels));
  return path;
}

TEST(TextureProcess, UsageAndHelp) {
  const auto none = texture({});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("usage: texture INPUT.pgm SIGMA [WINDOW]"), std::string::npos);
  EXPECT_TRUE(none.out.empty());
  EXPECT_EQ(texture({"only-one.pgm"}).status, 2);
  const auto help = texture({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: texture"), std::string::npos);
  EXPECT_TRUE(help.err.empty());
  EXPECT_EQ(texture({"-h"}).status, 0);
  // Every argument, the threads setting and the exit statuses are described.
  for (const char* topic : {"INPUT.pgm", "SIGMA", "WINDOW", "global mode", "local mode", "OMP_NUM_THREADS",
                            "--version", "Exit status: 0", "1 the input", "2 bad arguments", "Result.pgm"})
    EXPECT_NE(help.out.find(topic), std::string::npos) << topic;
}

TEST(TextureProcess, VersionAlone) {
  const auto version = texture({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("texture \\(texture\\) [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_TRUE(version.err.empty());
  // With a sigma, "--version" is an input path like any other.
  CTempDir dir;
  const auto run = texture({dir.file("--version"), "20"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty());
}

TEST(TextureProcess, DenoisesAndReportsTheTime) {
  CTempDir dir;
  const std::string input = smallImage(dir, "photo.noisy.pgm");
  const auto run = texture({input, "20"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_TRUE(std::regex_match(run.out, std::regex("Finished\\. This took [0-9.e+-]+sec\n"))) << run.out;
  ASSERT_TRUE(TestSupport::exists(dir.file("photo.noisyResult.pgm")));
  EXPECT_EQ(TestSupport::readBytes(dir.file("photo.noisyResult.pgm")).substr(0, 13), "P5\n24 20\n255\n");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"photo.noisy.pgm", "photo.noisyResult.pgm"}));
}

TEST(TextureProcess, ExtraArgumentsAreIgnored) {
  CTempDir dir;
  const std::string input = smallImage(dir, "img.pgm");
  EXPECT_EQ(texture({input, "20", "7", "extra", "more"}).status, 0);
  EXPECT_TRUE(TestSupport::exists(dir.file("imgResult.pgm")));
}

// Bad files, unwritable targets and unusable arguments: HostileInputTest.cpp.

}  // namespace

#include <new>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "CommandLine.h"
#include "Exceptions.h"

namespace {

TEST(CommandLine, SearchRadiusFromWindow) {
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("21"), 11);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("20"), 11);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("3"), 2);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("1"), 1);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("0"), 1);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("abc"), 1);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("-5"), -1);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("21px"), 11);
  EXPECT_EQ(CommandLine::searchRadiusFromWindow("100000"), 50001);
}

TEST(CommandLine, ModeChoice) {
  EXPECT_FALSE(CommandLine::useLocalMode(false, 1, 1000, 1000));
  EXPECT_TRUE(CommandLine::useLocalMode(true, 14, 40, 30));
  EXPECT_FALSE(CommandLine::useLocalMode(true, 15, 40, 30));
  EXPECT_FALSE(CommandLine::useLocalMode(true, 20, 40, 100));
  EXPECT_TRUE(CommandLine::useLocalMode(true, 11, 512, 512));
  EXPECT_TRUE(CommandLine::useLocalMode(true, -1, 3, 3));
  EXPECT_FALSE(CommandLine::useLocalMode(true, 0, 1, 1));
}

TEST(CommandLine, OutputNameCutsTheExtensionOfTheFileNameOnly) {
  EXPECT_EQ(CommandLine::outputName("photo.pgm"), "photoResult.pgm");
  EXPECT_EQ(CommandLine::outputName("images/photo.pgm"), "images/photoResult.pgm");
  EXPECT_EQ(CommandLine::outputName("photo.noisy.pgm"), "photo.noisyResult.pgm");
  EXPECT_EQ(CommandLine::outputName("./img.pgm"), "./imgResult.pgm");
  EXPECT_EQ(CommandLine::outputName("a.dir/img"), "a.dir/imgResult.pgm");
  EXPECT_EQ(CommandLine::outputName("a.b/c"), "a.b/cResult.pgm");
  EXPECT_EQ(CommandLine::outputName("../img"), "../imgResult.pgm");
  EXPECT_EQ(CommandLine::outputName("img"), "imgResult.pgm");
}

TEST(CommandLine, SigmaKeepsLeadingNumberAndRefusesUnusableValues) {
  float sigma = 0.0f;
  std::string error;
  EXPECT_TRUE(CommandLine::parseSigma("20", sigma, error));
  EXPECT_EQ(sigma, 20.0f);
  EXPECT_TRUE(CommandLine::parseSigma("12.5abc", sigma, error));
  EXPECT_EQ(sigma, 12.5f);
  EXPECT_TRUE(CommandLine::parseSigma("-7", sigma, error));
  EXPECT_EQ(sigma, -7.0f);
  EXPECT_TRUE(CommandLine::parseSigma("1e-10", sigma, error));
  for (const char* bad : {"abc", "", "0", "-0", "0.0", "nan", "inf", "-inf", "1e-30", "1e40"}) {
    error.clear();
    EXPECT_FALSE(CommandLine::parseSigma(bad, sigma, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(CommandLine, TimeLineInSeconds) {
  std::ostringstream line;
  line << "Finished. This took " << CommandLine::elapsedSeconds(1000, 2501000) << "sec";
  EXPECT_EQ(line.str(), "Finished. This took 2.5sec");
  std::ostringstream longer;
  longer << CommandLine::elapsedSeconds(0, 12500000);
  EXPECT_EQ(longer.str(), "12.5");
  EXPECT_EQ(CommandLine::timeLine(1000, 2501000), "Finished. This took 2.5sec");
}

TEST(CommandLine, FailuresEndWithStatusOne) {
  EXPECT_EQ(CommandLine::runReportingFailures("prog", [] { return 0; }), 0);
  EXPECT_EQ(CommandLine::runReportingFailures("prog", [] { return 2; }), 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(CommandLine::runReportingFailures("prog", []() -> int { throw EFileError("Cannot write x: full"); }), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot write x: full\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(CommandLine::runReportingFailures("prog", []() -> int { throw std::bad_alloc(); }), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: out of memory\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(CommandLine::runReportingFailures("prog", []() -> int { throw std::runtime_error("odd"); }), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: odd\n");
}

}  // namespace

// The nlmeans program run as a real process: every method on a small noisy
// image, its defaults, its refusals and its failures.
#include <algorithm>
#include <cmath>
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

const char* const kMethods[] = {"tree-global", "tree-local", "standard", "preselection",
                                "gridding",    "sampling",   "sorting",  "graph"};

TestSupport::CRun nlmeans(const std::vector<std::string>& aArguments) {
  std::vector<std::string> command{TestSupport::binaryPath("nlmeans")};
  command.insert(command.end(), aArguments.begin(), aArguments.end());
  return TestSupport::run(command);
}

// A 64 x 48 scene of flat shapes and a ramp, and the same with Gaussian
// noise of standard deviation 20 (rounded and clamped like an 8-bit file).
struct CScene {
  std::vector<unsigned char> clean, noisy;
  static constexpr int kXSize = 64, kYSize = 48;
  CScene() {
    std::mt19937 generator(2024);
    std::normal_distribution<double> noise(0.0, 20.0);
    for (int y = 0; y < kYSize; ++y)
      for (int x = 0; x < kXSize; ++x) {
        int v = 40 + 2 * x;
        if ((x - 20) * (x - 20) + (y - 20) * (y - 20) < 12 * 12) v = 210;
        if (x > 36 && x < 58 && y > 24 && y < 42) v = 90;
        clean.push_back(static_cast<unsigned char>(v));
        const double n = std::round(v + noise(generator));
        noisy.push_back(static_cast<unsigned char>(std::min(255.0, std::max(0.0, n))));
      }
  }
  std::string write(const CTempDir& aDir, const std::string& aName) const {
    const std::string path = aDir.file(aName);
    TestSupport::writeBytes(path, TestSupport::pgmBytes(kXSize, kYSize, noisy));
    return path;
  }
};

// Peak signal-to-noise ratio in dB of the raster of a PGM file written by the
// program (header "P5\nX Y\n255\n") against the clean scene.
double psnr(const std::string& aPgm, const std::vector<unsigned char>& aClean) {
  const std::string header = "P5\n64 48\n255\n";
  EXPECT_EQ(aPgm.substr(0, header.size()), header);
  EXPECT_EQ(aPgm.size(), header.size() + aClean.size());
  if (aPgm.size() != header.size() + aClean.size()) return 0.0;
  double squares = 0.0;
  for (std::size_t i = 0; i < aClean.size(); ++i) {
    const double d = static_cast<unsigned char>(aPgm[header.size() + i]) - static_cast<double>(aClean[i]);
    squares += d * d;
  }
  return 10.0 * std::log10(255.0 * 255.0 / (squares / static_cast<double>(aClean.size())));
}

TEST(NLMeansProcess, EveryMethodRaisesThePsnr) {
  CTempDir dir;
  const CScene scene;
  const std::string input = scene.write(dir, "noisy.pgm");
  const double noisyPsnr = psnr(TestSupport::readBytes(input), scene.clean);
  for (const char* method : kMethods) {
    const std::string output = dir.file(std::string(method) + ".pgm");
    const auto run = nlmeans({method, input, output, "--sigma", "20"});
    EXPECT_EQ(run.status, 0) << method << ": " << run.err;
    EXPECT_TRUE(run.err.empty()) << method << ": " << run.err;
    EXPECT_TRUE(std::regex_match(run.out, std::regex("Finished\\. This took [0-9.e+-]+sec\n"))) << run.out;
    ASSERT_TRUE(TestSupport::exists(output)) << method;
    EXPECT_GT(psnr(TestSupport::readBytes(output), scene.clean), noisyPsnr + 1.0) << method;
  }
}

// The defaults that --help names are the ones in use.
TEST(NLMeansProcess, DefaultsAreTheDocumentedOnes) {
  CTempDir dir;
  const CScene scene;
  const std::string input = scene.write(dir, "noisy.pgm");
  const auto sameOutput = [&](const std::vector<std::string>& aShort, const std::vector<std::string>& aExplicit) {
    std::vector<std::string> first{aShort[0], input, dir.file("a.pgm"), "--sigma", "20"};
    std::vector<std::string> second{aShort[0], input, dir.file("b.pgm"), "--sigma", "20"};
    first.insert(first.end(), aShort.begin() + 1, aShort.end());
    second.insert(second.end(), aExplicit.begin(), aExplicit.end());
    ASSERT_EQ(nlmeans(first).status, 0);
    ASSERT_EQ(nlmeans(second).status, 0);
    EXPECT_EQ(TestSupport::readBytes(dir.file("a.pgm")), TestSupport::readBytes(dir.file("b.pgm"))) << aShort[0];
  };
  sameOutput({"tree-global"}, {"--patch-radius", "4", "--overlap", "0"});
  sameOutput({"tree-local"}, {"--patch-radius", "4", "--search-radius", "10", "--overlap", "0"});
  sameOutput({"standard"}, {"--patch-radius", "3", "--search-radius", "10", "--filter-factor", "0.5"});
  sameOutput({"preselection"}, {"--patch-radius", "3", "--search-radius", "10", "--filter-factor", "0.5"});
  sameOutput({"gridding"}, {"--patch-radius", "3", "--search-radius", "10", "--filter-factor", "0.5", "--grid", "1"});
  sameOutput({"sampling"}, {"--patch-radius", "3", "--search-radius", "10", "--filter-factor", "0.5", "--samples",
                            "100"});
  sameOutput({"sampling", "--search-radius", "2"}, {"--search-radius", "2", "--samples", "15"});
  sameOutput({"sorting"}, {"--patch-radius", "3", "--search-radius", "10", "--best", "20"});
  sameOutput({"graph"}, {"--patch-radius", "3", "--search-radius", "10", "--filter-factor", "1", "--steps", "6",
                         "--step-kind", "linear"});
  sameOutput({"graph", "--step-kind", "tv"}, {"--step-kind", "tv", "--steps", "100"});
  // Options a method does not read change nothing.
  sameOutput({"standard"}, {"--grid", "3", "--samples", "7", "--best", "2", "--steps", "9", "--overlap", "1"});

  // And they do take effect where they are read.
  ASSERT_EQ(nlmeans({"standard", input, dir.file("a.pgm"), "--sigma", "20"}).status, 0);
  ASSERT_EQ(nlmeans({"standard", input, dir.file("b.pgm"), "--sigma", "20", "--filter-factor", "0.8"}).status, 0);
  EXPECT_NE(TestSupport::readBytes(dir.file("a.pgm")), TestSupport::readBytes(dir.file("b.pgm")));
}

TEST(NLMeansProcess, HelpVersionAndUsage) {
  const auto help = nlmeans({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: nlmeans METHOD INPUT.pgm OUTPUT.pgm --sigma S [options]\n", 0), 0u);
  for (const char* method : kMethods) EXPECT_NE(help.out.find(method), std::string::npos) << method;
  EXPECT_TRUE(help.err.empty());
  EXPECT_EQ(nlmeans({"standard", "in.pgm", "-h"}).status, 0);

  const auto version = nlmeans({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("nlmeans \\(texture\\) [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  const auto none = nlmeans({});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.err, help.out);
  EXPECT_TRUE(none.out.empty());
}

TEST(NLMeansProcess, BadArgumentsAreRefusedWithStatusTwo) {
  CTempDir dir;
  const CScene scene;
  const std::string input = scene.write(dir, "noisy.pgm");
  const std::string output = dir.file("out.pgm");
  struct CCase {
    std::vector<std::string> arguments;
    const char* message;
  };
  const std::vector<CCase> cases = {
      {{"median", input, output, "--sigma", "20"}, "unknown method 'median'"},
      {{"standard", input, output}, "--sigma is required"},
      {{"standard", input, output, "--sigma"}, "--sigma needs a value"},
      {{"standard", input, output, "--sigma", "abc"}, "sigma 'abc' is not a number"},
      {{"standard", input, output, "--sigma", "0"}, "sigma must not be 0"},
      {{"standard", input, output, "--sigma", "inf"}, "not a finite"},
      {{"standard", input, output, "--sigma", "1e-30"}, "too small"},
      {{"standard", input, output, "--sigma", "20", "--radius", "3"}, "unknown option '--radius'"},
      {{"standard", input, output, "--sigma", "20", "-x"}, "unknown option '-x'"},
      {{"standard", input, "--sigma", "20"}, "expected METHOD INPUT.pgm OUTPUT.pgm"},
      {{"standard", input, output, "extra", "--sigma", "20"}, "unexpected argument 'extra'"},
      {{"standard", input, output, "--sigma", "20", "--patch-radius", "0"}, "--patch-radius 0 is out of range (1..20)"},
      {{"standard", input, output, "--sigma", "20", "--patch-radius", "21"}, "out of range"},
      {{"standard", input, output, "--sigma", "20", "--patch-radius", "3.5"}, "'3.5' is not a whole number"},
      {{"standard", input, output, "--sigma", "20", "--patch-radius", ""}, "'' is not a whole number"},
      {{"standard", input, output, "--sigma", "20", "--search-radius", "-1"}, "out of range (0..1000)"},
      {{"standard", input, output, "--sigma", "20", "--search-radius", "99999999999999999999"}, "out of range"},
      {{"sampling", input, output, "--sigma", "20", "--search-radius", "0"}, "sampling needs --search-radius 1"},
      {{"graph", input, output, "--sigma", "20", "--search-radius", "1"}, "graph needs --search-radius 2"},
      {{"standard", input, output, "--sigma", "20", "--filter-factor", "0"}, "must be above 0"},
      {{"standard", input, output, "--sigma", "20", "--filter-factor", "-1"}, "must be above 0"},
      {{"standard", input, output, "--sigma", "20", "--filter-factor", "nan"}, "not a finite"},
      {{"standard", input, output, "--sigma", "20", "--filter-factor", "1e-30"}, "kernel width of 0"},
      {{"gridding", input, output, "--sigma", "20", "--grid", "101"}, "out of range (0..100)"},
      {{"sampling", input, output, "--sigma", "20", "--search-radius", "2", "--samples", "16"}, "(1..15)"},
      {{"sampling", input, output, "--sigma", "20", "--samples", "0"}, "out of range"},
      {{"sorting", input, output, "--sigma", "20", "--best", "0"}, "out of range"},
      {{"graph", input, output, "--sigma", "20", "--steps", "100001"}, "(0..100000)"},
      {{"graph", input, output, "--sigma", "20", "--step-kind", "cubic"}, "'cubic' is not linear or tv"},
      {{"tree-global", input, output, "--sigma", "20", "--overlap", "-0.5"}, "must not be negative"},
      {{"tree-global", input, output, "--sigma", "20", "--overlap", "1e39"}, "not a finite"},
  };
  for (const CCase& c : cases) {
    const auto run = nlmeans(c.arguments);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_EQ(run.err.rfind("nlmeans: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.message << " / " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"noisy.pgm"});
}

TEST(NLMeansProcess, FailuresEndWithStatusOneAndLeaveNothing) {
  CTempDir dir;
  const CScene scene;
  const std::string input = scene.write(dir, "noisy.pgm");

  const std::string missingFolder = dir.file("no/such/out.pgm");
  const auto unwritable = nlmeans({"gridding", input, missingFolder, "--sigma", "20"});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(unwritable.err, "Cannot write " + missingFolder + ": No such file or directory\n");
  EXPECT_TRUE(unwritable.out.empty());

  const auto full = nlmeans({"gridding", input, "/dev/full", "--sigma", "20"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "Cannot write /dev/full: No space left on device\n");
  EXPECT_TRUE(full.out.empty());

  const auto missing = nlmeans({"standard", dir.file("missing.pgm"), dir.file("out.pgm"), "--sigma", "20"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "File not found: " + dir.file("missing.pgm") + "\n");

  TestSupport::writeBytes(dir.file("ascii.pgm"), "P2\n2 2\n255\n1 2 3 4\n");
  const auto wrongFormat = nlmeans({"standard", dir.file("ascii.pgm"), dir.file("out.pgm"), "--sigma", "20"});
  EXPECT_EQ(wrongFormat.status, 1);
  EXPECT_EQ(wrongFormat.err, "Exception EInvalidFileFormat: File is not in PGM format\n");

  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"ascii.pgm", "noisy.pgm"}));
}

// With the image on standard output the time line goes to standard error, so
// that standard output holds the image alone.
TEST(NLMeansProcess, ImageOnStandardOutput) {
  CTempDir dir;
  const CScene scene;
  const std::string input = scene.write(dir, "noisy.pgm");
  const auto piped = nlmeans({"gridding", input, "/dev/stdout", "--sigma", "20"});
  EXPECT_EQ(piped.status, 0) << piped.err;
  ASSERT_EQ(nlmeans({"gridding", input, dir.file("out.pgm"), "--sigma", "20"}).status, 0);
  EXPECT_EQ(piped.out, TestSupport::readBytes(dir.file("out.pgm")));
  EXPECT_TRUE(std::regex_match(piped.err, std::regex("Finished\\. This took [0-9.e+-]+sec\n"))) << piped.err;
}

// Images smaller than a patch or a search window, and a single pixel, are
// denoised without reading outside them.
TEST(NLMeansProcess, TinyImagesFinishCleanly) {
  CTempDir dir;
  for (const auto& size : {std::pair<int, int>{1, 1}, {2, 3}, {7, 5}}) {
    std::vector<unsigned char> pixels;
    for (int i = 0; i < size.first * size.second; ++i) pixels.push_back(static_cast<unsigned char>(37 * i % 256));
    const std::string input = dir.file("tiny.pgm");
    TestSupport::writeBytes(input, TestSupport::pgmBytes(size.first, size.second, pixels));
    for (const char* method : kMethods) {
      const auto run = nlmeans({method, input, dir.file("out.pgm"), "--sigma", "20"});
      EXPECT_EQ(run.status, 0) << method << " " << size.first << "x" << size.second << ": " << run.err;
      EXPECT_EQ(TestSupport::readBytes(dir.file("out.pgm")).size(), TestSupport::readBytes(input).size()) << method;
    }
  }
}

}  // namespace

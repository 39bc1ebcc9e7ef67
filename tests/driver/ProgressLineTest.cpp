// The progress line: when it draws, what it draws, and that it gets out of
// the way of the time line and of messages; and the programs run under a
// pseudo-terminal and through pipes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <regex>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ProgressLine.h"
#include "TestSupport.h"

namespace {

// A pipe standing in for the terminal, read without blocking.
class CPipe {
public:
  CPipe() {
    if (::pipe(mFds) != 0) throw std::runtime_error("pipe failed");
    ::fcntl(mFds[0], F_SETFL, O_NONBLOCK);
  }
  ~CPipe() {
    ::close(mFds[0]);
    ::close(mFds[1]);
  }
  int writeEnd() const { return mFds[1]; }
  std::string take() {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(mFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

private:
  int mFds[2];
};

TEST(ProgressLine, DrawsOnlyAfterASecondAndAtMostTenTimesASecond) {
  CPipe terminal;
  double now = 100.0;
  CProgressLine line(true, terminal.writeEnd(), [&] { return now; });
  line.update("reading", -1.0);
  now = 100.9;
  line.update("denoising", 0.5);
  EXPECT_EQ(terminal.take(), "");
  now = 101.0;
  line.update("denoising", 0.5);
  EXPECT_EQ(terminal.take(), "\rdenoising 50%\033[K");
  now = 101.05;
  line.update("denoising", 0.6);  // too soon after the last drawing
  EXPECT_EQ(terminal.take(), "");
  now = 101.2;
  line.update("denoising", 0.609);
  EXPECT_EQ(terminal.take(), "\rdenoising 60%\033[K");
  now = 101.4;
  line.update("denoising", 0.6099);  // the same text is not drawn again
  line.update("writing", -1.0);      // a new phase is drawn at once, alone without a fraction
  EXPECT_EQ(terminal.take(), "\rwriting\033[K");
  now = 101.45;
  line.update("denoising", 1.5);  // clamped
  EXPECT_EQ(terminal.take(), "\rdenoising 100%\033[K");
  line.clear();
  EXPECT_EQ(terminal.take(), "\r\033[K");
  line.clear();  // nothing drawn: nothing to erase
  EXPECT_EQ(terminal.take(), "");
}

TEST(ProgressLine, MessagesOnStandardErrorEraseTheLineFirst) {
  CPipe terminal;
  std::streambuf* const original = std::cerr.rdbuf();
  std::ostringstream captured;
  std::cerr.rdbuf(captured.rdbuf());
  {
    double now = 5.0;
    CProgressLine line(true, terminal.writeEnd(), [&] { return now; });
    EXPECT_NE(std::cerr.rdbuf(), captured.rdbuf());
    std::cerr << "before" << std::endl;  // nothing drawn yet: nothing to erase
    EXPECT_EQ(terminal.take(), "");
    now = 7.0;
    line.update("building the tree", 0.25);
    EXPECT_EQ(terminal.take(), "\rbuilding the tree 25%\033[K");
    std::cerr << "Exception EInvalidFileFormat: File is not in PGM format" << std::endl;
    EXPECT_EQ(terminal.take(), "\r\033[K");
    now = 8.0;
    line.update("building the tree", 0.5);
    EXPECT_EQ(terminal.take(), "\rbuilding the tree 50%\033[K");
  }  // the line is erased and std::cerr restored when the object goes
  EXPECT_EQ(terminal.take(), "\r\033[K");
  EXPECT_EQ(std::cerr.rdbuf(), captured.rdbuf());
  std::cerr.rdbuf(original);
  EXPECT_EQ(captured.str(), "before\nException EInvalidFileFormat: File is not in PGM format\n");
}

TEST(ProgressLine, WithoutATerminalNothingIsWrittenOrRedirected) {
  CPipe terminal;
  std::streambuf* const original = std::cerr.rdbuf();
  double now = 0.0;
  CProgressLine line(false, terminal.writeEnd(), [&] { return now; });
  EXPECT_EQ(std::cerr.rdbuf(), original);
  now = 10.0;
  line.update("denoising", 0.5);
  line.clear();
  EXPECT_EQ(terminal.take(), "");
  EXPECT_FALSE(CProgressLine::shouldShow(terminal.writeEnd()));
}

// --- The programs under a pseudo-terminal ---------------------------------

// The path of util-linux script, empty when it is not installed.
std::string scriptPath() {
  std::string path;
  if (FILE* found = ::popen("command -v script 2> /dev/null", "r")) {
    char buffer[512];
    if (std::fgets(buffer, sizeof buffer, found)) path = buffer;
    ::pclose(found);
  }
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

// An image whose global-mode run on one thread takes about two seconds here.
std::string largeImage(const TestSupport::CTempDir& aDir) {
  const int side = 600;
  const CMatrix<float> image = TestSupport::noisyImage(side, side, 11, 128.0f, 40.0f);
  const std::vector<unsigned char> pixels(image.data(), image.data() + image.size());
  TestSupport::writeBytes(aDir.file("large.pgm"), TestSupport::pgmBytes(side, side, pixels));
  return aDir.file("large.pgm");
}

// Runs aCommand (a shell command) with standard error on a pseudo-terminal
// and standard output into aDir/out; returns what reached the terminal and
// the wall time of the run.
std::pair<std::string, double> runOnTerminal(const TestSupport::CTempDir& aDir, const std::string& aCommand) {
  const auto start = std::chrono::steady_clock::now();
  const TestSupport::CRun run = TestSupport::run(
      {scriptPath(), "-qec", "OMP_NUM_THREADS=1 TERM=xterm " + aCommand + " > " + aDir.file("out"), "/dev/null"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.status, 0) << run.err;
  return {run.out, seconds};
}

// What a terminal shows of a progress run: draws ("\r<phase> <n>%\033[K"),
// then one erase before the time line; nothing else.
void expectProgressThenErase(const std::string& aTerminal, double aSeconds) {
  static const std::regex kDraws(
      "(\r(reading|building the tree|building the graph|denoising|writing)( [0-9]{1,3}%)?\033\\[K)*(\r\033\\[K)?");
  EXPECT_TRUE(std::regex_match(aTerminal, kDraws)) << aTerminal;
  // Progress shows after a second; allow for the start of the programs.
  if (aSeconds > 1.8) {
    ASSERT_GT(aTerminal.size(), 4u) << "no progress in " << aSeconds << " s";
    EXPECT_EQ(aTerminal.substr(aTerminal.size() - 4), "\r\033[K");
  } else if (aSeconds < 0.9) {
    EXPECT_EQ(aTerminal, "");
  }
}

TEST(ProgressLine, TextureShowsProgressOnATerminalAndWritesTheSpecifiedLinesThroughPipes) {
  if (scriptPath().empty()) GTEST_SKIP() << "util-linux script is not installed";
  TestSupport::CTempDir dir;
  const std::string input = largeImage(dir);
  const std::string texture = TestSupport::binaryPath("texture");
  const auto [terminal, seconds] = runOnTerminal(dir, texture + " " + input + " 20");
  expectProgressThenErase(terminal, seconds);
  const std::regex timeLine("Finished\\. This took [0-9.e+-]+sec\n");
  EXPECT_TRUE(std::regex_match(TestSupport::readBytes(dir.file("out")), timeLine));
  const std::string terminalResult = TestSupport::readBytes(dir.file("largeResult.pgm"));

  // Through pipes: exactly the time line, nothing on standard error, the same image.
  const TestSupport::CRun piped = TestSupport::run({texture, input, "20"}, {"OMP_NUM_THREADS=1", "TERM=xterm"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_TRUE(std::regex_match(piped.out, timeLine)) << piped.out;
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(TestSupport::readBytes(dir.file("largeResult.pgm")), terminalResult);
}

TEST(ProgressLine, NLMeansShowsProgressOnATerminal) {
  if (scriptPath().empty()) GTEST_SKIP() << "util-linux script is not installed";
  TestSupport::CTempDir dir;
  const CMatrix<float> image = TestSupport::noisyImage(160, 160, 12);
  const std::vector<unsigned char> pixels(image.data(), image.data() + image.size());
  TestSupport::writeBytes(dir.file("in.pgm"), TestSupport::pgmBytes(160, 160, pixels));
  const std::string command = TestSupport::binaryPath("nlmeans") + " standard " + dir.file("in.pgm") + " " +
                              dir.file("result.pgm") + " --sigma 20 --search-radius 30";
  const auto [terminal, seconds] = runOnTerminal(dir, command);
  expectProgressThenErase(terminal, seconds);
  EXPECT_TRUE(std::regex_match(TestSupport::readBytes(dir.file("out")),
                               std::regex("Finished\\. This took [0-9.e+-]+sec\n")));
}

}  // namespace

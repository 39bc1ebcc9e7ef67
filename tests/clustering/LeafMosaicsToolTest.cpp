// The leafmosaics example program run as a real process.
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

TestSupport::CRun leafMosaics(const std::vector<std::string>& aArguments) {
  std::vector<std::string> command{TestSupport::binaryPath("leafmosaics")};
  command.insert(command.end(), aArguments.begin(), aArguments.end());
  return TestSupport::run(command);
}

std::vector<float> tileAt(const CMatrix<float>& aImage, int aX, int aY) {
  std::vector<float> tile;
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) tile.push_back(aImage(aX + x, aY + y));
  return tile;
}

TEST(LeafMosaicsTool, WritesLeavesWhoseTilesArePatchesOfTheImage) {
  CTempDir dir;
  const CMatrix<float> image = TestSupport::noisyImage(40, 36, 3);
  std::vector<unsigned char> pixels(image.data(), image.data() + image.size());
  TestSupport::writeBytes(dir.file("in.pgm"), TestSupport::pgmBytes(40, 36, pixels));
  std::set<std::vector<float>> patches;
  for (int y = 0; y + 9 <= 36; ++y)
    for (int x = 0; x + 9 <= 40; ++x) patches.insert(tileAt(image, x, y));

  const auto run = leafMosaics({dir.file("in.pgm"), dir.path(), "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::regex leafLine("leaf (\\d+): (\\d+) patches");
  int leaves = 0;
  for (std::sregex_iterator it(run.out.begin(), run.out.end(), leafLine), end; it != end; ++it) {
    ++leaves;
    const int count = std::stoi((*it)[2]);
    CMatrix<float> mosaic;
    mosaic.readFromPGM(dir.file("leaf-" + (*it)[1].str() + ".pgm").c_str());
    const int perRow = mosaic.xSize() / 9;
    ASSERT_GT(perRow, 0);
    // Every tile of the leaf shows a patch of the image in its own grey levels.
    for (int t = 0; t < count; ++t) EXPECT_EQ(patches.count(tileAt(mosaic, t % perRow * 9, t / perRow * 9)), 1u) << t;
  }
  EXPECT_EQ(leaves, 3);
  EXPECT_NE(run.out.find("896 patches in "), std::string::npos);
}

TEST(LeafMosaicsTool, RefusesBadArgumentsAndInputs) {
  CTempDir dir;
  EXPECT_EQ(leafMosaics({}).status, 2);
  EXPECT_EQ(leafMosaics({"in.pgm", dir.path(), "0"}).status, 2);
  EXPECT_EQ(leafMosaics({"in.pgm", dir.path(), "two"}).status, 2);
  EXPECT_EQ(leafMosaics({dir.file("missing.pgm"), dir.path()}).status, 1);
  TestSupport::writeBytes(dir.file("tiny.pgm"), TestSupport::pgmBytes(9, 9, std::vector<unsigned char>(81, 7)));
  const auto tiny = leafMosaics({dir.file("tiny.pgm"), dir.path()});
  EXPECT_EQ(tiny.status, 1);
  EXPECT_NE(tiny.err.find("too small"), std::string::npos);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"tiny.pgm"});
}

}  // namespace

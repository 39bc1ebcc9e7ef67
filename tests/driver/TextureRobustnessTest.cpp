// Images that defeat a plain cluster tree (repeated patches, flat and
// saturated areas, degenerate sizes) must finish cleanly in both modes.
#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

std::string writeImage(const CTempDir& aDir, const std::string& aName, int aXSize, int aYSize,
                       const std::function<int(int, int)>& aPixel) {
  std::vector<unsigned char> pixels;
  for (int y = 0; y < aYSize; ++y)
    for (int x = 0; x < aXSize; ++x) pixels.push_back(static_cast<unsigned char>(aPixel(x, y)));
  const std::string path = aDir.file(aName + ".pgm");
  TestSupport::writeBytes(path, TestSupport::pgmBytes(aXSize, aYSize, pixels));
  return path;
}

void expectCleanRuns(const CTempDir& aDir, const std::string& aName) {
  for (const char* window : {"", "21"}) {
    std::vector<std::string> command{TestSupport::binaryPath("texture"), aDir.file(aName + ".pgm"), "20"};
    if (*window) command.push_back(window);
    const TestSupport::CRun run = TestSupport::run(command);
    EXPECT_EQ(run.status, 0) << aName << " window '" << window << "': " << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_TRUE(TestSupport::exists(aDir.file(aName + "Result.pgm"))) << aName;
  }
}

TEST(TextureRobustness, RepeatedPatchesFinishCleanly) {
  CTempDir dir;
  const int n = TestSupport::largeSide(512, 128);
  writeImage(dir, "constant", n, n, [](int, int) { return 128; });
  writeImage(dir, "dot", n, n, [&](int x, int y) { return x == n / 2 && y == n / 2 ? 255 : 0; });
  // Shapes and saturated areas on a 256 x 256 grid, scaled to the image.
  const int m = TestSupport::largeSide(256, 128);
  writeImage(dir, "shapes", m, m, [&](int x, int y) {
    x = x * 256 / m;
    y = y * 256 / m;
    if ((x - 80) * (x - 80) + (y - 80) * (y - 80) < 50 * 50) return 200;
    return (x > 150 && x < 230 && y > 140 && y < 220) ? 120 : 40;
  });
  const CMatrix<float> noise = TestSupport::noisyImage(m, m, 21, 0.0f, 30.0f);
  writeImage(dir, "saturated", m, m, [&](int x, int y) {
    const float base = x < m / 3 ? 0.0f : (x > 2 * m / 3 ? 255.0f : 128.0f);
    return static_cast<int>(std::min(255.0f, std::max(0.0f, base + noise(x, y))));
  });
  for (const char* name : {"constant", "dot", "shapes", "saturated"}) expectCleanRuns(dir, name);
}

TEST(TextureRobustness, TinyImagesFinishCleanly) {
  CTempDir dir;
  writeImage(dir, "five", 5, 5, [](int x, int y) { return 10 * x + y; });
  writeImage(dir, "empty", 0, 0, [](int, int) { return 0; });
  writeImage(dir, "single", 1, 1, [](int, int) { return 77; });
  for (const char* name : {"five", "empty", "single"}) expectCleanRuns(dir, name);
  EXPECT_EQ(TestSupport::readBytes(dir.file("emptyResult.pgm")), "P5\n0 0\n255\n");
  EXPECT_EQ(TestSupport::readBytes(dir.file("singleResult.pgm")), "P5\n1 1\n255\nM");
}

}  // namespace

#include <cmath>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CMatrix.h"
#include "Exceptions.h"
#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

CMatrix<float> readBytesAsImage(const CTempDir& aDir, const std::string& aBytes) {
  const std::string path = aDir.file("in.pgm");
  TestSupport::writeBytes(path, aBytes);
  CMatrix<float> image;
  image.readFromPGM(path.c_str());
  return image;
}

// Reading must fail with EFileError and leave the matrix as it was.
void expectRefused(const std::string& aBytes, const std::string& aMessagePart) {
  CTempDir dir;
  const std::string path = dir.file("in.pgm");
  TestSupport::writeBytes(path, aBytes);
  CMatrix<float> image(1, 1);
  image(0, 0) = 42.0f;
  testing::internal::CaptureStderr();
  EXPECT_THROW(image.readFromPGM(path.c_str()), EFileError) << aMessagePart;
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(aMessagePart), std::string::npos) << err;
  EXPECT_NE(err.find(path), std::string::npos) << err;
  EXPECT_EQ(image.xSize(), 1);
  EXPECT_EQ(image(0, 0), 42.0f);
}

void expectNotPgm(const std::string& aBytes) {
  CTempDir dir;
  const std::string path = dir.file("in.pgm");
  TestSupport::writeBytes(path, aBytes);
  CMatrix<float> image;
  testing::internal::CaptureStderr();
  EXPECT_THROW(image.readFromPGM(path.c_str()), EInvalidFileFormat);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exception EInvalidFileFormat: File is not in PGM format\n");
}

TEST(Pgm, RoundTripOfAllGreyLevels) {
  CTempDir dir;
  CMatrix<float> image(16, 16);
  for (int i = 0; i < 256; ++i) image.data()[i] = static_cast<float>(i);
  const std::string path = dir.file("levels.pgm");
  image.writeToPGM(path.c_str());
  CMatrix<float> back;
  back.readFromPGM(path.c_str());
  ASSERT_EQ(back.xSize(), 16);
  ASSERT_EQ(back.ySize(), 16);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(back.data()[i], static_cast<float>(i));
}

TEST(Pgm, WriterLayoutIsHeaderThenRows) {
  CTempDir dir;
  CMatrix<float> image(3, 2);
  const float values[] = {1, 2, 3, 4, 5, 6};
  std::copy(values, values + 6, image.data());
  const std::string path = dir.file("small.pgm");
  image.writeToPGM(path.c_str());
  EXPECT_EQ(TestSupport::readBytes(path), std::string("P5\n3 2\n255\n\x01\x02\x03\x04\x05\x06", 17));
}

TEST(Pgm, WriterClampsThenTruncates) {
  CTempDir dir;
  CMatrix<float> image(8, 1);
  const float values[] = {255.9f, 256.0f, -1.0f, 127.9f, 0.5f, std::nanf(""), 1e30f, -1e30f};
  std::copy(values, values + 8, image.data());
  const std::string path = dir.file("clamp.pgm");
  image.writeToPGM(path.c_str());
  const std::string bytes = TestSupport::readBytes(path);
  EXPECT_EQ(bytes.substr(11), std::string("\xff\xff\x00\x7f\x00\x00\xff\x00", 8));
}

TEST(Pgm, HeaderLayouts) {
  CTempDir dir;
  const std::string raster = "\x01\x02\x03\x04";
  struct Case {
    const char* name;
    std::string header;
  } cases[] = {
      {"written layout", "P5\n2 2\n255\n"},
      {"comments after the magic", "P5\n# one\n# two\n2 2\n255\n"},
      {"empty lines", "P5\n\n\n2 2\n255\n"},
      {"one-line header", "P5 2 2 255\n"},
      {"bytes before the P", "garbage\x01\xffP5\n2 2\n255\n"},
      {"comments between fields", "P5 #a\n2#b\n 2 # c 9 9\n255\n"},
      {"tabs and carriage returns", "P5\r\n2\t2\r\n255\r"},
      {"lower maximum grey value", "P5\n2 2\n15\n"},
  };
  for (const Case& c : cases) {
    const CMatrix<float> image = readBytesAsImage(dir, c.header + raster);
    ASSERT_EQ(image.xSize(), 2) << c.name;
    ASSERT_EQ(image.ySize(), 2) << c.name;
    EXPECT_EQ(image(0, 0), 1.0f) << c.name;
    EXPECT_EQ(image(1, 1), 4.0f) << c.name;
  }
}

TEST(Pgm, TrailingBytesAreIgnored) {
  CTempDir dir;
  const CMatrix<float> image = readBytesAsImage(dir, "P5\n1 1\n255\n\x07trailing");
  ASSERT_EQ(image.size(), 1);
  EXPECT_EQ(image(0, 0), 7.0f);
}

TEST(Pgm, EmptyImageReadsAsEmptyMatrix) {
  CTempDir dir;
  const CMatrix<float> image = readBytesAsImage(dir, "P5\n0 0\n255\n");
  EXPECT_EQ(image.xSize(), 0);
  EXPECT_EQ(image.ySize(), 0);
}

TEST(Pgm, OtherFormatsAreNotPgm) {
  expectNotPgm("");
  expectNotPgm("no magic here");
  expectNotPgm("P2\n2 2\n255\n1 2 3 4\n");
  expectNotPgm("P6\n1 1\n255\n\x01\x02\x03");
  expectNotPgm("\x89PNG\r\n\x1a\n");
  expectNotPgm("\xff\xd8\xff\xe0JFIF");
  // Only the first "P" counts, even when a "P5" follows later.
  expectNotPgm("P3 P5\n1 1\n255\n\x01");
  expectNotPgm("P");
}

TEST(Pgm, MalformedHeadersAreRefused) {
  expectRefused("P5", "header ends before the width");
  expectRefused("P5\n", "header ends before the width");
  expectRefused("P5\n2 2\n255", "header ends before the raster");
  expectRefused("P5\n2 2\n", "header ends before the maximum grey value");
  expectRefused("P5\n2", "header ends before the height");
  expectRefused("P5x\n2 2\n255\n\x01\x02\x03\x04", "width is not a decimal number");
  expectRefused("P5\n-2 2\n255\n\x01\x02\x03\x04", "width is not a decimal number");
  expectRefused("P5\n2 -2\n255\n\x01\x02\x03\x04", "height is not a decimal number");
  expectRefused("P5\n99999999999 2\n255\n", "width is too large");
  expectRefused("P5\n2 2\n255x\x01\x02\x03\x04", "not followed by a whitespace byte");
  expectRefused("P5\n2 2\n0\n\x01\x02\x03\x04", "maximum grey value 0");
  expectRefused("P5\n2 2\n256\n\x01\x02\x03\x04", "maximum grey value 256");
  expectRefused("P5\n2 2\n65535\n\x01\x02\x03\x04\x05\x06\x07\x08", "maximum grey value 65535");
}

TEST(Pgm, TruncatedRasterIsRefused) {
  expectRefused("P5\n2 2\n255\n\x01\x02\x03", "raster truncated (3 of 4 bytes present)");
  expectRefused("P5\n2 2\n255\n", "raster truncated (0 of 4 bytes present)");
}

TEST(Pgm, HugeDeclaredSizesAreRefusedBeforeAllocating) {
  // 40000 x 40000 is below 2^31 pixels but would need 6.4 GB of floats.
  expectRefused("P5\n40000 40000\n255\n\x01\x02", "raster truncated (2 of 1600000000 bytes present)");
  expectRefused("P5\n65536 32768\n255\n\x01", "too large (at most 2^31 - 1 pixels)");
  expectRefused("P5\n2147483647 2147483647\n255\n", "too large");
}

TEST(Pgm, MissingFileIsReported) {
  CTempDir dir;
  const std::string path = dir.file("missing.pgm");
  CMatrix<float> image;
  testing::internal::CaptureStderr();
  EXPECT_THROW(image.readFromPGM(path.c_str()), EFileError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "File not found: " + path + "\n");
}

TEST(Pgm, DirectoryIsNotAnImage) {
  CTempDir dir;
  CMatrix<float> image;
  testing::internal::CaptureStderr();
  EXPECT_THROW(image.readFromPGM(dir.path().c_str()), EFileError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot read " + dir.path() + ": Is a directory\n");
}

TEST(Pgm, FailedWriteLeavesNothingBehind) {
  CTempDir dir;
  CMatrix<float> image(2, 2);
  image.fill(3.0f);
  const std::string missingFolder = dir.file("no/such/folder/out.pgm");
  testing::internal::CaptureStderr();
  EXPECT_THROW(image.writeToPGM(missingFolder.c_str()), EFileError);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot write " + missingFolder), std::string::npos);
  EXPECT_TRUE(dir.entries().empty());

  testing::internal::CaptureStderr();
  EXPECT_THROW(image.writeToPGM("/dev/full"), EFileError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot write /dev/full: No space left on device\n");

  testing::internal::CaptureStderr();
  EXPECT_THROW(image.writeToPGM(dir.path().c_str()), EFileError);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Pgm, WriteReplacesExistingFileWhole) {
  CTempDir dir;
  const std::string path = dir.file("out.pgm");
  TestSupport::writeBytes(path, "old contents that are longer than the new image");
  CMatrix<float> image(1, 1);
  image(0, 0) = 9.0f;
  image.writeToPGM(path.c_str());
  EXPECT_EQ(TestSupport::readBytes(path), std::string("P5\n1 1\n255\n\x09"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pgm"});
}

// /dev/stdout in a pipeline is a link to a pipe, which has no path to
// resolve: it must be written through, not replaced by a file.
TEST(Pgm, WritesThroughALinkToAPipe) {
  CTempDir dir;
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string link = dir.file("stdout");
  ASSERT_EQ(::symlink(("/proc/self/fd/" + std::to_string(ends[1])).c_str(), link.c_str()), 0);
  CMatrix<float> image(2, 1);
  image(0, 0) = 65.0f;
  image(1, 0) = 66.0f;
  image.writeToPGM(link.c_str());
  ::close(ends[1]);
  std::string bytes;
  char buffer[64];
  ssize_t n;
  while ((n = ::read(ends[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
  ::close(ends[0]);
  EXPECT_EQ(bytes, "P5\n2 1\n255\nAB");
  struct stat info;
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"stdout"});
}

}  // namespace

// Binary PGM ("P5") reading and writing for images held as CMatrix<float>.
//
// Reading: bytes before the first "P" are skipped and the byte after it must
// be "5". The header is then standard binary PGM: width, height and maximum
// grey value as decimal numbers separated by whitespace, "#" comments (to the
// end of the line) allowed wherever whitespace is, then exactly one whitespace
// byte, then one byte per pixel. Grey values are stored as they stand. A
// header or raster that ends early, a maximum grey value outside 1..255 and an
// image of 2^31 pixels or more are refused before anything is allocated for
// the raster, so a tiny file cannot claim a huge image. Bytes after the
// raster are ignored.
//
// Writing: the header "P5\n<width> <height>\n255\n", then one byte per pixel:
// the value clamped to [0, 255] (not-a-number gives 0) and truncated toward
// zero.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "AtomicFile.h"
#include "CMatrix.h"
#include "Exceptions.h"

namespace {

struct CFileCloser {
  void operator()(std::FILE* aFile) const { std::fclose(aFile); }
};
using FilePtr = std::unique_ptr<std::FILE, CFileCloser>;

bool isWhitespace(int aByte) {
  return aByte == ' ' || aByte == '\t' || aByte == '\n' || aByte == '\r' || aByte == '\v' || aByte == '\f';
}

class CHeaderReader {
public:
  CHeaderReader(std::FILE* aFile, std::string aName) : mFile(aFile), mName(std::move(aName)) {}

  int get() {
    const int c = std::getc(mFile);
    if (c == EOF && std::ferror(mFile)) readError();
    return c;
  }

  // Skips whitespace and comments (at least one byte of them), then reads a
  // decimal number. aByte holds the byte after the previous token and is left
  // holding the byte after this number.
  int field(int& aByte, const char* aWhat) {
    bool separated = false;
    for (;;) {
      if (aByte == '#') {
        while (aByte != '\n' && aByte != '\r' && aByte != EOF) aByte = get();
        separated = true;
      } else if (isWhitespace(aByte)) {
        aByte = get();
        separated = true;
      } else {
        break;
      }
    }
    if (aByte == EOF) malformed(std::string("header ends before the ") + aWhat);
    if (!separated || !std::isdigit(aByte)) malformed(std::string("the ") + aWhat + " is not a decimal number");
    std::int64_t value = 0;
    while (aByte != EOF && std::isdigit(aByte)) {
      value = value * 10 + (aByte - '0');
      if (value > INT32_MAX) malformed(std::string("the ") + aWhat + " is too large");
      aByte = get();
    }
    return static_cast<int>(value);
  }

  [[noreturn]] void malformed(const std::string& aWhat) const { throw EFileError(mName + ": bad PGM file: " + aWhat); }
  [[noreturn]] void readError() const { throw EFileError("Cannot read " + mName + ": " + std::strerror(errno)); }

private:
  std::FILE* mFile;
  std::string mName;
};

}  // namespace

template <>
void CMatrix<float>::readFromPGM(const char* aFilename) {
  const std::string name(aFilename);
  FilePtr file(std::fopen(aFilename, "rb"));
  if (!file) {
    if (errno == ENOENT) throw EFileError("File not found: " + name);
    throw EFileError("Cannot open " + name + ": " + std::strerror(errno));
  }
  struct stat info;
  if (::fstat(fileno(file.get()), &info) != 0) throw EFileError("Cannot read " + name + ": " + std::strerror(errno));
  if (S_ISDIR(info.st_mode)) throw EFileError("Cannot read " + name + ": " + std::strerror(EISDIR));

  CHeaderReader reader(file.get(), name);
  int c;
  do c = reader.get();
  while (c != EOF && c != 'P');
  if (c == EOF) throw EInvalidFileFormat("PGM");
  if (reader.get() != '5') throw EInvalidFileFormat("PGM");

  c = reader.get();
  const int width = reader.field(c, "width");
  const int height = reader.field(c, "height");
  const int maxGrey = reader.field(c, "maximum grey value");
  if (c == EOF) reader.malformed("header ends before the raster");
  if (!isWhitespace(c)) reader.malformed("the maximum grey value is not followed by a whitespace byte");
  if (maxGrey == 0) reader.malformed("maximum grey value 0 (it must be 1 to 255)");
  if (maxGrey > 255)
    reader.malformed("maximum grey value " + std::to_string(maxGrey) + " (only 8-bit files, 1 to 255, are supported)");

  const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
  if (pixels > INT32_MAX)
    reader.malformed("image of " + std::to_string(width) + " x " + std::to_string(height) +
                     " pixels is too large (at most 2^31 - 1 pixels)");
  const auto truncated = [&](std::int64_t aPresent) {
    reader.malformed("raster truncated (" + std::to_string(aPresent) + " of " + std::to_string(pixels) +
                     " bytes present)");
  };

  std::vector<unsigned char> raster;
  if (S_ISREG(info.st_mode)) {
    const long position = std::ftell(file.get());
    if (position < 0) reader.readError();
    const std::int64_t present = static_cast<std::int64_t>(info.st_size) - position;
    if (present < pixels) truncated(present < 0 ? 0 : present);
    raster.resize(static_cast<std::size_t>(pixels));
    const std::size_t got = std::fread(raster.data(), 1, raster.size(), file.get());
    if (got < raster.size()) {
      if (std::ferror(file.get())) reader.readError();
      truncated(static_cast<std::int64_t>(got));
    }
  } else {
    // A pipe or device: the size is unknown, so storage grows only with data that actually arrives.
    const std::size_t chunk = 1 << 16;
    while (static_cast<std::int64_t>(raster.size()) < pixels) {
      const std::size_t old = raster.size();
      const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(chunk, pixels - old));
      raster.resize(old + want);
      const std::size_t got = std::fread(raster.data() + old, 1, want, file.get());
      raster.resize(old + got);
      if (got < want) {
        if (std::ferror(file.get())) reader.readError();
        truncated(static_cast<std::int64_t>(raster.size()));
      }
    }
  }

  CMatrix<float> image(width, height);
  float* out = image.data();
  for (std::size_t i = 0; i < raster.size(); ++i) out[i] = static_cast<float>(raster[i]);
  swap(image);
}

template <>
void CMatrix<float>::writeToPGM(const char* aFilename) const {
  char header[64];
  const int headerLength = std::snprintf(header, sizeof header, "P5\n%d %d\n255\n", mXSize, mYSize);
  const std::size_t pixels = static_cast<std::size_t>(size());
  std::vector<unsigned char> bytes(static_cast<std::size_t>(headerLength) + pixels);
  std::memcpy(bytes.data(), header, static_cast<std::size_t>(headerLength));
  unsigned char* out = bytes.data() + headerLength;
  const float* in = mData.get();
  for (std::size_t i = 0; i < pixels; ++i) {
    const float v = in[i];
    // The comparisons are written so that not-a-number falls through to 0.
    out[i] = v >= 255.0f ? 255 : (v > 0.0f ? static_cast<unsigned char>(static_cast<int>(v)) : 0);
  }
  NContainers::writeFileAtomically(aFilename, bytes.data(), bytes.size());
}

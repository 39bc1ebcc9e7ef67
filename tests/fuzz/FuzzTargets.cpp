#include "FuzzTargets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "CMatrix.h"
#include "CNLMeans.h"
#include "CommandLine.h"
#include "Exceptions.h"

namespace FuzzTargets {
namespace {

[[noreturn]] void fail(const std::string& aWhat) {
  std::fprintf(stderr, "fuzz check failed: %s\n", aWhat.c_str());
  std::fflush(stderr);
  std::abort();
}

void check(bool aCondition, const std::string& aWhat) {
  if (!aCondition) fail(aWhat);
}

// A private folder in memory (/dev/shm where it exists) for the input file and
// the written output, removed when the process ends.
class CScratch {
public:
  CScratch() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/texture-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) fail("cannot make a scratch folder");
    mDir = name.data();
    input = mDir + "/in.pgm";
    output = mDir + "/out.pgm";
  }
  ~CScratch() {
    ::unlink(input.c_str());
    ::unlink(output.c_str());
    ::rmdir(mDir.c_str());
  }
  void writeInput(const std::uint8_t* aData, std::size_t aSize) const {
    std::FILE* file = std::fopen(input.c_str(), "wb");
    check(file != nullptr, "cannot create " + input);
    const bool written = aSize == 0 || std::fwrite(aData, 1, aSize, file) == aSize;
    check(std::fclose(file) == 0 && written, "cannot write " + input);
  }
  // No write may leave a temporary file behind, whether it succeeded or not.
  void expectOnlyTheFiles() const {
    DIR* dir = ::opendir(mDir.c_str());
    check(dir != nullptr, "cannot list " + mDir);
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != "in.pgm" && name != "out.pgm") {
        ::closedir(dir);
        fail("a write left " + name + " behind");
      }
    }
    ::closedir(dir);
  }
  std::string input;
  std::string output;

private:
  std::string mDir;
};

CScratch& scratch() {
  static CScratch instance;
  return instance;
}

// What one read of a file gave: an image, or a refusal with its message (the
// file's name replaced by "<file>", so that two paths compare equal).
struct COutcome {
  enum Kind { kImage, kNotPgm, kFileError } kind = kImage;
  std::string message;
  CMatrix<float> image;
};

std::string withoutName(std::string aMessage, const std::string& aName) {
  for (std::size_t at = aMessage.find(aName); at != std::string::npos; at = aMessage.find(aName, at))
    aMessage.replace(at, aName.size(), "<file>");
  return aMessage;
}

COutcome read(const std::string& aPath) {
  COutcome outcome;
  // A refused read must leave the matrix as it was.
  outcome.image.setSize(1, 1);
  outcome.image(0, 0) = -7.0f;
  try {
    outcome.image.readFromPGM(aPath.c_str());
    return outcome;
  } catch (const EInvalidFileFormat&) {
    outcome.kind = COutcome::kNotPgm;
  } catch (const EFileError& e) {
    outcome.kind = COutcome::kFileError;
    outcome.message = withoutName(e.message(), aPath);
  }
  check(outcome.image.xSize() == 1 && outcome.image.ySize() == 1 && outcome.image(0, 0) == -7.0f,
        "a refused read changed the matrix");
  return outcome;
}

// The same bytes read through a pipe, where the reader cannot know the size
// in advance. Inputs larger than a pipe's buffer are not tried.
constexpr std::size_t kPipeLimit = 32768;
COutcome readThroughPipe(const std::uint8_t* aData, std::size_t aSize) {
  int ends[2];
  check(::pipe2(ends, O_CLOEXEC) == 0, "cannot make a pipe");
  std::size_t written = 0;
  while (written < aSize) {
    const ssize_t n = ::write(ends[1], aData + written, aSize - written);
    check(n > 0, "cannot fill the pipe");
    written += static_cast<std::size_t>(n);
  }
  ::close(ends[1]);
  COutcome outcome = read("/proc/self/fd/" + std::to_string(ends[0]));
  ::close(ends[0]);
  return outcome;
}

bool sameImage(const CMatrix<float>& aA, const CMatrix<float>& aB) {
  return aA.xSize() == aB.xSize() && aA.ySize() == aB.ySize() &&
         std::equal(aA.data(), aA.data() + aA.size(), aB.data());
}

// The byte the writer stores for a value: clamped to [0, 255] (not-a-number
// gives 0), then truncated toward zero.
float written(float aValue) {
  if (aValue >= 255.0f) return 255.0f;
  return aValue > 0.0f ? std::trunc(aValue) : 0.0f;
}

// Writes the image, reads it back and compares with what the writer stores.
void expectRoundTrip(const CMatrix<float>& aImage) {
  aImage.writeToPGM(scratch().output.c_str());
  scratch().expectOnlyTheFiles();
  const COutcome back = read(scratch().output);
  check(back.kind == COutcome::kImage, "the written file does not read back: " + back.message);
  check(back.image.xSize() == aImage.xSize() && back.image.ySize() == aImage.ySize(),
        "the written file reads back with other sizes");
  for (int i = 0; i < aImage.size(); ++i)
    check(back.image.data()[i] == written(aImage.data()[i]), "pixel " + std::to_string(i) + " reads back changed");
}

class CNullBuffer : public std::streambuf {
protected:
  int overflow(int aByte) override { return aByte == EOF ? 0 : aByte; }
};

void chooseLikeTheDriver(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma,
                         bool aWindowGiven) {
  if (CommandLine::useLocalMode(aWindowGiven, aNLMeans.searchRadius, aInput.xSize(), aInput.ySize()))
    aNLMeans.clusterTreeLocal(aInput, aResult, aSigma, 0.0f);
  else
    aNLMeans.clusterTreeGlobal(aInput, aResult, aSigma, 0.0f);
}
void global(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.clusterTreeGlobal(aInput, aResult, aSigma, 0.0f);
}
// Local mode whatever the image's size (the driver would choose global mode
// for a search radius of half the image or more).
void local(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.clusterTreeLocal(aInput, aResult, aSigma, 0.0f);
}

// The windowed variants as nlmeans runs them, with its default filter factors.
void standard(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.filterFactor = 0.5f;
  aNLMeans.standardNLMeans(aInput, aResult, aSigma);
}
void preselection(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.filterFactor = 0.5f;
  aNLMeans.preselection(aInput, aResult, aSigma);
}
void gridding(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.filterFactor = 0.5f;
  aNLMeans.gridding(aInput, aResult, aSigma, 1);
}
void sampling(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.filterFactor = 0.5f;
  aNLMeans.sampling(aInput, aResult, aSigma, 20);
}
void sorting(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float, bool) {
  aNLMeans.sortingCriterion(aInput, aResult, 5);
}
void graphLinear(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.gilboaOsherBuildWeights(aInput, aSigma);
  for (int step = 0; step < 3; ++step) aNLMeans.gilboaOsherFilter(aResult);
}
void graphTotalVariation(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool) {
  aNLMeans.gilboaOsherBuildWeights(aInput, aSigma);
  for (int step = 0; step < 3; ++step) aNLMeans.gilboaOsherFilterTV(aResult);
}

}  // namespace

const std::vector<CDenoisingMethod>& denoisingMethods() {
  // One row per way of denoising; a new method is one more row.
  static const std::vector<CDenoisingMethod> methods = {
      {"texture sigma 20", 4, "20", nullptr, chooseLikeTheDriver, true},
      {"texture sigma 20 window 7", 4, "20", "7", chooseLikeTheDriver, true},
      {"texture sigma 5 window 1", 4, "5", "1", chooseLikeTheDriver, true},
      {"texture sigma 10 window -20", 4, "10", "-20", chooseLikeTheDriver, true},
      {"global r1 sigma 30", 1, "30", nullptr, global, true},
      {"global r2 sigma 0.5", 2, "0.5", nullptr, global, true},
      {"local r1 window 3", 1, "20", "3", local, true},
      {"local r2 window 5 sigma 255", 2, "255", "5", local, true},
      {"local r3 window -3", 3, "15", "-3", local, true},
      {"local r4 window 40", 4, "20", "40", local, true},
      {"local r1 window -7 sigma 1e-3", 1, "1e-3", "-7", local, true},
      {"standard r1 window 5", 1, "20", "5", standard, true},
      {"preselection r2 window 7", 2, "30", "7", preselection, true},
      {"gridding r1 window 7", 1, "20", "7", gridding, true},
      {"sampling r1 window 9", 1, "20", "9", sampling, true},
      {"sorting r1 window 5", 1, "20", "5", sorting, true},
      {"graph linear r1 window 5", 1, "20", "5", graphLinear, true},
      {"graph tv r1 window 5 sigma 1e-3", 1, "1e-3", "5", graphTotalVariation, false},
  };
  return methods;
}

void silenceDiagnostics() {
  static CNullBuffer nowhere;
  std::cerr.rdbuf(&nowhere);
}

void pgmReader(const std::uint8_t* aData, std::size_t aSize) {
  scratch().writeInput(aData, aSize);
  const COutcome outcome = read(scratch().input);
  if (aSize <= kPipeLimit) {
    const COutcome piped = readThroughPipe(aData, aSize);
    check(piped.kind == outcome.kind, "a pipe and a file give different outcomes");
    check(piped.message == outcome.message, "a pipe and a file give different messages: '" + piped.message +
                                                "' and '" + outcome.message + "'");
    check(sameImage(piped.image, outcome.image), "a pipe and a file give different images");
  }
  if (outcome.kind != COutcome::kImage) return;

  const CMatrix<float>& image = outcome.image;
  check(image.xSize() >= 0 && image.ySize() >= 0, "negative sizes");
  check(static_cast<std::size_t>(image.size()) <= aSize, "more pixels than the file has bytes");
  for (int i = 0; i < image.size(); ++i) {
    const float v = image.data()[i];
    check(v >= 0.0f && v <= 255.0f && v == std::trunc(v), "pixel " + std::to_string(i) + " is not a byte value");
  }
  expectRoundTrip(image);
}

void denoisingPath(const std::uint8_t* aData, std::size_t aSize) {
  if (aSize == 0) return;
  const std::vector<CDenoisingMethod>& methods = denoisingMethods();
  const CDenoisingMethod& method = methods[aData[0] % methods.size()];

  float sigma = 0.0f;
  std::string error;
  check(CommandLine::parseSigma(method.sigma, sigma, error), std::string(method.name) + ": " + error);
  CNLMeans nlMeans;
  nlMeans.patchRadius = method.patchRadius;
  if (method.window) nlMeans.searchRadius = CommandLine::searchRadiusFromWindow(method.window);

  scratch().writeInput(aData + 1, aSize - 1);
  COutcome outcome = read(scratch().input);
  if (outcome.kind != COutcome::kImage) return;
  CMatrix<float>& input = outcome.image;
  if (input.size() > kMaxDenoisedPixels || input.xSize() > kMaxDenoisedSide || input.ySize() > kMaxDenoisedSide) {
    expectRoundTrip(input);
    return;
  }

  const CMatrix<float> original(input);
  CMatrix<float> result(input);
  method.run(nlMeans, input, result, sigma, method.window != nullptr);

  const std::string name = method.name;
  check(sameImage(input, original), name + ": the input image changed");
  check(result.xSize() == input.xSize() && result.ySize() == input.ySize(), name + ": the result changed size");
  if (input.size() > 0) {
    const auto range = std::minmax_element(input.data(), input.data() + input.size());
    // Weighted means in single precision may miss the range by rounding.
    const float low = *range.first - 0.01f, high = *range.second + 0.01f;
    for (int i = 0; i < result.size(); ++i) {
      const float v = result.data()[i];
      check(std::isfinite(v), name + ": pixel " + std::to_string(i) + " is not finite");
      if (method.staysInInputRange)
        check(v >= low && v <= high, name + ": pixel " + std::to_string(i) + " = " + std::to_string(v) +
                                         " lies outside the input's range");
    }
  }
  expectRoundTrip(result);
}

}  // namespace FuzzTargets

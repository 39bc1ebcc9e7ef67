// Helpers shared by the tests: temporary folders, files, and running the
// programs as real processes.
#pragma once

#include <string>
#include <vector>

#include "CMatrix.h"

namespace TestSupport {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class CTempDir {
public:
  CTempDir();
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  const std::string& path() const { return mPath; }
  std::string file(const std::string& aName) const { return mPath + "/" + aName; }
  // Names of the entries of the folder, sorted.
  std::vector<std::string> entries() const;

private:
  std::string mPath;
};

void writeBytes(const std::string& aPath, const std::string& aBytes);
std::string readBytes(const std::string& aPath);
bool exists(const std::string& aPath);

// The bytes of a binary PGM file of the given image (values 0..255).
std::string pgmBytes(int aXSize, int aYSize, const std::vector<unsigned char>& aPixels);
// An image of the given size with values from a small private generator
// (never rand(): that sequence belongs to the clustering).
CMatrix<float> noisyImage(int aXSize, int aYSize, unsigned aSeed, float aMean = 128.0f, float aSpread = 60.0f);

// Sets OMP_NUM_THREADS for the lifetime of the object (the denoisers read it
// at every call).
class CThreads {
public:
  explicit CThreads(int aCount);
  ~CThreads();
  CThreads(const CThreads&) = delete;
  CThreads& operator=(const CThreads&) = delete;

private:
  std::string mOld;
  bool mHadOld = false;
};

struct CRun {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};
// Runs a program with arguments (no shell), waiting for it to end.
CRun run(const std::vector<std::string>& aCommand, const std::vector<std::string>& aEnvironment = {});

// Side of a large test image: aSide in an ordinary build, aSanitizedSide in a
// sanitized one, which runs several times slower (the same code paths on
// fewer pixels).
constexpr int largeSide(int aSide, int aSanitizedSide) {
#ifdef TEXTURE_SANITIZED
  (void)aSide;
  return aSanitizedSide;
#else
  (void)aSanitizedSide;
  return aSide;
#endif
}

// Paths handed over by the build.
std::string binaryPath(const std::string& aProgram);
std::string sourceDataPath(const std::string& aRelative);

}  // namespace TestSupport

// The bodies of the fuzz targets. Each libFuzzer program calls one of them;
// the regression test replays the seed corpus and every input that once broke
// a target through the same functions, so a finding stays fixed.
//
// A target returns normally for any input the program handles soundly
// (refused inputs included) and aborts, after a line on standard error, when
// a check fails; memory and undefined-behaviour errors are left to the
// sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CNLMeans;
template <typename T>
class CMatrix;

namespace FuzzTargets {

// The PGM reader on arbitrary file contents, read once from a regular file
// and once from a pipe: both must give the same image or the same refusal;
// a refused read leaves the matrix unchanged; an accepted image writes and
// reads back unchanged, and never has more pixels than the file has bytes.
void pgmReader(const std::uint8_t* aData, std::size_t aSize);

// The program's path on a tiny image: the first byte picks a row of
// denoisingMethods(), the rest is the PGM file. Read, denoise, check the
// result (same size, finite, within the input's range where the row says
// so), write it to a file and read it back.
void denoisingPath(const std::uint8_t* aData, std::size_t aSize);

// One way of denoising that the driver target exercises.
struct CDenoisingMethod {
  const char* name;
  int patchRadius;
  const char* sigma;   // as typed on a command line
  const char* window;  // search window as typed on a command line; nullptr: none given
  // Runs the method on (input, result, sigma); the object's patchRadius and
  // searchRadius are already set from the row.
  void (*run)(CNLMeans& aNLMeans, CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, bool aWindowGiven);
  // Every result pixel is a weighted mean of input pixels.
  bool staysInInputRange;
};
const std::vector<CDenoisingMethod>& denoisingMethods();

// Images above this many pixels, or with a side above kMaxDenoisedSide, are
// only read and written, not denoised, to keep every run short (the methods
// loop over rows even where there are no columns: 0 x 2147483647 takes
// seconds).
constexpr int kMaxDenoisedPixels = 576;
constexpr int kMaxDenoisedSide = 1024;

// Sends the library's diagnostics (exception messages) nowhere: a fuzzer
// makes millions of them.
void silenceDiagnostics();

}  // namespace FuzzTargets

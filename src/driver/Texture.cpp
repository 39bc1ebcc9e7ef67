// texture: denoises an 8-bit greyscale binary PGM image with cluster-tree
// non-local means and writes the result beside the input.
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "CMatrix.h"
#include "CNLMeans.h"
#include "CommandLine.h"
#include "Exceptions.h"

namespace {

const char* const kUsage =
    "usage: texture INPUT.pgm SIGMA [WINDOW]\n"
    "\n"
    "Denoises an 8-bit greyscale binary PGM image (magic P5) by non-local means\n"
    "and writes the result beside the input, named after it with \"Result.pgm\"\n"
    "in place of its extension (photo.pgm gives photoResult.pgm). Prints the\n"
    "processor time the work took.\n"
    "\n"
    "  INPUT.pgm  the noisy image\n"
    "  SIGMA      standard deviation of the noise in grey levels (0..255 scale);\n"
    "             must be a finite number other than 0\n"
    "  WINDOW     search window size in pixels: block-wise (local) denoising\n"
    "             with search radius WINDOW/2 + 1 when that radius is below half\n"
    "             the width and half the height; otherwise, and without WINDOW,\n"
    "             one cluster tree over the whole image (global)\n"
    "\n"
    "Exit status: 0 done, 1 input unreadable or malformed, output not written\n"
    "or out of memory (no output file is left behind), 2 bad arguments.\n";

int run(int aArgc, char** aArgv) {
  float sigma = 0.0f;
  std::string error;
  if (!CommandLine::parseSigma(aArgv[2], sigma, error)) {
    std::cerr << "texture: " << error << std::endl;
    return CommandLine::kExitUsage;
  }

  CNLMeans nlMeans;
  nlMeans.patchRadius = 4;
  const bool windowGiven = aArgc > 3;
  if (windowGiven) nlMeans.searchRadius = CommandLine::searchRadiusFromWindow(aArgv[3]);

  CMatrix<float> input;
  input.readFromPGM(aArgv[1]);
  CMatrix<float> result(input);

  const std::clock_t start = std::clock();
  // An image without pixels has nothing to denoise, but the methods would
  // still walk every row of it: 2^31 - 1 of them for a 0-column image.
  if (input.size() == 0) {
  } else if (CommandLine::useLocalMode(windowGiven, nlMeans.searchRadius, input.xSize(), input.ySize())) {
    nlMeans.clusterTreeLocal(input, result, sigma, 0.0f);
  } else {
    nlMeans.clusterTreeGlobal(input, result, sigma, 0.0f);
  }
  result.writeToPGM(CommandLine::outputName(aArgv[1]).c_str());
  const std::clock_t end = std::clock();

  std::cout << "Finished. This took " << CommandLine::elapsedSeconds(start, end) << "sec" << std::endl;
  return CommandLine::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine::reportFileSizeLimitAsWriteError();
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::cout << kUsage;
    return CommandLine::kExitSuccess;
  }
  if (argc < 3) {
    std::cerr << kUsage;
    return CommandLine::kExitUsage;
  }
  // The exception types write their own message when they are made.
  try {
    return run(argc, argv);
  } catch (const EInvalidFileFormat&) {
  } catch (const EIncompatibleMatrices&) {
  } catch (const ENonquadraticMatrix&) {
  } catch (const EFileError&) {
  } catch (const std::bad_alloc&) {
    std::cerr << "texture: out of memory" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "texture: " << e.what() << std::endl;
  }
  return CommandLine::kExitFailure;
}

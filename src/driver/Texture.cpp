// texture: denoises an 8-bit greyscale binary PGM image with cluster-tree
// non-local means and writes the result beside the input.
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

#include "CMatrix.h"
#include "CNLMeans.h"
#include "CommandLine.h"
#include "ProgressLine.h"

namespace {

const char* const kUsage =
    "usage: texture INPUT.pgm SIGMA [WINDOW]\n"
    "       texture --help | --version\n"
    "\n"
    "Denoises an 8-bit greyscale binary PGM image (magic P5) by non-local means\n"
    "and writes the result beside the input, named after it with \"Result.pgm\"\n"
    "in place of its extension (photo.pgm gives photoResult.pgm, scan gives\n"
    "scanResult.pgm). The file appears only once it is complete. Then prints\n"
    "the processor time of the work, all threads together, on standard output:\n"
    "\"Finished. This took 2.5sec\".\n"
    "\n"
    "  INPUT.pgm  the noisy image\n"
    "  SIGMA      noise level in grey levels (0..255 scale), no default: a\n"
    "             finite number other than 0 (only its square is used). A\n"
    "             candidate pixel weighs exp(-D / (2 SIGMA^2)), D the Gaussian-\n"
    "             weighted mean squared difference of the two 9 x 9 patches,\n"
    "             which smooths strongly at the true noise level. Rule of thumb:\n"
    "             give about half the noise's standard deviation. Measured with\n"
    "             noise of 10, 20 and 30, the best PSNR lay at 0.4 to 0.5 times\n"
    "             the true level in both modes, 0.4 to 1.3 dB above the PSNR at\n"
    "             the true level.\n"
    "  WINDOW     search window size in pixels, optional (a text without a\n"
    "             leading number counts as 0). Its search radius WINDOW/2 + 1\n"
    "             below half the width and half the height: local mode, the\n"
    "             image denoised in overlapping blocks of 2 (radius + 4) + 1\n"
    "             pixels, each with its own cluster tree. Otherwise, and without\n"
    "             WINDOW (the default): global mode, one cluster tree over the\n"
    "             whole image. Further arguments are ignored.\n"
    "\n"
    "  -h, --help  print this text (alone)\n"
    "  --version   print the version (alone)\n"
    "\n"
    "All processors are used; OMP_NUM_THREADS=N limits the threads, and\n"
    "OMP_WAIT_POLICY=PASSIVE lets idle threads sleep at once. The result\n"
    "does not depend on their number. When standard error is a terminal, a run\n"
    "of more than a second shows its progress there on one line, cleared before\n"
    "the time line; otherwise only the time line and error messages appear.\n"
    "\n"
    "Exit status: 0 the result was written; 1 the input unreadable or\n"
    "malformed, the result not written, or memory exhausted (no output file is\n"
    "left behind); 2 bad arguments (fewer than two, or an unusable SIGMA).\n";

int run(int aArgc, char** aArgv) {
  float sigma = 0.0f;
  std::string error;
  if (!CommandLine::parseSigma(aArgv[2], sigma, error)) {
    std::cerr << "texture: " << error << std::endl;
    return CommandLine::kExitUsage;
  }

  // Outlives the denoiser, whose hook draws on it.
  CProgressLine progressLine(CProgressLine::shouldShow());
  CNLMeans nlMeans;
  nlMeans.patchRadius = 4;
  const bool windowGiven = aArgc > 3;
  if (windowGiven) nlMeans.searchRadius = CommandLine::searchRadiusFromWindow(aArgv[3]);
  if (progressLine.showing()) nlMeans.progress = progressLine.hook();

  progressLine.update("reading", -1.0);
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
  progressLine.update("writing", -1.0);
  result.writeToPGM(CommandLine::outputName(aArgv[1]).c_str());
  const std::clock_t end = std::clock();

  progressLine.clear();
  std::cout << CommandLine::timeLine(start, end) << std::endl;
  return CommandLine::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine::reportFileSizeLimitAsWriteError();
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::cout << kUsage;
    return CommandLine::kExitSuccess;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "texture (texture) " TEXTURE_VERSION << std::endl;
    return CommandLine::kExitSuccess;
  }
  if (argc < 3) {
    std::cerr << kUsage;
    return CommandLine::kExitUsage;
  }
  return CommandLine::runReportingFailures("texture", [&] { return run(argc, argv); });
}

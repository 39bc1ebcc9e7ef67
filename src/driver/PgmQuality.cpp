// pgmquality: PSNR and SSIM of a denoised 8-bit PGM image against its clean
// original, and seeded Gaussian noise for making test images.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "CMatrix.h"
#include "CommandLine.h"
#include "Quality.h"

namespace {

const char* const kUsage =
    "usage: pgmquality CLEAN.pgm TEST.pgm\n"
    "       pgmquality --add-noise SIGMA [--seed N] IN.pgm OUT.pgm\n"
    "\n"
    "The first form prints two lines about TEST.pgm against CLEAN.pgm (both\n"
    "8-bit binary PGM images of the same size):\n"
    "  PSNR <decibels> dB   10 log10(255^2 / mean squared difference); \"inf\"\n"
    "                       for identical images\n"
    "  SSIM <index>         structural similarity (Wang et al. 2004): 11 x 11\n"
    "                       Gaussian window of standard deviation 1.5,\n"
    "                       K1 = 0.01, K2 = 0.03, L = 255, mean over the window\n"
    "                       positions inside the image (at least 11 x 11 pixels)\n"
    "\n"
    "The second form adds Gaussian noise of standard deviation SIGMA (grey\n"
    "levels, 0 or more) to IN.pgm, rounds to the nearest integer, clips to\n"
    "0..255 and writes OUT.pgm. The noise comes from a Mersenne Twister\n"
    "seeded with N (0..4294967295, default 1): the same seed gives the same\n"
    "image.\n"
    "\n"
    "  -h, --help   print this text\n"
    "  --version    print the version\n"
    "\n"
    "Exit status: 0 done, 1 an image unreadable or malformed, the images of\n"
    "different sizes or too small, or the output not written, 2 bad arguments.\n";

struct CUsageError {
  std::string message;
};

double noiseLevel(const std::string& aText) {
  char* end = nullptr;
  const double value = std::strtod(aText.c_str(), &end);
  if (aText.empty() || *end != '\0' || !std::isfinite(value) || value < 0.0)
    throw CUsageError{"--add-noise '" + aText + "' is not a number of 0 or more"};
  return value;
}

std::uint32_t seedValue(const std::string& aText) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(aText.c_str(), &end, 10);
  if (aText.empty() || aText[0] == '-' || *end != '\0' || errno == ERANGE || value > 4294967295ull)
    throw CUsageError{"--seed '" + aText + "' is not a whole number in 0..4294967295"};
  return static_cast<std::uint32_t>(value);
}

int compare(const std::string& aClean, const std::string& aTest) {
  CMatrix<float> clean, test;
  clean.readFromPGM(aClean.c_str());
  test.readFromPGM(aTest.c_str());
  const double psnr = NQuality::psnr(clean, test);
  const double ssim = NQuality::ssim(clean, test);
  std::cout << "PSNR " << NQuality::format(psnr, 4) << " dB\n"
            << "SSIM " << NQuality::format(ssim, 6) << std::endl;
  return CommandLine::kExitSuccess;
}

int addNoise(double aSigma, std::uint32_t aSeed, const std::string& aIn, const std::string& aOut) {
  CMatrix<float> image;
  image.readFromPGM(aIn.c_str());
  NQuality::addGaussianNoise(image, aSigma, aSeed);
  image.writeToPGM(aOut.c_str());
  return CommandLine::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  bool noise = false;
  double sigma = 0.0;
  std::uint32_t seed = 1;
  bool seedGiven = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string argument = argv[i];
      if (argument == "-h" || argument == "--help") {
        std::cout << kUsage;
        return CommandLine::kExitSuccess;
      }
      if (argument == "--version") {
        std::cout << "pgmquality (texture) " TEXTURE_VERSION << std::endl;
        return CommandLine::kExitSuccess;
      }
      if (argument == "--add-noise" || argument == "--seed") {
        if (i + 1 >= argc) throw CUsageError{argument + " needs a value"};
        const std::string value = argv[++i];
        if (argument == "--add-noise") {
          noise = true;
          sigma = noiseLevel(value);
        } else {
          seedGiven = true;
          seed = seedValue(value);
        }
      } else if (argument.size() > 1 && argument[0] == '-') {
        throw CUsageError{"unknown option '" + argument + "' (see pgmquality --help)"};
      } else {
        files.push_back(argument);
      }
    }
    if (seedGiven && !noise) throw CUsageError{"--seed goes with --add-noise"};
    if (files.size() != 2) {
      std::cerr << kUsage;
      return CommandLine::kExitUsage;
    }
  } catch (const CUsageError& e) {
    std::cerr << "pgmquality: " << e.message << std::endl;
    return CommandLine::kExitUsage;
  }
  return CommandLine::runReportingFailures("pgmquality", [&] {
    return noise ? addNoise(sigma, seed, files[0], files[1]) : compare(files[0], files[1]);
  });
}

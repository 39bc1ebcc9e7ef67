#include "CommandLine.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>

namespace CommandLine {

bool parseSigma(const char* aText, float& aSigma, std::string& aError) {
  char* end = nullptr;
  const double value = std::strtod(aText, &end);
  if (end == aText) {
    aError = "sigma '" + std::string(aText) + "' is not a number";
    return false;
  }
  const float sigma = static_cast<float>(value);
  if (!std::isfinite(sigma)) {
    aError = "sigma '" + std::string(aText) + "' is not a finite single-precision number";
    return false;
  }
  if (sigma == 0.0f) {
    aError = "sigma must not be 0";
    return false;
  }
  if (!std::isfinite(-0.5f / (sigma * sigma))) {
    aError = "sigma '" + std::string(aText) + "' is too small (its square underflows)";
    return false;
  }
  aSigma = sigma;
  return true;
}

int searchRadiusFromWindow(const char* aText) {
  // Truncation to 32 bits keeps the low bits, as the conversion to int does on this platform.
  const int window = static_cast<int>(static_cast<unsigned long>(std::strtol(aText, nullptr, 10)));
  return window / 2 + 1;
}

bool useLocalMode(bool aWindowGiven, int aSearchRadius, int aXSize, int aYSize) {
  return aWindowGiven && aSearchRadius < aXSize / 2 && aSearchRadius < aYSize / 2;
}

std::string outputName(const std::string& aInput) {
  const std::size_t slash = aInput.rfind('/');
  const std::size_t fileStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = aInput.rfind('.');
  const std::size_t cut = (dot == std::string::npos || dot < fileStart) ? aInput.size() : dot;
  return aInput.substr(0, cut) + "Result.pgm";
}

double elapsedSeconds(long aStart, long aEnd) {
  return static_cast<double>(static_cast<float>(aEnd) - static_cast<float>(aStart)) /
         static_cast<double>(CLOCKS_PER_SEC);
}

void reportFileSizeLimitAsWriteError() { std::signal(SIGXFSZ, SIG_IGN); }

}  // namespace CommandLine

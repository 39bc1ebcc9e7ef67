#include "CommandLine.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <new>
#include <sstream>

#include "Exceptions.h"

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

std::string timeLine(long aStart, long aEnd) {
  std::ostringstream line;
  line << "Finished. This took " << elapsedSeconds(aStart, aEnd) << "sec";
  return line.str();
}

int runReportingFailures(const char* aProgram, const std::function<int()>& aRun) {
  // The exception types write their own message when they are made.
  try {
    return aRun();
  } catch (const EInvalidFileFormat&) {
  } catch (const EIncompatibleMatrices&) {
  } catch (const ENonquadraticMatrix&) {
  } catch (const EFileError&) {
  } catch (const std::bad_alloc&) {
    std::cerr << aProgram << ": out of memory" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << aProgram << ": " << e.what() << std::endl;
  }
  return kExitFailure;
}

void reportFileSizeLimitAsWriteError() { std::signal(SIGXFSZ, SIG_IGN); }

}  // namespace CommandLine

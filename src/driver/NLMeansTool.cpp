// nlmeans: runs any denoising method of CNLMeans on an 8-bit greyscale
// binary PGM image and writes the result where it is told.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "CMatrix.h"
#include "CNLMeans.h"
#include "CommandLine.h"
#include "ProgressLine.h"

namespace {

const char* const kUsage =
    "usage: nlmeans METHOD INPUT.pgm OUTPUT.pgm --sigma S [options]\n"
    "\n"
    "Denoises an 8-bit greyscale binary PGM image (magic P5) with one of the\n"
    "non-local means methods and writes the result to OUTPUT.pgm (a device such\n"
    "as /dev/stdout is written directly). Prints the processor time the work\n"
    "took (all threads), on standard error when the image goes to standard\n"
    "output.\n"
    "\n"
    "Methods:\n"
    "  tree-global   one cluster tree over the whole image (texture without WINDOW)\n"
    "  tree-local    a cluster tree per overlapping block (texture with WINDOW)\n"
    "  standard      every pixel of the search window\n"
    "  preselection  standard without candidates of unlike patch mean or spread\n"
    "  gridding      the weights of each tile's centre serve the whole tile\n"
    "  sampling      candidates drawn at random around each pixel\n"
    "  sorting       plain mean of the best-matching candidates\n"
    "  graph         graph of each pixel's best matches, then diffusion steps\n"
    "\n"
    "Options (--name VALUE; those a method does not read are checked, then ignored):\n"
    "  --sigma S          noise standard deviation in grey levels (required):\n"
    "                     a finite number other than 0 (tree methods: about\n"
    "                     half the true level gives the best PSNR)\n"
    "  --patch-radius r   patches of (2r+1) x (2r+1) pixels, 1..20\n"
    "                     (default 4 for the tree methods, 3 for the others)\n"
    "  --search-radius R  search window of (2R+1) x (2R+1) pixels, 0..1000\n"
    "                     (default 10; sampling needs 1 or more, graph 2 or more;\n"
    "                     tree-local: blocks of 2(r+R)+1 pixels; not tree-global)\n"
    "  --filter-factor f  kernel width f * sigma, above 0 (default 0.5, graph 1.0;\n"
    "                     standard, preselection, gridding, sampling, graph)\n"
    "  --overlap m        overlap margin of the cluster tree, 0 or more\n"
    "                     (default 0; tree methods)\n"
    "  --grid a           tiles of (2a+1) x (2a+1) pixels, 0..100 (default 1; gridding)\n"
    "  --samples n        candidates drawn per pixel, 1..(2R)^2-1\n"
    "                     (default 100, or (2R)^2-1 when smaller; sampling)\n"
    "  --best n           candidates averaged per pixel, 1 or more (default 20; sorting)\n"
    "  --steps n          diffusion steps, 0..100000\n"
    "                     (default 6 linear, 100 tv; graph)\n"
    "  --step-kind k      linear or tv (total variation) (default linear; graph)\n"
    "  -h, --help         print this text\n"
    "  --version          print the version\n"
    "\n"
    "All processors are used; OMP_NUM_THREADS=N limits the threads, and\n"
    "OMP_WAIT_POLICY=PASSIVE lets idle threads sleep at once. The result\n"
    "does not depend on the number of threads. When standard error is a\n"
    "terminal, a run of more than a second shows its progress there on one\n"
    "line, cleared before the time line.\n"
    "\n"
    "Exit status: 0 done, 1 input unreadable or malformed, output not written\n"
    "or out of memory (no output file is left behind), 2 bad arguments.\n";

enum class EMethod { TreeGlobal, TreeLocal, Standard, Preselection, Gridding, Sampling, Sorting, Graph };

const std::vector<std::pair<std::string, EMethod>> kMethods = {
    {"tree-global", EMethod::TreeGlobal}, {"tree-local", EMethod::TreeLocal},
    {"standard", EMethod::Standard},      {"preselection", EMethod::Preselection},
    {"gridding", EMethod::Gridding},      {"sampling", EMethod::Sampling},
    {"sorting", EMethod::Sorting},        {"graph", EMethod::Graph}};

const char* const kOptionNames[] = {"--sigma", "--patch-radius", "--search-radius", "--filter-factor", "--overlap",
                                    "--grid",  "--samples",      "--best",          "--steps",         "--step-kind"};

struct CSettings {
  EMethod method = EMethod::Standard;
  std::string input;
  std::string output;
  float sigma = 0.0f;
  int patchRadius = 3;
  int searchRadius = 10;
  float filterFactor = 0.5f;
  float overlap = 0.0f;
  int grid = 1;
  int samples = 100;
  int best = 20;
  int steps = 6;
  bool totalVariation = false;
};

// An argument error: its message, reported as "nlmeans: MESSAGE".
struct CUsageError {
  std::string message;
};

[[noreturn]] void refuse(const std::string& aMessage) { throw CUsageError{aMessage}; }

// A whole decimal number in [aLow, aHigh]; nothing may follow it.
int integerOption(const std::string& aName, const std::string& aText, long aLow, long aHigh) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(aText.c_str(), &end, 10);
  if (aText.empty() || *end != '\0') refuse(aName + " '" + aText + "' is not a whole number");
  if (errno == ERANGE || value < aLow || value > aHigh)
    refuse(aName + " " + aText + " is out of range (" + std::to_string(aLow) + ".." + std::to_string(aHigh) + ")");
  return static_cast<int>(value);
}

// A finite number (as a float); nothing may follow it.
float numberOption(const std::string& aName, const std::string& aText) {
  char* end = nullptr;
  const double value = std::strtod(aText.c_str(), &end);
  if (aText.empty() || *end != '\0') refuse(aName + " '" + aText + "' is not a number");
  const float narrowed = static_cast<float>(value);
  if (!std::isfinite(narrowed)) refuse(aName + " " + aText + " is not a finite single-precision number");
  return narrowed;
}

bool usesTree(EMethod aMethod) { return aMethod == EMethod::TreeGlobal || aMethod == EMethod::TreeLocal; }

std::string methodList() {
  std::string list;
  for (const auto& entry : kMethods) list += (list.empty() ? "" : ", ") + entry.first;
  return list;
}

enum class EAction { Run, Help, Version };

// Reads the arguments into aSettings; throws CUsageError for unusable ones.
EAction parseArguments(int aArgc, char** aArgv, CSettings& aSettings) {
  std::vector<std::string> positional;
  std::map<std::string, std::string> given;
  for (int i = 1; i < aArgc; ++i) {
    const std::string argument = aArgv[i];
    if (argument == "-h" || argument == "--help") return EAction::Help;
    if (argument == "--version") return EAction::Version;
    if (argument.size() < 2 || argument[0] != '-') {
      positional.push_back(argument);
      continue;
    }
    bool known = false;
    for (const char* name : kOptionNames) known = known || argument == name;
    if (!known) refuse("unknown option '" + argument + "' (see nlmeans --help)");
    if (i + 1 >= aArgc) refuse(argument + " needs a value");
    given[argument] = aArgv[++i];
  }
  if (positional.size() < 3) refuse("expected METHOD INPUT.pgm OUTPUT.pgm (see nlmeans --help)");
  if (positional.size() > 3) refuse("unexpected argument '" + positional[3] + "'");

  const auto method = std::find_if(kMethods.begin(), kMethods.end(),
                                   [&](const std::pair<std::string, EMethod>& m) { return m.first == positional[0]; });
  if (method == kMethods.end()) refuse("unknown method '" + positional[0] + "' (one of " + methodList() + ")");
  CSettings& s = aSettings;
  s.method = method->second;
  s.input = positional[1];
  s.output = positional[2];
  const auto has = [&](const char* aName) { return given.count(aName) > 0; };

  if (!has("--sigma")) refuse("--sigma is required");
  std::string error;
  if (!CommandLine::parseSigma(given["--sigma"].c_str(), s.sigma, error)) refuse(error);

  s.patchRadius = usesTree(s.method) ? 4 : 3;
  if (has("--patch-radius")) s.patchRadius = integerOption("--patch-radius", given["--patch-radius"], 1, 20);
  if (has("--search-radius")) s.searchRadius = integerOption("--search-radius", given["--search-radius"], 0, 1000);
  if (s.method == EMethod::Sampling && s.searchRadius < 1)
    refuse("sampling needs --search-radius 1 or more (its offsets lie in [-R, R-1])");
  if (s.method == EMethod::Graph && s.searchRadius < 2)
    refuse("graph needs --search-radius 2 or more (every pixel needs five candidates)");

  s.filterFactor = s.method == EMethod::Graph ? 1.0f : 0.5f;
  if (has("--filter-factor")) {
    s.filterFactor = numberOption("--filter-factor", given["--filter-factor"]);
    if (!(s.filterFactor > 0.0f)) refuse("--filter-factor " + given["--filter-factor"] + " must be above 0");
  }
  // Every pair of patches is weighed with expf(k * D); a kernel width that
  // rounds to 0 makes k infinite, and identical patches would weigh 0/0.
  if (!std::isfinite(-0.5f / (s.filterFactor * (s.sigma * s.sigma * s.filterFactor))))
    refuse("--filter-factor " + given["--filter-factor"] + " with sigma " + given["--sigma"] +
           " gives a kernel width of 0");

  if (has("--overlap")) {
    s.overlap = numberOption("--overlap", given["--overlap"]);
    if (s.overlap < 0.0f) refuse("--overlap " + given["--overlap"] + " must not be negative");
    s.overlap += 0.0f;  // -0 is 0
  }
  if (has("--grid")) s.grid = integerOption("--grid", given["--grid"], 0, 100);

  // Offsets of sampling lie in [-R, R - 1]^2, the pixel itself excluded.
  const long samplePositions = 4L * s.searchRadius * s.searchRadius - 1;
  if (has("--samples")) {
    const long most = s.method == EMethod::Sampling ? samplePositions : INT_MAX;
    s.samples = integerOption("--samples", given["--samples"], 1, most);
  } else if (s.method == EMethod::Sampling && samplePositions < s.samples) {
    s.samples = static_cast<int>(samplePositions);
  }
  if (has("--best")) s.best = integerOption("--best", given["--best"], 1, INT_MAX);

  if (has("--step-kind")) {
    const std::string& kind = given["--step-kind"];
    if (kind != "linear" && kind != "tv") refuse("--step-kind '" + kind + "' is not linear or tv");
    s.totalVariation = kind == "tv";
  }
  s.steps = s.totalVariation ? 100 : 6;
  if (has("--steps")) s.steps = integerOption("--steps", given["--steps"], 0, 100000);
  return EAction::Run;
}

void denoise(CSettings& aSettings, CMatrix<float>& aInput, CMatrix<float>& aResult, CProgressLine& aProgress) {
  CNLMeans nlMeans;
  if (aProgress.showing()) nlMeans.progress = aProgress.hook();
  nlMeans.patchRadius = aSettings.patchRadius;
  nlMeans.searchRadius = aSettings.searchRadius;
  nlMeans.filterFactor = aSettings.filterFactor;
  const float sigma = aSettings.sigma;
  switch (aSettings.method) {
    case EMethod::TreeGlobal: nlMeans.clusterTreeGlobal(aInput, aResult, sigma, aSettings.overlap); break;
    case EMethod::TreeLocal: nlMeans.clusterTreeLocal(aInput, aResult, sigma, aSettings.overlap); break;
    case EMethod::Standard: nlMeans.standardNLMeans(aInput, aResult, sigma); break;
    case EMethod::Preselection: nlMeans.preselection(aInput, aResult, sigma); break;
    case EMethod::Gridding: nlMeans.gridding(aInput, aResult, sigma, aSettings.grid); break;
    case EMethod::Sampling: nlMeans.sampling(aInput, aResult, sigma, aSettings.samples); break;
    case EMethod::Sorting: nlMeans.sortingCriterion(aInput, aResult, aSettings.best); break;
    case EMethod::Graph:
      nlMeans.gilboaOsherBuildWeights(aInput, sigma);
      for (int step = 0; step < aSettings.steps; ++step) {
        aProgress.update("denoising", static_cast<double>(step) / aSettings.steps);
        if (aSettings.totalVariation)
          nlMeans.gilboaOsherFilterTV(aResult);
        else
          nlMeans.gilboaOsherFilter(aResult);
      }
      break;
  }
}

// True when aPath names the file that standard output writes to, so that the
// time line must not be mixed into the image.
bool isStandardOutput(const std::string& aPath) {
  struct stat target, out;
  return ::stat(aPath.c_str(), &target) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && target.st_dev == out.st_dev &&
         target.st_ino == out.st_ino;
}

int run(CSettings& aSettings) {
  CProgressLine progressLine(CProgressLine::shouldShow());
  progressLine.update("reading", -1.0);
  CMatrix<float> input;
  input.readFromPGM(aSettings.input.c_str());
  CMatrix<float> result(input);
  const bool imageOnStandardOutput = isStandardOutput(aSettings.output);

  const std::clock_t start = std::clock();
  denoise(aSettings, input, result, progressLine);
  progressLine.update("writing", -1.0);
  result.writeToPGM(aSettings.output.c_str());
  const std::clock_t end = std::clock();

  progressLine.clear();
  (imageOnStandardOutput ? std::cerr : std::cout) << CommandLine::timeLine(start, end) << std::endl;
  return CommandLine::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine::reportFileSizeLimitAsWriteError();
  if (argc < 2) {
    std::cerr << kUsage;
    return CommandLine::kExitUsage;
  }
  CSettings settings;
  try {
    switch (parseArguments(argc, argv, settings)) {
      case EAction::Help: std::cout << kUsage; return CommandLine::kExitSuccess;
      case EAction::Version:
        std::cout << "nlmeans (texture) " TEXTURE_VERSION << std::endl;
        return CommandLine::kExitSuccess;
      case EAction::Run: break;
    }
  } catch (const CUsageError& e) {
    std::cerr << "nlmeans: " << e.message << std::endl;
    return CommandLine::kExitUsage;
  }
  return CommandLine::runReportingFailures("nlmeans", [&] { return run(settings); });
}

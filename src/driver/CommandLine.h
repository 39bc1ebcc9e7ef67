// Command-line conventions shared by the programs: argument conversion, the
// choice between global and local denoising, and the output file name.
#pragma once

#include <functional>
#include <string>

namespace CommandLine {

// Exit statuses of the programs.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // unreadable or malformed input, failed write, out of memory
constexpr int kExitUsage = 2;    // missing or unusable arguments

// Noise level from its text: the leading numeric part, as strtod reads it,
// narrowed to float. Returns false, with the reason in aError, when the text
// holds no number or the value is 0, not finite, or so small that the weight
// kernel -0.5 / sigma^2 is not finite. Negative values are accepted (only the
// square is used).
bool parseSigma(const char* aText, float& aSigma, std::string& aError);

// The search radius that a window size argument gives: strtol's leading
// number (0 when there is none) truncated to int, halved toward zero, plus 1.
// "21" gives 11, "20" 11, "1" 1, "0" or "abc" 1, "-5" -1.
int searchRadiusFromWindow(const char* aText);

// Local (block-wise) denoising is used when a window was given and its search
// radius is below half the width and below half the height (integer halves).
bool useLocalMode(bool aWindowGiven, int aSearchRadius, int aXSize, int aYSize);

// The result file's name: the input's name with everything from the last "."
// of its file name (after the last "/") replaced by "Result.pgm", or with
// "Result.pgm" appended when the file name has no ".".
std::string outputName(const std::string& aInput);

// Processor seconds between two clock() readings, as the time line reports them.
double elapsedSeconds(long aStart, long aEnd);

// The time line of a run between two clock() readings, without the end of
// line: "Finished. This took 2.5sec".
std::string timeLine(long aStart, long aEnd);

// Runs aRun and returns its status. The exception types of the containers,
// which have written their message when they were made, a failed allocation
// and any other standard exception end the run with kExitFailure (the latter
// two with a line "PROGRAM: reason" on standard error).
int runReportingFailures(const char* aProgram, const std::function<int()>& aRun);

// Makes a write beyond the process's file size limit fail with an error, as
// a full disk does, instead of killing the process half way through (which
// would leave a temporary file behind). Call once at the start of main.
void reportFileSizeLimitAsWriteError();

}  // namespace CommandLine

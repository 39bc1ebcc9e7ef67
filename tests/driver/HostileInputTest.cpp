// Hostile and degenerate inputs, run as real processes: the one table of
// what the programs do with bad files, unwritable targets and bad arguments.
// Every row gives the exit status and the exact standard error; a failing run
// must leave its folder as it found it (no output, no temporary file), a
// successful one must add exactly its output file.
//
// A row names its program, so another program's rows are one line each.
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using TestSupport::CTempDir;

// What is prepared beside the input before the run.
enum class Setup {
  kNone,
  kUnreadableInput,  // the input's mode is 000 (skipped where that does not stop reading, as for root)
  kReadOnlyFolder,   // the folder's mode is 555 (skipped where that does not stop writing, as for root)
  kOutputIsFolder,   // a folder already has the output's name
  kOutputIsDevFull,  // the output's name is a link to /dev/full: every write fails with "no space"
  kFileSizeLimit,    // the program runs with a file size limit of 512 bytes (a disk that fills up)
  kInputOpenAsFd,    // the input stays open in the test as {fd}, a name in /proc/self/fd where nothing can be created
  kCpuLimit,         // the program runs with a limit of 1 s of processor time (instead of taking seconds)
};

struct CHostileRun {
  const char* name;
  const char* program;
  // Contents of {dir}/in.pgm, by fixture name (see fixtures()).
  const char* input;
  // {in}: {dir}/in.pgm; {dir}: the run's folder; {fd}: /proc/self/fd/N of the open input.
  std::vector<std::string> arguments;
  Setup setup;
  int status;
  // Standard error, exactly (after the same replacements); status 0 wants it empty.
  const char* message;
  // Where the program writes its result, for the setups that block it and the
  // check of a successful run.
  const char* output;
};

const char* const kNotPgm = "Exception EInvalidFileFormat: File is not in PGM format\n";

// Files the rows read as {dir}/in.pgm. "folder" makes a folder of that name,
// "missing" makes nothing.
const std::map<std::string, std::string>& fixtures() {
  static const std::map<std::string, std::string> files = [] {
    std::map<std::string, std::string> f;
    const auto image = [](int aXSize, int aYSize) {
      const CMatrix<float> noisy = TestSupport::noisyImage(aXSize, aYSize, 11);
      return std::vector<unsigned char>(noisy.data(), noisy.data() + noisy.size());
    };
    const std::vector<unsigned char> small = image(24, 20);
    const std::string raster(small.begin(), small.end());
    f["valid"] = TestSupport::pgmBytes(24, 20, small);
    f["valid_40x30"] = TestSupport::pgmBytes(40, 30, image(40, 30));
    f["empty"] = "";
    f["only_magic"] = "P5";
    f["p2"] = "P2\n2 2\n255\n1 2 3 4\n";
    f["p6"] = "P6\n1 1\n255\n\x01\x02\x03";
    f["png"] = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x18\0\0\0\x14\x08\0\0\0\0", 29);
    f["jpeg"] = std::string("\xff\xd8\xff\xe0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 20);
    f["negative_width"] = "P5\n-24 20\n255\n" + raster;
    f["negative_height"] = "P5\n24 -20\n255\n" + raster;
    f["overflowing_width"] = "P5\n99999999999 20\n255\n" + raster;
    f["overflowing_height"] = "P5\n24 4294967296\n255\n" + raster;
    f["beyond_2_31_pixels"] = "P5\n65536 32768\n255\n" + raster;
    f["huge_declared"] = "P5\n40000 40000\n255\n" + raster;
    f["max_grey_0"] = "P5\n24 20\n0\n" + raster;
    f["max_grey_256"] = "P5\n24 20\n256\n" + raster;
    f["max_grey_65535"] = "P5\n24 20\n65535\n" + raster + raster;
    f["raster_one_short"] = "P5\n24 20\n255\n" + raster.substr(1);
    f["trailing_bytes"] = "P5\n24 20\n255\n" + raster + "trailing bytes\n";
    f["no_columns_all_rows"] = "P5\n0 2147483647\n255\n";
    return f;
  }();
  return files;
}

const CHostileRun kRuns[] = {
    // Files that are not acceptable PGM images.
    {"EmptyFile", "texture", "empty", {"{in}", "20"}, Setup::kNone, 1, kNotPgm, ""},
    {"OnlyMagic", "texture", "only_magic", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: header ends before the width\n", ""},
    {"AsciiPgm", "texture", "p2", {"{in}", "20"}, Setup::kNone, 1, kNotPgm, ""},
    {"ColourPpm", "texture", "p6", {"{in}", "20"}, Setup::kNone, 1, kNotPgm, ""},
    {"Png", "texture", "png", {"{in}", "20"}, Setup::kNone, 1, kNotPgm, ""},
    {"Jpeg", "texture", "jpeg", {"{in}", "20"}, Setup::kNone, 1, kNotPgm, ""},
    {"NegativeWidth", "texture", "negative_width", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: the width is not a decimal number\n", ""},
    {"NegativeHeight", "texture", "negative_height", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: the height is not a decimal number\n", ""},
    {"OverflowingWidth", "texture", "overflowing_width", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: the width is too large\n", ""},
    {"OverflowingHeight", "texture", "overflowing_height", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: the height is too large\n", ""},
    {"Beyond2To31Pixels", "texture", "beyond_2_31_pixels", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: image of 65536 x 32768 pixels is too large (at most 2^31 - 1 pixels)\n", ""},
    {"HugeDeclaredSize", "texture", "huge_declared", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: raster truncated (480 of 1600000000 bytes present)\n", ""},
    {"MaxGrey0", "texture", "max_grey_0", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: maximum grey value 0 (it must be 1 to 255)\n", ""},
    {"MaxGrey256", "texture", "max_grey_256", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: maximum grey value 256 (only 8-bit files, 1 to 255, are supported)\n", ""},
    {"MaxGrey65535", "texture", "max_grey_65535", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: maximum grey value 65535 (only 8-bit files, 1 to 255, are supported)\n", ""},
    {"RasterOneByteShort", "texture", "raster_one_short", {"{in}", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: raster truncated (479 of 480 bytes present)\n", ""},
    {"TrailingBytesAreIgnored", "texture", "trailing_bytes", {"{in}", "20"}, Setup::kNone, 0, "",
     "{dir}/inResult.pgm"},
    {"ZeroColumnsOfMaximalHeightTakeNoTime", "texture", "no_columns_all_rows", {"{in}", "20"}, Setup::kCpuLimit, 0,
     "", "{dir}/inResult.pgm"},
    {"ZeroColumnsOfMaximalHeightTakeNoTimeLocally", "texture", "no_columns_all_rows", {"{in}", "20", "-5"},
     Setup::kCpuLimit, 0, "", "{dir}/inResult.pgm"},

    // Inputs that cannot be read.
    {"MissingFile", "texture", "missing", {"{in}", "20"}, Setup::kNone, 1, "File not found: {in}\n", ""},
    {"FolderAsInput", "texture", "folder", {"{in}", "20"}, Setup::kNone, 1, "Cannot read {in}: Is a directory\n", ""},
    {"UnreadableFile", "texture", "valid", {"{in}", "20"}, Setup::kUnreadableInput, 1,
     "Cannot open {in}: Permission denied\n", ""},
    {"ReadError", "texture", "missing", {"/proc/self/mem", "20"}, Setup::kNone, 1,
     "Cannot read /proc/self/mem: Input/output error\n", ""},

    // Results that cannot be written.
    {"ReadOnlyFolder", "texture", "valid", {"{in}", "20"}, Setup::kReadOnlyFolder, 1,
     "Cannot write {dir}/inResult.pgm: Permission denied\n", "{dir}/inResult.pgm"},
    {"FolderWhereNothingCanBeCreated", "texture", "valid", {"{fd}", "20"}, Setup::kInputOpenAsFd, 1,
     "Cannot write {fd}Result.pgm: No such file or directory\n", ""},
    {"OutputNameIsAFolder", "texture", "valid", {"{in}", "20"}, Setup::kOutputIsFolder, 1,
     "Cannot write {dir}/inResult.pgm: Is a directory\n", "{dir}/inResult.pgm"},
    {"FullDisk", "texture", "valid", {"{in}", "20"}, Setup::kOutputIsDevFull, 1,
     "Cannot write {dir}/inResult.pgm: No space left on device\n", "{dir}/inResult.pgm"},
    {"FileSizeLimitIsAFailedWrite", "texture", "valid_40x30", {"{in}", "20"}, Setup::kFileSizeLimit, 1,
     "Cannot write {dir}/inResult.pgm: File too large\n", "{dir}/inResult.pgm"},

    // Sigma: a usable number or a usage error.
    {"SigmaNotANumber", "texture", "valid", {"{in}", "abc"}, Setup::kNone, 2,
     "texture: sigma 'abc' is not a number\n", ""},
    {"SigmaEmpty", "texture", "valid", {"{in}", ""}, Setup::kNone, 2, "texture: sigma '' is not a number\n", ""},
    {"SigmaZero", "texture", "valid", {"{in}", "0"}, Setup::kNone, 2, "texture: sigma must not be 0\n", ""},
    {"SigmaNegativeZero", "texture", "valid", {"{in}", "-0"}, Setup::kNone, 2, "texture: sigma must not be 0\n", ""},
    {"SigmaNan", "texture", "valid", {"{in}", "nan"}, Setup::kNone, 2,
     "texture: sigma 'nan' is not a finite single-precision number\n", ""},
    {"SigmaInf", "texture", "valid", {"{in}", "inf"}, Setup::kNone, 2,
     "texture: sigma 'inf' is not a finite single-precision number\n", ""},
    {"SigmaBeyondFloat", "texture", "valid", {"{in}", "1e39"}, Setup::kNone, 2,
     "texture: sigma '1e39' is not a finite single-precision number\n", ""},
    {"SigmaTiny", "texture", "valid", {"{in}", "1e-30"}, Setup::kNone, 2,
     "texture: sigma '1e-30' is too small (its square underflows)\n", ""},
    {"SigmaNegative", "texture", "valid", {"{in}", "-20"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},
    {"SigmaWithTrailingText", "texture", "valid", {"{in}", "20sigma"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},

    // Window: whatever strtol reads; none of these is an error.
    {"WindowNotANumber", "texture", "valid", {"{in}", "20", "abc"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},
    {"WindowNegative", "texture", "valid", {"{in}", "20", "-5"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},
    {"WindowZero", "texture", "valid", {"{in}", "20", "0"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},
    {"WindowOne", "texture", "valid", {"{in}", "20", "1"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},
    {"WindowHuge", "texture", "valid", {"{in}", "20", "100000"}, Setup::kNone, 0, "", "{dir}/inResult.pgm"},
    {"WindowBeyondLong", "texture", "valid", {"{in}", "20", "99999999999999999999"}, Setup::kNone, 0, "",
     "{dir}/inResult.pgm"},
    {"WindowMostNegativeInt", "texture", "valid", {"{in}", "20", "-2147483648"}, Setup::kNone, 0, "",
     "{dir}/inResult.pgm"},

    // nlmeans shares the reader, the writer and the number checks, and adds
    // its own method and option checks.
    {"EmptyFile", "nlmeans", "empty", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 1, kNotPgm,
     ""},
    {"OnlyMagic", "nlmeans", "only_magic", {"sorting", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: header ends before the width\n", ""},
    {"Png", "nlmeans", "png", {"gridding", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 1, kNotPgm, ""},
    {"Beyond2To31Pixels", "nlmeans", "beyond_2_31_pixels", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kNone, 1,
     "{in}: bad PGM file: image of 65536 x 32768 pixels is too large (at most 2^31 - 1 pixels)\n", ""},
    {"MaxGrey0", "nlmeans", "max_grey_0", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 1,
     "{in}: bad PGM file: maximum grey value 0 (it must be 1 to 255)\n", ""},
    {"RasterOneByteShort", "nlmeans", "raster_one_short", {"sampling", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kNone, 1, "{in}: bad PGM file: raster truncated (479 of 480 bytes present)\n", ""},
    {"TrailingBytesAreIgnored", "nlmeans", "trailing_bytes", {"preselection", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kNone, 0, "", "{dir}/out.pgm"},
    {"ZeroColumnsOfMaximalHeightTakeNoTime", "nlmeans", "no_columns_all_rows",
     {"tree-global", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kCpuLimit, 0, "", "{dir}/out.pgm"},
    {"ZeroColumnsOfMaximalHeightTakeNoTimeInGraph", "nlmeans", "no_columns_all_rows",
     {"graph", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kCpuLimit, 0, "", "{dir}/out.pgm"},
    {"MissingFile", "nlmeans", "missing", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 1,
     "File not found: {in}\n", ""},
    {"FolderAsInput", "nlmeans", "folder", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 1,
     "Cannot read {in}: Is a directory\n", ""},
    {"UnreadableFile", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kUnreadableInput, 1, "Cannot open {in}: Permission denied\n", ""},
    {"ReadOnlyFolder", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kReadOnlyFolder, 1, "Cannot write {dir}/out.pgm: Permission denied\n", "{dir}/out.pgm"},
    {"FolderWhereNothingCanBeCreated", "nlmeans", "valid", {"standard", "{in}", "/proc/self/fd/out.pgm", "--sigma", "20"},
     Setup::kNone, 1, "Cannot write /proc/self/fd/out.pgm: No such file or directory\n", ""},
    {"OutputNameIsAFolder", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kOutputIsFolder, 1, "Cannot write {dir}/out.pgm: Is a directory\n", "{dir}/out.pgm"},
    {"FullDisk", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kOutputIsDevFull,
     1, "Cannot write {dir}/out.pgm: No space left on device\n", "{dir}/out.pgm"},
    {"FileSizeLimitIsAFailedWrite", "nlmeans", "valid_40x30", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20"},
     Setup::kFileSizeLimit, 1, "Cannot write {dir}/out.pgm: File too large\n", "{dir}/out.pgm"},
    {"SigmaMissing", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm"}, Setup::kNone, 2,
     "nlmeans: --sigma is required\n", ""},
    {"SigmaNotANumber", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "abc"}, Setup::kNone, 2,
     "nlmeans: sigma 'abc' is not a number\n", ""},
    {"SigmaNegativeZero", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "-0"}, Setup::kNone, 2,
     "nlmeans: sigma must not be 0\n", ""},
    {"SigmaNan", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "nan"}, Setup::kNone, 2,
     "nlmeans: sigma 'nan' is not a finite single-precision number\n", ""},
    {"SigmaTiny", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "1e-30"}, Setup::kNone, 2,
     "nlmeans: sigma '1e-30' is too small (its square underflows)\n", ""},
    {"UnknownMethod", "nlmeans", "valid", {"bogus", "{in}", "{dir}/out.pgm", "--sigma", "20"}, Setup::kNone, 2,
     "nlmeans: unknown method 'bogus' (one of tree-global, tree-local, standard, preselection, gridding, sampling, "
     "sorting, graph)\n",
     ""},
    {"UnknownOption", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20", "--patch", "3"},
     Setup::kNone, 2, "nlmeans: unknown option '--patch' (see nlmeans --help)\n", ""},
    {"SearchRadiusNegative", "nlmeans", "valid",
     {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20", "--search-radius", "-5"}, Setup::kNone, 2,
     "nlmeans: --search-radius -5 is out of range (0..1000)\n", ""},
    {"SearchRadiusHuge", "nlmeans", "valid",
     {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20", "--search-radius", "100000"}, Setup::kNone, 2,
     "nlmeans: --search-radius 100000 is out of range (0..1000)\n", ""},
    {"SamplesNotANumber", "nlmeans", "valid", {"sampling", "{in}", "{dir}/out.pgm", "--sigma", "20", "--samples", "abc"},
     Setup::kNone, 2, "nlmeans: --samples 'abc' is not a whole number\n", ""},
    {"StepKindUnknown", "nlmeans", "valid", {"graph", "{in}", "{dir}/out.pgm", "--sigma", "20", "--step-kind", "foo"},
     Setup::kNone, 2, "nlmeans: --step-kind 'foo' is not linear or tv\n", ""},
    {"ExtraArgument", "nlmeans", "valid", {"standard", "{in}", "{dir}/out.pgm", "--sigma", "20", "extra"},
     Setup::kNone, 2, "nlmeans: unexpected argument 'extra'\n", ""},
};

std::string replaced(std::string aText, const std::map<std::string, std::string>& aValues) {
  for (const auto& [key, value] : aValues)
    for (std::size_t at = aText.find(key); at != std::string::npos; at = aText.find(key, at + value.size()))
      aText.replace(at, key.size(), value);
  return aText;
}

// Closes a file descriptor that the test keeps open for the program to inherit.
struct COpenFile {
  int fd = -1;
  ~COpenFile() {
    if (fd >= 0) ::close(fd);
  }
};

void PrintTo(const CHostileRun& aRun, std::ostream* aOut) { *aOut << aRun.program << " " << aRun.name; }

class HostileInput : public testing::TestWithParam<CHostileRun> {};

TEST_P(HostileInput, ExitStatusMessageAndFiles) {
  const CHostileRun& row = GetParam();
  CTempDir dir;
  const std::string input = dir.file("in.pgm");
  const std::string fixture = row.input;
  if (fixture == "folder") {
    ASSERT_EQ(::mkdir(input.c_str(), 0755), 0);
  } else if (fixture != "missing") {
    ASSERT_TRUE(fixtures().count(fixture)) << fixture;
    TestSupport::writeBytes(input, fixtures().at(fixture));
  }

  COpenFile openInput;
  std::map<std::string, std::string> values{{"{in}", input}, {"{dir}", dir.path()}};
  if (row.setup == Setup::kInputOpenAsFd) {
    // Inherited by the program (no close-on-exec); /proc/self/fd names it there too.
    openInput.fd = ::open(input.c_str(), O_RDONLY);
    ASSERT_GE(openInput.fd, 0);
    values["{fd}"] = "/proc/self/fd/" + std::to_string(openInput.fd);
  }
  const std::string output = replaced(row.output, values);

  std::vector<std::string> command{TestSupport::binaryPath(row.program)};
  for (const std::string& argument : row.arguments) command.push_back(replaced(argument, values));
  switch (row.setup) {
    case Setup::kUnreadableInput:
      ASSERT_EQ(::chmod(input.c_str(), 0), 0);
      if (::access(input.c_str(), R_OK) == 0) GTEST_SKIP() << "this user reads files of mode 000 (root)";
      break;
    case Setup::kReadOnlyFolder:
      ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
      if (::access(dir.path().c_str(), W_OK) == 0) GTEST_SKIP() << "this user writes into folders of mode 555 (root)";
      break;
    case Setup::kOutputIsFolder:
      ASSERT_EQ(::mkdir(output.c_str(), 0755), 0);
      break;
    case Setup::kOutputIsDevFull:
      ASSERT_EQ(::symlink("/dev/full", output.c_str()), 0);
      break;
    case Setup::kFileSizeLimit:
      // The shell's ulimit counts blocks of 512 bytes.
      command.insert(command.begin(), {"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\" \"$@\""});
      break;
    case Setup::kCpuLimit:
      command.insert(command.begin(), {"/bin/sh", "-c", "ulimit -t 1 && exec \"$0\" \"$@\""});
      break;
    case Setup::kNone:
    case Setup::kInputOpenAsFd:
      break;
  }
  const std::vector<std::string> before = dir.entries();

  const TestSupport::CRun run = TestSupport::run(command);

  EXPECT_EQ(run.status, row.status) << run.err;
  EXPECT_EQ(run.err, replaced(row.message, values));
  if (row.status == 0) {
    EXPECT_TRUE(std::regex_match(run.out, std::regex("Finished\\. This took [0-9.e+-]+sec\n"))) << run.out;
    ASSERT_FALSE(output.empty());
    std::vector<std::string> expected = before;
    expected.push_back(output.substr(output.rfind('/') + 1));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.entries(), expected);
    CMatrix<float> image, result;
    image.readFromPGM(input.c_str());
    result.readFromPGM(output.c_str());
    EXPECT_EQ(result.xSize(), image.xSize());
    EXPECT_EQ(result.ySize(), image.ySize());
  } else {
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(dir.entries(), before) << "a failed run left files behind";
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileInput, testing::ValuesIn(kRuns),
                         [](const testing::TestParamInfo<CHostileRun>& aInfo) {
                           return std::string(aInfo.param.program) + "_" + aInfo.param.name;
                         });

}  // namespace

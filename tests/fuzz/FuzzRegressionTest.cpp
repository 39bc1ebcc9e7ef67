// Replays the fuzzers' seed corpus and every input that once broke a fuzz
// target (regressions/TARGET/) through the target's body. A target aborts on
// a failed check, so a returning fault ends this test program with the
// target's message.
#include <algorithm>

#include <dirent.h>

#include <gtest/gtest.h>

#include "FuzzTargets.h"
#include "TestSupport.h"

namespace {

std::vector<std::string> filesIn(const std::string& aFolder) {
  std::vector<std::string> paths;
  if (DIR* dir = ::opendir(aFolder.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') paths.push_back(aFolder + "/" + entry->d_name);
    ::closedir(dir);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Runs every file of corpus/TARGET and regressions/TARGET; returns how many.
int replay(const std::string& aTarget, void (*aBody)(const std::uint8_t*, std::size_t)) {
  int count = 0;
  for (const char* folder : {"corpus", "regressions"})
    for (const std::string& path : filesIn(TestSupport::sourceDataPath("tests/fuzz/") + folder + "/" + aTarget)) {
      SCOPED_TRACE(path);
      const std::string bytes = TestSupport::readBytes(path);
      aBody(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  return count;
}

TEST(FuzzRegression, PgmReaderInputs) { EXPECT_GT(replay("pgm", FuzzTargets::pgmReader), 20); }

TEST(FuzzRegression, DenoisingPathInputs) { EXPECT_GT(replay("driver", FuzzTargets::denoisingPath), 20); }

// Every row of the method table is used by some seed of the corpus.
TEST(FuzzRegression, SeedsCoverEveryMethod) {
  const std::size_t rows = FuzzTargets::denoisingMethods().size();
  std::vector<bool> used(rows, false);
  for (const std::string& path : filesIn(TestSupport::sourceDataPath("tests/fuzz/corpus/driver"))) {
    const std::string bytes = TestSupport::readBytes(path);
    if (!bytes.empty()) used[static_cast<unsigned char>(bytes[0]) % rows] = true;
  }
  for (std::size_t i = 0; i < rows; ++i)
    EXPECT_TRUE(used[i]) << FuzzTargets::denoisingMethods()[i].name << " has no seed (run make_corpus.py)";
}

}  // namespace

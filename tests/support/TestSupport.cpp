#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TestSupport {

namespace {
void removeTree(const std::string& aPath) {
  struct stat info;
  if (::lstat(aPath.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    ::chmod(aPath.c_str(), 0700);
    if (DIR* dir = ::opendir(aPath.c_str())) {
      while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") removeTree(aPath + "/" + name);
      }
      ::closedir(dir);
    }
    ::rmdir(aPath.c_str());
  } else {
    ::unlink(aPath.c_str());
  }
}
}  // namespace

CTempDir::CTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/texture-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  mPath = name.data();
}

CTempDir::~CTempDir() { removeTree(mPath); }

std::vector<std::string> CTempDir::entries() const {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(mPath.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void writeBytes(const std::string& aPath, const std::string& aBytes) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out.write(aBytes.data(), static_cast<std::streamsize>(aBytes.size()));
  if (!out) throw std::runtime_error("cannot write " + aPath);
}

std::string readBytes(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + aPath);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& aPath) {
  struct stat info;
  return ::lstat(aPath.c_str(), &info) == 0;
}

std::string pgmBytes(int aXSize, int aYSize, const std::vector<unsigned char>& aPixels) {
  std::ostringstream header;
  header << "P5\n" << aXSize << " " << aYSize << "\n255\n";
  return header.str() + std::string(aPixels.begin(), aPixels.end());
}

CMatrix<float> noisyImage(int aXSize, int aYSize, unsigned aSeed, float aMean, float aSpread) {
  std::mt19937 generator(aSeed);
  std::normal_distribution<float> noise(0.0f, aSpread);
  CMatrix<float> image(aXSize, aYSize);
  for (int i = 0; i < image.size(); ++i) {
    const float v = std::round(aMean + noise(generator));
    image.data()[i] = std::min(255.0f, std::max(0.0f, v));
  }
  return image;
}

CThreads::CThreads(int aCount) {
  if (const char* old = std::getenv("OMP_NUM_THREADS")) {
    mOld = old;
    mHadOld = true;
  }
  ::setenv("OMP_NUM_THREADS", std::to_string(aCount).c_str(), 1);
}

CThreads::~CThreads() {
  if (mHadOld)
    ::setenv("OMP_NUM_THREADS", mOld.c_str(), 1);
  else
    ::unsetenv("OMP_NUM_THREADS");
}

CRun run(const std::vector<std::string>& aCommand, const std::vector<std::string>& aEnvironment) {
  CTempDir capture;
  const std::string outPath = capture.file("out"), errPath = capture.file("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const std::string& a : aCommand) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  // Entries of aEnvironment replace inherited ones of the same name.
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string key = entry.substr(0, entry.find('=') + 1);
    const bool replaced = std::any_of(aEnvironment.begin(), aEnvironment.end(),
                                      [&](const std::string& aSet) { return aSet.compare(0, key.size(), key) == 0; });
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), aEnvironment.begin(), aEnvironment.end());
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + aCommand[0] + ": " + std::strerror(spawned));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  CRun result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readBytes(outPath);
  result.err = readBytes(errPath);
  return result;
}

std::string binaryPath(const std::string& aProgram) { return std::string(TEXTURE_BINARY_DIR) + "/" + aProgram; }

std::string sourceDataPath(const std::string& aRelative) { return std::string(TEXTURE_SOURCE_DIR) + "/" + aRelative; }

}  // namespace TestSupport

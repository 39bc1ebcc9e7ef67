#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Exceptions.h"

namespace NContainers {
namespace {

[[noreturn]] void fail(const std::string& aPath, int aErrno) {
  throw EFileError("Cannot write " + aPath + ": " + std::strerror(aErrno));
}

// Writes everything or returns the errno of the failure (0 on success).
int writeAll(int aFd, const unsigned char* aData, std::size_t aSize) {
  while (aSize > 0) {
    const ssize_t n = ::write(aFd, aData, aSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    aData += n;
    aSize -= static_cast<std::size_t>(n);
  }
  return 0;
}

void writeDirectly(const std::string& aPath, const unsigned char* aData, std::size_t aSize) {
  const int fd = ::open(aPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) fail(aPath, errno);
  int err = writeAll(fd, aData, aSize);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) fail(aPath, err);
}

mode_t currentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

void writeFileAtomically(const std::string& aPath, const unsigned char* aData, std::size_t aSize) {
  if (aPath.empty()) fail(aPath, ENOENT);

  // A symbolic link is followed, so the file it names is replaced, not the link.
  // A link to a pipe or socket (/dev/stdout in a pipeline) has no path that
  // realpath could give, so what it leads to is asked first.
  std::string target = aPath;
  struct stat info;
  bool exists = ::lstat(aPath.c_str(), &info) == 0;
  if (exists && S_ISLNK(info.st_mode)) {
    exists = ::stat(aPath.c_str(), &info) == 0;
    if (exists && S_ISREG(info.st_mode)) {
      std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(aPath.c_str(), nullptr), &std::free);
      if (!resolved) fail(aPath, errno);
      target = resolved.get();
    }
  }
  if (exists && !S_ISREG(info.st_mode)) {
    if (S_ISDIR(info.st_mode)) fail(aPath, EISDIR);
    writeDirectly(aPath, aData, aSize);
    return;
  }

  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string pattern = directory + "." + base + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) fail(aPath, errno);
  const std::string temporary(name.data());

  const mode_t mode = exists ? (info.st_mode & 07777) : (0666 & ~currentUmask());
  int err = ::fchmod(fd, mode) == 0 ? 0 : errno;
  if (err == 0) err = writeAll(fd, aData, aSize);
  if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temporary.c_str());
    fail(aPath, err);
  }
}

}  // namespace NContainers

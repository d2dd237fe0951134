// SPDX-License-Identifier: MIT
// ZySafeFile: write to a temporary file beside the target, fsync it, put
// it in place with rename (or link, when an existing file must not be
// replaced) and fsync the directory.
#include "ZySafeFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

ZySafeFile::~ZySafeFile() {
  if (myFile != nullptr)
    abandon();
}

bool ZySafeFile::open(const std::string &target, Mode mode, int permissions) {
  myMode = mode;
  myDirect = false;
  char resolved[PATH_MAX];
  myTarget = realpath(target.c_str(), resolved) != nullptr ? resolved : target;
  struct stat old;
  bool exists = stat(myTarget.c_str(), &old) == 0;
  if (exists && mode == CreateNew) {
    errno = EEXIST;
    return false;
  }
  if (exists && !S_ISREG(old.st_mode)) {
    // A device or a pipe is written in place; it cannot be replaced.
    myDirect = true;
    myFile = fopen(myTarget.c_str(), mode == Append ? "ae" : "we");
    return myFile != nullptr;
  }
  size_t slash = myTarget.rfind('/');
  std::string dir = slash == std::string::npos ? "" : myTarget.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? myTarget : myTarget.substr(slash + 1);
  myTemp = dir + "." + base + ".XXXXXX";
  std::vector<char> name(myTemp.begin(), myTemp.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0)
    return false;
  myTemp = name.data();
  mode_t fileMode;
  if (exists) {
    fileMode = old.st_mode & 07777;
  } else if (permissions >= 0) {
    fileMode = static_cast<mode_t>(permissions) & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fileMode = 0666 & ~mask;
  }
  fchmod(fd, fileMode);
  myFile = fdopen(fd, "w");
  if (myFile == nullptr) {
    int error = errno;
    ::close(fd);
    unlink(myTemp.c_str());
    errno = error;
    return false;
  }
  if (mode == Append && !copyOld()) {
    int error = errno;
    abandon();
    errno = error;
    return false;
  }
  return true;
}

bool ZySafeFile::write(const void *data, size_t length) {
  if (myFile == nullptr) {
    errno = EBADF;
    return false;
  }
  return fwrite(data, 1, length, myFile) == length;
}

bool ZySafeFile::commit() {
  if (myFile == nullptr) {
    errno = EBADF;
    return false;
  }
  bool ok = fflush(myFile) == 0 && ferror(myFile) == 0 && (myDirect || fsync(fileno(myFile)) == 0);
  int error = errno;
  if (fclose(myFile) != 0 && ok) {
    ok = false;
    error = errno;
  }
  myFile = nullptr;
  if (myDirect) {
    errno = error;
    return ok;
  }
  if (ok) {
    // link() fails with EEXIST instead of replacing a file that appeared
    // since open; rename() replaces atomically.
    int placed = myMode == CreateNew ? link(myTemp.c_str(), myTarget.c_str())
                                     : rename(myTemp.c_str(), myTarget.c_str());
    if (placed != 0) {
      ok = false;
      error = errno;
    }
  }
  if (myMode == CreateNew || !ok)
    unlink(myTemp.c_str());
  if (ok && !syncDirectoryOf(myTarget)) {
    ok = false;
    error = errno;
  }
  errno = error;
  return ok;
}

void ZySafeFile::abandon() {
  if (myFile != nullptr)
    fclose(myFile);
  myFile = nullptr;
  if (!myDirect && !myTemp.empty())
    unlink(myTemp.c_str());
  myTemp.clear();
}

bool ZySafeFile::syncDirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  int result = fsync(fd);
  int error = errno;
  ::close(fd);
  // Some file systems cannot sync a directory; the data is in place all
  // the same.
  if (result != 0 && (error == EINVAL || error == EROFS))
    return true;
  errno = error;
  return result == 0;
}

bool ZySafeFile::copyOld() {
  FILE *old = fopen(myTarget.c_str(), "re");
  if (old == nullptr)
    return errno == ENOENT;
  char buffer[8192];
  size_t got;
  bool ok = true;
  while (ok && (got = fread(buffer, 1, sizeof buffer, old)) > 0)
    ok = fwrite(buffer, 1, got, myFile) == got;
  ok = ok && ferror(old) == 0;
  fclose(old);
  return ok;
}

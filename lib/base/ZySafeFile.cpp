// SPDX-License-Identifier: MIT
// ZySafeFile: write to a temporary file beside the target, fsync it, put
// it in place with rename (or link, when an existing file must not be
// replaced) and fsync the directory; the exact form does the same with the
// *at calls relative to the target's folder, never following a link.
#include "ZySafeFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
const int TEMPORARY_TRIES = 100;

/// The mode a new file gets under the umask.
mode_t defaultFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

/// Six letters and digits for a temporary name.
std::string randomPart() {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Rarely short: a name taken already is tried again anyway.
    static unsigned counter = 0;
    unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
    for (unsigned char &b : bytes)
      b = static_cast<unsigned char>(seed = seed * 1103515245u + 12345u);
  }
  std::string part;
  for (unsigned char b : bytes)
    part.push_back(letters[b % (sizeof letters - 1)]);
  return part;
}
} // namespace

ZySafeFile::~ZySafeFile() {
  if (myFile != nullptr)
    abandon();
  if (myDirectory >= 0)
    ::close(myDirectory);
}

bool ZySafeFile::openExact(const std::string &target, Mode mode, int permissions) {
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    myTarget = target;
    errno = EISDIR;
    return false;
  }
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    myTarget = target;
    return false;
  }
  bool opened = openExactIn(fd, name, mode, permissions, target);
  int error = errno;
  ::close(fd);
  errno = error;
  return opened;
}

bool ZySafeFile::openExactIn(int directory, const std::string &name, Mode mode, int permissions,
                             const std::string &shownAs) {
  myMode = mode;
  myDirect = false;
  myTarget = shownAs;
  myName = name;
  myTempName.clear();
  myTemp.clear();
  if (myDirectory >= 0)
    ::close(myDirectory);
  myDirectory = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (myDirectory < 0)
    return false;
  if (name.empty() || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  struct stat old;
  bool exists = fstatat(myDirectory, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT)
    return false;
  if (exists && mode == CreateNew) {
    errno = EEXIST;
    return false;
  }
  if (exists && S_ISDIR(old.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (exists && (S_ISFIFO(old.st_mode) || S_ISCHR(old.st_mode)))
    return openDirectIn(mode == Append ? O_APPEND : O_TRUNC);
  if (exists && !S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode)) {
    errno = EINVAL;
    return false;
  }
  int fd = -1;
  for (int i = 0; i < TEMPORARY_TRIES && fd < 0; i++) {
    myTempName = "." + name + "." + randomPart();
    fd = openat(myDirectory, myTempName.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  if (fd < 0) {
    myTempName.clear();
    return false;
  }
  mode_t fileMode = permissions >= 0 ? static_cast<mode_t>(permissions) & 07777 : defaultFileMode();
  if (fchmod(fd, fileMode) != 0 || (myFile = fdopen(fd, "w")) == nullptr) {
    int error = errno;
    ::close(fd);
    unlinkat(myDirectory, myTempName.c_str(), 0);
    myTempName.clear();
    errno = error;
    return false;
  }
  // A link at the target is never read through: there is nothing to copy.
  if (mode == Append && exists && S_ISREG(old.st_mode) && !copyOldIn()) {
    int error = errno;
    abandon();
    errno = error;
    return false;
  }
  return true;
}

bool ZySafeFile::openDirectIn(int flags) {
  // Not waiting for a reader: a pipe nobody reads fails with ENXIO at
  // once instead of holding the run.
  int fd = openat(myDirectory, myName.c_str(),
                  O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
  if (fd < 0)
    return false;
  struct stat info;
  // What was opened must still be what was looked at.
  if (fstat(fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))) {
    ::close(fd);
    errno = EINVAL;
    return false;
  }
  int blocking = fcntl(fd, F_GETFL);
  if (blocking < 0 || fcntl(fd, F_SETFL, blocking & ~O_NONBLOCK) != 0 ||
      (myFile = fdopen(fd, flags == O_APPEND ? "a" : "w")) == nullptr) {
    int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  myDirect = true;
  return true;
}

bool ZySafeFile::open(const std::string &target, Mode mode, int permissions) {
  myMode = mode;
  myDirect = false;
  if (myDirectory >= 0) {
    ::close(myDirectory);
    myDirectory = -1;
  }
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
    fileMode = defaultFileMode();
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
  if (myDirectory >= 0) {
    if (ok) {
      int placed = myMode == CreateNew
                       ? linkat(myDirectory, myTempName.c_str(), myDirectory, myName.c_str(), 0)
                       : renameat(myDirectory, myTempName.c_str(), myDirectory, myName.c_str());
      if (placed != 0) {
        ok = false;
        error = errno;
      }
    }
    if (myMode == CreateNew || !ok)
      unlinkat(myDirectory, myTempName.c_str(), 0);
    myTempName.clear();
    if (ok && !syncDirectory(myDirectory)) {
      ok = false;
      error = errno;
    }
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
  if (!myDirect && myDirectory >= 0 && !myTempName.empty())
    unlinkat(myDirectory, myTempName.c_str(), 0);
  myTemp.clear();
  myTempName.clear();
}

bool ZySafeFile::syncDirectory(int fd) {
  // Some file systems cannot sync a directory; the data is in place all
  // the same.
  return fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

bool ZySafeFile::syncDirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool synced = syncDirectory(fd);
  int error = errno;
  ::close(fd);
  errno = error;
  return synced;
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

bool ZySafeFile::copyOldIn() {
  int fd = openat(myDirectory, myName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT || errno == ELOOP;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char buffer[8192];
  ssize_t got;
  while (ok && (got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR)
      continue;
    ok = got > 0 && fwrite(buffer, 1, static_cast<size_t>(got), myFile) == static_cast<size_t>(got);
  }
  int error = errno;
  ::close(fd);
  errno = error;
  return ok;
}

bool ZySafeFile::linkToStream(const std::string &target) {
  struct stat info;
  return lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
         stat(target.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode));
}

std::string ZySafeFile::placeProblem(const std::string &target) {
  struct stat info;
  if (lstat(target.c_str(), &info) == 0) {
    bool stream = S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || linkToStream(target);
    if (stream)
      return access(target.c_str(), W_OK) == 0 ? "" : strerror(errno);
    if (S_ISDIR(info.st_mode))
      return strerror(EISDIR);
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
      return "it is neither a file, a named pipe nor a character device";
  } else if (errno != ENOENT) {
    return strerror(errno);
  }
  // The file is written to a new one in its folder and renamed.
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string pattern = dir + "/.zysafefile-probe.XXXXXX";
  std::vector<char> probe(pattern.begin(), pattern.end());
  probe.push_back('\0');
  int fd = mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0)
    return strerror(errno);
  ::close(fd);
  unlink(probe.data());
  return "";
}

// SPDX-License-Identifier: MIT
// The simulator's pseudo-terminal, its symbolic link, and the pty +
// simulator pair.
#include "SimPty.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

bool SimPty::claimLink(const std::string &linkPath, std::string *error) {
  const std::string lockPath = linkPath + ".lock";
  // The holder removes the lock file on close: a lock taken on a file that
  // was removed meanwhile claims nothing, so it is taken again on the file
  // now at the path. Three rounds are plenty; each needs another simulator
  // to close at that very moment.
  for (int round = 0; round < 3; round++) {
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (error)
        *error = "Cannot make the lock file '" + lockPath + "' of the link: " + strerror(errno) +
                 "; choose another path";
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int held = errno;
      char text[32] = {0};
      ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
      ::close(fd);
      if (error) {
        if (held != EWOULDBLOCK)
          *error = "Cannot lock the file '" + lockPath + "' of the link: " + strerror(held);
        else {
          long pid = n > 0 ? strtol(text, nullptr, 10) : 0;
          *error = "the link '" + linkPath + "' belongs to a running simulator" +
                   (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                   ". Stop that simulator, or choose another path.";
        }
      }
      return false;
    }
    struct stat held, atPath;
    if (fstat(fd, &held) != 0 || stat(lockPath.c_str(), &atPath) != 0 ||
        held.st_ino != atPath.st_ino || held.st_dev != atPath.st_dev) {
      ::close(fd);
      continue;
    }
    const std::string pid = std::to_string(static_cast<long>(getpid())) + "\n";
    // The claim holds without the number too; a refused simulator then
    // names no process.
    bool numbered = ftruncate(fd, 0) == 0 &&
                    pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    (void)numbered;
    myLinkLock = fd;
    myLinkLockPath = lockPath;
    return true;
  }
  if (error)
    *error = "Cannot lock the file '" + lockPath + "' of the link: it keeps being replaced";
  return false;
}

void SimPty::releaseLink() {
  if (myLinkLock < 0)
    return;
  unlink(myLinkLockPath.c_str());
  ::close(myLinkLock);
  myLinkLock = -1;
  myLinkLockPath.clear();
}

bool SimPty::open(int baud, const std::string &linkPath, std::string *error) {
  close();
  char name[PATH_MAX];
  if (openpty(&myMaster, &mySlave, name, nullptr, nullptr) != 0) {
    if (error)
      *error = std::string("Cannot open a pseudo-terminal: ") + strerror(errno);
    myMaster = mySlave = -1;
    return false;
  }
  fcntl(myMaster, F_SETFD, FD_CLOEXEC);
  fcntl(mySlave, F_SETFD, FD_CLOEXEC);
  mySlavePath = name;

  // Raw, so that nothing is echoed or translated before the host sets the
  // port up, at the controller's speed so that a host that does not set a
  // speed can talk at once.
  struct termios tio;
  if (tcgetattr(mySlave, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    speed_t code = static_cast<speed_t>(SimController::speedCodeOf(baud));
    if (code != 0) {
      cfsetispeed(&tio, code);
      cfsetospeed(&tio, code);
    }
    tcsetattr(mySlave, TCSANOW, &tio);
  }

  if (!linkPath.empty()) {
    if (!claimLink(linkPath, error)) {
      close();
      return false;
    }
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        if (error)
          *error = "Cannot make the link '" + linkPath +
                   "': a file that is not a symbolic link is in the way; choose another path";
        close();
        return false;
      }
      unlink(linkPath.c_str());
    }
    if (symlink(mySlavePath.c_str(), linkPath.c_str()) != 0) {
      if (error)
        *error = "Cannot make the link '" + linkPath + "': " + strerror(errno);
      close();
      return false;
    }
    myLinkPath = linkPath;
  }
  return true;
}

void SimPty::close() {
  if (!myLinkPath.empty()) {
    char target[PATH_MAX];
    ssize_t n = readlink(myLinkPath.c_str(), target, sizeof(target) - 1);
    if (n > 0) {
      target[n] = 0;
      if (mySlavePath == target)
        unlink(myLinkPath.c_str());
    }
    myLinkPath.clear();
  }
  releaseLink();
  if (mySlave >= 0)
    ::close(mySlave);
  if (myMaster >= 0)
    ::close(myMaster);
  mySlave = myMaster = -1;
  mySlavePath.clear();
}

SimSession::SimSession(const SimOptions &options, const std::string &linkPath)
    : myController(new SimController(options)) {
  if (!myPty.open(options.startBaud(), linkPath, &myError))
    return;
  myOk = myController->start(myPty.master(), myPty.slaveKeep(), &myError);
}

SimSession::~SimSession() {
  myController->stop();
  myPty.close();
}

const std::string &SimSession::path() const {
  return myPty.linkPath().empty() ? myPty.slavePath() : myPty.linkPath();
}

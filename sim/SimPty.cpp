// The simulator's pseudo-terminal, its symbolic link, and the pty +
// simulator pair.
#include "SimPty.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

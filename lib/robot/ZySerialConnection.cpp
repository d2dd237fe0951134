// A POSIX serial port in raw mode: opening and set-up, rates, flow control,
// reads with a deadline, writes, modem lines and optional time stamps.
#include "ZySerialConnection.h"

#include "ZyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Private requests of a serial driver that stamps received bytes with their
// arrival time. Ordinary drivers (and ptys) refuse both.
const unsigned long REQUEST_START_STAMPING = 0x5481;
const unsigned long REQUEST_GET_STAMP = 0x5480;

struct RateEntry {
  int rate;
  speed_t speed;
};

const RateEntry RATE_TABLE[] = {
    {300, B300},   {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

/// The process holding an advisory lock on the file, from the kernel's
/// table of locks; 0 when none is found.
int findLockHolder(const struct stat &port) {
  FILE *locks = fopen("/proc/locks", "re");
  if (locks == nullptr)
    return 0;
  char line[256];
  int holder = 0;
  while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF"; waiting entries carry
    // "->" after the number and are skipped by the type check.
    char type[16];
    int pid = 0;
    unsigned int major = 0, minor = 0;
    unsigned long inode = 0;
    if (sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", type, &pid, &major, &minor, &inode) != 5)
      continue;
    if (strcmp(type, "FLOCK") == 0 && major == major(port.st_dev) && minor == minor(port.st_dev) &&
        inode == port.st_ino)
      holder = pid;
  }
  fclose(locks);
  return holder;
}

/// Some other process with the device open, from the descriptor lists in
/// /proc; 0 when none is found (or they cannot be read).
int findOpenHolder(const struct stat &port) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr)
    return 0;
  int holder = 0;
  int self = getpid();
  struct dirent *entry;
  while (holder == 0 && (entry = readdir(proc)) != nullptr) {
    int pid = atoi(entry->d_name);
    if (pid <= 0 || pid == self)
      continue;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fd", pid);
    DIR *fds = opendir(path);
    if (fds == nullptr)
      continue;
    struct dirent *fd;
    while (holder == 0 && (fd = readdir(fds)) != nullptr) {
      char link[320];
      snprintf(link, sizeof link, "/proc/%d/fd/%s", pid, fd->d_name);
      struct stat target;
      if (fd->d_name[0] != '.' && stat(link, &target) == 0 && S_ISCHR(target.st_mode) &&
          target.st_rdev == port.st_rdev)
        holder = pid;
    }
    closedir(fds);
  }
  closedir(proc);
  return holder;
}

/// The serial ports present on this machine, separated by ", "; a long
/// list (a PC has many /dev/ttyS* places) is cut after the first few.
std::string presentSerialPorts() {
  const size_t shown = 8;
  std::string list;
  size_t count = 0;
  for (const char *pattern :
       {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyS*"}) {
    glob_t found;
    if (glob(pattern, 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; i++, count++)
        if (count < shown)
          list += (list.empty() ? "" : ", ") + std::string(found.gl_pathv[i]);
    }
    globfree(&found);
  }
  if (count > shown)
    list += " and " + std::to_string(count - shown) + " more";
  return list;
}

/// Room for a few cut writes plus the time the bytes take on the line at
/// the given rate, doubled for slow drivers and flow control.
long writeDeadlineMs(unsigned int size, int rate) {
  if (rate <= 0)
    rate = 300;
  return 1000 + 2L * 10L * 1000L * static_cast<long>(size) / rate;
}

} // namespace

ZySerialConnection::ZySerialConnection() {
  myOpenErrorTexts[OPEN_COULD_NOT_OPEN_PORT] = "Could not open serial port.";
  myOpenErrorTexts[OPEN_COULD_NOT_SET_UP_PORT] = "Could not set up serial port.";
  myOpenErrorTexts[OPEN_INVALID_BAUD_RATE] =
      "Baud rate invalid, could not set baud on serial port.";
  myOpenErrorTexts[OPEN_COULD_NOT_SET_BAUD] = "Could not set baud rate on serial port.";
  myOpenErrorTexts[OPEN_ALREADY_OPEN] = "Serial port already open.";
}

ZySerialConnection::~ZySerialConnection() {
  if (myFd != -1)
    close();
  releasePort();
}

void ZySerialConnection::setPortName(const char *name) {
  myPortName = name != nullptr ? name : "/dev/ttyS0";
  // Another port while closed: the old one is no longer ours.
  if (myFd == -1 && myLockedPort != myPortName)
    releasePort();
}

int ZySerialConnection::open(const char *name) {
  setPortName(name);
  return open();
}

bool ZySerialConnection::openDefault() {
  return open() == OPEN_OK;
}

int ZySerialConnection::open() {
  if (myStatus == STATUS_OPEN) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Serial port already open");
    return OPEN_ALREADY_OPEN;
  }

  myOpenFailure = FAILURE_NONE;
  myOpenFailureText.clear();
  if (!lockPort()) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not open serial port '%s'",
               myPortName.c_str());
    return OPEN_COULD_NOT_OPEN_PORT;
  }

  // O_NOCTTY keeps the port from becoming the controlling terminal of a
  // process that has none, so a carrier drop cannot hang it up; O_CLOEXEC
  // keeps it from programs this process starts.
  int fd = ::open(myPortName.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    recordOpenFailure(errno);
    releasePort();
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not open serial port '%s'",
               myPortName.c_str());
    return OPEN_COULD_NOT_OPEN_PORT;
  }
  myFd = fd;

  struct termios tio;
  if (tcgetattr(myFd, &tio) != 0) {
    if (errno == ENOTTY)
      recordOpenFailure(ENOTTY);
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not get port data to set up port");
    close();
    releasePort();
    myStatus = STATUS_OPEN_FAILED;
    return OPEN_COULD_NOT_SET_UP_PORT;
  }
  mySavedSettings = tio;
  mySettingsSaved = true;
  // No second open of the port while this one lasts (root is exempt; the
  // advisory lock covers that case).
  ioctl(myFd, TIOCEXCL);
  requestLowLatency();

  // Raw mode: eight clean data bits in both directions, no break, parity
  // or CR/NL handling, no software flow control, no output processing, no
  // signals, no echo; the modem lines do not gate reading. Reads return
  // whatever is there.
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;

  if (tcsetattr(myFd, TCSAFLUSH, &tio) != 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not set up port");
    close();
    myStatus = STATUS_OPEN_FAILED;
    return OPEN_COULD_NOT_SET_UP_PORT;
  }

  // setBaud and setHardwareControl apply their settings only to an open port.
  myStatus = STATUS_OPEN;

  if (rateToBaud(myBaudRate) == -1) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Invalid baud rate.");
    close();
    myStatus = STATUS_OPEN_FAILED;
    return OPEN_INVALID_BAUD_RATE;
  }
  if (!setBaud(myBaudRate)) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not set baud rate.");
    close();
    myStatus = STATUS_OPEN_FAILED;
    return OPEN_COULD_NOT_SET_BAUD;
  }
  if (!setHardwareControl(myHardwareControl)) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not set hardware control.");
    close();
    myStatus = STATUS_OPEN_FAILED;
    return OPEN_COULD_NOT_SET_UP_PORT;
  }

  ZyLog::log(ZyLog::Verbose,
             "ZySerialConnection::open: Successfully opened and configured serial port.");
  return OPEN_OK;
}

bool ZySerialConnection::close() {
  myStatus = STATUS_CLOSED_NORMALLY;
  if (myFd == -1)
    return true;
  // The settings go back as they were, once the bytes still queued have
  // gone out at the rate they were meant for, and the exclusive mode is
  // lifted so that this process's own next open is not refused.
  if (mySettingsSaved) {
    ZyTime deadline;
    deadline.setToNow();
    deadline.addMsec(writeDeadlineMs(0, myBaudRate));
    int queued = 0;
    while (ioctl(myFd, TIOCOUTQ, &queued) == 0 && queued > 0 && deadline.msTo() >= 0)
      usleep(1000);
    tcsetattr(myFd, TCSANOW, &mySavedSettings);
  }
  mySettingsSaved = false;
  ioctl(myFd, TIOCNXCL);
  bool closed = ::close(myFd) == 0;
  if (closed)
    ZyLog::log(ZyLog::Verbose, "ZySerialConnection::close: Successfully closed serial port.");
  else
    ZyLog::log(ZyLog::Verbose, "ZySerialConnection::close: Unsuccessfully closed serial port.");
  // Even a failed close releases the descriptor on Linux; never retry it.
  myFd = -1;
  return closed;
}

int ZySerialConnection::read(char *buffer, unsigned int size, unsigned int msWait) {
  if (myFd < 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::read:  Connection invalid.");
    return -1;
  }
  if (size == 0)
    return 0;

  ZyTime deadline;
  deadline.setToNow();
  deadline.addMsec(static_cast<long>(msWait));
  unsigned int count = 0;

  while (true) {
    long msLeft = deadline.msTo();
    if (msLeft < 0)
      return static_cast<int>(count);

    struct pollfd wait = {myFd, POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(msLeft));
    if (ready < 0 && errno == EINTR)
      continue; // a signal is no reason to give up early; the deadline bounds the loop
    if (ready <= 0)
      return static_cast<int>(count);

    ssize_t got = ::read(myFd, buffer + count, size - count);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      ZyLog::log(ZyLog::Terse, "ZySerialConnection::read:  Blocking read failed.");
      return static_cast<int>(count);
    }
    if (got == 0)
      // Readable yet empty means the line hung up; waiting on would spin.
      return static_cast<int>(count);
    count += static_cast<unsigned int>(got);
    if (count >= size)
      return static_cast<int>(count);
  }
}

int ZySerialConnection::write(const char *buffer, unsigned int size) {
  if (myFd < 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::write: Connection invalid.");
    return -1;
  }
  ZyTime deadline;
  deadline.setToNow();
  deadline.addMsec(writeDeadlineMs(size, myBaudRate));
  unsigned int done = 0;
  while (done < size) {
    ssize_t written = systemWrite(myFd, buffer + done, size - done);
    if (written > 0) {
      done += static_cast<unsigned int>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      ZyLog::log(ZyLog::Terse, "ZySerialConnection::write: Error on writing: %s.", strerror(errno));
      return -1;
    }
    // The output queue is full (or a signal came): wait for room until the
    // deadline.
    long msLeft = deadline.msTo();
    if (msLeft < 0)
      break;
    struct pollfd wait = {myFd, POLLOUT, 0};
    poll(&wait, 1, static_cast<int>(msLeft));
  }
  if (done < size) {
    ZyLog::log(ZyLog::Terse,
               "ZySerialConnection::write: Only %u of %u bytes went out before the deadline.", done,
               size);
    return -1;
  }
  return static_cast<int>(size);
}

ssize_t ZySerialConnection::systemWrite(int fd, const char *buffer, size_t size) {
  return ::write(fd, buffer, size);
}

bool ZySerialConnection::lockPort() {
  if (myLockFd >= 0 && myLockedPort == myPortName)
    return true;
  releasePort();
  int fd = ::open(myPortName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    recordOpenFailure(errno);
    return false;
  }
  // flock, not a record lock: it belongs to this descriptor alone, so the
  // port's own descriptor may be closed and reopened without dropping it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    struct stat port;
    int holder = fstat(fd, &port) == 0 ? findLockHolder(port) : 0;
    ::close(fd);
    recordBusy(holder);
    return false;
  }
  myLockFd = fd;
  myLockedPort = myPortName;
  return true;
}

void ZySerialConnection::releasePort() {
  if (myLockFd < 0)
    return;
  ::close(myLockFd);
  myLockFd = -1;
  myLockedPort.clear();
}

void ZySerialConnection::recordBusy(int holderPid) {
  myOpenFailure = FAILURE_BUSY;
  char text[512];
  if (holderPid > 0)
    snprintf(text, sizeof text, "Port '%s' is in use by another program (process %d).",
             myPortName.c_str(), holderPid);
  else
    snprintf(text, sizeof text, "Port '%s' is in use by another program.", myPortName.c_str());
  myOpenFailureText = text;
}

void ZySerialConnection::recordOpenFailure(int error) {
  char text[512];
  const char *port = myPortName.c_str();
  struct stat info;
  switch (error) {
  case ENOENT:
  case ENOTDIR:
  case ENXIO:
  case ENODEV: {
    myOpenFailure = FAILURE_NO_SUCH_PORT;
    std::string present = presentSerialPorts();
    snprintf(text, sizeof text, "Port '%s': no such port. %s%s", port,
             present.empty() ? "No serial ports were found." : "Serial ports present: ",
             present.empty() ? "" : (present + ".").c_str());
    break;
  }
  case EACCES:
  case EPERM: {
    myOpenFailure = FAILURE_PERMISSION_DENIED;
    const char *group = nullptr;
    struct group entry;
    struct group *found = nullptr;
    char names[1024];
    if (stat(port, &info) == 0 &&
        getgrgid_r(info.st_gid, &entry, names, sizeof names, &found) == 0 && found != nullptr)
      group = found->gr_name;
    if (group != nullptr && strcmp(group, "root") != 0)
      snprintf(text, sizeof text,
               "Port '%s': permission denied. The port belongs to group '%s'; join it with "
               "'sudo usermod -aG %s $USER', then log in again.",
               port, group, group);
    else
      snprintf(text, sizeof text,
               "Port '%s': permission denied. Ask the administrator for access to it (serial "
               "ports usually belong to group 'dialout': 'sudo usermod -aG dialout $USER', then "
               "log in again).",
               port);
    break;
  }
  case ENOTTY:
    myOpenFailure = FAILURE_NOT_A_PORT;
    snprintf(text, sizeof text, "Port '%s' is not a serial port.", port);
    break;
  case EBUSY: {
    int holder = stat(port, &info) == 0 ? findOpenHolder(info) : 0;
    recordBusy(holder);
    return;
  }
  default:
    myOpenFailure = FAILURE_OTHER;
    snprintf(text, sizeof text, "Port '%s' could not be opened: %s.", port, strerror(error));
    break;
  }
  myOpenFailureText = text;
}

bool ZySerialConnection::openFailureIsFinal() const {
  return myOpenFailure == FAILURE_NO_SUCH_PORT || myOpenFailure == FAILURE_PERMISSION_DENIED ||
         myOpenFailure == FAILURE_NOT_A_PORT || myOpenFailure == FAILURE_BUSY;
}

void ZySerialConnection::requestLowLatency() {
  struct serial_struct serial;
  std::memset(&serial, 0, sizeof serial);
  if (ioctl(myFd, TIOCGSERIAL, &serial) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(myFd, TIOCSSERIAL, &serial) == 0) {
      ZyLog::log(ZyLog::Verbose, "ZySerialConnection::open: Low-latency mode on.");
      return;
    }
  }
  ZyLog::log(ZyLog::Verbose,
             "ZySerialConnection::open: The driver offers no low-latency mode; going on without.");
}

bool ZySerialConnection::setBaud(int rate) {
  myBaudRate = rate;
  if (myStatus != STATUS_OPEN)
    return true;

  int speed = rateToBaud(rate);
  if (speed == -1)
    return false;

  struct termios tio;
  if (tcgetattr(myFd, &tio) != 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::setBaud: Could not get port data.");
    return false;
  }
  if (cfsetospeed(&tio, static_cast<speed_t>(speed)) != 0) {
    ZyLog::log(ZyLog::Terse,
               "ZySerialConnection::setBaud: Could not set output baud rate on termios struct.");
    return false;
  }
  if (cfsetispeed(&tio, static_cast<speed_t>(speed)) != 0) {
    ZyLog::log(ZyLog::Terse,
               "ZySerialConnection::setBaud: Could not set input baud rate on termios struct.");
    return false;
  }
  if (tcsetattr(myFd, TCSAFLUSH, &tio) != 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::setBaud: Could not set baud rate.");
    return false;
  }

  // A time-stamping driver starts stamping at this rate; any other driver
  // refuses, and the port then works without time stamps.
  int bitsPerSecond = rate;
  myTimeStamping = ioctl(myFd, REQUEST_START_STAMPING, &bitsPerSecond) == 0;
  return true;
}

int ZySerialConnection::rateToBaud(int rate) {
  for (const RateEntry &entry : RATE_TABLE)
    if (entry.rate == rate)
      return static_cast<int>(entry.speed);
  ZyLog::log(ZyLog::Terse, "ZySerialConnection::rateToBaud: Did not know baud for rate %d.", rate);
  return -1;
}

int ZySerialConnection::baudToRate(int baud) {
  for (const RateEntry &entry : RATE_TABLE)
    if (static_cast<int>(entry.speed) == baud)
      return entry.rate;
  ZyLog::log(ZyLog::Terse, "ZySerialConnection:baudToRate: Did not know rate for baud.");
  return -1;
}

bool ZySerialConnection::setHardwareControl(bool hardwareControl) {
  myHardwareControl = hardwareControl;
  if (myStatus != STATUS_OPEN)
    return true;

  struct termios tio;
  if (tcgetattr(myFd, &tio) == 0) {
    if (myHardwareControl)
      tio.c_cflag |= CRTSCTS;
    else
      tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (tcsetattr(myFd, TCSAFLUSH, &tio) == 0)
      return true;
  }
  ZyLog::log(ZyLog::Terse,
             "ZySerialConnection::setHardwareControl: Could not set hardware control.");
  return false;
}

const char *ZySerialConnection::openErrorText(int code) {
  auto found = myOpenErrorTexts.find(code);
  return found != myOpenErrorTexts.end() ? found->second.c_str() : "";
}

ZyTime ZySerialConnection::readTimeStamp(int index) {
  ZyTime stamp;
  if (myFd <= 0 || !myTimeStamping)
    return stamp;
  // In: the index of the received byte. Out: seconds and microseconds.
  int request[2] = {index, 0};
  if (ioctl(myFd, REQUEST_GET_STAMP, request) != 0)
    return stamp;
  stamp.setSec(request[0]);
  stamp.setMSec(request[1] / 1000);
  return stamp;
}

bool ZySerialConnection::modemLine(int bit) {
  int lines = 0;
  if (ioctl(myFd, TIOCMGET, &lines) != 0) {
    perror("ioctl: TIOCMGET");
    return false;
  }
  return (lines & bit) != 0;
}

bool ZySerialConnection::ctsLine() {
  return modemLine(TIOCM_CTS);
}
bool ZySerialConnection::dsrLine() {
  return modemLine(TIOCM_DSR);
}
bool ZySerialConnection::dcdLine() {
  return modemLine(TIOCM_CD);
}
bool ZySerialConnection::ringLine() {
  return modemLine(TIOCM_RI);
}

void ZySerialConnection::discardInput() {
  // The port reads straight from the descriptor and keeps no bytes of its
  // own, so the driver's input queue is all there is to drop.
  if (myStatus == STATUS_OPEN && myFd >= 0)
    tcflush(myFd, TCIFLUSH);
}

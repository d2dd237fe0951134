// SPDX-License-Identifier: MIT
// A POSIX serial port in raw mode: opening and set-up, rates, flow control,
// reads with a deadline, writes, modem lines and optional time stamps.
#include "ZySerialConnection.h"

#include "ZyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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
  myOpenFailureErrno = 0;
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
    ::close(fd);
    recordOpenFailure(EWOULDBLOCK);
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

void ZySerialConnection::recordOpenFailure(int error) {
  myOpenFailureErrno = error;
  switch (error) {
  case ENOENT:
  case ENOTDIR:
  case ENXIO:
  case ENODEV:
    myOpenFailure = FAILURE_NO_SUCH_PORT;
    break;
  case EACCES:
  case EPERM:
    myOpenFailure = FAILURE_PERMISSION_DENIED;
    break;
  case ENOTTY:
    myOpenFailure = FAILURE_NOT_A_PORT;
    break;
  case EBUSY:       // another open refused by the exclusive mode
  case EWOULDBLOCK: // the advisory lock held by another descriptor
    myOpenFailure = FAILURE_BUSY;
    break;
  default:
    myOpenFailure = FAILURE_OTHER;
    break;
  }
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

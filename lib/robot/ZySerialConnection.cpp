// A POSIX serial port in raw mode: opening and set-up, rates, flow control,
// reads with a deadline, writes, modem lines and optional time stamps.
#include "ZySerialConnection.h"

#include "ZyLog.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
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
}

void ZySerialConnection::setPortName(const char *name) {
  myPortName = name != nullptr ? name : "/dev/ttyS0";
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

  // O_NOCTTY keeps the port from becoming the controlling terminal of a
  // process that has none, so a carrier drop cannot hang it up.
  int fd = ::open(myPortName.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not open serial port '%s'",
               myPortName.c_str());
    return OPEN_COULD_NOT_OPEN_PORT;
  }
  myFd = fd;

  struct termios tio;
  if (tcgetattr(myFd, &tio) != 0) {
    ZyLog::log(ZyLog::Terse, "ZySerialConnection::open: Could not get port data to set up port");
    close();
    myStatus = STATUS_OPEN_FAILED;
    return OPEN_COULD_NOT_SET_UP_PORT;
  }

  // Raw mode: eight clean data bits in both directions, no translation, no
  // signals, no echo; reads return whatever is there.
  tio.c_iflag &= ~static_cast<tcflag_t>(BRKINT | INPCK | ISTRIP | ICRNL | IXON);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  tio.c_cflag |= CS8;
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
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

    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(myFd, &readSet);
    struct timeval tv;
    tv.tv_sec = msLeft / 1000;
    tv.tv_usec = (msLeft % 1000) * 1000;
    int ready = select(myFd + 1, &readSet, nullptr, nullptr, &tv);
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
  ssize_t written = ::write(myFd, buffer, size);
  if (written >= 0)
    return static_cast<int>(written);
  if (errno == EAGAIN) {
    // The output queue is full; give the driver a moment and try once more.
    usleep(10);
    written = ::write(myFd, buffer, size);
    if (written >= 0)
      return static_cast<int>(written);
  }
  ZyLog::log(ZyLog::Terse, "ZySerialConnection::write: Error on writing.");
  perror("ZySerialConnection::write:");
  return -1;
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

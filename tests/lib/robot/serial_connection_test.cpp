// SPDX-License-Identifier: MIT
// Tests of the serial device over a pseudo-terminal: opening and status,
// ownership of the port, open failures, rates on open and closed ports, raw
// mode, reads with a deadline, complete writes, texts and the absence of time
// stamps on an ordinary driver.
#include "LogCapture.h"
#include "PtyPair.h"
#include "ZyRobotPacketSender.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The settings of the slave side, read through a descriptor of our own.
struct termios slaveSettings(const PtyPair &pty) {
  struct termios tio;
  std::memset(&tio, 0, sizeof tio);
  int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  if (fd >= 0) {
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    ::close(fd);
  }
  return tio;
}

speed_t outSpeed(const PtyPair &pty) {
  struct termios tio = slaveSettings(pty);
  return cfgetospeed(&tio);
}

speed_t inSpeed(const PtyPair &pty) {
  struct termios tio = slaveSettings(pty);
  return cfgetispeed(&tio);
}

const char RATE_MESSAGE_600[] = "ZySerialConnection::rateToBaud: Did not know baud for rate 600.";

} // namespace

TEST(SerialConnection, OpenCloseAndStatus) {
  PtyPair pty;
  LogCapture log;
  ZySerialConnection port;
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_NEVER_OPENED);
  EXPECT_STREQ(port.portName(), "none");
  EXPECT_EQ(port.baudRate(), 9600);
  EXPECT_FALSE(port.hardwareControl());

  EXPECT_EQ(port.open(pty.slavePath().c_str()), 0);
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_OPEN);
  EXPECT_STREQ(port.portName(), pty.slavePath().c_str());
  EXPECT_TRUE(
      log.hasLine("ZySerialConnection::open: Successfully opened and configured serial port."));
  EXPECT_EQ(outSpeed(pty), static_cast<speed_t>(B9600));

  log.clear();
  EXPECT_EQ(port.open(), 5);
  EXPECT_TRUE(log.hasLine("ZySerialConnection::open: Serial port already open"));
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_OPEN);
  pty.write("x");
  char c = 0;
  EXPECT_EQ(port.read(&c, 1, 1000), 1) << "the port stays open after a refused second open";
  EXPECT_EQ(c, 'x');

  log.clear();
  EXPECT_TRUE(port.close());
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
  EXPECT_TRUE(log.hasLine("ZySerialConnection::close: Successfully closed serial port."));
  log.clear();
  EXPECT_TRUE(port.close());
  EXPECT_TRUE(log.lines().empty()) << log.text();

  log.clear();
  EXPECT_EQ(port.read(&c, 1, 0), -1);
  EXPECT_TRUE(log.hasLine("ZySerialConnection::read:  Connection invalid."));
  EXPECT_EQ(port.write("a", 1), -1);
  EXPECT_TRUE(log.hasLine("ZySerialConnection::write: Connection invalid."));
  EXPECT_TRUE(port.openDefault()) << "a closed port opens again";
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_OPEN);
}

TEST(SerialConnection, OpenFailuresAndPortName) {
  LogCapture log;
  ZySerialConnection port;
  port.setPortName("/nonexistent/ttyQ9");
  EXPECT_EQ(port.open(), 1);
  EXPECT_TRUE(
      log.hasLine("ZySerialConnection::open: Could not open serial port '/nonexistent/ttyQ9'"));
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_NEVER_OPENED)
      << "a device file that cannot be opened leaves the status as it was";
  EXPECT_FALSE(port.openDefault());

  port.setPortName(nullptr);
  EXPECT_STREQ(port.portName(), "/dev/ttyS0");

  // A file that is not a terminal opens but cannot be set up.
  log.clear();
  EXPECT_EQ(port.open("/dev/null"), 2);
  EXPECT_TRUE(log.hasLine("ZySerialConnection::open: Could not get port data to set up port"));
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_OPEN_FAILED);
  char c;
  EXPECT_EQ(port.read(&c, 1, 0), -1) << "a failed open leaves the port closed";
}

TEST(SerialConnection, RatesOnClosedAndOpenPorts) {
  PtyPair pty;
  LogCapture log;
  ZySerialConnection port;
  port.setPortName(pty.slavePath().c_str());

  // Stored on a closed port, applied at the next open.
  EXPECT_TRUE(port.setBaud(57600));
  EXPECT_EQ(port.baudRate(), 57600);
  ASSERT_EQ(port.open(), 0);
  EXPECT_EQ(outSpeed(pty), static_cast<speed_t>(B57600));
  EXPECT_EQ(inSpeed(pty), static_cast<speed_t>(B57600));

  // Applied at once on an open port.
  EXPECT_TRUE(port.setBaud(115200));
  EXPECT_EQ(outSpeed(pty), static_cast<speed_t>(B115200));

  // A rate outside the table: refused, the speed stays, the stored rate not.
  log.clear();
  EXPECT_FALSE(port.setBaud(600));
  EXPECT_TRUE(log.hasLine(RATE_MESSAGE_600)) << log.text();
  EXPECT_EQ(port.baudRate(), 600);
  EXPECT_EQ(outSpeed(pty), static_cast<speed_t>(B115200));
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_OPEN);

  // Opening with 600 stored sets the port up, then refuses the rate.
  port.close();
  log.clear();
  EXPECT_EQ(port.open(), 3);
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_OPEN_FAILED);
  ASSERT_GE(log.lines().size(), 2u) << log.text();
  EXPECT_TRUE(log.hasLine(RATE_MESSAGE_600));
  EXPECT_TRUE(log.hasLine("ZySerialConnection::open: Invalid baud rate."));
  char c;
  EXPECT_EQ(port.read(&c, 1, 0), -1);
  EXPECT_STREQ(port.openErrorText(3), "Baud rate invalid, could not set baud on serial port.");
}

TEST(SerialConnection, RateTable) {
  LogCapture log;
  ZySerialConnection port;
  const int rates[] = {300, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  const speed_t speeds[] = {B300,  B1200,  B1800,  B2400,  B4800,
                            B9600, B19200, B38400, B57600, B115200};
  for (size_t i = 0; i < sizeof rates / sizeof rates[0]; i++) {
    EXPECT_EQ(port.rateToBaud(rates[i]), static_cast<int>(speeds[i])) << rates[i];
    EXPECT_EQ(port.baudToRate(static_cast<int>(speeds[i])), rates[i]) << rates[i];
  }
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(port.rateToBaud(230400), -1);
  EXPECT_TRUE(log.hasLine("ZySerialConnection::rateToBaud: Did not know baud for rate 230400."));
  EXPECT_EQ(port.baudToRate(static_cast<int>(B600)), -1);
  EXPECT_TRUE(log.hasLine("ZySerialConnection:baudToRate: Did not know rate for baud."));
}

TEST(SerialConnection, TextsOfStatusAndOpenResults) {
  ZySerialConnection port;
  EXPECT_STREQ(ZyDeviceConnection::statusText(1), "never opened");
  EXPECT_STREQ(ZyDeviceConnection::statusText(2), "open");
  EXPECT_STREQ(ZyDeviceConnection::statusText(3), "open failed");
  EXPECT_STREQ(ZyDeviceConnection::statusText(4), "closed");
  EXPECT_STREQ(ZyDeviceConnection::statusText(5), "closed on error");
  EXPECT_EQ(ZyDeviceConnection::statusText(0), nullptr);
  EXPECT_EQ(ZyDeviceConnection::statusText(7), nullptr);
  EXPECT_EQ(ZyDeviceConnection::statusText(-1), nullptr);

  EXPECT_STREQ(port.openErrorText(0), "");
  EXPECT_STREQ(port.openErrorText(1), "Could not open serial port.");
  EXPECT_STREQ(port.openErrorText(2), "Could not set up serial port.");
  EXPECT_STREQ(port.openErrorText(3), "Baud rate invalid, could not set baud on serial port.");
  EXPECT_STREQ(port.openErrorText(4), "Could not set baud rate on serial port.");
  EXPECT_STREQ(port.openErrorText(5), "Serial port already open.");
  EXPECT_STREQ(port.openErrorText(7), "");

  EXPECT_EQ(port.sendPacket(nullptr), 0);
}

TEST(SerialConnection, RawModeAndHardwareControl) {
  PtyPair pty;
  ZySerialConnection port;
  // Stored while closed, applied by open.
  EXPECT_TRUE(port.setHardwareControl(true));
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  struct termios tio = slaveSettings(pty);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | IEXTEN | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (BRKINT | INPCK | ISTRIP | ICRNL | IXON), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);

  EXPECT_TRUE(port.setHardwareControl(false));
  EXPECT_FALSE(port.hardwareControl());
  EXPECT_EQ(slaveSettings(pty).c_cflag & CRTSCTS, 0u);

  // Bytes that a cooked terminal would translate or act on pass unchanged.
  const char special[] = {'\r', '\n', 0x03, 0x11, 0x13, static_cast<char>(0xFF), 0x00, '$'};
  pty.write(std::string(special, sizeof special));
  char in[sizeof special] = {};
  EXPECT_EQ(port.read(in, sizeof in, 1000), static_cast<int>(sizeof special));
  EXPECT_EQ(std::memcmp(in, special, sizeof special), 0);
  EXPECT_EQ(port.write(special, sizeof special), static_cast<int>(sizeof special));
  EXPECT_EQ(pty.read(sizeof special, 1000), std::string(special, sizeof special));
}

TEST(SerialConnection, ReadsWithDeadline) {
  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  char buf[16];

  // A quiet line with no wait: nothing, at once.
  auto start = Clock::now();
  EXPECT_EQ(port.read(buf, sizeof buf, 0), 0);
  EXPECT_LT(msSince(start), 20);

  // A quiet line with a wait: nothing, after the wait and not much later.
  start = Clock::now();
  EXPECT_EQ(port.read(buf, sizeof buf, 100), 0);
  long waited = msSince(start);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 400);

  // Bytes waiting are returned by a zero wait, never more than asked for.
  pty.write("0123456789");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(port.read(buf, 4, 0), 4);
  EXPECT_EQ(std::string(buf, 6), "0123##") << "the buffer is untouched beyond what was read";
  EXPECT_EQ(port.read(buf, sizeof buf, 100), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");

  // Bytes trickling in are gathered until size is reached, before the deadline.
  std::thread peer([&pty] {
    pty.write("abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.write("def");
  });
  start = Clock::now();
  EXPECT_EQ(port.read(buf, 6, 2000), 6);
  EXPECT_LT(msSince(start), 1000);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
  peer.join();

  // What arrived before the deadline is returned; what comes later stays.
  std::thread late([&pty] {
    pty.write("gh");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    pty.write("ij");
  });
  start = Clock::now();
  EXPECT_EQ(port.read(buf, sizeof buf, 150), 2);
  EXPECT_LT(msSince(start), 380);
  EXPECT_EQ(std::string(buf, 2), "gh");
  late.join();
  EXPECT_EQ(port.read(buf, 2, 1000), 2);
  EXPECT_EQ(std::string(buf, 2), "ij");
}

TEST(SerialConnection, NoTimeStampsFromAnOrdinaryDriver) {
  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  EXPECT_TRUE(port.setBaud(19200));
  EXPECT_FALSE(port.timeStampingOn());
  ZyTime before;
  ZyTime stamp = port.readTimeStamp(0);
  EXPECT_LE(before.msUntil(stamp), 50);
  EXPECT_GE(before.msUntil(stamp), 0);
  port.close();
  stamp = port.readTimeStamp(0);
  EXPECT_LE(before.msUntil(stamp), 50);
}

TEST(SerialConnection, ModemLinesOnAPortWithoutThemAreFalse) {
  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(port.ctsLine());
  EXPECT_FALSE(port.dsrLine());
  EXPECT_FALSE(port.dcdLine());
  EXPECT_FALSE(port.ringLine());
  std::string err = testing::internal::GetCapturedStderr();
  // A pty has no modem lines; each query reports the refused request.
  EXPECT_NE(err.find("ioctl: TIOCMGET"), std::string::npos) << err;
}

TEST(SerialConnection, DestructorClosesThePort) {
  PtyPair pty;
  {
    ZySerialConnection port;
    ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
    EXPECT_EQ(port.write("hi", 2), 2);
  }
  EXPECT_EQ(pty.read(2, 1000), "hi");
}

namespace {
// Descriptors of this process open on path that are closed on exec, and all.
std::pair<int, int> descriptorsOn(const std::string &path) {
  int closing = 0, all = 0;
  for (int fd = 0; fd < 4096; fd++) {
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
      continue;
    target[n] = '\0';
    if (path != target)
      continue;
    all++;
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0)
      closing++;
  }
  return {closing, all};
}
} // namespace

TEST(SerialConnection, OnePortOneOwnerForTheWholeRun) {
  PtyPair pty; // its own slave descriptor is open without a lock: not busy
  ZySerialConnection first;
  ZySerialConnection second;
  ASSERT_EQ(first.open(pty.slavePath().c_str()), 0);
  EXPECT_EQ(first.openFailure(), ZySerialConnection::FAILURE_NONE);
  // The terminal itself is in exclusive mode while the port is open: no
  // other open of it succeeds (but root's), locks or not.
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  // The advisory lock refuses it (what the operator is told, naming the
  // holder, is the front end's: tests/tool/connect/port_advice_test.cpp).
  EXPECT_EQ(second.open(pty.slavePath().c_str()), 1);
  EXPECT_EQ(second.openFailure(), ZySerialConnection::FAILURE_BUSY);
  EXPECT_EQ(second.openFailureErrno(), EWOULDBLOCK);
  EXPECT_TRUE(second.openFailureIsFinal());

  // Closing the port within the run keeps it owned; the owner's own reopen
  // is not refused.
  first.close();
  EXPECT_EQ(second.open(), 1);
  EXPECT_EQ(second.openFailure(), ZySerialConnection::FAILURE_BUSY);
  ASSERT_EQ(first.open(), 0);
  EXPECT_EQ(first.write("ok", 2), 2);
  EXPECT_EQ(pty.read(2, 1000), "ok");

  // A second process is refused the same way.
  pid_t child = fork();
  if (child == 0) {
    ZySerialConnection other;
    bool refused = other.open(pty.slavePath().c_str()) == 1 &&
                   other.openFailure() == ZySerialConnection::FAILURE_BUSY &&
                   other.openFailureErrno() == EWOULDBLOCK;
    _exit(refused ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // Once the owner is gone, the port is free.
  first.close();
  ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "exclusive mode lifted on close";
  first.setPortName("/nonexistent/ttyQ9"); // another port: the lock goes
  EXPECT_EQ(second.open(), 0);
}

TEST(SerialConnection, OpenFailuresTellTheKindAndTheErrno) {
  char file[] = "/tmp/serial_regular_XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  struct Case {
    std::string port;
    ZySerialConnection::OpenFailure failure;
    int error;
  } cases[] = {
      {"/nonexistent/ttyQ9", ZySerialConnection::FAILURE_NO_SUCH_PORT, ENOENT},
      {file, ZySerialConnection::FAILURE_NOT_A_PORT, ENOTTY},
      {"/dev/null", ZySerialConnection::FAILURE_NOT_A_PORT, ENOTTY},
  };
  for (const Case &c : cases) {
    ZySerialConnection port;
    EXPECT_NE(port.open(c.port.c_str()), 0) << c.port;
    EXPECT_EQ(port.openFailure(), c.failure) << c.port;
    EXPECT_EQ(port.openFailureErrno(), c.error) << c.port;
    EXPECT_TRUE(port.openFailureIsFinal()) << c.port;
    // A port this run could not use is not kept from others.
    ZySerialConnection other;
    EXPECT_NE(other.open(c.port.c_str()), 0);
    EXPECT_EQ(other.openFailure(), c.failure) << c.port;
  }
  unlink(file);

  // A port this user may not open.
  PtyPair pty;
  ASSERT_EQ(chmod(pty.slavePath().c_str(), 0660), 0);
  ASSERT_EQ(chown(pty.slavePath().c_str(), 0, 20), 0); // group "dialout" on Debian
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(2);
    ZySerialConnection port;
    bool ok = port.open(pty.slavePath().c_str()) == 1 &&
              port.openFailure() == ZySerialConnection::FAILURE_PERMISSION_DENIED &&
              port.openFailureErrno() == EACCES && port.openFailureIsFinal();
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SerialConnection, WholeRawModeAndSettingsPutBack) {
  PtyPair pty;
  // Another program left the port translating and stripping.
  struct termios preset = slaveSettings(pty);
  preset.c_iflag |= INLCR | IGNCR | IXON | ISTRIP | PARMRK;
  preset.c_oflag |= OPOST | ONLCR;
  preset.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  {
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &preset), 0);
    ::close(fd);
  }
  preset = slaveSettings(pty); // as the driver took them
  EXPECT_EQ(descriptorsOn(pty.slavePath()).first, 0);
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  // The port and its lock are not handed to programs this one starts.
  EXPECT_EQ(descriptorsOn(pty.slavePath()).first, 2);

  struct termios raw = slaveSettings(pty);
  EXPECT_EQ(raw.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));

  const char packet[] = {static_cast<char>(0xFA), static_cast<char>(0xFB), 0x0D, 0x0A, 0x41};
  pty.write(std::string(packet, sizeof packet));
  char in[8] = {};
  EXPECT_EQ(port.read(in, sizeof packet, 1000), static_cast<int>(sizeof packet));
  EXPECT_EQ(std::string(in, sizeof packet), std::string(packet, sizeof packet));

  port.close();
  struct termios back = slaveSettings(pty);
  EXPECT_EQ(back.c_iflag, preset.c_iflag);
  EXPECT_EQ(back.c_oflag, preset.c_oflag);
  EXPECT_EQ(back.c_cflag, preset.c_cflag);
  EXPECT_EQ(back.c_lflag, preset.c_lflag);
}

TEST(SerialConnection, LowLatencyModeIsAskedForAndItsAbsenceLogged) {
  PtyPair pty;
  LogCapture log(ZyLog::Verbose);
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  EXPECT_TRUE(log.hasLine(
      "ZySerialConnection::open: The driver offers no low-latency mode; going on without."))
      << log.text();
}

namespace {
// A port whose driver refuses or cuts writes as a full output queue does:
// the first cuts calls take at most cut bytes, the next refusals calls fail
// with EAGAIN (all of them when negative).
class CongestedPort : public ZySerialConnection {
public:
  int refusals = 0;
  int cuts = 0;
  size_t cut = 1;
  int calls = 0;

protected:
  ssize_t systemWrite(int fd, const char *buffer, size_t size) override {
    calls++;
    if (cuts > 0) {
      cuts--;
      return ZySerialConnection::systemWrite(fd, buffer, std::min(size, cut));
    }
    if (refusals != 0) {
      if (refusals > 0)
        refusals--;
      errno = EAGAIN;
      return -1;
    }
    return ZySerialConnection::systemWrite(fd, buffer, size);
  }
};
} // namespace

TEST(SerialConnection, WritesAreCompleteOrFailed) {
  PtyPair pty;
  CongestedPort port;
  ASSERT_TRUE(port.setBaud(115200));
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);

  // Refusals and cut writes are waited out until every byte is out.
  port.refusals = 3;
  port.cuts = 4;
  EXPECT_EQ(port.write("0123456789", 10), 10);
  EXPECT_EQ(pty.read(10, 1000), "0123456789");
  EXPECT_GE(port.calls, 3 + 4 + 1);

  // A line that never takes the rest fails within its deadline, and the
  // robot packet sender does not count the cut packet as sent.
  port.cuts = 1;
  port.cut = 2;
  port.refusals = -1;
  ZyRobotPacketSender sender(&port);
  auto start = Clock::now();
  EXPECT_FALSE(sender.com(5));
  EXPECT_LT(msSince(start), 5000);
  EXPECT_EQ(pty.drain().size(), 2u) << "the cut packet's first bytes went out";
  EXPECT_EQ(port.write("x", 1), -1);

  // A real pty whose queue is full: the write fails at its deadline
  // instead of hanging or cutting the bytes.
  port.refusals = 0;
  char block[4096];
  std::memset(block, 'f', sizeof block);
  int fullAfter = -1;
  for (int i = 0; i < 64 && fullAfter < 0; i++)
    if (port.write(block, sizeof block) != static_cast<int>(sizeof block))
      fullAfter = i;
  EXPECT_GT(fullAfter, 0) << "the queue never filled";
  start = Clock::now();
  EXPECT_EQ(port.write(block, sizeof block), -1);
  EXPECT_LT(msSince(start), 5000);
}

namespace {
std::atomic<int> gSignalsSeen{0};
void countSignal(int) {
  gSignalsSeen++;
}
// The scheduler state of a thread of this process ('S' while it sleeps).
char threadState(pid_t tid) {
  char path[64], line[512];
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  FILE *f = fopen(path, "r");
  if (f == nullptr)
    return '?';
  char state = '?';
  if (fgets(line, sizeof line, f) != nullptr) {
    const char *end = strrchr(line, ')');
    if (end != nullptr && end[1] == ' ')
      state = end[2];
  }
  fclose(f);
  return state;
}
} // namespace

TEST(SerialConnection, ASignalNeitherEndsAWaitEarlyNorLosesTheNextByte) {
  struct sigaction action = {}, old = {};
  action.sa_handler = &countSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // no restart: the wait sees EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  char got = 0;
  int count = -2;
  std::thread reader([&] {
    tid = static_cast<pid_t>(syscall(SYS_gettid));
    count = port.read(&got, 1, 5000);
    done = true;
  });
  auto start = Clock::now();
  while ((tid == 0 || threadState(tid) != 'S') && msSince(start) < 3000)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  int seen = gSignalsSeen;
  pthread_kill(reader.native_handle(), SIGUSR1);
  while (gSignalsSeen == seen && msSince(start) < 3000)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(gSignalsSeen.load(), seen);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done) << "the wait ended at the signal";
  pty.write("Z");
  reader.join();
  EXPECT_EQ(count, 1);
  EXPECT_EQ(got, 'Z');
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(SerialConnection, DescriptorsAbove1024) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
    limit.rlim_cur = 1200;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < 1200)
    GTEST_SKIP() << "this process may not open 1200 files";
  PtyPair pty;
  std::vector<int> filler;
  int fd;
  while ((fd = ::open("/dev/null", O_RDONLY)) >= 0 && fd < 1100)
    filler.push_back(fd);
  if (fd >= 0)
    filler.push_back(fd);
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  char buf[4];
  EXPECT_EQ(port.read(buf, sizeof buf, 50), 0);
  pty.write("abcd");
  EXPECT_EQ(port.read(buf, sizeof buf, 1000), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  port.close();
  for (int f : filler)
    ::close(f);
}

// Tests of the serial device over a pseudo-terminal: opening and status,
// rates on open and closed ports, raw mode, reads with a deadline, writes,
// texts and the absence of time stamps on an ordinary driver.
#include "LogCapture.h"
#include "PtyPair.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
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

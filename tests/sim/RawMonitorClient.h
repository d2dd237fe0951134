// SPDX-License-Identifier: MIT
// RawMonitorClient: the host side of the monitor protocol as the simulator's
// tests see it. Opens the simulator's terminal like a serial port, builds
// command frames with its own escaping and checksum, and reads raw bytes
// and reply packets with bounded waits. Deliberately independent of the
// tool's monitor link.
#ifndef RAWMONITORCLIENT_H
#define RAWMONITORCLIENT_H

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class RawMonitorClient {
public:
  RawMonitorClient() = default;
  RawMonitorClient(const std::string &path, speed_t speed = B115200) { open(path, speed); }
  ~RawMonitorClient() { close(); }

  bool open(const std::string &path, speed_t speed = B115200) {
    close();
    myFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (myFd < 0) {
      ADD_FAILURE() << "cannot open " << path << ": " << strerror(errno);
      return false;
    }
    return setSpeed(speed);
  }

  void close() {
    if (myFd >= 0)
      ::close(myFd);
    myFd = -1;
  }

  /// Raw mode at the given speed, input flushed, as a serial tool does.
  bool setSpeed(speed_t speed) {
    struct termios tio;
    if (tcgetattr(myFd, &tio) != 0)
      return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(myFd, TCSAFLUSH, &tio) == 0;
  }

  int fd() const { return myFd; }

  /// A command frame: "$", the text with "$", "#" and "}" escaped, "#" and
  /// the checksum of the bytes between as two lower-case digits.
  static std::string frame(const std::string &text) {
    std::string body;
    for (char c : text) {
      if (c == '$' || c == '#' || c == '}') {
        body += '}';
        body += static_cast<char>(c ^ 0x20);
      } else {
        body += c;
      }
    }
    return "$" + body + "#" + hex2(sum(body));
  }

  static unsigned sum(const std::string &bytes) {
    unsigned s = 0;
    for (char c : bytes)
      s += static_cast<unsigned char>(c);
    return s & 0xff;
  }

  static std::string hex2(unsigned value) {
    static const char digits[] = "0123456789abcdef";
    return std::string(1, digits[(value >> 4) & 0xf]) + digits[value & 0xf];
  }

  static std::string toHex(const std::string &bytes) {
    std::string out;
    for (char c : bytes)
      out += hex2(static_cast<unsigned char>(c));
    return out;
  }

  void write(const std::string &bytes) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < bytes.size()) {
      ssize_t n = ::write(myFd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        ADD_FAILURE() << "write to the simulator failed: " << strerror(errno);
        return;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "write to the simulator timed out";
        return;
      }
      struct pollfd pfd = {myFd, POLLOUT, 0};
      poll(&pfd, 1, 10);
    }
  }

  /// Reads until count bytes came or msWait passed.
  std::string read(size_t count, int msWait) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
    while (out.size() < count) {
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left < 0)
        break;
      struct pollfd pfd = {myFd, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
        break;
      char buf[4096];
      size_t want = count - out.size() < sizeof(buf) ? count - out.size() : sizeof(buf);
      ssize_t n = ::read(myFd, buf, want);
      if (n > 0)
        out.append(buf, static_cast<size_t>(n));
      else if (n < 0 && errno != EAGAIN && errno != EINTR)
        break;
    }
    return out;
  }

  /// Everything that arrives until the line has been quiet for quietMs.
  std::string drain(int quietMs = 100) {
    std::string out;
    for (int rounds = 0; rounds < 100000; rounds++) {
      std::string part = read(65536, quietMs);
      if (part.empty())
        break;
      out += part;
    }
    return out;
  }

  /// Reads one reply packet, skipping bytes before its "$". The body goes
  /// into body and the two checksum characters into sumDigits; false when
  /// no complete packet came within msWait.
  bool readReply(std::string &body, std::string &sumDigits, int msWait = 2000,
                 std::string *skipped = nullptr) {
    body.clear();
    sumDigits.clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
    auto left = [&] {
      long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
      return ms < 0 ? 0 : static_cast<int>(ms);
    };
    std::string c;
    for (;;) {
      c = read(1, left());
      if (c.empty())
        return false;
      if (c[0] == '$')
        break;
      if (skipped)
        *skipped += c;
    }
    for (;;) {
      c = read(1, left());
      if (c.empty())
        return false;
      if (c[0] == '#')
        break;
      body += c;
    }
    sumDigits = read(2, left());
    return sumDigits.size() == 2;
  }

  /// Sends a command, expects "+", then reads its reply, checks its checksum
  /// and acknowledges it with "+". Returns the body; adds a test failure
  /// when any step goes wrong.
  std::string command(const std::string &text, int msWait = 3000) {
    write(frame(text));
    std::string ack = read(1, 1000);
    EXPECT_EQ("+", ack) << "no acknowledgement of " << text;
    std::string body, digits;
    if (!readReply(body, digits, msWait)) {
      ADD_FAILURE() << "no reply to " << text;
      return "";
    }
    EXPECT_EQ(hex2(sum(body)), digits) << "bad reply checksum for " << text;
    write("+");
    return body;
  }

  /// Decodes a body of hexadecimal digit pairs.
  static std::string fromHex(const std::string &digits) {
    std::string out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
      out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
  }

private:
  int myFd = -1;
};

#endif

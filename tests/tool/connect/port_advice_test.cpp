// SPDX-License-Identifier: MIT
// Tests of what the operator is told when the serial port cannot be opened:
// each kind of failure the library reports, with the port, the reason and
// what to do.
#include "PortAdvice.h"
#include "PtyPair.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
} // namespace

TEST(PortAdvice, EachFailureNamesThePortTheReasonAndTheFix) {
  char file[] = "/tmp/serial_regular_XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  PtyPair pty;
  ZySerialConnection owner;
  ASSERT_EQ(owner.open(pty.slavePath().c_str()), 0);
  struct Case {
    std::string port;
    std::string text; // the whole text, or its start when prefix
    bool prefix;
  } cases[] = {
      {"/nonexistent/ttyQ9", "Port '/nonexistent/ttyQ9': no such port. ", true},
      {file, std::string("Port '") + file + "' is not a serial port.", false},
      {"/dev/null", "Port '/dev/null' is not a serial port.", false},
      // The advisory lock's holder is found in the kernel's table of locks.
      {pty.slavePath(),
       "Port '" + pty.slavePath() + "' is in use by another program (process " +
           std::to_string(getpid()) + ").",
       false},
  };
  for (const Case &c : cases) {
    ZySerialConnection port;
    EXPECT_NE(port.open(c.port.c_str()), 0) << c.port;
    const std::string advice = portAdvice(port);
    if (c.prefix)
      EXPECT_TRUE(startsWith(advice, c.text)) << advice;
    else
      EXPECT_EQ(advice, c.text);
  }
  unlink(file);

  // Failures given directly: none, busy with no holder to be found, other.
  EXPECT_EQ(portAdvice("/dev/x", ZySerialConnection::FAILURE_NONE, 0), "");
  EXPECT_EQ(portAdvice("/nonexistent/ttyQ9", ZySerialConnection::FAILURE_BUSY, EBUSY),
            "Port '/nonexistent/ttyQ9' is in use by another program.");
  EXPECT_EQ(portAdvice("/dev/x", ZySerialConnection::FAILURE_OTHER, EIO),
            "Port '/dev/x' could not be opened: Input/output error.");
}

TEST(PortAdvice, PermissionDeniedNamesTheGroupAndHowToJoinIt) {
  PtyPair pty;
  ASSERT_EQ(chmod(pty.slavePath().c_str(), 0660), 0);
  ASSERT_EQ(chown(pty.slavePath().c_str(), 0, 20), 0); // group "dialout" on Debian
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(2);
    ZySerialConnection port;
    std::string advice = port.open(pty.slavePath().c_str()) == 1 ? portAdvice(port) : "";
    bool ok = advice.find("permission denied") != std::string::npos &&
              advice.find("sudo usermod -aG ") != std::string::npos &&
              advice.find("then log in again") != std::string::npos;
    if (!ok)
      fprintf(stderr, "%s\n", advice.c_str());
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

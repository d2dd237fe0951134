// SPDX-License-Identifier: MIT
// Pseudo-terminal pair for serial-line tests.
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

PtyPair::PtyPair() {
  int slave = -1;
  char name[256];
  if (openpty(&myMaster, &slave, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed: " << strerror(errno);
    return;
  }
  struct termios tio;
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  mySlaveKeep = slave;
  mySlavePath = name;
  fcntl(myMaster, F_SETFL, fcntl(myMaster, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (mySlaveKeep >= 0)
    ::close(mySlaveKeep);
  if (myMaster >= 0)
    ::close(myMaster);
}

void PtyPair::write(const std::string &bytes) {
  size_t done = 0;
  auto start = std::chrono::steady_clock::now();
  while (done < bytes.size()) {
    ssize_t n = ::write(myMaster, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ADD_FAILURE() << "pty write failed: " << strerror(errno);
      return;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
      ADD_FAILURE() << "pty write timed out";
      return;
    }
    struct pollfd pfd = {myMaster, POLLOUT, 0};
    poll(&pfd, 1, 10);
  }
}

namespace {
long msLeft(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now())
      .count();
}
} // namespace

std::string PtyPair::read(size_t count, int msWait) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
  while (out.size() < count) {
    long left = msLeft(deadline);
    if (left < 0)
      break;
    struct pollfd pfd = {myMaster, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
      break;
    char buf[4096];
    size_t want = std::min(sizeof(buf), count - out.size());
    ssize_t n = ::read(myMaster, buf, want);
    if (n > 0)
      out.append(buf, static_cast<size_t>(n));
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
      break;
  }
  return out;
}

std::string PtyPair::readUntil(const std::string &terminator, int msWait) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
  while (out.size() < terminator.size() ||
         out.compare(out.size() - terminator.size(), terminator.size(), terminator) != 0) {
    long left = msLeft(deadline);
    if (left < 0)
      break;
    struct pollfd pfd = {myMaster, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
      break;
    char c;
    ssize_t n = ::read(myMaster, &c, 1);
    if (n == 1)
      out.push_back(c);
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
      break;
  }
  return out;
}

std::string PtyPair::drain(int quietMs) {
  std::string out;
  for (int rounds = 0; rounds < 100000; rounds++) {
    struct pollfd pfd = {myMaster, POLLIN, 0};
    if (poll(&pfd, 1, quietMs) <= 0)
      break;
    char buf[4096];
    ssize_t n = ::read(myMaster, buf, sizeof(buf));
    if (n > 0)
      out.append(buf, static_cast<size_t>(n));
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
      break;
  }
  return out;
}

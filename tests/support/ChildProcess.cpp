// SPDX-License-Identifier: MIT
// Forked children for tests of process-ending and process-wide behaviour.
#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {
long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}
} // namespace

void childMark(const char *text) {
  size_t len = strlen(text);
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, text, len);
    if (n <= 0) {
      if (n < 0 && errno == EINTR)
        continue;
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

ChildResult runInChild(const std::function<void()> &body, int msWait) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0)
    return result;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    body();
    fflush(stdout);
    _exit(99);
  }

  close(fds[1]);
  const long deadline = nowMs() + msWait;
  char buf[4096];
  for (;;) {
    long left = deadline - nowMs();
    if (left <= 0)
      break;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      break;
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break; // end of file: every writer has gone
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);

  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.finished = true;
      break;
    }
    if (done < 0 && errno != EINTR)
      break;
    if (nowMs() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signalled = true;
    result.termSignal = WTERMSIG(status);
  }
  return result;
}

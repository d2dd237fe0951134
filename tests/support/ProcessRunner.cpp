// SPDX-License-Identifier: MIT
// Child-process runner and small file helpers for end-to-end tests.
#include "ProcessRunner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ORVEX_BIN_DIR
#define ORVEX_BIN_DIR "."
#endif

extern char **environ;

bool onPath(const std::string &tool) {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t begin = 0;
  while (begin <= dirs.size()) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos)
      end = dirs.size();
    std::string candidate = dirs.substr(begin, end - begin) + "/" + tool;
    if (access(candidate.c_str(), X_OK) == 0)
      return true;
    begin = end + 1;
  }
  return false;
}

int runOnPath(const std::vector<std::string> &args) {
  if (args.empty())
    return -1;
  std::vector<char *> argv;
  for (const auto &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

std::string binPath(const std::string &name) {
  return std::string(ORVEX_BIN_DIR) + "/" + name;
}

RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::string &stdinText, const std::map<std::string, std::string> &env,
                     const std::string &workDir, int timeoutMs,
                     const std::function<bool()> &killWhen) {
  RunResult result;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0)
    return result;
  // The tool keeps backups and its write journal under XDG_STATE_HOME: a
  // test's children never use the real one. Each run gets a store of its
  // own unless the test gives one.
  static int runs = 0;
  std::string stateHome;
  if (env.find("XDG_STATE_HOME") == env.end())
    stateHome = tempPath("state-" + std::to_string(++runs));
  pid_t pid = fork();
  if (pid < 0)
    return result;
  if (pid == 0) {
    if (!stateHome.empty())
      setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
      close(fd);
    for (const auto &entry : env) {
      if (entry.second.empty())
        unsetenv(entry.first.c_str());
      else
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    }
    if (!workDir.empty() && chdir(workDir.c_str()) != 0)
      _exit(126);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const auto &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);

  size_t written = 0;
  if (stdinText.empty()) {
    close(inPipe[1]);
    inPipe[1] = -1;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool outOpen = true, errOpen = true;
  bool killed = false;
  while (outOpen || errOpen) {
    if (killWhen && !killed && killWhen()) {
      kill(pid, SIGKILL);
      killed = true;
    }
    long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (outOpen) {
      fds[n] = {outPipe[0], POLLIN, 0};
      outIdx = n++;
    }
    if (errOpen) {
      fds[n] = {errPipe[0], POLLIN, 0};
      errIdx = n++;
    }
    if (inPipe[1] >= 0) {
      fds[n] = {inPipe[1], POLLOUT, 0};
      inIdx = n++;
    }
    long slice = killWhen && !killed ? 10L : 100L;
    if (poll(fds, n, static_cast<int>(std::min(left, slice))) < 0 && errno != EINTR)
      break;
    char buf[4096];
    if (outIdx >= 0 && (fds[outIdx].revents & (POLLIN | POLLHUP))) {
      ssize_t r = read(outPipe[0], buf, sizeof(buf));
      if (r > 0)
        result.out.append(buf, static_cast<size_t>(r));
      else
        outOpen = false;
    }
    if (errIdx >= 0 && (fds[errIdx].revents & (POLLIN | POLLHUP))) {
      ssize_t r = read(errPipe[0], buf, sizeof(buf));
      if (r > 0)
        result.err.append(buf, static_cast<size_t>(r));
      else
        errOpen = false;
    }
    if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(inPipe[1], stdinText.data() + written, stdinText.size() - written);
      if (w > 0)
        written += static_cast<size_t>(w);
      if (w < 0 || written >= stdinText.size()) {
        close(inPipe[1]);
        inPipe[1] = -1;
      }
    }
  }
  if (inPipe[1] >= 0)
    close(inPipe[1]);
  close(outPipe[0]);
  close(errPipe[0]);
  int wstatus = 0;
  // The pipes closed; the child has ended or is about to.
  for (int i = 0; i < 500; i++) {
    pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid)
      break;
    if (i == 499) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      result.timedOut = true;
    }
    usleep(10000);
  }
  if (WIFEXITED(wstatus))
    result.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    result.signal = WTERMSIG(wstatus);
  return result;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out)
    return false;
  out << text;
  return static_cast<bool>(out);
}

std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// SPDX-License-Identifier: MIT
// ProcessRunner: runs a built program of the project as a child process with
// given arguments, standard input and environment, and collects its output
// and exit status, with a bound on the time it may take.
#ifndef PROCESSRUNNER_H
#define PROCESSRUNNER_H

#include "TempFiles.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;       ///< exit status, or -1 when killed or not run
  int signal = 0;        ///< terminating signal, or 0
  bool timedOut = false; ///< killed because it ran too long
  std::string out;       ///< standard output
  std::string err;       ///< standard error
};

/// Runs program (a path) with args; stdinText is its whole standard input
/// (then end of input). env entries are set (empty value unsets). The child
/// runs in workDir when given. Unless env names XDG_STATE_HOME, the child
/// gets a fresh scratch one, so its backups and journal stay in the test's
/// scratch directory. killWhen, when given, is asked every 10 ms while the
/// child runs; once it says true the child is killed with SIGKILL (result:
/// signal 9), as a power cut or a crash would end it.
RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::string &stdinText = "",
                     const std::map<std::string, std::string> &env = {},
                     const std::string &workDir = "", int timeoutMs = 30000,
                     const std::function<bool()> &killWhen = nullptr);

/// True when a program of that name is on the PATH.
bool onPath(const std::string &tool);
/// Runs a program found on the PATH with args (args[0] is its name) and
/// waits for it; its exit status, or -1 when it could not run or was killed.
int runOnPath(const std::vector<std::string> &args);

// A missing tool fails the test in CI, where scripts/deps.sh installs it,
// and skips it on a developer's machine.
#define REQUIRE_TOOL(tool, package)                                                                \
  do {                                                                                             \
    if (!onPath(tool)) {                                                                           \
      if (getenv("CI") != nullptr) {                                                               \
        FAIL() << tool << " is missing; install the " << package << " package (scripts/deps.sh)";  \
      }                                                                                            \
      GTEST_SKIP() << tool << " is not installed; install the " << package                         \
                   << " package (scripts/deps.sh) to run this test";                               \
    }                                                                                              \
  } while (0)

/// Path of a program built into the project's bin directory.
std::string binPath(const std::string &name);

/// Whole content of a file, or "" when it cannot be read.
std::string readFile(const std::string &path);
/// Writes text to a file (replacing it); false on failure.
bool writeFile(const std::string &path, const std::string &text);
/// Splits text into lines (without their line ends).
std::vector<std::string> splitLines(const std::string &text);

#endif

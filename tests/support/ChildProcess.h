// SPDX-License-Identifier: MIT
// ChildProcess: runs a piece of a test in a forked child whose standard
// output and standard error go into a pipe, and collects that output and
// the child's end with bounded waits. For code that ends the process or
// changes process-wide state that cannot be undone (signal handling,
// library start-up).
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <functional>
#include <string>

struct ChildResult {
  bool finished = false; ///< the child ended within the wait
  bool exited = false;   ///< ended by exit; exitCode is valid
  int exitCode = -1;
  bool signalled = false; ///< killed by a signal; termSignal is valid
  int termSignal = 0;
  std::string output; ///< standard output and standard error, interleaved
};

/// Forks; the child runs body with standard output and standard error on a
/// pipe, then ends with status 99 if body returned. The parent collects the
/// output until the child ends or msWait passes (the child is then killed
/// and finished stays false).
ChildResult runInChild(const std::function<void()> &body, int msWait = 10000);

/// Writes a text straight to standard output (no stdio buffering), for
/// markers written from callbacks in the child.
void childMark(const char *text);

#endif

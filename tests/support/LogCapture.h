// SPDX-License-Identifier: MIT
// LogCapture: routes the process-wide log into memory for the duration of a
// test, so tests can assert on exact log lines.
#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include "ZyLog.h"

#include <string>
#include <vector>

class LogCapture {
public:
  /// Captures every line up to the given level.
  explicit LogCapture(ZyLog::LogLevel level = ZyLog::Verbose);
  /// Restores the log to standard output at level Normal.
  ~LogCapture();

  const std::vector<std::string> &lines() const;
  /// A copy of the lines, taken under the capture's lock: use it while
  /// another thread may still be logging.
  std::vector<std::string> snapshot() const;
  /// All lines joined with "\n" (each followed by a newline).
  std::string text() const;
  /// True when some line equals the text exactly.
  bool hasLine(const std::string &line) const;
  /// True when some line contains the text.
  bool contains(const std::string &part) const;
  void clear();

  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
};

#endif

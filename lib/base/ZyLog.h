// SPDX-License-Identifier: MIT
// ZyLog: the process-wide message log. Every diagnostic, warning and
// progress message goes through it with a level; it writes whole lines to
// standard output, standard error, a file, a text sink, or nowhere.
#ifndef ZYLOG_H
#define ZYLOG_H

#include <cstdarg>
#include <cstdio>

class ZyConfig;

#define ZYLOG_PRINTF(fmtPos, argPos) __attribute__((format(printf, fmtPos, argPos)))

class ZyLog {
public:
  // Fixed underlying type: any stored integer is a valid value, so an
  // unknown one can be reported as such.
  enum LogType : int { StdOut, StdErr, File, Tessel, None };
  enum LogLevel : int { Terse, Normal, Verbose };

  /// Chooses destination and level; false only when the log file cannot be
  /// opened (then the previous settings stay).
  static bool init(LogType type, LogLevel level, const char *fileName = "", bool logTime = false,
                   bool alsoPrint = false, bool printThisCall = true);
  /// Writes one line when level is not above the current level.
  static void log(LogLevel level, const char *format, ...) ZYLOG_PRINTF(2, 3);
  static void logv(LogLevel level, const char *format, va_list args);
  /// As log, without the log lock and without flushing.
  static void logNoLock(LogLevel level, const char *format, ...) ZYLOG_PRINTF(2, 3);
  /// Closes the log file when the type is File.
  static void close();
  /// Registers the "LogConfig" section with a configuration registry.
  static void addToConfig(ZyConfig *config);
  /// Process-file callback of the configuration binding.
  static bool processFile();

  /// Installs the text sink that receives the lines of type Tessel; init
  /// with Tessel clears it, so install it after init.
  static void setTextSink(void (*sink)(int handle, const char *line), int handle);

  /// A function that sees every line logged.
  using Observer = void (*)(void *context, LogLevel level, const char *line);
  /// Installs the observer, which is called with every line that passes
  /// the level filter, whatever the log type (None included), after it is
  /// written: the message without the time prefix and without trailing
  /// line ends; empty lines are not passed. It is called under the log
  /// lock (for logNoLock, under whatever the caller holds), so it must not
  /// take a lock that is held while logging; a line it logs itself, or one
  /// logged on its thread while it runs, does not reach it again.
  /// nullptr removes it; a call under way on another thread through log
  /// has ended when this returns. init leaves it in place.
  static void setObserver(Observer observer, void *context);

  static LogType getType();
  static LogLevel getLevel();
  /// Size of the line buffer; longer lines are cut inside it.
  static const int BUFFER_SIZE = 2048;

private:
  static void writeLine(LogLevel level, bool lock, const char *format, va_list args);
};

#endif

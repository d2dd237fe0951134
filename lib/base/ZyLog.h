// SPDX-License-Identifier: MIT
// ZyLog: the process-wide message log. Every diagnostic, warning and
// progress message goes through it with a level; it writes whole lines to
// standard output, standard error, a file, a program's own function, or
// nowhere. A program that uses the library's operations may keep the log
// silent and collect, thread by thread, what each operation logged.
#ifndef ZYLOG_H
#define ZYLOG_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

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

  /// A program's own receiver of the log's lines: the level of each line
  /// and the line as the log would write it (the time prefix when asked
  /// for), without a line end. It is called under the log lock and must
  /// not log itself.
  using Sink = void (*)(void *context, LogLevel level, const char *line);
  /// Routes the log to the program's function: from now on every line up
  /// to level goes to sink and to no stream (type Tessel; the time prefix
  /// and also print stay as they were). nullptr routes the log nowhere
  /// (type None). ZYLOG_LEVEL is not read: the program chose the level. A
  /// call under way on another thread through log has ended when this
  /// returns; init with any type removes the sink.
  static void setSink(Sink sink, void *context, LogLevel level);

  /// For a library whose operations log: unless the program has chosen
  /// where the log goes (init or setSink called before), the log writes
  /// nothing from now on (type None, level kept); the observer and the
  /// collectors still see every line. A later init or setSink of the
  /// program chooses again. True when the log was made silent by this call.
  static bool quietUnlessChosen();

  /// Collects the lines logged on the thread that makes it, for as long as
  /// it lives: each line up to its own level, whatever the log's level and
  /// type (a silent log included), as the observer sees them (no time
  /// prefix, no trailing line ends, empty lines left out). Each thread
  /// collects only its own lines, so several threads each driving a
  /// controller each get their own messages. Collectors on one thread nest
  /// (make and destroy one as a scope variable): a line reaches every one
  /// whose level it passes. The first MAX_LINES are kept, the rest counted.
  class Collector {
  public:
    struct Line {
      LogLevel level;
      std::string text;
    };
    /// Lines kept at most, so that a loop that logs without end cannot
    /// grow a collector without bound.
    static constexpr size_t MAX_LINES = 1000;

    explicit Collector(LogLevel level = Verbose);
    ~Collector();
    Collector(const Collector &) = delete;
    Collector &operator=(const Collector &) = delete;

    const std::vector<Line> &lines() const { return myLines; }
    /// Lines past MAX_LINES.
    size_t notKept() const { return myNotKept; }
    /// The kept lines up to level, in order, each followed by a line feed.
    std::string text(LogLevel level) const;

  private:
    friend class ZyLog;
    void take(LogLevel level, const char *text);

    LogLevel myLevel;
    /// The highest level this collector or one around it takes.
    LogLevel myReach;
    Collector *myOuter;
    std::vector<Line> myLines;
    size_t myNotKept = 0;
  };

  /// While it lives, the lines logged on the thread that made it reach
  /// neither the log's destination nor its observer, as if the log were
  /// silent (type None) for that thread alone; collectors still take them.
  /// For a library that must keep a step's own lines from its program, as
  /// a command-line tool silences its log, while other threads log on.
  /// Silences on one thread nest (make one as a scope variable).
  class Silence {
  public:
    Silence();
    ~Silence();
    Silence(const Silence &) = delete;
    Silence &operator=(const Silence &) = delete;
  };

  static LogType getType();
  static LogLevel getLevel();
  /// Size of the line buffer; longer lines are cut inside it.
  static const int BUFFER_SIZE = 2048;

private:
  static void writeLine(LogLevel level, bool lock, const char *format, va_list args);
};

#endif

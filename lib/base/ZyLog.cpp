// SPDX-License-Identifier: MIT
// The process-wide log: level filter, optional time prefix, one line per
// call through a fixed 2048-byte buffer, serialised by the log lock; the
// program's sink, and the collectors of each thread.
#include "ZyLog.h"

#include "ZyLogInternal.h"
#include "ZyMutex.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {
struct LogState {
  ZyLog::LogType type = ZyLog::StdOut;
  // Read before the lock is taken (a line above the level costs one
  // comparison), so that a thread may log while another sets the level.
  std::atomic<ZyLog::LogLevel> level{ZyLog::Normal};
  FILE *stream = nullptr;
  std::string fileName;
  bool logTime = false;
  bool alsoPrint = false;
  void (*sink)(int, const char *) = nullptr;
  int sinkHandle = -1;
  ZyLog::Sink programSink = nullptr;
  void *programSinkContext = nullptr;
  ZyLog::Observer observer = nullptr;
  void *observerContext = nullptr;
  // The program called init or setSink: quietUnlessChosen leaves the log
  // as it is.
  bool chosen = false;
};

// The innermost collector of this thread, or nullptr.
thread_local ZyLog::Collector *innermostCollector = nullptr;

// True on a thread while it runs the observer: a line logged meanwhile on
// that thread (by the observer, or by a lock it takes that fails) is not
// handed to it again, which would recurse without end.
thread_local bool inObserver = false;

// How many ZyLog::Silence live on this thread.
thread_local int silences = 0;

// The state and the lock live for the whole process and are never
// destroyed: a thread may still log while another one ends the process
// with exit(), which runs the static destructors.
LogState &state() {
  static LogState &s = *new LogState;
  return s;
}

ZyMutex &logLock() {
  static ZyMutex &m = *new ZyMutex;
  return m;
}

// Close without taking the lock; callers hold it or run alone.
void closeNoLock() {
  LogState &s = state();
  if (s.type == ZyLog::File && s.stream != nullptr && s.stream != stdout && s.stream != stderr) {
    fclose(s.stream);
    s.stream = nullptr;
    s.fileName.clear();
  }
}
} // namespace

void ZyLog::writeLine(LogLevel level, bool lock, const char *format, va_list args) {
  LogState &s = state();
  bool written = silences == 0 && level <= s.level.load(std::memory_order_relaxed);
  Collector *collector = innermostCollector;
  bool collected = collector != nullptr && level <= collector->myReach;
  if (!written && !collected)
    return;
  // A line only collected stays on its thread: no lock, no stream.
  ZyMutex::Scope logScope(logLock(), lock && written);
  char buf[BUFFER_SIZE];
  size_t used = 0; // length of the time prefix
  buf[0] = '\0';
  if (written && s.logTime) {
    time_t now = time(nullptr);
    char timeText[64];
    if (ctime_r(&now, timeText) != nullptr) {
      memcpy(buf, timeText, 20);
      used = 20;
      buf[used] = '\0';
    }
  }
  vsnprintf(buf + used, sizeof(buf) - used, format, args);

  if (written) {
    if (s.type == Tessel) {
      if (s.sink != nullptr)
        s.sink(s.sinkHandle, buf);
      if (s.programSink != nullptr)
        s.programSink(s.programSinkContext, level, buf);
    } else if (s.stream != nullptr) {
      fprintf(s.stream, "%s\n", buf);
      if (lock)
        fflush(s.stream);
    } else if (s.type != None) {
      printf("%s\n", buf);
      if (lock)
        fflush(stdout);
    }
    if (s.alsoPrint)
      printf("%s\n", buf);
  }

  // The message alone, trailing line ends dropped (the written line is
  // done with, so the buffer can be cut in place).
  size_t end = strlen(buf);
  while (end > used && (buf[end - 1] == '\n' || buf[end - 1] == '\r'))
    buf[--end] = '\0';
  if (end == used)
    return;
  if (written && s.observer != nullptr && !inObserver) {
    inObserver = true;
    s.observer(s.observerContext, level, buf + used);
    inObserver = false;
  }
  if (collected)
    for (Collector *c = collector; c != nullptr; c = c->myOuter)
      if (level <= c->myLevel)
        c->take(level, buf + used);
}

ZyLog::Silence::Silence() {
  silences++;
}

ZyLog::Silence::~Silence() {
  silences--;
}

void ZyLog::log(LogLevel level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(level, true, format, args);
  va_end(args);
}

void ZyLog::logv(LogLevel level, const char *format, va_list args) {
  writeLine(level, true, format, args);
}

void ZyLog::logNoLock(LogLevel level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(level, false, format, args);
  va_end(args);
}

void ZyLog::close() {
  ZyMutex::Scope logScope(logLock());
  closeNoLock();
}

bool ZyLog::init(LogType type, LogLevel level, const char *fileName, bool logTime, bool alsoPrint,
                 bool printThisCall) {
  LogState &s = state();
  ZyMutex::Scope logScope(logLock());
  s.chosen = true;
  if (s.type != File || type != File)
    closeNoLock();

  switch (type) {
  case StdOut:
    s.stream = stdout;
    break;
  case StdErr:
    s.stream = stderr;
    break;
  case File:
    if (fileName != nullptr && fileName[0] != '\0') {
      if (s.fileName == fileName) {
        logNoLock(Terse, "ZyLog::init: Continuing to log to the same file.");
      } else {
        // A log file that was open is closed (messages then reach standard
        // output if the new one fails); a standard stream stays in use.
        closeNoLock();
        FILE *file = fopen(fileName, "w");
        if (file == nullptr) {
          logNoLock(Terse, "ZyLog::init: Could not open file %s for logging.", fileName);
          return false;
        }
        s.stream = file;
        s.fileName = fileName;
      }
    }
    break;
  case Tessel:
    s.sink = nullptr;
    s.sinkHandle = -1;
    break;
  case None:
  default:
    s.stream = nullptr;
    break;
  }
  // The program's sink goes with any init, as the text sink goes with one
  // of type Tessel.
  s.programSink = nullptr;
  s.programSinkContext = nullptr;
  s.type = type;
  s.level = level;

  const char *envLevel = getenv("ZYLOG_LEVEL");
  if (envLevel != nullptr) {
    switch (envLevel[0]) {
    case 'T':
    case 't':
      s.level = Terse;
      break;
    case 'N':
    case 'n':
      s.level = Normal;
      break;
    case 'V':
    case 'v':
      s.level = Verbose;
      break;
    default:
      break;
    }
  }
  s.logTime = logTime;
  s.alsoPrint = alsoPrint;

  if (printThisCall) {
    printf("ZyLog::init: ");
    switch (s.type) {
    case StdOut:
      printf(" StdOut\t");
      break;
    case StdErr:
      printf(" StdErr\t");
      break;
    case File:
      printf(" File(%s)\t", s.fileName.c_str());
      break;
    case Tessel:
      printf(" Tessel\t");
      break;
    case None:
      printf(" None\t");
      break;
    default:
      printf(" BadType\t");
      break;
    }
    switch (s.level.load()) {
    case Terse:
      printf(" Terse\t");
      break;
    case Normal:
      printf(" Normal\t");
      break;
    case Verbose:
      printf(" Verbose\t");
      break;
    default:
      printf(" BadLevel\t");
      break;
    }
    printf(s.logTime ? " Logging Time\t" : " Not logging time\t");
    printf(s.alsoPrint ? " Also printing\n" : " Not also printing\n");
  }
  return true;
}

void ZyLog::setTextSink(void (*sink)(int, const char *), int handle) {
  ZyMutex::Scope logScope(logLock());
  state().sink = sink;
  state().sinkHandle = handle;
}

void ZyLog::setSink(Sink sink, void *context, LogLevel level) {
  LogState &s = state();
  ZyMutex::Scope logScope(logLock());
  s.chosen = true;
  closeNoLock();
  s.stream = nullptr;
  s.sink = nullptr;
  s.sinkHandle = -1;
  s.programSink = sink;
  s.programSinkContext = sink != nullptr ? context : nullptr;
  s.type = sink != nullptr ? Tessel : None;
  s.level = level;
}

bool ZyLog::quietUnlessChosen() {
  LogState &s = state();
  ZyMutex::Scope logScope(logLock());
  if (s.chosen)
    return false;
  s.chosen = true;
  s.stream = nullptr;
  s.type = None;
  return true;
}

ZyLog::Collector::Collector(LogLevel level)
    : myLevel(level), myReach(level), myOuter(innermostCollector) {
  if (myOuter != nullptr && myOuter->myReach > myReach)
    myReach = myOuter->myReach;
  innermostCollector = this;
}

ZyLog::Collector::~Collector() {
  // Made and destroyed as a scope this is the innermost; one destroyed out
  // of turn is taken out of the chain all the same.
  if (innermostCollector == this) {
    innermostCollector = myOuter;
    return;
  }
  for (Collector *c = innermostCollector; c != nullptr; c = c->myOuter)
    if (c->myOuter == this) {
      c->myOuter = myOuter;
      return;
    }
}

void ZyLog::Collector::take(LogLevel level, const char *text) {
  if (myLines.size() >= MAX_LINES) {
    myNotKept++;
    return;
  }
  myLines.push_back(Line{level, text});
}

std::string ZyLog::Collector::text(LogLevel level) const {
  std::string all;
  for (const Line &line : myLines)
    if (line.level <= level)
      all += line.text + "\n";
  return all;
}

void ZyLog::setObserver(Observer observer, void *context) {
  ZyMutex::Scope logScope(logLock());
  state().observer = observer;
  state().observerContext = context;
}

ZyLog::LogType ZyLog::getType() {
  return state().type;
}
ZyLog::LogLevel ZyLog::getLevel() {
  return state().level.load(std::memory_order_relaxed);
}

bool ZyLogInternal::runsWith(ZyLog::LogType type, ZyLog::LogLevel level, const char *fileName,
                             bool logTime, bool alsoPrint) {
  LogState &s = state();
  return type == s.type && level == s.level && strcmp(fileName, s.fileName.c_str()) == 0 &&
         logTime == s.logTime && alsoPrint == s.alsoPrint;
}

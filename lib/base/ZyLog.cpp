// SPDX-License-Identifier: MIT
// The process-wide log: level filter, optional time prefix, one line per
// call through a fixed 2048-byte buffer, serialised by the log lock.
#include "ZyLog.h"

#include "ZyLogInternal.h"
#include "ZyMutex.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {
struct LogState {
  ZyLog::LogType type = ZyLog::StdOut;
  ZyLog::LogLevel level = ZyLog::Normal;
  FILE *stream = nullptr;
  std::string fileName;
  bool logTime = false;
  bool alsoPrint = false;
  void (*sink)(int, const char *) = nullptr;
  int sinkHandle = -1;
  ZyLog::Observer observer = nullptr;
  void *observerContext = nullptr;
};

// True on a thread while it runs the observer: a line logged meanwhile on
// that thread (by the observer, or by a lock it takes that fails) is not
// handed to it again, which would recurse without end.
thread_local bool inObserver = false;

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
  if (level > s.level)
    return;
  ZyMutex::Scope logScope(logLock(), lock);
  char buf[BUFFER_SIZE];
  size_t used = 0; // length of the time prefix
  buf[0] = '\0';
  if (s.logTime) {
    time_t now = time(nullptr);
    char timeText[64];
    if (ctime_r(&now, timeText) != nullptr) {
      memcpy(buf, timeText, 20);
      used = 20;
      buf[used] = '\0';
    }
  }
  vsnprintf(buf + used, sizeof(buf) - used, format, args);

  if (s.type == Tessel) {
    if (s.sink != nullptr)
      s.sink(s.sinkHandle, buf);
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

  if (s.observer != nullptr && !inObserver) {
    // The message alone, trailing line ends dropped (the written line is
    // done with, so the buffer can be cut in place).
    size_t end = strlen(buf);
    while (end > used && (buf[end - 1] == '\n' || buf[end - 1] == '\r'))
      buf[--end] = '\0';
    if (end > used) {
      inObserver = true;
      s.observer(s.observerContext, level, buf + used);
      inObserver = false;
    }
  }
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
    switch (s.level) {
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

void ZyLog::setObserver(Observer observer, void *context) {
  ZyMutex::Scope logScope(logLock());
  state().observer = observer;
  state().observerContext = context;
}

ZyLog::LogType ZyLog::getType() {
  return state().type;
}
ZyLog::LogLevel ZyLog::getLevel() {
  return state().level;
}

bool ZyLogInternal::runsWith(ZyLog::LogType type, ZyLog::LogLevel level, const char *fileName,
                             bool logTime, bool alsoPrint) {
  LogState &s = state();
  return type == s.type && level == s.level && strcmp(fileName, s.fileName.c_str()) == 0 &&
         logTime == s.logTime && alsoPrint == s.alsoPrint;
}

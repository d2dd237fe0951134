// SPDX-License-Identifier: MIT
// Argument parser: option lookup by name over argc/argv or a builder, typed
// option values, removal of handled arguments, and the class-wide default
// argument sources (environment variables and argument files).
#include "ZyArgumentParser.h"

#include "ZyArgumentBuilder.h"
#include "ZyLog.h"
#include "ZyUtil.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {
struct DefaultSource {
  std::string name;
  bool isFile;
};

// Registered default sources, in registration order. Function-local so the
// list exists before any static initialiser of another unit registers.
std::vector<DefaultSource> &defaultSources() {
  static std::vector<DefaultSource> sources;
  return sources;
}

std::mutex &defaultSourcesLock() {
  static std::mutex lock;
  return lock;
}

void addDefaultSource(const char *name, bool isFile) {
  if (name == nullptr)
    return;
  std::lock_guard<std::mutex> guard(defaultSourcesLock());
  defaultSources().push_back({name, isFile});
}

// Formats an option name into a buffer of ZyArgumentParser::BUFFER_SIZE
// bytes. A name that does not fit is refused rather than cut, so a cut name
// can never match a different option.
bool formatName(char *buf, const char *caller, const char *format, va_list args) {
  if (format == nullptr)
    return false;
  int wanted = vsnprintf(buf, ZyArgumentParser::BUFFER_SIZE, format, args);
  if (wanted < 0 || static_cast<size_t>(wanted) >= ZyArgumentParser::BUFFER_SIZE) {
    ZyLog::log(ZyLog::Terse,
               "ZyArgumentParser::%s: option name from format '%.64s' does not fit in %d "
               "characters; it is not looked for",
               caller, format, static_cast<int>(ZyArgumentParser::BUFFER_SIZE - 1));
    return false;
  }
  return true;
}

bool matches(const char *arg, const char *name) {
  if (arg == nullptr)
    return false;
  if (ZyUtil::compareTextNoCase(arg, name) == 0)
    return true;
  return arg[0] == '-' && ZyUtil::compareTextNoCase(arg + 1, name) == 0;
}

// The typed forms share one rule for an absent value (not an error: leave
// the destination alone) and for the empty text (option stood last).
enum class Value { Absent, Missing, Present };

Value classify(const char *name, const char *value, bool *wasReallySet) {
  if (value == nullptr) {
    if (wasReallySet != nullptr)
      *wasReallySet = false;
    return Value::Absent;
  }
  if (value[0] == '\0') {
    ZyLog::log(ZyLog::Normal, "No argument given to %s", name);
    return Value::Missing;
  }
  return Value::Present;
}

bool setString(const char *name, const char *value, const char **dest, bool *wasReallySet) {
  Value kind = classify(name, value, wasReallySet);
  if (kind != Value::Present)
    return kind == Value::Absent;
  if (dest != nullptr)
    *dest = value;
  if (wasReallySet != nullptr)
    *wasReallySet = true;
  return true;
}

bool setBool(const char *name, const char *value, bool *dest, bool *wasReallySet) {
  Value kind = classify(name, value, wasReallySet);
  if (kind != Value::Present)
    return kind == Value::Absent;
  bool result;
  if (ZyUtil::compareTextNoCase(value, "true") == 0 || strcmp(value, "1") == 0) {
    result = true;
  } else if (ZyUtil::compareTextNoCase(value, "false") == 0 || strcmp(value, "0") == 0) {
    result = false;
  } else {
    ZyLog::log(ZyLog::Normal,
               "Argument given to %s was not a bool (true, false, 1, 0) it was the string %s", name,
               value);
    return false;
  }
  if (dest != nullptr)
    *dest = result;
  if (wasReallySet != nullptr)
    *wasReallySet = true;
  return true;
}

bool setInteger(const char *name, const char *value, int *dest, bool *wasReallySet) {
  Value kind = classify(name, value, wasReallySet);
  if (kind != Value::Present)
    return kind == Value::Absent;
  char *end = nullptr;
  errno = 0;
  long result = strtol(value, &end, 10);
  // A value out of the range of int is refused like any other bad text
  // instead of being stored wrapped.
  if (end == value || *end != '\0' || errno == ERANGE || result < INT_MIN || result > INT_MAX) {
    ZyLog::log(ZyLog::Normal, "Argument given to %s was not an integer it was the string %s", name,
               value);
    return false;
  }
  if (dest != nullptr)
    *dest = static_cast<int>(result);
  if (wasReallySet != nullptr)
    *wasReallySet = true;
  return true;
}
} // namespace

ZyArgumentParser::ZyArgumentParser(int *argc, char **argv) : myArgv(argv), myArgc(argc) {}

ZyArgumentParser::ZyArgumentParser(ZyArgumentBuilder *builder)
    : myBuilder(builder), myUsingBuilder(true) {}

ZyArgumentParser::~ZyArgumentParser() {
  if (myOwnBuilder)
    delete myBuilder;
}

size_t ZyArgumentParser::getArgc() const {
  if (myUsingBuilder)
    return myBuilder != nullptr ? myBuilder->getCount() : 0;
  if (myArgc == nullptr || myArgv == nullptr || *myArgc < 0)
    return 0;
  return static_cast<size_t>(*myArgc);
}

char **ZyArgumentParser::getArgv() const {
  if (myUsingBuilder)
    return myBuilder != nullptr ? myBuilder->getArgs() : nullptr;
  return myArgv;
}

const char *ZyArgumentParser::getArg(size_t index) const {
  if (index >= getArgc())
    return nullptr;
  return getArgv()[index];
}

long ZyArgumentParser::findArgument(const char *name) const {
  size_t count = getArgc();
  for (size_t i = 0; i < count; ++i)
    if (matches(getArg(i), name))
      return static_cast<long>(i);
  return -1;
}

void ZyArgumentParser::removeArg(size_t which) {
  size_t count = getArgc();
  if (which >= count) {
    ZyLog::log(ZyLog::Terse,
               "ZyArgumentParser::removeArg: %d is greater than the number of arguments which is "
               "%d",
               static_cast<int>(which), static_cast<int>(count));
    return;
  }
  if (myUsingBuilder) {
    myBuilder->removeArg(which);
    return;
  }
  memmove(myArgv + which, myArgv + which + 1, (count - which - 1) * sizeof(char *));
  --*myArgc;
  // Keep the list terminated as main's argv is; the slot was a list entry.
  myArgv[*myArgc] = nullptr;
}

bool ZyArgumentParser::takeArgument(const char *format, ...) {
  char name[BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  bool ok = formatName(name, "takeArgument", format, args);
  va_end(args);
  if (!ok)
    return false;
  long index = findArgument(name);
  if (index < 0)
    return false;
  removeArg(static_cast<size_t>(index));
  return true;
}

const char *ZyArgumentParser::takeParameterArgument(const char *argument, bool returnFirst) {
  if (argument == nullptr)
    return nullptr;
  const char *result = nullptr;
  // Every pass removes at least the option itself, so this ends.
  for (;;) {
    long found = findArgument(argument);
    if (found < 0)
      break;
    size_t index = static_cast<size_t>(found);
    bool hasValue = index + 1 < getArgc();
    const char *value = hasValue ? getArg(index + 1) : myEmptyArg;
    removeArg(index);
    if (hasValue)
      removeArg(index);
    result = value;
    if (returnFirst)
      break;
  }
  return result;
}

const char *ZyArgumentParser::takeParameterArgumentFormatted(const char *format, ...) {
  char name[BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  bool ok = formatName(name, "takeParameterArgument", format, args);
  va_end(args);
  if (!ok)
    return nullptr;
  return takeParameterArgument(name, false);
}

bool ZyArgumentParser::takeParameterArgumentString(const char *argument, const char **dest,
                                                   bool *wasReallySet, bool returnFirst) {
  return setString(argument, takeParameterArgument(argument, returnFirst), dest, wasReallySet);
}

bool ZyArgumentParser::takeParameterArgumentBool(const char *argument, bool *dest,
                                                 bool *wasReallySet, bool returnFirst) {
  return setBool(argument, takeParameterArgument(argument, returnFirst), dest, wasReallySet);
}

bool ZyArgumentParser::takeParameterArgumentInteger(const char *argument, int *dest,
                                                    bool *wasReallySet, bool returnFirst) {
  return setInteger(argument, takeParameterArgument(argument, returnFirst), dest, wasReallySet);
}

bool ZyArgumentParser::takeParameterArgumentStringFormatted(const char **dest, bool *wasReallySet,
                                                            const char *format, ...) {
  char name[BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  bool ok = formatName(name, "takeParameterArgumentString", format, args);
  va_end(args);
  if (!ok)
    return false;
  return setString(name, takeParameterArgument(name, false), dest, wasReallySet);
}

bool ZyArgumentParser::takeParameterArgumentBoolFormatted(bool *dest, bool *wasReallySet,
                                                          const char *format, ...) {
  char name[BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  bool ok = formatName(name, "takeParameterArgumentBool", format, args);
  va_end(args);
  if (!ok)
    return false;
  return setBool(name, takeParameterArgument(name, false), dest, wasReallySet);
}

bool ZyArgumentParser::takeParameterArgumentIntegerFormatted(int *dest, bool *wasReallySet,
                                                             const char *format, ...) {
  char name[BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  bool ok = formatName(name, "takeParameterArgumentInteger", format, args);
  va_end(args);
  if (!ok)
    return false;
  return setInteger(name, takeParameterArgument(name, false), dest, wasReallySet);
}

void ZyArgumentParser::log() const {
  size_t count = getArgc();
  ZyLog::log(ZyLog::Terse, "Num arguments: %d", static_cast<int>(count));
  for (size_t i = 0; i < count; ++i)
    ZyLog::log(ZyLog::Terse, "Arg %d: %s", static_cast<int>(i), getArg(i));
}

void ZyArgumentParser::addDefaultSourceFile(const char *fileName) {
  addDefaultSource(fileName, true);
}

void ZyArgumentParser::addDefaultSourceEnv(const char *envName) {
  addDefaultSource(envName, false);
}

void ZyArgumentParser::clearDefaultSources() {
  std::lock_guard<std::mutex> guard(defaultSourcesLock());
  defaultSources().clear();
}

void ZyArgumentParser::loadDefaultSources(int position) {
  if (!myUsingBuilder) {
    // Work on an own copy from now on, so the merged sources never touch
    // the caller's argv.
    ZyArgumentBuilder *builder = new ZyArgumentBuilder(512);
    size_t count = getArgc();
    if (count > 0)
      builder->addStrings(static_cast<int>(count), myArgv, -1);
    myBuilder = builder;
    myOwnBuilder = true;
    myUsingBuilder = true;
  }
  if (myBuilder == nullptr)
    return;
  std::vector<DefaultSource> sources;
  {
    std::lock_guard<std::mutex> guard(defaultSourcesLock());
    sources = defaultSources();
  }
  for (const DefaultSource &source : sources) {
    if (!source.isFile) {
      const char *value = getenv(source.name.c_str());
      if (value != nullptr) {
        myBuilder->add(value, position);
        ZyLog::log(ZyLog::Normal, "Added arguments from environmental variable '%s'",
                   source.name.c_str());
        continue;
      }
    } else {
      char line[1024];
      if (ZyUtil::readFirstLine(source.name.c_str(), line, sizeof(line))) {
        myBuilder->add(line, position);
        ZyLog::log(ZyLog::Normal, "Added arguments from file '%s'", source.name.c_str());
        continue;
      }
    }
    ZyLog::log(ZyLog::Verbose, "Could not load from environmental variable or file '%s'",
               source.name.c_str());
  }
}

void ZyArgumentParser::logDefaultSources() {
  std::vector<DefaultSource> sources;
  {
    std::lock_guard<std::mutex> guard(defaultSourcesLock());
    sources = defaultSources();
  }
  ZyLog::log(ZyLog::Normal, "Default argument files or environmental variables:");
  for (const DefaultSource &source : sources)
    ZyLog::log(ZyLog::Normal, "%10s%-10s%s", "", source.isFile ? "file" : "envVar",
               source.name.c_str());
}

bool ZyArgumentParser::checkHelpAndUnhandled(int numArgsOkay) {
  if (takeArgument("-help") || takeArgument("-h") || takeArgument("/?") || takeArgument("/h"))
    return false;
  long count = static_cast<long>(getArgc());
  long first = static_cast<long>(numArgsOkay) + 1;
  if (count == 0 || count <= first)
    return true;
  if (first < 0)
    first = 0;
  char buf[BUFFER_SIZE];
  int used = snprintf(buf, sizeof(buf), "Unhandled arguments to program:");
  for (long i = first; i < count && used < static_cast<int>(sizeof(buf)) - 1; ++i) {
    int n = snprintf(buf + used, sizeof(buf) - static_cast<size_t>(used), " %s",
                     getArg(static_cast<size_t>(i)));
    if (n < 0)
      break;
    used += n;
  }
  ZyLog::log(ZyLog::Normal, "%s", buf);
  ZyLog::log(ZyLog::Normal, "Program will continue but to see the help listing type '%s -help'",
             getArg(0));
  return true;
}

// SPDX-License-Identifier: MIT
// Argument builder: splits texts at white space into owned argument strings,
// keeps them in a fixed-size slot array and converts single arguments.
#include "ZyArgumentBuilder.h"

#include "ZyLog.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// White space as the C locale defines it; tested without isspace so that
// bytes above 127 (negative chars) are safe.
bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char *duplicate(const char *text, size_t length) {
  char *copy = new char[length + 1];
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

bool equalsNoCase(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (ca != cb)
      return false;
  }
  return *a == *b;
}
} // namespace

ZyArgumentBuilder::ZyArgumentBuilder(size_t argvLen) : myArgvLen(argvLen) {
  // At least one slot so getArgs never hands out a null array.
  myArgv = new char *[argvLen > 0 ? argvLen : 1]();
}

ZyArgumentBuilder::ZyArgumentBuilder(const ZyArgumentBuilder &other) {
  copyFrom(other);
}

ZyArgumentBuilder &ZyArgumentBuilder::operator=(const ZyArgumentBuilder &other) {
  if (this != &other) {
    freeAll();
    copyFrom(other);
  }
  return *this;
}

ZyArgumentBuilder::~ZyArgumentBuilder() {
  freeAll();
}

void ZyArgumentBuilder::freeAll() {
  for (size_t i = 0; i < myArgc; ++i)
    delete[] myArgv[i];
  for (char *text : myRetired)
    delete[] text;
  myRetired.clear();
  delete[] myArgv;
  myArgv = nullptr;
  myArgc = 0;
  myOrigArgc = 0;
}

void ZyArgumentBuilder::copyFrom(const ZyArgumentBuilder &other) {
  myArgvLen = other.myArgvLen;
  myArgv = new char *[myArgvLen > 0 ? myArgvLen : 1]();
  myArgc = other.myArgc;
  for (size_t i = 0; i < myArgc; ++i)
    myArgv[i] = duplicate(other.myArgv[i], strlen(other.myArgv[i]));
  myOrigArgc = myArgc;
  myWholeText = other.myWholeText;
  myExtraText = other.myExtraText;
  myFirstAdd = other.myFirstAdd;
}

void ZyArgumentBuilder::add(const char *str, int position) {
  if (str == nullptr)
    return;
  internalAdd(str, position);
}

void ZyArgumentBuilder::addFormatted(const char *format, ...) {
  if (format == nullptr)
    return;
  char buf[BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  int wanted = vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  if (wanted < 0) {
    ZyLog::log(ZyLog::Terse,
               "ZyArgumentBuilder::addFormatted: could not format '%s'; nothing was added", format);
    return;
  }
  if (static_cast<size_t>(wanted) >= sizeof(buf))
    ZyLog::log(ZyLog::Normal,
               "ZyArgumentBuilder::addFormatted: formatted text of %d characters cut to its first "
               "%d; add long texts in pieces",
               wanted, static_cast<int>(sizeof(buf) - 1));
  internalAdd(buf, -1);
}

void ZyArgumentBuilder::addStrings(int argc, char **argv, int position) {
  if (argv == nullptr)
    return;
  bool append = position < 0 || static_cast<size_t>(position) > myArgc;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr)
      continue;
    if (append) {
      internalAdd(argv[i], -1);
    } else {
      // Each text goes in after the arguments of the texts before it.
      size_t before = myArgc;
      internalAdd(argv[i], position);
      position += static_cast<int>(myArgc - before);
    }
  }
}

void ZyArgumentBuilder::internalAdd(const char *str, int position) {
  char buf[BUFFER_SIZE];
  size_t len = strlen(str);
  if (len >= sizeof(buf)) {
    ZyLog::log(ZyLog::Normal,
               "ZyArgumentBuilder::add: text of %lu characters cut to its first %d; add long "
               "texts in pieces",
               static_cast<unsigned long>(len), static_cast<int>(sizeof(buf) - 1));
    len = sizeof(buf) - 1;
  }
  memcpy(buf, str, len);
  buf[len] = '\0';

  size_t i = 0;
  while (i < len && isWhite(buf[i]))
    ++i;
  if (i == len) {
    ZyLog::log(ZyLog::Verbose, "All white space add for argument builder.");
    return;
  }

  bool append = position < 0 || static_cast<size_t>(position) > myArgc;
  size_t insertAt = append ? myArgc : static_cast<size_t>(position);
  bool inserted = false;
  bool inArg = true;
  size_t start = i;
  while (i < len) {
    if (buf[i] == '\\' && i + 1 < len && buf[i + 1] == ' ') {
      // Escaped blank: drop the backslash and step over the blank. Inside
      // an argument the blank belongs to it; between arguments it is dropped.
      memmove(buf + i, buf + i + 1, len - i);
      --len;
      ++i;
      continue;
    }
    if (inArg) {
      if (isWhite(buf[i])) {
        inserted |= storeArg(buf + start, i - start, append, &insertAt) && !append;
        inArg = false;
      }
    } else if (!isWhite(buf[i])) {
      inArg = true;
      start = i;
    }
    ++i;
  }
  if (inArg)
    inserted |= storeArg(buf + start, len - start, append, &insertAt) && !append;
  if (inserted)
    rebuildWholeText();
}

bool ZyArgumentBuilder::storeArg(const char *text, size_t length, bool append, size_t *insertAt) {
  if (myArgc + 1 >= myArgvLen) {
    ZyLog::log(ZyLog::Terse,
               "ZyArgumentBuilder::Add: could not add argument since argc (%u) has grown beyond "
               "the argv given in the conbufuctor (%u)",
               static_cast<unsigned>(myArgc), static_cast<unsigned>(myArgvLen));
    return false;
  }
  char *copy = duplicate(text, length);
  if (append) {
    myArgv[myArgc] = copy;
    if (!myFirstAdd)
      myWholeText += ' ';
    myWholeText += copy;
    myFirstAdd = false;
  } else {
    // The slot at myArgc is free or holds a retired text (owned elsewhere).
    memmove(myArgv + *insertAt + 1, myArgv + *insertAt, (myArgc - *insertAt) * sizeof(char *));
    myArgv[*insertAt] = copy;
    ++*insertAt;
  }
  ++myArgc;
  if (myArgc > myOrigArgc)
    myOrigArgc = myArgc;
  return true;
}

void ZyArgumentBuilder::rebuildWholeText() {
  myWholeText.clear();
  for (size_t i = 0; i < myArgc; ++i) {
    myWholeText += myArgv[i];
    myWholeText += ' ';
  }
}

const char *ZyArgumentBuilder::getArg(size_t index) const {
  if (index >= myArgc)
    return nullptr;
  return myArgv[index];
}

void ZyArgumentBuilder::retire(char *text) {
  myRetired.push_back(text);
}

void ZyArgumentBuilder::removeArg(size_t which) {
  if (which >= myArgc) {
    ZyLog::log(ZyLog::Terse,
               "ZyArgumentBuilder::removeArg: %d is greater than the number of arguments which is "
               "%d",
               static_cast<int>(which), static_cast<int>(myArgc));
    return;
  }
  char *removed = myArgv[which];
  memmove(myArgv + which, myArgv + which + 1, (myArgc - which - 1) * sizeof(char *));
  --myArgc;
  myArgv[myArgc] = removed;
  retire(removed);
}

void ZyArgumentBuilder::log() const {
  ZyLog::log(ZyLog::Terse, "Num arguments: %d", static_cast<int>(myArgc));
  for (size_t i = 0; i < myArgc; ++i)
    ZyLog::log(ZyLog::Terse, "Arg %d: %s", static_cast<int>(i), myArgv[i]);
}

bool ZyArgumentBuilder::isBool(size_t which) const {
  const char *s = getArg(which);
  if (s == nullptr)
    return false;
  return equalsNoCase(s, "true") || strcmp(s, "1") == 0 || equalsNoCase(s, "false") ||
         strcmp(s, "0") == 0;
}

bool ZyArgumentBuilder::asBool(size_t which) const {
  const char *s = getArg(which);
  if (s == nullptr)
    return false;
  return equalsNoCase(s, "true") || strcmp(s, "1") == 0;
}

bool ZyArgumentBuilder::isInt(size_t which) const {
  const char *s = getArg(which);
  if (s == nullptr || *s == '\0')
    return false;
  char *end = nullptr;
  errno = 0;
  long value = strtol(s, &end, 10);
  if (end == s || *end != '\0')
    return false;
  // Out of range of int is not a valid int: it could not be returned.
  return errno != ERANGE && value >= INT_MIN && value <= INT_MAX;
}

int ZyArgumentBuilder::asInt(size_t which) const {
  if (!isInt(which))
    return 0;
  return static_cast<int>(strtol(myArgv[which], nullptr, 10));
}

bool ZyArgumentBuilder::isDouble(size_t which) const {
  const char *s = getArg(which);
  if (s == nullptr || *s == '\0')
    return false;
  if (strcmp(s, "INF") == 0 || strcmp(s, "-INF") == 0)
    return true;
  // strtod also reads "inf", "infinity" and "nan" in any letter case; only
  // the exact upper-case infinities above are accepted.
  const char *p = s;
  while (isWhite(*p))
    ++p;
  if (*p == '+' || *p == '-')
    ++p;
  if (*p == 'i' || *p == 'I' || *p == 'n' || *p == 'N')
    return false;
  char *end = nullptr;
  strtod(s, &end);
  return end != s && *end == '\0';
}

double ZyArgumentBuilder::asDouble(size_t which) const {
  if (!isDouble(which))
    return 0;
  const char *s = myArgv[which];
  if (strcmp(s, "INF") == 0)
    return HUGE_VAL;
  if (strcmp(s, "-INF") == 0)
    return -HUGE_VAL;
  return strtod(s, nullptr);
}

void ZyArgumentBuilder::joinQuoted(bool stripQuotes) {
  for (size_t i = 0; i < myArgc; ++i) {
    const char *arg = myArgv[i];
    size_t len = strlen(arg);
    if (len < 2 || arg[0] != '"')
      continue;
    std::string joined;
    if (arg[len - 1] == '"') {
      if (!stripQuotes)
        continue;
      joined.assign(arg + 1, len - 2);
    } else {
      joined = arg;
      bool closed = false;
      while (i + 1 < myArgc) {
        const char *next = myArgv[i + 1];
        size_t nextLen = strlen(next);
        joined += ' ';
        joined += next;
        closed = nextLen > 0 && next[nextLen - 1] == '"';
        removeArg(i + 1);
        if (closed)
          break;
      }
      if (stripQuotes) {
        joined.erase(0, 1);
        if (closed)
          joined.pop_back();
      }
    }
    retire(myArgv[i]);
    myArgv[i] = duplicate(joined.c_str(), joined.size());
  }
}

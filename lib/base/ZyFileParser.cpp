// SPDX-License-Identifier: MIT
// Keyword file parser: cuts comments, isolates each line's keyword, hands
// the rest of the line as an argument builder to the keyword's handler and
// reports failing lines with their numbers.
#include "ZyFileParser.h"

#include "ZyArgumentBuilder.h"
#include "ZyConfigInternal.h"
#include "ZyLog.h"
#include "ZyUtil.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {
bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool bufferInUse(const char *errorBuffer, size_t errorBufferLen) {
  return errorBuffer != nullptr && errorBufferLen > 0;
}

enum class LineRead { line, tooLong, end };

/// Reads one line into buffer. A line longer than bufferLength - 1
/// characters (line end excluded) is read to its end and dropped: tooLong.
/// A byte after the last one the buffer can take tells a full buffer apart
/// from a shorter read, also when the line holds zero bytes.
LineRead readWholeLine(FILE *file, char *buffer, int bufferLength) {
  buffer[bufferLength - 1] = 'x';
  if (fgets(buffer, bufferLength, file) == nullptr)
    return LineRead::end;
  if (buffer[bufferLength - 1] != '\0' || buffer[bufferLength - 2] == '\n')
    return LineRead::line;
  int next = getc(file);
  if (next == EOF || next == '\n')
    return LineRead::line;
  while (next != EOF && next != '\n')
    next = getc(file);
  return LineRead::tooLong;
}
} // namespace

bool ZyFileParser::NoCaseLess::operator()(const std::string &a, const std::string &b) const {
  return ZyUtil::compareTextNoCase(a, b) < 0;
}

ZyFileParser::ZyFileParser(const char *baseDirectory) {
  setBaseDirectory(baseDirectory);
}

ZyFileParser::~ZyFileParser() {
  for (auto &entry : myMap)
    delete entry.second;
  delete myRemainderHandler;
}

void ZyFileParser::setBaseDirectory(const char *baseDirectory) {
  myBaseDir = baseDirectory != nullptr ? baseDirectory : "";
}

bool ZyFileParser::addHolder(const char *keyword, HandlerHolder *holder) {
  if (keyword == nullptr) {
    if (myRemainderHandler != nullptr) {
      ZyLog::log(ZyLog::Verbose, "There is already a functor to handle unhandled lines");
      delete holder;
      return false;
    }
    myRemainderHandler = holder;
    return true;
  }
  if (myMap.find(keyword) != myMap.end()) {
    ZyLog::log(ZyLog::Verbose, "There is already a functor to handle keyword '%s'", keyword);
    delete holder;
    return false;
  }
  ZyLog::log(ZyLog::Verbose, "keyword '%s' handler added", keyword);
  myMap[keyword] = holder;
  return true;
}

bool ZyFileParser::addHandler(const char *keyword, Handler *functor) {
  if (functor == nullptr) {
    ZyLog::log(ZyLog::Terse, "ZyFileParser::addHandler: no callback given for keyword '%s'",
               keyword != nullptr ? keyword : "(remainder)");
    return false;
  }
  HandlerHolder *holder = new HandlerHolder;
  holder->plain = functor;
  return addHolder(keyword, holder);
}

bool ZyFileParser::addHandler(const char *keyword, HandlerWithError *functor) {
  if (functor == nullptr) {
    ZyLog::log(ZyLog::Terse, "ZyFileParser::addHandler: no callback given for keyword '%s'",
               keyword != nullptr ? keyword : "(remainder)");
    return false;
  }
  HandlerHolder *holder = new HandlerHolder;
  holder->withError = functor;
  return addHolder(keyword, holder);
}

bool ZyFileParser::remHandler(const char *keyword, bool logIfCannotFind) {
  if (keyword == nullptr) {
    if (myRemainderHandler == nullptr)
      return false;
    delete myRemainderHandler;
    myRemainderHandler = nullptr;
    ZyLog::log(ZyLog::Verbose, "Functor for remainder handler removed");
    return true;
  }
  auto it = myMap.find(keyword);
  if (it == myMap.end()) {
    if (logIfCannotFind)
      ZyLog::log(ZyLog::Normal, "There is no keyword '%s' to remove.", keyword);
    return false;
  }
  ZyLog::log(ZyLog::Verbose, "keyword '%s' removed", keyword);
  delete it->second;
  myMap.erase(it);
  return true;
}

bool ZyFileParser::remHandler(Handler *functor) {
  return removeCallback(functor, nullptr);
}

bool ZyFileParser::remHandler(HandlerWithError *functor) {
  return removeCallback(nullptr, functor);
}

bool ZyFileParser::removeCallback(Handler *plain, HandlerWithError *withError) {
  auto holds = [plain, withError](const HandlerHolder *h) {
    if (plain != nullptr)
      return h->plain == plain ||
             (h->withError != nullptr && static_cast<Handler *>(h->withError) == plain);
    return withError != nullptr && h->withError == withError;
  };
  // Every registration goes, the remainder handler and all keywords alike:
  // the caller may destroy the callback right after this returns.
  bool removed = false;
  if (myRemainderHandler != nullptr && holds(myRemainderHandler)) {
    delete myRemainderHandler;
    myRemainderHandler = nullptr;
    ZyLog::log(ZyLog::Verbose, "Functor for remainder handler removed");
    removed = true;
  }
  for (auto it = myMap.begin(); it != myMap.end();) {
    if (holds(it->second)) {
      ZyLog::log(ZyLog::Verbose, "Functor for keyword '%s' removed.", it->first.c_str());
      delete it->second;
      it = myMap.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  return removed;
}

bool ZyFileParser::parseLine(char *line, char *errorBuffer, size_t errorBufferLen) {
  ++myLineNumber;
  if (line == nullptr) {
    ZyLog::log(ZyLog::Verbose, "line %d: empty line", myLineNumber);
    return true;
  }

  // Comments and line ends: ";" and "#" start a comment anywhere.
  char *cut;
  if ((cut = strchr(line, ';')) != nullptr)
    *cut = '\0';
  if ((cut = strchr(line, '#')) != nullptr)
    *cut = '\0';
  if ((cut = strchr(line, '\n')) != nullptr)
    *cut = '\0';
  char *out = line;
  for (char *in = line; *in != '\0'; ++in)
    if (*in != '\r')
      *out++ = *in;
  *out = '\0';

  if (line[0] == '\0') {
    ZyLog::log(ZyLog::Verbose, "line %d: empty line", myLineNumber);
    return true;
  }
  char *p = line;
  while (isWhite(*p))
    ++p;
  if (*p == '\0') {
    ZyLog::log(ZyLog::Verbose, "line %d: just white space at start of line", myLineNumber);
    return true;
  }

  // The line as written, for handlers that keep lines whole: trailing
  // white space goes, except the blank of an escaped blank, which the
  // argument splitting counts as part of the last word, and except in a
  // quoted keyword left open, which runs to the end of the line.
  size_t rawLength = strlen(p);
  size_t trimmed = rawLength;
  if (p[0] != '"' || strchr(p + 1, '"') != nullptr) {
    while (trimmed > 0 && isWhite(p[trimmed - 1]))
      --trimmed;
    if (trimmed < rawLength && trimmed > 0 && p[trimmed - 1] == '\\' && p[trimmed] == ' ')
      ++trimmed;
  }
  std::string lineText(p, trimmed);

  // The keyword: quoted (may hold blanks) or up to the next white space,
  // at most MAX_KEYWORD characters, lower-cased.
  char keyword[MAX_KEYWORD + 1];
  size_t keywordLen = 0;
  const char *keywordStart;
  if (*p == '"') {
    keywordStart = ++p;
    while (*p != '\0' && *p != '"' && keywordLen < MAX_KEYWORD)
      keyword[keywordLen++] = lowerAscii(*p++);
    if (*p == '"')
      ++p;
  } else {
    keywordStart = p;
    while (*p != '\0' && !isWhite(*p) && keywordLen < MAX_KEYWORD)
      keyword[keywordLen++] = lowerAscii(*p++);
  }
  keyword[keywordLen] = '\0';
  while (isWhite(*p))
    ++p;
  const char *arguments = *p != '\0' ? p : nullptr;

  HandlerHolder *holder;
  bool keywordHandler;
  auto it = myMap.find(keyword);
  if (it != myMap.end()) {
    holder = it->second;
    keywordHandler = true;
  } else if (myRemainderHandler == nullptr) {
    ZyLog::log(ZyLog::Verbose, "line %d: unknown keyword '%s' line '%s', continuing", myLineNumber,
               keyword, keywordStart);
    return true;
  } else {
    holder = myRemainderHandler;
    keywordHandler = false;
    arguments = keywordStart;
  }

  ZyArgumentBuilder builder(512);
  if (arguments != nullptr)
    builder.add(arguments);
  if (keywordHandler)
    builder.setExtraText(keyword);

  // Only the first error text of a parse is kept: a buffer that already
  // holds text is not handed on.
  char *handlerBuffer = nullptr;
  size_t handlerBufferLen = 0;
  if (bufferInUse(errorBuffer, errorBufferLen) && errorBuffer[0] == '\0') {
    handlerBuffer = errorBuffer;
    handlerBufferLen = errorBufferLen;
  }

  bool ok;
  myLineText = lineText.c_str();
  if (holder->withError != nullptr) {
    ok = holder->withError->invokeR(&builder, handlerBuffer, handlerBufferLen);
  } else if (holder->plain != nullptr) {
    ok = holder->plain->invokeR(&builder);
  } else {
    ZyLog::log(ZyLog::Terse, "ZyFileParser: Horrible problem with process callbacks");
    ok = false;
  }
  myLineText = nullptr;
  if (ok)
    return true;
  if (handlerBuffer != nullptr) {
    handlerBuffer[handlerBufferLen - 1] = '\0';
    std::string handlerText = handlerBuffer;
    snprintf(handlerBuffer, handlerBufferLen, "Line %d: %s", myLineNumber, handlerText.c_str());
  }
  return false;
}

bool ZyFileParser::parseLines(FILE *file, char *buffer, int bufferLength, bool continueOnErrors,
                              char *errorBuffer, size_t errorBufferLen, const char *fileName) {
  myLineNumber = 0;
  bool ok = true;
  for (LineRead read; (read = readWholeLine(file, buffer, bufferLength)) != LineRead::end;) {
    if (read == LineRead::tooLong) {
      // Handling the first part and then the rest as lines of their own
      // could apply a setting that was inside a comment; the line goes.
      ++myLineNumber;
      ok = false;
      ZyLog::log(ZyLog::Terse,
                 "ZyFileParser: line %d of %s is longer than %d characters; too long, ignored",
                 myLineNumber, fileName != nullptr ? fileName : "the stream", bufferLength - 1);
      if (bufferInUse(errorBuffer, errorBufferLen) && errorBuffer[0] == '\0')
        snprintf(errorBuffer, errorBufferLen, "Line %d: longer than %d characters, ignored",
                 myLineNumber, bufferLength - 1);
      if (!continueOnErrors)
        return false;
      continue;
    }
    if (!parseLine(buffer, errorBuffer, errorBufferLen)) {
      ok = false;
      if (fileName != nullptr)
        ZyLog::log(ZyLog::Terse, "## Last error on line %d of file '%s'", myLineNumber, fileName);
      if (!continueOnErrors)
        return false;
    }
  }
  if (ferror(file)) {
    // A read error (a directory, a device gone) must not pass as a file
    // whose lines were all handled.
    int err = errno;
    ZyLog::log(ZyLog::Terse,
               "ZyFileParser::parseFile: Could not read %s after line %d (%s); check that it is "
               "a readable text file.",
               fileName != nullptr ? fileName : "the stream", myLineNumber, strerror(err));
    if (bufferInUse(errorBuffer, errorBufferLen) && errorBuffer[0] == '\0')
      snprintf(errorBuffer, errorBufferLen, "cannot read file %s",
               fileName != nullptr ? fileName : "stream");
    return false;
  }
  return ok;
}

bool ZyFileParser::parseFile(const char *fileName, bool continueOnErrors, bool noErrorIfCantFind,
                             char *errorBuffer, size_t errorBufferLen) {
  if (bufferInUse(errorBuffer, errorBufferLen))
    errorBuffer[0] = '\0';
  if (fileName == nullptr)
    fileName = "";
  const std::string fullName = ZyConfigInternal::fullFileName(myBaseDir, fileName);
  ZyLog::log(ZyLog::Verbose, "Opening file %s from fileName given %s and base directory %s",
             fullName.c_str(), fileName, myBaseDir.c_str());

  FILE *file = fopen(fullName.c_str(), "r");
  if (file == nullptr) {
    if (bufferInUse(errorBuffer, errorBufferLen))
      snprintf(errorBuffer, errorBufferLen, "cannot open file %s", fileName);
    if (!noErrorIfCantFind)
      ZyLog::log(ZyLog::Terse, "ZyFileParser::parseFile: Could not open file %s to parse file.",
                 fullName.c_str());
    return false;
  }
  char line[LINE_BUFFER_SIZE];
  bool ok = parseLines(file, line, sizeof(line), continueOnErrors, errorBuffer, errorBufferLen,
                       fullName.c_str());
  fclose(file);
  return ok;
}

bool ZyFileParser::parseFile(FILE *file, char *buffer, int bufferLength, bool continueOnErrors,
                             char *errorBuffer, size_t errorBufferLen) {
  if (bufferInUse(errorBuffer, errorBufferLen))
    errorBuffer[0] = '\0';
  // A one-byte buffer would make fgets return empty lines for ever.
  if (file == nullptr || buffer == nullptr || bufferLength < 2) {
    if (bufferInUse(errorBuffer, errorBufferLen))
      snprintf(errorBuffer, errorBufferLen, "parseFile: bad setup");
    return false;
  }
  return parseLines(file, buffer, bufferLength, continueOnErrors, errorBuffer, errorBufferLen,
                    nullptr);
}

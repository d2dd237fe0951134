// SPDX-License-Identifier: MIT
// ZyFileParser: reads line-oriented keyword files. Each line's keyword
// selects a registered handler that gets the rest of the line as an
// argument builder; ";" and "#" start comments; failing lines are reported
// with their numbers.
#ifndef ZYFILEPARSER_H
#define ZYFILEPARSER_H

#include "ZyFunctor.h"

#include <cstddef>
#include <cstdio>
#include <map>
#include <string>

class ZyArgumentBuilder;

class ZyFileParser {
public:
  typedef ZyRetFunctor1<bool, ZyArgumentBuilder *> Handler;
  typedef ZyRetFunctor3<bool, ZyArgumentBuilder *, char *, size_t> HandlerWithError;

  explicit ZyFileParser(const char *baseDirectory = "");
  ~ZyFileParser();

  /// keyword nullptr installs the remainder handler.
  bool addHandler(const char *keyword, Handler *functor);
  bool addHandler(const char *keyword, HandlerWithError *functor);
  /// keyword nullptr removes the remainder handler.
  bool remHandler(const char *keyword, bool logIfCannotFind = true);
  bool remHandler(Handler *functor);
  bool remHandler(HandlerWithError *functor);

  void setBaseDirectory(const char *baseDirectory);
  const char *getBaseDirectory() const { return myBaseDir.c_str(); }

  bool parseFile(const char *fileName, bool continueOnErrors = true, bool noErrorIfCantFind = false,
                 char *errorBuffer = nullptr, size_t errorBufferLen = 0);
  bool parseFile(FILE *file, char *buffer, int bufferLength, bool continueOnErrors = true,
                 char *errorBuffer = nullptr, size_t errorBufferLen = 0);
  bool parseStream(FILE *file, char *buffer, int bufferLength, bool continueOnErrors = true,
                   char *errorBuffer = nullptr, size_t errorBufferLen = 0) {
    return parseFile(file, buffer, bufferLength, continueOnErrors, errorBuffer, errorBufferLen);
  }
  /// Parses one line, changed in place.
  bool parseLine(char *line, char *errorBuffer = nullptr, size_t errorBufferLen = 0);

  int getLineNumber() const { return myLineNumber; }
  /// While a handler runs: the line being parsed as written, from its
  /// keyword (an opening quote included) to its comment or end, without
  /// trailing white space but for the blank of an escaped blank ending the
  /// line (a quoted keyword left open keeps it all). nullptr outside a
  /// handler.
  const char *getLineText() const { return myLineText; }
  void resetCounters() { myLineNumber = 0; }

  /// Line buffer size of parseFile by name: a line holds at most 9999
  /// characters. A longer line is refused as a whole (none of its parts is
  /// handled), logged, and counts as one failed line.
  static const int LINE_BUFFER_SIZE = 10000;
  /// Longest keyword; the rest of a longer one becomes part of the arguments.
  static const size_t MAX_KEYWORD = 509;

  ZyFileParser(const ZyFileParser &) = delete;
  ZyFileParser &operator=(const ZyFileParser &) = delete;

private:
  struct HandlerHolder {
    Handler *plain = nullptr;
    HandlerWithError *withError = nullptr;
  };
  struct NoCaseLess {
    bool operator()(const std::string &a, const std::string &b) const;
  };
  /// Reads and parses lines until the end (or the first failure unless
  /// continueOnErrors); logs "## Last error" lines when fileName is given.
  bool parseLines(FILE *file, char *buffer, int bufferLength, bool continueOnErrors,
                  char *errorBuffer, size_t errorBufferLen, const char *fileName);
  /// Drops every registration (remainder handler included) of the callback.
  bool removeCallback(Handler *plain, HandlerWithError *withError);
  bool addHolder(const char *keyword, HandlerHolder *holder);
  int myLineNumber = 0;
  const char *myLineText = nullptr;
  std::string myBaseDir;
  std::map<std::string, HandlerHolder *, NoCaseLess> myMap;
  HandlerHolder *myRemainderHandler = nullptr;
};

#endif

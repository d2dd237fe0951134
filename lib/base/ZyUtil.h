// SPDX-License-Identifier: MIT
// ZyUtil: static helpers for sleeping, text comparison and conversion, and
// small file and path tasks.
#ifndef ZYUTIL_H
#define ZYUTIL_H

#include <cstddef>
#include <string>

class ZyUtil {
public:
  /// Sleeps ms milliseconds, less 10 for sleeps longer than 10 ms.
  static void sleepMs(unsigned int ms);
  /// Copies src into dest without one pair of enclosing double quotes.
  static bool stripQuotes(char *dest, const char *src, size_t destLen);

  /// Three-way comparison, exact.
  static int compareText(const char *a, const char *b);
  static int compareText(const std::string &a, const std::string &b);
  static int compareText(const std::string &a, const char *b);
  static int compareText(const char *a, const std::string &b);
  /// Three-way comparison without regard to letter case.
  static int compareTextNoCase(const char *a, const char *b);
  static int compareTextNoCase(const std::string &a, const std::string &b);
  static int compareTextNoCase(const std::string &a, const char *b);
  static int compareTextNoCase(const char *a, const std::string &b);

  /// Copies at most maxLen characters of src lower-cased, and terminates.
  /// dest must hold maxLen + 1 bytes.
  static void toLowerCopy(char *dest, const char *src, size_t maxLen);
  /// "true" for non-zero, "false" for zero.
  static const char *boolText(int value);
  /// "inf"/"-inf" (any case) give infinities, else atof.
  static double textToDouble(const char *text);
  /// Copies src putting a backslash before every blank; dest holds maxLen
  /// bytes including the terminator.
  static void escapeBlanks(char *dest, const char *src, size_t maxLen);
  /// Reads the first line of a text file into dest (at most size - 1
  /// characters), cut at the first carriage return or line feed.
  static bool readFirstLine(const char *fileName, char *dest, size_t size);
  static bool fileExists(const char *fileName);
  /// Size of a regular file in bytes, or -1.
  static long fileSize(const char *fileName);
  /// Appends "/" unless the path ends in "/" or a backslash.
  static void ensureTrailingSlash(char *path, size_t pathCapacity);
  static void slashesToForward(char *path, size_t length);
  static void slashesToBackward(char *path, size_t length);
  static void joinDirectories(char *dest, size_t capacity, const char *baseDir,
                              const char *insideDir);
  /// (seconds mod 1000000) * 1000 + milliseconds of the current time.
  static long nowMsWrapped();
};

#endif

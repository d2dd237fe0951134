// SPDX-License-Identifier: MIT
// Static helpers: sleeping, text comparison and conversion, files and paths.
#include "ZyUtil.h"

#include "ZyLog.h"
#include "ZyTime.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

void ZyUtil::sleepMs(unsigned int ms) {
  if (ms > 10)
    ms -= 10;
  usleep(static_cast<useconds_t>(ms) * 1000);
}

bool ZyUtil::stripQuotes(char *dest, const char *src, size_t destLen) {
  size_t srcLen = strlen(src);
  if (destLen < srcLen + 1) {
    ZyLog::log(ZyLog::Normal,
               "ZyUtil::stripQuotes: destLen isn't long enough to fit copy its %d should be %d",
               static_cast<int>(destLen), static_cast<int>(srcLen + 1));
    return false;
  }
  if (srcLen < 2 || src[0] != '"' || src[srcLen - 1] != '"') {
    memcpy(dest, src, srcLen + 1);
    return true;
  }
  memcpy(dest, src + 1, srcLen - 2);
  dest[srcLen - 2] = '\0';
  return true;
}

int ZyUtil::compareText(const char *a, const char *b) {
  return strcmp(a, b);
}
int ZyUtil::compareText(const std::string &a, const std::string &b) {
  return strcmp(a.c_str(), b.c_str());
}
int ZyUtil::compareText(const std::string &a, const char *b) {
  return strcmp(a.c_str(), b);
}
int ZyUtil::compareText(const char *a, const std::string &b) {
  return strcmp(a, b.c_str());
}
int ZyUtil::compareTextNoCase(const char *a, const char *b) {
  return strcasecmp(a, b);
}
int ZyUtil::compareTextNoCase(const std::string &a, const std::string &b) {
  return strcasecmp(a.c_str(), b.c_str());
}
int ZyUtil::compareTextNoCase(const std::string &a, const char *b) {
  return strcasecmp(a.c_str(), b);
}
int ZyUtil::compareTextNoCase(const char *a, const std::string &b) {
  return strcasecmp(a, b.c_str());
}

void ZyUtil::toLowerCopy(char *dest, const char *src, size_t maxLen) {
  size_t i = 0;
  for (; i < maxLen && src[i] != '\0'; i++)
    dest[i] = static_cast<char>(tolower(static_cast<unsigned char>(src[i])));
  dest[i] = '\0';
}

const char *ZyUtil::boolText(int value) {
  return value != 0 ? "true" : "false";
}

double ZyUtil::textToDouble(const char *text) {
  if (strcasecmp(text, "inf") == 0)
    return HUGE_VAL;
  if (strcasecmp(text, "-inf") == 0)
    return -HUGE_VAL;
  return atof(text);
}

void ZyUtil::escapeBlanks(char *dest, const char *src, size_t maxLen) {
  if (maxLen == 0)
    return;
  size_t out = 0;
  for (size_t i = 0; src[i] != '\0'; i++) {
    if (src[i] == ' ') {
      if (out + 2 >= maxLen)
        break;
      dest[out++] = '\\';
      dest[out++] = ' ';
    } else {
      if (out + 1 >= maxLen)
        break;
      dest[out++] = src[i];
    }
  }
  dest[out] = '\0';
}

bool ZyUtil::readFirstLine(const char *fileName, char *dest, size_t size) {
  if (size == 0)
    return false;
  dest[0] = '\0';
  FILE *file = fopen(fileName, "r");
  if (file == nullptr)
    return false;
  if (fgets(dest, static_cast<int>(size), file) == nullptr)
    dest[0] = '\0';
  fclose(file);
  dest[strcspn(dest, "\r\n")] = '\0';
  return true;
}

bool ZyUtil::fileExists(const char *fileName) {
  FILE *file = fopen(fileName, "r");
  if (file == nullptr)
    return false;
  fclose(file);
  return true;
}

long ZyUtil::fileSize(const char *fileName) {
  struct stat info;
  if (stat(fileName, &info) < 0) {
    perror("stat");
    return -1;
  }
  if (!S_ISREG(info.st_mode))
    return -1;
  return static_cast<long>(info.st_size);
}

void ZyUtil::ensureTrailingSlash(char *path, size_t pathCapacity) {
  size_t len = strlen(path);
  if (len > 0 && (path[len - 1] == '/' || path[len - 1] == '\\'))
    return;
  if (pathCapacity < len + 2)
    return;
  path[len] = '/';
  path[len + 1] = '\0';
}

void ZyUtil::slashesToForward(char *path, size_t length) {
  for (size_t i = 0; i < length && path[i] != '\0'; i++)
    if (path[i] == '\\')
      path[i] = '/';
}

void ZyUtil::slashesToBackward(char *path, size_t length) {
  for (size_t i = 0; i < length && path[i] != '\0'; i++)
    if (path[i] == '/')
      path[i] = '\\';
}

void ZyUtil::joinDirectories(char *dest, size_t capacity, const char *baseDir,
                             const char *insideDir) {
  if (capacity == 0)
    return;
  snprintf(dest, capacity, "%s", baseDir);
  ensureTrailingSlash(dest, capacity);
  size_t len = strlen(dest);
  snprintf(dest + len, capacity - len, "%s", insideDir);
  ensureTrailingSlash(dest, capacity);
  slashesToForward(dest, capacity);
}

long ZyUtil::nowMsWrapped() {
  ZyTime now;
  return static_cast<long>(now.getSec() % 1000000) * 1000 + now.getMSec();
}

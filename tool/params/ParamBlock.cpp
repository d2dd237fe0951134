// SPDX-License-Identifier: MIT
// The parameter block as a value: its image, its fields, its file.
#include "ParamBlock.h"

#include "ChangeList.h"
#include "ParamSet.h"
#include "ShownText.h"
#include "ZyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void blockToImage(const unsigned char *block, unsigned char *image) {
  memcpy(image, block, FLASH_IMAGE_SIZE);
  swapParamWords(image);
}

void imageToBlock(const unsigned char *image, unsigned char *block) {
  memcpy(block, image, FLASH_IMAGE_SIZE);
  swapParamWords(block);
}

bool blockErased(const unsigned char *block, size_t length) {
  for (size_t i = 0; i < length; i++)
    if (block[i] != 0xFF)
      return false;
  return true;
}

ParamField paramField(const char *keyword) {
  ParamField field;
  const ParamEntryRef *ref = keyword != nullptr ? findParamEntry(keyword) : nullptr;
  if (ref != nullptr) {
    field.offset = static_cast<int>(ref->offset);
    field.size = static_cast<int>(ref->width);
  }
  return field;
}

ParamField robotNameField() {
  static const ParamField field = paramField("Name");
  return field;
}

ParamField serialNumberField() {
  static const ParamField field = paramField("SerNum");
  return field;
}

std::string blockValue(const unsigned char *block, const char *keyword) {
  unsigned char image[FLASH_IMAGE_SIZE];
  blockToImage(block, image);
  return parameterValue(image, keyword);
}

bool loadBlockFile(const char *path, unsigned char *block, int *length) {
  std::string shown = escapedText(path);
  // Not blocked by a named pipe with no writer, nor a device: a block
  // image is a regular file.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    ZyLog::log(ZyLog::Terse, "Cannot open block image '%s' (%s).", shown.c_str(), strerror(errno));
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    ZyLog::log(ZyLog::Terse, "Cannot read block image '%s': it is not a regular file.",
               shown.c_str());
    return false;
  }
  // One byte more than a block, to tell a larger file.
  unsigned char buffer[PARAM_BLOCK_SIZE + 1];
  size_t got = 0;
  bool failed = false;
  while (got < sizeof buffer) {
    ssize_t n = read(fd, buffer + got, sizeof buffer - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      failed = true;
    if (n <= 0)
      break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (failed) {
    ZyLog::log(ZyLog::Terse, "Cannot read block image '%s'.", shown.c_str());
    return false;
  }
  if (got != static_cast<size_t>(PARAM_BLOCK_SIZE) &&
      got != static_cast<size_t>(PARAM_BLOCK_SHORTEST)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not a FLASH parameter block image: it must hold 4096 bytes (or 4095).",
               shown.c_str());
    return false;
  }
  memcpy(block, buffer, got);
  *length = static_cast<int>(got);
  return true;
}

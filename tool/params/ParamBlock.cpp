// SPDX-License-Identifier: MIT
// The parameter block as a value: its image, its fields, its file.
#include "ParamBlock.h"

#include "ChangeList.h"
#include "ParamSet.h"
#include "ZyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
  FILE *file = fopen(path, "rb");
  if (file == nullptr) {
    ZyLog::log(ZyLog::Terse, "Cannot open block image '%s' (%s).", path, strerror(errno));
    return false;
  }
  // One byte more than a block, to tell a larger file.
  unsigned char buffer[PARAM_BLOCK_SIZE + 1];
  size_t got = fread(buffer, 1, sizeof buffer, file);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    ZyLog::log(ZyLog::Terse, "Cannot read block image '%s'.", path);
    return false;
  }
  if (got != static_cast<size_t>(PARAM_BLOCK_SIZE) &&
      got != static_cast<size_t>(PARAM_BLOCK_SHORTEST)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not a FLASH parameter block image: it must hold 4096 bytes (or 4095).",
               path);
    return false;
  }
  memcpy(block, buffer, got);
  *length = static_cast<int>(got);
  return true;
}

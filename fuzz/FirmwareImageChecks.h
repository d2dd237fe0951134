// SPDX-License-Identifier: MIT
// Checks the firmware file fuzz targets share: the loaded image must agree
// with its block table (every byte set lies in a touched block below its
// recorded top, no top passes the end of its block), every address the
// file gave lies in a touched block, and a loaded image has a digest; and
// a file loaded through the choice of reader (one open file, looked at and
// then read) loads as its own reader loads it.
#ifndef FIRMWAREIMAGECHECKS_H
#define FIRMWAREIMAGECHECKS_H

#include "FirmwareImage.h"
#include "FirmwareInput.h"
#include "FirmwareReader.h"

#include <cctype>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

inline void fuzzCheck(bool condition, const char *target, const char *what) {
  if (!condition) {
    fprintf(stderr, "%s: %s\n", target, what);
    abort();
  }
}

/// A scratch file for the input, in memory where the system has such a file
/// system (a file created on disk for every run would take most of its time).
inline std::string fuzzScratchPath(const char *name) {
  std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/" + name +
                     "_" + std::to_string(getpid());
  return path;
}

inline bool fuzzWriteFile(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  fwrite(data, 1, size, f);
  fclose(f);
  return true;
}

inline void checkImage(const FirmwareImage &image, bool loaded, const char *target) {
  static const std::string erased(FirmwareImage::MEMORY_SIZE, '\xFF');
  const unsigned char *memory = image.memory();
  for (int i = 0; i < FirmwareImage::NUM_BLOCKS; ++i) {
    const FlashBlock &block = image.block(i);
    unsigned long end = block.start + block.size;
    fuzzCheck(block.highest >= block.start && block.highest <= end, target,
              "block top outside its block");
    fuzzCheck(block.touched || block.highest == block.start, target, "untouched block with a top");
    fuzzCheck(memcmp(memory + block.highest, erased.data(), end - block.highest) == 0, target,
              "byte set above its block's top");
  }
  if (!loaded)
    return;
  fuzzCheck(image.hasData(), target, "an image loaded with nothing to write");
  for (const auto &range : image.ranges()) {
    fuzzCheck(range.first < range.second && range.second <= FirmwareImage::MEMORY_SIZE, target,
              "range outside memory");
    for (int i = 0; i < FirmwareImage::NUM_BLOCKS; ++i) {
      const FlashBlock &block = image.block(i);
      unsigned long blockEnd = block.start + block.size;
      if (range.first >= blockEnd || range.second <= block.start)
        continue;
      unsigned long top = range.second < blockEnd ? range.second : blockEnd;
      fuzzCheck(block.touched && top <= block.highest, target,
                "given bytes in an untouched block or above its top");
    }
  }
  fuzzCheck(image.digest().size() == 64, target, "no digest for a loaded image");
}

/// When the reader the content chooses is the one of this target
/// (Intel HEX when the first non-blank byte is ":", S-records otherwise),
/// loading path through the choice must give what the reader gave.
inline void checkChosenReaderAgrees(const std::string &path, const uint8_t *data, size_t size,
                                    bool loaded, const FirmwareImage &image, bool intelHex,
                                    const char *target) {
  size_t look = size < FirmwareInput::CHUNK ? size : FirmwareInput::CHUNK;
  size_t i = 0;
  while (i < look && isspace(data[i]))
    ++i;
  if ((i < look && data[i] == ':') != intelHex)
    return;
  static FirmwareImage chosen;
  bool chosenLoaded = loadFirmwareFile(path.c_str(), NO_BASE_ADDRESS, chosen);
  fuzzCheck(chosenLoaded == loaded, target, "the chosen reader and the reader disagree");
  fuzzCheck(chosen.format() == image.format() &&
                memcmp(chosen.memory(), image.memory(), FirmwareImage::MEMORY_SIZE) == 0,
            target, "the chosen reader loaded other bytes");
}

#endif

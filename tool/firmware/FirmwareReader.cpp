// SPDX-License-Identifier: MIT
// The choice of firmware reader and the load of a file through it.
#include "FirmwareReader.h"

#include "BinaryReader.h"
#include "IntelHexReader.h"
#include "SRecordReader.h"
#include "ZyLog.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};

/// Bytes looked at for the first non-blank line before giving up (the
/// S-record reader then has the file).
const int kLookAhead = 64 * 1024;
} // namespace

bool isBinaryFileName(const char *path) {
  size_t length = path == nullptr ? 0 : strlen(path);
  if (length < 4)
    return false;
  const char *tail = path + length - 4;
  return tail[0] == '.' && tolower(static_cast<unsigned char>(tail[1])) == 'b' &&
         tolower(static_cast<unsigned char>(tail[2])) == 'i' &&
         tolower(static_cast<unsigned char>(tail[3])) == 'n';
}

FirmwareFormat chooseFirmwareFormat(const char *path) {
  if (isBinaryFileName(path))
    return FirmwareFormat::Binary;
  std::unique_ptr<FILE, FileCloser> file(path == nullptr ? nullptr : fopen(path, "r"));
  if (!file)
    return FirmwareFormat::SRecord;
  for (int i = 0; i < kLookAhead; i++) {
    int c = fgetc(file.get());
    if (c == EOF)
      break;
    if (isspace(c))
      continue;
    return c == ':' ? FirmwareFormat::IntelHex : FirmwareFormat::SRecord;
  }
  return FirmwareFormat::SRecord;
}

bool parseBaseAddress(const char *text, long *base) {
  if (text == nullptr)
    return false;
  const char *digits = text;
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits += 2;
  if (*digits == '\0' || strlen(digits) > 8)
    return false;
  unsigned long value = 0;
  for (const char *p = digits; *p != '\0'; p++) {
    if (!isxdigit(static_cast<unsigned char>(*p)))
      return false;
    value = value * 16 + static_cast<unsigned long>(isdigit(static_cast<unsigned char>(*p))
                                                        ? *p - '0'
                                                        : (tolower(*p) - 'a' + 10));
  }
  if (value >= FirmwareImage::MEMORY_SIZE)
    return false;
  *base = static_cast<long>(value);
  return true;
}

bool loadFirmwareFile(const char *path, long base, FirmwareImage &image) {
  if (path == nullptr)
    path = "";
  switch (chooseFirmwareFormat(path)) {
  case FirmwareFormat::Binary: {
    if (base == NO_BASE_ADDRESS) {
      ZyLog::log(ZyLog::Terse,
                 "'%s' is a raw binary image and has no load address: give it with --base ADDR "
                 "(hexadecimal, e.g. --base 0x8000); nothing was sent.",
                 path);
      image.reset();
      image.setSource(path, FirmwareFormat::Binary);
      return false;
    }
    BinaryReader reader(static_cast<unsigned long>(base));
    return reader.read(path, image);
  }
  case FirmwareFormat::IntelHex: {
    IntelHexReader reader;
    return reader.read(path, image);
  }
  case FirmwareFormat::SRecord:
    break;
  }
  SRecordReader reader;
  return reader.read(path, image);
}

// SPDX-License-Identifier: MIT
// What the firmware readers share (the read from open to end checks, the
// numbered line loop), the choice of reader and the load of a file through
// it.
#include "FirmwareReader.h"

#include "BinaryReader.h"
#include "HexDigits.h"
#include "IntelHexReader.h"
#include "SRecordReader.h"
#include "ZyLog.h"

#include <cctype>
#include <climits>
#include <cstring>

bool FirmwareReader::read(const char *path, FirmwareImage &image) {
  FirmwareInput input(path);
  return read(input, image);
}

bool FirmwareReader::read(FirmwareInput &input, FirmwareImage &image) {
  const char *path = input.path();
  image.reset();
  image.setSource(path, format());
  myFailedLine = 0;
  restart();
  if (!input.isOpen()) {
    ZyLog::log(ZyLog::Terse, "Cannot open file '%s' for download.", path);
    return false;
  }
  if (!readContent(input, image))
    return false;
  if (!image.hasData()) {
    ZyLog::log(ZyLog::Terse, "Nothing to download in '%s': no data outside the parameter block.",
               path);
    return false;
  }
  return checkEnd(path);
}

void FirmwareReader::logReadFailure(const FirmwareInput &input) {
  ZyLog::log(ZyLog::Terse, "Cannot read file '%s' for download (%s).", input.path(),
             strerror(input.error()));
}

void FirmwareReader::logCutShort(const char *path) {
  ZyLog::log(ZyLog::Terse, "'%s' has no end record: the file may be cut short.", path);
}

bool TextRecordReader::readContent(FirmwareInput &input, FirmwareImage &image) {
  const char *piece = nullptr;
  size_t length = 0;
  int lineNumber = 0;
  while (input.nextPiece(myPieceLength, &piece, &length)) {
    if (lineNumber == INT_MAX) {
      ZyLog::log(ZyLog::Terse, "File '%s' has too many lines, cannot download.", input.path());
      return false;
    }
    lineNumber++;
    if (!takeLine(piece, length, lineNumber, image)) {
      setFailedLine(lineNumber);
      return false;
    }
  }
  if (input.failed()) {
    logReadFailure(input);
    return false;
  }
  return true;
}

bool isBinaryFileName(const char *path) {
  size_t length = path == nullptr ? 0 : strlen(path);
  if (length < 4)
    return false;
  const char *tail = path + length - 4;
  return tail[0] == '.' && tolower(static_cast<unsigned char>(tail[1])) == 'b' &&
         tolower(static_cast<unsigned char>(tail[2])) == 'i' &&
         tolower(static_cast<unsigned char>(tail[3])) == 'n';
}

FirmwareFormat chooseFirmwareFormat(FirmwareInput &input) {
  if (isBinaryFileName(input.path()))
    return FirmwareFormat::Binary;
  return input.firstNonBlank() == ':' ? FirmwareFormat::IntelHex : FirmwareFormat::SRecord;
}

FirmwareFormat chooseFirmwareFormat(const char *path) {
  if (isBinaryFileName(path))
    return FirmwareFormat::Binary;
  FirmwareInput input(path);
  return chooseFirmwareFormat(input);
}

std::unique_ptr<FirmwareReader> makeFirmwareReader(FirmwareFormat format, unsigned long base) {
  switch (format) {
  case FirmwareFormat::Binary:
    return std::make_unique<BinaryReader>(base);
  case FirmwareFormat::IntelHex:
    return std::make_unique<IntelHexReader>();
  case FirmwareFormat::SRecord:
    break;
  }
  return std::make_unique<SRecordReader>();
}

bool parseBaseAddress(const char *text, long *base) {
  if (text == nullptr)
    return false;
  const char *digits = text;
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits += 2;
  unsigned long value = 0;
  if (!parseHexNumber(digits, 8, &value) || value >= FirmwareImage::MEMORY_SIZE)
    return false;
  *base = static_cast<long>(value);
  return true;
}

bool loadFirmwareFile(const char *path, long base, FirmwareImage &image) {
  return loadFirmwareFile(path, base, image, nullptr);
}

bool loadFirmwareFile(const char *path, long base, FirmwareImage &image, int *failedLine) {
  if (failedLine != nullptr)
    *failedLine = 0;
  if (path == nullptr)
    path = "";
  if (isBinaryFileName(path) && base == NO_BASE_ADDRESS) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is a raw binary image and has no load address: give it with --base ADDR "
               "(hexadecimal, e.g. --base 0x8000); nothing was sent.",
               path);
    image.reset();
    image.setSource(path, FirmwareFormat::Binary);
    return false;
  }
  FirmwareInput input(path);
  std::unique_ptr<FirmwareReader> reader =
      makeFirmwareReader(chooseFirmwareFormat(input), static_cast<unsigned long>(base));
  bool read = reader->read(input, image);
  if (failedLine != nullptr)
    *failedLine = reader->failedLine();
  return read;
}

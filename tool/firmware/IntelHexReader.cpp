// SPDX-License-Identifier: MIT
// IntelHexReader: Intel HEX files, line by line, into the image.
#include "IntelHexReader.h"

#include "HexDigits.h"
#include "ZyLog.h"

#include <cstdio>
#include <cstring>

namespace {

/// Logs a malformed line in the style of the S-record messages.
void malformed(int lineNumber, const char *what) {
  ZyLog::log(ZyLog::Terse, "Malformed .hex file (line %d %s), cannot download.", lineNumber, what);
}

bool blank(const char *line) {
  for (; *line != '\0'; line++)
    if (*line != ' ' && *line != '\t' && *line != '\f' && *line != '\v')
      return false;
  return true;
}

} // namespace

void IntelHexReader::restart() {
  myBase = 0;
  myEnded = false;
}

bool IntelHexReader::takeLine(const char *piece, size_t pieceLength, int lineNumber,
                              FirmwareImage &image) {
  // The line as a string: up to a NUL in it, if any.
  char line[MAX_LINE + 2];
  memcpy(line, piece, pieceLength);
  line[pieceLength] = '\0';
  size_t length = strlen(line);
  bool whole = length > 0 && line[length - 1] == '\n';
  if (!whole && length == sizeof line - 1) {
    malformed(lineNumber, "too long");
    return false;
  }
  line[strcspn(line, "\r\n")] = '\0';
  // Blank lines (a final empty line, for one) carry nothing.
  if (blank(line))
    return true;
  if (myEnded) {
    malformed(lineNumber, "follows the end record");
    return false;
  }
  return loadLine(line, lineNumber, image);
}

bool IntelHexReader::checkEnd(const char *path) {
  if (!myEnded) {
    logCutShort(path);
    return false;
  }
  return true;
}

bool IntelHexReader::loadLine(const char *line, int lineNumber, FirmwareImage &image) {
  size_t length = strlen(line);
  if (line[0] != ':') {
    malformed(lineNumber, "does not start with ':'");
    return false;
  }
  // ":" then byte count (2), address (4), type (2), data, checksum (2).
  if (length < 11) {
    malformed(lineNumber, "too short");
    return false;
  }
  if (length > static_cast<size_t>(MAX_LINE)) {
    malformed(lineNumber, "too long");
    return false;
  }
  // A bad pair is reported before a lone digit at the end.
  unsigned char bytes[MAX_LINE / 2 + 1];
  size_t count = (length - 1) / 2;
  unsigned int sum = 0;
  if (decodeHexPairs(line + 1, count, bytes, &sum) != count) {
    malformed(lineNumber, "has bad chars");
    return false;
  }
  if ((length - 1) % 2 != 0) {
    malformed(lineNumber, "odd numbered digits");
    return false;
  }
  size_t dataBytes = bytes[0];
  if (count != dataBytes + 5) {
    malformed(lineNumber, "length doesn't match its byte count");
    return false;
  }
  if ((sum & 0xFF) != 0) {
    malformed(lineNumber, "data doesn't match checksum");
    return false;
  }
  unsigned long offset = static_cast<unsigned long>(bytes[1]) * 256 + bytes[2];
  int type = bytes[3];
  const unsigned char *data = bytes + 4;
  // Each record type but data has one length.
  static const int kTypeLength[6] = {-1, 0, 2, 4, 2, 4};
  if (type > 5) {
    char what[48];
    snprintf(what, sizeof what, "record type %02X unknown", type);
    malformed(lineNumber, what);
    return false;
  }
  if (kTypeLength[type] >= 0 && dataBytes != static_cast<size_t>(kTypeLength[type])) {
    char what[64];
    snprintf(what, sizeof what, "record type %02X has %zu data bytes", type, dataBytes);
    malformed(lineNumber, what);
    return false;
  }
  switch (type) {
  case 0: {
    unsigned long long address = static_cast<unsigned long long>(myBase) + offset;
    unsigned long long end = address + dataBytes;
    if (address >= FirmwareImage::MEMORY_SIZE || end > FirmwareImage::MEMORY_SIZE) {
      ZyLog::log(ZyLog::Verbose,
                 "Line %d (addresses 0x%llx to 0x%llx) goes beyond our bounds of memory (0x0-0x%lx",
                 lineNumber, address, end, FirmwareImage::MEMORY_SIZE - 1);
      return true;
    }
    image.store(static_cast<unsigned long>(address), data, dataBytes);
    return true;
  }
  case 1:
    myEnded = true;
    return true;
  case 2:
    myBase = (static_cast<unsigned long>(data[0]) * 256 + data[1]) * 16;
    return true;
  case 4:
    myBase = (static_cast<unsigned long>(data[0]) * 256 + data[1]) << 16;
    return true;
  default:
    // Start addresses (03, 05) mean nothing to a download.
    return true;
  }
}

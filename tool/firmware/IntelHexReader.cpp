// SPDX-License-Identifier: MIT
// IntelHexReader: Intel HEX files, line by line, into the image.
#include "IntelHexReader.h"

#include "HexDigits.h"
#include "ZyLog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};

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

bool IntelHexReader::read(const char *path, FirmwareImage &image) {
  if (path == nullptr)
    path = "";
  image.reset();
  image.setSource(path, FirmwareFormat::IntelHex);
  myBase = 0;
  myEnded = false;
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "r"));
  if (!file) {
    ZyLog::log(ZyLog::Terse, "Cannot open file '%s' for download.", path);
    return false;
  }
  char line[MAX_LINE + 2];
  int lineNumber = 0;
  while (fgets(line, sizeof line, file.get()) != nullptr) {
    if (lineNumber == INT_MAX) {
      ZyLog::log(ZyLog::Terse, "File '%s' has too many lines, cannot download.", path);
      return false;
    }
    lineNumber++;
    size_t length = strlen(line);
    bool whole = length > 0 && line[length - 1] == '\n';
    if (!whole && length == sizeof line - 1) {
      malformed(lineNumber, "too long");
      return false;
    }
    line[strcspn(line, "\r\n")] = '\0';
    // Blank lines (a final empty line, for one) carry nothing.
    if (blank(line))
      continue;
    if (myEnded) {
      malformed(lineNumber, "follows the end record");
      return false;
    }
    if (!loadLine(line, lineNumber, image))
      return false;
  }
  if (ferror(file.get())) {
    ZyLog::log(ZyLog::Terse, "Cannot read file '%s' for download (%s).", path, strerror(errno));
    return false;
  }
  if (!image.hasData()) {
    ZyLog::log(ZyLog::Terse, "Nothing to download in '%s': no data outside the parameter block.",
               path);
    return false;
  }
  if (!myEnded) {
    ZyLog::log(ZyLog::Terse, "'%s' has no end record: the file may be cut short.", path);
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
  unsigned char bytes[MAX_LINE / 2 + 1];
  size_t count = 0;
  unsigned int sum = 0;
  for (size_t p = 1; p < length; p += 2) {
    int high = hexOf(line[p]);
    int low = p + 1 < length ? hexOf(line[p + 1]) : -1;
    if (p + 1 >= length) {
      malformed(lineNumber, "odd numbered digits");
      return false;
    }
    if ((high | low) < 0) {
      malformed(lineNumber, "has bad chars");
      return false;
    }
    bytes[count] = static_cast<unsigned char>(high * 16 + low);
    sum += bytes[count++];
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

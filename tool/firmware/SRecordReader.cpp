// SPDX-License-Identifier: MIT
// SRecordReader: Motorola S-record files, line by line, into the image.
#include "SRecordReader.h"

#include "HexDigits.h"
#include "ZyLog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

/// Highest address the controller's memory holds.
const unsigned long kLastAddress = FirmwareImage::MEMORY_SIZE - 1;

/// File bytes read at a time.
const size_t kChunk = 64 * 1024;

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};

} // namespace

bool SRecordReader::read(const char *path, FirmwareImage &image) {
  if (path == nullptr)
    path = "";
  image.reset();
  image.setSource(path, FirmwareFormat::SRecord);
  myDataRecords = 0;
  myCountRecord = -1;
  myLastRecord = 0;
  return readFile(path, image) && checkWholeFile(path, image);
}

// Reads the file in large chunks and hands it on in pieces the way a line
// reader with a buffer of MAX_LINE characters would: a piece ends after a
// line feed or after MAX_LINE characters, and each piece counts as a line.
bool SRecordReader::readFile(const char *path, FirmwareImage &image) {
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "r"));
  if (!file) {
    ZyLog::log(ZyLog::Terse, "Cannot open file '%s' for download.", path);
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  char *buf = buffer.get();
  size_t pos = 0;
  size_t end = 0;
  bool atEnd = false;
  char line[MAX_LINE + 1];
  int lineNumber = 0;

  for (;;) {
    if (end - pos < static_cast<size_t>(MAX_LINE) && !atEnd) {
      memmove(buf, buf + pos, end - pos);
      end -= pos;
      pos = 0;
      size_t want = kChunk - end;
      size_t got = fread(buf + end, 1, want, file.get());
      end += got;
      if (got < want) {
        if (ferror(file.get())) {
          ZyLog::log(ZyLog::Terse, "Cannot read file '%s' for download (%s).", path,
                     strerror(errno));
          return false;
        }
        atEnd = true;
      }
    }
    if (pos == end)
      return true;

    const char *piece = buf + pos;
    size_t take = end - pos < static_cast<size_t>(MAX_LINE) ? end - pos : MAX_LINE;
    const void *newline = memchr(piece, '\n', take);
    size_t pieceLength =
        newline ? static_cast<size_t>(static_cast<const char *>(newline) - piece) + 1 : take;
    size_t cut = 0;
    while (cut < pieceLength && piece[cut] != '\n' && piece[cut] != '\r' && piece[cut] != '\0')
      cut++;
    memcpy(line, piece, cut);
    line[cut] = '\0';
    pos += pieceLength;

    if (lineNumber == INT_MAX) {
      ZyLog::log(ZyLog::Terse, "File '%s' has too many lines, cannot download.", path);
      return false;
    }
    lineNumber++;
    if (!checkRecordLine(line, lineNumber) || !loadLine(line, lineNumber, image))
      return false;
  }
}

bool SRecordReader::checkRecordLine(const char *line, int lineNumber) {
  size_t length = strlen(line);
  if (length <= 3) {
    ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d too short), cannot download.",
               lineNumber);
    return false;
  }
  // Every pair from the byte count to the last data byte is a hexadecimal
  // byte; on a line of odd length the last pair overlaps the checksum.
  unsigned int sum = 0;
  for (size_t p = 2; p + 2 < length; p += 2) {
    int high = hexOf(line[p]);
    int low = hexOf(line[p + 1]);
    if ((high | low) < 0) {
      ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d has bad chars), cannot download.",
                 lineNumber);
      return false;
    }
    sum += static_cast<unsigned int>(high * 16 + low);
  }
  int expected = 0xFF - static_cast<int>(sum & 0xFF);
  int high = hexOf(line[length - 2]);
  int low = hexOf(line[length - 1]);
  if ((high | low) < 0) {
    ZyLog::log(ZyLog::Terse,
               "Malformed .mot file (line %d checksum has bad chars), cannot download.",
               lineNumber);
    return false;
  }
  if (high * 16 + low != expected) {
    ZyLog::log(ZyLog::Terse,
               "Malformed .mot file (line %d data doesn't match checksum), cannot download.",
               lineNumber);
    return false;
  }
  return true;
}

bool SRecordReader::checkWholeFile(const char *path, const FirmwareImage &image) {
  if (!image.hasData()) {
    ZyLog::log(ZyLog::Terse, "Nothing to download in '%s': no data outside the parameter block.",
               path);
    return false;
  }
  if (myCountRecord >= 0 && static_cast<unsigned long>(myCountRecord) != myDataRecords) {
    ZyLog::log(ZyLog::Terse,
               "'%s' holds %lu data records but its count record says %ld: the file may be "
               "damaged.",
               path, myDataRecords, myCountRecord);
    return false;
  }
  // Some S-record writers end a file without a start address with its
  // count record instead of an end record; the count then shows that
  // nothing is missing.
  bool endRecord = myLastRecord == '7' || myLastRecord == '8' || myLastRecord == '9';
  bool countLast = (myLastRecord == '5' || myLastRecord == '6') &&
                   static_cast<unsigned long>(myCountRecord) == myDataRecords;
  if (!endRecord && !countLast) {
    ZyLog::log(ZyLog::Terse, "'%s' has no end record: the file may be cut short.", path);
    return false;
  }
  return true;
}

// Loads one line that passed checkRecordLine: data records go into memory,
// count records are remembered, every other record type is skipped.
bool SRecordReader::loadLine(const char *line, int lineNumber, FirmwareImage &image) {
  size_t length = strlen(line) - 2; // without the checksum
  size_t addressDigits = 0;
  bool isRecord = line[0] == 'S' || line[0] == 's';
  myLastRecord = isRecord && line[1] >= '0' && line[1] <= '9' ? line[1] : 0;
  if (isRecord) {
    if (line[1] == '1')
      addressDigits = 4;
    else if (line[1] == '2')
      addressDigits = 6;
    else if (line[1] == '3')
      addressDigits = 8;
  }
  if (myLastRecord == '5' || myLastRecord == '6') {
    // The count of data records stands where a data record's address does.
    size_t digits = myLastRecord == '5' ? 4 : 6;
    long count = 0;
    for (size_t i = 4; i < 4 + digits && i < length; i++)
      count = count * 16 + hexOf(line[i]);
    myCountRecord = count;
  }
  if (addressDigits == 0)
    return true;
  myDataRecords++;

  // The address field starts after type and byte count; a line may end
  // inside it, and then there are no data digits.
  size_t addressBegin = length < 4 ? length : 4;
  size_t addressEnd = addressBegin + addressDigits < length ? addressBegin + addressDigits : length;
  unsigned long address = 0;
  for (size_t i = addressBegin; i < addressEnd; i++)
    address = address * 16 + static_cast<unsigned long>(hexOf(line[i]));
  if (address == 0) {
    // The message shows the digits read as a decimal number.
    int decimal = 0;
    for (size_t i = addressBegin; i < addressEnd && line[i] >= '0' && line[i] <= '9'; i++)
      decimal = decimal * 10 + (line[i] - '0');
    ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d address is bad (%d)), cannot download.",
               lineNumber, decimal);
    return false;
  }

  // storeRecordData needs the data digits as a terminated text.
  char data[MAX_LINE + 1];
  size_t dataLength = length - addressEnd;
  memcpy(data, line + addressEnd, dataLength);
  data[dataLength] = '\0';
  return storeRecordData(image, address, data, lineNumber);
}

bool SRecordReader::storeRecordData(FirmwareImage &image, unsigned long address,
                                    const char *dataDigits, int lineNumber) {
  size_t digits = strlen(dataDigits);
  if (digits % 2 != 0) {
    ZyLog::log(ZyLog::Terse,
               "Malformed .mot file (line %d odd numbered data bytes), cannot download.",
               lineNumber);
    return false;
  }
  unsigned long long count = digits / 2;
  unsigned long long end = static_cast<unsigned long long>(address) + count;
  // A record is loaded when all its bytes lie in memory: its last byte
  // (end - 1) may be the last address, 0x3ffff.
  if (address > kLastAddress || end > FirmwareImage::MEMORY_SIZE) {
    ZyLog::log(ZyLog::Verbose,
               "Line %d (addresses 0x%llx to 0x%llx) goes beyond our bounds of memory (0x0-0x%lx",
               lineNumber, static_cast<unsigned long long>(address), end, kLastAddress);
    return true;
  }
  if (count == 0)
    return true;

  // Decoded in pieces of a line's most, so nothing is allocated per record.
  unsigned char decoded[MAX_LINE / 2 + 1];
  for (size_t done = 0; done < count;) {
    size_t take = count - done < sizeof decoded ? count - done : sizeof decoded;
    for (size_t k = 0; k < take; k++) {
      int high = hexOf(dataDigits[2 * (done + k)]);
      int low = hexOf(dataDigits[2 * (done + k) + 1]);
      if ((high | low) < 0) {
        ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d has bad chars), cannot download.",
                   lineNumber);
        return false;
      }
      decoded[k] = static_cast<unsigned char>(high * 16 + low);
    }
    image.store(address + done, decoded, take);
    done += take;
  }
  return true;
}

// SPDX-License-Identifier: MIT
// SRecordReader: Motorola S-record files, line by line, into the image.
#include "SRecordReader.h"

#include "HexDigits.h"
#include "ZyLog.h"

#include <cstring>

namespace {

/// Highest address the controller's memory holds.
const unsigned long kLastAddress = FirmwareImage::MEMORY_SIZE - 1;

} // namespace

void SRecordReader::restart() {
  myDataRecords = 0;
  myCountRecord = -1;
  myLastRecord = 0;
}

bool SRecordReader::takeLine(const char *piece, size_t length, int lineNumber,
                             FirmwareImage &image) {
  size_t cut = 0;
  while (cut < length && piece[cut] != '\n' && piece[cut] != '\r' && piece[cut] != '\0')
    cut++;
  char line[MAX_LINE + 1];
  memcpy(line, piece, cut);
  line[cut] = '\0';
  return checkRecordLine(line, lineNumber) && loadLine(line, lineNumber, image);
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
  size_t pairs = (length - 3) / 2;
  if (decodeHexPairs(line + 2, pairs, nullptr, &sum) != pairs) {
    ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d has bad chars), cannot download.",
               lineNumber);
    return false;
  }
  int checksum = hexPairValue(line[length - 2], line[length - 1]);
  if (checksum < 0) {
    ZyLog::log(ZyLog::Terse,
               "Malformed .mot file (line %d checksum has bad chars), cannot download.",
               lineNumber);
    return false;
  }
  if (checksum != 0xFF - static_cast<int>(sum & 0xFF)) {
    ZyLog::log(ZyLog::Terse,
               "Malformed .mot file (line %d data doesn't match checksum), cannot download.",
               lineNumber);
    return false;
  }
  return true;
}

bool SRecordReader::checkEnd(const char *path) {
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
    logCutShort(path);
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
    size_t present = length > 4 ? length - 4 : 0;
    myCountRecord = static_cast<long>(hexNumber(line + 4, present < digits ? present : digits));
  }
  if (addressDigits == 0)
    return true;
  myDataRecords++;

  // The address field starts after type and byte count; a line may end
  // inside it, and then there are no data digits.
  size_t addressBegin = length < 4 ? length : 4;
  size_t addressEnd = addressBegin + addressDigits < length ? addressBegin + addressDigits : length;
  unsigned long address = hexNumber(line + addressBegin, addressEnd - addressBegin);
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
    if (decodeHexPairs(dataDigits + 2 * done, take, decoded, nullptr) != take) {
      ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d has bad chars), cannot download.",
                 lineNumber);
      return false;
    }
    image.store(address + done, decoded, take);
    done += take;
  }
  return true;
}

// FirmwareImage: S-record loading into the 256 KB image and the block by
// block erase-and-write of a firmware download.
#include "FirmwareImage.h"

#include "MonitorLink.h"
#include "TransferProgress.h"
#include "ZyCriticalSection.h"
#include "ZyLog.h"
#include "Zyla.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

/// Value of every byte as a hexadecimal digit of either case, or -1.
struct HexTable {
  signed char value[256];
  constexpr HexTable() : value() {
    for (int i = 0; i < 256; i++)
      value[i] = -1;
    for (int i = 0; i < 10; i++)
      value['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; i++) {
      value['a' + i] = static_cast<signed char>(10 + i);
      value['A' + i] = static_cast<signed char>(10 + i);
    }
  }
};
constexpr HexTable kHex;

inline int hexOf(char c) {
  return kHex.value[static_cast<unsigned char>(c)];
}

/// Start and size of each FLASH block of the controller.
const unsigned long kBlockStart[FirmwareImage::NUM_BLOCKS] = {0x0000, 0x1000,  0x2000,  0x3000,
                                                              0x4000, 0x5000,  0x6000,  0x7000,
                                                              0x8000, 0x10000, 0x20000, 0x30000};
const unsigned long kBlockSize[FirmwareImage::NUM_BLOCKS] = {0x1000, 0x1000,  0x1000,  0x1000,
                                                             0x1000, 0x1000,  0x1000,  0x1000,
                                                             0x8000, 0x10000, 0x10000, 0x10000};

/// Highest address the controller's memory holds.
const unsigned long kLastAddress = FirmwareImage::MEMORY_SIZE - 1;

/// File bytes read at a time.
const size_t kChunk = 64 * 1024;

/// Length of a reply buffer for erase answers.
const int kReplyLength = 2048;

/// Before a block is tried again, the rest of the failed exchange may still
/// be arriving: wait until the line is quiet this long (at most the limit).
const int kRetryQuietMs = 200;
const int kRetryQuietLimitMs = 5000;

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};

} // namespace

FirmwareImage::FirmwareImage() : myMemory(new unsigned char[MEMORY_SIZE]) {
  reset();
}

FirmwareImage::~FirmwareImage() = default;

void FirmwareImage::reset() {
  memset(myMemory.get(), 0xFF, MEMORY_SIZE);
  for (int i = 0; i < NUM_BLOCKS; i++) {
    myBlocks[i].start = kBlockStart[i];
    myBlocks[i].size = kBlockSize[i];
    myBlocks[i].highest = kBlockStart[i];
    myBlocks[i].touched = false;
  }
  myDataRecords = 0;
  myCountRecord = -1;
  myLastRecord = 0;
}

bool FirmwareImage::downloadFirmware(MonitorLink *link, const char *path) {
  // The whole file is read and validated before anything goes to the
  // controller, so a malformed file never causes an erase.
  if (!load(path))
    return false;
  return downloadLoaded(link);
}

bool FirmwareImage::load(const char *path) {
  if (path == nullptr)
    path = "";
  reset();
  myPath = path;
  return readFile(path) && checkWholeFile(path);
}

bool FirmwareImage::downloadLoaded(MonitorLink *link) {
  const char *path = myPath.c_str();
  myStoppedAt = -1;
  if (link == nullptr) {
    ZyLog::log(ZyLog::Normal, "Not interacting with microcontroller so cannot download '%s'.",
               path);
    return true;
  }
  if (!writeBlocks(link))
    return false;
  link->discardInput();
  link->sendCommand("FR");
  ZyLog::log(ZyLog::Normal, "Done downloading '%s'.", path);
  return true;
}

// Reads the file in large chunks and hands it on in pieces the way a line
// reader with a buffer of MAX_LINE characters would: a piece ends after a
// line feed or after MAX_LINE characters, and each piece counts as a line.
bool FirmwareImage::readFile(const char *path) {
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
    if (!checkRecordLine(line, lineNumber) || !loadLine(line, lineNumber))
      return false;
  }
}

bool FirmwareImage::checkRecordLine(const char *line, int lineNumber) {
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

bool FirmwareImage::checkWholeFile(const char *path) {
  bool anything = false;
  for (int i = 0; i < NUM_BLOCKS; i++)
    anything = anything || (myBlocks[i].touched && i != PARAMETER_BLOCK);
  if (!anything) {
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
bool FirmwareImage::loadLine(const char *line, int lineNumber) {
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
  return storeRecordData(address, data, lineNumber);
}

bool FirmwareImage::storeRecordData(unsigned long address, const char *dataDigits, int lineNumber) {
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
  if (address > kLastAddress || end > MEMORY_SIZE) {
    ZyLog::log(ZyLog::Verbose,
               "Line %d (addresses 0x%llx to 0x%llx) goes beyond our bounds of memory (0x0-0x%lx",
               lineNumber, static_cast<unsigned long long>(address), end, kLastAddress);
    return true;
  }
  if (count == 0)
    return true;

  unsigned char *out = myMemory.get() + address;
  for (size_t i = 0; i < digits; i += 2) {
    int high = hexOf(dataDigits[i]);
    int low = hexOf(dataDigits[i + 1]);
    if ((high | low) < 0) {
      ZyLog::log(ZyLog::Terse, "Malformed .mot file (line %d has bad chars), cannot download.",
                 lineNumber);
      return false;
    }
    *out++ = static_cast<unsigned char>(high * 16 + low);
  }

  for (FlashBlock &block : myBlocks) {
    unsigned long blockEnd = block.start + block.size;
    if (address >= blockEnd || end <= block.start)
      continue;
    block.touched = true;
    unsigned long top = end < blockEnd ? static_cast<unsigned long>(end) : blockEnd;
    if (top > block.highest)
      block.highest = top;
  }
  return true;
}

bool FirmwareImage::stoppedPartWay() const {
  if (myStoppedAt < 0)
    return false;
  for (int i = 0; i < myStoppedAt; i++)
    if (myBlocks[i].touched && i != PARAMETER_BLOCK)
      return true;
  return false;
}

void FirmwareImage::logStoppedBlocks() const {
  if (myStoppedAt < 0)
    return;
  std::string written, old;
  char name[8];
  for (int i = 0; i < NUM_BLOCKS; i++) {
    if (!myBlocks[i].touched || i == PARAMETER_BLOCK)
      continue;
    snprintf(name, sizeof name, " 0x%x", i);
    (i < myStoppedAt ? written : old) += name;
  }
  ZyLog::log(ZyLog::Normal, "Download of '%s' stopped before block 0x%x.", myPath.c_str(),
             myStoppedAt);
  ZyLog::log(ZyLog::Normal, "Blocks written with the new firmware:%s",
             written.empty() ? " none" : written.c_str());
  ZyLog::log(ZyLog::Normal, "Blocks still holding the old firmware:%s",
             old.empty() ? " none" : old.c_str());
}

bool FirmwareImage::writeBlocks(MonitorLink *link) {
  // The whole download is one stretch that a terminating signal does not
  // cut: the signal is seen between blocks, and the download stops there.
  ZyCriticalSection download;
  for (int i = 0; i < NUM_BLOCKS; i++) {
    const FlashBlock &block = myBlocks[i];
    if (!block.touched || i == PARAMETER_BLOCK)
      continue;
    if (ZyCriticalSection::pendingSignal() != 0 || Zyla::stopRequest() != 0) {
      myStoppedAt = i;
      return false;
    }
    ZyLog::log(ZyLog::Normal, "Erasing and writing block 0x%x (0x%lx to 0x%lx).", i, block.start,
               block.highest);
    // A terminating signal waits until the block is written again, so the
    // controller is not left with an erased block.
    ZyCriticalSection section;
    if (!writeBlock(link, i)) {
      reportFailedDownload(i);
      return false;
    }
  }
  return true;
}

// Erases one block and writes it from its start; an erase or a piece that
// is not acknowledged or is refused starts the block over.
bool FirmwareImage::writeBlock(MonitorLink *link, int index) {
  const FlashBlock &block = myBlocks[index];
  char reply[kReplyLength + 1];
  char command[16];
  snprintf(command, sizeof(command), "FE%x", index);
  for (int attempt = 0; attempt < BLOCK_ATTEMPTS; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Erasing and writing block 0x%x again (try %d of %d).", index,
                 attempt + 1, BLOCK_ATTEMPTS);
      link->waitForQuiet(kRetryQuietMs, kRetryQuietLimitMs);
    }
    link->discardInput();
    if (!link->sendCommand(command)) {
      ZyLog::log(ZyLog::Terse, "Erase flash command for block %x didn't go.", index);
      continue;
    }
    reply[0] = '\0';
    reply[2] = '\0';
    reply[kReplyLength] = '\0';
    if (!link->readPacket(reply, kReplyLength, 1000) || reply[2] != '0') {
      ZyLog::log(ZyLog::Terse, "Erase flash command for block %x not accepted: %s", index, reply);
      continue;
    }
    if (link->progress() != nullptr)
      link->progress()->blockStarted(index, static_cast<unsigned int>(block.start),
                                     static_cast<unsigned int>(block.highest - block.start));
    if (link->writeFlash(myMemory.get() + block.start,
                         static_cast<int>(block.highest - block.start),
                         static_cast<unsigned int>(block.start)))
      return true;
    ZyLog::log(ZyLog::Normal, "Could not write block 0x%x to microcontroller", index);
  }
  return false;
}

// Says what the controller holds after a download failed at block failed:
// the blocks before it are new, it may be erased or partly written, the
// ones after it are as they were.
void FirmwareImage::reportFailedDownload(int failed) {
  std::string written, old;
  for (int i = 0; i < NUM_BLOCKS; i++) {
    if (!myBlocks[i].touched || i == PARAMETER_BLOCK || i == failed)
      continue;
    std::string &list = i < failed ? written : old;
    char number[8];
    snprintf(number, sizeof number, "%s0x%x", list.empty() ? "" : ", ", i);
    list += number;
  }
  ZyLog::log(ZyLog::Terse,
             "The download failed at block 0x%x, which may now be erased or partly "
             "written.",
             failed);
  ZyLog::log(ZyLog::Terse, "Blocks already written: %s. Blocks still holding the old firmware: %s.",
             written.empty() ? "none" : written.c_str(), old.empty() ? "none" : old.c_str());
  ZyLog::log(ZyLog::Terse, "Running the upload again repairs the controller.");
}

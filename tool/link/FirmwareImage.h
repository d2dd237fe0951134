// FirmwareImage: loads a Motorola S-record firmware file into an image of
// the controller's 256 KB address space, validating every line, and then
// erases and writes each FLASH block the file touched through the monitor
// link. The parameter block (block 7) is never erased or written.
#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <memory>
#include <string>

class MonitorLink;

/// One erasable FLASH block of the controller.
struct FlashBlock {
  unsigned long start;   ///< first address of the block
  unsigned long size;    ///< bytes in the block
  unsigned long highest; ///< one past the last byte the file put in the block
  bool touched;          ///< the file put at least one byte in the block
};

class FirmwareImage {
public:
  /// Size of the controller's address space: addresses 0x0 to 0x3ffff.
  static const unsigned long MEMORY_SIZE = 0x40000;
  static const int NUM_BLOCKS = 12;
  /// The FLASH parameter block, which a download never erases or writes.
  static const int PARAMETER_BLOCK = 7;
  /// Longest piece of a line taken at a time; longer lines come in pieces.
  static const int MAX_LINE = 255;

  FirmwareImage();
  ~FirmwareImage();
  FirmwareImage(const FirmwareImage &) = delete;
  FirmwareImage &operator=(const FirmwareImage &) = delete;

  /// Reads and validates the whole S-record file (which must carry data
  /// outside the parameter block and end with an end record), then (with a
  /// link) erases and writes every touched block but the parameter block,
  /// each tried up to BLOCK_ATTEMPTS times, and sends "FR".
  /// True when the file was valid and every touched block was written, or,
  /// without a link (nullptr), when the file was valid.
  bool downloadFirmware(MonitorLink *link, const char *path);
  /// Reads and validates the whole file into memory, nothing else; false
  /// (with the reason logged) when it cannot be read or is malformed.
  bool load(const char *path);
  /// Writes the image that load read (see downloadFirmware). A terminating
  /// signal during the download lets the block in hand finish; the download
  /// then ends with false and stopped() true.
  bool downloadLoaded(MonitorLink *link);
  /// The last download ended early on a stop request.
  bool stopped() const { return myStoppedAt >= 0; }
  /// It ended early after writing some of its blocks but not all: the
  /// controller holds a mix of new and old firmware.
  bool stoppedPartWay() const;
  /// Logs which touched blocks hold the new firmware and which the old,
  /// after a stopped download.
  void logStoppedBlocks() const;

  /// Checks one line (already cut at its end-of-line): length, hexadecimal
  /// digits from the byte count on, and the checksum. Logs the reason and
  /// returns false when the line is malformed.
  bool checkRecordLine(const char *line, int lineNumber);
  /// Stores the data digits (two per byte, already known to be hexadecimal)
  /// of a record at address and marks the blocks it touches. A record with
  /// bytes beyond the end of memory is skipped (true, Verbose message); an
  /// odd number of digits is refused (false).
  bool storeRecordData(unsigned long address, const char *dataDigits, int lineNumber);

  /// Sets the memory to 0xFF (erased FLASH) and resets the block table.
  void reset();

  /// The loaded image, MEMORY_SIZE bytes.
  const unsigned char *memory() const { return myMemory.get(); }
  /// Block table row 0 to NUM_BLOCKS - 1.
  const FlashBlock &block(int index) const { return myBlocks[index]; }

  /// Times a block is tried in all (erase, then write from its start)
  /// before a download fails.
  static const int BLOCK_ATTEMPTS = 3;

private:
  bool readFile(const char *path);
  /// After the file was read: refuses a file with nothing to write, one
  /// that ends neither with an end record (S7, S8, S9) nor with a count
  /// record (S5, S6) that matches, and one whose count record disagrees.
  bool checkWholeFile(const char *path);
  bool loadLine(const char *line, int lineNumber);
  bool writeBlocks(MonitorLink *link);
  bool writeBlock(MonitorLink *link, int index);
  void reportFailedDownload(int failed);

  std::unique_ptr<unsigned char[]> myMemory;
  FlashBlock myBlocks[NUM_BLOCKS];
  std::string myPath;
  // The block a stopped download did not start, -1 when none stopped.
  int myStoppedAt = -1;
  /// Data records (S1, S2, S3) in the file, loaded or skipped.
  unsigned long myDataRecords = 0;
  /// The record count of the last S5 or S6 record, or -1 without one.
  long myCountRecord = -1;
  /// The type digit of the last record ('0' to '9'), or 0 before any.
  char myLastRecord = 0;
};

#endif

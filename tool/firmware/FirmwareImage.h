// SPDX-License-Identifier: MIT
// FirmwareImage: a sparse memory image of the controller's 256 KB address
// space as a firmware file describes it: what each address holds, which
// addresses the file gave, and which of the 12 FLASH blocks it touched.
// Its identity (format, address ranges, blocks to erase and the SHA-256 of
// the bytes that will be written) is what the tool shows before an upload.
#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

/// One erasable FLASH block of the controller.
struct FlashBlock {
  unsigned long start;   ///< first address of the block
  unsigned long size;    ///< bytes in the block
  unsigned long highest; ///< one past the last byte the file put in the block
  bool touched;          ///< the file put at least one byte in the block
};

/// The file formats a firmware image is read from.
enum class FirmwareFormat { SRecord, IntelHex, Binary };

/// "Motorola S-records", "Intel HEX" or "raw binary".
const char *firmwareFormatName(FirmwareFormat format);

class FirmwareImage {
public:
  /// Size of the controller's address space: addresses 0x0 to 0x3ffff.
  static const unsigned long MEMORY_SIZE = 0x40000;
  static const int NUM_BLOCKS = 12;
  /// The FLASH parameter block, which a download never erases or writes.
  static const int PARAMETER_BLOCK = 7;

  FirmwareImage();
  ~FirmwareImage();
  FirmwareImage(const FirmwareImage &) = delete;
  FirmwareImage &operator=(const FirmwareImage &) = delete;

  /// Sets the memory to 0xFF (erased FLASH), forgets every address given
  /// and resets the block table; the source is kept.
  void reset();
  /// Names the file the image came from (used in messages) and its format.
  void setSource(const std::string &path, FirmwareFormat format);
  const std::string &source() const { return mySource; }
  FirmwareFormat format() const { return myFormat; }

  /// Puts count bytes at address (all of them must lie in memory: the
  /// readers skip or refuse the rest) and marks the blocks they touch,
  /// raising each block's highest address.
  void store(unsigned long address, const unsigned char *bytes, size_t count);

  /// The image, MEMORY_SIZE bytes (0xFF where the file gave nothing).
  const unsigned char *memory() const { return myMemory.get(); }
  /// Block table row 0 to NUM_BLOCKS - 1.
  const FlashBlock &block(int index) const { return myBlocks[index]; }
  /// True when the file gave the byte at address.
  bool given(unsigned long address) const;

  /// The file put something outside the parameter block.
  bool hasData() const;
  /// The blocks a download erases and writes, in address order: every
  /// touched block but the parameter block.
  std::vector<int> blocksToWrite() const;
  /// Runs of addresses the file gave, [first, end) in address order.
  std::vector<std::pair<unsigned long, unsigned long>> ranges() const;
  /// The SHA-256 (64 lower-case hexadecimal digits) of the bytes a download
  /// writes: each block of blocksToWrite from its start to its highest
  /// address (gaps as 0xFF), in address order. Empty when the digest
  /// cannot be made.
  std::string digest() const;
  /// Logs what the image holds (format, ranges, blocks, digest) at level
  /// Normal: shown before an upload and by a run without a controller.
  void logSummary() const;

private:
  std::unique_ptr<unsigned char[]> myMemory;
  /// One bit per address: set where the file gave a byte.
  std::unique_ptr<unsigned long long[]> myGiven;
  FlashBlock myBlocks[NUM_BLOCKS];
  std::string mySource;
  FirmwareFormat myFormat = FirmwareFormat::SRecord;
};

#endif

// SPDX-License-Identifier: MIT
// FirmwareDownload: writes a firmware image into the controller through the
// monitor link: each FLASH block the image touched (never the parameter
// block) is erased, written from its start to its highest address and
// read back to verify, with retries, stop requests seen between blocks and
// messages that say which blocks hold the new firmware after a failure.
// It takes an image and never sees a file. Without writing, it compares
// the controller with the image by the same read-back (--check).
#ifndef FIRMWAREDOWNLOAD_H
#define FIRMWAREDOWNLOAD_H

#include "FirmwareImage.h"

#include <vector>

class MonitorLink;

class FirmwareDownload {
public:
  /// Times a block is tried in all (erase, write from its start, read
  /// back) before a download fails.
  static const int BLOCK_ATTEMPTS = 3;
  /// Bytes of one read-back piece: "m%x,FFF" asks for 4096, the most a
  /// monitor read carries.
  static const int READ_PIECE = 4096;

  /// The image is not owned and must outlive the download.
  explicit FirmwareDownload(const FirmwareImage &image) : myImage(image) {}

  /// Read each block back after writing it (the default); off skips the
  /// read-back, which the download then says.
  void setVerify(bool verify) { myVerify = verify; }
  bool verify() const { return myVerify; }

  /// Erases and writes every block the image touched but the parameter
  /// block, each tried up to BLOCK_ATTEMPTS times, and sends "FR". True
  /// when every block was written (and read back the same, with verify),
  /// or, without a link (nullptr), at once. A terminating signal during
  /// the download lets the block in hand finish; the download then ends
  /// with false and stopped() true.
  bool downloadFirmware(MonitorLink *link);

  /// How the controller's block compares with the image.
  enum class BlockCheck { Same, Differs, NoAnswer };
  /// Reads block index back from its start to its highest address in
  /// pieces of READ_PIECE bytes and compares it with the image over that
  /// range. A difference is read once more before it counts; a piece that
  /// does not come (after one more try) is NoAnswer. *firstDifference gets
  /// the first address that differs.
  BlockCheck compareBlock(MonitorLink *link, int index, unsigned long *firstDifference);

  /// What compareImage found.
  struct Comparison {
    bool answered = true;       ///< every block it came to could be read back
    bool stopped = false;       ///< a stop request ended it between blocks
    std::vector<int> differing; ///< the blocks that differ from the image
  };
  /// Compares the controller with the image, writing nothing (--check):
  /// each block the image touches is read back (compareBlock) until one
  /// cannot be or a stop request comes; logs each block that differs, and
  /// that every block matches when all do.
  Comparison compareImage(MonitorLink *link);

  /// The last download ended early on a stop request.
  bool stopped() const { return myStoppedAt >= 0; }
  /// It ended early after writing some of its blocks but not all: the
  /// controller holds a mix of new and old firmware.
  bool stoppedPartWay() const;
  /// Logs which touched blocks hold the new firmware and which the old,
  /// after a stopped download.
  void logStoppedBlocks() const;
  /// The block the last download failed at, -1 when none failed.
  int failedBlock() const { return myFailedAt; }
  /// Blocks the last download wrote (and, with verify, read back the same).
  int blocksWritten() const { return myBlocksWritten; }

  FirmwareDownload(const FirmwareDownload &) = delete;
  FirmwareDownload &operator=(const FirmwareDownload &) = delete;

private:
  bool writeBlocks(MonitorLink *link);
  /// Erase, write and (with verify) read back; false when every attempt
  /// failed or the monitor does not answer reads.
  bool writeBlock(MonitorLink *link, int index);
  /// One piece read into myPiece, with one more try; false when none came.
  bool readPiece(MonitorLink *link, unsigned long address);
  void reportFailedDownload(int failed);

  const FirmwareImage &myImage;
  bool myVerify = true;
  // The block a stopped download did not start, -1 when none stopped.
  int myStoppedAt = -1;
  int myFailedAt = -1;
  int myBlocksWritten = 0;
  unsigned char myPiece[READ_PIECE];
};

#endif

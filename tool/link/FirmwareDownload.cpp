// SPDX-License-Identifier: MIT
// FirmwareDownload: the block by block erase, write and read-back of a
// firmware image.
#include "FirmwareDownload.h"

#include "MonitorLink.h"
#include "TransferProgress.h"
#include "ZyCriticalSection.h"
#include "ZyLog.h"
#include "Zyla.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

/// Length of a reply buffer for erase answers.
const int kReplyLength = 2048;

/// Before a block or a read is tried again, the rest of the failed exchange
/// may still be arriving: wait until the line is quiet this long (at most
/// the limit).
const int kRetryQuietMs = 200;
const int kRetryQuietLimitMs = 5000;

/// Wait for the start of a read-back reply; a whole piece then takes about
/// 0.7 s at 115200 bit/s, bounded by the link's pause between characters.
const int kPieceWaitMs = 2000;
/// The last byte of a piece may be missing from a reply to "m%x,FFF",
/// which names 0xFFF as the last offset (as for the parameter block).
const int kShortestPiece = FirmwareDownload::READ_PIECE - 1;

} // namespace

bool FirmwareDownload::downloadFirmware(MonitorLink *link) {
  const char *path = myImage.source().c_str();
  myStoppedAt = -1;
  myFailedAt = -1;
  myBlocksWritten = 0;
  if (link == nullptr) {
    ZyLog::log(ZyLog::Normal, "Not interacting with microcontroller so cannot download '%s'.",
               path);
    return true;
  }
  if (!myVerify)
    ZyLog::log(ZyLog::Normal,
               "Not reading the blocks back to verify them (--no-verify): a block the controller "
               "did not store right goes unnoticed.");
  if (!writeBlocks(link))
    return false;
  if (myVerify)
    ZyLog::log(ZyLog::Normal, "Every block written reads back as written.");
  link->discardInput();
  link->sendCommand("FR");
  ZyLog::log(ZyLog::Normal, "Done downloading '%s'.", path);
  return true;
}

bool FirmwareDownload::stoppedPartWay() const {
  if (myStoppedAt < 0)
    return false;
  for (int i : myImage.blocksToWrite())
    if (i < myStoppedAt)
      return true;
  return false;
}

void FirmwareDownload::logStoppedBlocks() const {
  if (myStoppedAt < 0)
    return;
  std::string written, old;
  char name[8];
  for (int i : myImage.blocksToWrite()) {
    snprintf(name, sizeof name, " 0x%x", i);
    (i < myStoppedAt ? written : old) += name;
  }
  ZyLog::log(ZyLog::Normal, "Download of '%s' stopped before block 0x%x.", myImage.source().c_str(),
             myStoppedAt);
  ZyLog::log(ZyLog::Normal, "Blocks written with the new firmware:%s",
             written.empty() ? " none" : written.c_str());
  ZyLog::log(ZyLog::Normal, "Blocks still holding the old firmware:%s",
             old.empty() ? " none" : old.c_str());
}

bool FirmwareDownload::writeBlocks(MonitorLink *link) {
  // The whole download is one stretch that a terminating signal does not
  // cut: the signal is seen between blocks, and the download stops there.
  ZyCriticalSection download;
  for (int i : myImage.blocksToWrite()) {
    const FlashBlock &block = myImage.block(i);
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
      myFailedAt = i;
      reportFailedDownload(i);
      return false;
    }
    myBlocksWritten++;
  }
  return true;
}

// Erases one block, writes it from its start and reads it back; an erase
// or a piece that is not acknowledged or is refused, or a confirmed
// difference in the read-back, starts the block over.
bool FirmwareDownload::writeBlock(MonitorLink *link, int index) {
  const FlashBlock &block = myImage.block(index);
  char reply[kReplyLength + 1];
  char command[16];
  snprintf(command, sizeof(command), "FE%x", index);
  bool differed = false;
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
    if (!link->writeFlash(myImage.memory() + block.start,
                          static_cast<int>(block.highest - block.start),
                          static_cast<unsigned int>(block.start))) {
      ZyLog::log(ZyLog::Normal, "Could not write block 0x%x to microcontroller", index);
      continue;
    }
    if (!myVerify)
      return true;
    // Some 0.7 s a piece at 115200 bit/s, 11 s for a 64 KB block: said, so
    // the pause after the block's progress is not taken for a hang.
    ZyLog::log(ZyLog::Normal, "Reading block 0x%x back to verify it.", index);
    unsigned long difference = 0;
    BlockCheck check = compareBlock(link, index, &difference);
    if (check == BlockCheck::Same)
      return true;
    if (check == BlockCheck::NoAnswer) {
      ZyLog::log(ZyLog::Terse,
                 "The controller did not answer the read-back of block 0x%x at 0x%lx, so the "
                 "block cannot be verified. If its monitor cannot read FLASH, run the upload "
                 "again with --no-verify to skip the read-back.",
                 index, difference);
      return false;
    }
    differed = true;
    ZyLog::log(ZyLog::Normal,
               "Block 0x%x does not read back as written (first difference at 0x%lx).", index,
               difference);
  }
  if (differed)
    ZyLog::log(ZyLog::Terse,
               "Block 0x%x did not read back as written after %d tries: the controller's FLASH "
               "does not hold the image.",
               index, BLOCK_ATTEMPTS);
  return false;
}

bool FirmwareDownload::readPiece(MonitorLink *link, unsigned long address) {
  char command[24];
  snprintf(command, sizeof command, "m%lx,FFF", address);
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0)
      link->waitForQuiet(kRetryQuietMs, kRetryQuietLimitMs);
    link->discardInput();
    if (!link->sendCommand(command))
      continue;
    int bytes = 0;
    if (link->readCheckedBinaryPacket(myPiece, kShortestPiece, READ_PIECE, kPieceWaitMs, &bytes) ==
        MonitorLink::ReplyResult::Ok) {
      // A missing last byte reads as erased, as for the parameter block.
      if (bytes < READ_PIECE)
        memset(myPiece + bytes, 0xFF, static_cast<size_t>(READ_PIECE - bytes));
      return true;
    }
  }
  return false;
}

FirmwareDownload::BlockCheck FirmwareDownload::compareBlock(MonitorLink *link, int index,
                                                            unsigned long *firstDifference) {
  const FlashBlock &block = myImage.block(index);
  const unsigned char *memory = myImage.memory();
  for (unsigned long address = block.start; address < block.highest; address += READ_PIECE) {
    unsigned long length = block.highest - address < static_cast<unsigned long>(READ_PIECE)
                               ? block.highest - address
                               : READ_PIECE;
    // A difference may be the line's, not the FLASH's: it counts only when
    // a second read of the piece shows it too.
    bool same = false;
    for (int read = 0; read < 2 && !same; read++) {
      if (!readPiece(link, address)) {
        *firstDifference = address;
        return BlockCheck::NoAnswer;
      }
      same = memcmp(myPiece, memory + address, length) == 0;
    }
    if (!same) {
      unsigned long at = 0;
      while (at < length && myPiece[at] == memory[address + at])
        at++;
      *firstDifference = address + at;
      return BlockCheck::Differs;
    }
  }
  return BlockCheck::Same;
}

FirmwareDownload::Comparison FirmwareDownload::compareImage(MonitorLink *link) {
  const char *path = myImage.source().c_str();
  Comparison result;
  ZyLog::log(ZyLog::Normal,
             "Comparing '%s' with the controller by reading it back; nothing written.", path);
  for (int i : myImage.blocksToWrite()) {
    if (Zyla::stopRequest() != 0) {
      result.stopped = true;
      break;
    }
    unsigned long first = 0;
    BlockCheck check = compareBlock(link, i, &first);
    if (check == BlockCheck::NoAnswer) {
      ZyLog::log(ZyLog::Terse,
                 "Could not read block 0x%x back from the controller: check the cable and the "
                 "controller's power, then run the check again.",
                 i);
      result.answered = false;
      break;
    }
    if (check == BlockCheck::Differs) {
      ZyLog::log(ZyLog::Normal, "Block 0x%x differs from the image.", i);
      result.differing.push_back(i);
    }
  }
  if (Zyla::stopRequest() != 0)
    result.stopped = true;
  if (result.answered && !result.stopped && result.differing.empty())
    ZyLog::log(ZyLog::Normal, "Every block of '%s' matches the controller.", path);
  return result;
}

// Says what the controller holds after a download failed at block failed:
// the blocks before it are new, it may be erased or partly written, the
// ones after it are as they were.
void FirmwareDownload::reportFailedDownload(int failed) {
  std::string written, old;
  for (int i : myImage.blocksToWrite()) {
    if (i == failed)
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

// SPDX-License-Identifier: MIT
// Transfer of the FLASH parameter block: the confirmed read of block 7, the
// second look before a write, and the erase-write-verify transaction.
#include "ParameterBlockLink.h"

#include "MonitorLink.h"
#include "TransferProgress.h"
#include "ZyCriticalSection.h"
#include "ZyLog.h"

#include <cstring>

namespace {

const int BLOCK_READ_WAIT_MS = 20000;
const int ERASE_REPLY_WAIT_MS = 1000;
// Before a retry the rest of a failed exchange may still be arriving (a
// whole block reply takes 0.7 s at 115200 bit/s): wait until the line has
// been quiet this long, but no longer than the limit, then drop it all.
const int RETRY_QUIET_MS = 200;
const int RETRY_QUIET_LIMIT_MS = 5000;

/// Offset of the first byte in which a and b differ, or -1.
int firstDifference(const unsigned char *a, const unsigned char *b, int length) {
  for (int i = 0; i < length; i++)
    if (a[i] != b[i])
      return i;
  return -1;
}

} // namespace

/// Reads one whole reply to "m7000,FFF", with one more try after a
/// failure. On success the block is in into (a 4095-byte reply leaves the
/// last byte 0xFF) and *bytes is the number of bytes the reply carried;
/// otherwise into is untouched. The last byte of the block may be missing
/// from a reply, which names 0xFFF as the last offset.
bool ParameterBlockLink::readBlockReply(unsigned char *into, int *bytes) {
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Reading the FLASH parameter block again.");
      myLink.waitForQuiet(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS);
    }
    // Whatever is still on the line (the rest of an earlier exchange) must
    // not be taken for this command's answer.
    myLink.discardInput();
    myLink.sendCommand("m7000,FFF");
    MonitorLink::ReplyResult result = myLink.readCheckedBinaryPacket(
        into, PARAM_BLOCK_SHORTEST, PARAM_BLOCK_SIZE, BLOCK_READ_WAIT_MS, bytes);
    if (result == MonitorLink::ReplyResult::Ok) {
      if (*bytes < PARAM_BLOCK_SIZE)
        memset(into + *bytes, 0xFF, static_cast<size_t>(PARAM_BLOCK_SIZE - *bytes));
      return true;
    }
    static const char *const reasons[] = {"", "no reply", "the reply stopped or ran over",
                                          "wrong checksum", "wrong number of digits"};
    ZyLog::log(ZyLog::Normal, "Reading the FLASH parameter block failed: %s.",
               reasons[static_cast<int>(result)]);
  }
  return false;
}

/// Reads block 7 and confirms it. The reply's checksum is a sum modulo
/// 256: two digits swapped, or one digit one higher and another one lower,
/// leave the sum as it was, so a damaged block can pass it. A block is
/// therefore taken only when two whole replies agree byte for byte (and in
/// length); damage on the line does not repeat itself in the same place.
/// After a disagreement the block is read once more, up to
/// MAX_BLOCK_REPLIES whole replies in all; a reply that fails (and fails
/// its one retry) fails the read, and failed replies are not counted. On
/// success into holds the block and *bytes the length of the replies;
/// otherwise into is untouched.
bool ParameterBlockLink::readBlock(unsigned char *into, int *bytes) {
  for (int n = 0; n < MAX_BLOCK_REPLIES; n++) {
    if (n >= 2)
      ZyLog::log(ZyLog::Normal,
                 "The replies to the FLASH read differ; reading the block once more.");
    if (!readBlockReply(myReplies[n], &myReplyBytes[n]))
      return false;
    for (int k = 0; k < n; k++) {
      if (myReplyBytes[k] == myReplyBytes[n] &&
          memcmp(myReplies[k], myReplies[n], PARAM_BLOCK_SIZE) == 0) {
        memcpy(into, myReplies[n], PARAM_BLOCK_SIZE);
        *bytes = myReplyBytes[n];
        return true;
      }
    }
  }
  ZyLog::log(ZyLog::Terse, "The controller's replies to the FLASH read disagree.");
  return false;
}

/// Erases block 7. An erase that is not acknowledged or whose reply is
/// missing, garbled or refusing may still have happened; erasing twice is
/// harmless, so it is sent once more before giving up.
bool ParameterBlockLink::eraseBlock() {
  char reply[MonitorLink::MAX_REPLY_TEXT + 1] = {};
  bool acknowledged = false;
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Erase of the FLASH parameter block not confirmed; erasing again.");
      myLink.waitForQuiet(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS);
    }
    myLink.discardInput();
    acknowledged = myLink.sendCommand("FE7");
    if (!acknowledged)
      continue;
    reply[0] = '\0';
    reply[2] = '\0';
    if (myLink.readPacket(reply, MonitorLink::MAX_REPLY_TEXT, ERASE_REPLY_WAIT_MS) &&
        reply[2] == '0')
      return true;
  }
  if (!acknowledged)
    ZyLog::log(ZyLog::Terse, "Erase FLASH command didn't work.");
  else
    ZyLog::log(ZyLog::Terse, "Erase FLASH command not accepted: %s", reply);
  return false;
}

/// Erases block 7, writes block (all 4096 bytes) and reads it back; a
/// failed piece, a failed read back or a difference restarts the whole
/// block once.
bool ParameterBlockLink::writeBlockVerified(const unsigned char *block) {
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Writing the FLASH parameter block again from its start.");
      myLink.waitForQuiet(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS);
    }
    // The erase has had its second try already.
    if (!eraseBlock())
      return false;
    if (myLink.progress() != nullptr)
      myLink.progress()->blockStarted(7, FLASH_BLOCK_ADDRESS, PARAM_BLOCK_SIZE);
    if (!myLink.writeFlash(block, PARAM_BLOCK_SIZE, FLASH_BLOCK_ADDRESS))
      continue;
    // The read back is confirmed like any other, so that a damaged reply
    // neither passes for the block nor restarts a block written well.
    int bytes = 0;
    if (!readBlock(myReadBack, &bytes)) {
      ZyLog::log(ZyLog::Terse, "Could not read the FLASH parameter block back to verify it.");
      continue;
    }
    // Every byte the reply carried, up to the block's last.
    int difference = firstDifference(myReadBack, block, bytes);
    if (difference < 0)
      return true;
    ZyLog::log(ZyLog::Terse,
               "The FLASH parameter block read back differs from what was written (byte %d).",
               difference);
  }
  return false;
}

BlockRead ParameterBlockLink::read() {
  BlockRead result;
  ZyLog::log(ZyLog::Normal, "Reading FLASH parameters from controller.");
  if (!readBlock(result.block.data(), &result.bytes)) {
    ZyLog::log(ZyLog::Terse, "Could not read FLASH parameters from controller.");
    return result;
  }
  result.ok = true;
  result.erased = blockErased(result.block.data(), static_cast<size_t>(result.bytes));
  if (result.erased) {
    ZyLog::log(ZyLog::Terse,
               "Warning: the controller's FLASH parameter block is erased (every byte reads "
               "0xFF).");
    ZyLog::log(ZyLog::Terse,
               "If a write failed earlier, put its rescue image back with: orvexconf -rp <port> "
               "-b -restoreBlock orvexconf-rescue-<name>-<date-time>.blk");
  }
  return result;
}

BlockCheck ParameterBlockLink::checkUnchanged(const ParamBlock &expected, bool afterFailure) {
  ZyLog::log(ZyLog::Normal,
             "Checking that the controller's FLASH parameter block is the one read.");
  int bytes = 0;
  if (!readBlock(myReadBack, &bytes)) {
    ZyLog::log(ZyLog::Terse,
               "Could not read the FLASH parameter block before writing it; nothing was written.");
    return BlockCheck::Unreadable;
  }
  int difference = firstDifference(myReadBack, expected.data(), PARAM_BLOCK_SIZE);
  if (difference < 0 || afterFailure)
    return BlockCheck::Unchanged;
  ZyLog::log(ZyLog::Terse,
             "The controller's FLASH parameter block is not the one read (it differs at byte "
             "%d): something else changed it since, so nothing was written.",
             difference);
  return BlockCheck::Changed;
}

BlockWrite ParameterBlockLink::write(const ParamBlock &asRead, const ParamBlock &intended,
                                     WriteKind kind, WriteSafeguard *safeguard) {
  BlockWrite result;
  result.written = intended;
  if (kind == WriteKind::Parameters)
    ZyLog::log(ZyLog::Verbose, "Writing FLASH parameters to controller.");
  {
    // A terminating signal waits until the transaction is over, so it
    // cannot leave the controller with an erased parameter block.
    ZyCriticalSection section;
    if (safeguard != nullptr && !safeguard->beforeErase(asRead.data(), intended.data(), kind))
      return result;
    if (!writeBlockVerified(intended.data())) {
      ZyLog::log(ZyLog::Terse, "Could not write to the controller.");
      if (kind == WriteKind::Parameters)
        ZyLog::log(ZyLog::Terse, "The FLASH parameter block on the controller may now be erased "
                                 "or partly written.");
      else
        ZyLog::log(ZyLog::Terse,
                   "The FLASH parameter block on the controller may now be erased or partly "
                   "written; the image to write is still there to try again.");
      result.status = BlockWriteStatus::Failed;
      if (safeguard != nullptr)
        result.rescue = safeguard->afterWrite(false);
      return result;
    }
    if (safeguard != nullptr)
      safeguard->afterWrite(true);
  }
  result.status = BlockWriteStatus::Verified;
  ZyLog::log(ZyLog::Normal, "FLASH parameters written to the controller.");
  myLink.discardInput();
  myLink.sendCommand("FR");
  return result;
}

// SPDX-License-Identifier: MIT
// Transfer of the FLASH parameter block: the firmware identity check, the
// checked read of block 7 into the FLASH image, the erase-write-verify
// transaction back, and the rescue image kept when that fails.
#include "FlashTransfer.h"

#include "FlashImage.h"
#include "MonitorLink.h"
#include "ParamTables.h"
#include "RescueFiles.h"
#include "TransferProgress.h"
#include "ZyConfig.h"
#include "ZyCriticalSection.h"
#include "ZyLog.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const int IDENTITY_PAUSE_MS = 1000;
const int IDENTITY_WAIT_MS = 2000;
const int BLOCK_READ_WAIT_MS = 20000;
const int ERASE_REPLY_WAIT_MS = 1000;
// Before a retry the rest of a failed exchange may still be arriving (a
// whole block reply takes 0.7 s at 115200 bit/s): wait until the line has
// been quiet this long, but no longer than the limit, then drop it all.
const int RETRY_QUIET_MS = 200;
const int RETRY_QUIET_LIMIT_MS = 5000;
// The last byte of the block may be missing from a reply to "m7000,FFF",
// which names 0xFFF as the last offset.
const int SHORTEST_BLOCK_REPLY = FLASH_BLOCK_SIZE - 1;
const int NAME_OFFSET = 141;
const int NAME_SIZE = 19;

// The whole of block 7 as last read from (or written to) the controller.
// Bytes 422 to 4095 go back exactly as they came.
unsigned char transferBuffer[FLASH_BLOCK_SIZE];
// The block as read back to verify a write.
unsigned char verifyBuffer[FLASH_BLOCK_SIZE];
// The whole replies of one confirmed read of block 7, and their lengths.
const int MAX_BLOCK_REPLIES = 4;
unsigned char replies[MAX_BLOCK_REPLIES][FLASH_BLOCK_SIZE];
int replyBytes[MAX_BLOCK_REPLIES];
// Set when a parameter write failed: the controller may then hold a block
// of this program's own making (erased or partly written), which a later
// write may replace. Cleared by a successful read or write.
bool unfinishedWrite = false;

/// Offset of the first byte in which a and b differ, or -1.
int firstDifference(const unsigned char *a, const unsigned char *b, int length) {
  for (int i = 0; i < length; i++)
    if (a[i] != b[i])
      return i;
  return -1;
}
char eraseReply[MonitorLink::MAX_REPLY_TEXT + 1];
std::string rescueImage;
std::string rescueParameters;
WriteSafeguard *safeguard = nullptr;

void swapAllTables() {
  for (ParamEntry *table : allTables())
    swapWordOrder(table);
}

char at(const char *reply, size_t length, size_t position) {
  return position < length ? reply[position] : '\0';
}

/// Reads one whole reply to "m7000,FFF", with one more try after a
/// failure. On success the block is in into (a 4095-byte reply leaves the
/// last byte 0xFF) and *bytes is the number of bytes the reply carried;
/// otherwise into is untouched.
bool readBlockReply(MonitorLink *link, unsigned char *into, int *bytes) {
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Reading the FLASH parameter block again.");
      link->waitForQuiet(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS);
    }
    // Whatever is still on the line (the rest of an earlier exchange) must
    // not be taken for this command's answer.
    link->discardInput();
    link->sendCommand("m7000,FFF");
    MonitorLink::ReplyResult result = link->readCheckedBinaryPacket(
        into, SHORTEST_BLOCK_REPLY, FLASH_BLOCK_SIZE, BLOCK_READ_WAIT_MS, bytes);
    if (result == MonitorLink::ReplyResult::Ok) {
      if (*bytes < FLASH_BLOCK_SIZE)
        memset(into + *bytes, 0xFF, static_cast<size_t>(FLASH_BLOCK_SIZE - *bytes));
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
bool readBlock(MonitorLink *link, unsigned char *into, int *bytes) {
  for (int n = 0; n < MAX_BLOCK_REPLIES; n++) {
    if (n >= 2)
      ZyLog::log(ZyLog::Normal,
                 "The replies to the FLASH read differ; reading the block once more.");
    if (!readBlockReply(link, replies[n], &replyBytes[n]))
      return false;
    for (int k = 0; k < n; k++) {
      if (replyBytes[k] == replyBytes[n] && memcmp(replies[k], replies[n], FLASH_BLOCK_SIZE) == 0) {
        memcpy(into, replies[n], FLASH_BLOCK_SIZE);
        *bytes = replyBytes[n];
        return true;
      }
    }
  }
  ZyLog::log(ZyLog::Terse, "The controller's replies to the FLASH read disagree.");
  return false;
}

bool allErased(const unsigned char *block, int length) {
  for (int i = 0; i < length; i++)
    if (block[i] != 0xFF)
      return false;
  return true;
}

/// Erases block 7. An erase that is not acknowledged or whose reply is
/// missing, garbled or refusing may still have happened; erasing twice is
/// harmless, so it is sent once more before giving up.
bool eraseBlock(MonitorLink *link) {
  bool acknowledged = false;
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Erase of the FLASH parameter block not confirmed; erasing again.");
      link->waitForQuiet(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS);
    }
    link->discardInput();
    acknowledged = link->sendCommand("FE7");
    if (!acknowledged)
      continue;
    eraseReply[0] = '\0';
    eraseReply[2] = '\0';
    if (link->readPacket(eraseReply, MonitorLink::MAX_REPLY_TEXT, ERASE_REPLY_WAIT_MS) &&
        eraseReply[2] == '0')
      return true;
  }
  if (!acknowledged)
    ZyLog::log(ZyLog::Terse, "Erase FLASH command didn't work.");
  else
    ZyLog::log(ZyLog::Terse, "Erase FLASH command not accepted: %s", eraseReply);
  return false;
}

/// Erases block 7, writes block (all 4096 bytes) and reads it back; a
/// failed piece, a failed read back or a difference restarts the whole
/// block once.
bool writeBlockVerified(MonitorLink *link, const unsigned char *block) {
  for (int attempt = 0; attempt < 2; attempt++) {
    if (attempt > 0) {
      ZyLog::log(ZyLog::Normal, "Writing the FLASH parameter block again from its start.");
      link->waitForQuiet(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS);
    }
    // The erase has had its second try already.
    if (!eraseBlock(link))
      return false;
    if (link->progress() != nullptr)
      link->progress()->blockStarted(7, FLASH_BLOCK_ADDRESS, FLASH_BLOCK_SIZE);
    if (!link->writeFlash(block, FLASH_BLOCK_SIZE, FLASH_BLOCK_ADDRESS))
      continue;
    // The read back is confirmed like any other, so that a damaged reply
    // neither passes for the block nor restarts a block written well.
    int bytes = 0;
    if (!readBlock(link, verifyBuffer, &bytes)) {
      ZyLog::log(ZyLog::Terse, "Could not read the FLASH parameter block back to verify it.");
      continue;
    }
    // Every byte the reply carried, up to the block's last.
    int difference = firstDifference(verifyBuffer, block, bytes);
    if (difference < 0)
      return true;
    ZyLog::log(ZyLog::Terse,
               "The FLASH parameter block read back differs from what was written (byte %d).",
               difference);
  }
  return false;
}

/// The robot's name in a block, reduced to letters, digits, "-" and "_".
std::string fileNamePart(const unsigned char *block) {
  std::string name;
  for (int i = 0; i < NAME_SIZE && block[NAME_OFFSET + i] != 0; i++) {
    unsigned char c = block[NAME_OFFSET + i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_')
      name.push_back(static_cast<char>(c));
  }
  return name.empty() ? "unnamed" : name;
}

/// Saves the block as it should be (raw bytes) and, beside it, the
/// parameters of flashImage as a parameter file; logs the files that were
/// saved. True when the block image was.
bool saveRescueImage(const unsigned char *block) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string base = "orvexconf-rescue-" + fileNamePart(block) + "-" + stamp;
  RescueFiles saved = saveRescueFiles(base, block, FLASH_BLOCK_SIZE, Zyla::getConfig());
  rescueImage = saved.image;
  rescueParameters = saved.parameters;
  if (rescueImage.empty()) {
    ZyLog::log(ZyLog::Terse, "Could not save a rescue image '%s.blk' (%s).", base.c_str(),
               saved.error.c_str());
    return false;
  }
  if (!rescueParameters.empty())
    ZyLog::log(ZyLog::Terse, "The block as it should be is saved in '%s' (its parameters in '%s').",
               rescueImage.c_str(), rescueParameters.c_str());
  else
    ZyLog::log(ZyLog::Terse,
               "The block as it should be is saved in '%s' (its parameters could "
               "not be saved: %s).",
               rescueImage.c_str(), saved.error.c_str());
  ZyLog::log(ZyLog::Terse, "To put it back, run: orvexconf -rp <port> -b -restoreBlock %s",
             rescueImage.c_str());
  return true;
}

/// Asks the safeguard, when there is one, to let the write of intended go
/// ahead; false when it refuses.
bool safeguardAllows(const unsigned char *intended, WriteKind kind) {
  return safeguard == nullptr || safeguard->beforeErase(transferBuffer, intended, kind);
}

void tellSafeguard(WriteOutcome outcome) {
  if (safeguard != nullptr)
    safeguard->afterWrite(outcome);
}

void takeBlockAsRead(const unsigned char *block) {
  unfinishedWrite = false;
  if (block != transferBuffer)
    memcpy(transferBuffer, block, FLASH_BLOCK_SIZE);
  memcpy(flashImage, transferBuffer, FLASH_IMAGE_SIZE);
  swapAllTables();
  memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  for (ParamEntry *table : allTables())
    loadTextBuffers(table);
}

} // namespace

FirmwareIdentity firmwareIdentityResult(const char *reply) {
  size_t length = strlen(reply);
  char monitorMajor = at(reply, length, 12);
  char monitorMinor = at(reply, length, 14);
  char firmwareMajor = at(reply, length, 26);
  char firmwareMinor = at(reply, length, 28);

  if (monitorMajor == '1' && monitorMinor <= '7')
    return FirmwareIdentity::Unidentified;
  if (monitorMajor < '1' || monitorMajor > '2')
    return FirmwareIdentity::Unidentified;
  if (length < 24 || strncmp(reply + 19, "ORVEX", 5) != 0)
    return FirmwareIdentity::NotOrvex;
  if ((firmwareMinor > '8' && firmwareMajor > '1') || firmwareMajor > '2')
    return FirmwareIdentity::Newer;
  return FirmwareIdentity::Known;
}

namespace {
// The body of the last identity reply, kept for the run's report.
char lastReply[IDENTITY_LENGTH + 1] = {};
} // namespace

const char *lastIdentityReply() {
  return lastReply;
}

IdentityFields identityFields(const char *reply) {
  IdentityFields fields;
  size_t length = strlen(reply);
  fields.text = reply[0] != '\0' ? reply + 1 : reply;
  auto version = [reply, length](size_t major, size_t minor) {
    if (minor >= length)
      return std::string();
    return std::string(1, reply[major]) + "." + std::string(1, reply[minor]);
  };
  fields.monitorVersion = version(12, 14);
  if (length >= 24) {
    fields.firmwareName.assign(reply + 19, 5);
    while (!fields.firmwareName.empty() && fields.firmwareName.back() == ' ')
      fields.firmwareName.pop_back();
  }
  fields.firmwareVersion = version(26, 28);
  return fields;
}

FirmwareIdentity checkFirmwareIdentity(MonitorLink *link) {
  lastReply[0] = '\0';
  if (link == nullptr)
    return FirmwareIdentity::Unidentified;
  link->discardInput();
  link->sendCommand("V");
  // The monitor needs a moment before it answers.
  ZyUtil::sleepMs(IDENTITY_PAUSE_MS);
  char reply[IDENTITY_LENGTH + 1] = {};
  if (!link->readPacket(reply, IDENTITY_LENGTH, IDENTITY_WAIT_MS))
    return FirmwareIdentity::Unidentified;
  ZyLog::log(ZyLog::Normal, "%s", reply[0] != '\0' ? reply + 1 : reply);
  memcpy(lastReply, reply, sizeof(lastReply));
  return firmwareIdentityResult(reply);
}

bool readFlashParameters(MonitorLink *link) {
  if (link == nullptr) {
    ZyLog::log(ZyLog::Terse, "No controller to read from. Try 'connect'.");
    return false;
  }
  ZyLog::log(ZyLog::Normal, "Reading FLASH parameters from controller.");
  // Only a reply of exactly the block's digits with a matching checksum,
  // confirmed by a second one that agrees, is taken; a failed read leaves
  // the transfer buffer as it was.
  int bytes = 0;
  if (!readBlock(link, transferBuffer, &bytes)) {
    ZyLog::log(ZyLog::Terse, "Could not read FLASH parameters from controller.");
    return false;
  }
  if (allErased(transferBuffer, bytes)) {
    ZyLog::log(ZyLog::Terse,
               "Warning: the controller's FLASH parameter block is erased (every byte reads "
               "0xFF).");
    ZyLog::log(ZyLog::Terse,
               "If a write failed earlier, put its rescue image back with: orvexconf -rp <port> "
               "-b -restoreBlock orvexconf-rescue-<name>-<date-time>.blk");
  }
  takeBlockAsRead(transferBuffer);
  return true;
}

bool writeFlashParameters(MonitorLink *link) {
  if (link == nullptr) {
    ZyLog::log(ZyLog::Terse, "No controller to write to. Try 'connect'.");
    return false;
  }
  ZyLog::log(ZyLog::Verbose, "Writing FLASH parameters to controller.");

  {
    // A terminating signal waits until the transaction is over, so it
    // cannot leave the controller with an erased parameter block.
    ZyCriticalSection section;

    // Kept so that a failed write leaves the image exactly as it was; the
    // text buffers still hold any edits that were not in it yet.
    unsigned char hostImage[FLASH_IMAGE_SIZE];
    memcpy(hostImage, flashImage, FLASH_IMAGE_SIZE);

    swapAllTables();
    for (ParamEntry *table : allTables())
      storeTextBuffers(table);
    // The transfer buffer keeps the block as last read until the write is
    // known to have succeeded.
    unsigned char intended[FLASH_BLOCK_SIZE];
    memcpy(intended, transferBuffer, FLASH_BLOCK_SIZE);
    memcpy(intended, flashImage, FLASH_IMAGE_SIZE);

    if (!safeguardAllows(intended, WriteKind::Parameters)) {
      memcpy(flashImage, hostImage, FLASH_IMAGE_SIZE);
      return false;
    }
    if (!writeBlockVerified(link, intended)) {
      unfinishedWrite = true;
      ZyLog::log(ZyLog::Terse, "Could not write to the controller.");
      memcpy(flashImage, hostImage, FLASH_IMAGE_SIZE);
      ZyLog::log(ZyLog::Terse, "The FLASH parameter block on the controller may now be erased or "
                               "partly written.");
      tellSafeguard(saveRescueImage(intended) ? WriteOutcome::Rescued : WriteOutcome::Failed);
      return false;
    }
    tellSafeguard(WriteOutcome::Verified);
    memcpy(transferBuffer, intended, FLASH_BLOCK_SIZE);
    unfinishedWrite = false;
    swapAllTables();
    memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  }

  ZyLog::log(ZyLog::Normal, "FLASH parameters written to the controller.");
  link->discardInput();
  link->sendCommand("FR");
  return true;
}

BlockCheck checkBlockUnchanged(MonitorLink *link) {
  if (link == nullptr) {
    ZyLog::log(ZyLog::Terse, "No controller to read from. Try 'connect'.");
    return BlockCheck::Unreadable;
  }
  ZyLog::log(ZyLog::Normal,
             "Checking that the controller's FLASH parameter block is the one read.");
  int bytes = 0;
  if (!readBlock(link, verifyBuffer, &bytes)) {
    ZyLog::log(ZyLog::Terse,
               "Could not read the FLASH parameter block before writing it; nothing was written.");
    return BlockCheck::Unreadable;
  }
  int difference = firstDifference(verifyBuffer, transferBuffer, FLASH_BLOCK_SIZE);
  if (difference < 0 || unfinishedWrite)
    return BlockCheck::Unchanged;
  ZyLog::log(ZyLog::Terse,
             "The controller's FLASH parameter block is not the one read (it differs at byte "
             "%d): something else changed it since, so nothing was written.",
             difference);
  return BlockCheck::Changed;
}

bool restoreFlashBlock(MonitorLink *link, const unsigned char *block, int length) {
  if (link == nullptr) {
    ZyLog::log(ZyLog::Terse, "No controller to write to. Try 'connect'.");
    return false;
  }
  if (length != FLASH_BLOCK_SIZE && length != SHORTEST_BLOCK_REPLY)
    return false;
  unsigned char image[FLASH_BLOCK_SIZE];
  memcpy(image, block, static_cast<size_t>(length));
  if (length < FLASH_BLOCK_SIZE)
    image[FLASH_BLOCK_SIZE - 1] = 0xFF;
  {
    ZyCriticalSection section;
    if (!safeguardAllows(image, WriteKind::WholeBlock))
      return false;
    if (!writeBlockVerified(link, image)) {
      ZyLog::log(ZyLog::Terse, "Could not write to the controller.");
      ZyLog::log(ZyLog::Terse, "The FLASH parameter block on the controller may now be erased or "
                               "partly written; the image to write is still there to try again.");
      tellSafeguard(WriteOutcome::Failed);
      return false;
    }
    tellSafeguard(WriteOutcome::Verified);
    takeBlockAsRead(image);
  }
  ZyLog::log(ZyLog::Normal, "FLASH parameters written to the controller.");
  link->discardInput();
  link->sendCommand("FR");
  return true;
}

const unsigned char *flashBlock() {
  return transferBuffer;
}

void applyBlockToImage(const unsigned char *block) {
  memcpy(flashImage, block, FLASH_IMAGE_SIZE);
  swapAllTables();
  for (ParamEntry *table : allTables())
    loadTextBuffers(table);
}

void setFlashImage(const unsigned char *image) {
  memcpy(flashImage, image, FLASH_IMAGE_SIZE);
  for (ParamEntry *table : allTables())
    loadTextBuffers(table);
}

bool loadBlockFile(const char *path, unsigned char *block, int *length) {
  FILE *file = fopen(path, "rb");
  if (file == nullptr) {
    ZyLog::log(ZyLog::Terse, "Cannot open block image '%s' (%s).", path, strerror(errno));
    return false;
  }
  // One byte more than a block, to tell a larger file.
  unsigned char buffer[FLASH_BLOCK_SIZE + 1];
  size_t got = fread(buffer, 1, sizeof buffer, file);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    ZyLog::log(ZyLog::Terse, "Cannot read block image '%s'.", path);
    return false;
  }
  if (got != static_cast<size_t>(FLASH_BLOCK_SIZE) &&
      got != static_cast<size_t>(SHORTEST_BLOCK_REPLY)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not a FLASH parameter block image: it must hold 4096 bytes (or 4095).",
               path);
    return false;
  }
  memcpy(block, buffer, got);
  *length = static_cast<int>(got);
  return true;
}

void setWriteSafeguard(WriteSafeguard *guard) {
  safeguard = guard;
}

const unsigned char *lastBlock() {
  return transferBuffer;
}

const std::string &lastRescueImage() {
  return rescueImage;
}

const std::string &lastRescueParameters() {
  return rescueParameters;
}

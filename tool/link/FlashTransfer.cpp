// Transfer of the FLASH parameter block: the firmware identity check, the
// read of block 7 into the FLASH image and the erase-and-write back.
#include "FlashTransfer.h"

#include "FlashImage.h"
#include "MonitorLink.h"
#include "ParamTables.h"
#include "ZyCriticalSection.h"
#include "ZyLog.h"
#include "ZyUtil.h"

#include <cstring>

namespace {

const int IDENTITY_PAUSE_MS = 1000;
const int IDENTITY_WAIT_MS = 2000;
const int BLOCK_READ_WAIT_MS = 20000;
const int ERASE_REPLY_WAIT_MS = 1000;

// The whole of block 7 as last read from (or written to) the controller.
// Bytes 422 to 4095 go back exactly as they came.
unsigned char transferBuffer[FLASH_BLOCK_SIZE];
char eraseReply[MonitorLink::MAX_REPLY_TEXT + 1];

void swapAllTables() {
  swapWordOrder(robotTable);
  swapWordOrder(armTable);
  swapWordOrder(powerTable);
}

char at(const char *reply, size_t length, size_t position) {
  return position < length ? reply[position] : '\0';
}

} // namespace

int firmwareIdentityResult(const char *reply) {
  size_t length = strlen(reply);
  char monitorMajor = at(reply, length, 12);
  char monitorMinor = at(reply, length, 14);
  char firmwareMajor = at(reply, length, 26);
  char firmwareMinor = at(reply, length, 28);

  if (monitorMajor == '1' && monitorMinor <= '7')
    return -1;
  if (monitorMajor < '1' || monitorMajor > '2')
    return -1;
  if (length < 24 || strncmp(reply + 19, "ORVEX", 5) != 0)
    return 2;
  if ((firmwareMinor > '8' && firmwareMajor > '1') || firmwareMajor > '2')
    return 1;
  return 0;
}

int checkFirmwareIdentity(MonitorLink *link) {
  if (link == nullptr)
    return -1;
  link->sendCommand("V");
  // The monitor needs a moment before it answers.
  ZyUtil::sleepMs(IDENTITY_PAUSE_MS);
  char reply[IDENTITY_LENGTH + 1] = {};
  if (!link->readPacket(reply, IDENTITY_LENGTH, IDENTITY_WAIT_MS))
    return -1;
  ZyLog::log(ZyLog::Normal, "%s", reply[0] != '\0' ? reply + 1 : reply);
  return firmwareIdentityResult(reply);
}

bool readFlashParameters(MonitorLink *link) {
  if (link == nullptr) {
    ZyLog::log(ZyLog::Terse, "No controller to read from. Try 'connect'.");
    return false;
  }
  ZyLog::log(ZyLog::Normal, "Reading FLASH parameters from controller.");
  link->sendCommand("m7000,FFF");
  // The buffer is only decoded into when the reply's checksum was right (or
  // the reply ran past the block), so a failed read leaves it as it was.
  if (!link->readBinaryPacket(transferBuffer, FLASH_BLOCK_SIZE, BLOCK_READ_WAIT_MS)) {
    ZyLog::log(ZyLog::Terse, "Could not read FLASH parameters from controller.");
    return false;
  }
  memcpy(flashImage, transferBuffer, FLASH_IMAGE_SIZE);
  swapAllTables();
  memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  loadTextBuffers(robotTable);
  loadTextBuffers(armTable);
  loadTextBuffers(powerTable);
  return true;
}

bool writeFlashParameters(MonitorLink *link) {
  if (link == nullptr) {
    ZyLog::log(ZyLog::Terse, "No controller to write to. Try 'connect'.");
    return false;
  }
  ZyLog::log(ZyLog::Verbose, "Writing FLASH parameters to controller.");

  {
    // A terminating signal waits until the block is written again, so it
    // cannot leave the controller with an erased parameter block.
    ZyCriticalSection section;

    if (!link->sendCommand("FE7")) {
      ZyLog::log(ZyLog::Terse, "Erase FLASH command didn't work.");
      return false;
    }
    eraseReply[2] = '\0';
    if (!link->readPacket(eraseReply, MonitorLink::MAX_REPLY_TEXT, ERASE_REPLY_WAIT_MS) ||
        eraseReply[2] != '0') {
      ZyLog::log(ZyLog::Terse, "Erase FLASH command not accepted: %s", eraseReply);
      return false;
    }

    // Kept so that a failed write leaves the image exactly as it was; the
    // text buffers still hold any edits that were not in it yet.
    unsigned char hostImage[FLASH_IMAGE_SIZE];
    memcpy(hostImage, flashImage, FLASH_IMAGE_SIZE);

    swapAllTables();
    storeTextBuffers(robotTable);
    storeTextBuffers(armTable);
    storeTextBuffers(powerTable);
    memcpy(transferBuffer, flashImage, FLASH_IMAGE_SIZE);

    if (!link->writeFlash(transferBuffer, FLASH_BLOCK_SIZE, FLASH_BLOCK_ADDRESS)) {
      ZyLog::log(ZyLog::Terse, "Could not write to the controller.");
      memcpy(flashImage, hostImage, FLASH_IMAGE_SIZE);
      return false;
    }
    swapAllTables();
    memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  }

  ZyLog::log(ZyLog::Normal, "FLASH parameters written to the controller.");
  link->sendCommand("FR");
  return true;
}

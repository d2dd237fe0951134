// SPDX-License-Identifier: MIT
// The firmware identity: the reply to "V", its fields and its verdict.
#include "FirmwareIdentity.h"

#include "MonitorLink.h"
#include "ZyLog.h"
#include "ZyUtil.h"

#include <cstring>

namespace {
const int IDENTITY_PAUSE_MS = 1000;
const int IDENTITY_WAIT_MS = 2000;

char at(const char *reply, size_t length, size_t position) {
  return position < length ? reply[position] : '\0';
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

IdentityCheck checkFirmwareIdentity(MonitorLink *link) {
  IdentityCheck check;
  if (link == nullptr)
    return check;
  link->discardInput();
  link->sendCommand("V");
  // The monitor needs a moment before it answers.
  ZyUtil::sleepMs(IDENTITY_PAUSE_MS);
  char reply[IDENTITY_LENGTH + 1] = {};
  if (!link->readPacket(reply, IDENTITY_LENGTH, IDENTITY_WAIT_MS))
    return check;
  ZyLog::log(ZyLog::Normal, "%s", reply[0] != '\0' ? reply + 1 : reply);
  check.answered = true;
  check.reply = identityFields(reply);
  check.identity = firmwareIdentityResult(reply);
  return check;
}

void printCaution(FirmwareIdentity identity) {
  const char *text;
  if (identity == FirmwareIdentity::Unidentified)
    text = "Unidentified, probably old controller stub.\n'q'uit without saving or proceed with "
           "caution.";
  else if (identity == FirmwareIdentity::Newer)
    text = "The firmware is newer than this configuration program.\nYou could lose "
           "parameters.\n'q'uit without saving or proceed with caution.";
  else
    text = "Unidentified, probably very old controller stub version.\n'q'uit without saving or "
           "proceed with caution.";
  ZyLog::log(ZyLog::Normal, "                CAUTION!\n"
                            "========================================================");
  ZyLog::log(ZyLog::Normal, "%s", text);
  ZyLog::log(ZyLog::Normal, "========================================================");
}

const char *firmwareIdentityName(FirmwareIdentity identity) {
  switch (identity) {
  case FirmwareIdentity::Known:
    return "known";
  case FirmwareIdentity::Newer:
    return "newer";
  case FirmwareIdentity::NotOrvex:
    return "not-orvex";
  case FirmwareIdentity::Unidentified:
    break;
  }
  return "unidentified";
}

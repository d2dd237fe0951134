// SPDX-License-Identifier: MIT
// FirmwareIdentity: which firmware the controller runs, from the monitor's
// reply to "V": the reply's fields (the monitor's version, the firmware's
// name and version) and the verdict this utility draws from them, and the
// exchange that asks for it.
#ifndef FIRMWAREIDENTITY_H
#define FIRMWAREIDENTITY_H

#include <string>

class MonitorLink;

/// Longest identity reply to "V".
const int IDENTITY_LENGTH = 40;

/// What the identity reply to "V" says about the controller.
enum class FirmwareIdentity {
  Unidentified, ///< no reply, or an unknown or old monitor
  Known,        ///< ORVEX firmware this utility knows
  Newer,        ///< ORVEX firmware newer than this utility
  NotOrvex      ///< a known monitor running other firmware
};

/// The verdict for an identity reply body; positions past its end count
/// as NUL characters.
FirmwareIdentity firmwareIdentityResult(const char *reply);

/// The verdict's name, as the run report and the library give it: "known",
/// "newer", "not-orvex" or "unidentified".
const char *firmwareIdentityName(FirmwareIdentity identity);

/// What an identity reply body names: the monitor's version, the
/// firmware's name and version, each "" where the reply is too short; text
/// is the reply as the log shows it (without its leading command letter).
struct IdentityFields {
  std::string text;
  std::string monitorVersion;
  std::string firmwareName;
  std::string firmwareVersion;
};
IdentityFields identityFields(const char *reply);

/// What one identity check found.
struct IdentityCheck {
  FirmwareIdentity identity = FirmwareIdentity::Unidentified;
  bool answered = false; ///< a whole reply came
  IdentityFields reply;  ///< its fields, all "" when none came
};

/// Asks the monitor for its identity ("V", a pause, the reply), and logs
/// the reply. Without a link nothing is sent: Unidentified.
IdentityCheck checkFirmwareIdentity(MonitorLink *link);

/// Logs the caution box for a firmware that is not one this utility knows.
void printCaution(FirmwareIdentity identity);

#endif

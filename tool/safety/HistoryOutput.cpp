// SPDX-License-Identifier: MIT
// The history as text lines and as JSON. Texts from outside the tool go
// through escapedText; the JSON keeps them as they are (bytes that are not
// UTF-8 replaced when it is written).
#include "HistoryOutput.h"

#include "BackupStore.h"
#include "ShellText.h"

#include <algorithm>
#include <cstdio>

namespace {
std::string quoted(const std::string &text) {
  return "'" + escapedText(text) + "'";
}

std::string counted(int count, const char *one, const char *many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string blockList(const std::vector<int> &blocks) {
  std::string list;
  for (int block : blocks) {
    char name[16];
    snprintf(name, sizeof name, "0x%x", static_cast<unsigned>(block));
    list += (list.empty() ? "" : ", ") + std::string(name);
  }
  return list;
}

std::string serialShown(const std::string &serial) {
  return serial.empty() ? "(no serial number)" : quoted(serial);
}

/// "Name 'rover7' (before: 'other', 'simbot')", "" without a Name.
std::string namesText(const std::vector<std::string> &names) {
  if (names.empty())
    return "";
  std::string text = "Name " + quoted(names[0]);
  for (size_t i = 1; i < names.size(); i++)
    text += (i == 1 ? " (before: " : ", ") + quoted(names[i]);
  return names.size() > 1 ? text + ")" : text;
}

std::string eventWhat(const HistoryEvent &event, bool withSerial) {
  std::string what;
  if (event.kind == "upload") {
    what = "firmware upload of " + quoted(event.file);
    if (!event.blocks.empty())
      what += " (" + std::string(event.blocks.size() == 1 ? "block " : "blocks ") +
              blockList(event.blocks) + ")";
  } else {
    what = event.kind == "block" ? "block image write" : "parameter write";
  }
  // An erased Name shows as question marks only: left out.
  if (event.name.find_first_not_of('?') != std::string::npos)
    what += " to " + quoted(event.name);
  if (withSerial)
    what += " (SerNum " + serialShown(serialKnown(event.serial) ? event.serial : "") + ")";
  return what;
}

const char *closedBy(const std::string &outcome, bool upload) {
  if (outcome == "found-written")
    return "found written by a later run";
  if (outcome == "found-unchanged")
    return "found unchanged by a later run";
  if (outcome == "superseded")
    return upload ? "closed by a later upload" : "closed by a later write";
  if (outcome == "dismissed")
    return "dismissed by the operator";
  return nullptr;
}

nlohmann::json textOrNull(const std::string &text) {
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

/// 64 lower-case hex digits: a SHA-256 as the tool writes it.
bool isSha256(const std::string &text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

nlohmann::json changesJson(const std::vector<ParamChange> &changes) {
  nlohmann::json list = nlohmann::json::array();
  for (const ParamChange &change : changes)
    list.push_back({{"keyword", change.keyword},
                    {"table", change.table},
                    {"before", change.before},
                    {"after", change.after}});
  return list;
}

nlohmann::json controllerJson(const StoreHistory &history, const ControllerEntry &entry) {
  const HistoryEvent *last = entry.last >= 0 ? &history.events[entry.last] : nullptr;
  return {{"serialNumber", textOrNull(entry.serial)},
          {"names", entry.names},
          {"folders", entry.folders},
          {"writes", entry.writes},
          {"uploads", entry.uploads},
          {"open", entry.open},
          {"backups", entry.backups},
          {"firstTime", textOrNull(entry.firstTime)},
          {"lastTime", textOrNull(entry.lastTime)},
          {"lastPort", textOrNull(entry.lastPort)},
          {"lastOutcome", last != nullptr ? nlohmann::json(outcomeText(*last)) : nullptr}};
}

nlohmann::json eventJson(const HistoryEvent &event) {
  nlohmann::json serials = nlohmann::json::array();
  for (const std::string &serial : event.serials)
    serials.push_back(textOrNull(serial));
  bool upload = event.kind == "upload";
  return {
      {"kind", event.kind},
      {"id", event.id},
      {"time", event.time},
      {"endTime", textOrNull(event.endTime)},
      {"toolVersion", textOrNull(event.version)},
      {"port", event.port},
      {"portPath", textOrNull(event.portPath)},
      {"portById", textOrNull(event.portById)},
      {"robotName", textOrNull(event.name)},
      {"serialNumber", textOrNull(event.serial)},
      {"intendedRobotName", event.intendedKnown ? textOrNull(event.intendedName) : nullptr},
      {"intendedSerialNumber", event.intendedKnown ? textOrNull(event.intendedSerial) : nullptr},
      {"controllers", serials},
      {"open", event.open},
      {"outcome", textOrNull(event.outcome)},
      {"failed", textOrNull(event.failed)},
      {"outcomeText", outcomeText(event)},
      {"exitStatus", event.status >= 0 ? nlohmann::json(event.status) : nullptr},
      {"backupFile", textOrNull(event.backup)},
      {"backupState", textOrNull(event.backupState)},
      {"changesFrom", textOrNull(event.changesFrom)},
      {"changesUnknown", textOrNull(event.changesWhy)},
      {"changes", upload ? nlohmann::json(nullptr) : changesJson(event.changes)},
      {"file", upload ? textOrNull(event.file) : nullptr},
      {"sha256", upload && isSha256(event.sha256) ? nlohmann::json(event.sha256) : nullptr},
      {"blocks", upload ? nlohmann::json(event.blocks) : nullptr},
      {"blocksWritten", event.blocksWritten >= 0 ? nlohmann::json(event.blocksWritten) : nullptr},
      {"journalLine", event.line}};
}
} // namespace

std::string outcomeText(const HistoryEvent &event) {
  bool upload = event.kind == "upload";
  std::string failed;
  if (!event.failed.empty())
    failed = event.failed == "rescued" ? "failed, rescue files saved" : "failed";
  if (event.open)
    return (failed.empty() ? "did not finish" : failed) + ", still open";
  const std::string &outcome = event.outcome;
  if (const char *closing = closedBy(outcome, upload))
    return (failed.empty() ? "did not finish" : failed) + ", then " + closing;
  if (outcome == "verified")
    return "verified";
  if (outcome == "written")
    return "written, not read back";
  if (outcome == "rescued")
    return "failed, rescue files saved";
  if (outcome == "failed" || outcome == "stopped")
    return outcome;
  return outcome.empty() ? "ended" : escapedText(outcome);
}

std::vector<std::string> controllerListLines(const StoreHistory &history) {
  std::vector<std::string> lines;
  for (const std::string &warning : history.warnings)
    lines.push_back(escapedText(warning));
  if (!history.error.empty())
    lines.push_back("The backup store could not be read whole: " + escapedText(history.error) +
                    ".");
  if (history.controllers.empty()) {
    lines.push_back("The backup store " + quoted(history.store) +
                    " knows no controller: it holds no write, upload or backup.");
    return lines;
  }
  lines.push_back(
      counted(static_cast<int>(history.controllers.size()), "controller", "controllers") +
      " in the backup store " + quoted(history.store) + ", the last written first:");
  for (const ControllerEntry &entry : history.controllers) {
    std::string line = serialShown(entry.serial) + ":";
    std::string names = namesText(entry.names);
    std::vector<std::string> parts;
    if (!names.empty())
      parts.push_back(names);
    if (entry.writes + entry.uploads == 0) {
      parts.push_back("no write or upload in the journal");
    } else {
      std::string counts = counted(entry.writes, "write", "writes");
      if (entry.uploads > 0)
        counts += ", " + counted(entry.uploads, "upload", "uploads");
      parts.push_back(counts);
      const HistoryEvent &last = history.events[entry.last];
      parts.push_back("last " + escapedText(last.time) + " on " + quoted(last.port) + ", " +
                      outcomeText(last));
    }
    if (entry.open > 0)
      parts.push_back(std::to_string(entry.open) + " still open");
    if (!entry.folders.empty()) {
      std::string folders;
      for (const std::string &folder : entry.folders)
        folders += (folders.empty() ? "" : ", ") + quoted(folder);
      parts.push_back(counted(entry.backups, "backup", "backups") + " in " + folders);
    }
    for (size_t i = 0; i < parts.size(); i++)
      line += (i == 0 ? " " : "; ") + parts[i];
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> controllerHistoryLines(const StoreHistory &history,
                                                const ControllerHistory &matched) {
  std::vector<std::string> lines;
  for (const std::string &warning : history.warnings)
    lines.push_back(escapedText(warning));
  if (!history.error.empty())
    lines.push_back("The backup store could not be read whole: " + escapedText(history.error) +
                    ".");
  if (matched.serials.empty()) {
    lines.push_back("No controller known to the backup store " + quoted(history.store) +
                    " has the serial number or the name " + quoted(matched.query) + ".");
    return lines;
  }
  std::string heading;
  bool one = matched.serials.size() == 1;
  if (one) {
    const std::string &serial = matched.serials[0];
    std::string names;
    for (const ControllerEntry &entry : history.controllers)
      if (entry.serial == serial)
        names = namesText(entry.names);
    heading = serial.empty() ? "The controllers without a serial number"
                             : "The controller with the serial number " + quoted(serial);
    if (!names.empty())
      heading += ", " + names;
    if (matched.events.empty())
      heading += ": no write or upload is recorded in the journal.";
    else
      heading += serial.empty() ? ": their writes and uploads, the newest first:"
                                : ": its writes and uploads, the newest first:";
  } else {
    std::string serials;
    for (const std::string &serial : matched.serials)
      serials += (serials.empty() ? "" : ", ") + serialShown(serial);
    heading = (matched.byName ? "The name " + quoted(matched.query) + " was had by "
                              : "The folder " + quoted(matched.query) + " holds backups of ") +
              counted(static_cast<int>(matched.serials.size()), "controller", "controllers") +
              ": " + serials +
              (matched.events.empty() ? ". No write or upload of theirs is recorded in the journal."
                                      : ". Their writes and uploads, the newest first:");
  }
  lines.push_back(heading);
  bool withSerial = matched.serials.size() > 1;
  for (size_t index : matched.events) {
    const HistoryEvent &event = history.events[index];
    std::string line = escapedText(event.time) + "  " + eventWhat(event, withSerial) + ": " +
                       outcomeText(event) + "; port " + quoted(event.port);
    if (!event.version.empty())
      line += "; orvexconf " + escapedText(event.version);
    lines.push_back(line);
    if (event.kind == "upload")
      continue;
    std::string backup = "  Backup of the block before it: " + quoted(event.backup);
    if (event.backup.empty())
      backup = "  No backup of the block before it is recorded.";
    else if (event.backupState == "missing")
      backup += " (missing)";
    else if (event.backupState == "altered")
      backup += " (not the one saved: " + escapedText(event.backupWhy) + ")";
    else if (event.backupState == "unchecked")
      backup += " (no SHA-256 recorded to check it by)";
    lines.push_back(backup);
    if (event.changesFrom.empty()) {
      lines.push_back("  What it changed is not known: " + escapedText(event.changesWhy) + ".");
      continue;
    }
    bool done = writeLanded(event);
    if (event.changes.empty()) {
      lines.push_back(done ? "  It changed no parameter." : "  It was to change no parameter.");
      continue;
    }
    std::string count = counted(static_cast<int>(event.changes.size()), "parameter", "parameters");
    lines.push_back(done ? "  Changed " + count + ":" : "  Was to change " + count + ":");
    for (const ParamChange &change : event.changes)
      lines.push_back("    " + escapedText(changeLine(change)));
  }
  return lines;
}

nlohmann::json historyJson(const StoreHistory &history, const ControllerHistory *matched) {
  nlohmann::json controllers = nlohmann::json::array();
  nlohmann::json events = nlohmann::json::array();
  for (const ControllerEntry &entry : history.controllers)
    if (matched == nullptr || std::find(matched->serials.begin(), matched->serials.end(),
                                        entry.serial) != matched->serials.end())
      controllers.push_back(controllerJson(history, entry));
  if (matched != nullptr)
    for (size_t index : matched->events)
      events.push_back(eventJson(history.events[index]));
  return {{"store", history.store},
          {"journal", history.journal},
          {"query", matched != nullptr ? nlohmann::json(matched->query) : nullptr},
          {"error", textOrNull(history.error)},
          {"controllers", controllers},
          {"events", events},
          {"warnings", history.warnings}};
}

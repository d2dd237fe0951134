// SPDX-License-Identifier: MIT
// RunOutcome: the record of a run and the derivation of its exit status.
#include "RunOutcome.h"

#include "FirmwareReader.h"
#include "Zyla.h"

#include <cctype>
#include <cstring>

int exitStatusOf(const RunRecord &record) {
  // A run a signal stopped did not succeed, whatever else happened.
  if (record.run.stopSignal != 0)
    return Zyla::exitStatusForSignal(record.run.stopSignal);
  if (record.run.endedWith != EXIT_OK)
    return record.run.endedWith;
  // A batch run's end: unprocessed arguments before a failed write before a
  // failed save.
  if (record.run.batch && !record.block.refused.empty())
    return EXIT_BAD_ARGUMENTS;
  // A check that found changes (parameters or firmware blocks) tells so by
  // its own status.
  if (record.run.check && record.block.changed)
    return EXIT_WOULD_CHANGE;
  for (const FirmwareRecord &firmware : record.firmware)
    if (record.run.check && !firmware.blocksDiffering.empty())
      return EXIT_WOULD_CHANGE;
  if (record.block.flashWriteFailed)
    return EXIT_FLASH_WRITE;
  return record.files.saveFailed ? EXIT_SAVE_FAILED : EXIT_OK;
}

RunRecord RunOutcome::snapshot() const {
  std::lock_guard<ZyMutex> hold(myMutex);
  return myRecord;
}

void RunOutcome::endWith(ExitStatus status) {
  update([status](RunRecord &record) { record.run.endedWith = status; });
}

namespace {
/// Adds each non-empty line of text, without its trailing white space, to
/// lines while fewer than MAX_MESSAGES are there; *notKept counts the rest.
void addLines(std::vector<std::string> &lines, int *notKept, const char *text) {
  // One entry a line of the text, as the output shows it.
  for (const char *line = text; *line != '\0';) {
    const char *end = strchr(line, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
    const char *next = line + length + (end != nullptr ? 1 : 0);
    while (length > 0 && isspace(static_cast<unsigned char>(line[length - 1])))
      length--;
    if (length > 0) {
      if (lines.size() < MAX_MESSAGES)
        lines.emplace_back(line, length);
      else if (notKept != nullptr)
        (*notKept)++;
    }
    line = next;
  }
}
} // namespace

void addMessage(RunRecord &record, const char *text) {
  addLines(record.log.messages, &record.log.messagesNotKept, text);
}

void addWarning(RunRecord &record, const char *text) {
  addLines(record.log.warnings, nullptr, text);
}

namespace {
/// The outcome the lines of this thread go to, nullptr for the default.
thread_local RunOutcome *threadOutcome = nullptr;
} // namespace

LoggedMessages::LoggedMessages(RunOutcome *outcome) {
  ZyLog::setObserver(&LoggedMessages::observe, outcome);
}

LoggedMessages::Route::Route(RunOutcome &outcome) : myPrevious(threadOutcome) {
  threadOutcome = &outcome;
}

LoggedMessages::Route::~Route() {
  threadOutcome = myPrevious;
}

LoggedMessages::~LoggedMessages() {
  ZyLog::setObserver(nullptr, nullptr);
}

void LoggedMessages::observe(void *context, ZyLog::LogLevel level, const char *line) {
  // Lines logged while the log is silenced are the library's own, which
  // the tool keeps from the operator on purpose (the connection's probes
  // fail on every run), or ones shown once already: not the run's messages.
  // The type is changed under the log lock, which the observer runs under.
  if (ZyLog::getType() == ZyLog::None)
    return;
  bool warning = strncmp(line, "Warning:", 8) == 0 || strncmp(line, "Caution:", 8) == 0;
  if (level != ZyLog::Terse && !warning)
    return;
  RunOutcome *outcome =
      threadOutcome != nullptr ? threadOutcome : static_cast<RunOutcome *>(context);
  if (outcome == nullptr)
    return;
  outcome->update([line, level, warning](RunRecord &record) {
    if (level == ZyLog::Terse)
      addMessage(record, line);
    if (warning)
      addWarning(record, line);
  });
}

const char *firmwareStateName(FirmwareState state) {
  switch (state) {
  case FirmwareState::Written:
    return "written";
  case FirmwareState::Failed:
    return "failed";
  case FirmwareState::Stopped:
    return "stopped";
  case FirmwareState::NotSent:
    return "not-sent";
  case FirmwareState::Checked:
    return "checked";
  case FirmwareState::Unknown:
    break;
  }
  return "";
}

FirmwareRecord downloadRecord(const std::string &file, const FirmwareImage *image,
                              const FirmwareDownload &download, bool sent, bool written) {
  FirmwareRecord firmware;
  firmware.file = file;
  if (image != nullptr) {
    firmware.format = firmwareFormatName(image->format());
    firmware.digest = image->digest();
    firmware.ranges = image->ranges();
  }
  sent = sent && image != nullptr;
  firmware.blocksWritten = download.blocksWritten();
  firmware.written = written && sent;
  firmware.verified = sent && download.verify();
  int touched = sent ? static_cast<int>(image->blocksToWrite().size()) : 0;
  firmware.blocksLeftOld = touched - firmware.blocksWritten;
  if (!sent)
    firmware.state = FirmwareState::NotSent;
  else if (download.stopped() || Zyla::stopRequest() != 0)
    firmware.state = FirmwareState::Stopped;
  else
    firmware.state = written ? FirmwareState::Written : FirmwareState::Failed;
  return firmware;
}

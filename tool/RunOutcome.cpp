// SPDX-License-Identifier: MIT
// RunOutcome: the record of a run and the derivation of its exit status.
#include "RunOutcome.h"

#include "Zyla.h"

#include <cctype>
#include <cstring>

int exitStatusOf(const RunRecord &record) {
  // A run a signal stopped did not succeed, whatever else happened.
  if (record.stopSignal != 0)
    return Zyla::exitStatusForSignal(record.stopSignal);
  if (record.endedWith != EXIT_OK)
    return record.endedWith;
  // A batch run's end: unprocessed arguments before a failed write before a
  // failed save.
  if (record.batch && !record.refused.empty())
    return EXIT_BAD_ARGUMENTS;
  // A check that found changes (parameters or firmware blocks) tells so by
  // its own status.
  if (record.check && record.changed)
    return EXIT_WOULD_CHANGE;
  for (const FirmwareRecord &firmware : record.firmware)
    if (record.check && !firmware.blocksDiffering.empty())
      return EXIT_WOULD_CHANGE;
  if (record.flashWriteFailed)
    return EXIT_FLASH_WRITE;
  return record.saveFailed ? EXIT_SAVE_FAILED : EXIT_OK;
}

RunRecord RunOutcome::snapshot() const {
  std::lock_guard<ZyMutex> hold(myMutex);
  return myRecord;
}

void RunOutcome::endWith(ExitStatus status) {
  update([status](RunRecord &record) { record.endedWith = status; });
}

void addMessage(RunRecord &record, const char *line) {
  size_t length = strlen(line);
  while (length > 0 && isspace(static_cast<unsigned char>(line[length - 1])))
    length--;
  if (length == 0)
    return;
  if (record.messages.size() < MAX_MESSAGES)
    record.messages.emplace_back(line, length);
  else
    record.messagesNotKept++;
}

LoggedMessages::LoggedMessages(RunOutcome &outcome) {
  ZyLog::setObserver(&LoggedMessages::observe, &outcome);
}

LoggedMessages::~LoggedMessages() {
  ZyLog::setObserver(nullptr, nullptr);
}

void LoggedMessages::observe(void *context, ZyLog::LogLevel level, const char *line) {
  // Lines logged while the log is silenced are the library's own, which
  // the tool keeps from the operator on purpose (the connection's probes
  // fail on every run), or ones shown once already: not the run's messages.
  // The type is changed under the log lock, which the observer runs under.
  if (level != ZyLog::Terse || ZyLog::getType() == ZyLog::None)
    return;
  static_cast<RunOutcome *>(context)->update(
      [line](RunRecord &record) { addMessage(record, line); });
}

// SPDX-License-Identifier: MIT
// RunOutcome: the record of a run and the derivation of its exit status.
#include "RunOutcome.h"

#include "Zyla.h"

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

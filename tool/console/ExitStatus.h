// SPDX-License-Identifier: MIT
// ExitStatus: the statuses a run of orvexconf ends with, and the name each
// goes by in the run report, in one table.
#ifndef EXITSTATUS_H
#define EXITSTATUS_H

/// Exit statuses of a run; a run a signal stopped ends with 128 + n.
enum ExitStatus {
  EXIT_OK = 0,
  EXIT_OPTIONS = 1,
  EXIT_NO_CONNECTION = 2,
  EXIT_FLASH_READ = 3,
  EXIT_IMAGE_UPLOAD = 4,
  EXIT_UPLOAD = 5,
  EXIT_WRONG_FIRMWARE = 6,
  EXIT_BAD_ARGUMENTS = 7,
  EXIT_FLASH_WRITE = 8,
  EXIT_SAVE_FAILED = 9,
  /// --check found parameters that a run without it would change.
  EXIT_WOULD_CHANGE = 10
};

/// The name of an exit status in the report ("ok", "no-connection", ...,
/// "signal" for 128 and above, "unknown" for any other).
const char *exitStatusName(int status);

#endif

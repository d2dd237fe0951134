// SPDX-License-Identifier: MIT
// The names of the exit statuses.
#include "ExitStatus.h"

namespace {
struct StatusName {
  ExitStatus status;
  const char *name;
};

/// Every status with its name, in the order of the statuses.
constexpr StatusName STATUS_NAMES[] = {
    {EXIT_OK, "ok"},
    {EXIT_OPTIONS, "options"},
    {EXIT_NO_CONNECTION, "no-connection"},
    {EXIT_FLASH_READ, "flash-read"},
    {EXIT_IMAGE_UPLOAD, "image-upload"},
    {EXIT_UPLOAD, "upload"},
    {EXIT_WRONG_FIRMWARE, "wrong-firmware"},
    {EXIT_BAD_ARGUMENTS, "bad-arguments"},
    {EXIT_FLASH_WRITE, "flash-write"},
    {EXIT_SAVE_FAILED, "save-failed"},
    {EXIT_WOULD_CHANGE, "would-change"},
};
constexpr int STATUS_COUNT = sizeof STATUS_NAMES / sizeof STATUS_NAMES[0];

/// True when every status stands at its own number and the last is the
/// highest: a status added to the enum without its name fails to build.
constexpr bool tableInOrder() {
  for (int i = 0; i < STATUS_COUNT; i++)
    if (static_cast<int>(STATUS_NAMES[i].status) != i)
      return false;
  return true;
}
static_assert(tableInOrder(), "STATUS_NAMES must list each exit status at its own number");
static_assert(STATUS_COUNT == EXIT_WOULD_CHANGE + 1, "every exit status needs its name");
} // namespace

const char *exitStatusName(int status) {
  if (status >= 128)
    return "signal";
  if (status >= 0 && status < STATUS_COUNT)
    return STATUS_NAMES[status].name;
  return "unknown";
}

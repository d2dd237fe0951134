// SPDX-License-Identifier: MIT
// The open line of standard output, ended before a signal's notice.
#include "ScreenLine.h"

#include "Zyla.h"

#include <atomic>
#include <unistd.h>

namespace {
std::atomic<bool> gLineOpen{false};
} // namespace

void setScreenLineOpen(bool open) {
  gLineOpen = open;
}

void endOpenScreenLine() {
  if (gLineOpen.exchange(false) && write(STDOUT_FILENO, "\n", 1) < 0) {
    // Nothing more to do: the notice then shares the line.
  }
}

void endScreenLineBeforeSignalNotices() {
  Zyla::setSignalNoticeHook(&endOpenScreenLine);
}

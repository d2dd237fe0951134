// SPDX-License-Identifier: MIT
// waitFor: a bounded wait on a condition, for tests that wait for another
// thread or process to reach a state.
#ifndef WAITFOR_H
#define WAITFOR_H

#include <chrono>
#include <unistd.h>

/// Polls pred() every msPoll until it holds or msWait passed; true when it
/// held. Safe in a forked child (clock_gettime and usleep only). The poll is
/// coarse on purpose: on a loaded machine the waiting test should not crowd
/// out the threads it waits for, nor wake in step with them.
template <class Pred> bool waitFor(Pred pred, int msWait = 5000, int msPoll = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    usleep(static_cast<useconds_t>(msPoll) * 1000);
  }
  return true;
}

#endif

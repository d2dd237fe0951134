// waitFor: a bounded wait on a condition, for tests that wait for another
// thread or process to reach a state.
#ifndef WAITFOR_H
#define WAITFOR_H

#include <chrono>
#include <unistd.h>

/// Polls pred() every msPoll until it holds or msWait passed; true when it
/// held. Safe in a forked child (clock_gettime and usleep only).
template <class Pred> bool waitFor(Pred pred, int msWait = 5000, int msPoll = 1) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    usleep(static_cast<useconds_t>(msPoll) * 1000);
  }
  return true;
}

#endif

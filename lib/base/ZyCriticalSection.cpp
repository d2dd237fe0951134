// SPDX-License-Identifier: MIT
// Deferral of terminating signals across critical stretches of work. Kept
// lock-free (atomics only) so that a classic signal handler may call it.
#include "ZyCriticalSection.h"

#include <atomic>

namespace {
std::atomic<int> gDepth{0};
std::atomic<int> gPending{0};
std::atomic<void (*)(int)> gAction{nullptr};
} // namespace

void ZyCriticalSection::begin() {
  gDepth.fetch_add(1);
}

void ZyCriticalSection::end() {
  if (gDepth.fetch_sub(1) != 1)
    return;
  int signal = gPending.exchange(0);
  void (*action)(int) = gAction.load();
  if (signal != 0 && action != nullptr)
    action(signal);
}

bool ZyCriticalSection::deferSignal(int signal) {
  if (gDepth.load() <= 0)
    return false;
  int expected = 0;
  bool recorded = gPending.compare_exchange_strong(expected, signal);
  if (gDepth.load() > 0)
    return true;
  // The section closed meanwhile. If our record is still there, no close
  // has seen it: take it back and let the caller act now. If the close took
  // it, the close acts and the caller must not. A signal that found another
  // one pending is acted on by the caller as well, rather than being lost
  // should that other record be taken back by its own caller.
  if (!recorded)
    return false;
  int mine = signal;
  return !gPending.compare_exchange_strong(mine, 0);
}

void ZyCriticalSection::setDeferredAction(void (*action)(int)) {
  gAction.store(action);
}
bool ZyCriticalSection::isActive() {
  return gDepth.load() > 0;
}
int ZyCriticalSection::pendingSignal() {
  return gPending.load();
}

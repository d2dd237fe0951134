// SPDX-License-Identifier: MIT
// ZyCondition: a POSIX condition variable that threads wait on for an
// event, with or without a time limit. It has no memory: a signal given
// while nobody waits is lost, so callers re-check their own state after
// waking and bound their waits with timedWait.
#ifndef ZYCONDITION_H
#define ZYCONDITION_H

#include "ZyMutex.h"

#include <pthread.h>

class ZyCondition {
public:
  enum Status {
    STATUS_FAILED = 1,
    STATUS_FAILED_DESTROY = 2,
    STATUS_FAILED_INIT = 3,
    STATUS_WAIT_TIMEDOUT = 4,
    STATUS_WAIT_INTR = 5,
    STATUS_MUTEX_FAILED_INIT = 6,
    STATUS_MUTEX_FAILED = 7
  };

  ZyCondition();
  virtual ~ZyCondition();

  /// Wakes one waiter; 0 or a status code.
  int signal();
  /// Wakes every waiter; 0 or a status code.
  int broadcast();
  /// Waits until signalled; 0 or a status code.
  int wait();
  /// Waits until signalled or msWait milliseconds have passed (4); a
  /// negative wait counts as 0.
  int timedWait(int msWait);
  /// Text of a status code, or nullptr.
  const char *getError(int messageNumber) const;

  ZyCondition(const ZyCondition &) = delete;
  ZyCondition &operator=(const ZyCondition &) = delete;

private:
  bool myFailedInit = false;
  pthread_cond_t myCond;
  ZyMutex myMutex;
};

#endif

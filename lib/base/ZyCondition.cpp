// SPDX-License-Identifier: MIT
// Condition variable with integer status codes. Waits take an internal
// mutex that is held only inside wait and timedWait, never the caller's.
// Timed waits measure their deadline on the monotonic clock, so a change of
// the wall clock can neither stretch nor cut a bounded wait.
#include "ZyCondition.h"

#include "ZyLog.h"

#include <cerrno>
#include <ctime>
#include <map>
#include <string>

namespace {
const std::map<int, std::string> &errorTexts() {
  static const std::map<int, std::string> texts = {
      {ZyCondition::STATUS_FAILED, "General failure"},
      {ZyCondition::STATUS_FAILED_DESTROY,
       "Another thread is waiting on this condition so it can not be destroyed"},
      {ZyCondition::STATUS_FAILED_INIT,
       "Failed to initialize thread. Requested action is imposesible"},
      {ZyCondition::STATUS_MUTEX_FAILED_INIT, "The underlying mutex failed to init"},
      {ZyCondition::STATUS_MUTEX_FAILED, "The underlying mutex failed in some fashion"}};
  return texts;
}

int mutexStatusToCondition(int mutexStatus) {
  return mutexStatus == ZyMutex::STATUS_FAILED_INIT ? ZyCondition::STATUS_MUTEX_FAILED_INIT
                                                    : ZyCondition::STATUS_MUTEX_FAILED;
}

// Gives the mutex back after a wait that succeeded: 0, or the mutex's
// failure as a condition status.
int releaseAfterWait(ZyMutex::Scope &mutexScope) {
  int ret = mutexScope.release();
  return ret == 0 ? 0 : mutexStatusToCondition(ret);
}
} // namespace

ZyCondition::ZyCondition() {
  pthread_condattr_t attr;
  bool attrOk = pthread_condattr_init(&attr) == 0;
  if (attrOk)
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (pthread_cond_init(&myCond, attrOk ? &attr : nullptr) != 0) {
    ZyLog::log(ZyLog::Terse, "ZyCondition::ZyCondition: Unknown error trying to create the "
                             "condition.");
    myFailedInit = true;
  }
  if (attrOk)
    pthread_condattr_destroy(&attr);
}

ZyCondition::~ZyCondition() {
  if (myFailedInit)
    return;
  int ret = pthread_cond_destroy(&myCond);
  if (ret == EBUSY)
    ZyLog::log(ZyLog::Terse, "ZyCondition::~ZyCondition: Trying to destroy a condition that "
                             "another thread is waiting on.");
  else if (ret != 0)
    ZyLog::log(ZyLog::Terse, "ZyCondition::~ZyCondition: Unknown error while trying to destroy "
                             "the condition.");
}

int ZyCondition::signal() {
  if (myFailedInit) {
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::signal: Initialization of condition failed, failed to signal");
    return STATUS_FAILED_INIT;
  }
  if (pthread_cond_signal(&myCond) != 0) {
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::signal: Unknown error while trying to signal the condition.");
    return STATUS_FAILED;
  }
  return 0;
}

int ZyCondition::broadcast() {
  if (myFailedInit) {
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::broadcast: Initialization of condition failed, failed to broadcast");
    return STATUS_FAILED_INIT;
  }
  if (pthread_cond_broadcast(&myCond) != 0) {
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::broadcast: Unknown error while trying to broadcast the condition.");
    return STATUS_FAILED;
  }
  return 0;
}

int ZyCondition::wait() {
  if (myFailedInit) {
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::wait: Initialization of condition failed, failed to wait");
    return STATUS_FAILED_INIT;
  }
  ZyMutex::Scope mutexScope(myMutex);
  if (!mutexScope.held())
    return mutexStatusToCondition(mutexScope.status());
  int ret = pthread_cond_wait(&myCond, &myMutex.getMutex());
  myMutex.noteRelockedByThisThread();
  if (ret != 0) {
    mutexScope.release();
    if (ret == EINTR)
      return STATUS_WAIT_INTR;
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::wait: Unknown error while trying to wait on the condition.");
    return STATUS_FAILED;
  }
  return releaseAfterWait(mutexScope);
}

int ZyCondition::timedWait(int msWait) {
  if (myFailedInit) {
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::wait: Initialization of condition failed, failed to wait");
    return STATUS_FAILED_INIT;
  }
  if (msWait < 0)
    msWait = 0;
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += msWait / 1000;
  deadline.tv_nsec += static_cast<long>(msWait % 1000) * 1000000L;
  // Both parts were below one second, so one carry keeps tv_nsec < 1e9.
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }

  ZyMutex::Scope mutexScope(myMutex);
  if (!mutexScope.held())
    return mutexStatusToCondition(mutexScope.status());
  int ret = pthread_cond_timedwait(&myCond, &myMutex.getMutex(), &deadline);
  myMutex.noteRelockedByThisThread();
  if (ret != 0) {
    mutexScope.release();
    if (ret == ETIMEDOUT)
      return STATUS_WAIT_TIMEDOUT;
    if (ret == EINTR)
      return STATUS_WAIT_INTR;
    ZyLog::log(ZyLog::Terse,
               "ZyCondition::timedWait: Unknown error while trying to wait on the condition.");
    return STATUS_FAILED;
  }
  return releaseAfterWait(mutexScope);
}

const char *ZyCondition::getError(int messageNumber) const {
  auto it = errorTexts().find(messageNumber);
  return it == errorTexts().end() ? nullptr : it->second.c_str();
}

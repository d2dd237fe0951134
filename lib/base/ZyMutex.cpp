// SPDX-License-Identifier: MIT
// Non-recursive mutex over pthreads. Its own errors are reported through the
// log's lock-free entry so that a failing lock never waits on the log lock.
#include "ZyMutex.h"

#include "ZyLog.h"
#include "ZyThread.h"

#include <cerrno>
#include <unistd.h>

ZyMutex::ZyMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // Error checking gives the "already locked by this thread" and "not owned"
  // answers while keeping the lock non-recursive.
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  if (pthread_mutex_init(&myMutex, &attr) != 0) {
    myFailedInit = true;
    ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::ZyMutex: Failed to initialize mutex");
  }
  pthread_mutexattr_destroy(&attr);
  myStrMap[STATUS_FAILED_INIT] = "Failed to initialize";
  myStrMap[STATUS_FAILED] = "General failure";
  myStrMap[STATUS_ALREADY_LOCKED] = "Mutex already locked";
}

ZyMutex::~ZyMutex() {
  if (myFailedInit)
    return;
  int ret = pthread_mutex_destroy(&myMutex);
  if (ret == EBUSY)
    ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::~ZyMutex: Failed to destroy mutex. A thread is "
                                   "currently blocked waiting for this mutex.");
  else if (ret != 0)
    ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::~ZyMutex: Failed to destroy mutex. Unknown error.");
}

namespace {
// Traces a lock or unlock, naming the calling thread when the thread table
// knows it.
void traceLock(const char *verb, const std::string &logName) {
  ZyThread *self = ZyThread::self();
  if (self != nullptr)
    ZyLog::log(ZyLog::Terse, "%s %s from thread %s %d pid %d", verb, logName.c_str(),
               self->getThreadName(), static_cast<int>(self->getThread()),
               static_cast<int>(getpid()));
  else
    ZyLog::log(ZyLog::Terse, "%s %s probably from pid %d", verb, logName.c_str(),
               static_cast<int>(getpid()));
}
} // namespace

int ZyMutex::lock() {
  if (myLog)
    traceLock("Locking", myLogName);
  if (myFailedInit) {
    ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::lock: Initialization of mutex failed, failed lock");
    return STATUS_FAILED_INIT;
  }
  int ret = isHeldByThisThread() ? EDEADLK : pthread_mutex_lock(&myMutex);
  if (ret == 0) {
    noteRelockedByThisThread();
    return 0;
  }
  if (ret == EDEADLK) {
    ZyLog::logNoLock(
        ZyLog::Terse,
        "ZyMutex::lock: Trying to lock a mutex which is already locked by this thread");
    return STATUS_ALREADY_LOCKED;
  }
  ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::lock: Failed to lock due to an unknown error");
  return STATUS_FAILED;
}

int ZyMutex::tryLock() {
  if (myFailedInit) {
    ZyLog::logNoLock(ZyLog::Terse,
                     "ZyMutex::tryLock: Initialization of mutex failed, failed trylock");
    return STATUS_FAILED_INIT;
  }
  int ret = isHeldByThisThread() ? EBUSY : pthread_mutex_trylock(&myMutex);
  if (ret == 0) {
    noteRelockedByThisThread();
    return 0;
  }
  if (ret == EBUSY) {
    ZyLog::logNoLock(ZyLog::Terse,
                     "ZyMutex::tryLock: Could not lock mutex because it is already locked");
    return STATUS_ALREADY_LOCKED;
  }
  ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::trylock: Failed to trylock due to an unknown error");
  return STATUS_FAILED;
}

int ZyMutex::unlock() {
  if (myLog)
    traceLock("Unlocking", myLogName);
  if (myFailedInit) {
    ZyLog::logNoLock(ZyLog::Terse,
                     "ZyMutex::unlock: Initialization of mutex failed, failed unlock");
    return STATUS_FAILED_INIT;
  }
  int ret = EPERM;
  if (isHeldByThisThread()) {
    myHeld = false;
    ret = pthread_mutex_unlock(&myMutex);
    if (ret != 0)
      myHeld = true;
  }
  if (ret == 0)
    return 0;
  if (ret == EPERM) {
    ZyLog::logNoLock(ZyLog::Terse,
                     "ZyMutex::unlock: Trying to unlock a mutex which this thread does not own");
    return STATUS_ALREADY_LOCKED;
  }
  ZyLog::logNoLock(ZyLog::Terse, "ZyMutex::unlock: Failed to unlock due to an unknown error");
  return STATUS_FAILED;
}

const char *ZyMutex::getError(int messageNumber) const {
  auto it = myStrMap.find(messageNumber);
  return it == myStrMap.end() ? nullptr : it->second.c_str();
}

bool ZyMutex::isHeldByThisThread() const {
  return myHeld && pthread_equal(myOwner.load(), pthread_self());
}

void ZyMutex::noteRelockedByThisThread() {
  myOwner = pthread_self();
  myHeld = true;
}

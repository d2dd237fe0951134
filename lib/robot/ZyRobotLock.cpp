// SPDX-License-Identifier: MIT
// The robot's owner-aware mutex and its block scope.
#include "ZyRobotLock.h"

ZyRobotLock::ZyRobotLock(const char *logName) {
  myMutex.setLogName(logName);
}

int ZyRobotLock::lock() {
  return myMutex.lock();
}

int ZyRobotLock::tryLock() {
  return myMutex.tryLock();
}

int ZyRobotLock::unlock() {
  return myMutex.unlock();
}

bool ZyRobotLock::isHeldByMe() const {
  return myMutex.isHeldByThisThread();
}

ZyRobotLock::Scope::Scope(ZyRobotLock &lock)
    : myLock(lock), myTook(!lock.isHeldByMe() && lock.lock() == 0) {}

ZyRobotLock::Scope::~Scope() {
  if (myTook)
    myLock.unlock();
}

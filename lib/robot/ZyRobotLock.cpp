// The robot's owner-aware mutex and its block scope.
#include "ZyRobotLock.h"

ZyRobotLock::ZyRobotLock(const char *logName) {
  myMutex.setLogName(logName);
}

int ZyRobotLock::lock() {
  int ret = myMutex.lock();
  if (ret == 0) {
    myOwner = pthread_self();
    myHeld = true;
  }
  return ret;
}

int ZyRobotLock::tryLock() {
  int ret = myMutex.tryLock();
  if (ret == 0) {
    myOwner = pthread_self();
    myHeld = true;
  }
  return ret;
}

int ZyRobotLock::unlock() {
  if (isHeldByMe())
    myHeld = false;
  return myMutex.unlock();
}

bool ZyRobotLock::isHeldByMe() const {
  return myHeld && pthread_equal(myOwner.load(), pthread_self());
}

ZyRobotLock::Scope::Scope(ZyRobotLock &lock)
    : myLock(lock), myTook(!lock.isHeldByMe() && lock.lock() == 0) {}

ZyRobotLock::Scope::~Scope() {
  if (myTook)
    myLock.unlock();
}

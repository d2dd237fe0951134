// SPDX-License-Identifier: MIT
// ZyRobotLock: a mutex of the robot that the robot's own operations take
// whether or not their caller already holds it. Which thread holds it is
// the mutex's own record. Scope takes it for the life of a block (unless
// the calling thread holds it already) and gives it back on every way out.
#ifndef ZYROBOTLOCK_H
#define ZYROBOTLOCK_H

#include "ZyMutex.h"

class ZyRobotLock {
public:
  explicit ZyRobotLock(const char *logName);

  /// 0 on success, else a ZyMutex status code.
  int lock();
  int tryLock();
  int unlock();
  /// True when the calling thread holds the lock.
  bool isHeldByMe() const;

  /// Holds the lock from construction to destruction; a thread that holds
  /// it already goes on under its own hold, which the scope leaves alone.
  class Scope {
  public:
    explicit Scope(ZyRobotLock &lock);
    ~Scope();
    /// True when this scope took the lock (and gives it back).
    bool tookIt() const { return myTook; }

    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

  private:
    ZyRobotLock &myLock;
    bool myTook;
  };

  ZyRobotLock(const ZyRobotLock &) = delete;
  ZyRobotLock &operator=(const ZyRobotLock &) = delete;

private:
  ZyMutex myMutex;
};

#endif

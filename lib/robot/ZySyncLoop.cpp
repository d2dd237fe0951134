// SPDX-License-Identifier: MIT
// The robot cycle's thread: the loop of cycles with its timing warnings, and
// the claiming, starting and reaping of its runs.
#include "ZySyncLoop.h"

#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyTime.h"
#include "ZyUtil.h"

ZySyncLoop::ZySyncLoop() {
  setThreadName("ZySyncLoop");
}

// The robot stops and reaps the loop before it goes away.
ZySyncLoop::~ZySyncLoop() = default;

bool ZySyncLoop::claimRun() {
  bool expected = false;
  return myInRun.compare_exchange_strong(expected, true);
}

int ZySyncLoop::startAsync() {
  reapThread();
  myHaveAsyncThread = true;
  int ret = create(true, true);
  if (ret != 0) {
    myHaveAsyncThread = false;
    myInRun = false;
  }
  return ret;
}

void ZySyncLoop::runHere() {
  reapThread();
  runInThisThread();
}

bool ZySyncLoop::isLoopThread() const {
  return myInRun && myLoopThreadKnown && pthread_equal(myLoopThread.load(), pthread_self());
}

void ZySyncLoop::reapThread() {
  if (!myHaveAsyncThread)
    return;
  myHaveAsyncThread = false;
  if (pthread_equal(getThread(), pthread_self())) {
    // Asked from the ended run's own thread (a run-exit callback): it cannot
    // wait for itself, so the system reclaims it when it ends.
    detach();
    return;
  }
  ZyMutex::Scope stateScope(myStateMutex);
  bool joinable = myStarted && myJoinable && !myJoined && !myJoining;
  stateScope.release();
  if (joinable)
    join();
}

void ZySyncLoop::endRun(bool callCallbacks) {
  if (myRobot != nullptr)
    myRobot->runExiting();
  setRunning(false);
  myLoopThreadKnown = false;
  myInRun = false;
  if (myRobot != nullptr)
    myRobot->runExited(callCallbacks);
}

void *ZySyncLoop::runThread(void *) {
  myLoopThread = pthread_self();
  myLoopThreadKnown = true;
  threadStarted();
  if (myRobot == nullptr) {
    ZyLog::log(ZyLog::Terse,
               "ZySyncLoop::runThread: Trying to run the synchronous loop without a robot.");
    endRun(false);
    return nullptr;
  }
  if (myRobot->getSyncTaskRoot() == nullptr) {
    ZyLog::log(ZyLog::Terse,
               "ZySyncLoop::runThread: Can not run the synchronous loop without a task tree");
    endRun(false);
    return nullptr;
  }

  bool first = true;
  bool warned = false;
  ZyTime loopEnd;
  ZyTime wakeUp;
  while (getRunningWithLock()) {
    unsigned int warningTime;
    long took;
    {
      ZyRobotLock::Scope robotScope(myRobot->myLock);
      unsigned int cycleTime = myRobot->getCycleTime();
      warningTime = myRobot->getCycleWarningTime();
      took = loopEnd.msSince();
      if (!first && !warned && !myRobot->getNoTimeWarningThisCycle() && warningTime != 0 &&
          took > static_cast<long>(warningTime)) {
        ZyLog::log(ZyLog::Normal,
                   "Warning: ZyRobot cycle took too long because the loop was waiting for lock.");
        ZyLog::log(ZyLog::Normal, "\tThe cycle took %u ms, (%u ms normal %u ms warning)",
                   static_cast<unsigned int>(took), cycleTime, warningTime);
      }
      myRobot->setNoTimeWarningThisCycle(false);
      first = false;
      warned = false;
      loopEnd.setToNow();
      wakeUp.setToNow();
      wakeUp.addMsec(cycleTime);
      myRobot->incCounter();
    }

    myRobot->runTaskTree();

    if (myStopRunIfNotConnected && !myRobot->isConnected()) {
      if (getRunningWithLock())
        ZyLog::log(ZyLog::Normal, "Exiting robot run because of lost connection.");
      break;
    }

    long sleepTime = wakeUp.msTo();
    if (myRobot->isCycleChained() && myRobot->isConnected())
      sleepTime = 0;

    warningTime = myRobot->getCycleWarningTime();
    took = loopEnd.msSince();
    if (!myRobot->getNoTimeWarningThisCycle() && warningTime != 0 &&
        took > static_cast<long>(warningTime)) {
      ZyLog::log(ZyLog::Normal,
                 "Warning: ZyRobot sync tasks too long at %u ms, (%u ms normal %u ms warning)",
                 static_cast<unsigned int>(took), myRobot->getCycleTime(), warningTime);
      warned = true;
    }
    if (sleepTime > 0)
      ZyUtil::sleepMs(static_cast<unsigned int>(sleepTime));
  }
  endRun(true);
  return nullptr;
}

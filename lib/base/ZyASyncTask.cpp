// SPDX-License-Identifier: MIT
// Asynchronous tasks: a ZyThread whose callback is the task's own runThread.
#include "ZyASyncTask.h"

#include "ZyLog.h"

#include <cstdint>

ZyASyncTask::ZyASyncTask() : myFunc(this, &ZyASyncTask::runThread, nullptr) {}

ZyASyncTask::~ZyASyncTask() = default;

int ZyASyncTask::create(bool joinable, bool /*lowerPriority*/) {
  return ZyThread::create(&myFunc, joinable);
}

void *ZyASyncTask::runInThisThread(void *arg) {
  setRunning(true);
  myJoinable = true;
  myThread = pthread_self();
  myStarted = true;
  myJoined = false;
  if (myName.empty())
    ZyLog::log(getLogLevel(), "Running anonymous thread with ID %d", static_cast<int>(myThread));
  else
    ZyLog::log(getLogLevel(), "Running %s thread with ID %d", myName.c_str(),
               static_cast<int>(myThread));
  ZyThread *previous = enterInTable();
  void *ret = runThread(arg);
  restoreInTable(previous);
  return ret;
}

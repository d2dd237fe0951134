// SPDX-License-Identifier: MIT
// ZyASyncTask: a thread whose work is its own virtual runThread. It runs
// either in a new thread (runAsync, create) or in the calling thread (run).
// A task running in its own thread must be stopped and joined (or have
// ended) before the derived object is destroyed, since the thread calls the
// derived runThread.
#ifndef ZYASYNCTASK_H
#define ZYASYNCTASK_H

#include "ZyFunctor.h"
#include "ZyThread.h"

class ZyASyncTask : public ZyThread {
public:
  ZyASyncTask();
  ~ZyASyncTask() override;

  /// The work. Implementations loop while getRunningWithLock() is true and
  /// return when it turns false; the result becomes the thread's result.
  virtual void *runThread(void *arg) = 0;
  /// Runs the work in the calling thread.
  virtual void run() { runInThisThread(); }
  /// Starts the work in a new joinable thread.
  virtual void runAsync() { create(true, true); }
  using ZyThread::create;
  /// Starts a new thread running runThread; lowerPriority has no effect.
  virtual int create(bool joinable = true, bool lowerPriority = true);
  /// Makes the calling thread the task's thread and runs the work in it.
  virtual void *runInThisThread(void *arg = nullptr);

private:
  ZyRetFunctor1C<void *, ZyASyncTask, void *> myFunc;
};

#endif

// SPDX-License-Identifier: MIT
// Threads over pthreads, and the process-wide thread table. The table and
// its lock live for the whole process (they are never destroyed), so that a
// thread still running while the process exits can consult them safely.
#include "ZyThread.h"

#include "ZyFunctor.h"
#include "ZySignalHandler.h"

#include <cerrno>
#include <csignal>
#include <sched.h>
#include <unistd.h>
#include <vector>

namespace {
struct ThreadTable {
  ZyMutex lock; // tracing stays off: ZyMutex tracing itself consults the table
  std::map<pthread_t, ZyThread *> threads;
  ZyThread *mainThread = nullptr;
};

ThreadTable &table() {
  static ThreadTable &t = *new ThreadTable;
  return t;
}

std::atomic<int> gThreadLogLevel{ZyLog::Verbose};

ZyLog::LogLevel threadLogLevel() {
  return static_cast<ZyLog::LogLevel>(gThreadLogLevel.load());
}

// Thread identifiers are shown as integers in log lines.
int idForLog(pthread_t thread) {
  return static_cast<int>(thread);
}
} // namespace

ZyThread::ZyThread(bool blockAllSignals) : myBlockAllSignals(blockAllSignals) {
  myStateMutex.setLogName("ZyThread::myStateMutex");
}

ZyThread::ZyThread(pthread_t thread, bool joinable, bool blockAllSignals)
    : myJoinable(joinable), myBlockAllSignals(blockAllSignals), myStarted(true), myThread(thread) {
  myStateMutex.setLogName("ZyThread::myStateMutex");
}

ZyThread::ZyThread(ZyFunctor *func, bool joinable, bool blockAllSignals)
    : myBlockAllSignals(blockAllSignals) {
  myStateMutex.setLogName("ZyThread::myStateMutex");
  create(func, joinable);
}

ZyThread::~ZyThread() {
  removeFromTable();
}

void ZyThread::addToTableLocked() {
  table().threads[myThread] = this;
}

void ZyThread::removeFromTable() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  if (myStarted) {
    auto it = t.threads.find(myThread);
    if (it != t.threads.end() && it->second == this)
      t.threads.erase(it);
  }
}

ZyThread *ZyThread::enterInTable() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  ZyThread *&entry = t.threads[myThread];
  ZyThread *previous = entry;
  entry = this;
  return previous;
}

void ZyThread::restoreInTable(ZyThread *previous) {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  auto it = t.threads.find(myThread);
  if (it != t.threads.end() && it->second == this) {
    if (previous != nullptr)
      it->second = previous;
    else
      t.threads.erase(it);
  }
}

int ZyThread::create(ZyFunctor *func, bool joinable) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
  myJoinable = joinable;
  myJoining = false;
  myJoined = false;
  myFunc = func;
  setRunning(true);

  // The new thread inherits the creator's mask; give it the common signals
  // blocked from its first instruction, and leave the creator's own mask as
  // it was.
  sigset_t savedMask;
  bool restoreMask = false;
  if (myBlockAllSignals && pthread_sigmask(SIG_SETMASK, nullptr, &savedMask) == 0) {
    ZySignalHandler::blockCommonThisThread();
    restoreMask = true;
  }

  // The table lock is held until the new thread is entered, so the thread
  // finds itself through self() from its first instruction.
  ThreadTable &t = table();
  int ret;
  {
    ZyMutex::Scope tableScope(t.lock);
    // An object started again forgets its earlier thread's entry, so the
    // table never keeps a second entry pointing at it.
    if (myStarted) {
      auto old = t.threads.find(myThread);
      if (old != t.threads.end() && old->second == this)
        t.threads.erase(old);
    }
    ret = pthread_create(&myThread, &attr, &ZyThread::runEntry, this);
    if (ret == 0) {
      myStarted = true;
      addToTableLocked();
    }
  }

  if (restoreMask)
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  pthread_attr_destroy(&attr);

  if (ret != 0) {
    myStarted = false;
    setRunning(false);
    if (ret == EAGAIN) {
      ZyLog::log(ZyLog::Terse, "ZyThread::create: Error in create, not enough system resources "
                               "in pthread_create()");
      return STATUS_NORESOURCE;
    }
    ZyLog::log(ZyLog::Terse, "ZyThread::create: Unknown error in create.");
    return STATUS_FAILED;
  }
  if (myName.empty())
    ZyLog::log(threadLogLevel(), "Created anonymous thread with ID %d", idForLog(myThread));
  else
    ZyLog::log(threadLogLevel(), "Created %s thread with ID %d", myName.c_str(),
               idForLog(myThread));
  return 0;
}

void *ZyThread::runEntry(void *arg) {
  ZyThread *thread = static_cast<ZyThread *>(arg);
  if (thread->myBlockAllSignals)
    ZySignalHandler::blockCommonThisThread();
  ZyFunctor *func = thread->myFunc;
  if (func == nullptr)
    return nullptr;
  // A callback with an untyped pointer result gives the thread's result.
  if (auto *retFunc = dynamic_cast<ZyRetFunctor<void *> *>(func))
    return retFunc->invokeR();
  func->invoke();
  return nullptr;
}

void ZyThread::stopRunning() {
  setRunning(false);
}

void ZyThread::setRunning(bool running) {
  ZyMutex::Scope stateScope(myStateMutex);
  myRunning.store(running);
}

bool ZyThread::getRunningWithLock() {
  ZyMutex::Scope stateScope(myStateMutex);
  return myRunning.load();
}

int ZyThread::doJoin(void **ret) {
  pthread_t thread;
  {
    ZyMutex::Scope stateScope(myStateMutex);
    if (!myStarted || myJoined) {
      stateScope.release();
      ZyLog::log(ZyLog::Terse, "ZyThread::join: Error in join: No such thread found");
      return STATUS_NO_SUCH_THREAD;
    }
    if (pthread_equal(myThread, pthread_self())) {
      stateScope.release();
      ZyLog::log(ZyLog::Terse, "ZyThread::join: Error in join: Trying to join on self");
      return STATUS_JOIN_SELF;
    }
    // Joining a detached thread, or one that another thread already joins,
    // is undefined for pthreads: refuse it here.
    if (!myJoinable || myJoining) {
      stateScope.release();
      ZyLog::log(ZyLog::Terse,
                 "ZyThread::join: Error in join: Thread is detached or another thread is waiting");
      return STATUS_INVALID;
    }
    myJoining = true;
    thread = myThread;
  }

  int err = pthread_join(thread, ret);

  {
    ZyMutex::Scope stateScope(myStateMutex);
    myJoining = false;
    if (err == 0 || err == ESRCH) {
      myJoined = true;
      myJoinable = false;
    }
  }
  switch (err) {
  case 0:
    return 0;
  case ESRCH:
    ZyLog::log(ZyLog::Terse, "ZyThread::join: Error in join: No such thread found");
    return STATUS_NO_SUCH_THREAD;
  case EINVAL:
    ZyLog::log(ZyLog::Terse,
               "ZyThread::join: Error in join: Thread is detached or another thread is waiting");
    return STATUS_INVALID;
  case EDEADLK:
    ZyLog::log(ZyLog::Terse, "ZyThread::join: Error in join: Trying to join on self");
    return STATUS_JOIN_SELF;
  default:
    ZyLog::log(ZyLog::Terse, "ZyThread::join: Error in join: Unknown error");
    return STATUS_FAILED;
  }
}

int ZyThread::join(void **ret) {
  int err = doJoin(ret);
  if (err == 0)
    removeFromTable();
  return err;
}

int ZyThread::detach() {
  ZyMutex::Scope stateScope(myStateMutex);
  if (!myStarted || myJoined) {
    stateScope.release();
    ZyLog::log(ZyLog::Terse, "ZyThread::detach: Error in detach: No such thread found");
    return STATUS_NO_SUCH_THREAD;
  }
  if (!myJoinable || myJoining) {
    stateScope.release();
    ZyLog::log(ZyLog::Terse, "ZyThread::detach: Error in detach: ZyThread is already detached");
    return STATUS_ALREADYDETACHED;
  }
  int err = pthread_detach(myThread);
  if (err == 0)
    myJoinable = false;
  stateScope.release();
  if (err == ESRCH) {
    ZyLog::log(ZyLog::Terse, "ZyThread::detach: Error in detach: No such thread found");
    return STATUS_NO_SUCH_THREAD;
  }
  if (err == EINVAL) {
    ZyLog::log(ZyLog::Terse, "ZyThread::detach: Error in detach: ZyThread is already detached");
    return STATUS_ALREADYDETACHED;
  }
  return err == 0 ? 0 : STATUS_FAILED;
}

int ZyThread::cancel() {
  removeFromTable();
  if (!myStarted || myJoined) {
    ZyLog::log(ZyLog::Terse, "ZyThread::cancel: Error in cancel: No such thread found");
    return STATUS_NO_SUCH_THREAD;
  }
  int err = pthread_cancel(myThread);
  if (err == ESRCH) {
    ZyLog::log(ZyLog::Terse, "ZyThread::cancel: Error in cancel: No such thread found");
    return STATUS_NO_SUCH_THREAD;
  }
  return err == 0 ? 0 : STATUS_FAILED;
}

void ZyThread::threadStarted() {
  myPID = getpid();
  logThreadInfo();
}

void ZyThread::logThreadInfo() {
  if (myName.empty())
    ZyLog::log(threadLogLevel(), "Anonymous thread (%d) is running with pid %d", idForLog(myThread),
               static_cast<int>(myPID));
  else
    ZyLog::log(threadLogLevel(), "Thread %s (%d) is running with pid %d", myName.c_str(),
               idForLog(myThread), static_cast<int>(myPID));
}

void ZyThread::init() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  if (t.threads.empty()) {
    if (t.mainThread == nullptr)
      t.mainThread = new ZyThread(pthread_self(), true, true);
    t.mainThread->myThread = pthread_self();
    t.mainThread->myStarted = true;
    t.mainThread->myJoinable = true;
    t.mainThread->myJoined = false;
    t.mainThread->myRunning.store(true);
    t.mainThread->addToTableLocked();
  }
}

ZyThread *ZyThread::self() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  auto it = t.threads.find(pthread_self());
  return it == t.threads.end() ? nullptr : it->second;
}

void ZyThread::stopAll() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  for (auto &entry : t.threads)
    entry.second->stopRunning();
}

void ZyThread::joinAll() {
  ThreadTable &t = table();
  std::vector<ZyThread *> toJoin;
  {
    ZyMutex::Scope tableScope(t.lock);
    auto selfIt = t.threads.find(pthread_self());
    if (selfIt != t.threads.end()) {
      for (auto &entry : t.threads)
        if (entry.second != selfIt->second && !pthread_equal(entry.first, pthread_self()) &&
            entry.second->getJoinable())
          toJoin.push_back(entry.second);
    }
    t.threads.clear();
  }
  // Joined outside the table lock, so that a thread winding down may still
  // look itself up or create a thread without waiting on the joiner.
  for (ZyThread *thread : toJoin)
    thread->doJoin();
}

void ZyThread::cancelAll() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  for (auto &entry : t.threads) {
    if (pthread_equal(entry.first, pthread_self()))
      continue; // cancelling the caller would end the thread doing the cleanup
    if (!entry.second->myJoined)
      pthread_cancel(entry.first);
  }
  t.threads.clear();
}

void ZyThread::yieldProcessor() {
  sched_yield();
}

ZyLog::LogLevel ZyThread::getLogLevel() {
  return threadLogLevel();
}

void ZyThread::setLogLevel(ZyLog::LogLevel level) {
  gThreadLogLevel.store(level);
}

size_t ZyThread::numThreads() {
  ThreadTable &t = table();
  ZyMutex::Scope tableScope(t.lock);
  return t.threads.size();
}

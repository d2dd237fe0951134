// SPDX-License-Identifier: MIT
// ZyThread: one POSIX thread of execution that runs a callback object, and
// the process-wide table of every thread the library knows, which start-up
// and shut-down walk. Results are integer status codes; nothing is thrown.
#ifndef ZYTHREAD_H
#define ZYTHREAD_H

#include "ZyLog.h"
#include "ZyMutex.h"

#include <atomic>
#include <map>
#include <pthread.h>
#include <string>
#include <sys/types.h>

class ZyFunctor;

class ZyThread {
public:
  enum Status {
    STATUS_FAILED = 1,
    STATUS_NORESOURCE = 2,
    STATUS_NO_SUCH_THREAD = 3,
    STATUS_INVALID = 4,
    STATUS_JOIN_SELF = 5,
    STATUS_ALREADYDETACHED = 6
  };

  /// A thread object that does not run yet.
  explicit ZyThread(bool blockAllSignals = true);
  /// Wraps a thread that already runs (such as the main thread).
  ZyThread(pthread_t thread, bool joinable, bool blockAllSignals = true);
  /// Creates the thread at once, running func.
  ZyThread(ZyFunctor *func, bool joinable = true, bool blockAllSignals = true);
  /// Removes the object from the thread table. The thread itself must have
  /// ended or be detached: the object does not wait for it.
  virtual ~ZyThread();

  /// Starts a thread running func; 0 or a status code.
  virtual int create(ZyFunctor *func, bool joinable = true);
  /// Asks the thread's loop to end (clears running).
  virtual void stopRunning();
  /// Waits for the thread to end, storing its result in *ret when given;
  /// removes it from the thread table on success.
  virtual int join(void **ret = nullptr);
  virtual int detach();
  /// Removes the thread from the table and cancels it.
  virtual int cancel();

  virtual bool getRunning() const { return myRunning.load(); }
  virtual bool getRunningWithLock();
  virtual bool getJoinable() const { return myJoinable; }
  virtual pthread_t getThread() const { return myThread; }
  virtual ZyFunctor *getFunc() const { return myFunc; }
  virtual void setRunning(bool running);
  virtual const char *getThreadName() { return myName.c_str(); }
  virtual void setThreadName(const char *name) { myName = name != nullptr ? name : ""; }
  /// Records the pid and logs that the thread runs.
  virtual void threadStarted();
  /// Logs the same as threadStarted without recording anything.
  virtual void logThreadInfo();
  pid_t getPID() const { return myPID; }

  /// Registers the calling (main) thread in the table when it is empty.
  static void init();
  /// The ZyThread of the calling thread, or nullptr.
  static ZyThread *self();
  static void stopAll();
  /// Joins every joinable thread other than the caller (only when the
  /// caller is itself in the table), then empties the table.
  static void joinAll();
  /// Cancels every thread other than the caller, then empties the table.
  static void cancelAll();
  static void yieldProcessor();
  static ZyLog::LogLevel getLogLevel();
  static void setLogLevel(ZyLog::LogLevel level);
  /// Number of threads in the table.
  static size_t numThreads();

  ZyThread(const ZyThread &) = delete;
  ZyThread &operator=(const ZyThread &) = delete;

protected:
  /// The plain join used by join and joinAll (takes no table lock).
  virtual int doJoin(void **ret = nullptr);
  /// Enters this object under its thread identifier; the table lock must
  /// be held.
  void addToTableLocked();
  /// Removes this object's entry when it is still this object's.
  void removeFromTable();
  /// Enters this object under its thread identifier and returns the entry
  /// it replaced (or nullptr); restoreInTable puts that entry back.
  ZyThread *enterInTable();
  void restoreInTable(ZyThread *previous);
  /// Start routine of every created thread: sets the signal mask and runs
  /// the callback.
  static void *runEntry(void *arg);

  std::string myName;
  ZyMutex myStateMutex;
  std::atomic<bool> myRunning{false};
  bool myJoinable = false;
  bool myBlockAllSignals = true;
  /// myThread names a thread (created or wrapped).
  bool myStarted = false;
  /// A join has begun (guarded by the state lock), so a second join or a
  /// detach is refused instead of reaching the system twice.
  bool myJoining = false;
  bool myJoined = false;
  ZyFunctor *myFunc = nullptr;
  pthread_t myThread{};
  pid_t myPID = 0;
};

#endif

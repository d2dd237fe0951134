// SPDX-License-Identifier: MIT
// ZyMutex: a non-recursive POSIX mutex with integer status codes, optional
// tracing and a record of the thread that holds it; used by every shared
// object of the library. ZyMutex::Scope holds it for the life of a block.
#ifndef ZYMUTEX_H
#define ZYMUTEX_H

#include <atomic>
#include <map>
#include <pthread.h>
#include <string>

class ZyMutex {
public:
  enum Status { STATUS_FAILED_INIT = 1, STATUS_FAILED = 2, STATUS_ALREADY_LOCKED = 3 };

  ZyMutex();
  virtual ~ZyMutex();
  /// 0 on success, else a status code.
  virtual int lock();
  virtual int tryLock();
  virtual int unlock();
  /// Text of a status code, or nullptr.
  virtual const char *getError(int messageNumber) const;
  virtual pthread_mutex_t &getMutex() { return myMutex; }

  void setLog(bool log) { myLog = log; }
  /// True when the calling thread holds the mutex.
  bool isHeldByThisThread() const;
  /// For a condition wait, which gives the mutex up and takes it again
  /// inside pthread: the calling thread holds it again.
  void noteRelockedByThisThread();
  void setLogName(const char *logName) { myLogName = logName != nullptr ? logName : ""; }

  /// Takes the mutex on construction (when take is true) and gives it back
  /// on every way out of the block, unless released earlier. A lock that fails (the calling
  /// thread holds it already, or the mutex is broken) is held by nobody:
  /// held() is false and the destructor gives nothing back.
  class Scope {
  public:
    explicit Scope(ZyMutex &mutex, bool take = true)
        : myMutex(mutex), myStatus(take ? mutex.lock() : 0), myHeld(take && myStatus == 0) {}
    ~Scope() { release(); }
    bool held() const { return myHeld; }
    /// 0 when the lock was taken, else its ZyMutex status code.
    int status() const { return myStatus; }
    /// Gives the mutex back before the block ends: 0, or the unlock's
    /// status; 0 and nothing done when this scope does not hold it.
    int release() {
      if (!myHeld)
        return 0;
      myHeld = false;
      return myMutex.unlock();
    }

    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

  private:
    ZyMutex &myMutex;
    int myStatus;
    bool myHeld;
  };

  ZyMutex(const ZyMutex &) = delete;
  ZyMutex &operator=(const ZyMutex &) = delete;

protected:
  bool myFailedInit = false;
  pthread_mutex_t myMutex;
  std::map<int, std::string> myStrMap;
  bool myLog = false;
  std::string myLogName;
  // The holder, kept so that a lock by the holder or an unlock by anybody
  // else is answered here and never reaches pthread, where it is a misuse.
  std::atomic<bool> myHeld{false};
  std::atomic<pthread_t> myOwner{};
};

#endif

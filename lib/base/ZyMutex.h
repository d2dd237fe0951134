// ZyMutex: a non-recursive POSIX mutex with integer status codes and
// optional tracing; used by every shared object of the library.
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

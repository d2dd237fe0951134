// SPDX-License-Identifier: MIT
// Tests of the thread wrappers: mutex status codes and tracing, condition
// waits with and without time limits, thread creation, join and detach, the
// thread table, and asynchronous tasks.
#include "LogCapture.h"
#include "WaitFor.h"
#include "ZyASyncTask.h"
#include "ZyCondition.h"
#include "ZyFunctor.h"
#include "ZyMutex.h"
#include "ZyThread.h"
#include "ZyTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <unistd.h>

namespace {

std::string fmt(const char *format, long a, long b) {
  char buf[256];
  snprintf(buf, sizeof(buf), format, a, b);
  return buf;
}

// Holds a mutex in its own thread until told to let go.
class Holder {
public:
  explicit Holder(ZyMutex *mutex) : myMutex(mutex), myThreadFunc(this, &Holder::body) {
    myThread.create(&myThreadFunc, true);
    EXPECT_TRUE(waitFor([this] { return myHolding.load(); }));
  }
  ~Holder() {
    myRelease = true;
    myThread.join();
  }

private:
  void body() {
    myMutex->lock();
    myHolding = true;
    waitFor([this] { return myRelease.load(); });
    myMutex->unlock();
  }
  ZyMutex *myMutex;
  std::atomic<bool> myHolding{false};
  std::atomic<bool> myRelease{false};
  ZyFunctorC<Holder> myThreadFunc;
  ZyThread myThread{false};
};

} // namespace

// ---------------------------------------------------------------------------
// ZyMutex

TEST(ZyMutex, TryLockOnMutexHeldByAnotherThreadReturnsAlreadyLockedAtOnce) {
  ZyMutex mutex;
  Holder holder(&mutex);
  LogCapture log;
  ZyTime start;
  EXPECT_EQ(mutex.tryLock(), ZyMutex::STATUS_ALREADY_LOCKED);
  EXPECT_LT(start.msSince(), 1000);
  EXPECT_TRUE(log.hasLine("ZyMutex::tryLock: Could not lock mutex because it is already locked"));
}

TEST(ZyMutex, UnlockByNonOwnerAndRelockBySameThreadAreRefused) {
  ZyMutex mutex;
  {
    Holder holder(&mutex);
    LogCapture log;
    EXPECT_EQ(mutex.unlock(), ZyMutex::STATUS_ALREADY_LOCKED);
    EXPECT_TRUE(
        log.hasLine("ZyMutex::unlock: Trying to unlock a mutex which this thread does not own"));
  }
  LogCapture log;
  ASSERT_EQ(mutex.lock(), 0);
  EXPECT_EQ(mutex.lock(), ZyMutex::STATUS_ALREADY_LOCKED);
  EXPECT_TRUE(
      log.hasLine("ZyMutex::lock: Trying to lock a mutex which is already locked by this thread"));
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(mutex.unlock(), ZyMutex::STATUS_ALREADY_LOCKED);
  EXPECT_EQ(mutex.tryLock(), 0);
  EXPECT_EQ(mutex.unlock(), 0);
}

TEST(ZyMutex, ScopeGivesBackOnEveryWayOutAndNeverWhatItDidNotTake) {
  ZyMutex mutex;
  auto takeAndLeave = [&mutex](bool early) {
    ZyMutex::Scope scope(mutex);
    EXPECT_TRUE(scope.held());
    EXPECT_TRUE(mutex.isHeldByThisThread());
    return early ? 1 : 2;
  };
  takeAndLeave(true);
  EXPECT_FALSE(mutex.isHeldByThisThread());
  takeAndLeave(false);
  EXPECT_FALSE(mutex.isHeldByThisThread());

  {
    ZyMutex::Scope outer(mutex);
    LogCapture log;
    {
      // A second scope of the holding thread gets the lock error and must
      // not give back the outer scope's hold.
      ZyMutex::Scope inner(mutex);
      EXPECT_FALSE(inner.held());
      EXPECT_EQ(inner.status(), ZyMutex::STATUS_ALREADY_LOCKED);
    }
    EXPECT_TRUE(mutex.isHeldByThisThread());
    EXPECT_EQ(outer.release(), 0);
    EXPECT_FALSE(mutex.isHeldByThisThread());
    EXPECT_EQ(outer.release(), 0); // once only: the destructor adds nothing
    ZyMutex::Scope notTaking(mutex, false);
    EXPECT_FALSE(notTaking.held());
    EXPECT_FALSE(mutex.isHeldByThisThread());
  }
  EXPECT_EQ(mutex.tryLock(), 0);
  EXPECT_EQ(mutex.unlock(), 0);
}

TEST(ZyMutex, ErrorTexts) {
  ZyMutex mutex;
  EXPECT_STREQ(mutex.getError(1), "Failed to initialize");
  EXPECT_STREQ(mutex.getError(2), "General failure");
  EXPECT_STREQ(mutex.getError(3), "Mutex already locked");
  EXPECT_EQ(mutex.getError(0), nullptr);
  EXPECT_EQ(mutex.getError(4), nullptr);
}

TEST(ZyMutex, TraceNamesTheCallingThreadWhenTheTableKnowsIt) {
  ZyMutex mutex;
  mutex.setLog(true);
  mutex.setLogName("probe");
  const long pid = getpid();

  // A thread the table does not know.
  std::string unknownLock;
  std::string unknownUnlock;
  {
    LogCapture log;
    ZyGlobalFunctor1<void *> body(
        [](void *arg) {
          auto *m = static_cast<ZyMutex *>(arg);
          m->lock();
          m->unlock();
        },
        &mutex);
    pthread_t raw;
    ASSERT_EQ(pthread_create(
                  &raw, nullptr,
                  [](void *f) -> void * {
                    static_cast<ZyFunctor *>(f)->invoke();
                    return nullptr;
                  },
                  &body),
              0);
    pthread_join(raw, nullptr);
    EXPECT_TRUE(log.hasLine(fmt("Locking probe probably from pid %ld", pid, 0)));
    EXPECT_TRUE(log.hasLine(fmt("Unlocking probe probably from pid %ld", pid, 0)));
  }

  // The main thread, once registered and named.
  ZyThread::init();
  ZyThread *self = ZyThread::self();
  ASSERT_NE(self, nullptr);
  self->setThreadName("mainThread");
  LogCapture log;
  mutex.lock();
  mutex.unlock();
  const long id = static_cast<int>(self->getThread());
  char want[256];
  snprintf(want, sizeof(want), "Locking probe from thread mainThread %ld pid %ld", id, pid);
  EXPECT_TRUE(log.hasLine(want)) << log.text();
  snprintf(want, sizeof(want), "Unlocking probe from thread mainThread %ld pid %ld", id, pid);
  EXPECT_TRUE(log.hasLine(want)) << log.text();
  self->setThreadName("");
}

// ---------------------------------------------------------------------------
// ZyCondition

TEST(ZyCondition, TimedWaitOfZeroTimesOutAtOnce) {
  ZyCondition cond;
  ZyTime start;
  EXPECT_EQ(cond.timedWait(0), ZyCondition::STATUS_WAIT_TIMEDOUT);
  EXPECT_EQ(cond.timedWait(-5), ZyCondition::STATUS_WAIT_TIMEDOUT);
  EXPECT_LT(start.msSince(), 500);
}

TEST(ZyCondition, BoundedTimedWaitTimesOutAfterAboutThatTime) {
  // 999 ms carries into the seconds for almost any current nanosecond
  // value; a deadline with tv_nsec >= 1e9 would fail with status 1 instead.
  LogCapture log;
  ZyCondition cond;
  ZyTime start;
  EXPECT_EQ(cond.timedWait(999), ZyCondition::STATUS_WAIT_TIMEDOUT);
  long elapsed = start.msSince();
  EXPECT_GE(elapsed, 900);
  EXPECT_LT(elapsed, 5000);
  EXPECT_TRUE(log.lines().empty()) << log.text();
}

TEST(ZyCondition, BroadcastBeforeAnybodyWaitsDoesNotWakeALaterWaiter) {
  ZyCondition cond;
  EXPECT_EQ(cond.broadcast(), 0);
  EXPECT_EQ(cond.signal(), 0);
  ZyTime start;
  EXPECT_EQ(cond.timedWait(200), ZyCondition::STATUS_WAIT_TIMEDOUT);
  EXPECT_GE(start.msSince(), 150);
}

TEST(ZyCondition, SignalWakesAWaiter) {
  ZyCondition cond;
  std::atomic<int> result{-1};
  struct Waiter {
    ZyCondition *cond;
    std::atomic<int> *result;
    void run() { result->store(cond->timedWait(10000)); }
  } waiter{&cond, &result};
  ZyFunctorC<Waiter> func(&waiter, &Waiter::run);
  ZyThread thread(&func, true, false);
  // The condition has no memory, so keep signalling until the waiter has
  // been woken; each signal either wakes it or is lost.
  EXPECT_TRUE(waitFor([&] {
    cond.signal();
    return result.load() != -1;
  }));
  EXPECT_EQ(thread.join(), 0);
  EXPECT_EQ(result.load(), 0);
}

TEST(ZyCondition, UntimedWaitReturnsAfterBroadcast) {
  ZyCondition cond;
  std::atomic<int> result{-1};
  struct Waiter {
    ZyCondition *cond;
    std::atomic<int> *result;
    void run() { result->store(cond->wait()); }
  } waiter{&cond, &result};
  ZyFunctorC<Waiter> func(&waiter, &Waiter::run);
  ZyThread thread(&func, true, false);
  EXPECT_TRUE(waitFor([&] {
    cond.broadcast();
    return result.load() != -1;
  }));
  EXPECT_EQ(thread.join(), 0);
  EXPECT_EQ(result.load(), 0);
}

TEST(ZyCondition, ErrorTexts) {
  ZyCondition cond;
  EXPECT_STREQ(cond.getError(1), "General failure");
  EXPECT_STREQ(cond.getError(2),
               "Another thread is waiting on this condition so it can not be destroyed");
  EXPECT_STREQ(cond.getError(3), "Failed to initialize thread. Requested action is imposesible");
  EXPECT_EQ(cond.getError(4), nullptr);
  EXPECT_EQ(cond.getError(5), nullptr);
  EXPECT_STREQ(cond.getError(6), "The underlying mutex failed to init");
  EXPECT_STREQ(cond.getError(7), "The underlying mutex failed in some fashion");
}

// ---------------------------------------------------------------------------
// ZyThread

namespace {
struct Worker {
  std::atomic<bool> release{false};
  std::atomic<ZyThread *> seenSelf{nullptr};
  int value = 7;
  void *body(void *arg) {
    seenSelf = ZyThread::self();
    waitFor([this] { return release.load(); });
    return arg;
  }
};
} // namespace

TEST(ZyThread, ResultOfPointerCallbackIsTheJoinResultAndJoinLeavesTheTable) {
  ZyThread::init();
  size_t before = ZyThread::numThreads();
  Worker worker;
  ZyRetFunctor1C<void *, Worker, void *> func(&worker, &Worker::body, &worker.value);
  ZyThread thread(false);
  ASSERT_EQ(thread.create(&func, true), 0);
  EXPECT_EQ(thread.getFunc(), &func);
  EXPECT_TRUE(thread.getJoinable());
  EXPECT_TRUE(thread.getRunning());
  ASSERT_TRUE(waitFor([&] { return worker.seenSelf.load() != nullptr; }));
  EXPECT_EQ(worker.seenSelf.load(), &thread);
  EXPECT_EQ(ZyThread::numThreads(), before + 1);

  worker.release = true;
  void *result = nullptr;
  EXPECT_EQ(thread.join(&result), 0);
  EXPECT_EQ(result, &worker.value);
  EXPECT_EQ(ZyThread::numThreads(), before);

  LogCapture log;
  EXPECT_EQ(thread.join(), ZyThread::STATUS_NO_SUCH_THREAD);
  EXPECT_TRUE(log.hasLine("ZyThread::join: Error in join: No such thread found"));
}

TEST(ZyThread, JoinOnDetachedThreadAndDetachTwiceAreRefused) {
  // A detached thread cannot be waited for to the end: what it touches
  // lives as long as the program, not on this test's stack.
  static Worker worker;
  static ZyRetFunctor1C<void *, Worker, void *> func(&worker, &Worker::body, nullptr);
  static ZyThread thread(&func, true, false);
  ASSERT_TRUE(waitFor([&] { return worker.seenSelf.load() != nullptr; }));
  LogCapture log;
  EXPECT_EQ(thread.detach(), 0);
  EXPECT_FALSE(thread.getJoinable());
  EXPECT_EQ(thread.join(), ZyThread::STATUS_INVALID);
  EXPECT_TRUE(log.hasLine(
      "ZyThread::join: Error in join: Thread is detached or another thread is waiting"));
  EXPECT_EQ(thread.detach(), ZyThread::STATUS_ALREADYDETACHED);
  EXPECT_TRUE(log.hasLine("ZyThread::detach: Error in detach: ZyThread is already detached"));
  worker.release = true;
}

TEST(ZyThread, JoinOnSelfIsRefused) {
  ZyThread::init();
  ZyThread *self = ZyThread::self();
  ASSERT_NE(self, nullptr);
  LogCapture log;
  EXPECT_EQ(self->join(), ZyThread::STATUS_JOIN_SELF);
  EXPECT_TRUE(log.hasLine("ZyThread::join: Error in join: Trying to join on self"));

  // Also from inside a created thread.
  struct SelfJoiner {
    std::atomic<int> status{-1};
    void run() { status = ZyThread::self()->join(); }
  } joiner;
  ZyFunctorC<SelfJoiner> func(&joiner, &SelfJoiner::run);
  ZyThread thread(&func, true, false);
  EXPECT_EQ(thread.join(), 0);
  EXPECT_EQ(joiner.status.load(), ZyThread::STATUS_JOIN_SELF);
}

TEST(ZyThread, JoinOrDetachOfAThreadNeverStartedFindsNoThread) {
  ZyThread thread(false);
  LogCapture log;
  EXPECT_EQ(thread.join(), ZyThread::STATUS_NO_SUCH_THREAD);
  EXPECT_EQ(thread.detach(), ZyThread::STATUS_NO_SUCH_THREAD);
  EXPECT_TRUE(log.hasLine("ZyThread::detach: Error in detach: No such thread found"));
}

TEST(ZyThread, CreationMessageOnlyAtTheThreadLogLevel) {
  ZyFunctorC<Worker> none;
  ASSERT_EQ(ZyThread::getLogLevel(), ZyLog::Verbose);
  {
    LogCapture log(ZyLog::Normal);
    ZyThread thread(false);
    thread.setThreadName("quiet");
    ASSERT_EQ(thread.create(&none, true), 0);
    thread.join();
    EXPECT_FALSE(log.contains("Created")) << log.text();
  }
  {
    LogCapture log(ZyLog::Verbose);
    ZyThread named(false);
    named.setThreadName("worker");
    ASSERT_EQ(named.create(&none, true), 0);
    ZyThread anonymous(&none, true, false);
    EXPECT_TRUE(log.hasLine(
        fmt("Created worker thread with ID %ld", static_cast<int>(named.getThread()), 0)));
    EXPECT_TRUE(log.hasLine(
        fmt("Created anonymous thread with ID %ld", static_cast<int>(anonymous.getThread()), 0)));
    named.join();
    anonymous.join();
  }
  {
    ZyThread::setLogLevel(ZyLog::Normal);
    LogCapture log(ZyLog::Normal);
    ZyThread thread(false);
    thread.setThreadName("loud");
    ASSERT_EQ(thread.create(&none, true), 0);
    thread.threadStarted();
    EXPECT_EQ(thread.getPID(), getpid());
    thread.join();
    ZyThread::setLogLevel(ZyLog::Verbose);
    EXPECT_TRUE(log.contains("Created loud thread with ID ")) << log.text();
    EXPECT_TRUE(log.hasLine(fmt("Thread loud (%ld) is running with pid %ld",
                                static_cast<int>(thread.getThread()), getpid())));
  }
}

TEST(ZyThread, BlockAllSignalsMasksTheNewThreadButNotTheCreator) {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  struct MaskReader {
    sigset_t mask;
    void run() { pthread_sigmask(SIG_SETMASK, nullptr, &mask); }
  } reader;
  ZyFunctorC<MaskReader> func(&reader, &MaskReader::run);
  ZyThread thread(&func, true, true);
  ASSERT_EQ(thread.join(), 0);
  for (int sig : {SIGHUP, SIGPIPE, SIGINT, SIGQUIT, SIGTERM})
    EXPECT_EQ(sigismember(&reader.mask, sig), 1) << sig;
  EXPECT_EQ(sigismember(&reader.mask, SIGUSR1), 0);
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  for (int sig = 1; sig < 32; ++sig)
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
}

// ---------------------------------------------------------------------------
// ZyASyncTask and the class-wide walks

namespace {
class Looper : public ZyASyncTask {
public:
  std::atomic<int> loops{0};
  std::atomic<ZyThread *> seenSelf{nullptr};
  void *runThread(void *arg) override {
    seenSelf = ZyThread::self();
    while (getRunningWithLock()) {
      ++loops;
      usleep(1000);
    }
    return arg;
  }
};

class OneShot : public ZyASyncTask {
public:
  std::atomic<ZyThread *> seenSelf{nullptr};
  void *runThread(void *arg) override {
    seenSelf = ZyThread::self();
    return arg;
  }
};
} // namespace

TEST(ZyASyncTask, StopAllAndJoinAllEndCooperativeLoopsAndEmptyTheTable) {
  ZyThread::init();
  ASSERT_NE(ZyThread::self(), nullptr);
  Looper a;
  Looper b;
  b.setThreadName("b");
  a.runAsync();
  ASSERT_EQ(b.create(true, false), 0);
  ASSERT_TRUE(waitFor([&] { return a.loops > 0 && b.loops > 0; }));
  EXPECT_EQ(a.seenSelf.load(), &a);
  EXPECT_EQ(b.seenSelf.load(), &b);
  EXPECT_GE(ZyThread::numThreads(), 3u);

  ZyThread::stopAll();
  EXPECT_FALSE(a.getRunning());
  ZyThread::joinAll();
  EXPECT_EQ(ZyThread::numThreads(), 0u);
  EXPECT_EQ(ZyThread::self(), nullptr);
  // Both threads were joined: joining again finds nothing to join.
  LogCapture log;
  EXPECT_EQ(a.join(), ZyThread::STATUS_NO_SUCH_THREAD);
  EXPECT_EQ(b.join(), ZyThread::STATUS_NO_SUCH_THREAD);
  ZyThread::init();
  EXPECT_NE(ZyThread::self(), nullptr);
}

TEST(ZyASyncTask, RunInThisThreadMakesTheCallerTheTasksThreadWhileItRuns) {
  ZyThread::init();
  ZyThread *mainThread = ZyThread::self();
  ASSERT_NE(mainThread, nullptr);
  OneShot task;
  task.setThreadName("inline");
  LogCapture log;
  int marker = 0;
  EXPECT_EQ(task.runInThisThread(&marker), &marker);
  EXPECT_EQ(task.seenSelf.load(), &task);
  EXPECT_TRUE(task.getRunning());
  EXPECT_TRUE(task.getJoinable());
  EXPECT_TRUE(pthread_equal(task.getThread(), pthread_self()));
  EXPECT_TRUE(
      log.hasLine(fmt("Running inline thread with ID %ld", static_cast<int>(pthread_self()), 0)));
  // Afterwards the calling thread is itself again.
  EXPECT_EQ(ZyThread::self(), mainThread);

  OneShot anon;
  anon.run();
  EXPECT_TRUE(log.hasLine(
      fmt("Running anonymous thread with ID %ld", static_cast<int>(pthread_self()), 0)));
}

TEST(ZyASyncTask, DestroyedTaskLeavesNoEntryInTheTable) {
  ZyThread::init();
  size_t before = ZyThread::numThreads();
  {
    OneShot task;
    ASSERT_EQ(task.create(false, true), 0);
    waitFor([&] { return task.seenSelf != nullptr; });
    waitFor([] { return false; }, 20);
    EXPECT_EQ(ZyThread::numThreads(), before + 1);
  }
  EXPECT_EQ(ZyThread::numThreads(), before);
}

namespace {
// Sleeps in a loop of cancellation points until cancelled (or 5 s pass).
struct Sleeper {
  std::atomic<bool> started{false};
  void *body(void *) {
    started = true;
    for (int i = 0; i < 5000; ++i)
      usleep(1000);
    return nullptr;
  }
};
} // namespace

TEST(ZyThread, CancelAndCancelAllEndThreadsButNotTheCaller) {
  ZyThread::init();
  Sleeper one;
  Sleeper two;
  Sleeper three;
  ZyRetFunctor1C<void *, Sleeper, void *> f1(&one, &Sleeper::body, nullptr);
  ZyRetFunctor1C<void *, Sleeper, void *> f2(&two, &Sleeper::body, nullptr);
  ZyRetFunctor1C<void *, Sleeper, void *> f3(&three, &Sleeper::body, nullptr);
  ZyThread t1(&f1, true, false);
  ZyThread t2(&f2, true, false);
  ZyThread t3(&f3, true, false);
  ASSERT_TRUE(waitFor([&] { return one.started && two.started && three.started; }));
  size_t before = ZyThread::numThreads();

  ZyTime start;
  EXPECT_EQ(t1.cancel(), 0);
  EXPECT_EQ(ZyThread::numThreads(), before - 1);
  void *result = nullptr;
  EXPECT_EQ(t1.join(&result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);

  ZyThread::cancelAll();
  EXPECT_EQ(ZyThread::numThreads(), 0u);
  EXPECT_EQ(t2.join(&result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_EQ(t3.join(&result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_LT(start.msSince(), 4000);
  // The calling thread was left alone and can register itself again.
  ZyThread::init();
  EXPECT_NE(ZyThread::self(), nullptr);
}

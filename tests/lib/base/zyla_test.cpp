// SPDX-License-Identifier: MIT
// Tests of the library life cycle: start-up with each signal-handling
// method, the reaction to terminating signals, exit callbacks and their
// order, shut-down, deferral of signals during critical sections, and the
// directory, callback and robot lists. Everything that initialises the
// library or ends the process runs in a forked child.
#include "ChildProcess.h"
#include "LogCapture.h"
#include "WaitFor.h"
#include "ZyASyncTask.h"
#include "ZyArgumentParser.h"
#include "ZyConfig.h"
#include "ZyCriticalSection.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZySignalHandler.h"
#include "ZyTime.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

// The sanitizer flavour must let fault signals reach the library's handler
// rather than report them itself.
extern "C" const char *__asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:allow_user_segv_handler=1";
}

namespace {

// Marker callbacks written from inside the child.
void markFifty() {
  childMark("cb:fifty\n");
}
void markEarlyZero() {
  childMark("cb:earlyZero\n");
}
void markLateZero() {
  childMark("cb:lateZero\n");
}

// Logs everything to standard output, which the child sends to the parent.
void verboseLogToStdout() {
  ZyLog::init(ZyLog::StdOut, ZyLog::Verbose, "", false, false, false);
}

// Registers the three exit callbacks of the ordering rule.
void addMarkedExitCallbacks() {
  static ZyGlobalFunctor fifty(markFifty);
  static ZyGlobalFunctor earlyZero(markEarlyZero);
  static ZyGlobalFunctor lateZero(markLateZero);
  fifty.setName("fifty");
  earlyZero.setName("earlyZero");
  lateZero.setName("lateZero");
  Zyla::addExitCallback(&earlyZero, 0);
  Zyla::addExitCallback(&fifty, 50);
  Zyla::addExitCallback(&lateZero, 0);
}

const char *kOrder = "cb:fifty\ncb:lateZero\ncb:earlyZero\n";

// Waits in the child for a signal to end it; ends with 98 if none does.
[[noreturn]] void idleUntilKilled() {
  waitFor([] { return false; }, 5000);
  childMark("not ended\n");
  _exit(98);
}

bool has(const std::string &out, const std::string &part) {
  return out.find(part) != std::string::npos;
}

// The marker lines of the callbacks ("cb:..."), in the order written.
std::string marks(const std::string &out) {
  std::string found;
  for (size_t pos = 0; (pos = out.find("cb:", pos)) != std::string::npos; ++pos)
    found += out.substr(pos, out.find('\n', pos) - pos + 1);
  return found;
}

} // namespace

TEST(ZylaSignals, InterruptWithTheUtilitysSettingsRunsExitCallbacksAndExitsWith130) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    verboseLogToStdout();
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
    addMarkedExitCallbacks();
    childMark("ready\n");
    kill(getpid(), SIGINT);
    idleUntilKilled();
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 128 + SIGINT) << r.output;
  EXPECT_TRUE(has(r.output, "Created ZySignalHandler thread with ID ")) << r.output;
  EXPECT_TRUE(has(r.output, "Thread ZySignalHandler (")) << r.output;
  EXPECT_TRUE(has(r.output, "ZySignalHandler::runThread: Received signal 'SIGINT' Number 2 \n"))
      << r.output;
  size_t received = r.output.find("Zyla: Received signal 'SIGINT'. Exiting.\n");
  ASSERT_NE(received, std::string::npos) << r.output;
  EXPECT_TRUE(has(r.output.substr(received), std::string("Zyla::exit: Starting exit callbacks\n") +
                                                 "Zyla::exit: Calling callback at position 50 "
                                                 "with name 'fifty'\ncb:fifty\n"))
      << r.output;
  EXPECT_EQ(marks(r.output), kOrder);
  EXPECT_TRUE(has(r.output, "Zyla::exit: Finished exit callbacks\n")) << r.output;
  EXPECT_FALSE(has(r.output, "NonCritical Error")) << r.output;
  EXPECT_FALSE(has(r.output, "not ended")) << r.output;
}

TEST(ZylaSignals, ClassicHandlersAlsoExitOnInterrupt) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    verboseLogToStdout();
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_SINGLE, true, true);
    addMarkedExitCallbacks();
    raise(SIGTERM);
    idleUntilKilled();
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 128 + SIGTERM);
  EXPECT_TRUE(has(r.output, "Zyla: Received signal 'SIGTERM'. Exiting.\n")) << r.output;
  EXPECT_EQ(marks(r.output), kOrder) << r.output;
}

TEST(ZylaSignals, MethodNoneFromTheEnvironmentLeavesTheDefaultAction) {
  ChildResult r = runInChild([] {
    setenv("ZYLA_SIGHANDLE_METHOD", "NONE", 1);
    verboseLogToStdout();
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
    addMarkedExitCallbacks();
    raise(SIGINT);
    idleUntilKilled();
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.signalled) << r.output;
  EXPECT_EQ(r.termSignal, SIGINT);
  EXPECT_TRUE(has(r.output, "Overriding signal handler method with NONE from "
                            "ZYLA_SIGHANDLE_METHOD environment variable.\n"))
      << r.output;
  EXPECT_FALSE(has(r.output, "cb:")) << r.output;
}

TEST(ZylaSignals, MethodNamesInTheEnvironmentAreCaseSensitive) {
  ChildResult r = runInChild([] {
    setenv("ZYLA_SIGHANDLE_METHOD", "thread", 1);
    verboseLogToStdout();
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_NONE, true, true);
    raise(SIGINT);
    idleUntilKilled();
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.signalled) << r.output;
  EXPECT_EQ(r.termSignal, SIGINT);
  EXPECT_TRUE(has(r.output, "Overriding signal handler method with thread from "
                            "ZYLA_SIGHANDLE_METHOD environment variable.\n"))
      << r.output;
}

TEST(ZylaSignals, SignalDuringCriticalSectionBecomesAStopRequest) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    verboseLogToStdout();
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
    addMarkedExitCallbacks();
    {
      ZyCriticalSection outer;
      {
        ZyCriticalSection inner;
        childMark("erasing\n");
        kill(getpid(), SIGINT);
        if (!waitFor([] { return ZyCriticalSection::pendingSignal() == SIGINT; }))
          childMark("signal never recorded\n");
        // The process must still be here, with the library running.
        childMark(Zyla::getRunning() ? "still running\n" : "stopped early\n");
      }
      childMark("writing\n");
    }
    // The section's end does not exit: the work winds up and ends the run.
    childMark(Zyla::stopRequest() == SIGINT ? "stop requested\n" : "no stop request\n");
    childMark(Zyla::getRunning() ? "library running\n" : "library stopped\n");
    Zyla::exit(Zyla::exitStatusForSignal(Zyla::stopRequest()));
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 130) << r.output;
  size_t erasing = r.output.find("erasing\n");
  size_t deferred = r.output.find("Zyla: Received signal 'SIGINT' during work that must not be "
                                  "cut short; acting on it when that work is done.\n");
  size_t running = r.output.find("still running\n");
  size_t writing = r.output.find("writing\n");
  size_t stopping = r.output.find("Zyla: Received signal 'SIGINT'. Stopping.\n");
  size_t requested = r.output.find("stop requested\nlibrary stopped\n");
  size_t callbacks = r.output.find("cb:fifty\n");
  EXPECT_EQ(marks(r.output), kOrder);
  ASSERT_NE(erasing, std::string::npos) << r.output;
  ASSERT_NE(deferred, std::string::npos) << r.output;
  ASSERT_NE(running, std::string::npos) << r.output;
  ASSERT_NE(writing, std::string::npos) << r.output;
  ASSERT_NE(stopping, std::string::npos) << r.output;
  ASSERT_NE(requested, std::string::npos) << r.output;
  ASSERT_NE(callbacks, std::string::npos) << r.output;
  EXPECT_LT(erasing, deferred);
  EXPECT_LT(deferred, running);
  EXPECT_LT(running, writing);
  EXPECT_LT(writing, stopping);
  EXPECT_LT(stopping, requested);
  EXPECT_LT(requested, callbacks);
}

TEST(ZylaSignals, WithAStopWakerASignalWakesTheOwnerInsteadOfExiting) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    verboseLogToStdout();
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
    addMarkedExitCallbacks();
    static std::atomic<int> woken{0};
    Zyla::setStopWaker([] {
      woken++;
      childMark("woken\n");
    });
    kill(getpid(), SIGTERM);
    if (!waitFor([] { return woken.load() == 1; }))
      childMark("never woken\n");
    // The owner, still here, ends the run itself.
    childMark(Zyla::stopRequest() == SIGTERM ? "stop requested\n" : "no stop request\n");
    childMark(Zyla::getRunning() ? "library running\n" : "library stopped\n");
    Zyla::setStopWaker(nullptr);
    Zyla::exit(Zyla::exitStatusForSignal(Zyla::stopRequest()));
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 143) << r.output;
  size_t woken = r.output.find("woken\n");
  size_t notice = r.output.find("Zyla: Received signal 'SIGTERM'. Exiting.\n");
  size_t owner = r.output.find("stop requested\nlibrary stopped\n");
  size_t callbacks = r.output.find("cb:fifty\n");
  ASSERT_NE(woken, std::string::npos) << r.output;
  ASSERT_NE(notice, std::string::npos) << r.output;
  ASSERT_NE(owner, std::string::npos) << r.output;
  ASSERT_NE(callbacks, std::string::npos) << r.output;
  EXPECT_LT(notice, woken);
  EXPECT_LT(owner, callbacks);
  EXPECT_EQ(marks(r.output), kOrder);
}

TEST(ZylaSignals, FaultWritesOneMessageAndEndsTheProcessByTheSignal) {
  for (int sig : {SIGSEGV, SIGFPE, SIGBUS, SIGILL}) {
    ChildResult r = runInChild([sig] {
      unsetenv("ZYLA_SIGHANDLE_METHOD");
      verboseLogToStdout();
      Zyla::setDirectory("./");
      Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
      addMarkedExitCallbacks();
      // The stand-in for a robot's stop packet goes to standard output.
      ZySignalHandler::setCrashPacket(1, "STOP!\n", 6);
      raise(sig);
      idleUntilKilled();
    });
    ASSERT_TRUE(r.finished) << r.output;
    ASSERT_TRUE(r.signalled) << r.output;
    EXPECT_EQ(r.termSignal, sig);
    // The message, then the stop packet; the signal thread's own start-up
    // line may come out between them.
    size_t message = r.output.find(std::string("Zyla: Fatal error (") +
                                   ZySignalHandler::signalName(sig) + "). Exiting.\n");
    size_t packet = r.output.find("STOP!\n");
    ASSERT_NE(message, std::string::npos) << r.output;
    ASSERT_NE(packet, std::string::npos) << r.output;
    EXPECT_LT(message, packet) << r.output;
    EXPECT_EQ(r.output.find("STOP!", packet + 1), std::string::npos) << "one packet only";
    // Nothing that could allocate or lock: no log line, no callbacks.
    EXPECT_FALSE(has(r.output, "Received signal")) << r.output;
    EXPECT_EQ(marks(r.output), "") << r.output;
  }
}

namespace {
// Raises a fault from a timer signal while the main code allocates and
// frees, so that the fault lands inside the allocator with its locks held.
std::atomic<bool> gInAllocator{false};
void faultInAllocator(int) {
  if (gInAllocator.load())
    raise(SIGSEGV);
}
} // namespace

TEST(ZylaSignals, FaultInsideTheAllocatorEndsTheProcessWithinASecond) {
  for (int attempt = 0; attempt < 5; attempt++) {
    ChildResult r = runInChild(
        [] {
          unsetenv("ZYLA_SIGHANDLE_METHOD");
          Zyla::setDirectory("./");
          Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
          addMarkedExitCallbacks();
          struct sigaction action = {};
          action.sa_handler = &faultInAllocator;
          sigemptyset(&action.sa_mask);
          sigaction(SIGPROF, &action, nullptr);
          struct itimerval timer = {{0, 2000}, {0, 2000}};
          setitimer(ITIMER_PROF, &timer, nullptr);
          std::vector<void *> blocks(64, nullptr);
          for (unsigned long i = 0;; i++) {
            size_t slot = i % blocks.size();
            gInAllocator = true;
            free(blocks[slot]);
            blocks[slot] = malloc(16 + (i * 7919) % 4096);
            gInAllocator = false;
          }
        },
        // Dead in well under a second once the fault lands; the bound is
        // wider for a loaded machine, and a hang never ends at all.
        2000);
    ASSERT_TRUE(r.finished) << "attempt " << attempt << " hung:\n" << r.output;
    ASSERT_TRUE(r.signalled) << r.output;
    EXPECT_EQ(r.termSignal, SIGSEGV);
    EXPECT_TRUE(has(r.output, "Zyla: Fatal error (SIGSEGV). Exiting.\n")) << r.output;
  }
}

namespace {
class Looper : public ZyASyncTask {
public:
  void *runThread(void *) override {
    while (getRunningWithLock())
      usleep(1000);
    childMark("looper done\n");
    return nullptr;
  }
};

void markUninitAndEnd() {
  childMark("uninit\n");
  _exit(0);
}
} // namespace

TEST(ZylaSignals, WithoutExitingASignalShutsDownStopsAndJoinsThreads) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    verboseLogToStdout();
    Zyla::setDirectory("./");
    static ZyGlobalFunctor uninit(markUninitAndEnd);
    Zyla::addUninitCallBack(&uninit, 2);
    Zyla::init(Zyla::SIGHANDLE_THREAD, true, false);
    static Looper looper;
    looper.runAsync();
    // The shut-down joins every other joinable thread, the main thread
    // included; detached, this one can wait here for the end instead.
    ZyThread::self()->detach();
    kill(getpid(), SIGTERM);
    if (!waitFor([] { return !Zyla::getRunning(); }))
      childMark("never stopped\n");
    childMark("main saw stop\n");
    idleUntilKilled();
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 0);
  size_t shutting = r.output.find("Zyla: Received signal 'SIGTERM'. Shutting down.\n");
  size_t looperDone = r.output.find("looper done\n");
  size_t uninit = r.output.find("uninit\n");
  ASSERT_NE(shutting, std::string::npos) << r.output;
  ASSERT_NE(looperDone, std::string::npos) << r.output;
  ASSERT_NE(uninit, std::string::npos) << r.output;
  EXPECT_FALSE(has(r.output, "never stopped")) << r.output;
  EXPECT_LT(shutting, looperDone);
  EXPECT_LT(looperDone, uninit);
}

// ---------------------------------------------------------------------------
// Exit and shut-down without signals

namespace {
std::atomic<int> gUninitCount{0};
void countUninit() {
  ++gUninitCount;
}
void exitAgainFromCallback() {
  childMark("cb:reentrant\n");
  Zyla::exit(7); // an exit under way: returns at once
  Zyla::shutdown();
  childMark("cb:returned\n");
}
} // namespace

TEST(ZylaExit, ExitRunsCallbacksInPositionOrderAndEndsWithItsCode) {
  ChildResult r = runInChild([] {
    verboseLogToStdout();
    addMarkedExitCallbacks();
    static ZyGlobalFunctor reentrant(exitAgainFromCallback);
    Zyla::addExitCallback(&reentrant, 10);
    static ZyGlobalFunctor removed(markFifty);
    Zyla::addExitCallback(&removed, 99);
    Zyla::remExitCallback(&removed);
    Zyla::exit(3);
    childMark("exit returned\n");
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 3) << r.output;
  EXPECT_TRUE(has(r.output, "Zyla::addExitCallback: Adding callback at position 0 with name "
                            "'lateZero'\n"))
      << r.output;
  EXPECT_EQ(marks(r.output), "cb:fifty\ncb:reentrant\ncb:returned\ncb:lateZero\ncb:earlyZero\n");
  EXPECT_TRUE(has(r.output, "Zyla::exit: Calling callback at position 10 with name ''\n"))
      << r.output;
  EXPECT_TRUE(has(r.output, "cb:earlyZero\nZyla::exit: Finished exit callbacks\n")) << r.output;
  EXPECT_FALSE(has(r.output, "exit returned")) << r.output;
}

TEST(ZylaExit, SecondShutdownDoesNothingAndExitStillEndsTheProcess) {
  ChildResult r = runInChild([] {
    verboseLogToStdout();
    static ZyGlobalFunctor uninit(countUninit);
    Zyla::addUninitCallBack(&uninit, 1);
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_NONE, true, false);
    childMark(Zyla::getRunning() ? "running\n" : "not running\n");
    Zyla::shutdown();
    Zyla::shutdown();
    childMark(("uninit ran " + std::to_string(gUninitCount.load()) + "\n").c_str());
    childMark(Zyla::getRunning() ? "running\n" : "not running\n");
    addMarkedExitCallbacks();
    Zyla::exit(4);
  });
  ASSERT_TRUE(r.finished) << r.output;
  ASSERT_TRUE(r.exited) << r.output;
  EXPECT_EQ(r.exitCode, 4) << r.output;
  EXPECT_TRUE(has(r.output, "running\nuninit ran 1\nnot running\n")) << r.output;
  EXPECT_EQ(marks(r.output), kOrder) << r.output;
}

// ---------------------------------------------------------------------------
// Start-up details

namespace {
void markInitA() {
  childMark("init:a\n");
}
void markInitB() {
  childMark("init:b\n");
}
void markInitC() {
  childMark("init:c\n");
}
} // namespace

TEST(ZylaInit, InitCallbacksDirectoryFromEnvironmentAndDefaultSources) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    setenv("ZYLA", "/opt/zyla", 1);
    verboseLogToStdout();
    static ZyGlobalFunctor a(markInitA);
    static ZyGlobalFunctor b(markInitB);
    static ZyGlobalFunctor c(markInitC);
    Zyla::addInitCallBack(&a, 2);
    Zyla::addInitCallBack(&b, 1);
    Zyla::addInitCallBack(&c, 5);
    ZyArgumentParser::clearDefaultSources();
    Zyla::init(Zyla::SIGHANDLE_NONE, true, true);
    Zyla::init(Zyla::SIGHANDLE_NONE, true, true); // a second call does nothing
    childMark(("dir " + std::string(Zyla::getDirectory()) + "\n").c_str());
    ZyArgumentParser::logDefaultSources();
    _exit(0);
  });
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_TRUE(has(r.output, "init:b\ninit:a\ninit:c\ndir /opt/zyla/\n")) << r.output;
  EXPECT_EQ(r.output.find("init:b"), r.output.rfind("init:b")) << r.output;
  EXPECT_FALSE(has(r.output, "Overriding")) << r.output;
  size_t file = r.output.find("file      /etc/Zyla.args\n");
  size_t env = r.output.find("envVar    ZYLAARGS\n");
  ASSERT_NE(file, std::string::npos) << r.output;
  ASSERT_NE(env, std::string::npos) << r.output;
  EXPECT_LT(file, env);
}

TEST(ZylaInit, DirectorySetBeforeInitIsKept) {
  ChildResult r = runInChild([] {
    setenv("ZYLA", "/opt/zyla", 1);
    verboseLogToStdout();
    Zyla::setDirectory("mine");
    Zyla::init(Zyla::SIGHANDLE_NONE, true, true);
    childMark(("dir " + std::string(Zyla::getDirectory()) + "\n").c_str());
    _exit(0);
  });
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_TRUE(has(r.output, "dir mine/\n")) << r.output;
}

TEST(ZylaInit, MissingDirectoryIsANonCriticalError) {
  if (access("/etc/Zyla", F_OK) == 0)
    GTEST_SKIP() << "/etc/Zyla exists on this machine";
  ChildResult r = runInChild([] {
    unsetenv("ZYLA");
    verboseLogToStdout();
    Zyla::init(Zyla::SIGHANDLE_NONE, true, true);
    childMark(("dir '" + std::string(Zyla::getDirectory()) + "'\n").c_str());
    _exit(0);
  });
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_TRUE(
      has(r.output, "NonCritical Error: ZYLA could not find where it is located.\ndir ''\n"))
      << r.output;
}

// ---------------------------------------------------------------------------
// In-process: directory and robot list (neither initialises the library)

TEST(Zyla, ProcessWideConfigurationStartsWithItsDefaults) {
  ZyConfig *config = Zyla::getConfig();
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config, Zyla::getConfig());
  EXPECT_STREQ(config->getBaseDirectory(), "");
  EXPECT_FALSE(config->getNoBlanksBetweenParams());
  EXPECT_FALSE(config->getIgnoreBounds());
  EXPECT_FALSE(config->getFailOnBadSection());
  EXPECT_TRUE(config->getSaveUnknown());
}

TEST(Zyla, SetDirectoryAddsOneTrailingSlashAndSetsTheConfigurationBase) {
  Zyla::setDirectory("/usr/local/zyla");
  EXPECT_STREQ(Zyla::getDirectory(), "/usr/local/zyla/");
  EXPECT_STREQ(Zyla::getConfig()->getBaseDirectory(), "/usr/local/zyla/");
  Zyla::setDirectory("/usr/local/zyla/");
  EXPECT_STREQ(Zyla::getDirectory(), "/usr/local/zyla/");
  Zyla::setDirectory("C:\\zyla\\");
  EXPECT_STREQ(Zyla::getDirectory(), "C:\\zyla\\");
  Zyla::setDirectory(nullptr);
  EXPECT_STREQ(Zyla::getDirectory(), "C:\\zyla\\");
  EXPECT_STREQ(Zyla::getConfig()->getBaseDirectory(), "C:\\zyla\\");
  Zyla::setDirectory("./");
  EXPECT_STREQ(Zyla::getDirectory(), "./");
  EXPECT_STREQ(Zyla::getConfig()->getBaseDirectory(), "./");
}

TEST(Zyla, RobotListKeepsOrderAndRemovesRobots) {
  int a = 0;
  int b = 0;
  auto *robotA = reinterpret_cast<ZyRobot *>(&a);
  auto *robotB = reinterpret_cast<ZyRobot *>(&b);
  Zyla::addRobot(robotA);
  Zyla::addRobot(robotB);
  ASSERT_EQ(Zyla::getRobotList()->size(), 2u);
  EXPECT_EQ(Zyla::getRobotList()->front(), robotA);
  EXPECT_EQ(Zyla::getRobotList()->back(), robotB);
  // The copy keeps the order and stays as it was when the list changes.
  const std::list<ZyRobot *> copy = Zyla::copyRobotList();
  EXPECT_EQ(copy, (std::list<ZyRobot *>{robotA, robotB}));
  Zyla::delRobot(robotA);
  EXPECT_EQ(copy.size(), 2u);
  EXPECT_EQ(Zyla::copyRobotList(), std::list<ZyRobot *>{robotB});
  ASSERT_EQ(Zyla::getRobotList()->size(), 1u);
  EXPECT_EQ(Zyla::getRobotList()->front(), robotB);
  Zyla::delRobot(robotB);
  EXPECT_TRUE(Zyla::getRobotList()->empty());
  EXPECT_FALSE(Zyla::getRunning());
}

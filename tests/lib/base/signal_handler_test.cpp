// SPDX-License-Identifier: MIT
// Tests of the signal machinery that need no installed handler: the name
// table, handler positions and dispatch order, the blocked and handled
// sets, and the per-thread masks. Installed handlers are tested through the
// library start-up in zyla_test.
#include "ChildProcess.h"
#include "LogCapture.h"
#include "ZyFunctor.h"
#include "ZySignalHandler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
// Handlers may run on the handler thread while the test reads: the record
// is kept under a lock.
std::mutex gCallsLock;
std::vector<std::string> gCalls;
void record(const char *who, int sig) {
  std::lock_guard<std::mutex> hold(gCallsLock);
  gCalls.push_back(who + std::to_string(sig));
}
std::vector<std::string> calls() {
  std::lock_guard<std::mutex> hold(gCallsLock);
  return gCalls;
}
void recordA(int sig) {
  record("A", sig);
}
void recordB(int sig) {
  record("B", sig);
}
void recordC(int sig) {
  record("C", sig);
}
} // namespace

TEST(ZySignalHandler, SignalNames) {
  EXPECT_STREQ(ZySignalHandler::signalName(1), "SIGHUP");
  EXPECT_STREQ(ZySignalHandler::signalName(2), "SIGINT");
  EXPECT_STREQ(ZySignalHandler::signalName(6), "SIGIOT");
  EXPECT_STREQ(ZySignalHandler::signalName(11), "SIGSEGV");
  EXPECT_STREQ(ZySignalHandler::signalName(13), "SIGPIPE");
  EXPECT_STREQ(ZySignalHandler::signalName(15), "SIGTERM");
  EXPECT_STREQ(ZySignalHandler::signalName(16), "");
  EXPECT_STREQ(ZySignalHandler::signalName(17), "SIGCHLD");
  EXPECT_STREQ(ZySignalHandler::signalName(26), "SIGVTALRM");
  EXPECT_STREQ(ZySignalHandler::signalName(30), "SIGPWR");
  EXPECT_STREQ(ZySignalHandler::signalName(31), "");
  EXPECT_STREQ(ZySignalHandler::signalName(0), "");
  EXPECT_STREQ(ZySignalHandler::signalName(-3), "");
}

TEST(ZySignalHandler, HandlersRunInListOrderByPosition) {
  ZyGlobalFunctor1<int> a(recordA);
  ZyGlobalFunctor1<int> b(recordB);
  ZyGlobalFunctor1<int> c(recordC);
  LogCapture log;
  gCalls.clear();
  ZySignalHandler::addHandler(&a, ZySignalHandler::LAST);
  ZySignalHandler::addHandler(&b, ZySignalHandler::FIRST);
  ZySignalHandler::addHandler(&c, 2);
  ZySignalHandler::addHandler(&c, 0);
  ZySignalHandler::addHandler(&c, 3);
  EXPECT_EQ(ZySignalHandler::numHandlers(), 3u);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>(2, "ZySignalHandler::addHandler: Invalid position."));

  ZySignalHandler::signalCB(SIGUSR1);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"B10", "A10", "C10"}));
  EXPECT_TRUE(log.hasLine("ZySignalHandler::runThread: Received signal 'SIGUSR1' Number 10 "));

  // delHandler removes every entry of a callback and deletes nothing.
  ZySignalHandler::addHandler(&a, ZySignalHandler::FIRST);
  ZySignalHandler::delHandler(&a);
  gCalls.clear();
  ZySignalHandler::signalCB(SIGHUP);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"B1", "C1"}));
  ZySignalHandler::delHandler(&b);
  ZySignalHandler::delHandler(&c);
  EXPECT_EQ(ZySignalHandler::numHandlers(), 0u);
}

TEST(ZySignalHandler, SignalWithoutCallbacksIsLoggedAsUnhandled) {
  ASSERT_EQ(ZySignalHandler::numHandlers(), 0u);
  LogCapture log;
  ZySignalHandler::signalCB(SIGUSR2);
  EXPECT_TRUE(log.hasLine(
      "ZySignalHandler::runThread: No handler function. Unhandled signal 'SIGUSR2' Number 12"));
}

TEST(ZySignalHandler, BlockedAndHandledSets) {
  ZySignalHandler::unblockAll();
  ZySignalHandler::blockCommon();
  for (int sig : {SIGHUP, SIGPIPE, SIGINT, SIGQUIT, SIGTERM})
    EXPECT_TRUE(ZySignalHandler::isBlocked(sig)) << sig;
  EXPECT_FALSE(ZySignalHandler::isBlocked(SIGUSR1));

  // handle moves a signal from the blocked set to the handled one.
  ZySignalHandler::handle(SIGINT);
  EXPECT_FALSE(ZySignalHandler::isBlocked(SIGINT));
  EXPECT_TRUE(ZySignalHandler::isHandled(SIGINT));
  ZySignalHandler::unhandle(SIGINT);
  EXPECT_FALSE(ZySignalHandler::isHandled(SIGINT));

  ZySignalHandler::block(SIGUSR1);
  EXPECT_TRUE(ZySignalHandler::isBlocked(SIGUSR1));
  ZySignalHandler::unblock(SIGUSR1);
  EXPECT_FALSE(ZySignalHandler::isBlocked(SIGUSR1));
  ZySignalHandler::unblockAll();
  EXPECT_FALSE(ZySignalHandler::isBlocked(SIGTERM));
}

TEST(ZySignalHandler, ThisThreadMasks) {
  sigset_t common;
  sigset_t all;
  std::thread probe([&] {
    ZySignalHandler::blockCommonThisThread();
    pthread_sigmask(SIG_SETMASK, nullptr, &common);
    ZySignalHandler::blockAllThisThread();
    pthread_sigmask(SIG_SETMASK, nullptr, &all);
  });
  probe.join();
  for (int sig = 1; sig < 32; ++sig) {
    bool isCommon =
        sig == SIGHUP || sig == SIGPIPE || sig == SIGINT || sig == SIGQUIT || sig == SIGTERM;
    EXPECT_EQ(sigismember(&common, sig) == 1, isCommon) << sig;
    // SIGKILL and SIGSTOP can never be blocked.
    if (sig != SIGKILL && sig != SIGSTOP) {
      EXPECT_EQ(sigismember(&all, sig), 1) << sig;
    }
  }
}

TEST(ZySignalHandler, LogThreadReportsTheHandlerThread) {
  {
    LogCapture log;
    ZySignalHandler::logThread();
    EXPECT_TRUE(log.hasLine("No signal handler thread running"));
  }
  // The thread itself is started in a child, which it cannot outlive.
  ChildResult r = runInChild([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Verbose, "", false, false, false);
    gCalls.clear();
    static ZyGlobalFunctor1<int> a(recordA);
    ZySignalHandler::addHandler(&a, ZySignalHandler::LAST);
    ZySignalHandler::handle(SIGHUP);
    // As the library start-up does: only the handler thread takes SIGHUP.
    ZySignalHandler::blockCommonThisThread();
    ZySignalHandler::createHandlerThreaded();
    kill(getpid(), SIGHUP);
    for (int i = 0; i < 5000 && calls().empty(); ++i)
      usleep(1000);
    const std::vector<std::string> seen = calls();
    childMark(seen.empty() ? "not dispatched\n" : ("dispatched " + seen[0] + "\n").c_str());
    ZySignalHandler::logThread();
    _exit(0);
  });
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_TRUE(r.output.find("dispatched A1\n") != std::string::npos) << r.output;
  // Announced once by the thread and once by logThread.
  size_t first = r.output.find("Thread ZySignalHandler (");
  ASSERT_NE(first, std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Thread ZySignalHandler (", first + 1), std::string::npos) << r.output;
}

// SPDX-License-Identifier: MIT
// Library start-up, shut-down, exit and the reaction to terminating
// signals. The class-wide state is never destroyed, so a thread that ends
// the process with exit() cannot pull it away from under another thread.
#include "Zyla.h"

#include "ZyArgumentParser.h"
#include "ZyConfig.h"
#include "ZyCriticalSection.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZyMutex.h"
#include "ZySignalHandler.h"
#include "ZyThread.h"
#include "ZyUtil.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

namespace {
struct ZylaState {
  ZyMutex stateLock; // guards the flags below and the robot list
  bool initialised = false;
  bool running = false;
  bool shutdownBegun = false;
  bool exitBegun = false;
  bool sigHandleExitNotShutdown = false;
  std::string directory;
  std::list<ZyRobot *> robots;
  Zyla::RobotNameFunction robotName = nullptr;
  std::list<ZyFunctor *> signalStopCallbacks;
  std::list<ZyFunctor *> initCallbacks;
  std::list<ZyFunctor *> uninitCallbacks;
  ZyMutex exitLock;
  std::multimap<int, ZyFunctor *> exitCallbacks;
  ZyGlobalFunctor1<int> signalCallback{&Zyla::signalHandlerCB};
  // Base directory empty, blanks between parameters, bounds checked, bad
  // sections tolerated, unknown lines saved.
  ZyConfig config{nullptr, false, false, false, true};
};

ZylaState &state() {
  static ZylaState &s = *new ZylaState;
  return s;
}

// Plain atomics, readable from exit callbacks and signal reactions alike.
std::atomic<int> gSignalReceived{0};
std::atomic<int> gStopRequest{0};
std::atomic<void (*)()> gStopWaker{nullptr};
std::atomic<void (*)()> gNoticeHook{nullptr};

void beforeNotice() {
  void (*hook)() = gNoticeHook.load();
  if (hook != nullptr)
    hook();
}

void noteSignal(int sig) {
  int none = 0;
  gSignalReceived.compare_exchange_strong(none, sig);
}

bool isFault(int sig) {
  return sig == SIGSEGV || sig == SIGFPE || sig == SIGBUS || sig == SIGILL;
}

// Runs the exit callbacks unless an exit already began; false when it had.
bool beginExitAndRunCallbacks() {
  ZylaState &s = state();
  {
    ZyMutex::Scope stateScope(s.stateLock);
    s.running = false;
    if (s.exitBegun)
      return false;
    s.exitBegun = true;
  }

  ZyMutex::Scope exitScope(s.exitLock);
  ZyLog::log(ZyLog::Verbose, "Zyla::exit: Starting exit callbacks");
  // Highest position first; equal positions sit in insertion order, so the
  // reverse walk also runs the one added last first.
  for (auto it = s.exitCallbacks.rbegin(); it != s.exitCallbacks.rend(); ++it) {
    ZyLog::log(ZyLog::Verbose, "Zyla::exit: Calling callback at position %d with name '%s'",
               it->first, it->second->getName());
    it->second->invoke();
  }
  ZyLog::log(ZyLog::Verbose, "Zyla::exit: Finished exit callbacks");
  return true;
}

// The reaction to a signal, run at once or, when the signal came during a
// critical section, when the last section closes.
void reactToSignal(int sig) {
  ZylaState &s = state();
  const char *name = ZySignalHandler::signalName(sig);
  if (isFault(sig)) {
    // After a fault the process cannot go on: the exit callbacks run (they
    // stop the robot), then the signal handler lets the signal's default
    // action end the process, so the failure shows in its status.
    ZyLog::log(ZyLog::Normal, "Zyla: Received signal '%s'. Exiting.", name);
    beginExitAndRunCallbacks();
    return;
  }
  if (s.sigHandleExitNotShutdown) {
    // A run ended by a signal did not succeed: callers such as timeout or a
    // service manager must see which signal ended it.
    noteSignal(sig);
    void (*waker)() = gStopWaker.load();
    if (waker != nullptr) {
      // The owner of the work ends the run: its link to a controller, say,
      // is closed by the thread that uses it, never in the middle of an
      // exchange.
      int none = 0;
      gStopRequest.compare_exchange_strong(none, sig);
      s.stateLock.lock();
      s.running = false;
      s.stateLock.unlock();
      beforeNotice();
      ZyLog::log(ZyLog::Normal, "Zyla: Received signal '%s'. Exiting.", name);
      waker();
      return;
    }
    beforeNotice();
    ZyLog::log(ZyLog::Normal, "Zyla: Received signal '%s'. Exiting.", name);
    Zyla::exit(Zyla::exitStatusForSignal(sig));
    return;
  }
  if (!Zyla::getRunning())
    return; // a shut-down is already under way
  beforeNotice();
  ZyLog::log(ZyLog::Normal, "Zyla: Received signal '%s'. Shutting down.", name);
  if (sig == SIGHUP || sig == SIGINT || sig == SIGTERM) {
    // Every registered robot stops running and disconnects, so that a
    // connected controller is told the client is gone.
    std::list<ZyFunctor *> stops;
    {
      ZyMutex::Scope stateScope(s.stateLock);
      stops = s.signalStopCallbacks;
    }
    for (ZyFunctor *stop : stops)
      stop->invoke();
  }
  Zyla::shutdown();
}

// A signal that came during a critical section, acted on when the last
// section closes: it becomes a stop request. The work that opened the
// section finishes its transaction, sees the request and winds up; the
// library stops running so that waiting loops end.
void requestStop(int sig) {
  ZylaState &s = state();
  if (!s.sigHandleExitNotShutdown) {
    reactToSignal(sig);
    return;
  }
  noteSignal(sig);
  int none = 0;
  gStopRequest.compare_exchange_strong(none, sig);
  beforeNotice();
  ZyLog::log(ZyLog::Normal, "Zyla: Received signal '%s'. Stopping.",
             ZySignalHandler::signalName(sig));
  ZyMutex::Scope stateScope(s.stateLock);
  s.running = false;
}
} // namespace

int Zyla::signalReceived() {
  return gSignalReceived.load();
}

int Zyla::stopRequest() {
  return gStopRequest.load();
}

void Zyla::setStopWaker(void (*waker)()) {
  gStopWaker.store(waker);
}

void Zyla::setSignalNoticeHook(void (*hook)()) {
  gNoticeHook.store(hook);
}

void Zyla::signalHandlerCB(int sig) {
  if (!isFault(sig) && ZyCriticalSection::deferSignal(sig)) {
    void (*waker)() = gStopWaker.load();
    if (waker != nullptr)
      waker();
    beforeNotice();
    ZyLog::log(ZyLog::Normal,
               "Zyla: Received signal '%s' during work that must not be cut short; acting on it "
               "when that work is done.",
               ZySignalHandler::signalName(sig));
    return;
  }
  reactToSignal(sig);
}

void Zyla::init(SigHandleMethod method, bool /*initSockets*/, bool sigHandleExitNotShutdown) {
  ZylaState &s = state();
  {
    ZyMutex::Scope stateScope(s.stateLock);
    if (s.initialised)
      return;
    s.running = true;
  }
  srand48(time(nullptr));

  ZyThread::init();

  const char *envMethod = getenv("ZYLA_SIGHANDLE_METHOD");
  if (envMethod != nullptr) {
    ZyLog::log(ZyLog::Terse,
               "Overriding signal handler method with %s from ZYLA_SIGHANDLE_METHOD environment "
               "variable.",
               envMethod);
    if (strcmp(envMethod, "NONE") == 0)
      method = SIGHANDLE_NONE;
    else if (strcmp(envMethod, "SINGLE") == 0)
      method = SIGHANDLE_SINGLE;
    else if (strcmp(envMethod, "THREAD") == 0)
      method = SIGHANDLE_THREAD;
  }

  // The flag decides the reaction; it is in place before any signal can
  // reach the reaction.
  s.sigHandleExitNotShutdown = sigHandleExitNotShutdown;
  ZyCriticalSection::setDeferredAction(&requestStop);

  if (method != SIGHANDLE_NONE) {
    ZySignalHandler::addHandler(&s.signalCallback, ZySignalHandler::LAST);
    ZySignalHandler::blockCommon();
    ZySignalHandler::handle(SIGHUP);
    ZySignalHandler::handle(SIGINT);
    ZySignalHandler::handle(SIGQUIT);
    ZySignalHandler::handle(SIGTERM);
    ZySignalHandler::handle(SIGPIPE);
    if (method == SIGHANDLE_SINGLE) {
      ZySignalHandler::createHandlerNonThreaded();
    } else if (method == SIGHANDLE_THREAD) {
      ZySignalHandler::blockCommonThisThread();
      ZySignalHandler::createHandlerThreaded();
    }
  }

  // The socket layer needs no initialisation on this platform.

  if (s.directory.empty()) {
    const char *envDir = getenv("ZYLA");
    char line[1024];
    if (envDir != nullptr)
      setDirectory(envDir);
    else if (ZyUtil::readFirstLine("/etc/Zyla", line, sizeof(line)) && line[0] != '\0')
      setDirectory(line);
    else
      ZyLog::log(ZyLog::Terse, "NonCritical Error: ZYLA could not find where it is located.");
  }

  {
    ZyMutex::Scope stateScope(s.stateLock);
    s.initialised = true;
  }
  for (ZyFunctor *func : s.initCallbacks)
    func->invoke();

  // Registered in this order, the environment's arguments end up in front
  // of the file's when the sources are merged.
  ZyArgumentParser::addDefaultSourceFile("/etc/Zyla.args");
  ZyArgumentParser::addDefaultSourceEnv("ZYLAARGS");
}

void Zyla::shutdown() {
  ZylaState &s = state();
  {
    ZyMutex::Scope stateScope(s.stateLock);
    s.running = false;
    if (s.shutdownBegun || s.exitBegun)
      return;
    s.shutdownBegun = true;
  }

  ZyThread::stopAll();
  ZyThread::joinAll();
  for (ZyFunctor *func : s.uninitCallbacks)
    func->invoke();
  // No modules are loaded on this platform, so there are none to close.
}

void Zyla::exit(int exitCode) {
  if (!beginExitAndRunCallbacks())
    return;
  ::exit(exitCode);
}

void Zyla::addExitCallback(ZyFunctor *func, int position) {
  if (func == nullptr)
    return;
  ZylaState &s = state();
  ZyMutex::Scope exitScope(s.exitLock);
  ZyLog::log(ZyLog::Verbose, "Zyla::addExitCallback: Adding callback at position %d with name '%s'",
             position, func->getName());
  s.exitCallbacks.emplace(position, func);
}

void Zyla::remExitCallback(ZyFunctor *func) {
  ZylaState &s = state();
  ZyMutex::Scope exitScope(s.exitLock);
  for (auto it = s.exitCallbacks.begin(); it != s.exitCallbacks.end();)
    it = it->second == func ? s.exitCallbacks.erase(it) : std::next(it);
}

void Zyla::addInitCallBack(ZyFunctor *func, int position) {
  if (func == nullptr)
    return;
  if (position == 1)
    state().initCallbacks.push_front(func);
  else
    state().initCallbacks.push_back(func);
}

void Zyla::addUninitCallBack(ZyFunctor *func, int position) {
  if (func == nullptr)
    return;
  if (position == 1)
    state().uninitCallbacks.push_front(func);
  else
    state().uninitCallbacks.push_back(func);
}

void Zyla::setDirectory(const char *directory) {
  if (directory == nullptr)
    return;
  std::string dir = directory;
  if (dir.empty() || (dir.back() != '/' && dir.back() != '\\'))
    dir += '/';
  ZylaState &s = state();
  s.directory = dir;
  s.config.setBaseDirectory(s.directory.c_str());
}

const char *Zyla::getDirectory() {
  return state().directory.c_str();
}

ZyConfig *Zyla::getConfig() {
  return &state().config;
}

bool Zyla::getRunning() {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  return s.running;
}

bool Zyla::getSigHandleExitNotShutdown() {
  return state().sigHandleExitNotShutdown;
}

void Zyla::addRobot(ZyRobot *robot) {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  s.robots.push_back(robot);
}

void Zyla::delRobot(ZyRobot *robot) {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  s.robots.remove(robot);
}

ZyRobot *Zyla::findRobot(const char *name) {
  if (name == nullptr)
    return nullptr;
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  for (ZyRobot *robot : s.robots)
    if (s.robotName != nullptr && strcmp(s.robotName(robot), name) == 0)
      return robot;
  return nullptr;
}

std::list<ZyRobot *> *Zyla::getRobotList() {
  return &state().robots;
}

std::list<ZyRobot *> Zyla::copyRobotList() {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  return s.robots;
}

void Zyla::setRobotNameFunction(RobotNameFunction function) {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  s.robotName = function;
}

void Zyla::addSignalStopCallback(ZyFunctor *callback) {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  s.signalStopCallbacks.push_back(callback);
}

void Zyla::remSignalStopCallback(ZyFunctor *callback) {
  ZylaState &s = state();
  ZyMutex::Scope stateScope(s.stateLock);
  s.signalStopCallbacks.remove(callback);
}

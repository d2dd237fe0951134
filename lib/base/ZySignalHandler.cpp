// SPDX-License-Identifier: MIT
// Signal sets, signal names and delivery of handled signals to callbacks,
// from classic handlers or from the handler thread. The class-wide state is
// never destroyed, so a signal that arrives while the process exits still
// finds it intact.
#include "ZySignalHandler.h"

#include "ZyLog.h"
#include "ZyMutex.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <list>
#include <map>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
struct HandlerState {
  HandlerState() {
    sigemptyset(&blocked);
    sigemptyset(&handled);
    names = {{1, "SIGHUP"},   {2, "SIGINT"},    {3, "SIGQUIT"},  {4, "SIGILL"},   {5, "SIGTRAP"},
             {6, "SIGABRT"},  {7, "SIGBUS"},    {8, "SIGFPE"},   {9, "SIGKILL"},  {10, "SIGUSR1"},
             {11, "SIGSEGV"}, {12, "SIGUSR2"},  {13, "SIGPIPE"}, {14, "SIGALRM"}, {15, "SIGTERM"},
             {17, "SIGCHLD"}, {18, "SIGCONT"},  {19, "SIGSTOP"}, {20, "SIGTSTP"}, {21, "SIGTTIN"},
             {22, "SIGTTOU"}, {23, "SIGURG"},   {24, "SIGXCPU"}, {25, "SIGXFSZ"}, {26, "SIGVTALRM"},
             {27, "SIGPROF"}, {28, "SIGWINCH"}, {29, "SIGIO"},   {30, "SIGPWR"}};
    // 6 is both SIGABRT and SIGIOT; the older name is the one shown.
    names[6] = "SIGIOT";
  }
  // Guards the sets and the callback list. Dispatch copies the list under
  // it and calls the callbacks outside it.
  ZyMutex lock;
  sigset_t blocked;
  sigset_t handled;
  std::list<ZyFunctor1<int> *> callbacks;
  std::map<int, std::string> names;
  ZySignalHandler *handler = nullptr;
};

// What the crash handler sends to a device before the process dies: a
// prebuilt packet in static storage, published by its length.
const size_t CRASH_PACKET_MAX = 32;
char gCrashPacket[CRASH_PACKET_MAX];
std::atomic<int> gCrashFd{-1};
std::atomic<size_t> gCrashLength{0};

void installFaultHandler(int sig, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // The default action is back in place as the handler starts, and the
  // signal is not held back while it runs, so raising it again ends the
  // process by it at once.
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigaction(sig, &action, nullptr);
}

void installFaultHandlers(void (*handler)(int)) {
  for (int sig : {SIGSEGV, SIGFPE, SIGBUS, SIGILL})
    installFaultHandler(sig, handler);
}

HandlerState &state() {
  static HandlerState &s = *new HandlerState;
  return s;
}

void commonSignals(sigset_t *set) {
  sigemptyset(set);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGPIPE);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGTERM);
}

// The state lock is taken through a ZyMutex::Scope: a classic handler that
// interrupts its own thread while it holds the lock gets an error instead
// of a deadlock, goes on without it and gives nothing back.
} // namespace

ZySignalHandler::ZySignalHandler() {
  setThreadName("ZySignalHandler");
}

void ZySignalHandler::createHandlerNonThreaded() {
  installFaultHandlers(&ZySignalHandler::faultCB);
  ZyMutex::Scope stateScope(state().lock);
  sigset_t blocked = state().blocked;
  sigset_t handled = state().handled;
  stateScope.release();
  for (int sig = 1; sig <= 30; ++sig) {
    if (sigismember(&blocked, sig) == 1)
      signal(sig, SIG_IGN);
    if (sigismember(&handled, sig) == 1)
      signal(sig, &ZySignalHandler::signalCB);
  }
}

void ZySignalHandler::createHandlerThreaded() {
  installFaultHandlers(&ZySignalHandler::faultCB);
  getHandler()->create(false, true);
}

void ZySignalHandler::blockCommon() {
  ZyMutex::Scope stateScope(state().lock);
  commonSignals(&state().blocked);
}

void ZySignalHandler::unblockAll() {
  ZyMutex::Scope stateScope(state().lock);
  sigemptyset(&state().blocked);
}

void ZySignalHandler::block(int sig) {
  ZyMutex::Scope stateScope(state().lock);
  sigaddset(&state().blocked, sig);
}

void ZySignalHandler::unblock(int sig) {
  ZyMutex::Scope stateScope(state().lock);
  sigdelset(&state().blocked, sig);
}

void ZySignalHandler::handle(int sig) {
  ZyMutex::Scope stateScope(state().lock);
  sigdelset(&state().blocked, sig);
  sigaddset(&state().handled, sig);
}

void ZySignalHandler::unhandle(int sig) {
  ZyMutex::Scope stateScope(state().lock);
  sigdelset(&state().handled, sig);
}

bool ZySignalHandler::isBlocked(int sig) {
  ZyMutex::Scope stateScope(state().lock);
  return sigismember(&state().blocked, sig) == 1;
}

bool ZySignalHandler::isHandled(int sig) {
  ZyMutex::Scope stateScope(state().lock);
  return sigismember(&state().handled, sig) == 1;
}

void ZySignalHandler::addHandler(ZyFunctor1<int> *func, int position) {
  if (position != FIRST && position != LAST) {
    ZyLog::log(ZyLog::Terse, "ZySignalHandler::addHandler: Invalid position.");
    return;
  }
  ZyMutex::Scope stateScope(state().lock);
  if (position == FIRST)
    state().callbacks.push_front(func);
  else
    state().callbacks.push_back(func);
}

void ZySignalHandler::delHandler(ZyFunctor1<int> *func) {
  ZyMutex::Scope stateScope(state().lock);
  state().callbacks.remove(func);
}

size_t ZySignalHandler::numHandlers() {
  ZyMutex::Scope stateScope(state().lock);
  return state().callbacks.size();
}

ZySignalHandler *ZySignalHandler::getHandler() {
  ZyMutex::Scope stateScope(state().lock);
  if (state().handler == nullptr)
    state().handler = new ZySignalHandler;
  return state().handler;
}

void ZySignalHandler::blockCommonThisThread() {
  sigset_t set;
  commonSignals(&set);
  pthread_sigmask(SIG_SETMASK, &set, nullptr);
}

void ZySignalHandler::blockAllThisThread() {
  sigset_t set;
  sigfillset(&set);
  pthread_sigmask(SIG_SETMASK, &set, nullptr);
}

const char *ZySignalHandler::signalName(int sig) {
  const std::map<int, std::string> &names = state().names;
  auto it = names.find(sig);
  return it == names.end() ? "" : it->second.c_str();
}

void ZySignalHandler::logThread() {
  ZyMutex::Scope stateScope(state().lock);
  ZySignalHandler *handler = state().handler;
  stateScope.release();
  if (handler != nullptr)
    handler->logThreadInfo();
  else
    ZyLog::log(ZyLog::Normal, "No signal handler thread running");
}

void ZySignalHandler::signalCB(int sig) {
  ZyLog::log(ZyLog::Verbose, "ZySignalHandler::runThread: Received signal '%s' Number %d ",
             signalName(sig), sig);
  ZyMutex::Scope stateScope(state().lock);
  std::vector<ZyFunctor1<int> *> callbacks(state().callbacks.begin(), state().callbacks.end());
  stateScope.release();
  if (callbacks.empty()) {
    ZyLog::log(ZyLog::Terse,
               "ZySignalHandler::runThread: No handler function. Unhandled signal '%s' Number %d",
               signalName(sig), sig);
    return;
  }
  for (ZyFunctor1<int> *func : callbacks)
    func->invoke(sig);
}

void ZySignalHandler::setCrashPacket(int fd, const char *bytes, size_t length) {
  gCrashLength.store(0);
  if (fd < 0 || bytes == nullptr || length == 0 || length > CRASH_PACKET_MAX) {
    gCrashFd.store(-1);
    return;
  }
  gCrashFd.store(fd);
  memcpy(gCrashPacket, bytes, length);
  gCrashLength.store(length);
}

void ZySignalHandler::clearCrashPacket() {
  gCrashLength.store(0);
  gCrashFd.store(-1);
}

void ZySignalHandler::faultCB(int sig) {
  // The process may have faulted anywhere, with any lock held, inside the
  // allocator too: only async-signal-safe calls on static data from here.
  const char *text = "Zyla: Fatal error (signal). Exiting.\n";
  switch (sig) {
  case SIGSEGV:
    text = "Zyla: Fatal error (SIGSEGV). Exiting.\n";
    break;
  case SIGFPE:
    text = "Zyla: Fatal error (SIGFPE). Exiting.\n";
    break;
  case SIGBUS:
    text = "Zyla: Fatal error (SIGBUS). Exiting.\n";
    break;
  case SIGILL:
    text = "Zyla: Fatal error (SIGILL). Exiting.\n";
    break;
  default:
    break;
  }
  ssize_t ignored = write(2, text, strlen(text));
  size_t length = gCrashLength.load();
  int fd = gCrashFd.load();
  if (length > 0 && fd >= 0)
    ignored = write(fd, gCrashPacket, length);
  (void)ignored;
  // The default action is in place again (SA_RESETHAND); end by the signal
  // so the failure shows in the process's status.
  signal(sig, SIG_DFL);
  raise(sig);
}

void *ZySignalHandler::runThread(void *) {
  threadStarted();
  while (getRunningWithLock()) {
    ZyMutex::Scope stateScope(state().lock);
    sigset_t mask = state().blocked;
    sigset_t handled = state().handled;
    stateScope.release();
    for (int sig = 1; sig < NSIG; ++sig)
      if (sigismember(&handled, sig) == 1)
        sigaddset(&mask, sig);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    int sig = 0;
    if (sigwait(&handled, &sig) != 0) {
      ZyLog::log(ZyLog::Terse, "ZySignalHandler::runThread: Could not wait for signals; signal "
                               "handler thread ends.");
      break;
    }
    signalCB(sig);
  }
  return nullptr;
}

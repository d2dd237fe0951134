// SPDX-License-Identifier: MIT
// ZySignalHandler: the process's signal machinery. It decides which signals
// are blocked, ignored or handled, names them, and delivers handled signals
// to a list of callbacks, either from classic signal handlers or from a
// dedicated thread that waits for them. All operations are class-wide; the
// one object is the handler thread itself.
#ifndef ZYSIGNALHANDLER_H
#define ZYSIGNALHANDLER_H

#include "ZyASyncTask.h"
#include "ZyFunctor.h"

#include <cstddef>

class ZySignalHandler : public ZyASyncTask {
public:
  /// Positions for addHandler.
  enum Position { FIRST = 1, LAST = 2 };

  /// Installs classic handlers: the crash handler for SIGSEGV, SIGFPE,
  /// SIGBUS and SIGILL, then
  /// for signals 1 to 30 "ignore" for blocked ones and the dispatch for
  /// handled ones.
  static void createHandlerNonThreaded();
  /// Installs the crash handler for SIGSEGV, SIGFPE, SIGBUS and SIGILL and
  /// starts the detached
  /// handler thread that waits for the handled signals.
  static void createHandlerThreaded();

  /// The blocked set becomes exactly the common signals (SIGHUP, SIGPIPE,
  /// SIGINT, SIGQUIT, SIGTERM).
  static void blockCommon();
  static void unblockAll();
  static void block(int sig);
  static void unblock(int sig);
  /// Moves a signal from the blocked set to the handled set.
  static void handle(int sig);
  static void unhandle(int sig);
  static bool isBlocked(int sig);
  static bool isHandled(int sig);

  /// Adds a callback taking the signal number, first (FIRST) or last
  /// (LAST); any other position is refused with a log line.
  static void addHandler(ZyFunctor1<int> *func, int position);
  /// Removes every entry of the callback (it is not deleted).
  static void delHandler(ZyFunctor1<int> *func);
  /// Number of registered callbacks.
  static size_t numHandlers();

  /// The handler thread object, created on first use.
  static ZySignalHandler *getHandler();
  /// The calling thread's mask becomes exactly the common signals.
  static void blockCommonThisThread();
  /// The calling thread's mask becomes all signals.
  static void blockAllThisThread();
  /// The name of a signal number; the empty text for unknown numbers.
  static const char *signalName(int sig);
  /// Logs the handler thread's information, or that none runs.
  static void logThread();

  /// Delivers one signal to the callbacks in list order.
  static void signalCB(int sig);

  void *runThread(void *arg) override;

  /// A packet (at most 32 bytes) the crash handler writes to fd before the
  /// process dies, such as a robot's stop command; copied. Replaces any
  /// earlier one.
  static void setCrashPacket(int fd, const char *bytes, size_t length);
  static void clearCrashPacket();

private:
  ZySignalHandler();
  /// Handler for SIGSEGV, SIGFPE, SIGBUS and SIGILL: writes one fixed
  /// message to standard error and the crash packet, if any, then ends the
  /// process by the signal. It neither allocates, nor locks, nor logs, nor
  /// runs callbacks: the fault may have struck inside any of them.
  static void faultCB(int sig);
};

#endif

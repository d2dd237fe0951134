// ZySignalHandler: the process's signal machinery. It decides which signals
// are blocked, ignored or handled, names them, and delivers handled signals
// to a list of callbacks, either from classic signal handlers or from a
// dedicated thread that waits for them. All operations are class-wide; the
// one object is the handler thread itself.
#ifndef ZYSIGNALHANDLER_H
#define ZYSIGNALHANDLER_H

#include "ZyASyncTask.h"
#include "ZyFunctor.h"

class ZySignalHandler : public ZyASyncTask {
public:
  /// Positions for addHandler.
  enum Position { FIRST = 1, LAST = 2 };

  /// Installs classic handlers: the dispatch for SIGSEGV and SIGFPE, then
  /// for signals 1 to 30 "ignore" for blocked ones and the dispatch for
  /// handled ones.
  static void createHandlerNonThreaded();
  /// Installs the dispatch for SIGSEGV and SIGFPE and starts the detached
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

private:
  ZySignalHandler();
  /// Classic handler for SIGSEGV and SIGFPE: the callbacks run once, then
  /// the signal's default action ends the process.
  static void faultCB(int sig);
};

#endif

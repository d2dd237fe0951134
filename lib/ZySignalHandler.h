// ZySignalHandler: the process's signal machinery. It decides which signals
// are blocked, ignored or handled, names them, and delivers handled signals
// to a list of callbacks.
#ifndef ZYSIGNALHANDLER_H
#define ZYSIGNALHANDLER_H

class ZySignalHandler {
public:
  /// The calling thread's mask becomes exactly the common signals (SIGHUP,
  /// SIGPIPE, SIGINT, SIGQUIT, SIGTERM).
  static void blockCommonThisThread();
  /// The calling thread's mask becomes all signals.
  static void blockAllThisThread();
};

#endif

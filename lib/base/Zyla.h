// SPDX-License-Identifier: MIT
// Zyla: the library's process-wide state and life cycle. It initialises
// signal handling, the library directory and the default argument sources,
// keeps the robot list and the start-up, shut-down and exit callbacks, and
// ends the process either by an orderly shut-down of all threads or by an
// exit that runs the exit callbacks first.
#ifndef ZYLA_H
#define ZYLA_H

#include <list>
#include <string>

class ZyConfig;
class ZyFunctor;
class ZyRobot;

class Zyla {
public:
  enum SigHandleMethod { SIGHANDLE_SINGLE = 0, SIGHANDLE_THREAD = 1, SIGHANDLE_NONE = 2 };

  /// Initialises the library; a second call does nothing. The environment
  /// variable ZYLA_SIGHANDLE_METHOD ("NONE", "SINGLE", "THREAD") overrides
  /// the method.
  static void init(SigHandleMethod method = SIGHANDLE_THREAD, bool initSockets = true,
                   bool sigHandleExitNotShutdown = true);
  /// Stops and joins all threads and runs the uninit callbacks; the process
  /// goes on. Runs at most once.
  static void shutdown();
  /// Runs the exit callbacks and ends the process with the code. A call
  /// made while an exit is already under way returns at once.
  static void exit(int exitCode = 0);

  /// Adds an exit callback; higher positions run first, and among equal
  /// positions the one added last runs first.
  static void addExitCallback(ZyFunctor *func, int position = 50);
  /// Removes every entry of an exit callback (it is not deleted), for
  /// owners that go away before the process ends.
  static void remExitCallback(ZyFunctor *func);
  /// Position 1 puts the callback in front of the list, any other at its
  /// end.
  static void addInitCallBack(ZyFunctor *func, int position);
  static void addUninitCallBack(ZyFunctor *func, int position);

  /// Sets the library directory (a "/" is appended unless it ends in "/"
  /// or a backslash) and makes it the base directory of the process-wide
  /// configuration; nullptr changes nothing.
  static void setDirectory(const char *directory);
  static const char *getDirectory();
  /// The process-wide configuration registry.
  static ZyConfig *getConfig();
  static bool getRunning();
  static bool getSigHandleExitNotShutdown();

  // The library knows robots only as pointers: the robot layer sits above
  // this one, and tells it how to name a robot and how to stop one.
  static void addRobot(ZyRobot *robot);
  static void delRobot(ZyRobot *robot);
  /// The registered robot whose object name equals name, or nullptr; needs
  /// the robot layer's name function (set when the first robot is made).
  static ZyRobot *findRobot(const char *name);
  /// The registered robots themselves, for callers that keep to one
  /// thread; the list is read and changed under the library's state lock,
  /// which this pointer does not hold. Inside the library use copyRobotList.
  static std::list<ZyRobot *> *getRobotList();
  /// A copy of the registered robots, taken under the state lock.
  static std::list<ZyRobot *> copyRobotList();
  /// How findRobot reads a robot's name.
  typedef const char *(*RobotNameFunction)(ZyRobot *robot);
  static void setRobotNameFunction(RobotNameFunction function);
  /// Callbacks run, in the order added, when SIGHUP, SIGINT or SIGTERM
  /// begins a shut-down: each registered robot joins with its stop and
  /// disconnect, so a connected controller is told the client is gone.
  static void addSignalStopCallback(ZyFunctor *callback);
  static void remSignalStopCallback(ZyFunctor *callback);

  /// The library's reaction to a handled signal (registered with
  /// ZySignalHandler by init). With sigHandleExitNotShutdown the process
  /// ends with 128 + the signal number after the exit callbacks; during a
  /// critical section the signal only becomes a stop request.
  static void signalHandlerCB(int sig);
  /// The terminating signal this process received (the first one), or 0.
  /// Set before the exit callbacks run, so they can tell a run ended by a
  /// signal; also set by a stop request.
  static int signalReceived();
  /// The signal of a stop request: a terminating signal that came during a
  /// critical section. Once the section is done, the library's running flag
  /// is cleared and the work in hand is expected to wind up and end the
  /// process with exitStatusForSignal. 0 when none.
  static int stopRequest();
  /// While a waker is set, a terminating signal that would end the process
  /// at once (outside a critical section, with sigHandleExitNotShutdown)
  /// becomes a stop request instead: the thread that owns the work, such as
  /// one waiting for operator input, winds the run up itself. The waker is
  /// called on the signal's thread after the notice, to wake that thread;
  /// it must not block.
  /// nullptr: such signals end the process at once again.
  static void setStopWaker(void (*waker)());
  /// A function run on the reacting thread before each notice of a
  /// terminating signal ("Zyla: Received signal ..."), for example to end a
  /// line left open on the screen; it must not block. nullptr: none.
  static void setSignalNoticeHook(void (*hook)());
  /// The exit status of a run ended by a signal: 128 + its number.
  static int exitStatusForSignal(int sig) { return 128 + sig; }
};

#endif

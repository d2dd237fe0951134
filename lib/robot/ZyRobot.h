// SPDX-License-Identifier: MIT
// ZyRobot: the library's robot object. It connects to the controller over a
// device connection with the SYNC handshake, takes the controller's identity,
// loads the robot parameter set for its subtype, optionally switches the
// serial speed, sends commands, and ends the connection normally, on
// failure, on error or by cancellation. Once connected it is driven by its
// cycle: a task tree run once per cycle, whose first task reads the
// controller's packets and hands them to the packet handlers.
//
// Threads and locks. The cycle runs on its own thread (or the caller's);
// clients, the library's exit callback and its signal thread call in from
// others. Three locks keep them apart:
//  - the robot lock serialises connection and cycle: the whole of
//    blockingConnect, every handshake step, the dispatch of each packet,
//    the tasks from "Robot Locker" to "Robot Unlocker", the transitions
//    (made, failed, lost, disconnect) and the task tree and callback lists;
//  - the receive lock is held by every reader of the device and by whoever
//    closes it: the handshake (for the whole of blockingConnect and for
//    each asynchronous step), the packet handler task while it reads one
//    packet, and disconnect, loseConnection and failConnection around the
//    close. So there is one reader of the device at a time, and nobody
//    closes it under a reader, whoever the caller is. The packet handler
//    task copies each packet out of the receiver before it lets the lock
//    go, and drops the copy undispatched when a handshake began meanwhile.
//    A lock rather than handing connect and disconnect to the cycle:
//    blockingConnect, disconnect and the exit callback have to work the
//    same with or without a running cycle (the utility never runs one);
//  - the sending lock is held for each command written: every com*
//    operation and the handshake's own untraced sends, so that commands
//    from several threads never interleave and the sender's one reused
//    packet is filled by one thread at a time.
// Lock order: robot lock, then receive lock, then sending lock. A thread
// may take a later lock while holding an earlier one, never the other way:
// the packet handler task reads under the receive lock alone and takes the
// robot lock for the dispatch only after giving the receive lock back, and
// nothing is taken while the sending lock is held. Client callbacks and
// packet handlers run under the robot lock (and, within the handshake,
// the receive lock): they may send commands and call the robot's
// operations, but must not wait for another thread that needs these locks.
#ifndef ZYROBOT_H
#define ZYROBOT_H

#include "ZyCondition.h"
#include "ZyFunctor.h"
#include "ZyRobotHandshake.h"
#include "ZyRobotLock.h"
#include "ZyRobotPacket.h"
#include "ZyRobotPacketReceiver.h"
#include "ZyRobotPacketSender.h"
#include "ZySyncLoop.h"
#include "ZyTime.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <string>

class ZyDeviceConnection;
class ZyRobotConfigPacketReader;
class ZyRobotParams;
class ZySyncTask;

class ZyRobot {
public:
  /// Positions for the callback and handler lists.
  enum ListPos { FIRST = 1, LAST = 2 };
  /// Results of connectStep.
  enum ConnectResult { CONNECT_NOT_DONE = 0, CONNECT_DONE = 1, CONNECT_FAILED = 2 };
  /// Results of waitForConnect, waitForConnectOrConnFail and waitForRunExit.
  enum WaitResult {
    WAIT_CONNECTED = 0,
    WAIT_FAILED_CONN = 1,
    WAIT_RUN_EXIT = 2,
    WAIT_TIMEDOUT = 3,
    WAIT_INTR = 4,
    WAIT_FAIL = 5,
    /// stopRunning was called while waiting for a connection.
    WAIT_STOPPED = 6
  };

  typedef ZyRetFunctor1<bool, ZyRobotPacket *> PacketHandler;

  /// name: the object's name, or nullptr to form one from the library's
  /// robot list; the second flag is not used; addToLibrary registers the
  /// robot with Zyla; doInit installs the robot's own packet handlers and
  /// its task tree; addExitCallback registers "ZyRobotExit" with the
  /// library's exit callbacks at position 0.
  ZyRobot(const char *name = nullptr, bool notUsed = true, bool addToLibrary = true,
          bool doInit = true, bool addExitCallback = true);
  virtual ~ZyRobot();

  const char *getName() const { return myName.c_str(); }
  void setName(const char *name);

  /// Attaches the device to the robot, its sender and its receiver; the
  /// device is not owned.
  void setDeviceConnection(ZyDeviceConnection *connection);
  ZyDeviceConnection *getDeviceConnection() const { return myConn; }

  /// Runs the whole handshake under the robot lock and the receive lock;
  /// true when connected. Safe while the cycle runs: the cycle reads
  /// nothing meanwhile.
  bool blockingConnect();
  /// One step of the handshake: CONNECT_NOT_DONE, CONNECT_DONE or
  /// CONNECT_FAILED.
  int connectStep(bool tryHarder);
  /// Starts the handshake inside the robot cycle, one connectStep(false)
  /// per cycle; false when the cycle is not running or when connected.
  bool asyncConnect();
  /// Ends a made connection with CLOSE and closes the device; true at once
  /// when neither connected nor stabilizing.
  bool disconnect();
  /// Forgets the connection without sending anything; the device stays
  /// open.
  void cancelConnection();
  void failConnection();
  void completeConnection();
  void beginStabilizing();
  void loseConnection();

  bool isConnected() const { return myIsConnected; }
  bool isStabilizing() const { return myIsStabilizing; }
  bool isBlockingConnectRunning() const { return myBlockingConnectRun; }
  ZyRobotHandshake::State getConnectState() const { return myHandshake.getState(); }

  // The robot cycle.
  /// Runs the cycle in the calling thread until it is stopped (or, with
  /// stopRunIfNotConnected, until a cycle leaves the robot not connected).
  void run(bool stopRunIfNotConnected);
  /// The same in a thread of its own.
  void runAsync(bool stopRunIfNotConnected);
  /// True while a run of the cycle is under way.
  bool isRunning() const;
  /// Stops the cycle and, with doDisconnect, waits for the run to end and
  /// disconnects a connected or stabilizing robot; wakes every waiting
  /// thread.
  void stopRunning(bool doDisconnect = true);
  /// Runs the task tree once and counts the cycle.
  void loopOnce();
  /// Number of cycles so far.
  unsigned int getCounter() const { return myCounter; }
  /// Hands a packet to the packet handlers (0xFF, the controller's reset,
  /// loses the connection instead); true when a handler took it.
  bool handlePacket(ZyRobotPacket *packet);

  // Waits; msecs 0 waits without limit. Results are WaitResult values.
  /// WAIT_CONNECTED only when connected; WAIT_STOPPED when stopRunning is
  /// called meanwhile.
  int waitForConnect(unsigned int msecs = 0);
  /// As waitForConnect, and WAIT_FAILED_CONN when the last connection
  /// attempt failed: a failure stays visible, also to a wait that begins
  /// after it, until the next blockingConnect or asyncConnect.
  int waitForConnectOrConnFail(unsigned int msecs = 0);
  /// WAIT_RUN_EXIT once the run has ended (a stop waits for the end).
  int waitForRunExit(unsigned int msecs = 0);

  // The task tree. Change it while holding the robot lock, or while the
  // cycle does not run.
  ZySyncTask *getSyncTaskRoot() const { return mySyncTaskRoot; }
  bool addSensorInterpTask(const char *name, int position, ZyFunctor *functor,
                           int *state = nullptr);
  void remSensorInterpTask(const char *name);
  void remSensorInterpTask(ZyFunctor *functor);
  bool addUserTask(const char *name, int position, ZyFunctor *functor, int *state = nullptr);
  void remUserTask(const char *name);
  void remUserTask(ZyFunctor *functor);
  ZySyncTask *findUserTask(const char *name);
  ZySyncTask *findUserTask(ZyFunctor *functor);
  ZySyncTask *findTask(const char *name);
  ZySyncTask *findTask(ZyFunctor *functor);
  /// Log the "User Tasks" subtree, or the whole tree, at Terse.
  void logUserTasks();
  void logAllTasks();

  /// With the receive trace on, the packet handler task logs each packet
  /// it reads and the time it took; switching it on restarts its count.
  void setPacketsReceivedTracking(bool on);
  bool getPacketsReceivedTracking() const { return myLogReceived; }
  /// The time of the last motor status packet (IDs 0x32, 0x33); read under
  /// the robot lock, since the cycle sets it.
  ZyTime getLastStatusPacketTime();

  // Commands, forwarded to the sender under the sending lock; traced while
  // the send trace is on.
  bool com(uint8_t command);
  bool comInt(uint8_t command, int16_t argument);
  bool com2Bytes(uint8_t command, int8_t high, int8_t low);
  bool comStr(uint8_t command, const char *argument);
  bool comStrN(uint8_t command, const char *str, int size);
  void setPacketsSentTracking(bool on) { myLogSent = on; }
  bool getPacketsSentTracking() const { return myLogSent; }

  // Callback lists: position FIRST or LAST, anything else is refused.
  void addPacketHandler(PacketHandler *functor, int position = LAST);
  void remPacketHandler(PacketHandler *functor);
  void addStabilizingCB(ZyFunctor *functor, int position = LAST);
  void remStabilizingCB(ZyFunctor *functor);
  void addConnectCallback(ZyFunctor *functor, int position = LAST);
  void remConnectCallback(ZyFunctor *functor);
  void addFailedCallback(ZyFunctor *functor, int position = LAST);
  void remFailedCallback(ZyFunctor *functor);
  void addDisconnectNormallyCB(ZyFunctor *functor, int position = LAST);
  void remDisconnectNormallyCB(ZyFunctor *functor);
  void addDisconnectOnErrorCB(ZyFunctor *functor, int position = LAST);
  void remDisconnectOnErrorCB(ZyFunctor *functor);
  void addRunExitCB(ZyFunctor *functor, int position = LAST);
  void remRunExitCB(ZyFunctor *functor);

  // Velocity limits.
  bool setTransVelMax(double vel);
  bool setRotVelMax(double vel);
  bool setAbsoluteMaxTransVel(double maxVel);
  bool setAbsoluteMaxRotVel(double maxVel);
  void setTransAccel(double acc) { myTransAccel = acc; }
  void setTransDecel(double dec);
  void setRotAccel(double acc) { myRotAccel = acc; }
  void setRotDecel(double dec);
  double getTransVelMax() const { return myTransVelMax; }
  double getRotVelMax() const { return myRotVelMax; }
  double getAbsoluteMaxTransVel() const { return myAbsoluteMaxTransVel; }
  double getAbsoluteMaxRotVel() const { return myAbsoluteMaxRotVel; }
  double getTransAccel() const { return myTransAccel; }
  double getTransDecel() const { return myTransDecel; }
  double getRotAccel() const { return myRotAccel; }
  double getRotDecel() const { return myRotDecel; }

  // Identity reported by the controller in the SYNC2 reply.
  const char *getRobotName() const { return myRobotName.c_str(); }
  const char *getRobotType() const { return myRobotType.c_str(); }
  const char *getRobotSubType() const { return myRobotSubType.c_str(); }

  // Parameter sets.
  const ZyRobotParams *getRobotParams() const { return myParams; }
  /// Go on with the generic set when the subtype is unknown and no
  /// parameter file was found.
  void setGoOnWithoutParams(bool goOn) { myGoOnWithoutParams = goOn; }
  bool getGoOnWithoutParams() const { return myGoOnWithoutParams; }
  /// Replaces the parameter set by a generic one read from the file.
  bool loadParamFile(const char *file);
  /// Ask the controller for IO and encoder packets when parameters load.
  void setRequestIOPackets(bool request) { myRequestIOPackets = request; }
  void setRequestEncoderPackets(bool request) { myRequestEncoderPackets = request; }

  // Sonar placement applied from the parameter set.
  int getNumSonar() const { return myNumSonar; }
  bool haveSonar(int number) const { return mySonars.count(number) != 0; }
  int getSonarX(int number) const;
  int getSonarY(int number) const;
  int getSonarTh(int number) const;

  /// The reader of the controller's CONFIG packet of this handshake.
  const ZyRobotConfigPacketReader *getOrigRobotConfig() const { return myOrigConfig; }

  // Timing of the handshake and the cycle.
  void setCycleTime(unsigned int ms) { myCycleTime = ms; }
  /// Chained, a connected robot's cycle follows the controller's status
  /// packets instead of sleeping out the cycle time.
  void setCycleChained(bool chained) { myCycleChained = chained; }
  bool isCycleChained() const { return myCycleChained; }
  unsigned int getCycleTime() const { return myCycleTime; }
  void setCycleWarningTime(unsigned int ms) { myCycleWarningTime = ms; }
  unsigned int getCycleWarningTime() const { return myCycleWarningTime; }
  void setConnectionCycleMultiplier(unsigned int multiplier) {
    myConnectionCycleMultiplier = multiplier;
  }
  unsigned int getConnectionCycleMultiplier() const { return myConnectionCycleMultiplier; }
  void setConnectionTimeoutTime(int ms) { myConnectionTimeoutTime = ms < 0 ? 0 : ms; }
  int getConnectionTimeoutTime() const { return myConnectionTimeoutTime; }
  void setStabilizingTime(int ms) { myStabilizingTime = ms < 0 ? 0 : ms; }
  int getStabilizingTime() const { return myStabilizingTime; }
  /// Set by every connection step, disconnect and cancellation so that the
  /// cycle does not warn about their long steps; cleared by the cycle.
  bool getNoTimeWarningThisCycle() const { return myNoTimeWarningThisCycle; }
  void setNoTimeWarningThisCycle(bool noWarning) { myNoTimeWarningThisCycle = noWarning; }

  /// The time of the last packet from the controller.
  ZyTime getLastPacketTime();

  // The robot lock, which serialises connection and cycle.
  int lock();
  int tryLock();
  int unlock();

  ZyRobot(const ZyRobot &) = delete;
  ZyRobot &operator=(const ZyRobot &) = delete;

private:
  friend class ZySyncLoop;
  friend class ZyRobotHandshake;
  typedef std::list<ZyFunctor *> CallbackList;

  /// Builds the task tree and installs the robot's own packet handlers.
  void initCycle();
  /// One pass of the task tree, and the deletion of tasks that asked to be
  /// removed during it.
  void runTaskTree();
  void incCounter() { myCounter++; }
  /// Called by the loop just before it marks the run as ended: until
  /// runExited has called the run-exit callbacks, a run-exit wait goes on.
  void runExiting() { myInRunExit = true; }
  /// Called by the loop once it has been left: calls the run-exit callbacks
  /// outside the lock when asked, then wakes the run-exit waiters.
  void runExited(bool callCallbacks);
  /// Removes a task of a branch, deferring the deletion of one that is
  /// running right now to the end of the pass.
  void removeTask(ZySyncTask *task);
  /// Wakes the waiters of a condition.
  void wake(ZyCondition &cond);
  /// The common wait: until outcome() gives a result (>= 0), stopRunning is
  /// called (when stopEnds), or msecs pass.
  int waitOn(ZyCondition &cond, unsigned int msecs, int (ZyRobot::*outcome)() const, bool stopEnds);
  int connectedOutcome() const { return myIsConnected ? WAIT_CONNECTED : -1; }
  int connectedOrFailedOutcome() const;
  /// The run has ended once the loop is left and its run-exit callbacks
  /// are done, so a disconnect after the wait never comes before them.
  int runExitOutcome() const { return isRunning() || myInRunExit ? -1 : WAIT_RUN_EXIT; }

  /// A direct child of the task tree's root, or nullptr.
  ZySyncTask *branch(const char *name) const;
  /// Receives one packet waiting at most msWait ms, traces it when trace
  /// is set (as caught up or as waited for) and dispatches it; its ID, or
  /// -1 when none came.
  int receiveAndDispatch(unsigned int msWait, const ZyTime &start, bool catchingUp, bool trace);

  // The tasks of the tree.
  void packetHandlerTask();
  void robotLockerTask();
  void robotUnlockerTask();
  void actionHandlerTask() {}
  void stateReflectorTask() {}
  unsigned int cycleWarningTimeCB() { return myCycleWarningTime; }
  bool noTimeWarningCB() { return myNoTimeWarningThisCycle; }

  // The robot's own packet handlers.
  bool motorPacketHandler(ZyRobotPacket *packet);
  bool encoderPacketHandler(ZyRobotPacket *packet);
  bool ioPacketHandler(ZyRobotPacket *packet);

  /// Clears the connection flags and replaces the config reader.
  void reset();
  /// The attached device when a serial line with a speed is behind it
  /// (local or across a network), or nullptr.
  ZyDeviceConnection *lineDevice() const;
  /// Untraced sends of the handshake and of disconnect, straight to the
  /// sender or the device.
  bool sendCom(uint8_t command);
  bool sendComInt(uint8_t command, int16_t argument);
  bool sendRaw(const char *bytes, unsigned int size);
  /// Reads params/<stem>.p of dir into the set; true when the file was
  /// there (bad lines are refused one by one).
  bool readParamFile(const std::string &dir, const std::string &stem);
  /// Loads the parameter set for the controller's subtype and name.
  bool loadParamsForRobot();
  /// Copies the sonar placement and absolute maxima from the set.
  void applyParams();
  void addToList(CallbackList &list, ZyFunctor *functor, int position, const char *refusal);
  void invokeList(const CallbackList &list);
  /// The exit callback: ends a made connection before the process ends.
  void robotExit();
  /// Run by the library when a terminating signal begins a shut-down.
  void signalStop();

  std::string myName;
  ZyDeviceConnection *myConn = nullptr;
  ZyRobotPacketSender mySender;
  ZyRobotPacketReceiver myReceiver;
  ZyRobotParams *myParams = nullptr;
  std::string myRobotName;
  std::string myRobotType;
  std::string myRobotSubType;
  ZyRobotConfigPacketReader *myOrigConfig = nullptr;

  std::atomic<bool> myIsConnected{false};
  std::atomic<bool> myIsStabilizing{false};
  std::atomic<bool> myBlockingConnectRun{false};
  std::atomic<bool> myAsyncConnectFlag{false};
  ZyRobotHandshake myHandshake{*this};
  ZyTime myLastPacketTime;

  std::atomic<unsigned int> myCycleTime{100};
  std::atomic<unsigned int> myCycleWarningTime{250};
  std::atomic<unsigned int> myConnectionCycleMultiplier{2};
  std::atomic<int> myConnectionTimeoutTime{8000};
  std::atomic<int> myStabilizingTime{0};
  std::atomic<bool> myNoTimeWarningThisCycle{false};
  std::atomic<bool> myCycleChained{true};
  std::atomic<unsigned int> myCounter{0};
  bool myLogSent = false;
  bool myGoOnWithoutParams = false;
  bool myRequestIOPackets = false;
  bool myRequestEncoderPackets = false;
  bool myAddedToLibrary = false;

  double myTransVelMax = 0;
  double myRotVelMax = 0;
  double myAbsoluteMaxTransVel = 0;
  double myAbsoluteMaxRotVel = 0;
  double myTransAccel = 0;
  double myTransDecel = 0;
  double myRotAccel = 0;
  double myRotDecel = 0;

  struct SonarPlace {
    int x;
    int y;
    int th;
  };
  std::map<int, SonarPlace> mySonars;
  int myNumSonar = 0;

  CallbackList myStabilizingCBList;
  CallbackList myConnectCBList;
  CallbackList myFailedConnectCBList;
  CallbackList myDisconnectNormallyCBList;
  CallbackList myDisconnectOnErrorCBList;
  CallbackList myRunExitCBList;
  std::list<PacketHandler *> myPacketHandlerList;

  ZyRobotLock myLock{"ZyRobot::myMutex"};
  ZyRobotLock myReceiveLock{"ZyRobot::myReceiveMutex"};
  ZyRobotLock mySendLock{"ZyRobot::mySendMutex"};
  ZyCondition myConnectCond;
  ZyCondition myConnOrFailCond;
  ZyCondition myRunExitCond;
  std::atomic<bool> myInRunExit{false}; ///< the run-exit callbacks are under way
  ZyFunctorC<ZyRobot> myRobotExitCB;
  ZyFunctorC<ZyRobot> mySignalStopCB;
  bool myExitCBAdded = false;

  // Moved by every stopRunning, so that a wait sees a stop that ends it.
  std::atomic<unsigned int> myStopCount{0};
  // Set by failConnection, cleared when the next connection begins.
  std::atomic<bool> myConnectFailed{false};
  // Moved by every handshake start (under the robot and receive locks): a
  // packet read before it is not dispatched after it.
  unsigned int myHandshakeCount = 0;
  // The packet the packet handler task dispatches: a copy taken under the
  // receive lock, so that a handshake reusing the receiver's packet cannot
  // change it under the handlers.
  ZyRobotPacket myDispatchPacket;

  // The cycle.
  ZySyncLoop mySyncLoop;
  ZySyncTask *mySyncTaskRoot = nullptr;
  std::list<ZySyncTask *> myTasksToDelete;
  bool myCycleLocked = false;
  ZyFunctorC<ZyRobot> myPacketHandlerCB;
  ZyFunctorC<ZyRobot> myRobotLockerCB;
  ZyFunctorC<ZyRobot> myRobotUnlockerCB;
  ZyFunctorC<ZyRobot> myActionHandlerCB;
  ZyFunctorC<ZyRobot> myStateReflectorCB;
  ZyRetFunctorC<unsigned int, ZyRobot> myWarningTimeCB;
  ZyRetFunctorC<bool, ZyRobot> myNoTimeWarningCB;
  ZyRetFunctor1C<bool, ZyRobot, ZyRobotPacket *> myMotorPacketCB;
  ZyRetFunctor1C<bool, ZyRobot, ZyRobotPacket *> myEncoderPacketCB;
  ZyRetFunctor1C<bool, ZyRobot, ZyRobotPacket *> myIOPacketCB;
  ZyTime myLastStatusPacketTime;

  // The receive trace.
  std::atomic<bool> myLogReceived{false};
  // Set when the trace is switched on; the packet handler task then starts
  // its count and clock afresh, so that only the cycle touches them.
  std::atomic<bool> myReceivedTraceRestart{false};
  long myReceivedCount = 0;
  ZyTime myReceivedTraceStart;
};

#endif

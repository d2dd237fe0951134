// ZyRobot: the library's robot object. It connects to the controller over a
// device connection with the SYNC handshake, takes the controller's identity,
// loads the robot parameter set for its subtype, optionally switches the
// serial speed, sends commands, and ends the connection normally, on
// failure, on error or by cancellation.
#ifndef ZYROBOT_H
#define ZYROBOT_H

#include "ZyCondition.h"
#include "ZyFunctor.h"
#include "ZyMutex.h"
#include "ZyRobotPacketReceiver.h"
#include "ZyRobotPacketSender.h"
#include "ZyTime.h"

#include <cstdint>
#include <list>
#include <map>
#include <string>

class ZyDeviceConnection;
class ZyRobotConfigPacketReader;
class ZyRobotPacket;
class ZyRobotParams;
class ZySerialConnection;

class ZyRobot {
public:
  /// Positions for the callback and handler lists.
  enum ListPos { FIRST = 1, LAST = 2 };
  /// Results of connectStep.
  enum ConnectResult { CONNECT_NOT_DONE = 0, CONNECT_DONE = 1, CONNECT_FAILED = 2 };

  typedef ZyRetFunctor1<bool, ZyRobotPacket *> PacketHandler;

  /// name: the object's name, or nullptr to form one from the library's
  /// robot list; the second flag is not used; addToLibrary registers the
  /// robot with Zyla; doInit sets up the robot's own cycle parts;
  /// addExitCallback registers "ZyRobotExit" with the library's exit
  /// callbacks at position 0.
  ZyRobot(const char *name = nullptr, bool notUsed = true, bool addToLibrary = true,
          bool doInit = true, bool addExitCallback = true);
  virtual ~ZyRobot();

  const char *getName() const { return myName.c_str(); }
  void setName(const char *name);

  /// Attaches the device to the robot, its sender and its receiver; the
  /// device is not owned.
  void setDeviceConnection(ZyDeviceConnection *connection);
  ZyDeviceConnection *getDeviceConnection() const { return myConn; }

  /// Runs the whole handshake under the robot lock; true when connected.
  bool blockingConnect();
  /// One step of the handshake: CONNECT_NOT_DONE, CONNECT_DONE or
  /// CONNECT_FAILED.
  int connectStep(bool tryHarder);
  /// Starts the handshake inside the robot cycle; false while the cycle is
  /// not running (it does not run yet on this robot) or when connected.
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
  int getConnectState() const { return myConnectState; }

  /// Stops the cycle and, with doDisconnect, disconnects a connected or
  /// stabilizing robot; wakes every waiting thread.
  void stopRunning(bool doDisconnect = true);

  // Commands, forwarded to the sender; traced while the send trace is on.
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
  ZyTime getLastPacketTime() const { return myLastPacketTime; }

  // The robot lock, which serialises connection and cycle.
  int lock() { return myMutex.lock(); }
  int tryLock() { return myMutex.tryLock(); }
  int unlock() { return myMutex.unlock(); }

  ZyRobot(const ZyRobot &) = delete;
  ZyRobot &operator=(const ZyRobot &) = delete;

private:
  typedef std::list<ZyFunctor *> CallbackList;

  /// Clears the connection flags and replaces the config reader.
  void reset();
  /// The attached device as a serial connection, or nullptr.
  ZySerialConnection *serialConnection() const;
  /// Receives and discards waiting packets, until none comes or the
  /// step's drain window ends.
  void drainPackets();
  /// Offers every waiting packet to the packet handler list.
  void handleWaitingPackets();
  /// One SYNC exchange (states 0 to 2).
  int syncStep(bool tryHarder);
  /// After the SYNC2 reply: identity, OPEN, parameter set.
  int madeConnection(bool tryHarder, ZyRobotPacket *packet);
  /// State 3; true when it moved on to state 4.
  bool configStep();
  /// State 4; *goOn is set when state 5 follows in the same step.
  int baudStep(bool *goOn);
  int stabilizeStep();
  /// Loads the parameter set for the controller's subtype and name.
  bool loadParamsForRobot();
  /// Copies the sonar placement and absolute maxima from the set.
  void applyParams();
  void addToList(CallbackList &list, ZyFunctor *functor, int position, const char *refusal);
  void invokeList(const CallbackList &list);
  /// The exit callback: ends a made connection before the process ends.
  void robotExit();

  std::string myName;
  ZyDeviceConnection *myConn = nullptr;
  ZyRobotPacketSender mySender;
  ZyRobotPacketReceiver myReceiver;
  ZyRobotParams *myParams = nullptr;
  std::string myRobotName;
  std::string myRobotType;
  std::string myRobotSubType;
  ZyRobotConfigPacketReader *myOrigConfig = nullptr;

  bool myIsConnected = false;
  bool myIsStabilizing = false;
  bool myBlockingConnectRun = false;
  bool myAsyncConnectFlag = false;
  int myConnectState = -1;
  bool mySentBaudChange = false;
  int myStartBaud = 0;
  int myNoPacketCount = 0;
  int mySyncTries = 0;
  ZyTime myDrainDeadline;
  ZyTime myBaudSwitchTime;
  ZyTime myStabilizingStart;
  ZyTime myStartedConnection;
  ZyTime myLastPacketTime;

  unsigned int myCycleTime = 100;
  unsigned int myCycleWarningTime = 250;
  unsigned int myConnectionCycleMultiplier = 2;
  int myConnectionTimeoutTime = 8000;
  int myStabilizingTime = 0;
  bool myNoTimeWarningThisCycle = false;
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

  ZyMutex myMutex;
  ZyCondition myConnectCond;
  ZyCondition myConnOrFailCond;
  ZyCondition myRunExitCond;
  ZyFunctorC<ZyRobot> myRobotExitCB;
  bool myExitCBAdded = false;
};

#endif

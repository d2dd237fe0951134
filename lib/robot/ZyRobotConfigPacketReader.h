// SPDX-License-Identifier: MIT
// ZyRobotConfigPacketReader: asks the controller for its CONFIG packet
// (ID 32) and decodes it into the controller's identity, limits, current
// settings, accessories and PID gains.
#ifndef ZYROBOTCONFIGPACKETREADER_H
#define ZYROBOTCONFIGPACKETREADER_H

#include "ZyFunctor.h"
#include "ZyTime.h"

#include <string>

class ZyRobot;
class ZyRobotPacket;

class ZyRobotConfigPacketReader {
public:
  /// Packet ID of the CONFIG packet.
  static const int CONFIG_PACKET_ID = 32;

  /// Registers the packet handler and the connect callback with the robot.
  ZyRobotConfigPacketReader(ZyRobot *robot, bool onlyOneRequest = false);
  /// Takes the packet handler and the connect callback off the robot.
  ~ZyRobotConfigPacketReader();

  /// Sends the CONFIG request (at most every 200 ms); false once the one
  /// allowed packet has arrived.
  bool requestConfig();
  bool hasConfigBeenRequested() const { return myPacketRequested; }
  bool hasConfigArrived() const { return myPacketArrived; }
  /// Logs the decoded packet at Terse.
  void printConfig() const;

  /// Packet handler: takes a requested CONFIG packet.
  bool packetHandler(ZyRobotPacket *packet);
  /// Connect callback: repeats an outstanding request.
  void connected();

  const char *getType() const { return myType.c_str(); }
  const char *getSubType() const { return mySubType.c_str(); }
  const char *getSerialNumber() const { return mySerialNumber.c_str(); }
  int getRotVelTop() const { return myRotVelTop; }
  int getTransVelTop() const { return myTransVelTop; }
  int getRotAccelTop() const { return myRotAccelTop; }
  int getTransAccelTop() const { return myTransAccelTop; }
  int getPwmMax() const { return myPwmMax; }
  const char *getName() const { return myName.c_str(); }
  int getSipCycleTime() const { return mySipCycleTime; }
  int getHostBaud() const { return myHostBaud; }
  int getAux1Baud() const { return myAux1Baud; }
  bool getHasGripper() const { return myHasGripper; }
  bool getFrontSonar() const { return myFrontSonar; }
  bool getRearSonar() const { return myRearSonar; }
  int getLowBattery() const { return myLowBattery; }
  int getRevCount() const { return myRevCount; }
  int getWatchdog() const { return myWatchdog; }
  bool getNormalMPacs() const { return myNormalMPacs; }
  int getStallVal() const { return myStallVal; }
  int getStallCount() const { return myStallCount; }
  int getJoyVel() const { return myJoyVel; }
  int getJoyRotVel() const { return myJoyRotVel; }
  int getRotVelMax() const { return myRotVelMax; }
  int getTransVelMax() const { return myTransVelMax; }
  int getRotAccel() const { return myRotAccel; }
  int getRotDecel() const { return myRotDecel; }
  int getRotKP() const { return myRotKP; }
  int getRotKV() const { return myRotKV; }
  int getRotKI() const { return myRotKI; }
  int getTransAccel() const { return myTransAccel; }
  int getTransDecel() const { return myTransDecel; }
  int getTransKP() const { return myTransKP; }
  int getTransKV() const { return myTransKV; }
  int getTransKI() const { return myTransKI; }
  int getFrontBumps() const { return myFrontBumps; }
  int getRearBumps() const { return myRearBumps; }
  int getHasCharger() const { return myHasCharger; }
  int getSonarCycle() const { return mySonarCycle; }
  bool getResetBaud() const { return myResetBaud; }
  bool getHasGyro() const { return myHasGyro; }
  int getDriftFactor() const { return myDriftFactor; }
  int getAux2Baud() const { return myAux2Baud; }
  int getAux3Baud() const { return myAux3Baud; }
  int getTicksMM() const { return myTicksMM; }
  int getShutdownVoltage() const { return myShutdownVoltage; }

  ZyRobotConfigPacketReader(const ZyRobotConfigPacketReader &) = delete;
  ZyRobotConfigPacketReader &operator=(const ZyRobotConfigPacketReader &) = delete;

private:
  void decode(ZyRobotPacket *packet);

  ZyRobot *myRobot;
  bool myOnlyOneRequest;
  bool myPacketRequested = false;
  bool myPacketArrived = false;
  ZyTime myLastPacketRequest;
  ZyRetFunctor1C<bool, ZyRobotConfigPacketReader, ZyRobotPacket *> myPacketHandlerCB;
  ZyFunctorC<ZyRobotConfigPacketReader> myConnectedCB;

  std::string myType;
  std::string mySubType;
  std::string mySerialNumber;
  int myRotVelTop = 0;
  int myTransVelTop = 0;
  int myRotAccelTop = 0;
  int myTransAccelTop = 0;
  int myPwmMax = 0;
  std::string myName;
  int mySipCycleTime = 0;
  int myHostBaud = 0;
  int myAux1Baud = 0;
  bool myHasGripper = false;
  bool myFrontSonar = false;
  bool myRearSonar = false;
  int myLowBattery = 0;
  int myRevCount = 0;
  int myWatchdog = 0;
  bool myNormalMPacs = false;
  int myStallVal = 0;
  int myStallCount = 0;
  int myJoyVel = 0;
  int myJoyRotVel = 0;
  int myRotVelMax = 0;
  int myTransVelMax = 0;
  int myRotAccel = 0;
  int myRotDecel = 0;
  int myRotKP = 0;
  int myRotKV = 0;
  int myRotKI = 0;
  int myTransAccel = 0;
  int myTransDecel = 0;
  int myTransKP = 0;
  int myTransKV = 0;
  int myTransKI = 0;
  int myFrontBumps = 0;
  int myRearBumps = 0;
  int myHasCharger = 0;
  int mySonarCycle = 0;
  bool myResetBaud = false;
  bool myHasGyro = false;
  int myDriftFactor = 0;
  int myAux2Baud = 0;
  int myAux3Baud = 0;
  int myTicksMM = 0;
  int myShutdownVoltage = 0;
};

#endif

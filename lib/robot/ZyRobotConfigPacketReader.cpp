// SPDX-License-Identifier: MIT
// CONFIG request, decoding of the CONFIG packet and its printout.
#include "ZyRobotConfigPacketReader.h"

#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyRobotPacket.h"
#include "ZyUtil.h"

namespace {
// Texts of the CONFIG packet are read with this limit, terminator included.
const int TEXT_LIMIT = 256;
// A new request goes out once the last one is this old.
const long REQUEST_INTERVAL_MS = 199;
// Command and argument of the CONFIG request.
const int CONFIG_COMMAND = 18;
} // namespace

ZyRobotConfigPacketReader::ZyRobotConfigPacketReader(ZyRobot *robot, bool onlyOneRequest)
    : myRobot(robot), myOnlyOneRequest(onlyOneRequest),
      myPacketHandlerCB(this, &ZyRobotConfigPacketReader::packetHandler),
      myConnectedCB(this, &ZyRobotConfigPacketReader::connected) {
  myPacketHandlerCB.setName("ZyRobotConfigPacketReader");
  myConnectedCB.setName("ZyRobotConfigPacketReader");
  if (myRobot != nullptr) {
    myRobot->addPacketHandler(&myPacketHandlerCB, ZyRobot::LAST);
    myRobot->addConnectCallback(&myConnectedCB, ZyRobot::LAST);
  }
}

ZyRobotConfigPacketReader::~ZyRobotConfigPacketReader() {
  if (myRobot != nullptr) {
    myRobot->remPacketHandler(&myPacketHandlerCB);
    myRobot->remConnectCallback(&myConnectedCB);
  }
}

bool ZyRobotConfigPacketReader::requestConfig() {
  if (myOnlyOneRequest && myPacketArrived)
    return false;
  if (!myPacketRequested || myLastPacketRequest.msSince() > REQUEST_INTERVAL_MS) {
    myPacketArrived = false;
    myPacketRequested = true;
    myLastPacketRequest.setToNow();
    if (myRobot != nullptr)
      myRobot->comInt(CONFIG_COMMAND, 1);
  }
  return true;
}

void ZyRobotConfigPacketReader::connected() {
  if (myPacketRequested && myRobot != nullptr)
    myRobot->comInt(CONFIG_COMMAND, 1);
}

bool ZyRobotConfigPacketReader::packetHandler(ZyRobotPacket *packet) {
  if (packet == nullptr || packet->getID() != CONFIG_PACKET_ID || !myPacketRequested ||
      myPacketArrived)
    return false;
  myPacketRequested = false;
  myPacketArrived = true;
  decode(packet);
  return true;
}

void ZyRobotConfigPacketReader::decode(ZyRobotPacket *packet) {
  char text[TEXT_LIMIT];
  packet->bufToStr(text, TEXT_LIMIT);
  myType = text;
  packet->bufToStr(text, TEXT_LIMIT);
  mySubType = text;
  packet->bufToStr(text, TEXT_LIMIT);
  mySerialNumber = text;
  packet->bufToUint8(); // not used
  myRotVelTop = packet->bufToUint16();
  myTransVelTop = packet->bufToUint16();
  myRotAccelTop = packet->bufToUint16();
  myTransAccelTop = packet->bufToUint16();
  myPwmMax = packet->bufToUint16();
  packet->bufToStr(text, TEXT_LIMIT);
  myName = text;
  mySipCycleTime = packet->bufToUint8();
  myHostBaud = packet->bufToUint8();
  myAux1Baud = packet->bufToUint8();
  myHasGripper = packet->bufToUint16() != 0;
  myFrontSonar = packet->bufToUint16() != 0;
  myRearSonar = packet->bufToUint8() != 0;
  myLowBattery = packet->bufToUint16();
  myRevCount = packet->bufToUint16();
  myWatchdog = packet->bufToUint16();
  myNormalMPacs = packet->bufToUint8() != 0;
  myStallVal = packet->bufToUint16();
  myStallCount = packet->bufToUint16();
  myJoyVel = packet->bufToUint16();
  myJoyRotVel = packet->bufToUint16();
  myRotVelMax = packet->bufToUint16();
  myTransVelMax = packet->bufToUint16();
  myRotAccel = packet->bufToUint16();
  myRotDecel = packet->bufToUint16();
  myRotKP = packet->bufToUint16();
  myRotKV = packet->bufToUint16();
  myRotKI = packet->bufToUint16();
  myTransAccel = packet->bufToUint16();
  myTransDecel = packet->bufToUint16();
  myTransKP = packet->bufToUint16();
  myTransKV = packet->bufToUint16();
  myTransKI = packet->bufToUint16();
  myFrontBumps = packet->bufToUint8();
  myRearBumps = packet->bufToUint8();
  myHasCharger = packet->bufToUint8();
  mySonarCycle = packet->bufToUint8();
  myResetBaud = packet->bufToUint8() == 2;
  myHasGyro = packet->bufToUint8() == 1;
  myDriftFactor = packet->bufToUint16();
  myAux2Baud = packet->bufToUint8();
  myAux3Baud = packet->bufToUint8();
  myTicksMM = packet->bufToUint16();
  myShutdownVoltage = packet->bufToUint16();
}

void ZyRobotConfigPacketReader::printConfig() const {
  const ZyLog::LogLevel level = ZyLog::Terse;
  ZyLog::log(level, "General information:");
  ZyLog::log(level, "Robot is type '%s' subtype '%s'", myType.c_str(), mySubType.c_str());
  ZyLog::log(level, "serial number '%s' name '%s'", mySerialNumber.c_str(), myName.c_str());
  ZyLog::log(level, "Intrinsic properties and unsettable maxes:");
  ZyLog::log(level, "RotVelTop %d RotAccelTop %d", myRotVelTop, myRotAccelTop);
  ZyLog::log(level, "TransVelTop %d TransAccelTop %d", myTransVelTop, myTransAccelTop);
  ZyLog::log(level, "PWMMax %d ResetBaud %s", myPwmMax, ZyUtil::boolText(myResetBaud));
  ZyLog::log(level, "Current values:");
  ZyLog::log(level, "RotVelMax %d RotAccel %d RotDecel %d", myRotVelMax, myRotAccel, myRotDecel);
  ZyLog::log(level, "TransVelMax %d TransAccel %d TransDecel %d", myTransVelMax, myTransAccel,
             myTransDecel);
  ZyLog::log(level, "Accessories:");
  ZyLog::log(level, "Gripper %s FrontSonar %s RearSonar %s Charger %d Gyro %s",
             ZyUtil::boolText(myHasGripper), ZyUtil::boolText(myFrontSonar),
             ZyUtil::boolText(myRearSonar), myHasCharger, ZyUtil::boolText(myHasGyro));
  ZyLog::log(level, "FrontBumps %d RearBumps %d", myFrontBumps, myRearBumps);
  ZyLog::log(level, "Settings:");
  ZyLog::log(level, "SipCycle %d SonarCycle %d HostBaud %d Aux1Baud %d ", mySipCycleTime,
             mySonarCycle, myHostBaud, myAux1Baud);
  ZyLog::log(level, "StallVal %d StallCount %d RevCount %d Watchdog %d ", myStallVal, myStallCount,
             myRevCount, myWatchdog);
  ZyLog::log(level, "JoyVel %d JoyRVel %d NormalMotorPackets %s ", myJoyVel, myJoyRotVel,
             ZyUtil::boolText(myNormalMPacs));
  ZyLog::log(level, "PID Settings:");
  ZyLog::log(level, "Rot kp %d kv %d ki %d", myRotKP, myRotKV, myRotKI);
  ZyLog::log(level, "Trans kp %d kv %d ki %d", myTransKP, myTransKV, myTransKI);
  ZyLog::log(level, "DriftFactor %d", myDriftFactor);
  ZyLog::log(level, "Aux2Baud setting %d, Aux3Baud setting %d", myAux2Baud, myAux3Baud);
  ZyLog::log(level, "TicksMM: %d", myTicksMM);
  ZyLog::log(level, "Shutdown Voltage: %d", myShutdownVoltage);
}

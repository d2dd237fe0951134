// SPDX-License-Identifier: MIT
// The SYNC handshake: start, the SYNC exchange with its restarts, closing of
// old connections and dislodging of silent controllers, the identity and
// parameter set, the CONFIG packet, the baud switch and stabilizing.
#include "ZyRobotHandshake.h"

#include "ZyDeviceConnection.h"
#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZyRobotPacket.h"
#include "ZyRobotParams.h"
#include "ZyUtil.h"

#include <cstdlib>

namespace {
// Robot protocol commands used by the handshake.
const uint8_t COM_OPEN = 1;
const uint8_t COM_CLOSE = 2;
const uint8_t COM_HOSTBAUD = 50;
// Packet IDs the handshake reacts to.
const int ID_MOTOR_STATUS = 50;
const int ID_SYNC_CONFUSED = 255;
// Replies to SYNC are awaited this long.
const unsigned int SYNC_REPLY_WAIT_MS = 1000;
// Without a CONFIG packet the connection is made from the parameter set
// this long after the SYNC exchange.
const long CONFIG_WAIT_MS = 1000;
// A baud switch not confirmed within this time is undone.
const long BAUD_CONFIRM_MS = 900;
const unsigned int BAUD_REPLY_WAIT_MS = 100;
// Texts of the SYNC2 reply are read with this limit, terminator included.
const int IDENTITY_LIMIT = 512;
const int MAX_SYNC_TRIES = 50;
// Speeds of the CLOSE round that dislodges an old connection.
const int CLOSE_ROUND_BAUDS[] = {9600, 38400, 115200, 19200, 57600};
} // namespace

ZyRobotHandshake::ZyRobotHandshake(ZyRobot &robot) : myRobot(robot) {}

int ZyRobotHandshake::syncNumber() const {
  return static_cast<int>(myState) - static_cast<int>(State::SYNC0);
}

void ZyRobotHandshake::drainPackets(bool dispatch) {
  // Bounded by the step's drain window, so that a controller that keeps
  // sending cannot hold the handshake here; packets still waiting are
  // handled at the next step.
  ZyRobotPacket *packet;
  while (myDrainDeadline.msTo() >= 0 && (packet = myRobot.myReceiver.receivePacket(0)) != nullptr) {
    if (!dispatch)
      continue;
    for (ZyRobot::PacketHandler *handler : myRobot.myPacketHandlerList) {
      if (handler->invokeR(packet))
        break;
      packet->rewindRead();
    }
  }
}

int ZyRobotHandshake::step(bool tryHarder) {
  myDrainDeadline.setToNow();
  myDrainDeadline.addMsec(
      static_cast<long>(myRobot.getCycleTime() * myRobot.getConnectionCycleMultiplier()));
  myRobot.setNoTimeWarningThisCycle(true);

  switch (myState) {
  case State::START:
    return startStep();
  case State::SYNC0:
  case State::SYNC1:
  case State::SYNC2:
    return syncStep(tryHarder);
  default:
    break;
  }

  drainPackets(true);
  if (myState == State::CONFIG && !configStep())
    return ZyRobot::CONNECT_NOT_DONE;
  if (myState == State::BAUD_SWITCH) {
    bool goOn = false;
    int ret = baudStep(&goOn);
    if (!goOn)
      return ret;
  }
  if (myState == State::STABILIZING)
    return stabilizeStep();
  return ZyRobot::CONNECT_NOT_DONE;
}

int ZyRobotHandshake::startStep() {
  mySentBaudChange = false;
  myNoPacketCount = 0;
  mySyncTries = 0;
  myRobot.reset();
  ZyDeviceConnection *conn = myRobot.myConn;
  if (conn == nullptr) {
    ZyLog::log(ZyLog::Terse, "Cannot connect, no connection has been set.");
    myRobot.failConnection();
    return ZyRobot::CONNECT_FAILED;
  }
  if (conn->status() != ZyDeviceConnection::STATUS_OPEN && !conn->openDefault()) {
    ZyLog::log(ZyLog::Terse, "Could not connect, because open on the device connection failed.");
    myRobot.failConnection();
    return ZyRobot::CONNECT_FAILED;
  }
  if (myRobot.lineDevice() != nullptr)
    myRobot.sendRaw("WMS2\r", 5);
  drainPackets(false);
  myState = State::SYNC0;
  return ZyRobot::CONNECT_NOT_DONE;
}

int ZyRobotHandshake::syncStep(bool tryHarder) {
  mySyncTries++;
  ZyLog::log(ZyLog::Normal, "Syncing %d", syncNumber());
  myRobot.sendCom(static_cast<uint8_t>(syncNumber()));
  ZyRobotPacket *packet = myRobot.myReceiver.receivePacket(SYNC_REPLY_WAIT_MS);
  if (packet == nullptr)
    return silentStep();

  int id = packet->getID();
  if (id == ID_MOTOR_STATUS) {
    // A controller still running a previous connection: close it and
    // start the exchange again.
    ZyLog::log(ZyLog::Normal, "Attempting to close previous connection.");
    myRobot.comInt(COM_CLOSE, 1);
    long remaining;
    while ((remaining = myDrainDeadline.msTo()) > 0 &&
           (packet = myRobot.myReceiver.receivePacket(static_cast<unsigned int>(remaining))) !=
               nullptr) {
      ZyLog::log(ZyLog::Verbose, "Got in another packet!");
      if (packet->getID() == ID_MOTOR_STATUS)
        myRobot.comInt(COM_CLOSE, 1);
    }
    myState = State::SYNC0;
  } else if (id == ID_SYNC_CONFUSED) {
    ZyLog::log(ZyLog::Normal, "Attempting to correct syncCount");
    drainPackets(false);
    myState = State::SYNC0;
  } else if (id == syncNumber()) {
    if (myState == State::SYNC2)
      return madeConnection(tryHarder, packet);
    myState = static_cast<State>(static_cast<int>(myState) + 1);
  } else {
    myState = State::SYNC0;
  }

  // The limit holds whatever the controller answered, a confused one
  // included.
  if (mySyncTries > MAX_SYNC_TRIES) {
    myRobot.failConnection();
    return ZyRobot::CONNECT_FAILED;
  }
  return ZyRobot::CONNECT_NOT_DONE;
}

int ZyRobotHandshake::silentStep() {
  ZyLog::log(ZyLog::Normal, "No packet.");
  myNoPacketCount++;
  if ((myNoPacketCount > 5 && myNoPacketCount >= mySyncTries) || myNoPacketCount > 10) {
    ZyLog::log(ZyLog::Terse, "Could not connect, no robot responding.");
    myRobot.failConnection();
    return ZyRobot::CONNECT_FAILED;
  }
  ZyDeviceConnection *line = myRobot.lineDevice();
  if (myNoPacketCount == 2 && myNoPacketCount >= mySyncTries && line != nullptr) {
    ZyLog::log(ZyLog::Normal, "Trying to close possible old connection");
    int oldBaud = line->baudRate();
    for (int baud : CLOSE_ROUND_BAUDS) {
      // A line that cannot run at this speed (a bridge at a fixed one)
      // would carry the CLOSE at the wrong speed: it is left out.
      if (line->setBaud(baud))
        myRobot.comInt(COM_CLOSE, 1);
      ZyUtil::sleepMs(3);
    }
    line->setBaud(oldBaud);
  }
  if (myNoPacketCount > 3) {
    ZyLog::log(ZyLog::Normal, " Robot may be connected but not open, trying to dislodge.");
    myRobot.sendComInt(COM_OPEN, 1);
  }
  myState = State::SYNC0;
  if (mySyncTries > MAX_SYNC_TRIES) {
    myRobot.failConnection();
    return ZyRobot::CONNECT_FAILED;
  }
  return ZyRobot::CONNECT_NOT_DONE;
}

int ZyRobotHandshake::madeConnection(bool tryHarder, ZyRobotPacket *packet) {
  myState = State::CONFIG;
  ZyLog::log(ZyLog::Terse, "Connected to robot.");
  char text[IDENTITY_LIMIT];
  packet->bufToStr(text, IDENTITY_LIMIT);
  myRobot.myRobotName = text;
  ZyLog::log(ZyLog::Normal, "Name: %s", myRobot.myRobotName.c_str());
  packet->bufToStr(text, IDENTITY_LIMIT);
  myRobot.myRobotType = text;
  ZyLog::log(ZyLog::Normal, "Type: %s", myRobot.myRobotType.c_str());
  packet->bufToStr(text, IDENTITY_LIMIT);
  char lower[IDENTITY_LIMIT];
  ZyUtil::toLowerCopy(lower, text, IDENTITY_LIMIT - 1);
  myRobot.myRobotSubType = lower;
  ZyLog::log(ZyLog::Normal, "Subtype: %s", myRobot.myRobotSubType.c_str());
  ZyUtil::sleepMs(myRobot.getCycleTime());
  myRobot.sendComInt(COM_OPEN, 1);
  if (!myRobot.loadParamsForRobot()) {
    myRobot.sendComInt(COM_CLOSE, 1);
    myRobot.failConnection();
    return ZyRobot::CONNECT_FAILED;
  }
  myStartedConnection.setToNow();
  return step(tryHarder);
}

bool ZyRobotHandshake::configStep() {
  ZyRobotConfigPacketReader *config = myRobot.myOrigConfig;
  const ZyRobotParams *params = myRobot.myParams;
  if (!config->hasConfigArrived())
    config->requestConfig();
  bool arrived = config->hasConfigArrived();
  if (!arrived && myStartedConnection.msSince() <= CONFIG_WAIT_MS)
    return false;

  ZyRobot &r = myRobot;
  if (arrived) {
    r.setAbsoluteMaxTransVel(config->getTransVelTop());
    r.setAbsoluteMaxRotVel(config->getRotVelTop());
    r.setTransVelMax(config->getTransVelMax());
    r.setTransAccel(config->getTransAccel());
    r.setTransDecel(config->getTransDecel());
    r.setRotVelMax(config->getRotVelMax());
    r.setRotAccel(config->getRotAccel());
    r.setRotDecel(config->getRotDecel());
  } else {
    r.setAbsoluteMaxTransVel(params->getAbsoluteMaxVelocity());
    r.setAbsoluteMaxRotVel(params->getAbsoluteMaxRotVelocity());
  }

  // Non-zero values of the parameter set override the controller's own.
  if (std::abs(params->getTransVelMax()) > 1)
    r.setTransVelMax(params->getTransVelMax());
  else if (!arrived)
    r.setTransVelMax(params->getAbsoluteMaxVelocity());
  if (std::abs(params->getRotVelMax()) > 1)
    r.setRotVelMax(params->getRotVelMax());
  else if (!arrived)
    r.setRotVelMax(params->getAbsoluteMaxRotVelocity());
  if (std::abs(params->getTransAccel()) > 1)
    r.setTransAccel(params->getTransAccel());
  if (std::abs(params->getTransDecel()) > 1)
    r.setTransDecel(params->getTransDecel());
  if (std::abs(params->getRotAccel()) > 1)
    r.setRotAccel(params->getRotAccel());
  if (std::abs(params->getRotDecel()) > 1)
    r.setRotDecel(params->getRotDecel());

  myState = State::BAUD_SWITCH;
  return true;
}

int ZyRobotHandshake::baudStep(bool *goOn) {
  ZyDeviceConnection *line = myRobot.lineDevice();
  const ZyRobotConfigPacketReader *config = myRobot.myOrigConfig;
  int switchTo = myRobot.myParams->getSwitchToBaudRate();
  // A line at a fixed speed keeps the controller at the speed it has.
  if (!config->hasConfigArrived() || !config->getResetBaud() || line == nullptr ||
      !line->canChangeBaud() || switchTo == 0) {
    if (line != nullptr)
      myStartBaud = line->baudRate();
    myState = State::STABILIZING;
    *goOn = true;
    return ZyRobot::CONNECT_NOT_DONE;
  }

  if (mySentBaudChange) {
    ZyRobotPacket *packet = myRobot.myReceiver.receivePacket(BAUD_REPLY_WAIT_MS);
    myRobot.com(0);
    if (packet == nullptr) {
      if (myBaudSwitchTime.msSince() <= BAUD_CONFIRM_MS)
        return ZyRobot::CONNECT_NOT_DONE;
      ZyLog::log(ZyLog::Verbose, "Controller did not switch to baud, reset to %d baud.",
                 myStartBaud);
      line->setBaud(myStartBaud);
    }
    myState = State::STABILIZING;
    *goOn = true;
    return ZyRobot::CONNECT_NOT_DONE;
  }

  myStartBaud = line->baudRate();
  drainPackets(false);
  static const int BAUDS[] = {9600, 19200, 38400, 57600, 115200};
  int index = -1;
  for (int i = 0; i < 5; i++)
    if (BAUDS[i] == switchTo)
      index = i;
  if (index < 0) {
    ZyLog::log(ZyLog::Normal, "Warning: SwitchToBaud is set to %d baud, ignoring.", switchTo);
    ZyLog::log(ZyLog::Normal, "\tGood bauds are 9600 19200 38400 56800 116200.");
    myState = State::STABILIZING;
    return ZyRobot::CONNECT_NOT_DONE;
  }
  myRobot.comInt(COM_HOSTBAUD, static_cast<int16_t>(index));
  ZyUtil::sleepMs(10);
  mySentBaudChange = true;
  myBaudSwitchTime.setToNow();
  line->setBaud(switchTo);
  ZyUtil::sleepMs(10);
  myRobot.com(0);
  return ZyRobot::CONNECT_NOT_DONE;
}

int ZyRobotHandshake::stabilizeStep() {
  if (!myRobot.isStabilizing())
    myRobot.beginStabilizing();
  const int settle = myRobot.getStabilizingTime();
  if (settle == 0 || myStabilizingStart.msSince() > settle) {
    myRobot.completeConnection();
    return ZyRobot::CONNECT_DONE;
  }
  return ZyRobot::CONNECT_NOT_DONE;
}

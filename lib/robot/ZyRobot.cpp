// The robot object: construction and naming, the SYNC handshake with its
// configuration, baud switch and stabilizing states, the ways a connection
// ends, command forwarding with the send trace, the callback lists, velocity
// limits, the loading of robot parameter sets, and the robot cycle: its task
// tree, the packet handler task with packet dispatch and the connection
// time-out, the asynchronous connection, and starting, stopping and waiting
// for the cycle.
#include "ZyRobot.h"

#include "ZyDeviceConnection.h"
#include "ZyLog.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZyRobotPacket.h"
#include "ZyRobotParams.h"
#include "ZyRobotTypes.h"
#include "ZySerialConnection.h"
#include "ZySyncTask.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
// Robot protocol commands used by the handshake.
const uint8_t COM_OPEN = 1;
const uint8_t COM_CLOSE = 2;
const uint8_t COM_ENCODER = 19;
const uint8_t COM_IOREQUEST = 40;
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
// The controller announces its reset with this packet ID.
const int ID_ROBOT_RESET = 0xFF;
// Packet IDs of the robot's own handlers.
const int ID_MOTOR_STATUS_ALT = 0x33;
const int ID_ENCODER = 0x90;
const int ID_IO = 0xF0;
// stopRunning waits at most this long for the cycle to end before it
// disconnects.
const unsigned int RUN_EXIT_WAIT_MS = 5000;
// Waits on the robot's conditions wake up at least this often to look at
// the state they wait for, so that a wake-up given just before the wait
// began is not lost.
const unsigned int WAIT_SLICE_MS = 50;

const char *robotName(ZyRobot *robot) {
  return robot->getName();
}

bool safeFileStem(const std::string &stem) {
  return !stem.empty() && stem.find('/') == std::string::npos;
}
} // namespace

ZyRobot::ZyRobot(const char *name, bool, bool addToLibrary, bool doInit, bool addExitCallback)
    : mySender(0xfa, 0xfb), myReceiver(false, 0xfa, 0xfb), myParams(new ZyRobotGeneric),
      myRobotExitCB(this, &ZyRobot::robotExit), mySignalStopCB(this, &ZyRobot::signalStop),
      myPacketHandlerCB(this, &ZyRobot::packetHandlerTask),
      myRobotLockerCB(this, &ZyRobot::robotLockerTask),
      myRobotUnlockerCB(this, &ZyRobot::robotUnlockerTask),
      myActionHandlerCB(this, &ZyRobot::actionHandlerTask),
      myStateReflectorCB(this, &ZyRobot::stateReflectorTask),
      myWarningTimeCB(this, &ZyRobot::cycleWarningTimeCB),
      myNoTimeWarningCB(this, &ZyRobot::noTimeWarningCB),
      myMotorPacketCB(this, &ZyRobot::motorPacketHandler),
      myEncoderPacketCB(this, &ZyRobot::encoderPacketHandler),
      myIOPacketCB(this, &ZyRobot::ioPacketHandler) {
  myMutex.setLogName("ZyRobot::myMutex");
  reset();
  if (name != nullptr) {
    myName = name;
  } else {
    std::list<ZyRobot *> *robots = Zyla::getRobotList();
    int position = 1;
    bool found = false;
    for (ZyRobot *robot : *robots) {
      if (robot == this) {
        found = true;
        break;
      }
      position++;
    }
    char formed[64];
    if (found && position == 1)
      snprintf(formed, sizeof formed, "robot");
    else if (found)
      snprintf(formed, sizeof formed, "robot%d", position);
    else
      snprintf(formed, sizeof formed, "robot%d", static_cast<int>(robots->size()));
    myName = formed;
  }
  if (doInit)
    initCycle();
  mySyncLoop.setRobot(this);
  if (addToLibrary) {
    Zyla::setRobotNameFunction(&robotName);
    Zyla::addRobot(this);
    mySignalStopCB.setName("ZyRobotSignalStop");
    Zyla::addSignalStopCallback(&mySignalStopCB);
    myAddedToLibrary = true;
  }
  if (addExitCallback) {
    myRobotExitCB.setName("ZyRobotExit");
    Zyla::addExitCallback(&myRobotExitCB, 0);
    myExitCBAdded = true;
  }
}

ZyRobot::~ZyRobot() {
  stopRunning(true);
  // The loop's thread runs the task tree and calls into this object: it
  // has to be over before either goes away. A run in a thread of the
  // caller's is waited for (bounded); a thread of the loop's own is joined.
  if (isRunning() && !mySyncLoop.isLoopThread())
    waitForRunExit(RUN_EXIT_WAIT_MS);
  mySyncLoop.reapThread();
  delete mySyncTaskRoot;
  mySyncTaskRoot = nullptr;
  for (ZySyncTask *task : myTasksToDelete)
    delete task;
  myTasksToDelete.clear();
  if (myExitCBAdded)
    Zyla::remExitCallback(&myRobotExitCB);
  if (myAddedToLibrary) {
    Zyla::remSignalStopCallback(&mySignalStopCB);
    Zyla::delRobot(this);
  }
  delete myOrigConfig;
  myOrigConfig = nullptr;
  delete myParams;
  myParams = nullptr;
}

void ZyRobot::setName(const char *name) {
  myName = name != nullptr ? name : "";
}

void ZyRobot::signalStop() {
  stopRunning(true);
}

void ZyRobot::robotExit() {
  // The disconnect below is no lost connection that should end the run
  // with its own message.
  mySyncLoop.stopRunIfNotConnected(false);
  disconnect();
}

void ZyRobot::reset() {
  myIsConnected = false;
  myIsStabilizing = false;
  delete myOrigConfig;
  myOrigConfig = nullptr;
  myOrigConfig = new ZyRobotConfigPacketReader(this, true);
}

void ZyRobot::setDeviceConnection(ZyDeviceConnection *connection) {
  myConn = connection;
  mySender.setDeviceConnection(connection);
  myReceiver.setDeviceConnection(connection);
}

ZySerialConnection *ZyRobot::serialConnection() const {
  return dynamic_cast<ZySerialConnection *>(myConn);
}

// ---------------------------------------------------------------------------
// Handshake

bool ZyRobot::blockingConnect() {
  // A caller that already holds the robot lock goes on under it; only a
  // lock taken here is released here.
  bool locked = lock() == 0;
  if (myIsConnected)
    disconnect();
  myBlockingConnectRun = true;
  myConnectState = -1;
  int result;
  const unsigned int pause = static_cast<unsigned int>(floor(myCycleTime * 0.8));
  while ((result = connectStep(true)) == CONNECT_NOT_DONE && myBlockingConnectRun)
    ZyUtil::sleepMs(pause);
  if (locked)
    unlock();
  return result == CONNECT_DONE;
}

bool ZyRobot::asyncConnect() {
  // The handshake runs one step per cycle inside the robot cycle; without a
  // running cycle there is nobody to take the steps.
  bool locked = lockUnlessHeld();
  bool started = false;
  if (isRunning() && mySyncLoop.getRunningWithLock() && !myIsConnected) {
    myAsyncConnectFlag = true;
    myBlockingConnectRun = false;
    myConnectState = -1;
    started = true;
  }
  if (locked)
    unlock();
  return started;
}

void ZyRobot::drainPackets() {
  // Bounded by the step's drain window, so that a controller that keeps
  // sending cannot hold the handshake here.
  while (myDrainDeadline.msTo() >= 0 && myReceiver.receivePacket(0) != nullptr) {
  }
}

void ZyRobot::handleWaitingPackets() {
  // Packets still waiting when the drain window ends are handled at the
  // next step.
  ZyRobotPacket *packet;
  while (myDrainDeadline.msTo() >= 0 && (packet = myReceiver.receivePacket(0)) != nullptr) {
    for (PacketHandler *handler : myPacketHandlerList) {
      if (handler->invokeR(packet))
        break;
      packet->rewindRead();
    }
  }
}

int ZyRobot::connectStep(bool tryHarder) {
  myDrainDeadline.setToNow();
  myDrainDeadline.addMsec(static_cast<long>(myCycleTime * myConnectionCycleMultiplier));
  myNoTimeWarningThisCycle = true;

  if (myConnectState == -1) {
    mySentBaudChange = false;
    myNoPacketCount = 0;
    mySyncTries = 0;
    reset();
    if (myConn == nullptr) {
      ZyLog::log(ZyLog::Terse, "Cannot connect, no connection has been set.");
      failConnection();
      return CONNECT_FAILED;
    }
    if (myConn->status() != ZyDeviceConnection::STATUS_OPEN && !myConn->openDefault()) {
      ZyLog::log(ZyLog::Terse, "Could not connect, because open on the device connection failed.");
      failConnection();
      return CONNECT_FAILED;
    }
    if (serialConnection() != nullptr)
      myConn->write("WMS2\r", 5);
    drainPackets();
    myConnectState = 0;
    return CONNECT_NOT_DONE;
  }

  if (myConnectState >= 0 && myConnectState <= 2)
    return syncStep(tryHarder);

  handleWaitingPackets();
  if (myConnectState == 3 && !configStep())
    return CONNECT_NOT_DONE;
  if (myConnectState == 4) {
    bool goOn = false;
    int ret = baudStep(&goOn);
    if (!goOn)
      return ret;
  }
  if (myConnectState == 5)
    return stabilizeStep();
  return CONNECT_NOT_DONE;
}

int ZyRobot::syncStep(bool tryHarder) {
  mySyncTries++;
  ZyLog::log(ZyLog::Normal, "Syncing %d", myConnectState);
  mySender.com(static_cast<uint8_t>(myConnectState));
  ZyRobotPacket *packet = myReceiver.receivePacket(SYNC_REPLY_WAIT_MS);

  if (packet != nullptr) {
    int id = packet->getID();
    if (id == ID_MOTOR_STATUS) {
      // A controller still running a previous connection: close it and
      // start the exchange again.
      ZyLog::log(ZyLog::Normal, "Attempting to close previous connection.");
      comInt(COM_CLOSE, 1);
      long remaining;
      while ((remaining = myDrainDeadline.msTo()) > 0 &&
             (packet = myReceiver.receivePacket(static_cast<unsigned int>(remaining))) != nullptr) {
        ZyLog::log(ZyLog::Verbose, "Got in another packet!");
        if (packet->getID() == ID_MOTOR_STATUS)
          comInt(COM_CLOSE, 1);
      }
      myConnectState = 0;
    } else if (id == ID_SYNC_CONFUSED) {
      ZyLog::log(ZyLog::Normal, "Attempting to correct syncCount");
      drainPackets();
      myConnectState = 0;
      return CONNECT_NOT_DONE;
    } else if (id == myConnectState) {
      myConnectState++;
    } else {
      myConnectState = 0;
    }
  } else {
    ZyLog::log(ZyLog::Normal, "No packet.");
    myNoPacketCount++;
    if ((myNoPacketCount > 5 && myNoPacketCount >= mySyncTries) || myNoPacketCount > 10) {
      ZyLog::log(ZyLog::Terse, "Could not connect, no robot responding.");
      failConnection();
      return CONNECT_FAILED;
    }
    ZySerialConnection *serial = serialConnection();
    if (myNoPacketCount == 2 && myNoPacketCount >= mySyncTries && serial != nullptr) {
      ZyLog::log(ZyLog::Normal, "Trying to close possible old connection");
      int oldBaud = serial->baudRate();
      for (int baud : CLOSE_ROUND_BAUDS) {
        serial->setBaud(baud);
        comInt(COM_CLOSE, 1);
        ZyUtil::sleepMs(3);
      }
      serial->setBaud(oldBaud);
    }
    if (myNoPacketCount > 3) {
      ZyLog::log(ZyLog::Normal, " Robot may be connected but not open, trying to dislodge.");
      mySender.comInt(COM_OPEN, 1);
    }
    myConnectState = 0;
  }

  if (myConnectState == 3 && packet != nullptr)
    return madeConnection(tryHarder, packet);
  if (mySyncTries > MAX_SYNC_TRIES) {
    failConnection();
    return CONNECT_FAILED;
  }
  return CONNECT_NOT_DONE;
}

int ZyRobot::madeConnection(bool tryHarder, ZyRobotPacket *packet) {
  ZyLog::log(ZyLog::Terse, "Connected to robot.");
  char text[IDENTITY_LIMIT];
  packet->bufToStr(text, IDENTITY_LIMIT);
  myRobotName = text;
  ZyLog::log(ZyLog::Normal, "Name: %s", myRobotName.c_str());
  packet->bufToStr(text, IDENTITY_LIMIT);
  myRobotType = text;
  ZyLog::log(ZyLog::Normal, "Type: %s", myRobotType.c_str());
  packet->bufToStr(text, IDENTITY_LIMIT);
  char lower[IDENTITY_LIMIT];
  ZyUtil::toLowerCopy(lower, text, IDENTITY_LIMIT - 1);
  myRobotSubType = lower;
  ZyLog::log(ZyLog::Normal, "Subtype: %s", myRobotSubType.c_str());
  ZyUtil::sleepMs(myCycleTime);
  mySender.comInt(COM_OPEN, 1);
  if (!loadParamsForRobot()) {
    mySender.comInt(COM_CLOSE, 1);
    failConnection();
    return CONNECT_FAILED;
  }
  myStartedConnection.setToNow();
  return connectStep(tryHarder);
}

bool ZyRobot::configStep() {
  if (!myOrigConfig->hasConfigArrived())
    myOrigConfig->requestConfig();
  bool arrived = myOrigConfig->hasConfigArrived();
  if (!arrived && myStartedConnection.msSince() <= CONFIG_WAIT_MS)
    return false;

  if (arrived) {
    setAbsoluteMaxTransVel(myOrigConfig->getTransVelTop());
    setAbsoluteMaxRotVel(myOrigConfig->getRotVelTop());
    setTransVelMax(myOrigConfig->getTransVelMax());
    setTransAccel(myOrigConfig->getTransAccel());
    setTransDecel(myOrigConfig->getTransDecel());
    setRotVelMax(myOrigConfig->getRotVelMax());
    setRotAccel(myOrigConfig->getRotAccel());
    setRotDecel(myOrigConfig->getRotDecel());
  } else {
    setAbsoluteMaxTransVel(myParams->getAbsoluteMaxVelocity());
    setAbsoluteMaxRotVel(myParams->getAbsoluteMaxRotVelocity());
  }

  // Non-zero values of the parameter set override the controller's own.
  if (fabs(myParams->getTransVelMax()) > 1)
    setTransVelMax(myParams->getTransVelMax());
  else if (!arrived)
    setTransVelMax(myParams->getAbsoluteMaxVelocity());
  if (fabs(myParams->getRotVelMax()) > 1)
    setRotVelMax(myParams->getRotVelMax());
  else if (!arrived)
    setRotVelMax(myParams->getAbsoluteMaxRotVelocity());
  if (fabs(myParams->getTransAccel()) > 1)
    setTransAccel(myParams->getTransAccel());
  if (fabs(myParams->getTransDecel()) > 1)
    setTransDecel(myParams->getTransDecel());
  if (fabs(myParams->getRotAccel()) > 1)
    setRotAccel(myParams->getRotAccel());
  if (fabs(myParams->getRotDecel()) > 1)
    setRotDecel(myParams->getRotDecel());

  myConnectState = 4;
  return true;
}

int ZyRobot::baudStep(bool *goOn) {
  ZySerialConnection *serial = serialConnection();
  int switchTo = myParams->getSwitchToBaudRate();
  if (!myOrigConfig->hasConfigArrived() || !myOrigConfig->getResetBaud() || serial == nullptr ||
      switchTo == 0) {
    if (serial != nullptr)
      myStartBaud = serial->baudRate();
    myConnectState = 5;
    *goOn = true;
    return CONNECT_NOT_DONE;
  }

  if (mySentBaudChange) {
    ZyRobotPacket *packet = myReceiver.receivePacket(BAUD_REPLY_WAIT_MS);
    com(0);
    if (packet == nullptr) {
      if (myBaudSwitchTime.msSince() <= BAUD_CONFIRM_MS)
        return CONNECT_NOT_DONE;
      ZyLog::log(ZyLog::Verbose, "Controller did not switch to baud, reset to %d baud.",
                 myStartBaud);
      serial->setBaud(myStartBaud);
    }
    myConnectState = 5;
    *goOn = true;
    return CONNECT_NOT_DONE;
  }

  myStartBaud = serial->baudRate();
  drainPackets();
  int index;
  switch (switchTo) {
  case 9600:
    index = 0;
    break;
  case 19200:
    index = 1;
    break;
  case 38400:
    index = 2;
    break;
  case 57600:
    index = 3;
    break;
  case 115200:
    index = 4;
    break;
  default:
    ZyLog::log(ZyLog::Normal, "Warning: SwitchToBaud is set to %d baud, ignoring.", switchTo);
    ZyLog::log(ZyLog::Normal, "\tGood bauds are 9600 19200 38400 56800 116200.");
    myConnectState = 5;
    return CONNECT_NOT_DONE;
  }
  comInt(COM_HOSTBAUD, static_cast<int16_t>(index));
  ZyUtil::sleepMs(10);
  mySentBaudChange = true;
  myBaudSwitchTime.setToNow();
  serial->setBaud(switchTo);
  ZyUtil::sleepMs(10);
  com(0);
  return CONNECT_NOT_DONE;
}

int ZyRobot::stabilizeStep() {
  if (!myIsStabilizing)
    beginStabilizing();
  if (myStabilizingTime == 0 || myStabilizingStart.msSince() > myStabilizingTime) {
    completeConnection();
    return CONNECT_DONE;
  }
  return CONNECT_NOT_DONE;
}

// ---------------------------------------------------------------------------
// Transitions

void ZyRobot::beginStabilizing() {
  myIsStabilizing = true;
  myStabilizingStart.setToNow();
  invokeList(myStabilizingCBList);
}

void ZyRobot::completeConnection() {
  myIsStabilizing = false;
  myIsConnected = true;
  myBlockingConnectRun = false;
  invokeList(myConnectCBList);
  myLastPacketTime.setToNow();
  wake(myConnectCond, myConnectGen);
  wake(myConnOrFailCond, myConnOrFailGen);
}

void ZyRobot::failConnection() {
  myBlockingConnectRun = false;
  ZyLog::log(ZyLog::Terse, "Failed to connect to robot.");
  myIsConnected = false;
  invokeList(myFailedConnectCBList);
  if (myConn != nullptr)
    myConn->close();
  wake(myConnOrFailCond, myConnOrFailGen);
}

bool ZyRobot::disconnect() {
  if (!myIsConnected && !myIsStabilizing)
    return true;
  ZyLog::log(ZyLog::Terse, "Disconnecting from robot.");
  myNoTimeWarningThisCycle = true;
  if (myIsConnected)
    invokeList(myDisconnectNormallyCBList);
  myIsConnected = false;
  myIsStabilizing = false;
  bool sent = mySender.comInt(COM_CLOSE, 1);
  ZyUtil::sleepMs(1000);
  if (myConn == nullptr)
    return false;
  if (!sent) {
    myConn->close();
    return false;
  }
  bool ret = myConn->close();
  ZySerialConnection *serial = serialConnection();
  if (serial != nullptr)
    serial->setBaud(myStartBaud);
  return ret;
}

void ZyRobot::loseConnection() {
  if (!myIsConnected)
    return;
  ZyLog::log(ZyLog::Terse, "Lost connection to the robot because of error.");
  myIsConnected = false;
  invokeList(myDisconnectOnErrorCBList);
  if (myConn != nullptr)
    myConn->close();
}

void ZyRobot::cancelConnection() {
  ZyLog::log(ZyLog::Verbose, "Cancelled connection to the robot because of command.");
  myIsConnected = false;
  myIsStabilizing = false;
  myNoTimeWarningThisCycle = true;
}

// ---------------------------------------------------------------------------
// Commands

bool ZyRobot::com(uint8_t command) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: com(%d)", command);
  return mySender.com(command);
}

bool ZyRobot::comInt(uint8_t command, int16_t argument) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: comInt(%d, %d)", command, argument);
  return mySender.comInt(command, argument);
}

bool ZyRobot::com2Bytes(uint8_t command, int8_t high, int8_t low) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: com2Bytes(%d, %d, %d)", command, high, low);
  return mySender.com2Bytes(command, high, low);
}

bool ZyRobot::comStr(uint8_t command, const char *argument) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: comStr(%d, '%s')", command,
               argument != nullptr ? argument : "");
  return mySender.comStr(command, argument);
}

bool ZyRobot::comStrN(uint8_t command, const char *str, int size) {
  if (myLogSent) {
    char copy[512];
    size_t n = 0;
    if (str != nullptr && size > 0)
      n = strnlen(str, static_cast<size_t>(size) < sizeof copy - 1 ? static_cast<size_t>(size)
                                                                   : sizeof copy - 1);
    memcpy(copy, str != nullptr ? str : "", n);
    copy[n] = '\0';
    ZyLog::log(ZyLog::Normal, "Sent: comStrN(%d, '%s') (size %d)", command, copy, size);
  }
  return mySender.comStrN(command, str, size);
}

// ---------------------------------------------------------------------------
// Callback lists

void ZyRobot::addToList(CallbackList &list, ZyFunctor *functor, int position, const char *refusal) {
  if (position == FIRST)
    list.push_front(functor);
  else if (position == LAST)
    list.push_back(functor);
  else
    ZyLog::log(ZyLog::Terse, "%s", refusal);
}

void ZyRobot::invokeList(const CallbackList &list) {
  // A copy, so that a callback may take itself off the list.
  CallbackList copy = list;
  for (ZyFunctor *functor : copy)
    functor->invoke();
}

void ZyRobot::addPacketHandler(PacketHandler *functor, int position) {
  if (position == FIRST)
    myPacketHandlerList.push_front(functor);
  else if (position == LAST)
    myPacketHandlerList.push_back(functor);
  else
    ZyLog::log(ZyLog::Terse, "ZyRobot::addPacketHandler: Invalid position.");
}

void ZyRobot::remPacketHandler(PacketHandler *functor) {
  myPacketHandlerList.remove(functor);
}

void ZyRobot::addStabilizingCB(ZyFunctor *functor, int position) {
  addToList(myStabilizingCBList, functor, position,
            "ZyRobot::addConnectCallback: Invalid position.");
}

void ZyRobot::remStabilizingCB(ZyFunctor *functor) {
  myStabilizingCBList.remove(functor);
}

void ZyRobot::addConnectCallback(ZyFunctor *functor, int position) {
  addToList(myConnectCBList, functor, position, "ZyRobot::addConnectCallback: Invalid position.");
}

void ZyRobot::remConnectCallback(ZyFunctor *functor) {
  myConnectCBList.remove(functor);
}

void ZyRobot::addFailedCallback(ZyFunctor *functor, int position) {
  addToList(myFailedConnectCBList, functor, position,
            "ZyRobot::addFailedCallback: Invalid position.");
}

void ZyRobot::remFailedCallback(ZyFunctor *functor) {
  myFailedConnectCBList.remove(functor);
}

void ZyRobot::addDisconnectNormallyCB(ZyFunctor *functor, int position) {
  addToList(myDisconnectNormallyCBList, functor, position,
            "ZyRobot::addDisconnectNormallyCB: Invalid position.");
}

void ZyRobot::remDisconnectNormallyCB(ZyFunctor *functor) {
  myDisconnectNormallyCBList.remove(functor);
}

void ZyRobot::addDisconnectOnErrorCB(ZyFunctor *functor, int position) {
  addToList(myDisconnectOnErrorCBList, functor, position,
            "ZyRobot::addDisconnectOnErrorCB: Invalid position");
}

void ZyRobot::remDisconnectOnErrorCB(ZyFunctor *functor) {
  myDisconnectOnErrorCBList.remove(functor);
}

void ZyRobot::addRunExitCB(ZyFunctor *functor, int position) {
  addToList(myRunExitCBList, functor, position, "ZyRobot::addRunExitCB: Invalid position");
}

void ZyRobot::remRunExitCB(ZyFunctor *functor) {
  myRunExitCBList.remove(functor);
}

// ---------------------------------------------------------------------------
// Velocity limits

bool ZyRobot::setTransVelMax(double vel) {
  if (vel > myAbsoluteMaxTransVel) {
    ZyLog::log(ZyLog::Terse, "ZyRobot: transVelMax of %g is over the absolute max of %g, ignoring",
               vel, myAbsoluteMaxTransVel);
    return false;
  }
  myTransVelMax = vel;
  return true;
}

bool ZyRobot::setRotVelMax(double vel) {
  if (vel > myAbsoluteMaxRotVel) {
    ZyLog::log(ZyLog::Terse, "ZyRobot: rotVelMax of %g is over the absolute max of %g, ignoring",
               vel, myAbsoluteMaxRotVel);
    return false;
  }
  myRotVelMax = vel;
  return true;
}

bool ZyRobot::setAbsoluteMaxTransVel(double maxVel) {
  if (maxVel < 0)
    return false;
  if (myTransVelMax > maxVel)
    myTransVelMax = maxVel;
  myAbsoluteMaxTransVel = maxVel;
  return true;
}

bool ZyRobot::setAbsoluteMaxRotVel(double maxVel) {
  if (maxVel < 0)
    return false;
  if (myRotVelMax > maxVel)
    myRotVelMax = maxVel;
  myAbsoluteMaxRotVel = maxVel;
  return true;
}

void ZyRobot::setTransDecel(double dec) {
  myTransDecel = fabs(dec);
}

void ZyRobot::setRotDecel(double dec) {
  myRotDecel = fabs(dec);
}

// ---------------------------------------------------------------------------
// Parameter sets

int ZyRobot::getSonarX(int number) const {
  auto it = mySonars.find(number);
  return it == mySonars.end() ? 0 : it->second.x;
}

int ZyRobot::getSonarY(int number) const {
  auto it = mySonars.find(number);
  return it == mySonars.end() ? 0 : it->second.y;
}

int ZyRobot::getSonarTh(int number) const {
  auto it = mySonars.find(number);
  return it == mySonars.end() ? 0 : it->second.th;
}

void ZyRobot::applyParams() {
  int highest = -1;
  for (int i = 0; i < myParams->getNumSonar(); i++) {
    mySonars[i] =
        SonarPlace{myParams->getSonarX(i), myParams->getSonarY(i), myParams->getSonarTh(i)};
    highest = i;
  }
  myNumSonar = highest + 1;
  // Stored directly: the checks of the setters do not apply here.
  myAbsoluteMaxTransVel = myParams->getAbsoluteMaxVelocity();
  myAbsoluteMaxRotVel = myParams->getAbsoluteMaxRotVelocity();
}

bool ZyRobot::loadParamsForRobot() {
  delete myParams;
  bool known = false;
  myParams = createRobotParams(myRobotSubType.c_str(), &known);

  const std::string dir = std::string(Zyla::getDirectory()) + "params/";
  // The stems come from the controller: a text that is empty or holds a
  // path separator names no parameter file.
  bool loadedSubType = false;
  if (safeFileStem(myRobotSubType)) {
    std::string file = dir + myRobotSubType + ".p";
    if (myParams->parseFile(file.c_str(), true, true)) {
      loadedSubType = true;
      ZyLog::log(ZyLog::Normal, "Loaded robot parameters from %s.p", myRobotSubType.c_str());
    }
  }
  bool loadedName = false;
  if (safeFileStem(myRobotName)) {
    std::string file = dir + myRobotName + ".p";
    if (myParams->parseFile(file.c_str(), true, true)) {
      loadedName = true;
      if (loadedSubType)
        ZyLog::log(ZyLog::Normal,
                   "Loaded robot parameters from %s.p on top of %s.p robot parameters",
                   myRobotName.c_str(), myRobotSubType.c_str());
      else
        ZyLog::log(ZyLog::Normal, "Loaded robot parameters from %s.p", myRobotName.c_str());
    }
  }
  if (!loadedSubType && !loadedName) {
    if (known) {
      ZyLog::log(ZyLog::Normal, "Using default parameters for a %s robot", myRobotSubType.c_str());
    } else {
      ZyLog::log(ZyLog::Terse,
                 "Error: Have no parameters for this robot, bad configuration or out of date Zyla");
      if (!myGoOnWithoutParams)
        return false;
    }
  }

  applyParams();
  if (myParams->getRequestIOPackets() || myRequestIOPackets)
    comInt(COM_IOREQUEST, 2);
  if (myParams->getRequestEncoderPackets() || myRequestEncoderPackets)
    comInt(COM_ENCODER, 2);
  return true;
}

bool ZyRobot::loadParamFile(const char *file) {
  delete myParams;
  myParams = new ZyRobotGeneric;
  if (file != nullptr && myParams->parseFile(file, false, true)) {
    applyParams();
    ZyLog::log(ZyLog::Normal, "Loaded robot parameters from %s.", file);
    return true;
  }
  ZyLog::log(ZyLog::Normal, "ZyRobot::loadParamFile: Could not find file '%s' to load.",
             file != nullptr ? file : "");
  return false;
}

// ---------------------------------------------------------------------------
// The robot lock

int ZyRobot::lock() {
  int ret = myMutex.lock();
  if (ret == 0) {
    myLockOwner = pthread_self();
    myLockHeld = true;
  }
  return ret;
}

int ZyRobot::tryLock() {
  int ret = myMutex.tryLock();
  if (ret == 0) {
    myLockOwner = pthread_self();
    myLockHeld = true;
  }
  return ret;
}

int ZyRobot::unlock() {
  if (myLockHeld && pthread_equal(myLockOwner.load(), pthread_self()))
    myLockHeld = false;
  return myMutex.unlock();
}

bool ZyRobot::lockUnlessHeld() {
  if (myLockHeld && pthread_equal(myLockOwner.load(), pthread_self()))
    return false;
  return lock() == 0;
}

// ---------------------------------------------------------------------------
// The robot cycle

void ZyRobot::initCycle() {
  addPacketHandler(&myMotorPacketCB, FIRST);
  addPacketHandler(&myEncoderPacketCB, LAST);
  addPacketHandler(&myIOPacketCB, LAST);

  mySyncTaskRoot = new ZySyncTask("SyncTasks");
  // Set before the children are made, so that they inherit both.
  mySyncTaskRoot->setWarningTimeCB(&myWarningTimeCB);
  mySyncTaskRoot->setNoTimeWarningCB(&myNoTimeWarningCB);
  mySyncTaskRoot->addNewLeaf("Packet Handler", 85, &myPacketHandlerCB);
  mySyncTaskRoot->addNewLeaf("Robot Locker", 70, &myRobotLockerCB);
  mySyncTaskRoot->addNewBranch("Sensor Interp", 65);
  // The action handler and the state reflector drive the robot's motion,
  // which this library does not model: their places in the tree are kept
  // and they do nothing.
  mySyncTaskRoot->addNewLeaf("Action Handler", 55, &myActionHandlerCB);
  mySyncTaskRoot->addNewLeaf("State Reflector", 45, &myStateReflectorCB);
  mySyncTaskRoot->addNewBranch("User Tasks", 25);
  mySyncTaskRoot->addNewLeaf("Robot Unlocker", 20, &myRobotUnlockerCB);
}

// The motor status, encoder and IO packets feed the robot's sensor state,
// which this library does not model. The handlers claim their packets so
// that they are not reported as unwanted, and the motor status handler
// notes when the controller last reported its state.
bool ZyRobot::motorPacketHandler(ZyRobotPacket *packet) {
  int id = packet->getID();
  if (id != ID_MOTOR_STATUS && id != ID_MOTOR_STATUS_ALT)
    return false;
  myLastStatusPacketTime = packet->getReceivedTime();
  return true;
}

ZyTime ZyRobot::getLastStatusPacketTime() {
  bool locked = lockUnlessHeld();
  ZyTime t = myLastStatusPacketTime;
  if (locked)
    unlock();
  return t;
}

ZyTime ZyRobot::getLastPacketTime() {
  bool locked = lockUnlessHeld();
  ZyTime t = myLastPacketTime;
  if (locked)
    unlock();
  return t;
}

bool ZyRobot::encoderPacketHandler(ZyRobotPacket *packet) {
  return packet->getID() == ID_ENCODER;
}

bool ZyRobot::ioPacketHandler(ZyRobotPacket *packet) {
  return packet->getID() == ID_IO;
}

void ZyRobot::run(bool stopRunIfNotConnected) {
  if (!mySyncLoop.claimRun()) {
    ZyLog::log(ZyLog::Terse, "The robot is already running, cannot run it again.");
    return;
  }
  mySyncLoop.stopRunIfNotConnected(stopRunIfNotConnected);
  mySyncLoop.runHere();
}

void ZyRobot::runAsync(bool stopRunIfNotConnected) {
  if (!mySyncLoop.claimRun()) {
    ZyLog::log(ZyLog::Terse, "The robot is already running, cannot run it again.");
    return;
  }
  mySyncLoop.stopRunIfNotConnected(stopRunIfNotConnected);
  mySyncLoop.startAsync();
}

bool ZyRobot::isRunning() const {
  return mySyncLoop.isInRun();
}

void ZyRobot::stopRunning(bool doDisconnect) {
  mySyncLoop.stopRunning();
  myBlockingConnectRun = false;
  myAsyncConnectFlag = false;
  if (doDisconnect && (myIsConnected || myIsStabilizing)) {
    // The cycle must be over before the device goes: it reads from it. From
    // the cycle's own thread (a task or callback stopping it) there is
    // nothing to wait for.
    if (isRunning() && !mySyncLoop.isLoopThread() &&
        waitForRunExit(RUN_EXIT_WAIT_MS) != WAIT_RUN_EXIT)
      ZyLog::log(ZyLog::Terse,
                 "ZyRobot::stopRunning: The robot cycle did not end within %u ms; disconnecting "
                 "anyway.",
                 RUN_EXIT_WAIT_MS);
    disconnect();
  }
  wake(myConnectCond, myConnectGen);
  wake(myConnOrFailCond, myConnOrFailGen);
  wake(myRunExitCond, myRunExitGen);
}

void ZyRobot::runExited(bool callCallbacks) {
  bool locked = lockUnlessHeld();
  wake(myRunExitCond, myRunExitGen);
  CallbackList copy;
  if (callCallbacks)
    copy = myRunExitCBList;
  if (locked)
    unlock();
  for (ZyFunctor *functor : copy)
    functor->invoke();
}

void ZyRobot::loopOnce() {
  runTaskTree();
  myCounter++;
}

void ZyRobot::runTaskTree() {
  if (mySyncTaskRoot != nullptr)
    mySyncTaskRoot->run();
  // A suspended "Robot Unlocker" must not leave the robot locked for good.
  if (myCycleLocked) {
    myCycleLocked = false;
    unlock();
  }
  if (!myTasksToDelete.empty()) {
    bool locked = lockUnlessHeld();
    std::list<ZySyncTask *> doomed;
    doomed.swap(myTasksToDelete);
    if (locked)
      unlock();
    for (ZySyncTask *task : doomed)
      delete task;
  }
}

void ZyRobot::robotLockerTask() {
  myCycleLocked = lockUnlessHeld();
}

void ZyRobot::robotUnlockerTask() {
  if (myCycleLocked) {
    myCycleLocked = false;
    unlock();
  }
}

void ZyRobot::setPacketsReceivedTracking(bool on) {
  if (on)
    myReceivedTraceRestart = true;
  myLogReceived = on;
}

void ZyRobot::packetHandlerTask() {
  ZyTime start;
  if (myAsyncConnectFlag) {
    bool locked = lockUnlessHeld();
    // stopRunning may have called the connection off meanwhile.
    if (myAsyncConnectFlag && connectStep(false) != CONNECT_NOT_DONE)
      myAsyncConnectFlag = false;
    if (locked)
      unlock();
    return;
  }
  if (!myIsConnected)
    return;

  const bool trace = myLogReceived;
  if (trace && myReceivedTraceRestart.exchange(false)) {
    myReceivedCount = 0;
    myReceivedTraceStart.setToNow();
  }

  // Catch up with what has come in since the last cycle, for at most half
  // the controller's status period (half a cycle before that is known).
  bool sawStatus = false;
  long catchUp = static_cast<long>(myCycleTime) / 2;
  if (myOrigConfig != nullptr && myOrigConfig->hasConfigArrived() &&
      myOrigConfig->getSipCycleTime() > 0)
    catchUp = myOrigConfig->getSipCycleTime() / 2;
  // A pass stops reading once the connection is lost (the controller's
  // reset): the device is closed by then.
  ZyRobotPacket *packet;
  while (myIsConnected && (packet = myReceiver.receivePacket(0)) != nullptr) {
    int id = packet->getID();
    if (trace)
      ZyLog::log(ZyLog::Normal, "Rcvd: prePacket (%ld) 0x%x at %ld (%ld)", myReceivedCount++, id,
                 myReceivedTraceStart.msSince(), start.msSince());
    handlePacket(packet);
    if ((id & 0xF0) == 0x30)
      sawStatus = true;
    if (start.msSince() > catchUp)
      break;
  }

  // Chained, the cycle waits for the controller's next status packet, at
  // most until twice the cycle time has passed since the task began.
  if (myCycleChained) {
    const long window = 2 * static_cast<long>(myCycleTime);
    long wait = window - start.msSince();
    while (myCycleChained && myIsConnected && !sawStatus && mySyncLoop.getRunningWithLock() &&
           wait > 0) {
      packet = myReceiver.receivePacket(static_cast<unsigned int>(wait));
      if (packet == nullptr)
        break;
      int id = packet->getID();
      if (trace)
        ZyLog::log(ZyLog::Normal, "Rcvd: Packet (%ld) 0x%x at %ld (%ld)", myReceivedCount++, id,
                   myReceivedTraceStart.msSince(), start.msSince());
      handlePacket(packet);
      if ((id & 0xF0) == 0x30)
        sawStatus = true;
      wait = window - start.msSince();
    }
  }

  const int timeout = myConnectionTimeoutTime;
  if (timeout > 0) {
    bool locked = lockUnlessHeld();
    if (myIsConnected && myLastPacketTime.msSince() > timeout) {
      ZyLog::log(ZyLog::Terse,
                 "Losing connection because nothing received from robot in %d milliseconds.",
                 timeout);
      loseConnection();
    }
    if (locked)
      unlock();
  }

  if (trace)
    ZyLog::log(ZyLog::Normal, "Rcvd: time taken %ld", start.msSince());
}

bool ZyRobot::handlePacket(ZyRobotPacket *packet) {
  if (packet == nullptr)
    return false;
  bool locked = lockUnlessHeld();
  myLastPacketTime = packet->getReceivedTime();
  if (packet->getID() == ID_ROBOT_RESET) {
    ZyLog::log(ZyLog::Terse, "Losing connection because robot was reset.");
    loseConnection();
    if (locked)
      unlock();
    return false;
  }
  bool handled = false;
  // The next handler is taken before a handler runs, so that a handler may
  // take itself off the list.
  for (auto it = myPacketHandlerList.begin(); it != myPacketHandlerList.end();) {
    PacketHandler *handler = *it++;
    if (handler != nullptr && handler->invokeR(packet)) {
      handled = true;
      break;
    }
    packet->rewindRead();
  }
  if (!handled)
    ZyLog::log(ZyLog::Normal, "No packet handler wanted packet with ID: 0x%x", packet->getID());
  if (locked)
    unlock();
  return handled;
}

void ZyRobot::wake(ZyCondition &cond, std::atomic<unsigned int> &generation) {
  generation++;
  cond.broadcast();
}

int ZyRobot::waitOn(ZyCondition &cond, std::atomic<unsigned int> &generation, unsigned int msecs,
                    bool (ZyRobot::*done)() const) {
  const unsigned int startGeneration = generation;
  ZyTime deadline;
  deadline.addMsec(static_cast<long>(msecs));
  for (;;) {
    if (generation != startGeneration || (this->*done)())
      return 0;
    int slice = static_cast<int>(WAIT_SLICE_MS);
    if (msecs != 0) {
      long left = deadline.msTo();
      if (left <= 0)
        return WAIT_TIMEDOUT;
      if (left < slice)
        slice = static_cast<int>(left);
    }
    int ret = cond.timedWait(slice);
    // A time-out of a slice, or a wake-up without a change, waits on.
    if (ret == 0 || ret == ZyCondition::STATUS_WAIT_TIMEDOUT)
      continue;
    if (ret == ZyCondition::STATUS_WAIT_INTR)
      return WAIT_INTR;
    return WAIT_FAIL;
  }
}

int ZyRobot::waitForConnect(unsigned int msecs) {
  if (myIsConnected)
    return WAIT_CONNECTED;
  int ret = waitOn(myConnectCond, myConnectGen, msecs, &ZyRobot::isConnected);
  return ret == 0 ? WAIT_CONNECTED : ret;
}

int ZyRobot::waitForConnectOrConnFail(unsigned int msecs) {
  if (myIsConnected)
    return WAIT_CONNECTED;
  int ret = waitOn(myConnOrFailCond, myConnOrFailGen, msecs, &ZyRobot::isConnected);
  if (ret != 0)
    return ret;
  return myIsConnected ? WAIT_CONNECTED : WAIT_FAILED_CONN;
}

int ZyRobot::waitForRunExit(unsigned int msecs) {
  if (!isRunning())
    return WAIT_RUN_EXIT;
  int ret = waitOn(myRunExitCond, myRunExitGen, msecs, &ZyRobot::runHasEnded);
  return ret == 0 ? WAIT_RUN_EXIT : ret;
}

// ---------------------------------------------------------------------------
// The task tree

bool ZyRobot::addSensorInterpTask(const char *name, int position, ZyFunctor *functor, int *state) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("Sensor Interp") : nullptr;
  if (branch != nullptr)
    branch->addNewLeaf(name, position, functor, state);
  if (locked)
    unlock();
  return branch != nullptr;
}

bool ZyRobot::addUserTask(const char *name, int position, ZyFunctor *functor, int *state) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("User Tasks") : nullptr;
  if (branch != nullptr)
    branch->addNewLeaf(name, position, functor, state);
  if (locked)
    unlock();
  return branch != nullptr;
}

void ZyRobot::removeTask(ZySyncTask *task) {
  if (task->isInRun()) {
    // A task taking itself off: it is detached now and deleted once the
    // pass it runs in is over.
    if (task->getParent() != nullptr)
      task->getParent()->remove(task);
    myTasksToDelete.push_back(task);
  } else {
    delete task;
  }
}

void ZyRobot::remSensorInterpTask(const char *name) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("Sensor Interp") : nullptr;
  ZySyncTask *task = branch != nullptr ? branch->findNonRecursive(name) : nullptr;
  if (task != nullptr)
    removeTask(task);
  if (locked)
    unlock();
}

void ZyRobot::remSensorInterpTask(ZyFunctor *functor) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("Sensor Interp") : nullptr;
  ZySyncTask *task = branch != nullptr ? branch->findNonRecursive(functor) : nullptr;
  if (task != nullptr)
    removeTask(task);
  if (locked)
    unlock();
}

void ZyRobot::remUserTask(const char *name) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("User Tasks") : nullptr;
  ZySyncTask *task = branch != nullptr ? branch->findNonRecursive(name) : nullptr;
  if (task != nullptr)
    removeTask(task);
  if (locked)
    unlock();
}

void ZyRobot::remUserTask(ZyFunctor *functor) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("User Tasks") : nullptr;
  ZySyncTask *task = branch != nullptr ? branch->findNonRecursive(functor) : nullptr;
  if (task != nullptr)
    removeTask(task);
  if (locked)
    unlock();
}

ZySyncTask *ZyRobot::findUserTask(const char *name) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("User Tasks") : nullptr;
  ZySyncTask *task = branch != nullptr ? branch->find(name) : nullptr;
  if (locked)
    unlock();
  return task;
}

ZySyncTask *ZyRobot::findUserTask(ZyFunctor *functor) {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("User Tasks") : nullptr;
  ZySyncTask *task = branch != nullptr ? branch->find(functor) : nullptr;
  if (locked)
    unlock();
  return task;
}

ZySyncTask *ZyRobot::findTask(const char *name) {
  bool locked = lockUnlessHeld();
  ZySyncTask *task = mySyncTaskRoot != nullptr ? mySyncTaskRoot->find(name) : nullptr;
  if (locked)
    unlock();
  return task;
}

ZySyncTask *ZyRobot::findTask(ZyFunctor *functor) {
  bool locked = lockUnlessHeld();
  ZySyncTask *task = mySyncTaskRoot != nullptr ? mySyncTaskRoot->find(functor) : nullptr;
  if (locked)
    unlock();
  return task;
}

void ZyRobot::logUserTasks() {
  bool locked = lockUnlessHeld();
  ZySyncTask *branch =
      mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive("User Tasks") : nullptr;
  if (branch != nullptr)
    branch->print(0);
  if (locked)
    unlock();
}

void ZyRobot::logAllTasks() {
  bool locked = lockUnlessHeld();
  if (mySyncTaskRoot != nullptr)
    mySyncTaskRoot->print(0);
  if (locked)
    unlock();
}

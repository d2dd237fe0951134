// SPDX-License-Identifier: MIT
// The robot object: construction and naming, starting the handshake (whose
// steps are ZyRobotHandshake's), the ways a connection ends, command
// forwarding with the send trace, the callback lists, velocity limits, the
// loading of robot parameter sets and the robot lock. The cycle is in
// ZyRobotCycle.cpp.
#include "ZyRobot.h"

#include "ZyDeviceConnection.h"
#include "ZyLog.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZyRobotPacket.h"
#include "ZyRobotParams.h"
#include "ZyRobotTypes.h"
#include "ZySyncTask.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
// Robot protocol commands used here.
const uint8_t COM_CLOSE = 2;
const uint8_t COM_ENCODER = 19;
const uint8_t COM_IOREQUEST = 40;
// stopRunning waits at most this long for the cycle to end before it
// disconnects.
const unsigned int RUN_EXIT_WAIT_MS = 5000;

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
  reset();
  if (name != nullptr) {
    myName = name;
  } else {
    const std::list<ZyRobot *> robots = Zyla::copyRobotList();
    int position = 1;
    bool found = false;
    for (ZyRobot *robot : robots) {
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
      snprintf(formed, sizeof formed, "robot%d", static_cast<int>(robots.size()));
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
  myHandshakeCount++;
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

ZyDeviceConnection *ZyRobot::lineDevice() const {
  return myConn != nullptr && myConn->hasLineSpeed() ? myConn : nullptr;
}

// ---------------------------------------------------------------------------
// Starting a handshake

bool ZyRobot::blockingConnect() {
  // A caller that already holds a lock goes on under it. With the receive
  // lock held for the whole handshake the cycle reads nothing meanwhile.
  ZyRobotLock::Scope robotScope(myLock);
  ZyRobotLock::Scope receiveScope(myReceiveLock);
  if (myIsConnected)
    disconnect();
  myConnectFailed = false;
  myBlockingConnectRun = true;
  myHandshake.restart();
  int result;
  const unsigned int pause = static_cast<unsigned int>(floor(myCycleTime * 0.8));
  while ((result = connectStep(true)) == CONNECT_NOT_DONE && myBlockingConnectRun)
    ZyUtil::sleepMs(pause);
  return result == CONNECT_DONE;
}

bool ZyRobot::asyncConnect() {
  // The handshake runs one step per cycle inside the robot cycle; without a
  // running cycle there is nobody to take the steps.
  ZyRobotLock::Scope robotScope(myLock);
  if (!isRunning() || !mySyncLoop.getRunningWithLock() || myIsConnected)
    return false;
  myConnectFailed = false;
  myAsyncConnectFlag = true;
  myBlockingConnectRun = false;
  myHandshake.restart();
  return true;
}

int ZyRobot::connectStep(bool tryHarder) {
  ZyRobotLock::Scope robotScope(myLock);
  ZyRobotLock::Scope receiveScope(myReceiveLock);
  return myHandshake.step(tryHarder);
}

// ---------------------------------------------------------------------------
// Transitions

void ZyRobot::beginStabilizing() {
  ZyRobotLock::Scope robotScope(myLock);
  myIsStabilizing = true;
  myHandshake.stabilizingBegan();
  invokeList(myStabilizingCBList);
}

void ZyRobot::completeConnection() {
  ZyRobotLock::Scope robotScope(myLock);
  myIsStabilizing = false;
  myIsConnected = true;
  myBlockingConnectRun = false;
  invokeList(myConnectCBList);
  myLastPacketTime.setToNow();
  wake(myConnectCond);
  wake(myConnOrFailCond);
}

void ZyRobot::failConnection() {
  ZyRobotLock::Scope robotScope(myLock);
  ZyRobotLock::Scope receiveScope(myReceiveLock);
  myBlockingConnectRun = false;
  ZyLog::log(ZyLog::Terse, "Failed to connect to robot.");
  myIsConnected = false;
  invokeList(myFailedConnectCBList);
  if (myConn != nullptr)
    myConn->close();
  myConnectFailed = true;
  wake(myConnOrFailCond);
}

bool ZyRobot::disconnect() {
  if (!myIsConnected && !myIsStabilizing)
    return true;
  // No reader is left inside the device when it closes.
  ZyRobotLock::Scope robotScope(myLock);
  ZyRobotLock::Scope receiveScope(myReceiveLock);
  if (!myIsConnected && !myIsStabilizing)
    return true;
  ZyLog::log(ZyLog::Terse, "Disconnecting from robot.");
  myNoTimeWarningThisCycle = true;
  if (myIsConnected)
    invokeList(myDisconnectNormallyCBList);
  myIsConnected = false;
  myIsStabilizing = false;
  bool sent = sendComInt(COM_CLOSE, 1);
  ZyUtil::sleepMs(1000);
  if (myConn == nullptr)
    return false;
  if (!sent) {
    myConn->close();
    return false;
  }
  bool ret = myConn->close();
  ZyDeviceConnection *line = lineDevice();
  if (line != nullptr)
    line->setBaud(myHandshake.getStartBaud());
  return ret;
}

void ZyRobot::loseConnection() {
  ZyRobotLock::Scope robotScope(myLock);
  ZyRobotLock::Scope receiveScope(myReceiveLock);
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
  ZyRobotLock::Scope sendScope(mySendLock);
  return mySender.com(command);
}

bool ZyRobot::comInt(uint8_t command, int16_t argument) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: comInt(%d, %d)", command, argument);
  ZyRobotLock::Scope sendScope(mySendLock);
  return mySender.comInt(command, argument);
}

bool ZyRobot::com2Bytes(uint8_t command, int8_t high, int8_t low) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: com2Bytes(%d, %d, %d)", command, high, low);
  ZyRobotLock::Scope sendScope(mySendLock);
  return mySender.com2Bytes(command, high, low);
}

bool ZyRobot::comStr(uint8_t command, const char *argument) {
  if (myLogSent)
    ZyLog::log(ZyLog::Normal, "Sent: comStr(%d, '%s')", command,
               argument != nullptr ? argument : "");
  ZyRobotLock::Scope sendScope(mySendLock);
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
  ZyRobotLock::Scope sendScope(mySendLock);
  return mySender.comStrN(command, str, size);
}

bool ZyRobot::sendCom(uint8_t command) {
  ZyRobotLock::Scope sendScope(mySendLock);
  return mySender.com(command);
}

bool ZyRobot::sendComInt(uint8_t command, int16_t argument) {
  ZyRobotLock::Scope sendScope(mySendLock);
  return mySender.comInt(command, argument);
}

bool ZyRobot::sendRaw(const char *bytes, unsigned int size) {
  ZyRobotLock::Scope sendScope(mySendLock);
  return myConn != nullptr && myConn->write(bytes, size) >= 0;
}

// ---------------------------------------------------------------------------
// Callback lists

void ZyRobot::addToList(CallbackList &list, ZyFunctor *functor, int position, const char *refusal) {
  ZyRobotLock::Scope robotScope(myLock);
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
  ZyRobotLock::Scope robotScope(myLock);
  if (position == FIRST)
    myPacketHandlerList.push_front(functor);
  else if (position == LAST)
    myPacketHandlerList.push_back(functor);
  else
    ZyLog::log(ZyLog::Terse, "ZyRobot::addPacketHandler: Invalid position.");
}

void ZyRobot::remPacketHandler(PacketHandler *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  myPacketHandlerList.remove(functor);
}

void ZyRobot::addStabilizingCB(ZyFunctor *functor, int position) {
  addToList(myStabilizingCBList, functor, position,
            "ZyRobot::addConnectCallback: Invalid position.");
}

void ZyRobot::remStabilizingCB(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  myStabilizingCBList.remove(functor);
}

void ZyRobot::addConnectCallback(ZyFunctor *functor, int position) {
  addToList(myConnectCBList, functor, position, "ZyRobot::addConnectCallback: Invalid position.");
}

void ZyRobot::remConnectCallback(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  myConnectCBList.remove(functor);
}

void ZyRobot::addFailedCallback(ZyFunctor *functor, int position) {
  addToList(myFailedConnectCBList, functor, position,
            "ZyRobot::addFailedCallback: Invalid position.");
}

void ZyRobot::remFailedCallback(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  myFailedConnectCBList.remove(functor);
}

void ZyRobot::addDisconnectNormallyCB(ZyFunctor *functor, int position) {
  addToList(myDisconnectNormallyCBList, functor, position,
            "ZyRobot::addDisconnectNormallyCB: Invalid position.");
}

void ZyRobot::remDisconnectNormallyCB(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  myDisconnectNormallyCBList.remove(functor);
}

void ZyRobot::addDisconnectOnErrorCB(ZyFunctor *functor, int position) {
  addToList(myDisconnectOnErrorCBList, functor, position,
            "ZyRobot::addDisconnectOnErrorCB: Invalid position");
}

void ZyRobot::remDisconnectOnErrorCB(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  myDisconnectOnErrorCBList.remove(functor);
}

void ZyRobot::addRunExitCB(ZyFunctor *functor, int position) {
  addToList(myRunExitCBList, functor, position, "ZyRobot::addRunExitCB: Invalid position");
}

void ZyRobot::remRunExitCB(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
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
  // Files are refused above the bound; a set filled in code is held to it
  // here as well.
  const int count = myParams->getNumSonar() < ZyRobotParams::MAX_UNITS ? myParams->getNumSonar()
                                                                       : ZyRobotParams::MAX_UNITS;
  for (int i = 0; i < count; i++) {
    mySonars[i] =
        SonarPlace{myParams->getSonarX(i), myParams->getSonarY(i), myParams->getSonarTh(i)};
    highest = i;
  }
  myNumSonar = highest + 1;
  // Stored directly: the checks of the setters do not apply here.
  myAbsoluteMaxTransVel = myParams->getAbsoluteMaxVelocity();
  myAbsoluteMaxRotVel = myParams->getAbsoluteMaxRotVelocity();
}

bool ZyRobot::readParamFile(const std::string &dir, const std::string &stem) {
  // The stems come from the controller: a text that is empty or holds a
  // path separator names no parameter file.
  if (!safeFileStem(stem))
    return false;
  const std::string file = dir + stem + ".p";
  // A missing file is silent. A file that is there counts as read even
  // when some of its lines were refused: each refused line has been logged
  // with its number, and the rest of the file holds.
  FILE *probe = fopen(file.c_str(), "r");
  if (probe == nullptr)
    return false;
  fclose(probe);
  if (!myParams->parseFile(file.c_str(), true, true))
    ZyLog::log(ZyLog::Terse,
               "ZyRobot: Refused the bad lines of %s logged above; read the rest of the file.",
               file.c_str());
  return true;
}

bool ZyRobot::loadParamsForRobot() {
  delete myParams;
  bool known = false;
  myParams = createRobotParams(myRobotSubType.c_str(), &known);

  const std::string dir = std::string(Zyla::getDirectory()) + "params/";
  const bool loadedSubType = readParamFile(dir, myRobotSubType);
  if (loadedSubType)
    ZyLog::log(ZyLog::Normal, "Loaded robot parameters from %s.p", myRobotSubType.c_str());
  const bool loadedName = readParamFile(dir, myRobotName);
  if (loadedName && loadedSubType)
    ZyLog::log(ZyLog::Normal, "Loaded robot parameters from %s.p on top of %s.p robot parameters",
               myRobotName.c_str(), myRobotSubType.c_str());
  else if (loadedName)
    ZyLog::log(ZyLog::Normal, "Loaded robot parameters from %s.p", myRobotName.c_str());
  if (!loadedSubType && !loadedName) {
    if (known) {
      ZyLog::log(ZyLog::Normal, "Using default parameters for a %s robot", myRobotSubType.c_str());
    } else {
      ZyLog::log(ZyLog::Terse,
                 "Error: Have no parameters for this robot, bad configuration or out of date Zyla");
      // Where the files were looked for, and how to point there.
      ZyLog::log(ZyLog::Terse,
                 "Looked for %s.p and %s.p in '%s'; set ZYLA to the directory that holds "
                 "params/ (an installation keeps them in share/zyla/params under its prefix: "
                 "ZYLA=/usr/share/zyla or ZYLA=/usr/local/share/zyla).",
                 myRobotSubType.c_str(), myRobotName.c_str(), dir.c_str());
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
  return myLock.lock();
}

int ZyRobot::tryLock() {
  return myLock.tryLock();
}

int ZyRobot::unlock() {
  return myLock.unlock();
}

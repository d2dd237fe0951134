// SPDX-License-Identifier: MIT
// The robot cycle: the task tree and its management, the robot's own packet
// handlers, the packet handler task with packet dispatch and the connection
// time-out, the asynchronous connection step, and starting, stopping and
// waiting for the cycle.
#include "ZyRobot.h"

#include "ZyLog.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZyRobotPacket.h"
#include "ZySyncTask.h"

namespace {
// Packet IDs of the robot's own handlers.
const int ID_MOTOR_STATUS = 0x32;
const int ID_MOTOR_STATUS_ALT = 0x33;
const int ID_ENCODER = 0x90;
const int ID_IO = 0xF0;
// The controller announces its reset with this packet ID.
const int ID_ROBOT_RESET = 0xFF;
// stopRunning waits at most this long for the cycle to end before it
// disconnects.
const unsigned int RUN_EXIT_WAIT_MS = 5000;
// Waits on the robot's conditions wake up at least this often to look at
// the state they wait for, so that a wake-up given just before the wait
// began is not lost.
const unsigned int WAIT_SLICE_MS = 50;
} // namespace

// ---------------------------------------------------------------------------
// The task tree and the robot's own handlers

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

bool ZyRobot::encoderPacketHandler(ZyRobotPacket *packet) {
  return packet->getID() == ID_ENCODER;
}

bool ZyRobot::ioPacketHandler(ZyRobotPacket *packet) {
  return packet->getID() == ID_IO;
}

ZyTime ZyRobot::getLastStatusPacketTime() {
  ZyRobotLock::Scope robotScope(myLock);
  return myLastStatusPacketTime;
}

ZyTime ZyRobot::getLastPacketTime() {
  ZyRobotLock::Scope robotScope(myLock);
  return myLastPacketTime;
}

// ---------------------------------------------------------------------------
// Running, stopping and waiting

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
  myStopCount++;
  if (doDisconnect && (myIsConnected || myIsStabilizing)) {
    // Waited for so that the disconnect does not cut a cycle in half. From
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
  wake(myConnectCond);
  wake(myConnOrFailCond);
  wake(myRunExitCond);
}

void ZyRobot::runExited(bool callCallbacks) {
  CallbackList copy;
  {
    ZyRobotLock::Scope robotScope(myLock);
    if (callCallbacks)
      copy = myRunExitCBList;
  }
  for (ZyFunctor *functor : copy)
    functor->invoke();
  myInRunExit = false;
  wake(myRunExitCond);
}

void ZyRobot::wake(ZyCondition &cond) {
  cond.broadcast();
}

int ZyRobot::connectedOrFailedOutcome() const {
  if (myIsConnected)
    return WAIT_CONNECTED;
  return myConnectFailed ? WAIT_FAILED_CONN : -1;
}

int ZyRobot::waitOn(ZyCondition &cond, unsigned int msecs, int (ZyRobot::*outcome)() const,
                    bool stopEnds) {
  const unsigned int stops = myStopCount;
  ZyTime deadline;
  deadline.addMsec(static_cast<long>(msecs));
  for (;;) {
    // The state itself is looked at, not the wake-up: a broadcast given
    // before the wait began is not lost, and a wake-up for another reason
    // does not pass as the outcome waited for.
    int result = (this->*outcome)();
    if (result >= 0)
      return result;
    if (stopEnds && myStopCount != stops)
      return WAIT_STOPPED;
    int slice = static_cast<int>(WAIT_SLICE_MS);
    if (msecs != 0) {
      long left = deadline.msTo();
      if (left <= 0)
        return WAIT_TIMEDOUT;
      if (left < slice)
        slice = static_cast<int>(left);
    }
    int ret = cond.timedWait(slice);
    if (ret == 0 || ret == ZyCondition::STATUS_WAIT_TIMEDOUT)
      continue;
    if (ret == ZyCondition::STATUS_WAIT_INTR)
      return WAIT_INTR;
    return WAIT_FAIL;
  }
}

int ZyRobot::waitForConnect(unsigned int msecs) {
  return waitOn(myConnectCond, msecs, &ZyRobot::connectedOutcome, true);
}

int ZyRobot::waitForConnectOrConnFail(unsigned int msecs) {
  return waitOn(myConnOrFailCond, msecs, &ZyRobot::connectedOrFailedOutcome, true);
}

int ZyRobot::waitForRunExit(unsigned int msecs) {
  return waitOn(myRunExitCond, msecs, &ZyRobot::runExitOutcome, false);
}

// ---------------------------------------------------------------------------
// One cycle

void ZyRobot::loopOnce() {
  runTaskTree();
  myCounter++;
}

void ZyRobot::runTaskTree() {
  if (mySyncTaskRoot != nullptr)
    mySyncTaskRoot->run();
  // A suspended "Robot Unlocker" must not leave the robot locked for good.
  robotUnlockerTask();
  std::list<ZySyncTask *> doomed;
  {
    ZyRobotLock::Scope robotScope(myLock);
    doomed.swap(myTasksToDelete);
  }
  for (ZySyncTask *task : doomed)
    delete task;
}

// The lock taken here spans the tasks between the locker and the unlocker,
// so it is no block scope.
void ZyRobot::robotLockerTask() {
  myCycleLocked = !myLock.isHeldByMe() && myLock.lock() == 0;
}

void ZyRobot::robotUnlockerTask() {
  if (myCycleLocked) {
    myCycleLocked = false;
    myLock.unlock();
  }
}

void ZyRobot::setPacketsReceivedTracking(bool on) {
  if (on)
    myReceivedTraceRestart = true;
  myLogReceived = on;
}

int ZyRobot::receiveAndDispatch(unsigned int msWait, const ZyTime &start, bool catchingUp,
                                bool trace) {
  unsigned int handshake;
  {
    // One reader at a time; a handshake or a close that came first has
    // ended the connection this read belonged to.
    ZyRobotLock::Scope receiveScope(myReceiveLock);
    if (!myIsConnected)
      return -1;
    ZyRobotPacket *packet = myReceiver.receivePacket(msWait);
    if (packet == nullptr)
      return -1;
    myDispatchPacket.copyFrom(packet);
    myDispatchPacket.setReceivedTime(packet->getReceivedTime());
    handshake = myHandshakeCount;
  }
  int id = myDispatchPacket.getID();
  if (trace)
    ZyLog::log(ZyLog::Normal,
               catchingUp ? "Rcvd: prePacket (%ld) 0x%x at %ld (%ld)"
                          : "Rcvd: Packet (%ld) 0x%x at %ld (%ld)",
               myReceivedCount++, id, myReceivedTraceStart.msSince(), start.msSince());
  ZyRobotLock::Scope robotScope(myLock);
  if (handshake != myHandshakeCount || !myIsConnected)
    return -1;
  handlePacket(&myDispatchPacket);
  return id;
}

void ZyRobot::packetHandlerTask() {
  ZyTime start;
  if (myAsyncConnectFlag) {
    ZyRobotLock::Scope robotScope(myLock);
    // stopRunning may have called the connection off meanwhile.
    if (myAsyncConnectFlag && connectStep(false) != CONNECT_NOT_DONE)
      myAsyncConnectFlag = false;
    return;
  }
  if (!myIsConnected)
    return;

  const bool trace = myLogReceived;
  if (trace && myReceivedTraceRestart.exchange(false)) {
    myReceivedCount = 0;
    myReceivedTraceStart.setToNow();
  }

  // First catch up with what has come in since the last cycle, for at most
  // half the controller's status period (half a cycle before that is
  // known); then, chained, wait for the controller's next status packet, at
  // most until twice the cycle time has passed since the task began. A pass
  // stops reading once the connection is lost (the controller's reset): the
  // device is closed by then.
  long catchUp = static_cast<long>(myCycleTime) / 2;
  {
    // The handshake replaces the config reader, and its handler fills it,
    // under the robot lock.
    ZyRobotLock::Scope robotScope(myLock);
    if (myOrigConfig != nullptr && myOrigConfig->hasConfigArrived() &&
        myOrigConfig->getSipCycleTime() > 0)
      catchUp = myOrigConfig->getSipCycleTime() / 2;
  }
  const long window = 2 * static_cast<long>(myCycleTime);
  bool catchingUp = true;
  bool sawStatus = false;
  while (myIsConnected) {
    unsigned int wait = 0;
    if (!catchingUp) {
      long left = window - start.msSince();
      if (sawStatus || !myCycleChained || !mySyncLoop.getRunningWithLock() || left <= 0)
        break;
      wait = static_cast<unsigned int>(left);
    }
    int id = receiveAndDispatch(wait, start, catchingUp, trace);
    if (id < 0) {
      if (!catchingUp)
        break;
      catchingUp = false;
      continue;
    }
    if ((id & 0xF0) == 0x30)
      sawStatus = true;
    if (catchingUp && start.msSince() > catchUp)
      catchingUp = false;
  }

  const int timeout = myConnectionTimeoutTime;
  if (timeout > 0) {
    ZyRobotLock::Scope robotScope(myLock);
    if (myIsConnected && myLastPacketTime.msSince() > timeout) {
      ZyLog::log(ZyLog::Terse,
                 "Losing connection because nothing received from robot in %d milliseconds.",
                 timeout);
      loseConnection();
    }
  }

  if (trace)
    ZyLog::log(ZyLog::Normal, "Rcvd: time taken %ld", start.msSince());
}

bool ZyRobot::handlePacket(ZyRobotPacket *packet) {
  if (packet == nullptr)
    return false;
  ZyRobotLock::Scope robotScope(myLock);
  myLastPacketTime = packet->getReceivedTime();
  if (packet->getID() == ID_ROBOT_RESET) {
    ZyLog::log(ZyLog::Terse, "Losing connection because robot was reset.");
    loseConnection();
    return false;
  }
  // The next handler is taken before a handler runs, so that a handler may
  // take itself off the list.
  for (auto it = myPacketHandlerList.begin(); it != myPacketHandlerList.end();) {
    PacketHandler *handler = *it++;
    if (handler != nullptr && handler->invokeR(packet))
      return true;
    packet->rewindRead();
  }
  ZyLog::log(ZyLog::Normal, "No packet handler wanted packet with ID: 0x%x", packet->getID());
  return false;
}

// ---------------------------------------------------------------------------
// The task tree

ZySyncTask *ZyRobot::branch(const char *name) const {
  return mySyncTaskRoot != nullptr ? mySyncTaskRoot->findNonRecursive(name) : nullptr;
}

bool ZyRobot::addSensorInterpTask(const char *name, int position, ZyFunctor *functor, int *state) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *sensorInterp = branch("Sensor Interp");
  if (sensorInterp != nullptr)
    sensorInterp->addNewLeaf(name, position, functor, state);
  return sensorInterp != nullptr;
}

bool ZyRobot::addUserTask(const char *name, int position, ZyFunctor *functor, int *state) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *userTasks = branch("User Tasks");
  if (userTasks != nullptr)
    userTasks->addNewLeaf(name, position, functor, state);
  return userTasks != nullptr;
}

void ZyRobot::removeTask(ZySyncTask *task) {
  if (task == nullptr)
    return;
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
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *sensorInterp = branch("Sensor Interp");
  removeTask(sensorInterp != nullptr ? sensorInterp->findNonRecursive(name) : nullptr);
}

void ZyRobot::remSensorInterpTask(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *sensorInterp = branch("Sensor Interp");
  removeTask(sensorInterp != nullptr ? sensorInterp->findNonRecursive(functor) : nullptr);
}

void ZyRobot::remUserTask(const char *name) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *userTasks = branch("User Tasks");
  removeTask(userTasks != nullptr ? userTasks->findNonRecursive(name) : nullptr);
}

void ZyRobot::remUserTask(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *userTasks = branch("User Tasks");
  removeTask(userTasks != nullptr ? userTasks->findNonRecursive(functor) : nullptr);
}

ZySyncTask *ZyRobot::findUserTask(const char *name) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *userTasks = branch("User Tasks");
  return userTasks != nullptr ? userTasks->find(name) : nullptr;
}

ZySyncTask *ZyRobot::findUserTask(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *userTasks = branch("User Tasks");
  return userTasks != nullptr ? userTasks->find(functor) : nullptr;
}

ZySyncTask *ZyRobot::findTask(const char *name) {
  ZyRobotLock::Scope robotScope(myLock);
  return mySyncTaskRoot != nullptr ? mySyncTaskRoot->find(name) : nullptr;
}

ZySyncTask *ZyRobot::findTask(ZyFunctor *functor) {
  ZyRobotLock::Scope robotScope(myLock);
  return mySyncTaskRoot != nullptr ? mySyncTaskRoot->find(functor) : nullptr;
}

void ZyRobot::logUserTasks() {
  ZyRobotLock::Scope robotScope(myLock);
  ZySyncTask *userTasks = branch("User Tasks");
  if (userTasks != nullptr)
    userTasks->print(0);
}

void ZyRobot::logAllTasks() {
  ZyRobotLock::Scope robotScope(myLock);
  if (mySyncTaskRoot != nullptr)
    mySyncTaskRoot->print(0);
}

// SPDX-License-Identifier: MIT
// Tests of the robot cycle: the robot's own task tree and packet handlers,
// packet dispatch, user and sensor tasks, starting, stopping and waiting for
// the cycle, its timing warnings, and, over a pty with a peer thread playing
// the controller, a running robot that dispatches packets, loses the
// connection on silence or on the controller's reset, follows the status
// packets when chained, traces what it receives and connects asynchronously.
#include "LogCapture.h"
#include "PtyPair.h"
#include "RobotPeer.h"
#include "WaitFor.h"
#include "ZyRobot.h"
#include "ZyRobotPacket.h"
#include "ZyRobotParams.h"
#include "ZySerialConnection.h"
#include "ZySyncTask.h"
#include "Zyla.h"

#include "SimPty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A packet as the receiver hands it on, read cursor at the data.
void makePacket(ZyRobotPacket &packet, uint8_t id, const std::vector<uint8_t> &data = {}) {
  packet.clear();
  packet.setID(id);
  for (uint8_t b : data)
    packet.uint8ToBuf(b);
  packet.finishPacket();
  packet.rewindRead();
}

// Counts its calls; usable as any callback of the robot.
struct Counter {
  std::atomic<int> n{0};
  void hit() { n++; }
};

// Index of the first line equal to text, or -1.
int lineIndex(const LogCapture &log, const std::string &text) {
  const auto lines = log.snapshot();
  auto it = std::find(lines.begin(), lines.end(), text);
  return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

int countLines(const LogCapture &log, const std::string &text) {
  int n = 0;
  for (const auto &l : log.snapshot())
    n += l == text;
  return n;
}

// A robot with its own handlers and task tree, not registered with the
// library, over a serial port on the slave side of a pty.
struct Line {
  PtyPair pty;
  ZySerialConnection port;
  ZyRobot robot{"cycleRobot", true, false, true, false};
  Line() {
    port.setPortName(pty.slavePath().c_str());
    robot.setDeviceConnection(&port);
  }
  // Stops a cycle a failed test left running; a connected robot would say
  // goodbye with CLOSE and a 1 s pause, which the tests skip.
  ~Line() {
    robot.stopRunning(false);
    robot.waitForRunExit(5000);
    robot.cancelConnection();
  }
};

// Sends a motor status packet every period ms while talking is set; a
// controller talks only once the connection is made.
struct StatusTicker {
  std::atomic<bool> talking{false};
  long period;
  long last = -1000;
  explicit StatusTicker(long periodMs) : period(periodMs) {}
  std::string operator()(long now) {
    if (!talking || now - last < period)
      return "";
    last = now;
    return frame(0x32, std::string("\x00\x01\x02\x03", 4));
  }
};

Peer::Ticker tickerOf(StatusTicker &t) {
  return [&t](long now) { return t(now); };
}

} // namespace

TEST(RobotCycle, InitialisationBuildsTheTreeAndInstallsTheOwnHandlers) {
  LogCapture log;
  ZyRobot robot("r", true, false, true, false);
  ASSERT_NE(robot.getSyncTaskRoot(), nullptr);
  log.clear();
  robot.logAllTasks();
  const std::vector<std::string> tree = {
      "SyncTasks (INIT, running)",        "\tPacket Handler (INIT, running)",
      "\tRobot Locker (INIT, running)",   "\tSensor Interp (INIT, running)",
      "\tAction Handler (INIT, running)", "\tState Reflector (INIT, running)",
      "\tUser Tasks (INIT, running)",     "\tRobot Unlocker (INIT, running)"};
  EXPECT_EQ(log.lines(), tree);

  // Motor status, encoder and IO packets are taken; others are not.
  log.clear();
  ZyRobotPacket packet;
  for (uint8_t id : {0x32, 0x33, 0x90, 0xF0}) {
    makePacket(packet, id, {1, 2});
    EXPECT_TRUE(robot.handlePacket(&packet)) << static_cast<int>(id);
  }
  EXPECT_TRUE(log.lines().empty());
  makePacket(packet, 0x34);
  EXPECT_FALSE(robot.handlePacket(&packet));
  EXPECT_TRUE(log.hasLine("No packet handler wanted packet with ID: 0x34"));

  // Without initialisation there is no tree to add to, and no own handlers.
  log.clear();
  ZyRobot bare("bare", true, false, false, false);
  Counter work;
  ZyFunctorC<Counter> workCB(&work, &Counter::hit);
  EXPECT_EQ(bare.getSyncTaskRoot(), nullptr);
  EXPECT_FALSE(bare.addUserTask("u", 10, &workCB));
  EXPECT_FALSE(bare.addSensorInterpTask("s", 10, &workCB));
  EXPECT_EQ(bare.findTask("u"), nullptr);
  EXPECT_EQ(bare.findUserTask(&workCB), nullptr);
  bare.loopOnce(); // nothing to run, still counted
  EXPECT_EQ(bare.getCounter(), 1u);
  makePacket(packet, 0x32);
  EXPECT_FALSE(bare.handlePacket(&packet));
  EXPECT_TRUE(log.hasLine("No packet handler wanted packet with ID: 0x32"));

  // Its cycle cannot run.
  Counter exits;
  ZyFunctorC<Counter> exitCB(&exits, &Counter::hit);
  bare.addRunExitCB(&exitCB);
  bare.runAsync(false);
  EXPECT_EQ(bare.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
  EXPECT_TRUE(
      log.hasLine("ZySyncLoop::runThread: Can not run the synchronous loop without a task tree"));
  EXPECT_FALSE(bare.isRunning());
}

TEST(RobotCycle, ARefusedPacketIsRewoundForEachHandlerAndLoggedInHex) {
  LogCapture log;
  ZyRobot robot("r", true, false, false, false);
  // Each handler reads the first data byte and refuses the packet.
  struct Reader {
    std::vector<int> seen;
    bool take = false;
    bool read(ZyRobotPacket *p) {
      seen.push_back(p->bufToUint8());
      return take;
    }
  } first, second, third;
  ZyRetFunctor1C<bool, Reader, ZyRobotPacket *> firstCB(&first, &Reader::read),
      secondCB(&second, &Reader::read), thirdCB(&third, &Reader::read);
  robot.addPacketHandler(&firstCB);
  robot.addPacketHandler(&secondCB);

  ZyRobotPacket packet;
  makePacket(packet, 0xAB, {0x11, 0x22});
  EXPECT_FALSE(robot.handlePacket(&packet));
  EXPECT_EQ(first.seen, std::vector<int>{0x11});
  EXPECT_EQ(second.seen, std::vector<int>{0x11});
  EXPECT_TRUE(log.hasLine("No packet handler wanted packet with ID: 0xab"));

  // A handler that takes the packet ends the offer; nothing is logged.
  log.clear();
  second.take = true;
  robot.addPacketHandler(&thirdCB);
  makePacket(packet, 0xAB, {0x33});
  EXPECT_TRUE(robot.handlePacket(&packet));
  EXPECT_EQ(second.seen.back(), 0x33);
  EXPECT_TRUE(third.seen.empty());
  EXPECT_TRUE(log.lines().empty());

  // The controller's reset packet goes to no handler.
  makePacket(packet, 0xFF);
  EXPECT_FALSE(robot.handlePacket(&packet));
  EXPECT_TRUE(log.hasLine("Losing connection because robot was reset."));
  EXPECT_EQ(first.seen.size(), 2u);
  EXPECT_FALSE(log.contains("No packet handler"));
}

TEST(RobotCycle, UserAndSensorTasksRunUnderTheRobotLockInPriorityOrder) {
  LogCapture log;
  ZyRobot robot("r", true, false, true, false);
  std::string trail;
  struct Mark {
    std::string *trail;
    char c;
    void hit() { trail->push_back(c); }
  } a{&trail, 'a'}, b{&trail, 'b'}, c{&trail, 'c'}, s{&trail, 's'};
  ZyFunctorC<Mark> aCB(&a, &Mark::hit), bCB(&b, &Mark::hit), cCB(&c, &Mark::hit),
      sCB(&s, &Mark::hit);
  EXPECT_TRUE(robot.addUserTask("a", 50, &aCB));
  EXPECT_TRUE(robot.addUserTask("b", 50, &bCB));
  EXPECT_TRUE(robot.addUserTask("c", 60, &cCB));
  EXPECT_TRUE(robot.addSensorInterpTask("s", 10, &sCB));

  // While a user task runs, another thread cannot take the robot lock.
  struct Prober {
    ZyRobot *robot;
    int result = -1;
    void probe() {
      std::thread t([this] {
        result = robot->tryLock();
        if (result == 0)
          robot->unlock();
      });
      t.join();
    }
  } prober{&robot};
  ZyFunctorC<Prober> probeCB(&prober, &Prober::probe);
  EXPECT_TRUE(robot.addUserTask("probe", 1, &probeCB));

  robot.loopOnce();
  EXPECT_EQ(trail, "scba"); // sensor tasks first; equal priority: last added first
  EXPECT_EQ(prober.result, ZyMutex::STATUS_ALREADY_LOCKED);
  EXPECT_EQ(robot.getCounter(), 1u);
  // After the pass the lock is free again.
  int after = -1;
  std::thread([&] {
    after = robot.tryLock();
    if (after == 0)
      robot.unlock();
  }).join();
  EXPECT_EQ(after, 0);

  // Finding.
  ASSERT_NE(robot.findUserTask("a"), nullptr);
  EXPECT_EQ(robot.findUserTask(&cCB)->getName(), std::string("c"));
  EXPECT_EQ(robot.findUserTask("s"), nullptr);
  EXPECT_EQ(robot.findUserTask("Packet Handler"), nullptr);
  ASSERT_NE(robot.findTask("Packet Handler"), nullptr);
  EXPECT_EQ(robot.findTask(&sCB)->getName(), std::string("s"));

  // Removing by name and by functor.
  robot.remUserTask("probe");
  robot.remUserTask("a");
  robot.remUserTask(&bCB);
  robot.remSensorInterpTask("s");
  robot.remSensorInterpTask(&cCB); // not a sensor task: nothing happens
  trail.clear();
  robot.loopOnce();
  EXPECT_EQ(trail, "c");
  log.clear();
  robot.logUserTasks();
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"User Tasks (INIT, running)", "\tc (INIT, running)"}));
  robot.remUserTask(&cCB);
  EXPECT_EQ(robot.findUserTask(&cCB), nullptr);

  // A task may take itself off while it runs; it is gone after the pass.
  struct Quitter {
    ZyRobot *robot;
    int runs = 0;
    void work() {
      runs++;
      robot->remUserTask("quitter");
    }
  } quitter{&robot};
  ZyFunctorC<Quitter> quitCB(&quitter, &Quitter::work);
  robot.addUserTask("quitter", 5, &quitCB);
  robot.loopOnce();
  robot.loopOnce();
  EXPECT_EQ(quitter.runs, 1);
  EXPECT_EQ(robot.findTask("quitter"), nullptr);

  // A suspended user task does not run.
  robot.addUserTask("a", 50, &aCB);
  robot.findUserTask("a")->setState(ZySyncTask::SUSPEND);
  trail.clear();
  robot.loopOnce();
  EXPECT_EQ(trail, "");
}

TEST(RobotCycle, RunningTwiceIsRefusedAndTheRunCanBeWaitedForAndStopped) {
  LogCapture log;
  ZyRobot robot("r", true, false, true, false);
  robot.setCycleTime(20);
  Counter exits;
  ZyFunctorC<Counter> exitCB(&exits, &Counter::hit);
  robot.addRunExitCB(&exitCB);

  EXPECT_FALSE(robot.isRunning());
  EXPECT_EQ(robot.waitForRunExit(0), ZyRobot::WAIT_RUN_EXIT); // not running: at once
  EXPECT_FALSE(robot.asyncConnect());                         // no cycle to connect in

  robot.runAsync(false);
  EXPECT_TRUE(robot.isRunning());
  robot.runAsync(false);
  robot.run(false);
  EXPECT_EQ(countLines(log, "The robot is already running, cannot run it again."), 2);
  EXPECT_TRUE(waitFor([&] { return robot.getCounter() >= 3; }, 5000));

  auto start = Clock::now();
  EXPECT_EQ(robot.waitForRunExit(100), ZyRobot::WAIT_TIMEDOUT);
  EXPECT_GE(msSince(start), 90);
  EXPECT_TRUE(robot.isRunning());
  EXPECT_EQ(exits.n, 0);

  std::thread stopper([&] {
    usleep(100 * 1000);
    robot.stopRunning(false);
  });
  EXPECT_EQ(robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
  stopper.join();
  EXPECT_TRUE(waitFor([&] { return !robot.isRunning() && exits.n == 1; }, 5000));
  unsigned int counted = robot.getCounter();
  usleep(100 * 1000);
  EXPECT_EQ(robot.getCounter(), counted); // no cycles after the stop

  // It can run again after a stop.
  robot.runAsync(false);
  EXPECT_TRUE(waitFor([&] { return robot.getCounter() > counted; }, 5000));
  robot.stopRunning(false);
  EXPECT_EQ(robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
  EXPECT_TRUE(waitFor([&] { return exits.n == 2; }, 5000));
}

TEST(RobotCycle, RunInTheCallersThreadEndsWhenATaskStopsIt) {
  LogCapture log;
  ZyRobot robot("r", true, false, true, false);
  robot.setCycleTime(10);
  Counter exits;
  ZyFunctorC<Counter> exitCB(&exits, &Counter::hit);
  robot.addRunExitCB(&exitCB);
  struct Stopper {
    ZyRobot *robot;
    int runs = 0;
    bool sawRunning = false;
    void work() {
      sawRunning = robot->isRunning();
      if (++runs == 3)
        robot->stopRunning(false);
    }
  } stopper{&robot};
  ZyFunctorC<Stopper> stopCB(&stopper, &Stopper::work);
  robot.addUserTask("stopper", 10, &stopCB);
  robot.run(false);
  EXPECT_EQ(stopper.runs, 3);
  EXPECT_TRUE(stopper.sawRunning);
  EXPECT_EQ(robot.getCounter(), 3u);
  EXPECT_FALSE(robot.isRunning());
  EXPECT_EQ(exits.n, 1);
}

TEST(RobotCycle, ConnectWaitsTimeOutOrAreWokenByStopRunning) {
  LogCapture log;
  ZyRobot robot("r", true, false, true, false);
  auto start = Clock::now();
  EXPECT_EQ(robot.waitForConnect(100), ZyRobot::WAIT_TIMEDOUT);
  EXPECT_EQ(robot.waitForConnectOrConnFail(100), ZyRobot::WAIT_TIMEDOUT);
  EXPECT_GE(msSince(start), 190);

  // A stop is neither a connection nor a failed attempt.
  std::thread stopper([&] {
    usleep(200 * 1000);
    robot.stopRunning(false);
  });
  EXPECT_EQ(robot.waitForConnectOrConnFail(10000), ZyRobot::WAIT_STOPPED);
  stopper.join();
  std::thread stopper2([&] {
    usleep(200 * 1000);
    robot.stopRunning(false);
  });
  EXPECT_EQ(robot.waitForConnect(10000), ZyRobot::WAIT_STOPPED);
  stopper2.join();
  EXPECT_FALSE(robot.isConnected());
}

TEST(RobotCycle, CycleSettings) {
  ZyRobot robot("r", true, false, true, false);
  EXPECT_EQ(robot.getCycleTime(), 100u);
  EXPECT_EQ(robot.getCycleWarningTime(), 250u);
  EXPECT_EQ(robot.getConnectionCycleMultiplier(), 2u);
  EXPECT_EQ(robot.getConnectionTimeoutTime(), 8000);
  EXPECT_EQ(robot.getStabilizingTime(), 0);
  EXPECT_TRUE(robot.isCycleChained());
  EXPECT_FALSE(robot.getPacketsReceivedTracking());
  robot.setCycleTime(40);
  robot.setCycleWarningTime(0);
  robot.setConnectionCycleMultiplier(3);
  robot.setConnectionTimeoutTime(-5);
  robot.setStabilizingTime(-1);
  robot.setCycleChained(false);
  EXPECT_EQ(robot.getCycleTime(), 40u);
  EXPECT_EQ(robot.getCycleWarningTime(), 0u);
  EXPECT_EQ(robot.getConnectionCycleMultiplier(), 3u);
  EXPECT_EQ(robot.getConnectionTimeoutTime(), 0);
  EXPECT_EQ(robot.getStabilizingTime(), 0);
  EXPECT_FALSE(robot.isCycleChained());
  robot.setStabilizingTime(300);
  EXPECT_EQ(robot.getStabilizingTime(), 300);
}

TEST(RobotCycle, SlowCyclesAndWaitsForTheLockAreWarnedAbout) {
  LogCapture log(ZyLog::Normal);
  ZyRobot robot("r", true, false, true, false);
  robot.setCycleTime(20);
  robot.setCycleWarningTime(60);
  struct Sleepy {
    std::atomic<bool> once{true};
    void work() {
      if (once.exchange(false))
        usleep(120 * 1000);
    }
  } sleepy;
  ZyFunctorC<Sleepy> sleepyCB(&sleepy, &Sleepy::work);
  robot.addUserTask("sleepy", 10, &sleepyCB);
  robot.runAsync(false);
  ASSERT_TRUE(
      waitFor([&] { return log.contains("Warning: ZyRobot sync tasks too long at "); }, 5000));
  EXPECT_TRUE(log.contains("Warning: Task 'sleepy' took "));
  EXPECT_TRUE(log.contains(" ms, (20 ms normal 60 ms warning)"));

  // The loop waits for a lock held elsewhere.
  ASSERT_TRUE(waitFor([&] { return robot.getCounter() > 5; }, 5000));
  ASSERT_EQ(robot.lock(), 0);
  usleep(150 * 1000);
  robot.unlock();
  ASSERT_TRUE(waitFor(
      [&] {
        return log.hasLine(
            "Warning: ZyRobot cycle took too long because the loop was waiting for lock.");
      },
      5000));
  bool detail = false;
  for (const auto &l : log.snapshot())
    detail = detail || std::regex_match(l, std::regex("\tThe cycle took [0-9]+ ms, \\(20 ms "
                                                      "normal 60 ms warning\\)"));
  EXPECT_TRUE(detail);
  robot.stopRunning(false);
  EXPECT_EQ(robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
}

// Over the pty: a connected robot running on its own thread reads the
// controller's packets, and loses the connection when the controller falls
// silent for longer than the time-out, which ends a run that stops when not
// connected.
TEST(RobotCycle, ARunningRobotDispatchesPacketsAndLosesTheConnectionOnSilence) {
  LogCapture log;
  Line s;
  StatusTicker status(40);
  std::atomic<bool> sendOdd{false};
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)),
            [&](long now) {
              std::string out = status(now);
              if (sendOdd.exchange(false))
                out += frame(0x45, "xy") + frame(0x90, "e");
              return out;
            });
  ASSERT_TRUE(s.robot.blockingConnect());
  Counter exits, errors;
  ZyFunctorC<Counter> exitCB(&exits, &Counter::hit), errorCB(&errors, &Counter::hit);
  s.robot.addRunExitCB(&exitCB);
  s.robot.addDisconnectOnErrorCB(&errorCB);
  s.robot.setConnectionTimeoutTime(600);
  status.talking = true;
  s.robot.runAsync(true);

  sendOdd = true;
  ASSERT_TRUE(
      waitFor([&] { return log.hasLine("No packet handler wanted packet with ID: 0x45"); }, 5000));
  EXPECT_FALSE(log.contains("wanted packet with ID: 0x90"));
  EXPECT_FALSE(log.contains("wanted packet with ID: 0x32"));
  EXPECT_LT(s.robot.getLastStatusPacketTime().msSince(), 1000);
  // The status packets keep it connected past the time-out.
  usleep(900 * 1000);
  EXPECT_TRUE(s.robot.isConnected());
  EXPECT_TRUE(s.robot.isRunning());

  status.talking = false;
  auto silent = Clock::now();
  EXPECT_EQ(s.robot.waitForRunExit(10000), ZyRobot::WAIT_RUN_EXIT);
  long took = msSince(silent);
  EXPECT_GE(took, 500);
  EXPECT_FALSE(s.robot.isConnected());
  EXPECT_TRUE(waitFor([&] { return exits.n == 1; }, 5000));
  EXPECT_EQ(errors.n, 1);
  int losing =
      lineIndex(log, "Losing connection because nothing received from robot in 600 milliseconds.");
  int lost = lineIndex(log, "Lost connection to the robot because of error.");
  int exiting = lineIndex(log, "Exiting robot run because of lost connection.");
  ASSERT_GE(losing, 0);
  EXPECT_GT(lost, losing);
  EXPECT_GT(exiting, lost);
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
}

TEST(RobotCycle, ConnectionTimeoutZeroTurnsTheSilenceCheckOff) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  ASSERT_TRUE(s.robot.blockingConnect());
  s.robot.setConnectionTimeoutTime(0);
  s.robot.runAsync(true);
  usleep(800 * 1000); // silent all along
  EXPECT_TRUE(s.robot.isConnected());
  EXPECT_TRUE(s.robot.isRunning());
  EXPECT_FALSE(log.contains("Losing connection"));
  // Switching the check on ends the connection that has been silent.
  s.robot.setConnectionTimeoutTime(300);
  EXPECT_EQ(s.robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
  EXPECT_TRUE(
      log.hasLine("Losing connection because nothing received from robot in 300 milliseconds."));
}

TEST(RobotCycle, TheControllersResetLosesTheConnection) {
  LogCapture log;
  Line s;
  std::atomic<bool> reset{false};
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)),
            [&](long) { return reset.exchange(false) ? frame(0xFF) : std::string(); });
  ASSERT_TRUE(s.robot.blockingConnect());
  s.robot.runAsync(true);
  reset = true;
  EXPECT_EQ(s.robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
  EXPECT_FALSE(s.robot.isConnected());
  int resetLine = lineIndex(log, "Losing connection because robot was reset.");
  ASSERT_GE(resetLine, 0);
  EXPECT_GT(lineIndex(log, "Lost connection to the robot because of error."), resetLine);
  EXPECT_TRUE(log.hasLine("Exiting robot run because of lost connection."));
  EXPECT_FALSE(log.contains("nothing received"));
}

TEST(RobotCycle, StopRunningWaitsForTheRunToEndAndThenDisconnects) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  ASSERT_TRUE(s.robot.blockingConnect());
  struct ExitMark {
    void hit() { ZyLog::log(ZyLog::Terse, "run exit callback"); }
  } mark;
  ZyFunctorC<ExitMark> markCB(&mark, &ExitMark::hit);
  s.robot.addRunExitCB(&markCB);
  s.robot.runAsync(false);
  ASSERT_TRUE(waitFor([&] { return s.robot.getCounter() >= 2; }, 5000));
  usleep(100 * 1000);
  size_t before = peer.rawSize();
  s.robot.stopRunning(true);
  EXPECT_FALSE(s.robot.isRunning());
  EXPECT_FALSE(s.robot.isConnected());
  int exitLine = lineIndex(log, "run exit callback");
  ASSERT_GE(exitLine, 0);
  EXPECT_GT(lineIndex(log, "Disconnecting from robot."), exitLine);
  EXPECT_FALSE(log.contains("Exiting robot run"));
  EXPECT_TRUE(waitFor([&] { return peer.raw().size() >= before + 9; }, 2000));
  EXPECT_EQ(peer.raw().substr(before), frame(2, std::string("\x3B\x01\x00", 3)));
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
}

TEST(RobotCycle, ChainedCyclesFollowTheControllersStatusPackets) {
  LogCapture log;
  Line s;
  StatusTicker status(20);
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)),
            tickerOf(status));
  ASSERT_TRUE(s.robot.blockingConnect());
  s.robot.setCycleTime(200);
  s.robot.setCycleWarningTime(0);
  status.talking = true;
  s.robot.runAsync(false);

  // Unchained, a cycle takes about its cycle time (at most 6 in a second).
  s.robot.setCycleChained(false);
  usleep(300 * 1000);
  unsigned int start = s.robot.getCounter();
  usleep(1000 * 1000);
  unsigned int unchained = s.robot.getCounter() - start;
  EXPECT_LE(unchained, 7u);

  // Chained, every status packet (one each 20 ms) ends a cycle.
  s.robot.setCycleChained(true);
  usleep(300 * 1000);
  start = s.robot.getCounter();
  usleep(1000 * 1000);
  unsigned int chained = s.robot.getCounter() - start;
  EXPECT_GE(chained, 15u);
  EXPECT_GT(chained, unchained * 2);
  EXPECT_TRUE(s.robot.isConnected());
}

TEST(RobotCycle, TheReceiveTraceLogsEachPacketAndTheTimeTaken) {
  LogCapture log;
  Line s;
  StatusTicker status(30);
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)),
            tickerOf(status));
  ASSERT_TRUE(s.robot.blockingConnect());
  s.robot.setPacketsReceivedTracking(true);
  EXPECT_TRUE(s.robot.getPacketsReceivedTracking());
  status.talking = true;
  s.robot.runAsync(false);
  const std::regex packetLine("Rcvd: (pre)?Packet \\(([0-9]+)\\) 0x32 at [0-9]+ \\([0-9]+\\)");
  const std::regex takenLine("Rcvd: time taken [0-9]+");
  std::vector<long> numbers;
  ASSERT_TRUE(waitFor(
      [&] {
        numbers.clear();
        bool taken = false;
        for (const auto &l : log.snapshot()) {
          std::smatch m;
          if (std::regex_match(l, m, packetLine))
            numbers.push_back(std::stol(m[2]));
          taken = taken || std::regex_match(l, takenLine);
        }
        return taken && numbers.size() >= 3;
      },
      5000));
  // The trace counts from 0, one number per packet.
  for (size_t i = 0; i < numbers.size(); i++)
    EXPECT_EQ(numbers[i], static_cast<long>(i));
  s.robot.setPacketsReceivedTracking(false);
}

TEST(RobotCycle, AsyncConnectConnectsThroughTheCycle) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  s.robot.runAsync(false);
  ASSERT_TRUE(s.robot.asyncConnect());
  EXPECT_EQ(s.robot.waitForConnect(15000), ZyRobot::WAIT_CONNECTED);
  EXPECT_TRUE(s.robot.isConnected());
  EXPECT_EQ(s.robot.waitForConnectOrConnFail(0), ZyRobot::WAIT_CONNECTED); // at once
  EXPECT_TRUE(log.hasLine("Connected to robot."));
  EXPECT_STREQ(s.robot.getRobotName(), "Bobby");
  std::vector<int> ids = peer.ids();
  ASSERT_GE(ids.size(), 5u);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 5), (std::vector<int>{0, 1, 2, 1, 18}));
  EXPECT_FALSE(s.robot.asyncConnect()); // connected already
  EXPECT_TRUE(s.robot.isRunning());
}

TEST(RobotCycle, AFailedAsyncConnectWakesTheConnectOrFailWaiters) {
  LogCapture log;
  ZySerialConnection port;
  port.setPortName("/nonexistent/tty");
  ZyRobot robot("r", true, false, true, false);
  robot.setDeviceConnection(&port);
  robot.runAsync(false);
  ASSERT_TRUE(robot.asyncConnect());
  EXPECT_EQ(robot.waitForConnectOrConnFail(10000), ZyRobot::WAIT_FAILED_CONN);
  EXPECT_TRUE(log.hasLine("Could not connect, because open on the device connection failed."));
  EXPECT_TRUE(log.hasLine("Failed to connect to robot."));
  EXPECT_FALSE(robot.isConnected());
  EXPECT_EQ(robot.waitForConnect(100), ZyRobot::WAIT_TIMEDOUT);
  EXPECT_TRUE(robot.isRunning()); // a run that does not stop when unconnected goes on
  robot.stopRunning(true);
  EXPECT_EQ(robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
}

// A failure that comes before the wait is still reported by it, until the
// next connection attempt.
TEST(RobotCycle, AFailureBeforeTheWaitIsReportedByIt) {
  LogCapture log;
  ZySerialConnection port;
  port.setPortName("/nonexistent/tty");
  ZyRobot robot("r", true, false, true, false);
  robot.setDeviceConnection(&port);
  robot.runAsync(false);
  ASSERT_TRUE(robot.asyncConnect());
  ASSERT_TRUE(waitFor([&] { return log.hasLine("Failed to connect to robot."); }, 10000));
  auto start = Clock::now();
  EXPECT_EQ(robot.waitForConnectOrConnFail(3000), ZyRobot::WAIT_FAILED_CONN);
  EXPECT_EQ(robot.waitForConnectOrConnFail(0), ZyRobot::WAIT_FAILED_CONN);
  EXPECT_LT(msSince(start), 1000);
  robot.stopRunning(true);
  EXPECT_EQ(robot.waitForRunExit(5000), ZyRobot::WAIT_RUN_EXIT);
}

namespace {
// A controller that sends status packets from OPEN to CLOSE, as a real one
// does, and answers the handshake.
struct TalkingController {
  StatusTicker status{5};
  Peer::Responder sync = syncingController("Bobby", "Marlock", "compact", configPacket(0));
  Peer::Responder responder() {
    return [this](const Packet &p) {
      if (p.id == 1 && !p.data.empty())
        status.talking = true;
      if (p.id == 2 && !p.data.empty())
        status.talking = false;
      return sync(p);
    };
  }
};
} // namespace

// A blockingConnect while the cycle runs: the handshake is the only reader
// of the device until it is done, and the cycle dispatches no packet the
// handshake read.
TEST(RobotCycle, BlockingConnectWhileTheCycleRunsKeepsTheLineToItself) {
  LogCapture log;
  Line s;
  TalkingController controller;
  Peer peer(s.pty, controller.responder(), tickerOf(controller.status));
  s.robot.setConnectionTimeoutTime(0);
  ASSERT_TRUE(s.robot.blockingConnect());
  s.robot.runAsync(false);
  for (int round = 1; round <= 3; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    ZyTime before = s.robot.getLastStatusPacketTime();
    ASSERT_TRUE(waitFor(
        [&] { return s.robot.getLastStatusPacketTime().msSince() < before.msSince(); }, 5000));
    ASSERT_TRUE(s.robot.blockingConnect());
    EXPECT_TRUE(s.robot.isRunning());
  }
  ZyTime before = s.robot.getLastStatusPacketTime();
  EXPECT_TRUE(waitFor(
      [&] { return s.robot.getLastStatusPacketTime().msSince() < before.msSince(); }, 5000));
  s.robot.stopRunning(true);
  for (const auto &l : log.snapshot()) {
    EXPECT_EQ(l.find("No packet handler wanted packet"), std::string::npos) << l;
    EXPECT_NE(l, "No packet.");
  }
  EXPECT_EQ(countLines(log, "Connected to robot."), 4);
}

namespace {
struct StatusCounter {
  std::atomic<int> n{0};
  bool handle(ZyRobotPacket *packet) {
    if ((packet->getID() & 0xF0) != 0x30)
      return false;
    n++;
    return false; // the robot's own handler still notes the time
  }
};
} // namespace

// A program using the library, not the utility, against the simulated
// controller: the shipped parameter file of the simulator's subtype is
// found, the cycle connects, status packets arrive, and the connection
// ends with CLOSE.
TEST(RobotCycle, ALibraryClientRunsTheCycleAgainstTheSimulator) {
  LogCapture log;
  const std::string oldDir = Zyla::getDirectory();
  Zyla::setDirectory(ORVEX_SOURCE_DIR "/");
  SimOptions options;
  options.robotProtocol = true;
  options.robotBaud = 9600;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  {
    ZySerialConnection port;
    port.setPortName(sim.path().c_str());
    port.setBaud(9600);
    ZyRobot robot("client", true, false, true, false);
    robot.setDeviceConnection(&port);
    StatusCounter counter;
    ZyRetFunctor1C<bool, StatusCounter, ZyRobotPacket *> handler(&counter, &StatusCounter::handle);
    robot.addPacketHandler(&handler, ZyRobot::FIRST);
    robot.runAsync(false);
    ASSERT_TRUE(robot.asyncConnect());
    ASSERT_EQ(robot.waitForConnectOrConnFail(20000), ZyRobot::WAIT_CONNECTED);
    EXPECT_TRUE(log.hasLine("Loaded robot parameters from marlock-sim.p"));
    EXPECT_STREQ(robot.getRobotParams()->getSubClassName(), "marlock-sim");
    EXPECT_EQ(robot.getNumSonar(), 8);
    EXPECT_TRUE(waitFor([&] { return counter.n >= 5; }, 10000));
    robot.stopRunning(true);
    EXPECT_FALSE(robot.isRunning());
    EXPECT_FALSE(robot.isConnected());
    EXPECT_NE(port.status(), ZyDeviceConnection::STATUS_OPEN);
    robot.remPacketHandler(&handler);
  }
  Zyla::setDirectory(oldDir.c_str());
  EXPECT_FALSE(log.hasLine(
      "Error: Have no parameters for this robot, bad configuration or out of date Zyla"));
  EXPECT_TRUE(log.hasLine("Disconnecting from robot."));
  SimRobotStats stats = sim.controller().robotStats();
  EXPECT_EQ(stats.opens, 1);
  EXPECT_EQ(stats.closes, 1);
}

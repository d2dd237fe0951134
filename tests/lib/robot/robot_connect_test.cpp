// SPDX-License-Identifier: MIT
// Tests of the robot connection over a pseudo-terminal, with a peer thread
// of the test playing the controller: the SYNC handshake and what goes on
// the wire, restarts, silence, the CONFIG packet and the baud switch, the
// loading of parameter sets, the ways a connection ends, the send trace, the
// callback lists and the velocity limits.
#include "LogCapture.h"
#include "PtyPair.h"
#include "RobotPeer.h"
#include "TempFiles.h"
#include "ZyRobot.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZyRobotParams.h"
#include "ZySerialConnection.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string OPEN_DATA("\x3B\x01\x00", 3);
const std::string CLOSE_DATA = OPEN_DATA;

// A library directory with its params/ folder, removed after the test.
struct LibraryFiles : TempDir {
  LibraryFiles() { subdir("params"); }
  void writeParams(const std::string &stem, const std::string &body) const {
    write("params/" + stem + ".p", body);
  }
};

// Points the library directory at a scratch directory for one test.
struct LibraryDir {
  std::string old;
  explicit LibraryDir(const std::string &dir) : old(Zyla::getDirectory()) {
    Zyla::setDirectory(dir.c_str());
  }
  ~LibraryDir() { Zyla::setDirectory(old.empty() ? "./" : old.c_str()); }
};

// A robot that is not registered with the library, over a serial port on
// the slave side of a pty.
struct Line {
  PtyPair pty;
  ZySerialConnection port;
  ZyRobot robot{"testRobot", true, false, false, false};
  Line() {
    port.setPortName(pty.slavePath().c_str());
    robot.setDeviceConnection(&port);
  }
  // A connected robot would say goodbye with CLOSE and a 1 s pause when it
  // is destroyed; tests that do not look at that skip it.
  ~Line() { robot.cancelConnection(); }
};

// The output speed of the slave side, read through a descriptor of our own.
speed_t portSpeed(const PtyPair &pty) {
  struct termios tio;
  memset(&tio, 0, sizeof tio);
  int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  if (fd >= 0) {
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    ::close(fd);
  }
  return cfgetospeed(&tio);
}

int countOf(const LogCapture &log, const std::string &line) {
  int n = 0;
  for (const auto &l : log.lines())
    n += l == line;
  return n;
}

} // namespace

TEST(RobotConnect, WithoutDeviceTheConnectionFails) {
  LogCapture log;
  ZyRobot robot("lonely", true, false, false, false);
  EXPECT_FALSE(robot.blockingConnect());
  EXPECT_TRUE(log.hasLine("Cannot connect, no connection has been set."));
  EXPECT_TRUE(log.hasLine("Failed to connect to robot."));
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isBlockingConnectRunning());
  // A caller holding the robot lock keeps it through the attempt.
  ASSERT_EQ(robot.lock(), 0);
  EXPECT_FALSE(robot.blockingConnect());
  EXPECT_EQ(robot.unlock(), 0);
  EXPECT_EQ(robot.tryLock(), 0);
  EXPECT_EQ(robot.unlock(), 0);
}

TEST(RobotConnect, ADeviceThatCannotBeOpenedFailsTheConnection) {
  LogCapture log;
  ZySerialConnection port;
  port.setPortName("/nonexistent/tty");
  ZyRobot robot("r", true, false, false, false);
  robot.setDeviceConnection(&port);
  EXPECT_EQ(robot.getDeviceConnection(), &port);
  EXPECT_FALSE(robot.blockingConnect());
  EXPECT_TRUE(log.hasLine("Could not connect, because open on the device connection failed."));
  EXPECT_TRUE(log.hasLine("Failed to connect to robot."));
}

// The road of the configuration utility: connect, command 255, 115200 bit/s
// and cancel, with every byte the controller sees.
TEST(RobotConnect, HandshakeWithoutConfigThenCommand255AndCancel) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "COMPACT"));
  s.robot.setGoOnWithoutParams(true);
  auto start = Clock::now();
  ASSERT_TRUE(s.robot.blockingConnect());
  long took = msSince(start);
  usleep(100 * 1000); // lets the peer take in the last bytes
  EXPECT_TRUE(s.robot.isConnected());
  EXPECT_FALSE(s.robot.isStabilizing());

  // Until here: raw "WMS2\r", SYNC0..2, OPEN, CONFIG requests about every
  // 200 ms, and the connect callback's repeated request.
  std::string raw = peer.raw();
  EXPECT_EQ(raw.substr(0, 5), "WMS2\r");
  EXPECT_EQ(raw.substr(5, 18), frame(0) + frame(1) + frame(2));
  std::vector<Packet> sent = peer.packets();
  ASSERT_GE(sent.size(), 6u);
  EXPECT_EQ(sent[3].id, 1);
  EXPECT_EQ(sent[3].data, OPEN_DATA);
  size_t requests = 0;
  for (size_t i = 4; i < sent.size(); i++) {
    EXPECT_EQ(sent[i].id, 18) << i;
    EXPECT_EQ(sent[i].data, OPEN_DATA);
    requests++;
  }
  EXPECT_GE(requests, 4u);
  EXPECT_LE(requests, 8u);
  // Made from the parameter set about 1000 ms after the SYNC exchange.
  long openAt = sent[3].atMs;
  long madeAt = sent.back().atMs;
  EXPECT_GE(madeAt - openAt, 900);
  EXPECT_LT(madeAt - openAt, 1500);
  EXPECT_LT(took, 3000);

  EXPECT_TRUE(log.hasLine("Syncing 0"));
  EXPECT_TRUE(log.hasLine("Syncing 2"));
  EXPECT_TRUE(log.hasLine("Connected to robot."));
  EXPECT_TRUE(log.hasLine("Name: Bobby"));
  EXPECT_TRUE(log.hasLine("Type: Marlock"));
  EXPECT_TRUE(log.hasLine("Subtype: compact"));
  EXPECT_TRUE(log.hasLine("Using default parameters for a compact robot"));
  EXPECT_STREQ(s.robot.getRobotName(), "Bobby");
  EXPECT_STREQ(s.robot.getRobotType(), "Marlock");
  EXPECT_STREQ(s.robot.getRobotSubType(), "compact");
  EXPECT_STREQ(s.robot.getRobotParams()->getSubClassName(), "compact");
  EXPECT_EQ(s.robot.getNumSonar(), 8);
  // Without CONFIG the limits come from the parameter set.
  EXPECT_EQ(s.robot.getAbsoluteMaxTransVel(), 1000);
  EXPECT_EQ(s.robot.getTransVelMax(), 1000);
  EXPECT_EQ(s.robot.getRotVelMax(), 360);

  size_t before = peer.rawSize();
  ASSERT_TRUE(s.robot.com(255));
  usleep(150 * 1000);
  EXPECT_EQ(peer.raw().substr(before), std::string("\xFA\xFB\x03\xFF\x00\xFF", 6));
  EXPECT_TRUE(s.port.setBaud(115200));
  s.robot.cancelConnection();
  usleep(100 * 1000);
  EXPECT_EQ(peer.rawSize(), before + 6); // nothing more on the wire
  EXPECT_FALSE(s.robot.isConnected());
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_OPEN);
  EXPECT_EQ(portSpeed(s.pty), B115200);
  EXPECT_TRUE(log.hasLine("Cancelled connection to the robot because of command."));
  // A cancelled robot has nothing to disconnect.
  EXPECT_TRUE(s.robot.disconnect());
  usleep(50 * 1000);
  EXPECT_EQ(peer.rawSize(), before + 6);
}

TEST(RobotConnect, AReplyWithAnotherIdRestartsAtSync0) {
  LogCapture log;
  Line s;
  std::atomic<int> sync1Seen{0};
  Peer peer(s.pty, [&](const Packet &p) -> std::string {
    if (!p.data.empty())
      return p.id == 18 ? configPacket(0) : "";
    if (p.id == 1 && sync1Seen++ == 0)
      return frame(0); // wrong answer the first time
    if (p.id == 0 || p.id == 1)
      return frame(p.id);
    if (p.id == 2)
      return sync2Reply("Bobby", "Marlock", "standard");
    return "";
  });
  ASSERT_TRUE(s.robot.blockingConnect());
  std::vector<int> ids = peer.ids();
  ASSERT_GE(ids.size(), 6u);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 6), std::vector<int>({0, 1, 0, 1, 2, 1}));
  EXPECT_EQ(countOf(log, "Syncing 0"), 2);
  EXPECT_EQ(countOf(log, "Syncing 1"), 2);
}

TEST(RobotConnect, ASilentLineGivesUpAfterTheSixthTry) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, [](const Packet &) { return std::string(); });
  auto start = Clock::now();
  EXPECT_FALSE(s.robot.blockingConnect());
  long took = msSince(start);
  EXPECT_GE(took, 5900);
  EXPECT_LT(took, 9000);
  usleep(50 * 1000);
  // SYNC0, SYNC0 and the CLOSE round at five speeds, SYNC0, then OPEN after
  // the fourth and fifth silent tries, and the sixth SYNC0.
  EXPECT_EQ(peer.ids(), std::vector<int>({0, 0, 2, 2, 2, 2, 2, 0, 0, 1, 0, 1, 0}));
  EXPECT_EQ(countOf(log, "No packet."), 6);
  EXPECT_EQ(countOf(log, "Trying to close possible old connection"), 1);
  EXPECT_EQ(countOf(log, " Robot may be connected but not open, trying to dislodge."), 2);
  EXPECT_TRUE(log.hasLine("Could not connect, no robot responding."));
  EXPECT_TRUE(log.hasLine("Failed to connect to robot."));
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
  EXPECT_EQ(s.port.baudRate(), 9600); // the CLOSE round restores the rate
}

TEST(RobotConnect, AStillRunningControllerIsClosedFirst) {
  LogCapture log(ZyLog::Verbose);
  Line s;
  std::atomic<int> sync0Seen{0};
  Peer peer(s.pty, [&](const Packet &p) -> std::string {
    if (p.id == 0 && p.data.empty() && sync0Seen++ == 0)
      return frame(0x32, std::string(6, '\0')) + frame(0x32, std::string(6, '\0'));
    if (p.id == 18)
      return configPacket(0);
    if (p.data.empty() && (p.id == 0 || p.id == 1))
      return frame(p.id);
    if (p.data.empty() && p.id == 2)
      return sync2Reply("Bobby", "Marlock", "compact");
    return "";
  });
  ASSERT_TRUE(s.robot.blockingConnect());
  std::vector<Packet> sent = peer.packets();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0].id, 0);
  EXPECT_EQ(sent[1].id, 2); // CLOSE for the first status packet
  EXPECT_EQ(sent[1].data, CLOSE_DATA);
  EXPECT_EQ(sent[2].id, 2); // and again for the second one
  EXPECT_EQ(sent[3].id, 0); // then SYNC0 again
  EXPECT_TRUE(log.hasLine("Attempting to close previous connection."));
  EXPECT_EQ(countOf(log, "Got in another packet!"), 1);
}

TEST(RobotConnect, AConfusedControllerIsResynced) {
  LogCapture log;
  Line s;
  std::atomic<int> sync1Seen{0};
  Peer peer(s.pty, [&](const Packet &p) -> std::string {
    if (p.id == 1 && p.data.empty() && sync1Seen++ == 0)
      return frame(255);
    if (p.id == 18)
      return configPacket(0);
    if (p.data.empty() && (p.id == 0 || p.id == 1))
      return frame(p.id);
    if (p.data.empty() && p.id == 2)
      return sync2Reply("Bobby", "Marlock", "compact");
    return "";
  });
  ASSERT_TRUE(s.robot.blockingConnect());
  EXPECT_TRUE(log.hasLine("Attempting to correct syncCount"));
  std::vector<int> ids = peer.ids();
  ASSERT_GE(ids.size(), 5u);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 5), std::vector<int>({0, 1, 0, 1, 2}));
}

TEST(RobotConnect, TheConfigPacketSetsTheLimits) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  ASSERT_TRUE(s.robot.blockingConnect());
  // Made as soon as CONFIG is in, well before the 1000 ms CONFIG time-out.
  long madeAt = peer.now();
  std::vector<Packet> sent = peer.packets();
  ASSERT_GE(sent.size(), 5u);
  EXPECT_EQ(sent[3].id, 1);
  EXPECT_LT(madeAt - sent[3].atMs, 700);
  const ZyRobotConfigPacketReader *config = s.robot.getOrigRobotConfig();
  ASSERT_NE(config, nullptr);
  ASSERT_TRUE(config->hasConfigArrived());
  EXPECT_STREQ(config->getType(), "Marlock");
  EXPECT_STREQ(config->getSubType(), "compact");
  EXPECT_STREQ(config->getSerialNumber(), "SN-0042");
  EXPECT_STREQ(config->getName(), "Bobby");
  EXPECT_EQ(config->getTransVelTop(), 1800);
  EXPECT_EQ(config->getRevCount(), 16384);
  EXPECT_TRUE(config->getNormalMPacs());
  EXPECT_EQ(config->getRotKI(), 1);
  EXPECT_EQ(config->getTransKI(), 2);
  EXPECT_FALSE(config->getResetBaud());
  EXPECT_TRUE(config->getHasGyro());
  EXPECT_EQ(config->getShutdownVoltage(), 118);
  EXPECT_EQ(s.robot.getAbsoluteMaxTransVel(), 1800);
  EXPECT_EQ(s.robot.getAbsoluteMaxRotVel(), 300);
  EXPECT_EQ(s.robot.getTransVelMax(), 1200);
  EXPECT_EQ(s.robot.getRotVelMax(), 250);
  EXPECT_EQ(s.robot.getTransAccel(), 300);
  EXPECT_EQ(s.robot.getTransDecel(), 310);
  EXPECT_EQ(s.robot.getRotAccel(), 100);
  EXPECT_EQ(s.robot.getRotDecel(), 110);

  log.clear();
  config->printConfig();
  const std::vector<std::string> expected = {
      "General information:",
      "Robot is type 'Marlock' subtype 'compact'",
      "serial number 'SN-0042' name 'Bobby'",
      "Intrinsic properties and unsettable maxes:",
      "RotVelTop 300 RotAccelTop 600",
      "TransVelTop 1800 TransAccelTop 1500",
      "PWMMax 900 ResetBaud false",
      "Current values:",
      "RotVelMax 250 RotAccel 100 RotDecel 110",
      "TransVelMax 1200 TransAccel 300 TransDecel 310",
      "Accessories:",
      "Gripper true FrontSonar true RearSonar false Charger 1 Gyro true",
      "FrontBumps 5 RearBumps 1",
      "Settings:",
      "SipCycle 10 SonarCycle 1 HostBaud 0 Aux1Baud 2 ",
      "StallVal 200 StallCount 3 RevCount 16384 Watchdog 5000 ",
      "JoyVel 250 JoyRVel 40 NormalMotorPackets true ",
      "PID Settings:",
      "Rot kp 40 kv 20 ki 1",
      "Trans kp 35 kv 22 ki 2",
      "DriftFactor 4",
      "Aux2Baud setting 0, Aux3Baud setting 1",
      "TicksMM: 128",
      "Shutdown Voltage: 118"};
  EXPECT_EQ(log.lines(), expected);
}

TEST(RobotConnect, TheBaudSwitchIsConfirmedOrUndone) {
  LibraryFiles dir;
  LibraryDir lib(dir.path());
  dir.writeParams("compact", "Section General settings\nSwitchToBaudRate 19200\n");
  {
    // A controller that confirms: it answers the first command at the new
    // rate.
    LogCapture log;
    Line s;
    std::atomic<long> switchedAt{-1};
    Peer peer(
        s.pty,
        [&](const Packet &p) -> std::string {
          if (p.id == 18)
            return configPacket(2);
          if (p.id == 50)
            switchedAt = p.atMs;
          if (p.data.empty() && (p.id == 0 || p.id == 1) && switchedAt < 0)
            return frame(p.id);
          if (p.data.empty() && p.id == 2)
            return sync2Reply("Bobby", "Marlock", "compact");
          return "";
        },
        // After the switch, status packets every 30 ms at the new rate.
        [&, last = -1L](long now) mutable -> std::string {
          if (switchedAt < 0 || now - last < 30)
            return "";
          last = now;
          return frame(0x32, std::string(6, '\0'));
        });
    ASSERT_TRUE(s.robot.blockingConnect());
    EXPECT_TRUE(log.hasLine("Loaded robot parameters from compact.p"));
    bool switchSent = false;
    for (const Packet &p : peer.packets())
      switchSent |= p.id == 50 && p.data == std::string("\x3B\x01\x00", 3);
    EXPECT_TRUE(switchSent);
    EXPECT_EQ(s.port.baudRate(), 19200);
    EXPECT_EQ(portSpeed(s.pty), B19200);
  }
  {
    // A controller that does not: the rate goes back after 900 ms.
    LogCapture log;
    Line s;
    Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(2)));
    auto start = Clock::now();
    ASSERT_TRUE(s.robot.blockingConnect());
    EXPECT_GE(msSince(start), 900);
    EXPECT_TRUE(log.hasLine("Controller did not switch to baud, reset to 9600 baud."));
    EXPECT_EQ(s.port.baudRate(), 9600);
    EXPECT_EQ(portSpeed(s.pty), B9600);
  }
}

TEST(RobotConnect, AnUnsupportedSwitchRateIsIgnoredWithAWarning) {
  LibraryFiles dir;
  LibraryDir lib(dir.path());
  dir.writeParams("compact", "Section General settings\nSwitchToBaudRate 56800\n");
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(2)));
  ASSERT_TRUE(s.robot.blockingConnect());
  EXPECT_TRUE(log.hasLine("Warning: SwitchToBaud is set to 56800 baud, ignoring."));
  EXPECT_TRUE(log.hasLine("\tGood bauds are 9600 19200 38400 56800 116200."));
  EXPECT_EQ(s.port.baudRate(), 9600);
  EXPECT_EQ(portSpeed(s.pty), B9600);
  for (const Packet &p : peer.packets())
    EXPECT_NE(p.id, 50);
}

TEST(RobotConnect, AnUnknownSubtypeWithoutFilesFailsUnlessToldToGoOn) {
  LibraryFiles dir;
  LibraryDir lib(dir.path());
  const char ERROR[] =
      "Error: Have no parameters for this robot, bad configuration or out of date Zyla";
  {
    LogCapture log;
    Line s;
    Peer peer(s.pty, syncingController("Bobby", "Marlock", "mystery", configPacket(0)));
    EXPECT_FALSE(s.robot.blockingConnect());
    usleep(50 * 1000);
    EXPECT_TRUE(log.hasLine(ERROR));
    // The next line says where the files were looked for and how to point
    // the library at them.
    const std::vector<std::string> &lines = log.lines();
    auto error = std::find(lines.begin(), lines.end(), std::string(ERROR));
    ASSERT_TRUE(error != lines.end() && error + 1 != lines.end());
    EXPECT_EQ(*(error + 1), "Looked for mystery.p and Bobby.p in '" + dir.path() +
                                "/params/'; set ZYLA to the directory that holds params/ (an "
                                "installation keeps them in share/zyla/params under its prefix: "
                                "ZYLA=/usr/share/zyla or ZYLA=/usr/local/share/zyla).");
    EXPECT_TRUE(log.hasLine("Failed to connect to robot."));
    std::vector<Packet> sent = peer.packets();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[3].id, 1); // OPEN
    EXPECT_EQ(sent[4].id, 2); // CLOSE
    EXPECT_EQ(sent[4].data, CLOSE_DATA);
    EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
  }
  {
    LogCapture log;
    Line s;
    s.robot.setGoOnWithoutParams(true);
    Peer peer(s.pty, syncingController("Bobby", "Marlock", "mystery", configPacket(0)));
    EXPECT_TRUE(s.robot.blockingConnect());
    EXPECT_TRUE(log.hasLine(ERROR));
    EXPECT_STREQ(s.robot.getRobotParams()->getClassName(), "Marlock");
    EXPECT_STREQ(s.robot.getRobotParams()->getSubClassName(), "");
  }
}

TEST(RobotConnect, NameFileLoadsOnTopOfTheSubtypeFile) {
  LibraryFiles dir;
  LibraryDir lib(dir.path());
  dir.writeParams("mystery", "Section General settings\nMaxVelocity 700\n"
                             "Section Sonar parameters\nSonarNum 2\nSonarUnit 0 10 20 30\n");
  dir.writeParams("Bobby", "Section Sonar parameters\nSonarUnit 1 -10 -20 -30\n"
                           "Section General settings\nRequestIOPackets true\n");
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "mystery", configPacket(0)));
  ASSERT_TRUE(s.robot.blockingConnect());
  EXPECT_TRUE(log.hasLine("Loaded robot parameters from mystery.p"));
  EXPECT_TRUE(log.hasLine("Loaded robot parameters from Bobby.p on top of mystery.p robot "
                          "parameters"));
  EXPECT_EQ(s.robot.getNumSonar(), 2);
  EXPECT_EQ(s.robot.getSonarX(0), 10);
  EXPECT_EQ(s.robot.getSonarTh(1), -30);
  // RequestIOPackets asks the controller for IO packets.
  bool ioRequested = false;
  for (const Packet &p : peer.packets())
    ioRequested |= p.id == 40 && p.data == std::string("\x3B\x02\x00", 3);
  EXPECT_TRUE(ioRequested);
}

TEST(RobotConnect, LoadParamFileReplacesTheSet) {
  LibraryFiles dir;
  std::string good = dir.path() + "/params/good.p";
  std::ofstream(good) << "Section General settings\nMaxVelocity 321\nMaxRVelocity 12\n"
                         "Section Sonar parameters\nSonarNum 1\nSonarUnit 0 1 2 3\n";
  std::string bad = dir.path() + "/params/bad.p";
  std::ofstream(bad) << "Section General settings\nMaxVelocity fast\n";
  LogCapture log;
  ZyRobot robot("r", true, false, false, false);
  EXPECT_TRUE(robot.loadParamFile(good.c_str()));
  EXPECT_TRUE(log.hasLine("Loaded robot parameters from " + good + "."));
  EXPECT_EQ(robot.getAbsoluteMaxTransVel(), 321);
  EXPECT_EQ(robot.getAbsoluteMaxRotVel(), 12);
  EXPECT_EQ(robot.getNumSonar(), 1);
  EXPECT_FALSE(robot.loadParamFile(bad.c_str()));
  EXPECT_TRUE(log.hasLine("ZyRobot::loadParamFile: Could not find file '" + bad + "' to load."));
  std::string missing = dir.path() + "/none.p";
  EXPECT_FALSE(robot.loadParamFile(missing.c_str()));
  EXPECT_TRUE(
      log.hasLine("ZyRobot::loadParamFile: Could not find file '" + missing + "' to load."));
  EXPECT_EQ(robot.getRobotParams()->getAbsoluteMaxVelocity(), 0); // a generic set again
}

TEST(RobotConnect, DisconnectSendsCloseOnlyWhenConnected) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  // Not connected: nothing is sent and the port is not touched.
  ASSERT_EQ(s.port.open(), 0);
  EXPECT_TRUE(s.robot.disconnect());
  usleep(50 * 1000);
  EXPECT_EQ(peer.rawSize(), 0u);
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_OPEN);
  EXPECT_FALSE(log.contains("Disconnecting"));

  int normally = 0;
  struct Count {
    int *n;
    void hit() { ++*n; }
  } count{&normally};
  ZyFunctorC<Count> countCB(&count, &Count::hit);
  s.robot.addDisconnectNormallyCB(&countCB);
  ASSERT_TRUE(s.robot.blockingConnect());
  size_t before = peer.rawSize();
  auto start = Clock::now();
  EXPECT_TRUE(s.robot.disconnect());
  EXPECT_GE(msSince(start), 950);
  EXPECT_TRUE(log.hasLine("Disconnecting from robot."));
  EXPECT_EQ(normally, 1);
  EXPECT_EQ(peer.raw().substr(before), frame(2, CLOSE_DATA));
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
  EXPECT_FALSE(s.robot.isConnected());
}

TEST(RobotConnect, LoseConnectionClosesTheDeviceAndCallsTheErrorCallbacks) {
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  int errors = 0;
  struct Count {
    int *n;
    void hit() { ++*n; }
  } count{&errors};
  ZyFunctorC<Count> countCB(&count, &Count::hit);
  s.robot.addDisconnectOnErrorCB(&countCB);
  s.robot.loseConnection(); // not connected: nothing happens
  EXPECT_EQ(errors, 0);
  ASSERT_TRUE(s.robot.blockingConnect());
  s.robot.loseConnection();
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(log.hasLine("Lost connection to the robot because of error."));
  EXPECT_EQ(s.port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
  EXPECT_FALSE(s.robot.isConnected());
}

TEST(RobotConnect, SendTraceLogsEveryForwardedCommand) {
  LogCapture log;
  Line s;
  ASSERT_EQ(s.port.open(), 0);
  log.clear();
  EXPECT_TRUE(s.robot.com(3));
  EXPECT_FALSE(log.contains("Sent:")); // off from construction
  s.robot.setPacketsSentTracking(true);
  EXPECT_TRUE(s.robot.com(255));
  EXPECT_TRUE(s.robot.comInt(1, -5));
  EXPECT_TRUE(s.robot.com2Bytes(1, -1, 1));
  EXPECT_TRUE(s.robot.comStr(1, "abc"));
  EXPECT_TRUE(s.robot.comStrN(1, "abcdef", 2));
  const std::vector<std::string> expected = {"Sent: com(255)", "Sent: comInt(1, -5)",
                                             "Sent: com2Bytes(1, -1, 1)", "Sent: comStr(1, 'abc')",
                                             "Sent: comStrN(1, 'ab') (size 2)"};
  EXPECT_EQ(log.lines(), expected);
  std::string wire = s.pty.read(6 + 6 + 9 + 9 + 12 + 10, 1000);
  EXPECT_EQ(wire.size(), 52u);
  EXPECT_EQ(wire.substr(0, 12), frame(3) + frame(255));
  EXPECT_EQ(wire.substr(12, 9), frame(1, std::string("\x1B\x05\x00", 3)));
}

TEST(RobotConnect, CallbackListsKeepTheirOrderAndRefuseBadPositions) {
  LogCapture log;
  Line s;
  std::string order;
  struct Mark {
    std::string *out;
    char c;
    void hit() { out->push_back(c); }
  } a{&order, 'a'}, b{&order, 'b'}, c{&order, 'c'}, st{&order, 's'}, f{&order, 'f'};
  ZyFunctorC<Mark> aCB(&a, &Mark::hit), bCB(&b, &Mark::hit), cCB(&c, &Mark::hit),
      sCB(&st, &Mark::hit), fCB(&f, &Mark::hit);
  s.robot.addConnectCallback(&aCB, ZyRobot::LAST);
  s.robot.addConnectCallback(&bCB, ZyRobot::FIRST);
  s.robot.addConnectCallback(&cCB, 3);
  s.robot.addStabilizingCB(&sCB, 1);
  s.robot.addStabilizingCB(&cCB, 0);
  s.robot.addFailedCallback(&fCB, 7);
  s.robot.addDisconnectNormallyCB(&cCB, 9);
  s.robot.addDisconnectOnErrorCB(&cCB, 9);
  s.robot.addRunExitCB(&cCB, 9);
  s.robot.addPacketHandler(nullptr, 5);
  EXPECT_EQ(countOf(log, "ZyRobot::addConnectCallback: Invalid position."), 2);
  EXPECT_TRUE(log.hasLine("ZyRobot::addFailedCallback: Invalid position."));
  EXPECT_TRUE(log.hasLine("ZyRobot::addDisconnectNormallyCB: Invalid position."));
  EXPECT_TRUE(log.hasLine("ZyRobot::addDisconnectOnErrorCB: Invalid position"));
  EXPECT_TRUE(log.hasLine("ZyRobot::addRunExitCB: Invalid position"));
  EXPECT_TRUE(log.hasLine("ZyRobot::addPacketHandler: Invalid position."));

  Peer peer(s.pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  ASSERT_TRUE(s.robot.blockingConnect());
  EXPECT_EQ(order, "sba"); // stabilizing first, then the connect list in order
  s.robot.cancelConnection();

  // A failed attempt calls the failed list; a removed callback is not called.
  s.robot.addFailedCallback(&fCB);
  s.robot.addFailedCallback(&aCB);
  s.robot.remFailedCallback(&aCB);
  order.clear();
  s.robot.setDeviceConnection(nullptr);
  EXPECT_FALSE(s.robot.blockingConnect());
  EXPECT_EQ(order, "f");
}

TEST(RobotConnect, VelocityLimits) {
  LogCapture log;
  ZyRobot robot("r", true, false, false, false);
  EXPECT_TRUE(robot.setAbsoluteMaxTransVel(1000));
  EXPECT_TRUE(robot.setTransVelMax(800));
  EXPECT_FALSE(robot.setTransVelMax(1200));
  EXPECT_TRUE(log.hasLine("ZyRobot: transVelMax of 1200 is over the absolute max of 1000, "
                          "ignoring"));
  EXPECT_EQ(robot.getTransVelMax(), 800);
  EXPECT_FALSE(robot.setAbsoluteMaxTransVel(-1));
  EXPECT_TRUE(robot.setAbsoluteMaxTransVel(500)); // pulls the maximum down with it
  EXPECT_EQ(robot.getTransVelMax(), 500);

  EXPECT_TRUE(robot.setAbsoluteMaxRotVel(90));
  EXPECT_FALSE(robot.setRotVelMax(90.5));
  EXPECT_TRUE(log.hasLine("ZyRobot: rotVelMax of 90.5 is over the absolute max of 90, ignoring"));
  EXPECT_TRUE(robot.setRotVelMax(45));
  EXPECT_TRUE(robot.setAbsoluteMaxRotVel(100));
  EXPECT_EQ(robot.getRotVelMax(), 45);

  robot.setTransDecel(-300);
  robot.setRotDecel(-20);
  robot.setTransAccel(-5);
  EXPECT_EQ(robot.getTransDecel(), 300);
  EXPECT_EQ(robot.getRotDecel(), 20);
  EXPECT_EQ(robot.getTransAccel(), -5);
}

TEST(RobotConnect, NamesFormedFromTheLibraryRobotList) {
  std::list<ZyRobot *> *robots = Zyla::getRobotList();
  ASSERT_TRUE(robots->empty());
  {
    ZyRobot first;
    EXPECT_STREQ(first.getName(), "robot0");
    ZyRobot second(nullptr, true, true, false, false);
    EXPECT_STREQ(second.getName(), "robot1");
    ZyRobot named("mine", true, false, false, false);
    EXPECT_STREQ(named.getName(), "mine");
    EXPECT_EQ(robots->size(), 2u);
    EXPECT_EQ(robots->front(), &first);
  }
  EXPECT_TRUE(robots->empty()); // destruction takes the robots off the list
}

TEST(RobotConnect, DestroyingAConnectedRobotClosesTheConnection) {
  LogCapture log;
  PtyPair pty;
  ZySerialConnection port;
  port.setPortName(pty.slavePath().c_str());
  Peer peer(pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  size_t before = 0;
  {
    ZyRobot robot("doomed", true, false, false, false);
    robot.setDeviceConnection(&port);
    ASSERT_TRUE(robot.blockingConnect());
    usleep(50 * 1000);
    before = peer.rawSize();
  }
  usleep(50 * 1000);
  EXPECT_TRUE(log.hasLine("Disconnecting from robot."));
  EXPECT_EQ(peer.raw().substr(before), frame(2, CLOSE_DATA));
  EXPECT_EQ(port.status(), ZyDeviceConnection::STATUS_CLOSED_NORMALLY);
}

// A file read during the handshake refuses its bad lines one by one and
// keeps the rest; a count beyond what a robot can have is one such line.
TEST(RobotConnect, BadLinesOfAParameterFileAreRefusedAndTheRestIsRead) {
  LibraryFiles dir;
  LibraryDir lib(dir.path());
  dir.writeParams("mystery", "Section General settings\nMaxVelocity 700\n"
                             "Section IR parameters\nIRUnit 0 1 2\nIRNum 1\n"
                             "Section Sonar parameters\nSonarNum 2000000000\nSonarUnit 0 10 20 "
                             "30\n");
  LogCapture log;
  Line s;
  Peer peer(s.pty, syncingController("Bobby", "Marlock", "mystery", configPacket(0)));
  ASSERT_TRUE(s.robot.blockingConnect());
  EXPECT_TRUE(log.hasLine("ZyRobotParams: IRUnit parameters invalid"));
  const std::string file = dir.path() + "/params/mystery.p";
  EXPECT_TRUE(log.hasLine("ZyRobotParams: SonarNum 2000000000 on line 7 of file '" + file +
                          "' is out of range (a robot has 0 to 256); refused, SonarNum stays 0."));
  EXPECT_TRUE(log.hasLine("Loaded robot parameters from mystery.p"));
  EXPECT_FALSE(log.hasLine(
      "Error: Have no parameters for this robot, bad configuration or out of date Zyla"));
  EXPECT_EQ(s.robot.getRobotParams()->getAbsoluteMaxVelocity(), 700);
  EXPECT_EQ(s.robot.getRobotParams()->getNumIR(), 1);
  EXPECT_EQ(s.robot.getNumSonar(), 0);
}

// A controller that answers every SYNC with ID 255 is given up on after
// the 50 tries like any other.
TEST(RobotConnect, AConfusedControllerIsGivenUpOnAfterFiftyTries) {
  LogCapture log;
  Line s;
  s.robot.setCycleTime(10); // short drain windows keep the 50 tries quick
  Peer peer(s.pty, [](const Packet &p) -> std::string {
    return p.data.empty() && p.id <= 2 ? frame(255) : "";
  });
  std::atomic<bool> done{false};
  bool connected = true;
  std::thread connector([&] {
    connected = s.robot.blockingConnect();
    done = true;
  });
  // Without the limit the handshake goes on until it is stopped.
  for (int i = 0; i < 600 && !done; i++)
    usleep(50 * 1000);
  bool endedByItself = done;
  if (!done)
    s.robot.stopRunning(false);
  connector.join();
  EXPECT_TRUE(endedByItself);
  EXPECT_FALSE(connected);
  int syncs = 0;
  for (const Packet &p : peer.packets())
    syncs += p.data.empty() && p.id == 0;
  EXPECT_EQ(syncs, 51);
  EXPECT_TRUE(log.hasLine("Failed to connect to robot."));
}

// Commands from two threads go out whole, one after the other.
TEST(RobotConnect, CommandsFromTwoThreadsDoNotInterleave) {
  Line s;
  Peer peer(s.pty, [](const Packet &) { return std::string(); });
  ASSERT_TRUE(s.port.openDefault());
  // Without the sending lock a plain build damages a packet in some runs
  // of this many; ThreadSanitizer reports the unsynchronised use of the
  // sender's packet with far fewer, which keeps its slow run short.
#if defined(__SANITIZE_THREAD__)
  const int N = 300;
#else
  const int N = 10000;
#endif
  const std::string textArg = "a text argument of some length";
  const size_t intSize = 9, strSize = 9 + textArg.size();
  // The writers keep within what the pty holds while the peer reads, so
  // that only their interleaving can damage a packet.
  std::atomic<size_t> sent{0};
  auto pace = [&](int i, size_t size) {
    sent += size;
    for (int wait = 0; i % 32 == 0 && sent - peer.rawSize() > 2048 && wait < 2000; wait++)
      usleep(1000);
  };
  std::thread ints([&] {
    for (int i = 0; i < N; i++) {
      s.robot.comInt(10, static_cast<int16_t>(i));
      pace(i, intSize);
    }
  });
  std::thread strs([&] {
    for (int i = 0; i < N; i++) {
      s.robot.comStr(11, textArg.c_str());
      pace(i, strSize);
    }
  });
  ints.join();
  strs.join();
  const size_t total = N * (intSize + strSize);
  for (int i = 0; i < 400 && peer.rawSize() < total; i++)
    usleep(10 * 1000);
  const std::string raw = peer.raw();
  ASSERT_EQ(raw.size(), total);
  // Every packet is one of the two commands, checksum and all, and the
  // integers arrive in order.
  size_t at = 0;
  int nextInt = 0, strsSeen = 0;
  while (at < raw.size()) {
    const std::string rest = raw.substr(at);
    const std::string asInt = frame(10, std::string("\x3B", 1) + u16(nextInt));
    const std::string asStr =
        frame(11, std::string("\x2B", 1) + u8(static_cast<int>(textArg.size())) + text(textArg));
    if (rest.compare(0, asInt.size(), asInt) == 0) {
      at += asInt.size();
      nextInt++;
    } else if (rest.compare(0, asStr.size(), asStr) == 0) {
      at += asStr.size();
      strsSeen++;
    } else {
      FAIL() << "damaged packet at byte " << at;
    }
  }
  EXPECT_EQ(nextInt, N);
  EXPECT_EQ(strsSeen, N);
}

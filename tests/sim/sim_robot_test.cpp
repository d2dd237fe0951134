// SPDX-License-Identifier: MIT
// Tests of the simulated controller's firmware side: the robot packet
// protocol at the firmware's speed (SYNC exchange, OPEN and CLOSE, status
// packets, CONFIG, host baud change), the hand-over to the monitor on
// command 255, the way back after "FK", and the library's own connection
// handshake against it. The host side here builds and checks packets with
// code of its own, so that a fault in the simulator's framing shows.
#include "RawMonitorClient.h"
#include "SimPty.h"
#include "TempFiles.h"

#include "LogCapture.h"
#include "ZyRobot.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

/// A robot packet as the host builds it: sync bytes, count, ID, data and
/// the checksum of ID and data, high byte first.
Bytes packet(uint8_t id, const Bytes &data = {}) {
  Bytes out;
  out.reserve(data.size() + 6);
  out.push_back(0xFA);
  out.push_back(0xFB);
  out.push_back(static_cast<uint8_t>(data.size() + 3));
  out.push_back(id);
  for (uint8_t b : data)
    out.push_back(b);
  unsigned sum = 0;
  size_t i = 3;
  for (; i + 1 < out.size(); i += 2)
    sum = (sum + out[i] * 256u + out[i + 1]) & 0xffff;
  if (i < out.size())
    sum ^= out[i];
  out.push_back(static_cast<uint8_t>(sum >> 8));
  out.push_back(static_cast<uint8_t>(sum & 0xff));
  return out;
}

/// A command with a non-negative integer argument.
Bytes comInt(uint8_t command, int value) {
  return packet(command,
                {0x3B, static_cast<uint8_t>(value & 0xff), static_cast<uint8_t>(value >> 8)});
}

std::string text(const Bytes &bytes) {
  return std::string(bytes.begin(), bytes.end());
}

struct Received {
  uint8_t id = 0;
  Bytes data;
  Bytes wire;
};

/// The host end of the robot protocol over the simulator's terminal.
class RobotClient {
public:
  RobotClient(const std::string &path, speed_t speed) : myPort(path, speed) {}

  RawMonitorClient &port() { return myPort; }
  void send(const Bytes &bytes) { myPort.write(text(bytes)); }

  /// The next packet with a good checksum within msWait, hunting for the
  /// sync bytes; false when none came.
  bool next(Received &out, int msWait) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
    auto left = [&] {
      long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
      return ms < 0 ? 0 : static_cast<int>(ms);
    };
    for (;;) {
      std::string b = myPort.read(1, left());
      if (b.empty())
        return false;
      if (static_cast<uint8_t>(b[0]) != 0xFA)
        continue;
      b = myPort.read(1, left());
      if (b.empty())
        return false;
      if (static_cast<uint8_t>(b[0]) != 0xFB)
        continue;
      std::string count = myPort.read(1, left() + 100);
      if (count.empty())
        return false;
      size_t n = static_cast<uint8_t>(count[0]);
      if (n < 3)
        continue;
      std::string rest = myPort.read(n, left() + 200);
      if (rest.size() != n)
        return false;
      Bytes wire;
      wire.reserve(n + 3);
      wire.push_back(0xFA);
      wire.push_back(0xFB);
      wire.push_back(static_cast<uint8_t>(n));
      for (char c : rest)
        wire.push_back(static_cast<uint8_t>(c));
      Bytes rebuilt =
          packet(wire[3], Bytes(wire.begin() + 4, wire.end() - 2)); // checksum of our own
      if (rebuilt != wire)
        continue;
      out.id = wire[3];
      out.data.assign(wire.begin() + 4, wire.end() - 2);
      out.wire = wire;
      return true;
    }
  }

  /// The next packet that is not a status packet.
  bool reply(Received &out, int msWait = 1000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
    while (std::chrono::steady_clock::now() < deadline) {
      int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
      if (!next(out, ms))
        return false;
      if (out.id != 0x32)
        return true;
    }
    return false;
  }

  /// SYNC0, SYNC1 and SYNC2, each answered by a packet of the same ID;
  /// returns the SYNC2 reply's data.
  Bytes handshake() {
    Received r;
    for (uint8_t id = 0; id < 3; id++) {
      send(packet(id));
      if (!reply(r)) {
        ADD_FAILURE() << "no reply to SYNC" << int(id);
        return {};
      }
      EXPECT_EQ(id, r.id);
    }
    return r.data;
  }

private:
  RawMonitorClient myPort;
};

/// Reads the CONFIG packet's fields in their order.
class FieldReader {
public:
  explicit FieldReader(const Bytes &data) : myData(data) {}
  std::string str() {
    std::string s;
    while (myAt < myData.size() && myData[myAt] != 0)
      s += static_cast<char>(myData[myAt++]);
    EXPECT_LT(myAt, myData.size()) << "text without its NUL";
    myAt++;
    return s;
  }
  int u8() {
    EXPECT_LT(myAt, myData.size());
    return myAt < myData.size() ? myData[myAt++] : -1;
  }
  int u16() {
    int low = u8();
    int high = u8();
    return low | (high << 8);
  }
  size_t left() const { return myAt < myData.size() ? myData.size() - myAt : 0; }

private:
  const Bytes &myData;
  size_t myAt = 0;
};

SimOptions firmwareAt(int robotBaud) {
  SimOptions options;
  options.robotProtocol = true;
  options.robotBaud = robotBaud;
  return options;
}

} // namespace

TEST(SimRobotTest, FramingOnBothSidesMatchesKnownPackets) {
  // Packets whose bytes are known: command 255, comInt(1, 258) and the
  // string command 1 with "abc", whose odd last byte is XORed in.
  const Bytes to255 = {0xFA, 0xFB, 0x03, 0xFF, 0x00, 0xFF};
  const Bytes int258 = {0xFA, 0xFB, 0x06, 0x01, 0x3B, 0x02, 0x01, 0x03, 0x3C};
  const Bytes abc = {0xFA, 0xFB, 0x09, 0x01, 0x2B, 0x03, 0x61, 0x62, 0x63, 0x00, 0x66, 0xEF};
  EXPECT_EQ(to255, packet(0xFF));
  EXPECT_EQ(int258, comInt(1, 258));
  EXPECT_EQ(abc, packet(1, {0x2B, 0x03, 'a', 'b', 'c', 0x00}));

  RobotPacketEncoder e;
  e.begin(1);
  e.u8(0x2B);
  e.u8(3);
  e.text("abcdef", 3);
  size_t n = e.finish();
  EXPECT_EQ(abc, Bytes(e.bytes(), e.bytes() + n));
  e.begin(1);
  e.u8(0x3B);
  e.u16(258);
  n = e.finish();
  EXPECT_EQ(int258, Bytes(e.bytes(), e.bytes() + n));
  // An odd last byte is XORed into the low byte, not added.
  const uint8_t odd[] = {0x01, 0x02, 0xFF};
  EXPECT_EQ(0x01FD, simrobot::checksum(odd, 3));
  // More data than a packet carries is refused as a whole.
  e.begin(0x20);
  for (int i = 0; i < 253; i++)
    e.u8(0);
  EXPECT_EQ(0u, e.finish());

  RobotPacketDecoder d;
  // A stray byte, then two sync1 bytes: the first of them was stray.
  EXPECT_EQ(RobotPacketDecoder::STRAY, d.feed(0x57));
  EXPECT_EQ(RobotPacketDecoder::NONE, d.feed(0xFA));
  EXPECT_EQ(RobotPacketDecoder::STRAY, d.feed(0xFA));
  Bytes rest(abc.begin() + 1, abc.end());
  for (size_t i = 0; i + 1 < rest.size(); i++)
    EXPECT_EQ(RobotPacketDecoder::NONE, d.feed(rest[i]));
  ASSERT_EQ(RobotPacketDecoder::PACKET, d.feed(rest.back()));
  EXPECT_EQ(1, d.id());
  EXPECT_EQ(6u, d.dataLength());
  int value = 0;
  EXPECT_FALSE(simrobot::intArgument(d.data(), d.dataLength(), value));
  for (uint8_t b : int258)
    d.feed(b);
  ASSERT_TRUE(simrobot::intArgument(d.data(), d.dataLength(), value));
  EXPECT_EQ(258, value);
}

TEST(SimRobotTest, SyncExchangeAnswersEachSyncWithItsOwnPacket) {
  SimSession sim(firmwareAt(9600));
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_FALSE(sim.controller().inMonitor());
  RobotClient host(sim.path(), B9600);

  // The raw text a host writes first is ignored.
  host.port().write("WMS2\r");
  host.send(packet(0));
  EXPECT_EQ(text({0xFA, 0xFB, 0x03, 0x00, 0x00, 0x00}), host.port().read(6, 1000));
  host.send(packet(1));
  EXPECT_EQ(text({0xFA, 0xFB, 0x03, 0x01, 0x00, 0x01}), host.port().read(6, 1000));
  host.send(packet(2));
  Received r;
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(2, r.id);
  EXPECT_EQ(std::string("simbot\0Marlock\0marlock-sim\0", 27), text(r.data));
  EXPECT_EQ(packet(2, r.data), r.wire);
  EXPECT_EQ("", host.port().drain(150)) << "one reply per SYNC";

  SimRobotStats s = sim.controller().robotStats();
  EXPECT_EQ(5, s.strayBytes);
  EXPECT_EQ(3, s.syncs);
  EXPECT_EQ(3, s.packets);
  auto log = sim.controller().robotPacketLog();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ((Bytes{0xFA, 0xFB, 0x03, 0x02, 0x00, 0x02}), log[2]);
}

TEST(SimRobotTest, Sync2TextsAreCutToTheirFieldsInTheParameterBlock) {
  // A controller whose name fills all 19 bytes of its field and whose type
  // fills all 31: neither is terminated in the block.
  std::string state = tempPath("sim_robot_state");
  {
    SimMemory memory;
    auto block = memory.block7();
    memcpy(&block[141], "ABCDEFGHIJKLMNOPQRS", 19);
    memcpy(&block[0], "TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT", 31);
    memcpy(&block[32], "sub", 4);
    ASSERT_TRUE(memory.erase(7));
    ASSERT_EQ(SimMemory::WRITE_OK, memory.write(0x7000, block.data(), block.size()));
    std::string error;
    ASSERT_TRUE(memory.saveFile(state, &error)) << error;
  }
  SimOptions options = firmwareAt(19200);
  options.stateFile = state;
  {
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RobotClient host(sim.path(), B19200);
    Bytes data = host.handshake();
    EXPECT_EQ(std::string("ABCDEFGHIJKLMNOPQRS\0", 20) + std::string(31, 'T') +
                  std::string("\0sub\0", 5),
              text(data));
  }
  unlink(state.c_str());
}

TEST(SimRobotTest, ConnectionConfigStatusPacketsAndClose) {
  SimSession sim(firmwareAt(9600));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RobotClient host(sim.path(), B9600);
  Received r;

  // Nothing but SYNC is taken before the SYNC exchange.
  host.send(comInt(1, 1));
  host.send(comInt(18, 1));
  EXPECT_EQ("", host.port().drain(150));
  host.handshake();
  host.send(comInt(1, 1)); // OPEN
  // Status packets every SipCycle (100 ms) while the connection is open.
  auto opened = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0x32, r.id);
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0x32, r.id);
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(150));

  host.send(comInt(18, 1)); // CONFIG request
  ASSERT_TRUE(host.reply(r));
  ASSERT_EQ(0x20, r.id);
  FieldReader f(r.data);
  EXPECT_EQ("Marlock", f.str());
  EXPECT_EQ("marlock-sim", f.str());
  EXPECT_EQ("SIM-2024-0042", f.str());
  f.u8();
  EXPECT_EQ(360, f.u16());  // RotVelTop
  EXPECT_EQ(2200, f.u16()); // TransVelTop
  EXPECT_EQ(300, f.u16());  // RotAccelTop
  EXPECT_EQ(2000, f.u16()); // TransAccelTop
  EXPECT_EQ(500, f.u16());  // PWMMax
  EXPECT_EQ("simbot", f.str());
  EXPECT_EQ(100, f.u8());     // SipCycle
  EXPECT_EQ(0, f.u8());       // HostBaud
  EXPECT_EQ(0, f.u8());       // Aux1Baud
  EXPECT_EQ(1, f.u16());      // Gripper
  EXPECT_EQ(1, f.u16());      // FrontSonar: Sonar1 lists discs
  EXPECT_EQ(0, f.u8());       // RearSonar: Sonar3 and Sonar4 are empty
  EXPECT_EQ(115, f.u16());    // LowBattery
  EXPECT_EQ(16570, f.u16());  // RevCount
  EXPECT_EQ(5000, f.u16());   // Watchdog
  EXPECT_EQ(0, f.u8());       // NormalMotorPackets
  EXPECT_EQ(200, f.u16());    // StallVal
  EXPECT_EQ(20, f.u16());     // StallCount
  EXPECT_EQ(400, f.u16());    // JoyVel
  EXPECT_EQ(40, f.u16());     // JoyRVel
  EXPECT_EQ(240, f.u16());    // RotVelMax
  EXPECT_EQ(1200, f.u16());   // TransVelMax
  EXPECT_EQ(100, f.u16());    // RotAccel
  EXPECT_EQ(100, f.u16());    // RotDecel
  EXPECT_EQ(40, f.u16());     // Rot kp
  EXPECT_EQ(20, f.u16());     // Rot kv
  EXPECT_EQ(0, f.u16());      // Rot ki
  EXPECT_EQ(300, f.u16());    // TransAccel
  EXPECT_EQ(300, f.u16());    // TransDecel
  EXPECT_EQ(40, f.u16());     // Trans kp
  EXPECT_EQ(30, f.u16());     // Trans kv
  EXPECT_EQ(0, f.u16());      // Trans ki
  EXPECT_EQ(5, f.u8());       // FrontBumps
  EXPECT_EQ(5, f.u8());       // RearBumps
  EXPECT_EQ(0, f.u8());       // Charger
  EXPECT_EQ(40, f.u8());      // SonarCycle
  EXPECT_EQ(0, f.u8());       // ResetBaud: the host keeps its speed
  EXPECT_EQ(2, f.u8());       // Gyro (HasGyro)
  EXPECT_EQ(0xfff6, f.u16()); // DriftFactor -10
  EXPECT_EQ(0, f.u8());       // Aux2Baud
  EXPECT_EQ(0, f.u8());       // Aux3Baud
  EXPECT_EQ(128, f.u16());    // TicksMM
  EXPECT_EQ(105, f.u16());    // ShutdownVoltage
  EXPECT_EQ(0u, f.left());

  // While the connection is open SYNC0 is not answered: the status packets
  // tell the host that a connection runs. CLOSE ends it and its status
  // packets, and a new SYNC0 is answered again.
  host.send(packet(0));
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0x32, r.id);
  host.send(comInt(2, 1));
  host.port().drain(150);
  EXPECT_EQ("", host.port().drain(300)) << "status packets after CLOSE";
  host.send(packet(0));
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0, r.id);

  SimRobotStats s = sim.controller().robotStats();
  EXPECT_EQ(1, s.opens);
  EXPECT_EQ(1, s.closes);
  EXPECT_EQ(1, s.configs);
  EXPECT_GE(s.statusSent, 3);
  EXPECT_EQ(3, s.ignored); // OPEN and CONFIG before the exchange, SYNC0 while open
}

TEST(SimRobotTest, Command255HandsTheLineToTheMonitorAt115200) {
  SimSession sim(firmwareAt(9600));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RobotClient host(sim.path(), B9600);
  // Before a completed SYNC exchange command 255 is ignored; so is 255
  // with an argument.
  host.send(packet(0xFF));
  host.send(packet(0));
  host.send(packet(2));
  host.port().drain(150);
  EXPECT_FALSE(sim.controller().inMonitor());
  host.handshake();
  host.send(comInt(0xFF, 1));
  host.port().drain(100);
  EXPECT_FALSE(sim.controller().inMonitor());

  host.send(packet(0xFF));
  ASSERT_EQ(text({0xFA, 0xFB, 0x03, 0xFF, 0x00, 0xFF}), text(packet(0xFF)));
  EXPECT_EQ("", host.port().drain(150)) << "command 255 is not answered";
  EXPECT_TRUE(sim.controller().inMonitor());
  EXPECT_EQ(115200, sim.controller().lineBaud());

  // Still at 9600 the host is heard as noise; at 115200 the monitor answers.
  host.port().write(RawMonitorClient::frame("V"));
  EXPECT_EQ(std::string::npos, host.port().drain(200).find('+'));
  ASSERT_TRUE(host.port().setSpeed(B115200));
  EXPECT_EQ("VMonitor v. 1.9 fw ORVEX v2.8", host.port().command("V"));
  EXPECT_EQ("OK0", host.port().command("F?0,0"));
  EXPECT_EQ(1, sim.controller().robotStats().handOvers);
  EXPECT_GT(sim.controller().stats().noiseReceived, 0);
}

TEST(SimRobotTest, BytesAtAnotherSpeedAreNoise) {
  SimSession sim(firmwareAt(38400));
  ASSERT_TRUE(sim.ok()) << sim.error();
  {
    RobotClient host(sim.path(), B9600);
    host.send(packet(0));
    EXPECT_EQ("", host.port().drain(200));
    ASSERT_TRUE(host.port().setSpeed(B115200));
    host.send(packet(0));
    EXPECT_EQ("", host.port().drain(200));
  }
  SimRobotStats s = sim.controller().robotStats();
  EXPECT_EQ(12, s.noiseReceived);
  EXPECT_EQ(0, s.packets);

  RobotClient host(sim.path(), B38400);
  host.send(packet(0));
  Received r;
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0, r.id);
}

TEST(SimRobotTest, HostBaudChangeMovesTheFirmwareToAnotherSpeed) {
  SimOptions options = firmwareAt(9600);
  options.resetBaud = true;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RobotClient host(sim.path(), B9600);
  host.handshake();
  host.send(comInt(1, 1));
  host.send(comInt(18, 1));
  Received r;
  ASSERT_TRUE(host.reply(r));
  ASSERT_EQ(0x20, r.id);
  // ResetBaud is the 41st field, followed by 9 bytes: 2 tells the host it
  // may change the speed.
  ASSERT_GE(r.data.size(), 10u);
  EXPECT_EQ(2, r.data[r.data.size() - 10]);

  // An index outside 0 to 4 changes nothing. (The status packets keep the
  // line busy, so the waits here are plain pauses.)
  host.send(comInt(50, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(9600, sim.controller().lineBaud());

  host.send(comInt(50, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(38400, sim.controller().lineBaud());
  // The status packets now come at 38400: at 9600 they are only noise.
  // (What came before the change is read off first.)
  host.port().read(65536, 0);
  std::string heard = host.port().read(64, 400);
  EXPECT_FALSE(heard.empty());
  EXPECT_EQ(std::string::npos, heard.find(text({0xFA, 0xFB})));
  ASSERT_TRUE(host.port().setSpeed(B38400));
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0x32, r.id);
  host.send(comInt(2, 1));
  host.port().drain(150);
  host.send(packet(0));
  ASSERT_TRUE(host.reply(r));
  EXPECT_EQ(0, r.id);
  EXPECT_EQ(1, sim.controller().robotStats().baudChanges);
}

TEST(SimRobotTest, BrokenPacketsAreDroppedAndTheNextOneCounts) {
  SimSession sim(firmwareAt(9600));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RobotClient host(sim.path(), B9600);
  Bytes bad = packet(0);
  bad.back() ^= 1;
  host.send(bad);
  host.send({0xFA, 0xFB, 0x02, 0x00}); // a count no packet can have
  // A packet that stops half-way is dropped after a pause.
  host.send({0xFA, 0xFB, 0x03});
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  host.send(packet(0));
  Received r;
  ASSERT_TRUE(host.next(r, 1000));
  EXPECT_EQ(0, r.id);
  EXPECT_EQ("", host.port().drain(150));
  SimRobotStats s = sim.controller().robotStats();
  EXPECT_EQ(2, s.badChecksums);
  EXPECT_EQ(1, s.packets);
  EXPECT_EQ(1, s.syncs);
}

TEST(SimRobotTest, FkReturnsTheLineToTheFirmwareAtItsSpeed) {
  SimOptions options = firmwareAt(19200);
  options.startInMonitor = true;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_TRUE(sim.controller().inMonitor());
  RobotClient host(sim.path(), B115200);
  EXPECT_EQ("OK0", host.port().command("F?0,0"));
  host.port().write(RawMonitorClient::frame("FK"));
  EXPECT_EQ("+", host.port().read(1, 1000)) << "FK is acknowledged at the monitor's speed";
  EXPECT_FALSE(sim.controller().inMonitor());
  EXPECT_EQ(19200, sim.controller().lineBaud());

  host.port().write(RawMonitorClient::frame("F?0,0"));
  EXPECT_EQ(std::string::npos, host.port().drain(200).find('+'));
  ASSERT_TRUE(host.port().setSpeed(B19200));
  host.handshake();
  host.send(packet(0xFF));
  host.port().drain(100);
  EXPECT_TRUE(sim.controller().inMonitor());
}

TEST(SimRobotTest, WithoutTheRobotProtocolTheMonitorKeepsTheLine) {
  SimSession sim; // the firmware never answers
  ASSERT_TRUE(sim.ok()) << sim.error();
  RobotClient host(sim.path(), B115200);
  host.send(packet(0));
  EXPECT_EQ(std::string::npos, host.port().drain(200).find(text({0xFA, 0xFB})));
  host.port().write(RawMonitorClient::frame("FK"));
  EXPECT_EQ("+", host.port().read(1, 1000));
  EXPECT_EQ("OK0", host.port().command("F?0,0"));
  EXPECT_TRUE(sim.controller().inMonitor());
  EXPECT_EQ(0, sim.controller().robotStats().packets);
}

TEST(SimRobotTest, SilentControllerAnswersNoRobotPacket) {
  SimOptions options = firmwareAt(9600);
  options.faults.silent = true;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RobotClient host(sim.path(), B9600);
  for (uint8_t id = 0; id < 3; id++)
    host.send(packet(id));
  host.send(packet(0xFF));
  EXPECT_EQ("", host.port().drain(200));
  EXPECT_FALSE(sim.controller().inMonitor());
  EXPECT_EQ(4, sim.controller().robotStats().packets);
}

// The library's own handshake against the simulated firmware: identity,
// CONFIG packet and, when the firmware allows it, the host baud change to
// the parameter set's SwitchToBaudRate (38400 for the generic set).
TEST(SimRobotTest, LibraryConnectsAndSwitchesSpeedWhenAllowed) {
  for (bool resetBaud : {false, true}) {
    SCOPED_TRACE(resetBaud ? "ResetBaud 2" : "ResetBaud 0");
    LogCapture log;
    SimOptions options = firmwareAt(9600);
    options.resetBaud = resetBaud;
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    ZySerialConnection port;
    port.setPortName(sim.path().c_str());
    port.setBaud(9600);
    ZyRobot robot("simulated", true, false, false, false);
    robot.setDeviceConnection(&port);
    robot.setGoOnWithoutParams(true);
    ASSERT_TRUE(robot.blockingConnect());
    EXPECT_STREQ("simbot", robot.getRobotName());
    EXPECT_STREQ("Marlock", robot.getRobotType());
    EXPECT_STREQ("marlock-sim", robot.getRobotSubType());
    const ZyRobotConfigPacketReader *config = robot.getOrigRobotConfig();
    ASSERT_NE(nullptr, config);
    ASSERT_TRUE(config->hasConfigArrived());
    EXPECT_STREQ("SIM-2024-0042", config->getSerialNumber());
    EXPECT_EQ(16570, config->getRevCount());
    EXPECT_EQ(resetBaud ? 38400 : 9600, port.baudRate());
    EXPECT_EQ(resetBaud ? 38400 : 9600, sim.controller().lineBaud());

    // The utility's road on from here: command 255, the monitor's speed,
    // and the robot connection dropped without a word.
    robot.com(255);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(sim.controller().inMonitor());
    robot.cancelConnection();
    port.close();
  }
}

// A host that went away with its connection still open (no CLOSE, no
// command 255): the next one hears status packets in place of a SYNC0
// answer, closes the old connection and connects anew.
TEST(SimRobotTest, LibraryClosesAConnectionLeftOpenAndConnectsAgain) {
  LogCapture log;
  SimSession sim(firmwareAt(9600));
  ASSERT_TRUE(sim.ok()) << sim.error();
  for (int round = 1; round <= 2; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    ZySerialConnection port;
    port.setPortName(sim.path().c_str());
    ZyRobot robot("simulated", true, false, false, false);
    robot.setDeviceConnection(&port);
    robot.setGoOnWithoutParams(true);
    ASSERT_TRUE(robot.blockingConnect());
    EXPECT_STREQ("simbot", robot.getRobotName());
    robot.cancelConnection();
    port.close();
  }
  EXPECT_TRUE(log.hasLine("Attempting to close previous connection."));
  SimRobotStats s = sim.controller().robotStats();
  EXPECT_EQ(2, s.opens);
  EXPECT_GE(s.closes, 1);
  EXPECT_FALSE(sim.controller().inMonitor());
}

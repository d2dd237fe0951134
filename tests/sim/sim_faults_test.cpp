// SPDX-License-Identifier: MIT
// Tests of the simulator's injected faults: silence, wrong reply checksum,
// lost acknowledgement, refused erase and write, noise between packets and
// power loss in the middle of a write.
#include "RawMonitorClient.h"
#include "SimCommandLine.h"
#include "SimPty.h"
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

SimOptions withFaults(const SimFaults &faults) {
  SimOptions options;
  options.faults = faults;
  return options;
}

} // namespace

TEST(SimFaultsTest, SilentControllerAnswersNothingAndDoesNothing) {
  SimFaults faults;
  faults.silent = true;
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::array<uint8_t, SimMemory::PARAM_SIZE> before = sim.controller().block7();
  RawMonitorClient host(sim.path());
  host.write("+" + RawMonitorClient::frame("F?0,0") + RawMonitorClient::frame("FE7"));
  std::string bad = RawMonitorClient::frame("V");
  bad.back() = 'x';
  host.write(bad);
  EXPECT_EQ("", host.drain(300));
  EXPECT_EQ(before, sim.controller().block7());
  SimStats s = sim.controller().stats();
  EXPECT_EQ(2, s.commands); // heard, not carried out
  EXPECT_EQ(0, s.bytesSent);
  EXPECT_EQ(0, s.erases);
}

TEST(SimFaultsTest, WrongChecksumOnTheSelectedReplyOnly) {
  SimFaults faults;
  ASSERT_TRUE(faults.badChecksum.parse("V:2"));
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  for (int round = 1; round <= 3; round++) {
    host.write(RawMonitorClient::frame("V"));
    ASSERT_EQ("+", host.read(1, 1000));
    std::string body, digits;
    ASSERT_TRUE(host.readReply(body, digits));
    if (round == 2)
      EXPECT_NE(RawMonitorClient::hex2(RawMonitorClient::sum(body)), digits);
    else
      EXPECT_EQ(RawMonitorClient::hex2(RawMonitorClient::sum(body)), digits);
    host.write(round == 2 ? "-" : "+");
  }
  // The rejected reply is not sent again.
  EXPECT_EQ("", host.drain(200));
  SimStats s = sim.controller().stats();
  EXPECT_EQ(1, s.checksumsCorrupted);
  EXPECT_EQ(1, s.replyNaks);
  EXPECT_EQ(2, s.replyAcks);
}

TEST(SimFaultsTest, WrongChecksumOnEveryBinaryReply) {
  SimFaults faults;
  ASSERT_TRUE(faults.badChecksum.parse("m:*"));
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  for (int round = 0; round < 2; round++) {
    host.write(RawMonitorClient::frame("m7000,FFF"));
    ASSERT_EQ("+", host.read(1, 1000));
    std::string body, digits;
    ASSERT_TRUE(host.readReply(body, digits));
    EXPECT_EQ(8192u, body.size());
    EXPECT_NE(RawMonitorClient::hex2(RawMonitorClient::sum(body)), digits);
    host.write("-");
  }
  EXPECT_EQ("OK0", host.command("F?0,0"));
}

TEST(SimFaultsTest, LostAcknowledgementStillCarriesTheCommandOut) {
  SimFaults faults;
  ASSERT_TRUE(faults.dropAck.parse("FE7"));
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("FE7"));
  std::string skipped, body, digits;
  ASSERT_TRUE(host.readReply(body, digits, 1000, &skipped));
  EXPECT_EQ("", skipped); // no "+" before the reply
  EXPECT_EQ("OK0", body);
  host.write("+");
  EXPECT_EQ(0xff, sim.controller().block7()[0]);
  EXPECT_EQ(1, sim.controller().stats().acksDropped);
  // Only the first one.
  EXPECT_EQ("OK0", host.command("FE7"));
}

TEST(SimFaultsTest, RefusedEraseChangesNothing) {
  SimFaults faults;
  ASSERT_TRUE(faults.refuse.parse("FE7"));
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::array<uint8_t, SimMemory::PARAM_SIZE> before = sim.controller().block7();
  std::string reply = host.command("FE7");
  EXPECT_EQ("ER2", reply);
  EXPECT_NE('0', reply[2]);
  EXPECT_EQ(before, sim.controller().block7());
  // Other blocks and later erases are not affected.
  EXPECT_EQ("OK0", host.command("FE6"));
  EXPECT_EQ("OK0", host.command("FE7"));
  EXPECT_EQ(1, sim.controller().stats().refused);
}

TEST(SimFaultsTest, RefusedWriteIsTheSelectedOne) {
  SimFaults faults;
  ASSERT_TRUE(faults.refuse.parse("FW:2"));
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  ASSERT_EQ("OK0", host.command("FE7")); // erases do not count
  EXPECT_EQ("OK0", host.command("FW7000,11"));
  EXPECT_EQ("ER2", host.command("FW7001,22"));
  EXPECT_EQ("OK0", host.command("FW7002,33"));
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0xff, 0x33}), sim.controller().readMemory(0x7000, 3));
}

// Writes that the monitor answers "OK0" and stores wrong: only the selected
// one, which a read-back then shows.
TEST(SimFaultsTest, LostAndChangedWritesAnswerOkAndStoreWrong) {
  struct Case {
    const char *option;
    const char *trigger;
    std::vector<uint8_t> stored; // 0x8000 to 0x8002 afterwards
    long lost, changed;
  };
  const Case cases[] = {
      {"--lose-write", "FW8001", {0x11, 0xff, 0x33}, 1, 0},
      {"--flip-byte", "FW:2", {0x11, 0x23, 0x33}, 0, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.option);
    SimCommandLine line;
    std::string error;
    const char *argv[] = {c.option, c.trigger};
    ASSERT_TRUE(parseSimCommandLine(2, argv, line, error)) << error;
    SimSession sim(withFaults(line.options.faults));
    ASSERT_TRUE(sim.ok()) << sim.error();
    RawMonitorClient host(sim.path());
    ASSERT_EQ("OK0", host.command("FE8")); // erases do not count
    EXPECT_EQ("OK0", host.command("FW8000,11"));
    EXPECT_EQ("OK0", host.command("FW8001,22"));
    EXPECT_EQ("OK0", host.command("FW8002,33"));
    EXPECT_EQ(c.stored, sim.controller().readMemory(0x8000, 3));
    EXPECT_EQ(c.lost, sim.controller().stats().writesLost);
    EXPECT_EQ(c.changed, sim.controller().stats().bytesChanged);
  }
}

TEST(SimFaultsTest, NoiseComesBetweenTheAcknowledgementAndTheReply) {
  SimFaults faults;
  faults.noiseBytes = 25;
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("F?0,0"));
  ASSERT_EQ("+", host.read(1, 1000));
  std::string skipped, body, digits;
  ASSERT_TRUE(host.readReply(body, digits, 1000, &skipped));
  EXPECT_EQ(25u, skipped.size());
  EXPECT_EQ(std::string::npos, skipped.find_first_of("$#+-}"));
  EXPECT_EQ("OK0", body);
  host.write("+");
  // Every reply gets its noise; acknowledgements do not.
  host.write(RawMonitorClient::frame("FK"));
  EXPECT_EQ("+", host.drain(150));
}

TEST(SimFaultsTest, PowerLossInTheMiddleOfAWrite) {
  std::string state = tempPath("sim_power");
  unlink(state.c_str());
  SimOptions options;
  options.stateFile = state;
  std::string erase = RawMonitorClient::frame("FE7");
  std::string first = RawMonitorClient::frame("FW7000,0102");
  std::string second = RawMonitorClient::frame("FW7002,0304");
  // The controller hears the erase, the first write and the "+" answers to
  // their replies, then half of the second write.
  options.faults.dieAfterBytes =
      static_cast<long>(erase.size() + 1 + first.size() + 1 + second.size() / 2);
  {
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RawMonitorClient host(sim.path());
    ASSERT_EQ("OK0", host.command("FE7"));
    ASSERT_EQ("OK0", host.command("FW7000,0102"));
    host.write(second);
    EXPECT_EQ("", host.drain(200));
    host.write(RawMonitorClient::frame("V"));
    EXPECT_EQ("", host.drain(200));
    SimStats s = sim.controller().stats();
    EXPECT_TRUE(s.poweredOff);
    EXPECT_EQ(options.faults.dieAfterBytes, s.bytesReceived);
  }
  // Power back on: the memory holds what was written before the loss.
  SimOptions again;
  again.stateFile = state;
  SimSession sim(again);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  EXPECT_EQ("0102ffff", host.command("m7000,3"));
  unlink(state.c_str());
}

TEST(SimFaultsTest, StallCarriesOutTheCommandThenAnswersNothing) {
  // Table: the stalled command, what block 7 holds afterwards.
  struct Case {
    const char *trigger;
    const char *third; // the third command, the one that stalls
    const char *after; // m7000,3 after power comes back
  } cases[] = {
      {"FE:2", "FE7", "ffffffff"},         // erased, then silent
      {"FW:2", "FW7002,0304", "01020304"}, // the second piece written, then silent
      {"m7000:1", "m7000,3", "0102ffff"},  // a read changes nothing
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.trigger);
    std::string state = tempPath("sim_stall");
    unlink(state.c_str());
    SimOptions options;
    options.stateFile = state;
    ASSERT_TRUE(options.faults.stall.parse(c.trigger));
    {
      SimSession sim(options);
      ASSERT_TRUE(sim.ok()) << sim.error();
      RawMonitorClient host(sim.path());
      ASSERT_EQ("OK0", host.command("FE7"));
      ASSERT_EQ("OK0", host.command("FW7000,0102"));
      EXPECT_FALSE(sim.controller().stats().stalled);
      host.write(RawMonitorClient::frame(c.third));
      EXPECT_EQ("", host.drain(200)) << "no \"+\", no reply";
      host.write(RawMonitorClient::frame("V"));
      EXPECT_EQ("", host.drain(200)) << "nothing more";
      EXPECT_TRUE(sim.controller().stats().stalled);
    }
    SimOptions again;
    again.stateFile = state;
    SimSession sim(again);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RawMonitorClient host(sim.path());
    EXPECT_EQ(c.after, host.command("m7000,3"));
    unlink(state.c_str());
  }
}

TEST(SimFaultsTest, ReplyPausesAfterItsKthCharacter) {
  SimFaults faults;
  faults.pauseReply.parse("m7000");
  faults.pauseAfter = 100;
  faults.pauseMs = 300;
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("m7000,FFF"));
  ASSERT_EQ("+", host.read(1, 1000));
  // "$" and 100 digits come at once, then nothing for the pause.
  EXPECT_EQ(101u, host.read(101, 1000).size());
  EXPECT_EQ("", host.read(1, 150));
  std::string rest = host.read(8092 + 3, 3000);
  ASSERT_EQ(8095u, rest.size());
  EXPECT_EQ('#', rest[8092]);
  host.write("+");
  // Only the selected reply pauses.
  std::string body, digits;
  host.write(RawMonitorClient::frame("m7000,FFF"));
  ASSERT_EQ("+", host.read(1, 1000));
  ASSERT_TRUE(host.readReply(body, digits, 2000));
  EXPECT_EQ(8192u, body.size());
  EXPECT_EQ(1, sim.controller().stats().repliesPaused);
}

TEST(SimFaultsTest, ReplyCutShortOrShortReadOrStrayBytes) {
  SimFaults faults;
  faults.cutReply.parse("m7000:1");
  faults.cutAfter = 600;
  faults.shortRead.parse("m7000:2");
  faults.shortReadBytes = 200;
  faults.stray.parse("FE7");
  faults.strayBytes = 4;
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto block = sim.controller().block7();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("m7000,FFF"));
  std::string cut = host.drain(200);
  ASSERT_EQ(1u + 1 + 600, cut.size()) << "'+', '$' and 600 digits, no '#'";
  EXPECT_EQ(cut.find('#'), std::string::npos);

  host.write(RawMonitorClient::frame("m7000,FFF"));
  ASSERT_EQ("+", host.read(1, 1000));
  std::string body, digits;
  ASSERT_TRUE(host.readReply(body, digits));
  EXPECT_EQ(400u, body.size());
  EXPECT_EQ(RawMonitorClient::hex2(RawMonitorClient::sum(body)), digits) << "a good checksum";
  EXPECT_EQ(RawMonitorClient::fromHex(body),
            std::string(reinterpret_cast<const char *>(block.data()), 200));
  host.write("+");

  host.write(RawMonitorClient::frame("FE7"));
  std::string answer = host.read(5, 1000);
  ASSERT_EQ(5u, answer.size());
  EXPECT_EQ('+', answer[4]) << "four stray bytes, then the acknowledgement";
  for (int i = 0; i < 4; i++)
    EXPECT_TRUE(answer[i] != '+' && answer[i] != '$') << i;
  ASSERT_TRUE(host.readReply(body, digits));
  EXPECT_EQ("OK0", body);
  SimStats s = sim.controller().stats();
  EXPECT_EQ(1, s.repliesCut);
  EXPECT_EQ(1, s.shortReads);
  EXPECT_EQ(1, s.strayBursts);
  EXPECT_EQ(1, s.erases);
}

TEST(SimFaultsTest, SwappedDigitsKeepTheChecksumAndDifferFromReplyToReply) {
  SimFaults faults;
  ASSERT_TRUE(faults.swapDigits.parse("m7000:*"));
  faults.swapFrom = 10;
  SimSession sim(withFaults(faults));
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto block = sim.controller().block7();
  const std::string intact = RawMonitorClient::toHex(
      std::string(reinterpret_cast<const char *>(block.data()), block.size()));
  RawMonitorClient host(sim.path());
  std::vector<size_t> swappedAt;
  for (int round = 0; round < 3; round++) {
    host.write(RawMonitorClient::frame("m7000,FFF"));
    ASSERT_EQ("+", host.read(1, 1000));
    std::string body, digits;
    ASSERT_TRUE(host.readReply(body, digits));
    host.write("+");
    EXPECT_EQ(RawMonitorClient::hex2(RawMonitorClient::sum(body)), digits) << "a good checksum";
    ASSERT_EQ(body.size(), intact.size());
    // Exactly two neighbouring digits differ, swapped, from the 10th on.
    std::vector<size_t> differ;
    for (size_t i = 0; i < body.size(); i++)
      if (body[i] != intact[i])
        differ.push_back(i);
    ASSERT_EQ(differ.size(), 2u) << round;
    EXPECT_EQ(differ[1], differ[0] + 1);
    EXPECT_EQ(body[differ[0]], intact[differ[1]]);
    EXPECT_GE(differ[0], 10u);
    if (!swappedAt.empty()) {
      EXPECT_GT(differ[0], swappedAt.back()) << "each damaged reply unlike the one before";
    }
    swappedAt.push_back(differ[0]);
  }
  EXPECT_EQ(3, sim.controller().stats().digitsSwapped);
  // Replies to other commands are not touched.
  EXPECT_EQ("OK0", host.command("F?0,0"));
}

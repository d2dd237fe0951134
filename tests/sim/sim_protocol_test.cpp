// SPDX-License-Identifier: MIT
// Tests of the simulated controller over its pseudo-terminal, driven by a
// raw client: acknowledgements, checksums, identity, reading, erasing and
// writing FLASH, host answers, speed mismatch, reopening and persistence.
#include "RawMonitorClient.h"
#include "SimPty.h"
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

TEST(SimProtocolTest, ProbeIsAcknowledgedAndAnsweredWithAGoodChecksum) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("F?0,0"));
  std::string ack = host.read(1, 1000);
  EXPECT_EQ("+", ack);
  std::string body, digits;
  ASSERT_TRUE(host.readReply(body, digits));
  EXPECT_EQ("OK0", body);
  EXPECT_EQ("ca", digits);
  host.write("+");
  EXPECT_EQ("", host.drain(100));
  SimStats s = sim.controller().stats();
  EXPECT_EQ(1, s.commands);
  EXPECT_EQ(1, s.replyAcks);
  EXPECT_EQ(std::vector<std::string>{"F?0,0"}, sim.controller().commandLog());
}

TEST(SimProtocolTest, IdentityReplyCarriesTheConfiguredVersions) {
  SimOptions options;
  options.identity.monitorMajor = '2';
  options.identity.monitorMinor = '1';
  options.identity.firmwareName = "ORVEX";
  options.identity.firmwareMajor = '2';
  options.identity.firmwareMinor = '9';
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::string body = host.command("V");
  ASSERT_GE(body.size(), 29u);
  EXPECT_LE(body.size(), 40u);
  EXPECT_EQ('2', body[12]);
  EXPECT_EQ('1', body[14]);
  EXPECT_EQ("ORVEX", body.substr(19, 5));
  EXPECT_EQ('2', body[26]);
  EXPECT_EQ('9', body[28]);
}

TEST(SimProtocolTest, RawIdentityReplyIsSentAsGiven) {
  SimOptions options;
  options.identity.rawReply = "Vold stub";
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  EXPECT_EQ("Vold stub", host.command("V"));
}

TEST(SimProtocolTest, ParameterBlockReadGivesAll4096Bytes) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::string body = host.command("m7000,FFF", 5000);
  ASSERT_EQ(8192u, body.size());
  EXPECT_EQ(std::string::npos, body.find_first_not_of("0123456789abcdef"));
  std::string bytes = RawMonitorClient::fromHex(body);
  std::array<uint8_t, SimMemory::PARAM_SIZE> block = sim.controller().block7();
  EXPECT_EQ(std::string(block.begin(), block.end()), bytes);
  EXPECT_EQ("Marlock", bytes.substr(0, 7));

  // Other addresses and lengths: the last offset is inclusive.
  EXPECT_EQ("", host.command("m1000,0").substr(2));
  std::vector<uint8_t> four = sim.controller().readMemory(0x3fffc, 4);
  EXPECT_EQ(RawMonitorClient::toHex(std::string(four.begin(), four.end())),
            host.command("m3fffc,3"));
  EXPECT_EQ("ER1", host.command("m3fffd,3")); // beyond the memory
  EXPECT_EQ("ER1", host.command("m0,1000"));  // more than 4096 bytes
  EXPECT_EQ("ER1", host.command("m7000"));    // no length
}

TEST(SimProtocolTest, EraseSetsTheBlockToFF) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::vector<uint8_t> block6 = sim.controller().readMemory(0x6000, 0x1000);
  EXPECT_EQ("OK0", host.command("FE7"));
  std::array<uint8_t, SimMemory::PARAM_SIZE> block = sim.controller().block7();
  for (uint8_t b : block)
    ASSERT_EQ(0xff, b);
  EXPECT_EQ(block6, sim.controller().readMemory(0x6000, 0x1000));

  EXPECT_EQ("OK0", host.command("FEb"));
  std::vector<uint8_t> last = sim.controller().readMemory(0x30000, 0x10000);
  EXPECT_EQ(std::vector<uint8_t>(0x10000, 0xff), last);

  EXPECT_EQ("ER1", host.command("FEc"));
  EXPECT_EQ("ER1", host.command("FE"));
  EXPECT_EQ(2, sim.controller().stats().erases);
}

TEST(SimProtocolTest, WriteClearsBitsOnly) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  ASSERT_EQ("OK0", host.command("FE7"));
  EXPECT_EQ("OK0", host.command("FW7000,f03c"));
  EXPECT_EQ((std::vector<uint8_t>{0xf0, 0x3c, 0xff}), sim.controller().readMemory(0x7000, 3));

  // Over programmed bytes a write can only clear more bits, and says so.
  EXPECT_EQ("ER3", host.command("FW7000,0fff"));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x3c, 0xff}), sim.controller().readMemory(0x7000, 3));

  // A whole 128-byte piece as the tool sends it.
  std::string piece;
  for (int i = 0; i < 128; i++)
    piece += static_cast<char>(i * 3);
  EXPECT_EQ("OK0", host.command("FW7080," + RawMonitorClient::toHex(piece)));
  std::vector<uint8_t> back = sim.controller().readMemory(0x7080, 128);
  EXPECT_EQ(piece, std::string(back.begin(), back.end()));

  EXPECT_EQ("ER1", host.command("FW3ffff,0000")); // beyond the memory
  EXPECT_EQ("ER1", host.command("FW7000,abc"));   // odd digit count
  EXPECT_EQ("ER1", host.command("FW7000,zz"));    // not hexadecimal
  EXPECT_EQ("ER1", host.command("FW,00"));        // no address
  SimStats s = sim.controller().stats();
  EXPECT_EQ(3, s.writes);
  EXPECT_EQ(2 + 2 + 128, s.bytesWritten);
}

TEST(SimProtocolTest, ResetAndKillAreOnlyAcknowledged) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("FR"));
  EXPECT_EQ("+", host.drain(150));
  host.write(RawMonitorClient::frame("FK"));
  EXPECT_EQ("+", host.drain(150));
  EXPECT_EQ((std::vector<std::string>{"FR", "FK"}), sim.controller().commandLog());
  EXPECT_EQ(0, sim.controller().stats().repliesSent);
}

TEST(SimProtocolTest, LonePlusIsIgnored) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write("+");
  EXPECT_EQ("", host.drain(150));
  EXPECT_EQ(1, sim.controller().stats().lonePluses);
  // The command right after it is served normally.
  EXPECT_EQ("OK0", host.command("F?0,0"));
}

TEST(SimProtocolTest, RejectedReplyIsNotSentAgain) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write(RawMonitorClient::frame("V"));
  ASSERT_EQ("+", host.read(1, 1000));
  std::string body, digits;
  ASSERT_TRUE(host.readReply(body, digits));
  host.write("-");
  EXPECT_EQ("", host.drain(300));
  SimStats s = sim.controller().stats();
  EXPECT_EQ(1, s.replyNaks);
  EXPECT_EQ(1, s.repliesSent);
}

TEST(SimProtocolTest, PacketWithBadChecksumIsRefusedAndNotCarriedOut) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::array<uint8_t, SimMemory::PARAM_SIZE> before = sim.controller().block7();
  std::string bad = RawMonitorClient::frame("FE7");
  bad[bad.size() - 1] = bad[bad.size() - 1] == '0' ? '1' : '0';
  host.write(bad);
  EXPECT_EQ("-", host.drain(150));
  EXPECT_EQ(before, sim.controller().block7());
  EXPECT_EQ(1, sim.controller().stats().badChecksums);
  EXPECT_EQ(0, sim.controller().stats().commands);
}

TEST(SimProtocolTest, EscapedCommandCharactersAreUnescaped) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  // Not a command the monitor knows: it answers with an empty reply.
  EXPECT_EQ("", host.command("X$#}Y"));
  EXPECT_EQ(std::vector<std::string>{"X$#}Y"}, sim.controller().commandLog());
}

TEST(SimProtocolTest, WrongSpeedTurnsBytesIntoNoise) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path(), B9600);
  host.write(RawMonitorClient::frame("V"));
  std::string heard = host.drain(200);
  EXPECT_EQ(std::string::npos, heard.find('+'));
  EXPECT_EQ(std::string::npos, heard.find('$'));
  SimStats s = sim.controller().stats();
  EXPECT_EQ(5, s.noiseReceived);
  EXPECT_EQ(0, s.commands);

  // At the controller's speed the same port works.
  ASSERT_TRUE(host.setSpeed(B115200));
  EXPECT_EQ('V', host.command("V")[0]);
}

TEST(SimProtocolTest, ControllerAtAnotherSpeed) {
  SimOptions options;
  options.baud = 9600;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path(), B115200);
  host.write(RawMonitorClient::frame("V"));
  EXPECT_EQ(std::string::npos, host.drain(200).find('+'));
  ASSERT_TRUE(host.setSpeed(B9600));
  EXPECT_EQ("OK0", host.command("F?0,0"));
}

TEST(SimProtocolTest, ServesAcrossTheHostClosingAndReopeningThePort) {
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  for (int round = 0; round < 3; round++) {
    RawMonitorClient host(sim.path());
    EXPECT_EQ("OK0", host.command("F?0,0")) << "round " << round;
  }
  // A host that goes away before reading its reply leaves nothing behind
  // for the next one, which flushes its input on opening.
  {
    RawMonitorClient host(sim.path());
    host.write(RawMonitorClient::frame("m7000,FFF"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  RawMonitorClient host(sim.path());
  EXPECT_EQ("OK0", host.command("F?0,0"));
  EXPECT_TRUE(sim.controller().running());
}

TEST(SimProtocolTest, LinkPointsToTheTerminalAndGoesAway) {
  std::string link = tempPath("sim_link");
  unlink(link.c_str());
  // A lock file a killed simulator left behind holds no lock: no obstacle.
  FILE *stale = fopen((link + ".lock").c_str(), "w");
  ASSERT_NE(nullptr, stale);
  fputs("99999\n", stale);
  fclose(stale);
  {
    SimSession sim(SimOptions(), link);
    ASSERT_TRUE(sim.ok()) << sim.error();
    EXPECT_EQ(link, sim.path());
    char target[256] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(sim.slavePath(), target);
    RawMonitorClient host(link);
    EXPECT_EQ("OK0", host.command("F?0,0"));
    // A second simulator on the same link is refused and leaves it alone.
    SimSession second(SimOptions(), link);
    EXPECT_FALSE(second.ok());
    EXPECT_EQ(0u, second.error().find("the link '" + link +
                                      "' belongs to a running simulator (process " +
                                      std::to_string(getpid()) + ")."))
        << second.error();
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(sim.slavePath(), target);
  }
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st));
  EXPECT_NE(0, lstat((link + ".lock").c_str(), &st));

  // A regular file in the way is not replaced.
  FILE *f = fopen(link.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fclose(f);
  SimSession blocked(SimOptions(), link);
  EXPECT_FALSE(blocked.ok());
  EXPECT_NE(std::string::npos, blocked.error().find("not a symbolic link")) << blocked.error();
  unlink(link.c_str());
}

TEST(SimProtocolTest, MemoryPersistsAcrossRunsInTheStateFile) {
  std::string state = tempPath("sim_persist");
  unlink(state.c_str());
  SimOptions options;
  options.stateFile = state;
  {
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RawMonitorClient host(sim.path());
    ASSERT_EQ("OK0", host.command("FE7"));
    ASSERT_EQ("OK0", host.command("FW7000,4e657742" /* "NewB" */));
  }
  {
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RawMonitorClient host(sim.path());
    std::string bytes = RawMonitorClient::fromHex(host.command("m7000,FFF"));
    ASSERT_EQ(4096u, bytes.size());
    EXPECT_EQ("NewB", bytes.substr(0, 4));
    EXPECT_EQ(std::string(4092, '\xff'), bytes.substr(4));
  }
  unlink(state.c_str());
}

TEST(SimProtocolTest, StateIsSavedWhenTheLineGoesQuiet) {
  std::string state = tempPath("sim_quiet");
  unlink(state.c_str());
  SimOptions options;
  options.stateFile = state;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  ASSERT_EQ("OK0", host.command("FE3"));
  // Without a stop, a quiet line gets the memory saved (as after a crash
  // of the simulator, the file then holds the erase).
  SimMemory saved;
  std::string error;
  bool erased = false;
  for (int i = 0; i < 40 && !erased; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    erased = saved.loadFile(state, &error) && saved.at(0x3000) == 0xff && saved.at(0x3fff) == 0xff;
  }
  EXPECT_TRUE(erased);
  unlink(state.c_str());
}

TEST(SimProtocolTest, VerboseLogTellsWhatHappened) {
  SimOptions options;
  options.verbose = true;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  host.write("+");
  host.command("FE7");
  host.drain(50);
  sim.controller().stop();
  std::string all;
  for (const std::string &line : sim.controller().logLines())
    all += line + "\n";
  EXPECT_NE(std::string::npos, all.find("<- + with no reply outstanding, ignored")) << all;
  EXPECT_NE(std::string::npos, all.find("<- command \"FE7\"")) << all;
  EXPECT_NE(std::string::npos, all.find("-> +")) << all;
  EXPECT_NE(std::string::npos,
            all.find("-> reply \"OK0\" checksum ca: erased block 7 (0x7000 to 0x7fff)"))
      << all;
  EXPECT_NE(std::string::npos, all.find("<- + (host accepted the reply)")) << all;
}

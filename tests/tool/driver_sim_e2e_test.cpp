// SPDX-License-Identifier: MIT
// End-to-end runs of orvexconf against the controller simulator on a pty:
// the three ways of connecting (client connection, direct probe, autobaud),
// identity check, FLASH read and write, uploads, the shell with a link, the
// exit statuses of the failures along the way, the checks made before the
// controller is touched, port problems, and runs ended by signals.
#include "BackupStore.h"
#include "FirmwareFiles.h"
#include "ProcessRunner.h"
#include "ReportCheck.h"
#include "SimPty.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
const std::map<std::string, std::string> kCleanEnv = {
    {"ZYLAARGS", ""}, {"ZYLOG_LEVEL", ""}, {"ZYLA_SIGHANDLE_METHOD", ""}, {"ZYLA", ""}};

RunResult runTool(const std::vector<std::string> &args, const TempDir &dir,
                  const std::string &input = "") {
  return runProgram(binPath("orvexconf"), args, input, kCleanEnv, dir.path(), 90000);
}

bool hasLine(const std::string &out, const std::string &line) {
  auto lines = splitLines(out);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool contains(const std::vector<std::string> &commands, const std::string &prefix) {
  for (const auto &c : commands)
    if (c.compare(0, prefix.size(), prefix) == 0)
      return true;
  return false;
}

/// A controller as it comes: its firmware speaks the robot protocol at
/// robotBaud and hands the line to the monitor on command 255.
SimOptions controller(int robotBaud = 9600) {
  SimOptions options;
  options.robotProtocol = true;
  options.robotBaud = robotBaud;
  return options;
}

/// The run connected by a client connection, without the other ways.
void expectClientConnection(const std::string &out) {
  EXPECT_NE(out.find("Trying client connection...\nConnected with controller.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Trying direct connection..."), std::string::npos) << out;
  EXPECT_EQ(out.find("Trying autobaud..."), std::string::npos) << out;
}

std::string field(const std::array<uint8_t, SimMemory::PARAM_SIZE> &block, size_t offset,
                  size_t size) {
  std::string text(reinterpret_cast<const char *>(block.data()) + offset, size);
  return text.substr(0, strnlen(text.c_str(), size));
}
} // namespace

TEST(DriverWithController, BatchRunWritesChangedParametersAndKeepsTheRestOfTheBlock) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto before = sim.controller().block7();
  struct termios lineBefore, lineAfter;
  ASSERT_EQ(tcgetattr(sim.pty().slaveKeep(), &lineBefore), 0);
  RunResult r =
      runTool({"-rp", sim.path(), "-b", "Name", "Foo", "RevCount", "70000", "-s", "out.rop"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  // The port's settings are as the run found them.
  ASSERT_EQ(tcgetattr(sim.pty().slaveKeep(), &lineAfter), 0);
  EXPECT_EQ(cfgetospeed(&lineAfter), cfgetospeed(&lineBefore));
  EXPECT_EQ(lineAfter.c_cflag, lineBefore.c_cflag);
  expectClientConnection(r.out);
  for (const char *line : {"Entering batch mode.", "Connected with controller.",
                           "Reading FLASH parameters from controller.", "Your robot's name is Foo",
                           "Revcount set to 4464.", "Saving to file 'out.rop'."})
    EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;

  // On the wire: the handshake, then exactly one command packet, command
  // 255 without argument, and then only the monitor dialogue.
  auto packets = sim.controller().robotPacketLog();
  const std::vector<uint8_t> to255 = {0xFA, 0xFB, 0x03, 0xFF, 0x00, 0xFF};
  const std::vector<uint8_t> sync2 = {0xFA, 0xFB, 0x03, 0x02, 0x00, 0x02};
  ASSERT_GE(packets.size(), 5u);
  EXPECT_EQ(std::count(packets.begin(), packets.end(), to255), 1);
  EXPECT_EQ(packets.back(), to255);
  auto lastSync2 = std::find(packets.rbegin(), packets.rend(), sync2);
  ASSERT_NE(lastSync2, packets.rend());
  // Between the SYNC2 and command 255 the handshake's OPEN and CONFIG
  // request(s) only.
  for (auto p = lastSync2.base(); p != packets.end() - 1; ++p) {
    ASSERT_GE(p->size(), 4u);
    EXPECT_TRUE((*p)[3] == 1 || (*p)[3] == 18) << "packet " << int((*p)[3]);
  }
  SimRobotStats robot = sim.controller().robotStats();
  EXPECT_EQ(robot.handOvers, 1);
  EXPECT_EQ(robot.strayBytes, 5); // the raw "WMS2\r"
  EXPECT_EQ(robot.noiseReceived, 0);
  SimStats monitor = sim.controller().stats();
  EXPECT_EQ(monitor.strayBytes, 0);
  EXPECT_EQ(monitor.noiseReceived, 0);
  EXPECT_EQ(monitor.badChecksums, 0);
  EXPECT_NE(r.out.find("FLASH parameters written to the controller."), std::string::npos);
  // Output that is not a terminal gets no carriage returns: one line when
  // the block starts and one when it ends.
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  EXPECT_NE(r.out.find("Writing 0x7000 to 0x8000 (block 0x7, 4096 bytes)\n"), std::string::npos);
  EXPECT_NE(r.out.find("Wrote 0x7000 to 0x8000 (block 0x7, 4096 bytes)"), std::string::npos);

  auto after = sim.controller().block7();
  EXPECT_EQ(field(after, 141, 19), "Foo");
  // RevCount (offset 138) goes out most significant byte first.
  EXPECT_EQ(after[138], 4464 >> 8);
  EXPECT_EQ(after[139], 4464 & 0xff);
  // Everything else in the block is as it was.
  for (size_t i = 0; i < after.size(); i++) {
    if ((i >= 141 && i < 160) || i == 138 || i == 139)
      continue;
    ASSERT_EQ(after[i], before[i]) << "byte " << i;
  }
  auto commands = sim.controller().commandLog();
  ASSERT_FALSE(commands.empty());
  EXPECT_TRUE(contains(commands, "FE7"));
  EXPECT_TRUE(contains(commands, "FR"));
  EXPECT_EQ(commands.back(), "FK");
  std::string saved = readFile(dir.file("out.rop"));
  EXPECT_NE(saved.find("\nName Foo "), std::string::npos) << saved;
}

TEST(DriverWithController, UnchangedParametersAreNotWrittenAndTheNextRunConnectsAgain) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  // After "FK" the firmware holds the line again, so a second run connects
  // the same way as the first.
  for (int run = 1; run <= 2; run++) {
    SCOPED_TRACE("run " + std::to_string(run));
    RunResult r = runTool({"-rp", sim.path(), "-b"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    expectClientConnection(r.out);
    EXPECT_TRUE(hasLine(r.out, "Not writing parameters to controler since they have not changed"));
    auto commands = sim.controller().commandLog();
    EXPECT_FALSE(contains(commands, "FE"));
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "FK");
    EXPECT_FALSE(sim.controller().inMonitor());
  }
  EXPECT_EQ(sim.controller().robotStats().handOvers, 2);
}

TEST(DriverWithController, ClientConnectionAtTheControllersOwnSpeed) {
  TempDir dir;
  SimSession sim(controller(38400));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-rb", "38400", "-b"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  expectClientConnection(r.out);
  EXPECT_EQ(sim.controller().robotStats().noiseReceived, 0);
  EXPECT_EQ(sim.controller().commandLog().back(), "FK");
}

TEST(DriverWithController, AutobaudFindsAControllerAtAnotherSpeed) {
  TempDir dir;
  SimSession sim(controller(38400));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-rb", "9600", "-b"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Trying client connection...\nTrying direct connection...\n"
                       "Trying autobaud...\n115200... 57600... 38400... \n"
                       "Connected with controller.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(sim.controller().robotStats().handOvers, 1);
  EXPECT_EQ(sim.controller().commandLog().back(), "FK");
}

TEST(DriverWithController, ControllerIgnoringTheRobotProtocolIsReachedDirectly) {
  TempDir dir;
  SimSession sim; // the firmware never answers; the monitor holds the line
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-b"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Trying client connection...\nTrying direct connection...\n"
                       "Connected with controller.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Trying autobaud..."), std::string::npos) << r.out;
  auto commands = sim.controller().commandLog();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front(), "F?0,0");
  EXPECT_EQ(commands.back(), "FK");
}

TEST(DriverWithController, WrongFirmwareStopsWithStatusSix) {
  TempDir dir;
  SimOptions options = controller();
  options.identity.firmwareName = "OTHER";
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-b", "Name", "Foo"}, dir);
  EXPECT_EQ(r.status, 6) << r.out;
  EXPECT_TRUE(hasLine(r.out, "WRONG CONFIGURATION PROGRAM!  Stopping...")) << r.out;
  auto commands = sim.controller().commandLog();
  EXPECT_FALSE(contains(commands, "m7000"));
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), "FK");
}

TEST(DriverWithController, NewerFirmwareShowsTheCautionAndGoesOn) {
  TempDir dir;
  SimOptions options = controller();
  options.identity.firmwareMinor = '9';
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-b"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("                CAUTION!\n"
                       "========================================================\n"
                       "The firmware is newer than this configuration program.\n"
                       "You could lose parameters.\n"
                       "'q'uit without saving or proceed with caution.\n"
                       "========================================================\n"),
            std::string::npos)
      << r.out;
}

TEST(DriverWithController, FailedFlashReadEndsWithStatusThreeWithoutClosingCommand) {
  TempDir dir;
  SimOptions options = controller();
  options.faults.badChecksum.prefix = "m7000";
  options.faults.badChecksum.occurrence = SimFaultTrigger::EVERY;
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-b", "Name", "Foo"}, dir);
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Could not read FLASH parameters from controller.")) << r.out;
  EXPECT_FALSE(contains(sim.controller().commandLog(), "FK"));
}

// A batch write that fails ends with status 8, never 0, and names the
// rescue image it kept.
TEST(DriverWithController, FailedFlashWriteEndsWithStatusEight) {
  TempDir dir;
  SimOptions options = controller();
  ASSERT_TRUE(options.faults.refuse.parse("FW7400:*"));
  SimSession sim(options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-b", "Name", "Foo", "--report", "r.json"}, dir);
  EXPECT_EQ(r.status, 8) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Could not write to the controller.")) << r.out;
  // The block was erased and partly written: what it holds is not known.
  nlohmann::json report = checkedReport(dir.file("r.json"));
  EXPECT_TRUE(report["block"]["sha256After"].is_null()) << report["block"].dump();
  EXPECT_FALSE(report["block"]["sha256Before"].is_null());
  EXPECT_NE(r.out.find("-restoreBlock "), std::string::npos) << r.out;
  EXPECT_FALSE(hasLine(r.out, "FLASH parameters written to the controller."));
  EXPECT_EQ(sim.controller().stats().refused, 2) << "the block was restarted once";
}

TEST(DriverWithController, UploadsFirmwareAndReportsARefusedErase) {
  TempDir dir;
  std::string sample = std::string(ORVEX_SOURCE_DIR) + "/params/sample.mot";
  {
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    RunResult r = runTool({"-rp", sim.path(), "-b", "-u", sample, "--report", "upload.json"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\nDone downloading '" + sample + "'.\n"), std::string::npos) << r.out;
    auto commands = sim.controller().commandLog();
    EXPECT_TRUE(contains(commands, "FE8"));
    EXPECT_FALSE(contains(commands, "FE7"));
    EXPECT_EQ(commands.back(), "FK");
    nlohmann::json report = checkedReport(dir.file("upload.json"));
    EXPECT_EQ(report["controller"]["identityReply"], "Monitor v. 1.9 fw ORVEX v2.8");
    EXPECT_EQ(report["controller"]["monitorVersion"], "1.9");
    EXPECT_EQ(report["controller"]["firmwareName"], "ORVEX");
    EXPECT_EQ(report["controller"]["firmwareVersion"], "2.8");
    ASSERT_EQ(report["firmware"].size(), 1u);
    nlohmann::json firmware = report["firmware"][0];
    EXPECT_EQ(firmware["state"], "written");
    EXPECT_EQ(firmware["verified"], true);
    EXPECT_EQ(firmware["blocksLeftOld"], 0);
    EXPECT_EQ(firmware["ranges"][0]["first"], 0x8000);

    // --check reads the blocks back and compares: the image just written
    // matches, an image that differs is listed by block; nothing is erased,
    // written or started either time.
    auto writing = [&sim]() {
      int count = 0;
      for (const auto &c : sim.controller().commandLog())
        count += c.compare(0, 2, "FE") == 0 || c.compare(0, 2, "FW") == 0 || c == "FR";
      return count;
    };
    int writesBefore = writing();
    RunResult same = runTool({"-rp", sim.path(), "-b", "--check", "-u", sample}, dir);
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_TRUE(hasLine(same.out, "Every block of '" + sample + "' matches the controller."))
        << same.out;
    ASSERT_TRUE(writeFile(dir.file("other.bin"), "not the sample firmware"));
    RunResult differs = runTool({"-rp", sim.path(), "-b", "--check", "-m", "other.bin", "--base",
                                 "0x8000", "--report", "check.json"},
                                dir);
    EXPECT_EQ(differs.status, 10) << differs.out;
    EXPECT_TRUE(hasLine(differs.out, "Block 0x8 differs from the image.")) << differs.out;
    report = checkedReport(dir.file("check.json"));
    EXPECT_EQ(report["exitStatusName"], "would-change");
    EXPECT_EQ(report["firmware"][0]["state"], "checked");
    EXPECT_EQ(report["firmware"][0]["blocksDiffering"], nlohmann::json::array({8}));
    EXPECT_EQ(writing(), writesBefore);
    EXPECT_EQ(sim.controller().commandLog().back(), "FK");

    // An upload from the shell is in the report as one from the command
    // line is.
    RunResult shell =
        runTool({"-rp", sim.path(), "--report", "shell.json"}, dir, "upload other.bin 8000\nq\n");
    EXPECT_EQ(shell.status, 0) << shell.out;
    report = checkedReport(dir.file("shell.json"));
    EXPECT_EQ(report["mode"], "interactive");
    ASSERT_EQ(report["firmware"].size(), 1u) << report.dump();
    EXPECT_EQ(report["firmware"][0]["file"], "other.bin");
    EXPECT_EQ(report["firmware"][0]["state"], "written");
    EXPECT_EQ(report["firmware"][0]["verified"], true);
    EXPECT_EQ(report["firmware"][0]["blocksWritten"], 1);
    EXPECT_EQ(report["firmware"][0]["ranges"][0]["first"], 0x8000);
  }
  {
    SimOptions options = controller();
    options.faults.refuse.prefix = "FE8";
    options.faults.refuse.occurrence = SimFaultTrigger::EVERY; // a block is tried three times
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RunResult r = runTool({"-rp", sim.path(), "-b", "-m", sample}, dir);
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("Erase flash command for block 8 not accepted: "), std::string::npos)
        << r.out;
    EXPECT_EQ(sim.controller().stats().refused, 3);
    EXPECT_NE(r.out.find("Running the upload again repairs the controller."), std::string::npos)
        << r.out;
    EXPECT_EQ(sim.controller().commandLog().back(), "FK");
  }
}

TEST(DriverWithController, ShellAsksBeforeQuittingWithUnsavedChangesAndSaves) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path()}, dir, "Name Bar\nq\n\nsave\nq\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("You didn't save your changes to the controller.\nQuit anyway? y/(n)?\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("FLASH parameters written to the controller."), std::string::npos);
  // A save that wrote the block says so, and not that it could not save.
  EXPECT_EQ(r.out.find("Not interacting with controller; cannot save."), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Exiting..."), std::string::npos);
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Bar");
  EXPECT_EQ(sim.controller().commandLog().back(), "FK");
}

TEST(DriverWithController, UnfinishedWriteMakesTheShellAskAndIsDismissedOnRequest) {
  TempDir dir;
  SimSession sim(controller(), dir.file("robot"));
  ASSERT_TRUE(sim.ok()) << sim.error();
  // The journal holds a write to this port, of this robot, that never
  // ended; the block matches neither side of it. Its backup is in the
  // store, with the SHA-256 the journal recorded.
  ASSERT_EQ(mkdir(dir.file("state").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.file("state/orvexconf").c_str(), 0700), 0);
  std::string backup = dir.file("state/orvexconf/old.blk");
  std::string old(4096, '\x5a');
  ASSERT_TRUE(writeFile(backup, old));
  std::string sha = sha256Hex(reinterpret_cast<const unsigned char *>(old.data()), old.size());
  ASSERT_TRUE(writeFile(
      dir.file("state/orvexconf/journal.jsonl"),
      "{\"event\":\"begin\",\"id\":\"w1\",\"time\":\"2026-12-07T11:30:00Z\",\"port\":\"" +
          sim.path() + "\",\"name\":\"simbot\",\"serial\":\"SIM-2024-0042\",\"backup\":\"" +
          backup + "\",\"old_sha256\":\"" + sha +
          "\",\"intended_sha256\":\"1\"}\n"
          // and an upload that never ended, which is only reported
          "{\"event\":\"begin\",\"kind\":\"upload\",\"id\":\"u1\",\"time\":"
          "\"2026-12-07T11:00:00Z\",\"port\":\"" +
          sim.path() + "\",\"file\":\"new.mot\",\"blocks\":[8,9]}\n"));
  std::map<std::string, std::string> env = kCleanEnv;
  env["XDG_STATE_HOME"] = dir.file("state");
  auto before = sim.controller().block7();

  // The shell: warned right after the read; save asks, and an empty
  // answer writes nothing.
  RunResult r = runProgram(binPath("orvexconf"), {"-rp", sim.path()}, "Name Bar\nsave\n\nq\ny\n",
                           env, dir.path(), 90000);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Reading FLASH parameters from controller.\n"
                       "The last parameter write to this controller (robot 'simbot', at "
                       "2026-12-07T11:30:00Z) did not finish: the block may be erased or partly "
                       "written.\norvexconf -rp " +
                       sim.path() + " -b -restoreBlock " + backup +
                       "\nThe command above writes back the block as it was before that write, "
                       "from its backup.\nTo compare the controller's block with that backup "
                       "first, writing nothing:\norvexconf -rp " +
                       sim.path() + " -b --check -restoreBlock " + backup + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(hasLine(r.out, "The last firmware upload to this controller ('new.mot', at "
                             "2026-12-07T11:00:00Z) did not finish: blocks 0x8, 0x9 may be erased "
                             "or partly written; upload the file again."))
      << r.out;
  EXPECT_TRUE(hasLine(r.out, "'save' asks before it writes over this block.")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Write over it anyway? y/(n)?")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Nothing written.")) << r.out;
  EXPECT_FALSE(contains(sim.controller().commandLog(), "FE"));
  EXPECT_EQ(sim.controller().block7(), before);

  // A run that writes nothing to the block goes on: reading is what the
  // operator needs now. A check dismisses nothing and writes no line.
  std::string journalBefore = readFile(dir.file("state/orvexconf/journal.jsonl"));
  r = runProgram(binPath("orvexconf"), {"-rp", sim.path(), "-b", "-s", "after.rop"}, "", env,
                 dir.path(), 90000);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "This run writes nothing to the parameter block, so it goes on. When "
                             "the block on the controller is as it should be, "
                             "--dismiss-unfinished closes the entry."))
      << r.out;
  EXPECT_NE(readFile(dir.file("after.rop")).find("Name simbot"), std::string::npos);
  r = runProgram(binPath("orvexconf"),
                 {"-rp", sim.path(), "-b", "--check", "--dismiss-unfinished", "Name", "Bar"}, "",
                 env, dir.path(), 90000);
  EXPECT_EQ(r.status, 10) << r.out;
  EXPECT_TRUE(hasLine(r.out, "A check dismisses nothing: the journal is left as it is "
                             "(--dismiss-unfinished closes an entry in a run without --check)."))
      << r.out;
  EXPECT_EQ(readFile(dir.file("state/orvexconf/journal.jsonl")), journalBefore);
  EXPECT_FALSE(contains(sim.controller().commandLog(), "FE"));

  // Dismissed: closed in the journal, and the write goes ahead.
  r = runProgram(binPath("orvexconf"),
                 {"-rp", sim.path(), "-b", "--dismiss-unfinished", "Name", "Bar"}, "", env,
                 dir.path(), 90000);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Bar");
  std::string journal = readFile(dir.file("state/orvexconf/journal.jsonl"));
  EXPECT_NE(journal.find("\"id\":\"w1\",\"outcome\":\"dismissed\""), std::string::npos) << journal;
  EXPECT_NE(journal.find("\"id\":\"u1\",\"kind\":\"upload\",\"outcome\":\"dismissed\""),
            std::string::npos)
      << journal;
  EXPECT_NE(journal.find("\"outcome\":\"verified\",\"status\":0"), std::string::npos) << journal;
}

TEST(DriverWithoutController, PortsThatCannotBeOpenedEndABatchRunAtOnce) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("plain"), "not a port\n"));
  struct Case {
    std::string port;
    std::string error;
  } cases[] = {
      {dir.file("no-such-port"), "Port '" + dir.file("no-such-port") + "': no such port. "},
      {dir.file("plain"), "Port '" + dir.file("plain") + "' is not a serial port.\n"},
  };
  for (const Case &c : cases) {
    RunResult r = runTool({"-rp", c.port, "-b"}, dir);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Trying client connection...\n\nCould not connect with controller.\n"),
              std::string::npos)
        << r.out;
    // The port is named; it was given, so no hint to give one.
    EXPECT_NE(
        r.out.find("\nCould not connect with controller.\nThe port tried was '" + c.port + "'.\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("--list-ports"), std::string::npos) << r.out;
    // Final: no other way of connecting is tried on it.
    EXPECT_EQ(r.out.find("Trying direct connection..."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Trying autobaud..."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Retry?"), std::string::npos);
  }
}

TEST(DriverWithoutController, OperatorDeclinesToRetry) {
  TempDir dir;
  RunResult r = runTool({"-rp", dir.file("no-such-port")}, dir, "\nno\n");
  EXPECT_EQ(r.status, 2) << r.out;
  // The empty answer retries once; "no" ends the run.
  size_t first = r.out.find("Retry? (y)/n? ");
  ASSERT_NE(first, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Retry? (y)/n? ", first + 1), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Exiting...\n"), std::string::npos);
}

namespace {
/// The bytes the host sent the simulated controller, by any protocol.
long bytesFromHost(SimSession &sim) {
  SimStats monitor = sim.controller().stats();
  SimRobotStats robot = sim.controller().robotStats();
  return monitor.bytesReceived + monitor.noiseReceived + robot.packets + robot.badChecksums +
         robot.strayBytes + robot.noiseReceived;
}

using records::END_RECORD;
/// An S2 record of data at address, with its checksum.
std::string s2Record(unsigned long address, const std::string &data) {
  return records::s2Line(address, data);
}

/// orvexconf running in the background, its output going to files, for
/// runs that the test signals.
class BackgroundTool {
public:
  BackgroundTool(const std::vector<std::string> &args, const TempDir &dir) : myDir(dir) {
    int input[2];
    if (pipe(input) != 0)
      return;
    myPid = fork();
    if (myPid == 0) {
      dup2(input[0], 0);
      ::close(input[1]);
      int out = ::open(dir.file("tool.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open(dir.file("tool.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      if (chdir(dir.path().c_str()) != 0)
        _exit(126);
      for (const char *name : {"ZYLAARGS", "ZYLOG_LEVEL", "ZYLA_SIGHANDLE_METHOD", "ZYLA"})
        unsetenv(name);
      // Backups and the journal stay in the test's scratch directory.
      setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
      std::string program = binPath("orvexconf");
      std::vector<char *> argv;
      argv.push_back(const_cast<char *>(program.c_str()));
      for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    ::close(input[0]);
    myInput = input[1];
  }
  ~BackgroundTool() {
    if (myPid > 0 && myStatus == -1) {
      kill(myPid, SIGKILL);
      waitpid(myPid, nullptr, 0);
    }
    if (myInput >= 0)
      ::close(myInput);
  }
  void type(const std::string &text) {
    if (::write(myInput, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      ADD_FAILURE() << "could not type " << text;
  }
  std::string out() const { return readFile(myDir.file("tool.out")); }
  /// Waits up to msWait for pred; true when it held.
  template <class Pred> static bool waitFor(Pred pred, int msWait) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(msWait);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  /// The exit status once the tool ended, -1 when it did not within msWait
  /// or was killed by a signal.
  int wait(int msWait) {
    waitFor(
        [this] {
          int status;
          if (waitpid(myPid, &status, WNOHANG) != myPid)
            return false;
          myStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
          return true;
        },
        msWait);
    return myStatus;
  }
  void signal(int sig) { kill(myPid, sig); }

private:
  const TempDir &myDir;
  pid_t myPid = -1;
  int myInput = -1;
  int myStatus = -1;
};

bool hasCommand(SimSession &sim, const std::string &prefix) {
  return contains(sim.controller().commandLog(), prefix);
}
} // namespace

TEST(DriverChecksFirst, FailuresFoundBeforeConnectingEndTheRunWithoutAByteSent) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("bad.mot"), "S1130000ZZ\n"));
  ASSERT_TRUE(writeFile(dir.file("good.mot"), s2Record(0x8000, "ABCD") + END_RECORD));
  ASSERT_TRUE(writeFile(dir.file("short.blk"), std::string(100, '\xff')));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string line;
  } cases[] = {
      {{"Nmae", "Foo"}, 7, "Could not process: Nmae Foo\n"},
      {{"Name", "Foo", "extra"}, 7, "Could not process:  extra"},
      {{"--histroy"}, 7, "Unknown option '--histroy' (did you mean '--history'?)."},
      {{"-v", "Name", "Foo"}, 7, "Unknown option '-v'."},
      {{"--diff", "-", "missing.rop"}, 3, "Cannot open parameter file 'missing.rop'"},
      {{"--export", "json", "no/dir/x.json"}, 9, "Cannot export to 'no/dir/x.json'"},
      {{"-u", "bad.mot"}, 5, ""},
      {{"-m", "bad.mot"}, 4, ""},
      {{"-u", "missing.mot"}, 5, "Cannot open file 'missing.mot' for download."},
      {{"-s", "no/dir/out.rop"}, 9, "ZyConfig: Cannot open file './no/dir/out.rop' for writing"},
      {{"-r", "missing.rop"}, 3, ""},
      {{"-restoreBlock", "short.blk"}, 3, ""},
      {{"-restoreBlock", "missing.blk"}, 3, "Cannot open block image 'missing.blk'"},
      // Precedence: 3, then 4, 5, 7 and 9.
      {{"-r", "missing.rop", "-m", "bad.mot", "Nmae", "Foo", "-s", "no/dir/x"}, 3, ""},
      {{"-m", "bad.mot", "-u", "bad.mot", "Nmae", "Foo"}, 4, ""},
      {{"-u", "bad.mot", "Nmae", "Foo", "-s", "no/dir/x"}, 5, ""},
      {{"-m", "good.mot", "Nmae", "Foo", "-s", "no/dir/x"}, 7, ""},
  };
  for (const Case &c : cases) {
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    std::vector<std::string> args = {"-rp", sim.path(), "-b"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = runTool(args, dir);
    EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.out;
    EXPECT_EQ(r.out.find("Trying client connection..."), std::string::npos) << r.out;
    if (!c.line.empty()) {
      EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    }
    EXPECT_EQ(bytesFromHost(sim), 0) << c.args[0];
  }
}

TEST(DriverWithController, ABusyPortIsRefusedAtOnceNamingItsHolder) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  ZySerialConnection holder; // this test process plays the other program
  ASSERT_EQ(holder.open(sim.path().c_str()), 0);
  RunResult r = runTool({"-rp", sim.path(), "-b", "Name", "Foo"}, dir);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.err.find("Port '" + sim.path() + "' is in use by another program (process " +
                       std::to_string(getpid()) + ").\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Trying direct connection..."), std::string::npos) << r.out;
  EXPECT_EQ(bytesFromHost(sim), 0);
}

TEST(DriverWithController, ASignalEndsTheRunWith128PlusItsNumber) {
  TempDir dir;
  {
    // Outside any critical work the run ends at once, after its exit
    // callbacks.
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    BackgroundTool tool({"-rp", sim.path(), "-b", "Name", "Foo", "--report", "stop.json"}, dir);
    ASSERT_TRUE(
        BackgroundTool::waitFor([&] { return !sim.controller().commandLog().empty(); }, 30000));
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(30000), 143) << tool.out();
    EXPECT_NE(tool.out().find("Zyla: Received signal 'SIGTERM'. Exiting."), std::string::npos)
        << tool.out();
    // The exit callback wrote the report of the stopped run.
    nlohmann::json report = checkedReport(dir.file("stop.json"));
    EXPECT_EQ(report["exitStatus"], 143);
    EXPECT_EQ(report["exitStatusName"], "signal");
    EXPECT_EQ(report["signal"], SIGTERM);
  }
  {
    // During a download the block in hand is finished, then the download
    // stops; the half-new firmware is not started ("FK").
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    // The byte at the end of block 8 makes the whole block go out: long
    // enough to signal while it is written.
    ASSERT_TRUE(writeFile(dir.file("three.mot"), s2Record(0xFFF0, "ABCD") +
                                                     s2Record(0x10000, "EFGH") +
                                                     s2Record(0x20000, "IJKL") + END_RECORD));
    BackgroundTool tool({"-rp", sim.path(), "-b", "-u", "three.mot"}, dir);
    ASSERT_TRUE(BackgroundTool::waitFor([&] { return hasCommand(sim, "FE8"); }, 60000))
        << tool.out();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(60000), 130) << tool.out();
    std::string out = tool.out();
    EXPECT_NE(out.find("Download of 'three.mot' stopped before block 0x"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Blocks written with the new firmware: 0x8"), std::string::npos) << out;
    EXPECT_NE(out.find("Blocks still holding the old firmware:"), std::string::npos) << out;
    EXPECT_FALSE(hasCommand(sim, "FEa")) << "the last block was never started";
    EXPECT_FALSE(hasCommand(sim, "FK"));
    EXPECT_FALSE(hasCommand(sim, "FR"));
    // The journal holds the upload and how it ended.
    std::string journal = readFile(dir.file("state/orvexconf/journal.jsonl"));
    EXPECT_NE(journal.find("\"blocks\":[8,9,10]"), std::string::npos) << journal;
    EXPECT_NE(journal.find("{\"blocks_written\":1,\"event\":\"end\""), std::string::npos)
        << journal;
    EXPECT_NE(journal.find("\"kind\":\"upload\",\"outcome\":\"stopped\",\"status\":130"),
              std::string::npos)
        << journal;
  }
  {
    // During the parameter write the whole transaction is carried out.
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    BackgroundTool tool({"-rp", sim.path(), "-b", "Name", "Foo"}, dir);
    ASSERT_TRUE(BackgroundTool::waitFor([&] { return hasCommand(sim, "FE7"); }, 60000))
        << tool.out();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait(60000), 130) << tool.out();
    EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Foo") << tool.out();
  }
}

TEST(DriverWithController, InterruptingTheShellSaysUnsavedChangesWereNotWritten) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  BackgroundTool tool({"-rp", sim.path()}, dir);
  tool.type("Name Bar\n");
  ASSERT_TRUE(BackgroundTool::waitFor(
      [&] { return tool.out().find("Your robot's name is Bar") != std::string::npos; }, 60000))
      << tool.out();
  tool.signal(SIGINT);
  EXPECT_EQ(tool.wait(30000), 130) << tool.out();
  EXPECT_NE(tool.out().find("Your changes were not written to the controller."), std::string::npos)
      << tool.out();
  EXPECT_NE(field(sim.controller().block7(), 141, 19), "Bar");
  // The main thread closed the monitor; the notice did not share the
  // prompt's line.
  EXPECT_EQ(sim.controller().commandLog().back(), "FK");
  EXPECT_NE(tool.out().find("command> \nZyla: Received signal 'SIGINT'. Exiting."),
            std::string::npos)
      << tool.out();
}

// Started in the repository root the utility finds the shipped parameter
// file of the simulator's subtype in ./params; what it sends the controller
// is the same as from anywhere else. (Repeats of a packet, such as CONFIG
// requests paced by the clock, count once.)
TEST(DriverWithController, ARunFromTheRepositoryRootSendsTheSameBytes) {
  TempDir elsewhere;
  std::vector<std::vector<uint8_t>> wire[2];
  long baudChanges[2] = {-1, -1};
  const std::string dirs[2] = {ORVEX_SOURCE_DIR, elsewhere.path()};
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(dirs[i]);
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    RunResult r =
        runProgram(binPath("orvexconf"), {"-rp", sim.path(), "-b"}, "", kCleanEnv, dirs[i], 90000);
    EXPECT_EQ(r.status, 0) << r.out;
    expectClientConnection(r.out);
    for (const auto &p : sim.controller().robotPacketLog())
      if (wire[i].empty() || wire[i].back() != p)
        wire[i].push_back(p);
    baudChanges[i] = sim.controller().robotStats().baudChanges;
    EXPECT_EQ(sim.controller().commandLog().back(), "FK");
  }
  EXPECT_FALSE(wire[0].empty());
  EXPECT_EQ(wire[0], wire[1]);
  EXPECT_EQ(baudChanges[0], baudChanges[1]);
}

namespace {
/// orvexconf on a terminal of its own (a pty it controls), typed at as an
/// operator types, with a scratch history directory.
class TerminalTool {
public:
  TerminalTool(const std::vector<std::string> &args, const TempDir &dir) {
    struct winsize size = {30, 100, 0, 0};
    myPid = forkpty(&myMaster, nullptr, nullptr, &size);
    if (myPid == 0) {
      if (chdir(dir.path().c_str()) != 0)
        _exit(126);
      for (const char *name : {"ZYLAARGS", "ZYLOG_LEVEL", "ZYLA_SIGHANDLE_METHOD", "ZYLA"})
        unsetenv(name);
      setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
      setenv("TERM", "xterm", 1);
      std::string program = binPath("orvexconf");
      std::vector<char *> argv;
      argv.push_back(const_cast<char *>(program.c_str()));
      for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~TerminalTool() {
    if (myPid > 0 && myStatus == -1) {
      kill(myPid, SIGKILL);
      waitpid(myPid, nullptr, 0);
    }
    if (myMaster >= 0)
      ::close(myMaster);
  }
  void type(const std::string &keys) {
    if (::write(myMaster, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
      ADD_FAILURE() << "could not type " << keys;
  }
  /// Waits up to msWait for text to appear after what earlier waits found.
  bool expect(const std::string &text, int msWait) {
    bool found = BackgroundTool::waitFor(
        [&] {
          drain();
          return myOut.find(text, myMark) != std::string::npos;
        },
        msWait);
    if (found)
      myMark = myOut.find(text, myMark) + text.size();
    return found;
  }
  /// The exit status once the tool ended, -1 when it did not within msWait.
  int wait(int msWait) {
    BackgroundTool::waitFor(
        [this] {
          drain();
          int status;
          if (waitpid(myPid, &status, WNOHANG) != myPid)
            return false;
          myStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
          return true;
        },
        msWait);
    return myStatus;
  }
  const std::string &out() const { return myOut; }
  int master() const { return myMaster; }

private:
  void drain() {
    char buffer[4096];
    struct pollfd fd = {myMaster, POLLIN, 0};
    while (poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0) {
      ssize_t got = ::read(myMaster, buffer, sizeof buffer);
      if (got <= 0)
        break;
      myOut.append(buffer, static_cast<size_t>(got));
    }
  }
  pid_t myPid = -1;
  int myMaster = -1;
  int myStatus = -1;
  std::string myOut;
  size_t myMark = 0;
};

struct TerminalStep {
  std::string keys;     ///< what the operator types
  const char *expected; ///< what the screen then shows
};
} // namespace

// The shell on a real terminal: editing with the cursor keys, Tab on a
// keyword and on its value, Ctrl-C with unsaved changes (the monitor is
// closed by "FK" before the run ends), the history recalled by the next
// run, and the same lines through a pipe giving the plain output.
TEST(ShellOnATerminal, EditsCompletesRecallsAndClosesTheMonitorOnCtrlC) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string left = "\x1b[D", up = "\x1b[A";
  const std::string tooLong = "Name " + std::string(300, 'x') + "\r";
  const std::vector<TerminalStep> first = {
      {"", "command> "},
      {"joyv\t", "JoyVelMax "},
      {"\t", "JoyVelMax: 0..2200, now 400\r\n"},
      {left + left +
           "\x7f"
           "9\r",
       "Max joydrive velocity (mm/sec) set to 900."},
      {tooLong, "Line too long (more than 255 characters); ignored."},
      {"JoyVelMax 99999\r", "Value for JoyVelMax must be an integer <= 2200."},
      {"frobnicate\r", "Could not understand command 'frobnicate'."},
      {"Name Bar\r", "Your robot's name is Bar"},
      {"q\r", "Quit anyway? y/(n)?"},
      {"n\r", "command> "},
      {"Ho", "Ho"},
      {"\x03", "\nZyla: Received signal 'SIGINT'. Exiting."},
      {"", "Your changes were not written to the controller."},
  };
  {
    TerminalTool tool({"-rp", sim.path()}, dir);
    for (const TerminalStep &step : first) {
      tool.type(step.keys);
      ASSERT_TRUE(tool.expect(step.expected, 60000)) << step.expected << "\n" << tool.out();
    }
    EXPECT_EQ(tool.wait(30000), 130) << tool.out();
    EXPECT_EQ(sim.controller().commandLog().back(), "FK") << tool.out();
    // The terminal is as the run found it.
    struct termios after;
    ASSERT_EQ(tcgetattr(tool.master(), &after), 0);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  }
  // Kept: the lines typed, but neither the refused ones nor the answer.
  EXPECT_EQ(readFile(dir.file("state/orvexconf/history")), "JoyVelMax 900\nName Bar\nq\n");
  struct stat info;
  ASSERT_EQ(stat(dir.file("state/orvexconf/history").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // The next run recalls the lines of the first.
  const std::vector<TerminalStep> second = {
      {"", "command> "},
      {up + up + up + "\r", "Max joydrive velocity (mm/sec) set to 900."},
      {"q\r", "No connection, so didn't save your changes to a controller."},
  };
  {
    TerminalTool tool({"-n"}, dir);
    for (const TerminalStep &step : second) {
      tool.type(step.keys);
      ASSERT_TRUE(tool.expect(step.expected, 30000)) << step.expected << "\n" << tool.out();
    }
    EXPECT_EQ(tool.wait(30000), 0) << tool.out();
  }
  const std::string kept = "JoyVelMax 900\nName Bar\nq\nJoyVelMax 900\nq\n";
  EXPECT_EQ(readFile(dir.file("state/orvexconf/history")), kept);

  // --no-history: nothing to recall, nothing kept.
  {
    TerminalTool tool({"-n", "--no-history"}, dir);
    for (const TerminalStep &step : std::vector<TerminalStep>{
             {"", "command> "}, {up + "\r", "command> "}, {"q\r", "No connection"}}) {
      tool.type(step.keys);
      ASSERT_TRUE(tool.expect(step.expected, 30000)) << step.expected << "\n" << tool.out();
    }
    EXPECT_EQ(tool.wait(30000), 0) << tool.out();
    EXPECT_EQ(tool.out().find("JoyVelMax"), std::string::npos) << tool.out();
  }
  EXPECT_EQ(readFile(dir.file("state/orvexconf/history")), kept);

  // Through a pipe: the plain lines of old, and no history.
  std::map<std::string, std::string> env = kCleanEnv;
  env["XDG_STATE_HOME"] = dir.file("state");
  RunResult piped = runProgram(binPath("orvexconf"), {"-n"}, "joyvelmax 900\nName Bar\nq\n", env,
                               dir.path(), 30000);
  EXPECT_EQ(piped.status, 0);
  size_t shell = piped.out.find("command> ");
  ASSERT_NE(shell, std::string::npos) << piped.out;
  EXPECT_EQ(piped.out.substr(shell),
            "command> Max joydrive velocity (mm/sec) set to 900.\n"
            "command> Your robot's name is Bar\n"
            "command> No connection, so didn't save your changes to a controller.\n\n");
  EXPECT_EQ(readFile(dir.file("state/orvexconf/history")), kept);
}

namespace {
/// The commands that change the controller's FLASH: erase, piece, "FR".
int writingCommands(const std::vector<std::string> &commands) {
  int count = 0;
  for (const auto &c : commands)
    if (c.compare(0, 2, "FE") == 0 || c.compare(0, 2, "FW") == 0 || c == "FR")
      count++;
  return count;
}

/// The line after the one given, or "" when there is none.
std::string lineAfter(const std::string &out, const std::string &line) {
  auto lines = splitLines(out);
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() || it + 1 == lines.end() ? "" : *(it + 1);
}
} // namespace

TEST(DriverWithController, AWriteSaysWhatItChangesAndACheckWritesNothing) {
  TempDir dir;
  SimSession sim(controller());
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::string oldName = field(sim.controller().block7(), 141, 19);

  // The write lists the change before the erase.
  RunResult write = runTool(
      {"-rp", sim.path(), "-b", "Name", "Foo", "-s", "mine.rop", "--report", "write.json"}, dir);
  EXPECT_EQ(write.status, 0) << write.out;
  EXPECT_EQ(lineAfter(write.out, "Changing 1 parameter:"), "Name: '" + oldName + "' -> 'Foo'")
      << write.out;
  EXPECT_LT(write.out.find("Changing 1 parameter:"), write.out.find("Writing 0x7000"));
  nlohmann::json report = checkedReport(dir.file("write.json"));
  EXPECT_EQ(report["mode"], "batch");
  EXPECT_EQ(report["port"], sim.path());
  EXPECT_EQ(report["block"]["written"], true);
  EXPECT_NE(report["block"]["sha256Before"], report["block"]["sha256After"]);
  // The name as read, and beside it the one written.
  EXPECT_EQ(report["controller"]["robotName"], oldName);
  EXPECT_EQ(report["controller"]["intendedRobotName"], "Foo");
  EXPECT_EQ(report["controller"]["identity"], "known");
  ASSERT_EQ(report["changes"].size(), 1u);
  EXPECT_EQ(report["changes"][0]["before"], oldName);
  EXPECT_EQ(report["files"]["saved"][0], "mine.rop");
  // A run that went well logged no error: the connection's own probes,
  // logged while the log is silent, are not among its messages.
  EXPECT_EQ(report["messages"], nlohmann::json::array()) << report.dump();

  // Another robot's file: the check lists the restore's changes, warns of
  // the identity change, ends with status 10 and sends no write command.
  std::string rop = readFile(dir.file("mine.rop"));
  size_t name = rop.find("\nName Foo ");
  ASSERT_NE(name, std::string::npos) << rop;
  rop.replace(name, 10, "\nName Other ");
  {
    std::ofstream other(dir.file("other.rop"));
    other << rop;
  }
  auto block = sim.controller().block7();
  int writesBefore = writingCommands(sim.controller().commandLog());
  RunResult check = runTool(
      {"-rp", sim.path(), "-b", "--check", "-r", "other.rop", "HostBaud", "9", "--report", "-"},
      dir);
  EXPECT_EQ(check.status, 10) << check.err;
  ASSERT_TRUE(writeFile(dir.file("check.json"), check.out));
  report = checkedReport(dir.file("check.json"));
  EXPECT_EQ(report["mode"], "check");
  EXPECT_EQ(report["exitStatusName"], "would-change");
  EXPECT_EQ(report["block"]["written"], false);
  EXPECT_EQ(report["block"]["sha256Before"], report["block"]["sha256After"]);
  EXPECT_EQ(report["refused"][0]["reason"], "out of range");
  EXPECT_EQ(report["changes"][0]["after"], "Other");
  check.out = check.err; // the run's text, for the lines below
  EXPECT_EQ(lineAfter(check.out, "'other.rop' changes 1 parameter:"), "Name: 'Foo' -> 'Other'")
      << check.out;
  EXPECT_TRUE(hasLine(check.out, "Caution: 'other.rop' changes the robot's identity (Name): it "
                                 "may be another robot's file."))
      << check.out;
  EXPECT_EQ(lineAfter(check.out, "Would change 1 parameter:"), "Name: 'Foo' -> 'Other'");
  EXPECT_EQ(writingCommands(sim.controller().commandLog()), writesBefore);
  EXPECT_EQ(sim.controller().commandLog().back(), "FK");
  EXPECT_EQ(sim.controller().block7(), block);

  // The controller holds what the file says: nothing would change.
  RunResult same = runTool({"-rp", sim.path(), "-b", "--check", "-r", "mine.rop"}, dir);
  EXPECT_EQ(same.status, 0) << same.out;
  EXPECT_TRUE(hasLine(same.out, "'mine.rop' changes no parameter.")) << same.out;
  EXPECT_TRUE(hasLine(same.out, "No parameter would change.")) << same.out;
  EXPECT_EQ(writingCommands(sim.controller().commandLog()), writesBefore);

  // A block image: its bytes after the parameters count as a change too;
  // the controller's own block changes nothing.
  auto held = sim.controller().block7();
  ASSERT_TRUE(writeFile(dir.file("same.blk"), std::string(held.begin(), held.end())));
  // Read without a controller, a block image gives the same parameter
  // file as the controller holding it, and is edited like a .rop.
  RunResult offline = runTool({"-n", "-b", "-restoreBlock", "same.blk", "-s", "offline.rop"}, dir);
  EXPECT_EQ(offline.status, 0) << offline.out;
  EXPECT_TRUE(readFile(dir.file("offline.rop")) == readFile(dir.file("mine.rop")));
  offline =
      runTool({"-n", "-b", "-restoreBlock", "same.blk", "Name", "Edited", "-s", "edited.rop"}, dir);
  EXPECT_EQ(offline.status, 0) << offline.out;
  std::vector<std::string> fromController = splitLines(readFile(dir.file("mine.rop")));
  std::vector<std::string> edited = splitLines(readFile(dir.file("edited.rop")));
  ASSERT_EQ(edited.size(), fromController.size());
  for (size_t i = 0; i < edited.size(); i++) {
    if (fromController[i].rfind("Name Foo ", 0) == 0)
      EXPECT_EQ(edited[i].rfind("Name Edited ", 0), 0u) << edited[i];
    else
      EXPECT_EQ(edited[i], fromController[i]);
  }
  held[0x800] ^= 0x5A;
  ASSERT_TRUE(writeFile(dir.file("rest.blk"), std::string(held.begin(), held.end())));
  RunResult rest = runTool({"-rp", sim.path(), "-b", "--check", "-restoreBlock", "rest.blk"}, dir);
  EXPECT_EQ(rest.status, 10) << rest.out;
  EXPECT_TRUE(hasLine(rest.out,
                      "'rest.blk' also differs from the controller's block after the "
                      "parameters (bytes 0x1a6 to 0xfff), which writing it would change."))
      << rest.out;
  RunResult held2 = runTool({"-rp", sim.path(), "-b", "--check", "-restoreBlock", "same.blk"}, dir);
  EXPECT_EQ(held2.status, 0) << held2.out;
  EXPECT_TRUE(hasLine(held2.out, "No parameter would change.")) << held2.out;
  EXPECT_EQ(writingCommands(sim.controller().commandLog()), writesBefore);

  // Written, a block image lists its changes as a restore does and ends
  // with one line saying what was done.
  auto named = sim.controller().block7();
  memset(named.data() + 141, 0, 19);
  memcpy(named.data() + 141, "Blocky", 6);
  ASSERT_TRUE(writeFile(dir.file("named.blk"), std::string(named.begin(), named.end())));
  RunResult restore = runTool(
      {"-rp", sim.path(), "-b", "-restoreBlock", "named.blk", "--report", "restore.json"}, dir);
  EXPECT_EQ(restore.status, 0) << restore.out;
  EXPECT_EQ(lineAfter(restore.out, "'named.blk' changes 1 parameter:"), "Name: 'Foo' -> 'Blocky'")
      << restore.out;
  EXPECT_TRUE(hasLine(restore.out, "Caution: 'named.blk' changes the robot's identity (Name): it "
                                   "may be another robot's file."));
  std::vector<std::string> lines = splitLines(restore.out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "FLASH parameters written to the controller."),
            1)
      << restore.out;
  EXPECT_EQ(restore.out.find("have not changed"), std::string::npos) << restore.out;
  EXPECT_EQ(sim.controller().block7(), named);
  report = checkedReport(dir.file("restore.json"));
  EXPECT_EQ(report["block"]["imageWritten"], "named.blk");
  EXPECT_EQ(report["controller"]["robotName"], "Foo");
  EXPECT_EQ(report["controller"]["intendedRobotName"], "Blocky");
  EXPECT_EQ(report["warnings"],
            nlohmann::json::array({"Caution: 'named.blk' changes the robot's identity (Name): it "
                                   "may be another robot's file."}))
      << report.dump();
}

// End-to-end runs of orvexconf against the controller simulator on a pty:
// the three ways of connecting (client connection, direct probe, autobaud),
// identity check, FLASH read and write, uploads, the shell with a link, and
// the exit statuses of the failures along the way.
#include "ProcessRunner.h"
#include "SimPty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

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
  RunResult r =
      runTool({"-rp", sim.path(), "-b", "Name", "Foo", "RevCount", "70000", "-s", "out.rop"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
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
  EXPECT_NE(r.out.find("\rWriting 0x7f80 to 0x8000"), std::string::npos);

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

TEST(DriverWithController, UploadsFirmwareAndReportsARefusedErase) {
  TempDir dir;
  std::string sample = std::string(ORVEX_SOURCE_DIR) + "/params/sample.mot";
  {
    SimSession sim(controller());
    ASSERT_TRUE(sim.ok()) << sim.error();
    RunResult r = runTool({"-rp", sim.path(), "-b", "-u", sample}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    // The progress line is cleared with carriage returns, not ended.
    EXPECT_NE(r.out.find("\rDone downloading '" + sample + "'.\n"), std::string::npos) << r.out;
    auto commands = sim.controller().commandLog();
    EXPECT_TRUE(contains(commands, "FE8"));
    EXPECT_FALSE(contains(commands, "FE7"));
    EXPECT_EQ(commands.back(), "FK");
  }
  {
    SimOptions options = controller();
    options.faults.refuse.prefix = "FE8";
    options.faults.refuse.occurrence = 1;
    SimSession sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    RunResult r = runTool({"-rp", sim.path(), "-b", "-m", sample}, dir);
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("Erase flash command for block 8 not accepted: "), std::string::npos)
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
  EXPECT_NE(r.out.find("Exiting..."), std::string::npos);
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Bar");
  EXPECT_EQ(sim.controller().commandLog().back(), "FK");
}

TEST(DriverWithoutController, NoConnectionInBatchModeEndsWithStatusTwo) {
  TempDir dir;
  RunResult r = runTool({"-rp", dir.file("no-such-port"), "-b"}, dir);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("Trying autobaud...\n115200... 57600... 38400... 19200... 9600... \n"
                       "Could not connect with controller.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Retry?"), std::string::npos);
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

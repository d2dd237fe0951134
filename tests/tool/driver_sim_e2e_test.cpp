// End-to-end runs of orvexconf against the controller simulator on a pty:
// connection, identity check, FLASH read and write, uploads, the shell with a
// link, and the exit statuses of the failures along the way.
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

std::string field(const std::array<uint8_t, SimMemory::PARAM_SIZE> &block, size_t offset,
                  size_t size) {
  std::string text(reinterpret_cast<const char *>(block.data()) + offset, size);
  return text.substr(0, strnlen(text.c_str(), size));
}
} // namespace

TEST(DriverWithController, BatchRunWritesChangedParametersAndKeepsTheRestOfTheBlock) {
  TempDir dir;
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto before = sim.controller().block7();
  RunResult r =
      runTool({"-rp", sim.path(), "-b", "Name", "Foo", "RevCount", "70000", "-s", "out.rop"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char *line :
       {"Entering batch mode.", "Trying client connection...", "Trying direct connection...",
        "Connected with controller.", "Reading FLASH parameters from controller.",
        "Your robot's name is Foo", "Revcount set to 4464.", "Saving to file 'out.rop'."})
    EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;
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

TEST(DriverWithController, UnchangedParametersAreNotWritten) {
  TempDir dir;
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  RunResult r = runTool({"-rp", sim.path(), "-b"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Not writing parameters to controler since they have not changed"));
  auto commands = sim.controller().commandLog();
  EXPECT_FALSE(contains(commands, "FE"));
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), "FK");
}

TEST(DriverWithController, WrongFirmwareStopsWithStatusSix) {
  TempDir dir;
  SimOptions options;
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
  SimOptions options;
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
  SimOptions options;
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
    SimSession sim;
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
    SimOptions options;
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
  SimSession sim;
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

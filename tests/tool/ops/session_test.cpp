// SPDX-License-Identifier: MIT
// Session as a program calls it, against the controller simulator: two
// sessions on two ports working at once in two threads, each with its own
// block and record, and operations that cannot be done coming back as
// values with their messages.
#include "LogCapture.h"
#include "ParamBlock.h"
#include "RunOutcome.h"
#include "Session.h"
#include "SimPty.h"
#include "TempFiles.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

/// A session on a simulator of its own that is in the monitor already, its
/// backups and journal in a folder of its own.
struct Controller {
  Controller() : options(sim.slavePath().c_str(), 115200), session(options, outcome, settings()) {
    opened = sim.ok() && options.serialConnection()->open(sim.slavePath().c_str()) == 0;
    session.useMonitor();
  }
  Session::Settings settings() const {
    Session::Settings s;
    s.backupDir = store.subdir("store");
    return s;
  }
  /// Reads the block and writes it back with the robot's name changed.
  void rename(const std::string &name) {
    read = session.read();
    if (!read.ok())
      return;
    unsigned char image[FLASH_IMAGE_SIZE];
    blockToImage(read.block.data(), image);
    ParamField field = robotNameField();
    memset(image + field.offset, 0, static_cast<size_t>(field.size));
    memcpy(image + field.offset, name.data(), name.size());
    ParamBlock intended = read.block;
    imageToBlock(image, intended.data());
    written = session.write(intended);
  }

  TempDir store;
  SimSession sim;
  RunOutcome outcome;
  ConnectOptions options;
  Session session;
  bool opened = false;
  ReadResult read;
  WriteResult written;
};

class SessionTest : public testing::Test {
protected:
  void SetUp() override { Zyla::init(Zyla::SIGHANDLE_NONE, false, false); }

  LogCapture log{ZyLog::Normal};
  /// Only the lines of a thread that runs an operation are kept, each in
  /// its session's record.
  LoggedMessages routed{nullptr};
};

TEST_F(SessionTest, TwoSessionsOnTwoPortsWorkAtOnce) {
  Controller first, second;
  ASSERT_TRUE(first.opened && second.opened);
  std::thread a([&first] { first.rename("Alpha"); });
  std::thread b([&second] { second.rename("Bravo"); });
  a.join();
  b.join();

  for (Controller *c : {&first, &second}) {
    std::string name = c == &first ? "Alpha" : "Bravo";
    SCOPED_TRACE(name);
    ASSERT_TRUE(c->read.ok());
    ASSERT_TRUE(c->written.ok()) << static_cast<int>(c->written.status);
    EXPECT_TRUE(c->written.verified);
    EXPECT_FALSE(c->written.backup.empty()) << "a backup before the erase";
    // The controller holds exactly the block the session wrote, and the
    // session keeps it as its block.
    std::array<uint8_t, SimMemory::PARAM_SIZE> held = c->sim.controller().block7();
    EXPECT_TRUE(std::equal(held.begin(), held.end(), c->written.written.begin()));
    EXPECT_EQ(c->session.block(), c->written.written);
    EXPECT_EQ(blockValue(c->session.block().data(), "Name"), name);
    // Each record holds its own session's facts alone.
    RunRecord record = c->outcome.snapshot();
    EXPECT_TRUE(record.block.flashWritten);
    EXPECT_EQ(record.controller.intendedName, name);
    ASSERT_EQ(record.block.changes.size(), 1u);
    EXPECT_EQ(record.block.changes[0].keyword, "Name");
    EXPECT_EQ(record.block.changes[0].after, name);
    EXPECT_EQ(record.block.sha256After, c->written.sha256After);
    EXPECT_NE(record.block.sha256Before, record.block.sha256After);
  }
}

TEST_F(SessionTest, WhatCannotBeDoneComesBackAsAValueWithItsMessage) {
  // Never connected: nothing is sent, each operation says why.
  TempDir store;
  RunOutcome outcome;
  ConnectOptions options("/nonexistent/port", 115200);
  Session::Settings settings;
  settings.backupDir = store.subdir("store");
  Session idle(options, outcome, settings);
  ReadResult read = idle.read();
  EXPECT_EQ(read.status, OpStatus::NoController);
  EXPECT_EQ(read.exit, EXIT_FLASH_READ);
  EXPECT_EQ(read.messages, std::vector<std::string>{"No controller to read from. Try 'connect'."});
  WriteResult write = idle.write(ParamBlock{});
  EXPECT_EQ(write.status, OpStatus::NoController);
  EXPECT_EQ(write.exit, EXIT_FLASH_WRITE);
  EXPECT_EQ(write.messages, std::vector<std::string>{"No controller to write to. Try 'connect'."});
  EXPECT_EQ(idle.check(ParamBlock{}).status, OpStatus::NoController);
  EXPECT_EQ(idle.identify().status, OpStatus::NoController);
  // The record holds the session's lines too.
  EXPECT_EQ(outcome.snapshot().log.messages.size(), 2u);

  // A block image that is not a whole block is refused before the erase.
  Controller c;
  ASSERT_TRUE(c.opened);
  ASSERT_TRUE(c.session.read().ok());
  std::array<uint8_t, SimMemory::PARAM_SIZE> before = c.sim.controller().block7();
  unsigned char shortImage[100];
  memset(shortImage, 0x11, sizeof shortImage);
  struct Case {
    const unsigned char *image;
    int length;
  };
  for (const Case &bad : {Case{shortImage, 100}, Case{nullptr, PARAM_BLOCK_SIZE}}) {
    WriteResult refused = c.session.writeImage(bad.image, bad.length, "bad.blk");
    EXPECT_EQ(refused.status, OpStatus::Refused);
    EXPECT_EQ(refused.exit, EXIT_FLASH_WRITE);
    ASSERT_EQ(refused.messages.size(), 1u);
    EXPECT_NE(refused.messages[0].find("is not a FLASH parameter block image"), std::string::npos)
        << refused.messages[0];
  }
  std::vector<std::string> commands = c.sim.controller().commandLog();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "FE7"), 0);
  EXPECT_TRUE(c.sim.controller().block7() == before);
}

} // namespace

// SPDX-License-Identifier: MIT
// The tool's firmware download and monitor link against the simulated
// controller: blocks really erased and programmed (a write only clears
// bits), the parameter block left alone, a refused erase and a power loss
// half-way through a block, and the read-back that finds pieces the FLASH
// did not keep.
#include "FirmwareDownload.h"
#include "FirmwareFiles.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "ProcessRunner.h"
#include "SimCommandLine.h"
#include "SimPty.h"
#include "TempFiles.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

/// An S-record file of the bytes from first to last (exclusive), with the
/// byte at address a equal to (a * 7 + 3) & 0xff.
std::string writeImage(unsigned long first, unsigned long last) {
  std::string path = tempPath("sim_download_" + std::to_string(first) + ".mot");
  auto data = records::patternBytes(first, last, [](unsigned long a) { return a * 7 + 3; });
  return writeFile(path, records::srecordFile(first, data)) ? path : "";
}

class SimDownloadTest : public testing::Test {
protected:
  void start(const SimOptions &options = SimOptions()) {
    sim.reset(new SimSession(options));
    ASSERT_TRUE(sim->ok()) << sim->error();
    port.setBaud(115200);
    ASSERT_EQ(0, port.open(sim->slavePath().c_str()));
  }
  bool download(const std::string &path) {
    testing::internal::CaptureStdout();
    FirmwareDownload download(image);
    bool done =
        loadFirmwareFile(path.c_str(), NO_BASE_ADDRESS, image) && download.downloadFirmware(&link);
    testing::internal::GetCapturedStdout();
    return done;
  }
  void TearDown() override {
    port.close();
    sim.reset();
  }

  std::unique_ptr<SimSession> sim;
  ZySerialConnection port;
  MonitorLink link{&port};
  FirmwareImage image;
  LogCapture log;
};

} // namespace

TEST_F(SimDownloadTest, BlocksAreProgrammedAndTheParameterBlockIsLeftAlone) {
  start();
  auto params = sim->controller().block7();
  std::vector<uint8_t> block9 = sim->controller().readMemory(0x10000, 0x10000);
  // From 0x20 through block 8, across the parameter block.
  std::string path = writeImage(0x20, 0x10000);
  ASSERT_TRUE(download(path)) << log.text();
  unlink(path.c_str());

  std::vector<uint8_t> low = sim->controller().readMemory(0, 0x10000);
  for (unsigned long a = 0; a < 0x10000; a++) {
    if (a >= 0x7000 && a < 0x8000)
      continue;
    uint8_t want = a < 0x20 ? 0xff : static_cast<uint8_t>((a * 7 + 3) & 0xff);
    ASSERT_EQ(want, low[a]) << std::hex << a;
  }
  EXPECT_EQ(params, sim->controller().block7());
  EXPECT_EQ(block9, sim->controller().readMemory(0x10000, 0x10000));

  std::vector<std::string> commands = sim->controller().commandLog();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ("FR", commands.back());
  int erases = 0;
  for (const std::string &c : commands) {
    EXPECT_NE("FE7", c);
    erases += c.compare(0, 2, "FE") == 0;
  }
  EXPECT_EQ(8, erases); // blocks 0 to 6 and 8
  EXPECT_EQ(8, sim->controller().stats().erases);
}

TEST_F(SimDownloadTest, RefusedEraseStopsTheDownload) {
  SimOptions options;
  ASSERT_TRUE(options.faults.refuse.parse("FE9:*"));
  start(options);
  std::vector<uint8_t> block10 = sim->controller().readMemory(0x20000, 0x100);
  std::string path = writeImage(0x8000, 0x30000);
  EXPECT_FALSE(download(path));
  unlink(path.c_str());
  EXPECT_TRUE(log.contains("Erase flash command for block 9 not accepted: ER2")) << log.text();
  EXPECT_EQ(sim->controller().stats().refused, 3) << "block 9 is tried three times";
  EXPECT_TRUE(log.contains("Blocks already written: 0x8. Blocks still holding the old firmware: "
                           "0xa."))
      << log.text();
  // Block 8 was written before; block 10 never reached.
  EXPECT_EQ((0x8000 * 7 + 3) & 0xff, sim->controller().readMemory(0x8000, 1)[0]);
  EXPECT_EQ(block10, sim->controller().readMemory(0x20000, 0x100));
}

TEST_F(SimDownloadTest, PowerLossHalfWayLeavesThePartWritten) {
  SimOptions options;
  // About 10 of the 32 pieces of block 0 (each some 270 bytes on the line).
  options.faults.dieAfterBytes = 2800;
  start(options);
  std::string path = writeImage(0x20, 0x1000);
  EXPECT_FALSE(download(path));
  unlink(path.c_str());
  EXPECT_TRUE(sim->controller().stats().poweredOff);
  std::vector<uint8_t> block0 = sim->controller().readMemory(0, 0x1000);
  EXPECT_EQ((0x100 * 7 + 3) & 0xff, block0[0x100]); // an early piece got there
  EXPECT_EQ(std::vector<uint8_t>(0x100, 0xff),
            std::vector<uint8_t>(block0.begin() + 0xf00, block0.end())); // the last did not
}

// The simulator's FLASH acknowledges a piece without storing it, or stores
// a byte changed: once, the read-back restarts the block and the download
// ends exactly; every time, it fails naming the block.
TEST_F(SimDownloadTest, ReadBackFindsPiecesTheFlashDidNotKeep) {
  struct Case {
    const char *option, *trigger;
    bool ok;
  } cases[] = {
      {"--lose-write", "FW8080:1", true},
      {"--flip-byte", "FW10000:1", true},
      {"--lose-write", "FW8000:*", false},
      {"--flip-byte", "FW:*", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + c.trigger);
    SimCommandLine line;
    std::string error;
    const char *argv[] = {c.option, c.trigger};
    ASSERT_TRUE(parseSimCommandLine(2, argv, line, error)) << error;
    SimOptions options;
    options.faults = line.options.faults;
    start(options);
    log.clear();
    std::string path = writeImage(0x8000, 0x10100);
    EXPECT_EQ(download(path), c.ok) << log.text();
    unlink(path.c_str());
    auto written = sim->controller().readMemory(0x8000, 0x8100);
    bool exact = true;
    for (unsigned long a = 0x8000; a < 0x10100; a++)
      exact = exact && written[a - 0x8000] == ((a * 7 + 3) & 0xff);
    EXPECT_EQ(exact, c.ok) << "status true only with every block exactly the image";
    if (c.ok) {
      EXPECT_TRUE(log.contains("does not read back as written")) << log.text();
      EXPECT_TRUE(log.contains("again (try 2 of 3)")) << log.text();
    } else {
      EXPECT_TRUE(log.contains("Block 0x8 did not read back as written after 3 tries"))
          << log.text();
    }
    port.close();
    sim.reset();
  }
}

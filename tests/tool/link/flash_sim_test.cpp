// SPDX-License-Identifier: MIT
// The FLASH parameter block transfer and the identity check against the
// controller simulator, which models FLASH itself (a write only clears
// bits, so the block must really have been erased and written whole).
#include "DurableWrite.h"
#include "FirmwareIdentity.h"
#include "FlashImage.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "ParamFile.h"
#include "ParameterBlockLink.h"
#include "ProcessRunner.h"
#include "RescueFiles.h"
#include "SimPty.h"
#include "ZyConfig.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <unistd.h>

namespace {

class FlashSimTest : public testing::Test {
protected:
  void start(const SimOptions &options = SimOptions()) {
    session.reset(new SimSession(options));
    ASSERT_TRUE(session->ok()) << session->error();
    port.setBaud(115200);
    ASSERT_EQ(port.open(session->slavePath().c_str()), 0);
  }
  void SetUp() override {
    // Rescue images of failed writes go to the current directory.
    ASSERT_NE(getcwd(myOldDirectory, sizeof myOldDirectory), nullptr);
    ASSERT_EQ(chdir(rescueDir.path().c_str()), 0);
  }
  void TearDown() override {
    port.close();
    session.reset();
    EXPECT_EQ(chdir(myOldDirectory), 0);
  }

  /// A read through the link: the block becomes the one kept and the run's
  /// image, as the driver takes it.
  bool readFlashParameters() {
    BlockRead read = blocks.read();
    if (read.ok) {
      asRead = read.block;
      takeBlockIntoImage(asRead.data());
    }
    return read.ok;
  }
  /// Writes the image as edited over the block as read, with the safeguard
  /// given (none: no backup, no journal, no rescue files).
  bool writeFlashParameters(WriteSafeguard *safeguard = nullptr) {
    ParamBlock intended = asRead;
    imageIntoBlock(intended.data());
    testing::internal::CaptureStdout();
    lastWrite = blocks.write(asRead, intended, WriteKind::Parameters, safeguard);
    testing::internal::GetCapturedStdout();
    if (lastWrite.verified()) {
      asRead = lastWrite.written;
      takeBlockIntoImage(asRead.data());
    }
    return lastWrite.verified();
  }

  /// Reads, changes one value and writes back; true when the controller
  /// then holds exactly the block as read with that change.
  bool changeAndWrite() {
    std::array<uint8_t, SimMemory::PARAM_SIZE> before = session->controller().block7();
    if (!readFlashParameters())
      return false;
    setHostWordAt(278, 0x4321);
    bool written = writeFlashParameters();
    auto after = session->controller().block7();
    before[278] = 0x43;
    before[279] = 0x21;
    return written && after == before;
  }
  static void setHostWordAt(int offset, unsigned short value) {
    memcpy(flashImage + offset, &value, sizeof value);
  }

  TempDir rescueDir;
  char myOldDirectory[4096] = {};

  std::unique_ptr<SimSession> session;
  ZySerialConnection port;
  MonitorLink link{&port};
  ParameterBlockLink blocks{link};
  ParamBlock asRead{};
  BlockWrite lastWrite;
  LogCapture log;
};

unsigned short hostWord(int offset) {
  unsigned short value;
  memcpy(&value, flashImage + offset, sizeof value);
  return value;
}

void setHostWord(int offset, unsigned short value) {
  memcpy(flashImage + offset, &value, sizeof value);
}

} // namespace

TEST_F(FlashSimTest, ReadChangeAndWriteBack) {
  SimOptions options;
  options.faults.noiseBytes = 3; // stray bytes before every reply
  start(options);
  auto before = session->controller().block7();

  ASSERT_TRUE(readFlashParameters()) << log.text();
  EXPECT_EQ(hostWord(136), (before[136] << 8) | before[137]); // Ticks/mm
  EXPECT_EQ(memcmp(flashImage + 141, before.data() + 141, 19), 0);
  EXPECT_FALSE(imageChanged());

  setHostWord(136, 0x00c7);
  setHostWord(304, 0xfffe); // DriftFactor, -2
  memset(flashImage + 141, 0, 19);
  memcpy(flashImage + 141, "Tester", 6);

  ASSERT_TRUE(writeFlashParameters()) << log.text();
  EXPECT_FALSE(imageChanged());

  auto after = session->controller().block7();
  auto expected = before;
  expected[136] = 0x00;
  expected[137] = 0xc7;
  expected[304] = 0xff;
  expected[305] = 0xfe;
  memset(expected.data() + 141, 0, 19);
  memcpy(expected.data() + 141, "Tester", 6);
  for (size_t i = 0; i < expected.size(); i++)
    ASSERT_EQ(after[i], expected[i]) << "byte " << i;
  EXPECT_EQ(session->controller().stats().erases, 1);
  EXPECT_EQ(session->controller().stats().writes, 32);
}

TEST_F(FlashSimTest, CorruptedBlockReplyIsRefusedAndReadAgain) {
  SimOptions options;
  options.faults.badChecksum.parse("m7000:1");
  start(options);
  memset(flashImage, 0x33, FLASH_IMAGE_SIZE);
  // The retry's intact reply is taken, once a second one confirms it; the
  // simulator has seen the "-".
  EXPECT_TRUE(readFlashParameters());
  EXPECT_EQ(session->controller().stats().replyNaks, 1);
  EXPECT_EQ(session->controller().stats().reads, 3);
  EXPECT_EQ(memcmp(flashImage + 141, session->controller().block7().data() + 141, 19), 0);
}

TEST_F(FlashSimTest, RefusedPieceLeavesTheImage) {
  SimOptions options;
  options.faults.refuse.parse("FW7200:*");
  start(options);
  ASSERT_TRUE(readFlashParameters());
  setHostWord(278, 0x4321);
  unsigned char image[FLASH_IMAGE_SIZE], reference[FLASH_IMAGE_SIZE];
  memcpy(image, flashImage, sizeof image);
  memcpy(reference, referenceImage, sizeof reference);

  EXPECT_FALSE(writeFlashParameters());
  EXPECT_TRUE(log.hasLine("Binary packet didn't write 0x80 bytes to 0x7200: ER2")) << log.text();
  EXPECT_TRUE(log.hasLine("Could not write to the controller."));
  EXPECT_EQ(memcmp(flashImage, image, sizeof image), 0);
  EXPECT_EQ(memcmp(referenceImage, reference, sizeof reference), 0);
  EXPECT_TRUE(imageChanged());
}

TEST_F(FlashSimTest, IdentityOfTheSimulatedController) {
  SimOptions options;
  options.identity.firmwareMinor = '9';
  start(options);
  EXPECT_EQ(checkFirmwareIdentity(&link).identity, FirmwareIdentity::Newer);
}

namespace {
using Clock = std::chrono::steady_clock;
long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}
SimOptions withFault(SimFaultTrigger SimFaults::*trigger, const char *text) {
  SimOptions options;
  EXPECT_TRUE((options.faults.*trigger).parse(text));
  return options;
}
} // namespace

// A block reply that pauses is never taken with a time-out stored as data:
// a pause under the bound is ridden out; a longer one fails the read and
// the one retry brings the block intact.
TEST_F(FlashSimTest, PausedBlockReplyIsRiddenOutOrReadAgain) {
  for (int pauseMs : {30, 400}) {
    SimOptions options = withFault(&SimFaults::pauseReply, "m7000");
    options.faults.pauseAfter = 1000;
    options.faults.pauseMs = pauseMs;
    start(options);
    memset(flashImage, 0, FLASH_IMAGE_SIZE);
    ASSERT_TRUE(readFlashParameters()) << pauseMs << "\n" << log.text();
    auto block = session->controller().block7();
    EXPECT_EQ(flashImage[141], block[141]) << pauseMs; // the name, never shifted
    EXPECT_EQ(memcmp(flashImage + 141, block.data() + 141, 19), 0) << pauseMs;
    EXPECT_EQ(session->controller().stats().reads, pauseMs < MonitorLink::CHAR_WAIT_MS ? 2 : 3);
    TearDown();
    SetUp();
  }
}

// A reply cut short is refused in bounded time (not after 78 s), and a
// short reply with a good checksum is refused too; the image stays.
TEST_F(FlashSimTest, CutOrShortBlockRepliesAreRefused) {
  struct Case {
    SimFaultTrigger SimFaults::*trigger;
    int SimFaults::*number;
    int value;
  } cases[] = {{&SimFaults::cutReply, &SimFaults::cutAfter, 8000},
               {&SimFaults::cutReply, &SimFaults::cutAfter, 600},
               {&SimFaults::shortRead, &SimFaults::shortReadBytes, 200}};
  for (const Case &c : cases) {
    SimOptions options = withFault(c.trigger, "m7000:*");
    options.faults.*c.number = c.value;
    start(options);
    memset(flashImage, 0x33, FLASH_IMAGE_SIZE);
    auto begin = Clock::now();
    EXPECT_FALSE(readFlashParameters()) << c.value;
    EXPECT_LT(msSince(begin), 8000) << c.value;
    EXPECT_TRUE(log.hasLine("Could not read FLASH parameters from controller."));
    for (int i = 0; i < FLASH_IMAGE_SIZE; i++)
      ASSERT_EQ(flashImage[i], 0x33) << c.value << " byte " << i;
    EXPECT_EQ(session->controller().stats().reads, 2) << "one more try";
    EXPECT_EQ(session->controller().stats().erases, 0);
    TearDown();
    SetUp();
  }
}

// Bytes left over on the line are never taken as the answer to the erase.
TEST_F(FlashSimTest, StaleBytesAreNotTakenForTheEraseAcknowledgement) {
  start();
  ASSERT_TRUE(readFlashParameters());
  // What a reply cut off earlier leaves behind: "#" and its checksum.
  std::string stale = "#5a";
  ASSERT_EQ(write(session->pty().master(), stale.data(), stale.size()),
            static_cast<ssize_t>(stale.size()));
  usleep(100000);
  setHostWordAt(278, 0x1111);
  EXPECT_TRUE(writeFlashParameters()) << log.text();
  EXPECT_FALSE(log.hasLine("Erase FLASH command didn't work."));
  EXPECT_EQ(session->controller().stats().erases, 1);
  EXPECT_EQ(session->controller().block7()[278], 0x11);
}

// An erase whose "+" is lost, stray bytes before the "+", a lost "+" of a
// piece: the write still ends with exactly the intended block.
TEST_F(FlashSimTest, LostOrGarbledAnswersStillEndWithTheIntendedBlock) {
  struct Case {
    SimFaultTrigger SimFaults::*trigger;
    const char *text;
  } cases[] = {{&SimFaults::dropAck, "FE7"},         {&SimFaults::stray, "FE7"},
               {&SimFaults::badChecksum, "FE7"},     {&SimFaults::dropAck, "FW7080"},
               {&SimFaults::stray, "FW7f80"},        {&SimFaults::refuse, "FW7100"},
               {&SimFaults::badChecksum, "m7000:3"}, {&SimFaults::swapDigits, "m7000:3"}};
  for (const Case &c : cases) {
    SimOptions options = withFault(c.trigger, c.text);
    options.faults.strayBytes = 3;
    start(options);
    EXPECT_TRUE(changeAndWrite()) << c.text << "\n" << log.text();
    EXPECT_FALSE(log.contains("is saved in")) << c.text << ": no rescue image was needed";
    TearDown();
    SetUp();
  }
}

// When the write fails for good, the rescue image holds exactly the block
// that was meant, and writing it back restores the controller.
TEST_F(FlashSimTest, FailedWriteLeavesARescueImageThatPutsTheBlockBack) {
  SimOptions options = withFault(&SimFaults::refuse, "FW7200:*");
  start(options);
  auto before = session->controller().block7();
  ASSERT_TRUE(readFlashParameters());
  setHostWordAt(278, 0x5678);
  DurableWrite guard(rescueDir.subdir("store"), session->slavePath());
  EXPECT_FALSE(writeFlashParameters(&guard));
  EXPECT_TRUE(log.hasLine("The FLASH parameter block on the controller may now be erased or "
                          "partly written."))
      << log.text();
  const RescueFiles &rescue = lastWrite.rescue;
  ASSERT_FALSE(rescue.image.empty());
  EXPECT_EQ(rescue.parameters, rescue.image.substr(0, rescue.image.size() - 4) + ".rop");
  unsigned char rescued[FLASH_BLOCK_SIZE];
  int length = 0;
  ASSERT_TRUE(loadBlockFile(rescue.image.c_str(), rescued, &length));
  auto expected = before;
  expected[278] = 0x56;
  expected[279] = 0x78;
  EXPECT_EQ(memcmp(rescued, expected.data(), FLASH_BLOCK_SIZE), 0);
  EXPECT_NE(session->controller().block7(), expected);

  // The next read warns only when the block is wholly erased; here it is
  // partly written, so the image is put back with a controller that works.
  TearDown();
  SetUp();
  start();
  ASSERT_EQ(length, FLASH_BLOCK_SIZE);
  ParamBlock image;
  memcpy(image.data(), rescued, FLASH_BLOCK_SIZE);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(blocks.write(asRead, image, WriteKind::WholeBlock, nullptr).verified()) << log.text();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(session->controller().block7(), expected);
}

TEST_F(FlashSimTest, ErasedBlockIsReportedWhenRead) {
  start();
  ASSERT_TRUE(readFlashParameters());
  EXPECT_FALSE(log.contains("erased"));
  // The block is left erased, as by a write that stopped after its erase.
  link.discardInput();
  ASSERT_TRUE(link.sendCommand("FE7"));
  char reply[8];
  ASSERT_TRUE(link.readPacket(reply, 7, 1000));
  ASSERT_TRUE(readFlashParameters());
  EXPECT_TRUE(log.hasLine("Warning: the controller's FLASH parameter block is erased (every byte "
                          "reads 0xFF)."))
      << log.text();
  EXPECT_TRUE(log.contains("-restoreBlock"));
}

namespace {
/// A safeguard that records what it is told and refuses when asked to.
struct RecordingSafeguard : WriteSafeguard {
  bool refuse = false;
  int before = 0;
  std::vector<bool> outcomes;
  std::vector<unsigned char> old, intended;
  bool beforeErase(const unsigned char *o, const unsigned char *i, WriteKind) override {
    before++;
    old.assign(o, o + FLASH_BLOCK_SIZE);
    intended.assign(i, i + FLASH_BLOCK_SIZE);
    return !refuse;
  }
  RescueFiles afterWrite(bool verified) override {
    outcomes.push_back(verified);
    RescueFiles files;
    if (!verified)
      files.image = "told.blk";
    return files;
  }
};
} // namespace

TEST_F(FlashSimTest, SafeguardSeesEveryEraseFirstAndCanRefuseIt) {
  // Table: the fault, whether the safeguard refuses, and what it is told.
  struct Case {
    const char *refuseWrites; // --refuse selector, or nullptr
    bool refuse;
    bool written;
    std::vector<bool> outcomes;
    long erases;
  } cases[] = {
      {nullptr, false, true, {true}, 1},
      {nullptr, true, false, {}, 0},
      {"FW7200:*", false, false, {false}, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.refuse ? "refused" : c.refuseWrites ? "pieces refused" : "plain");
    start(c.refuseWrites ? withFault(&SimFaults::refuse, c.refuseWrites) : SimOptions());
    auto before = session->controller().block7();
    RecordingSafeguard guard;
    guard.refuse = c.refuse;
    ASSERT_TRUE(readFlashParameters());
    setHostWordAt(278, 0x1234);
    EXPECT_EQ(writeFlashParameters(&guard), c.written);
    EXPECT_EQ(lastWrite.status, c.written  ? BlockWriteStatus::Verified
                                : c.refuse ? BlockWriteStatus::Refused
                                           : BlockWriteStatus::Failed);
    EXPECT_EQ(lastWrite.rescue.image, c.outcomes == std::vector<bool>{false} ? "told.blk" : "")
        << "what the safeguard saved comes back with the result";
    EXPECT_EQ(guard.before, 1);
    EXPECT_EQ(guard.outcomes, c.outcomes);
    EXPECT_EQ(memcmp(guard.old.data(), before.data(), before.size()), 0) << "the block as read";
    EXPECT_EQ(guard.intended[278], 0x12);
    EXPECT_EQ(guard.intended[279], 0x34);
    EXPECT_EQ(session->controller().stats().erases, c.erases);
    if (c.refuse) {
      EXPECT_EQ(session->controller().block7(), before) << "nothing erased";
      EXPECT_EQ(hostWord(278), 0x1234) << "the edit is still there";
      EXPECT_TRUE(imageChanged());
    }
    TearDown();
    SetUp();
  }
}

TEST(RescueFiles, NamesAreFreeForBothFilesAndNothingIsOverwritten) {
  TempDir dir;
  unsigned char block[FLASH_BLOCK_SIZE];
  memset(block, 0x5A, sizeof block);
  // Table: the files already there, and the number the pair gets.
  struct Case {
    std::vector<std::string> existing;
    std::string expected;
  } cases[] = {
      {{}, ""},
      {{".rop"}, "-2"},
      {{".blk"}, "-2"},
      {{".rop", "-2.blk"}, "-3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    TempDir here;
    std::string b = here.file("orvexconf-rescue-bot-1");
    for (const std::string &e : c.existing)
      ASSERT_TRUE(writeFile(b + e, "old " + e));
    RescueFiles saved = saveRescueFiles(b, block, FLASH_BLOCK_SIZE);
    EXPECT_EQ(saved.image, b + c.expected + ".blk") << saved.error;
    EXPECT_EQ(saved.parameters, b + c.expected + ".rop") << saved.error;
    EXPECT_EQ(readFile(saved.image), std::string(FLASH_BLOCK_SIZE, '\x5A'));
    for (const std::string &e : c.existing)
      EXPECT_EQ(readFile(b + e), "old " + e) << "untouched";
  }
  // A folder that cannot be written: no file, and the reason.
  RescueFiles none = saveRescueFiles(dir.file("missing/x"), block, FLASH_BLOCK_SIZE);
  EXPECT_TRUE(none.image.empty());
  EXPECT_TRUE(none.parameters.empty());
  EXPECT_FALSE(none.error.empty());
}

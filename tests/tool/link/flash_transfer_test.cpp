// SPDX-License-Identifier: MIT
// Tests of the FLASH parameter block transfer against a scripted monitor on
// a pseudo-terminal: the read into the FLASH image, the erase-and-write
// back, failures that must leave the images alone, and the firmware
// identity check. The fixture keeps the block as read and takes a verified
// block into the run's image, as the driver and the shell do.
#include "ClassicProgress.h"
#include "DurableWrite.h"
#include "FirmwareIdentity.h"
#include "FlashImage.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "MonitorPeer.h"
#include "ParamTables.h"
#include "ParameterBlockLink.h"
#include "ProcessRunner.h"
#include "PtyPair.h"
#include "ZyCriticalSection.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

ParamEntry *findEntry(ParamEntry *table, const char *name) {
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
    if (strcmp(entry->name, name) == 0)
      return entry;
  return nullptr;
}

unsigned short hostWord(int offset) {
  unsigned short value;
  memcpy(&value, flashImage + offset, sizeof value);
  return value;
}

void setHostWord(int offset, unsigned short value) {
  memcpy(flashImage + offset, &value, sizeof value);
}

// Offsets of 16-bit values in the three tables.
std::vector<int> wordOffsets() {
  std::vector<int> offsets;
  for (ParamEntry *table : {robotTable, armTable, powerTable})
    for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
      if (entry->kind == ParamKind::int16 || entry->kind == ParamKind::uint16)
        offsets.push_back(static_cast<int>(entry->value - flashImage));
  return offsets;
}

class FlashTransferTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
    ensureTextBuffer(findEntry(robotTable, "Sonar1"));
    link.setProgress(&printer);
    // Rescue images of failed writes go to the current directory.
    ASSERT_NE(getcwd(myOldDirectory, sizeof myOldDirectory), nullptr);
    ASSERT_EQ(chdir(rescueDir.path().c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(chdir(myOldDirectory), 0); }

  // A read through the link: a block read becomes the one kept and the
  // run's image.
  bool readParameters() {
    BlockRead read = blocks.read();
    if (read.ok) {
      asRead = read.block;
      takeBlockIntoImage(asRead.data());
    }
    return read.ok;
  }

  // Reads the peer's block into the image through a peer of its own.
  void readBlock(const unsigned char *block) {
    MonitorPeer peer(pty);
    memcpy(peer.block, block, MonitorPeer::BLOCK_SIZE);
    peer.start();
    ASSERT_TRUE(readParameters());
    peer.stop();
  }

  // Writes the image as edited over the block as read, with the safeguard
  // (backups, journal, rescue files); a verified block becomes the one kept.
  BlockWrite writeParameters() {
    ParamBlock intended = asRead;
    imageIntoBlock(intended.data());
    BlockWrite written = blocks.write(asRead, intended, WriteKind::Parameters, &guard);
    if (written.verified()) {
      asRead = written.written;
      takeBlockIntoImage(asRead.data());
    }
    return written;
  }

  // Runs a write against a peer that starts with the given block; returns
  // its result and leaves the peer's block in written.
  bool writeBlock(MonitorPeer &peer, std::string *progress = nullptr) {
    peer.start();
    testing::internal::CaptureStdout();
    lastWrite = writeParameters();
    std::string out = testing::internal::GetCapturedStdout();
    peer.stop();
    if (progress != nullptr)
      *progress = out;
    return lastWrite.verified();
  }

  static void patternBlock(unsigned char *block, int seed) {
    for (int i = 0; i < MonitorPeer::BLOCK_SIZE; i++)
      block[i] = static_cast<unsigned char>(i * 31 + seed + (i >> 8));
  }

  PtyPair pty;
  ZySerialConnection port;
  MonitorLink link{&port};
  ParameterBlockLink blocks{link};
  ClassicProgress printer;
  LogCapture log;
  TempDir rescueDir;
  DurableWrite guard{rescueDir.subdir("store"), pty.slavePath()};
  ParamBlock asRead{};
  BlockWrite lastWrite;
  char myOldDirectory[4096] = {};
};

std::string identity(char monMajor, char monMinor, const char *name, char fwMajor, char fwMinor) {
  std::string reply = "xORVEX Mon  ?.?    ?????  ?.?";
  reply[12] = monMajor;
  reply[14] = monMinor;
  memcpy(&reply[19], name, 5);
  reply[26] = fwMajor;
  reply[28] = fwMinor;
  return reply;
}

std::atomic<int> gDeferredSignal{0};
std::atomic<int> gWritesBeforeSignalAction{0};
std::atomic<int> gWritesSeen{0};

void recordSignal(int signal) {
  gDeferredSignal = signal;
  gWritesBeforeSignalAction = gWritesSeen.load();
}

} // namespace

TEST(FirmwareIdentity, ResultsOfTheReply) {
  EXPECT_EQ(firmwareIdentityResult(identity('1', '7', "ORVEX", '2', '8').c_str()),
            FirmwareIdentity::Unidentified);
  EXPECT_EQ(firmwareIdentityResult(identity('1', '0', "ORVEX", '2', '8').c_str()),
            FirmwareIdentity::Unidentified);
  EXPECT_EQ(firmwareIdentityResult(identity('1', '8', "ORVEX", '2', '8').c_str()),
            FirmwareIdentity::Known);
  EXPECT_EQ(firmwareIdentityResult(identity('1', '8', "OTHER", '2', '8').c_str()),
            FirmwareIdentity::NotOrvex)
      << "1.8 goes on to the name test";
  EXPECT_EQ(firmwareIdentityResult(identity('3', '0', "ORVEX", '2', '8').c_str()),
            FirmwareIdentity::Unidentified);
  EXPECT_EQ(firmwareIdentityResult(identity('3', '9', "OTHER", '2', '8').c_str()),
            FirmwareIdentity::Unidentified);
  EXPECT_EQ(firmwareIdentityResult(identity('0', '9', "ORVEX", '2', '8').c_str()),
            FirmwareIdentity::Unidentified);
  EXPECT_EQ(firmwareIdentityResult(identity('2', '0', "orvex", '2', '8').c_str()),
            FirmwareIdentity::NotOrvex);
  EXPECT_EQ(firmwareIdentityResult(identity('2', '0', "ORVEX", '2', '8').c_str()),
            FirmwareIdentity::Known);
  EXPECT_EQ(firmwareIdentityResult(identity('2', '0', "ORVEX", '2', '9').c_str()),
            FirmwareIdentity::Newer);
  EXPECT_EQ(firmwareIdentityResult(identity('2', '0', "ORVEX", '1', '9').c_str()),
            FirmwareIdentity::Known);
  EXPECT_EQ(firmwareIdentityResult(identity('2', '0', "ORVEX", '3', '0').c_str()),
            FirmwareIdentity::Newer);

  std::string full = identity('2', '0', "ORVEX", '2', '8');
  EXPECT_EQ(firmwareIdentityResult(full.substr(0, 12).c_str()), FirmwareIdentity::Unidentified)
      << "shorter than 13";
  EXPECT_EQ(firmwareIdentityResult(full.substr(0, 22).c_str()), FirmwareIdentity::NotOrvex)
      << "name cut short";
  EXPECT_EQ(firmwareIdentityResult(full.substr(0, 24).c_str()), FirmwareIdentity::Known)
      << "missing version digits count as NUL";
  EXPECT_EQ(firmwareIdentityResult(""), FirmwareIdentity::Unidentified);
}

TEST(FirmwareIdentity, FieldsOfTheReplyForTheReport) {
  std::string full = identity('2', '0', "ORV  ", '2', '8');
  struct Case {
    size_t length;
    const char *monitor, *name, *firmware;
  } cases[] = {{full.size(), "2.0", "ORV", "2.8"},
               {28, "2.0", "ORV", ""},
               {23, "2.0", "", ""},
               {14, "", "", ""},
               {0, "", "", ""}};
  for (const Case &c : cases) {
    IdentityFields fields = identityFields(full.substr(0, c.length).c_str());
    EXPECT_EQ(fields.text, c.length == 0 ? "" : full.substr(1, c.length - 1)) << c.length;
    EXPECT_EQ(fields.monitorVersion, c.monitor) << c.length;
    EXPECT_EQ(fields.firmwareName, c.name) << c.length;
    EXPECT_EQ(fields.firmwareVersion, c.firmware) << c.length;
  }
}

TEST_F(FlashTransferTest, IdentityCheckOverTheLine) {
  EXPECT_EQ(checkFirmwareIdentity(nullptr).identity, FirmwareIdentity::Unidentified);

  MonitorPeer peer(pty);
  peer.identity = identity('2', '1', "ORVEX", '2', '9');
  peer.start();
  IdentityCheck check = checkFirmwareIdentity(&link);
  peer.stop();
  EXPECT_EQ(check.identity, FirmwareIdentity::Newer);
  EXPECT_TRUE(check.answered);
  EXPECT_EQ(peer.commands(), std::vector<std::string>{"V"});
  EXPECT_EQ(peer.hostAnswers(), "+");
  EXPECT_TRUE(log.hasLine(peer.identity.substr(1))) << log.text();
  EXPECT_EQ(check.reply.text, peer.identity.substr(1));
  EXPECT_EQ(check.reply.firmwareVersion, "2.9");

  // An identity reply that does not arrive intact: no identity, no reply.
  pty.write("+$xORVEX#00");
  check = checkFirmwareIdentity(&link);
  EXPECT_EQ(check.identity, FirmwareIdentity::Unidentified);
  EXPECT_FALSE(check.answered);
  EXPECT_EQ(check.reply.text, "");
}

TEST_F(FlashTransferTest, ReadBringsWordsIntoHostOrder) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 1);
  MonitorPeer peer(pty);
  memcpy(peer.block, block, sizeof block);
  peer.upperCaseBlock = true;
  peer.start();
  ASSERT_TRUE(readParameters());
  peer.stop();
  EXPECT_EQ(peer.commands(), (std::vector<std::string>{"m7000,FFF", "m7000,FFF"}))
      << "read and confirmed";
  EXPECT_EQ(peer.hostAnswers(), "++");
  EXPECT_TRUE(log.hasLine("Reading FLASH parameters from controller."));

  std::vector<int> words = wordOffsets();
  for (int offset : words)
    EXPECT_EQ(hostWord(offset), (block[offset] << 8) | block[offset + 1]) << offset;
  for (int i = 0; i < FLASH_IMAGE_SIZE; i++) {
    bool inWord = false;
    for (int offset : words)
      inWord = inWord || i == offset || i == offset + 1;
    if (!inWord) {
      EXPECT_EQ(flashImage[i], block[i]) << i;
    }
  }
  EXPECT_FALSE(imageChanged());
  ParamEntry *sonar = findEntry(robotTable, "Sonar1");
  EXPECT_EQ(memcmp(sonar->textBuffer, block + 186, 16), 0);
  EXPECT_EQ(sonar->textBuffer[16], '\0');
}

TEST_F(FlashTransferTest, WriteSendsTheBlockBackWithOnlyTheChanges) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 2);
  readBlock(block);

  setHostWord(136, 0x0102); // Ticks/mm
  memset(flashImage + 141, 0, 19);
  memcpy(flashImage + 141, "Robbie", 6); // Name
  flashImage[179] = 4;                   // HostBaud
  ParamEntry *sonar = findEntry(robotTable, "Sonar1");
  memcpy(sonar->textBuffer, "0123456789abcdef", 17);
  ASSERT_TRUE(imageChanged());

  MonitorPeer peer(pty);
  memcpy(peer.block, block, sizeof block);
  std::string progress;
  ASSERT_TRUE(writeBlock(peer, &progress)) << log.text();

  std::vector<std::string> commands = peer.commands();
  ASSERT_EQ(commands.size(), 36u);
  EXPECT_EQ(commands.front(), "FE7");
  EXPECT_EQ(commands[1].substr(0, 7), "FW7000,");
  EXPECT_EQ(commands[32].substr(0, 7), "FW7f80,");
  EXPECT_EQ(commands[33], "m7000,FFF") << "read back before FR";
  EXPECT_EQ(commands[34], "m7000,FFF") << "and confirmed";
  EXPECT_EQ(commands.back(), "FR");
  EXPECT_EQ(peer.badPackets(), 0);
  EXPECT_EQ(progress.substr(0, 25), "\rWriting 0x7000 to 0x7080");
  EXPECT_NE(progress.find("\rWriting 0x7f80 to 0x8000"), std::string::npos);

  // The controller holds the block as read, but for the changed values.
  unsigned char expected[MonitorPeer::BLOCK_SIZE];
  memcpy(expected, block, sizeof expected);
  expected[136] = 0x01;
  expected[137] = 0x02;
  memset(expected + 141, 0, 19);
  memcpy(expected + 141, "Robbie", 6);
  expected[179] = 4;
  memcpy(expected + 186, "0123456789abcdef", 16);
  for (int i = 0; i < MonitorPeer::BLOCK_SIZE; i++)
    ASSERT_EQ(peer.block[i], expected[i]) << "byte " << i;

  // Back in host order and counted as saved.
  EXPECT_EQ(hostWord(136), 0x0102);
  EXPECT_FALSE(imageChanged());
  EXPECT_TRUE(log.hasLine("FLASH parameters written to the controller."));
}

TEST_F(FlashTransferTest, FailedWriteLeavesTheImages) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 3);
  readBlock(block);
  setHostWord(278, 0x1234); // RotKp
  ParamEntry *sonar = findEntry(robotTable, "Sonar1");
  memcpy(sonar->textBuffer, "edited in buffer", 17);
  unsigned char before[FLASH_IMAGE_SIZE], reference[FLASH_IMAGE_SIZE];
  memcpy(before, flashImage, sizeof before);
  memcpy(reference, referenceImage, sizeof reference);

  MonitorPeer peer(pty);
  memcpy(peer.block, block, sizeof block);
  peer.failWriteAt = 3;
  peer.failWriteCount = 1000;
  EXPECT_FALSE(writeBlock(peer));
  EXPECT_TRUE(log.hasLine("Could not write to the controller."));
  EXPECT_EQ(peer.commands().size(), 7u)
      << "erase and four pieces, then erase and one piece again, no reset";
  EXPECT_TRUE(log.hasLine("Writing the FLASH parameter block again from its start."));
  // The block as it should have been is kept, raw, and can be loaded back.
  const std::string &rescue = lastWrite.rescue.image;
  ASSERT_FALSE(rescue.empty());
  EXPECT_EQ(lastWrite.rescue.parameters, rescue.substr(0, rescue.size() - 4) + ".rop");
  unsigned char rescued[FLASH_BLOCK_SIZE];
  int length = 0;
  ASSERT_TRUE(loadBlockFile(rescue.c_str(), rescued, &length));
  EXPECT_EQ(length, FLASH_BLOCK_SIZE);
  EXPECT_EQ(rescued[278], 0x12);
  EXPECT_EQ(rescued[279], 0x34);
  EXPECT_EQ(memcmp(rescued + 186, "edited in buffer", 16), 0);
  EXPECT_EQ(memcmp(rescued + 422, block + 422, MonitorPeer::BLOCK_SIZE - 422), 0);
  EXPECT_EQ(rescue.compare(0, 17, "orvexconf-rescue-"), 0) << rescue;
  EXPECT_TRUE(log.hasLine("To put it back, run: orvexconf -rp <port> -b -restoreBlock " + rescue))
      << log.text();
  EXPECT_EQ(memcmp(flashImage, before, sizeof before), 0);
  EXPECT_EQ(memcmp(referenceImage, reference, sizeof reference), 0);
  EXPECT_EQ(hostWord(278), 0x1234);
  EXPECT_TRUE(imageChanged()) << "the change still counts as unsaved";
  EXPECT_STREQ(sonar->textBuffer, "edited in buffer");
  EXPECT_FALSE(ZyCriticalSection::isActive());

  // A later write sends the whole block again, changes included.
  MonitorPeer retry(pty);
  ASSERT_TRUE(writeBlock(retry));
  EXPECT_EQ(retry.block[278], 0x12);
  EXPECT_EQ(retry.block[279], 0x34);
  EXPECT_EQ(memcmp(retry.block + 186, "edited in buffer", 16), 0);
  EXPECT_EQ(memcmp(retry.block + 422, block + 422, MonitorPeer::BLOCK_SIZE - 422), 0);
}

TEST_F(FlashTransferTest, RefusedEraseChangesNothing) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 4);
  readBlock(block);
  setHostWord(288, 0x0aa0);
  unsigned char before[FLASH_IMAGE_SIZE];
  memcpy(before, flashImage, sizeof before);

  MonitorPeer peer(pty);
  memcpy(peer.block, block, sizeof block);
  peer.refuseErase = true;
  EXPECT_FALSE(writeBlock(peer));
  EXPECT_TRUE(log.hasLine("Erase FLASH command not accepted: ER1")) << log.text();
  EXPECT_EQ(peer.commands(), (std::vector<std::string>{"FE7", "FE7"}))
      << "an erase that may have happened is sent once more";
  EXPECT_EQ(memcmp(flashImage, before, sizeof before), 0);
  EXPECT_EQ(memcmp(peer.block, block, sizeof block), 0);
}

TEST_F(FlashTransferTest, CorruptedReadNeverBecomesTheImage) {
  static unsigned char good[MonitorPeer::BLOCK_SIZE];
  static unsigned char other[MonitorPeer::BLOCK_SIZE];
  patternBlock(good, 5);
  patternBlock(other, 6);
  readBlock(good);
  unsigned char image[FLASH_IMAGE_SIZE], reference[FLASH_IMAGE_SIZE];
  memcpy(image, flashImage, sizeof image);
  memcpy(reference, referenceImage, sizeof reference);

  MonitorPeer bad(pty);
  memcpy(bad.block, other, sizeof other);
  bad.corruptBlockChecksum = true;
  bad.start();
  EXPECT_FALSE(readParameters());
  bad.stop();
  EXPECT_EQ(bad.hostAnswers(), "--") << "answered and tried once more";
  EXPECT_TRUE(log.hasLine("Could not read FLASH parameters from controller."));
  EXPECT_EQ(memcmp(flashImage, image, sizeof image), 0);
  EXPECT_EQ(memcmp(referenceImage, reference, sizeof reference), 0);

  // The block kept for writing back is still the one read intact.
  MonitorPeer peer(pty);
  ASSERT_TRUE(writeBlock(peer));
  EXPECT_EQ(memcmp(peer.block, good, sizeof good), 0);
}

TEST_F(FlashTransferTest, BlockReplyOfAnyOtherLengthIsRefused) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 7);
  memset(flashImage, 0x33, FLASH_IMAGE_SIZE);
  // 200 bytes with a good checksum, one digit short, one digit over.
  for (int digits : {400, 8191, 8193, 8194}) {
    MonitorPeer peer(pty);
    memcpy(peer.block, block, sizeof block);
    peer.blockDigits = digits;
    peer.start();
    EXPECT_FALSE(readParameters()) << digits;
    peer.stop();
    EXPECT_EQ(peer.commands().size(), 2u) << "tried once more";
    for (int i = 0; i < FLASH_IMAGE_SIZE; i++)
      ASSERT_EQ(flashImage[i], 0x33) << digits << " byte " << i;
  }
  // 4095 bytes, the length the command names, are taken; the last byte
  // stays erased.
  MonitorPeer peer(pty);
  memcpy(peer.block, block, sizeof block);
  peer.blockDigits = 8190;
  peer.start();
  ASSERT_TRUE(readParameters());
  peer.stop();
  EXPECT_EQ(flashImage[295], block[295]); // a reserved byte, never swapped
  EXPECT_EQ(asRead[MonitorPeer::BLOCK_SIZE - 1], 0xFF) << "the missing last byte reads erased";
  MonitorPeer writer(pty);
  memcpy(writer.block, block, sizeof block);
  writer.blockDigits = 8190;
  ASSERT_TRUE(writeBlock(writer)) << log.text();
  EXPECT_EQ(memcmp(writer.block, block, MonitorPeer::BLOCK_SIZE - 1), 0);
  EXPECT_EQ(writer.block[MonitorPeer::BLOCK_SIZE - 1], 0xFF);
}

TEST_F(FlashTransferTest, VerifyDifferenceRestartsTheBlockOnce) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 9);
  readBlock(block);

  // One damaged reply to the read back is outvoted by the next two.
  setHostWord(278, 0x2345);
  MonitorPeer once(pty);
  memcpy(once.block, block, sizeof block);
  once.corruptReadAt = 0;
  ASSERT_TRUE(writeBlock(once)) << log.text();
  EXPECT_EQ(once.commands().size(), 1u + 32 + 3 + 1) << "no restart";
  EXPECT_FALSE(log.contains("again from its start"));
  EXPECT_EQ(once.block[278], 0x23);

  // Two replies that agree on a difference restart the block once.
  setHostWord(278, 0x3456);
  MonitorPeer twice(pty);
  memcpy(twice.block, block, sizeof block);
  twice.editBlockReply = [](int index, std::string &reply) {
    if (index < 2)
      std::swap(reply[1], reply[2]); // byte 0, 0x09, reads 0x90
  };
  ASSERT_TRUE(writeBlock(twice)) << log.text();
  EXPECT_EQ(twice.commands().size(), 1u + 32 + 2 + 1 + 32 + 2 + 1) << "restarted once";
  EXPECT_EQ(twice.block[278], 0x34);

  // A difference in any byte, the last one too, every time: the block is
  // restarted once, then the write fails and a rescue image is kept.
  for (int offset : {0, FLASH_BLOCK_SIZE - 1}) {
    SCOPED_TRACE(offset);
    setHostWord(278, static_cast<unsigned short>(0x4567 + offset));
    MonitorPeer always(pty);
    memcpy(always.block, block, sizeof block);
    always.corruptReadAt = MonitorPeer::EVERY_READ;
    always.corruptReadOffset = offset;
    EXPECT_FALSE(writeBlock(always));
    std::vector<std::string> commands = always.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "FE7"), 2);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "m7000,FFF"), 4);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "FR"), 0);
    EXPECT_TRUE(log.hasLine("The FLASH parameter block read back differs from what was written "
                            "(byte " +
                            std::to_string(offset) + ")."))
        << log.text();
    EXPECT_FALSE(lastWrite.rescue.image.empty());
    EXPECT_TRUE(imageChanged());
  }
}

// The reply's checksum is a sum, which swapped digits leave as it was: the
// block is taken only from two whole replies that agree, out of at most
// four; failed replies are retried once and do not count.
TEST_F(FlashTransferTest, SumPreservingDamageIsNeverTakenForTheBlock) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 11);
  struct Case {
    const char *replies; // per reply: '.' intact, 'a'-'c' swapped digits (each
                         // in its own place: bytes 1 to 3), 'z' swapped digits
                         // of byte 0xFFE, past the parameters, 'x' a wrong
                         // checksum
    bool read;
    size_t commands;
  } cases[] = {
      {"a..", true, 3},   {".a.", true, 3}, {"ab..", true, 4},  {"a.x.", true, 4},
      {"abx..", true, 5}, {".x.", true, 3}, {"abc.", false, 4}, {"xx", false, 2},
      {"z..", true, 3},   {".z.", true, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.replies);
    memset(flashImage, 0x33, FLASH_IMAGE_SIZE);
    log.clear();
    MonitorPeer peer(pty);
    memcpy(peer.block, block, sizeof block);
    std::string plan = c.replies;
    peer.editBlockReply = [plan](int index, std::string &reply) {
      char what = static_cast<size_t>(index) < plan.size() ? plan[static_cast<size_t>(index)] : '.';
      if (what == 'x')
        reply.back() = reply.back() == '0' ? '1' : '0';
      else if (what != '.') { // the two digits of byte 1, 2, 3 or 0xFFE
        size_t at = what == 'z' ? 0xFFE : static_cast<size_t>(what - 'a' + 1);
        std::swap(reply[1 + 2 * at], reply[2 + 2 * at]);
      }
    };
    peer.start();
    bool read = readParameters();
    peer.stop();
    EXPECT_EQ(read, c.read) << log.text();
    EXPECT_EQ(peer.commands().size(), c.commands) << log.text();
    if (c.read) {
      EXPECT_EQ(memcmp(flashImage + 1, block + 1, 3), 0);
      EXPECT_EQ(flashImage[295], block[295]);
      // The whole block, which a write sends back: bytes past the
      // parameters are confirmed like the rest.
      EXPECT_EQ(memcmp(asRead.data(), block, sizeof block), 0);
    } else {
      for (int i = 0; i < FLASH_IMAGE_SIZE; i++)
        ASSERT_EQ(flashImage[i], 0x33) << i;
    }
    bool disagree = c.replies == std::string("abc.");
    // On a line of its own, right before the read's own failure message.
    EXPECT_EQ(log.text().find("\nThe controller's replies to the FLASH read disagree.\n"
                              "Could not read FLASH parameters from controller.\n") !=
                  std::string::npos,
              disagree)
        << log.text();
    EXPECT_EQ(log.contains("Reading the FLASH parameter block again."),
              plan.find('x') != std::string::npos);
  }
}

// Fault: the input left on the line is not dropped before the block read.
// A whole stale exchange ("+" and a reply of another block) must not be
// taken for the answer: exactly one confirmed pair of reads, no retry.
TEST_F(FlashTransferTest, AStaleReplyOnTheLineIsDroppedBeforeTheRead) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  static unsigned char stale[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 12);
  patternBlock(stale, 13);
  pty.write("+" + frameReply(toHex(stale, sizeof stale)));
  usleep(100000); // the stale bytes reach the port's input queue
  MonitorPeer peer(pty);
  memcpy(peer.block, block, sizeof block);
  peer.start();
  ASSERT_TRUE(readParameters()) << log.text();
  peer.stop();
  EXPECT_EQ(peer.commands(), (std::vector<std::string>{"m7000,FFF", "m7000,FFF"})) << log.text();
  EXPECT_FALSE(log.contains("again")) << log.text();
  EXPECT_FALSE(log.contains("differ")) << log.text();
  EXPECT_EQ(flashImage[295], block[295]);
}

// The shell's save looks at the block again first (the shell's tests
// cover a changed block): an unreadable block is not written over; one
// that a failed write of this program left is.
TEST_F(FlashTransferTest, BlockIsCheckedAgainBeforeTheShellWritesIt) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 14);
  readBlock(block);
  MonitorPeer garbled(pty);
  memcpy(garbled.block, block, sizeof block);
  garbled.corruptBlockChecksum = true;
  garbled.start();
  EXPECT_EQ(blocks.checkUnchanged(asRead, false), BlockCheck::Unreadable);
  garbled.stop();
  EXPECT_EQ(garbled.commands().size(), 2u) << "a check only reads";

  MonitorPeer other(pty);
  memcpy(other.block, block, sizeof block);
  other.block[4000] ^= 0x10;
  other.start();
  EXPECT_EQ(blocks.checkUnchanged(asRead, false), BlockCheck::Changed);
  other.stop();
  EXPECT_TRUE(log.contains("it differs at byte 4000")) << log.text();

  setHostWord(278, 0x0bb0);
  MonitorPeer failing(pty);
  memcpy(failing.block, block, sizeof block);
  failing.failWriteAt = 5;
  failing.failWriteCount = 1000;
  EXPECT_FALSE(writeBlock(failing));
  MonitorPeer partly(pty);
  memcpy(partly.block, failing.block, sizeof block);
  partly.start();
  EXPECT_EQ(blocks.checkUnchanged(asRead, true), BlockCheck::Unchanged)
      << "a block a failed write of ours left may be written over";
  partly.stop();
}

TEST_F(FlashTransferTest, EraseAndWriteRunInsideACriticalSection) {
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  patternBlock(block, 8);
  readBlock(block);

  MonitorPeer peer(pty);
  std::atomic<int> activeAtErase{0}, activeWrites{0}, activeAtReset{-1};
  gWritesSeen = 0;
  gDeferredSignal = 0;
  ZyCriticalSection::setDeferredAction(recordSignal);
  peer.onCommand = [&](const std::string &command) {
    bool active = ZyCriticalSection::isActive();
    if (command == "FE7")
      activeAtErase = active;
    if (command.compare(0, 2, "FW") == 0) {
      activeWrites += active;
      // A termination request in the middle of the write is held back.
      if (gWritesSeen++ == 10) {
        EXPECT_TRUE(ZyCriticalSection::deferSignal(SIGTERM));
      }
    }
    if (command == "FR")
      activeAtReset = active;
  };
  EXPECT_TRUE(writeBlock(peer));
  ZyCriticalSection::setDeferredAction(nullptr);

  EXPECT_EQ(activeAtErase, 1);
  EXPECT_EQ(activeWrites, 32);
  EXPECT_EQ(activeAtReset, 0);
  EXPECT_EQ(gDeferredSignal, SIGTERM);
  EXPECT_EQ(gWritesBeforeSignalAction, 32) << "the signal is acted on once the block is written";
}

TEST_F(FlashTransferTest, RescueImageFilesMustHoldAWholeBlock) {
  unsigned char block[FLASH_BLOCK_SIZE];
  int length = 0;
  for (size_t size : {0ul, 422ul, 4094ul, 4097ul}) {
    ASSERT_TRUE(writeFile("image.blk", std::string(size, 'x')));
    EXPECT_FALSE(loadBlockFile("image.blk", block, &length)) << size;
    EXPECT_TRUE(log.hasLine("'image.blk' is not a FLASH parameter block image: it must hold 4096 "
                            "bytes (or 4095)."))
        << size;
  }
  for (int size : {4095, 4096}) {
    ASSERT_TRUE(writeFile("image.blk", std::string(static_cast<size_t>(size), 'y')));
    ASSERT_TRUE(loadBlockFile("image.blk", block, &length)) << size;
    EXPECT_EQ(length, size);
    EXPECT_EQ(block[size - 1], 'y');
  }
  EXPECT_FALSE(loadBlockFile("missing.blk", block, &length));
  EXPECT_TRUE(log.contains("Cannot open block image 'missing.blk'"));
  // A named pipe with no writer does not hold the run; a folder is no image.
  ASSERT_EQ(mkfifo("pipe.blk", 0600), 0);
  EXPECT_FALSE(loadBlockFile("pipe.blk", block, &length));
  EXPECT_TRUE(log.hasLine("Cannot read block image 'pipe.blk': it is not a regular file."))
      << log.text();
  EXPECT_FALSE(loadBlockFile(".", block, &length));
  // A planted name shows escaped.
  EXPECT_FALSE(loadBlockFile("gone\033[2J.blk", block, &length));
  EXPECT_TRUE(log.contains("Cannot open block image 'gone\\x1b[2J.blk'")) << log.text();
}

// SPDX-License-Identifier: MIT
// Tests of the monitor link over a pseudo-terminal: byte-exact command
// framing, escaping and checksums, reply parsing and acknowledgements,
// binary packets in both directions and FLASH writes in 128-byte pieces.
#include "ClassicProgress.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "MonitorPeer.h"
#include "PtyPair.h"
#include "ScriptedDevice.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class MonitorLinkTest : public testing::Test {
protected:
  void SetUp() override {
    port.setBaud(115200);
    ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
    link.setProgress(&printer);
  }

  PtyPair pty;
  ZySerialConnection port;
  MonitorLink link{&port};
  ClassicProgress printer;
  LogCapture log;
};

std::string progressLine(unsigned int from, unsigned int to) {
  char text[64];
  snprintf(text, sizeof text, "\rWriting 0x%x to 0x%x", from, to);
  return text;
}

const std::string CLEAR_LINE = "\r" + std::string(60, ' ') + "\r";

} // namespace

TEST(HexHelpers, DigitsAndValues) {
  const char digits[] = "0123456789abcdef";
  for (int n = 0; n < 16; n++) {
    EXPECT_EQ(hexDigit(n), digits[n]);
    EXPECT_EQ(hexValue(digits[n]), n);
  }
  for (int n = 10; n < 16; n++)
    EXPECT_EQ(hexValue("ABCDEF"[n - 10]), n);
  for (int c : std::initializer_list<int>{'g', 'G', '/', ':', '@', '`', ' ', 0, -1, 0xFF, 'x'})
    EXPECT_EQ(hexValue(c), -1) << c;
}

TEST_F(MonitorLinkTest, CommandOfPlainLettersGoesOutUnchanged) {
  pty.write("+");
  EXPECT_TRUE(link.sendCommand("V"));
  EXPECT_EQ(pty.drain(), "$V#56");
  EXPECT_TRUE(log.hasLine("Ack"));
}

TEST_F(MonitorLinkTest, SpecialCharactersAreEscapedAndCounted) {
  pty.write("+");
  EXPECT_TRUE(link.sendCommand("a$b#c}d"));
  // "$" -> 7d 04, "#" -> 7d 03, "}" -> 7d 5d; the escapes count in the sum.
  EXPECT_EQ(pty.drain(), std::string("$a}\x04"
                                     "b}\x03"
                                     "c}]d#65"));
}

TEST_F(MonitorLinkTest, SmallChecksumKeepsItsLeadingZero) {
  pty.write("+");
  EXPECT_TRUE(link.sendCommand("aaA"));
  EXPECT_EQ(pty.drain(), "$aaA#03");
}

TEST_F(MonitorLinkTest, AnythingButPlusIsARefusal) {
  pty.write("-");
  EXPECT_FALSE(link.sendCommand("FK"));
  EXPECT_TRUE(log.hasLine("Nack"));
  log.clear();
  auto start = Clock::now();
  EXPECT_FALSE(link.sendCommand("FK")) << "no answer at all";
  long waited = msSince(start);
  EXPECT_GE(waited, 950);
  EXPECT_LT(waited, 1500);
  EXPECT_TRUE(log.hasLine("Nack"));
  EXPECT_EQ(pty.drain(), "$FK#91$FK#91");
}

TEST_F(MonitorLinkTest, ReplyAfterNoiseIsReadAndAcknowledged) {
  pty.write("++x" + frameReply("OK0"));
  char buffer[64];
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  EXPECT_STREQ(buffer, "OK0");
  EXPECT_EQ(pty.drain(), "+");
}

TEST_F(MonitorLinkTest, UpperCaseChecksumDigitsAreAccepted) {
  // Body sum 0xCA ("OK0").
  pty.write("$OK0#CA");
  char buffer[64];
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  EXPECT_STREQ(buffer, "OK0");
  EXPECT_EQ(pty.drain(), "+");
}

TEST_F(MonitorLinkTest, WrongOrMalformedChecksumIsAnsweredWithMinus) {
  char buffer[64];
  pty.write("$OK0#cb");
  EXPECT_FALSE(link.readPacket(buffer, 63, 1000));
  EXPECT_STREQ(buffer, "OK0") << "the body stays as received";
  EXPECT_EQ(pty.drain(), "-");

  // Non-digits in the checksum never match, even where their value would.
  pty.write("$OK0#zz");
  EXPECT_FALSE(link.readPacket(buffer, 63, 1000));
  EXPECT_EQ(pty.drain(), "-");
}

TEST_F(MonitorLinkTest, QuietLineFailsAfterTheWait) {
  char buffer[8] = "junk";
  auto start = Clock::now();
  EXPECT_FALSE(link.readPacket(buffer, 7, 200));
  long waited = msSince(start);
  EXPECT_GE(waited, 200);
  EXPECT_LT(waited, 600);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(pty.drain(), "");
}

TEST_F(MonitorLinkTest, EndlessNoiseDoesNotWaitForEver) {
  std::atomic<bool> stop{false};
  std::thread noise([&] {
    while (!stop) {
      pty.write("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  char buffer[8];
  auto start = Clock::now();
  EXPECT_FALSE(link.readPacket(buffer, 7, 100));
  stop = true;
  noise.join();
  EXPECT_LT(msSince(start), 4000);
}

TEST_F(MonitorLinkTest, BodyLongerThanMaxLengthIsCutWithoutAnswer) {
  pty.write(frameReply("0123456789"));
  char buffer[5];
  EXPECT_TRUE(link.readPacket(buffer, 4, 1000));
  EXPECT_STREQ(buffer, "0123");
  std::string line = pty.drain();
  EXPECT_EQ(line, "") << "nothing is acknowledged";
}

TEST_F(MonitorLinkTest, BodyOfExactlyMaxLengthIsStillChecked) {
  char buffer[5];
  pty.write(frameReply("0123"));
  EXPECT_TRUE(link.readPacket(buffer, 4, 1000));
  EXPECT_STREQ(buffer, "0123");
  EXPECT_EQ(pty.drain(), "+");

  pty.write("$0123#00");
  EXPECT_FALSE(link.readPacket(buffer, 4, 1000));
  EXPECT_EQ(pty.drain(), "-");
}

TEST_F(MonitorLinkTest, BinaryPacketOf128BytesAt0x7000) {
  unsigned char data[128];
  for (int i = 0; i < 128; i++)
    data[i] = static_cast<unsigned char>(255 - i);
  pty.write("+");
  EXPECT_TRUE(link.writeBinaryPacket(data, 128, "FW%x,", 0x7000u));
  std::string text = "FW7000," + toHex(data, 128);
  EXPECT_EQ(text.size(), 263u);
  std::string wire = pty.drain();
  EXPECT_EQ(wire, frameReply(text));
  EXPECT_EQ(wire.substr(0, 12), "$FW7000,fffe");
}

TEST_F(MonitorLinkTest, BinaryPacketTooLongIsRefusedBeforeSending) {
  static unsigned char data[4096];
  EXPECT_FALSE(link.writeBinaryPacket(data, 4096, "X"));
  EXPECT_TRUE(log.hasLine("Binary length too long for writeBinaryPacket"));
  EXPECT_FALSE(link.writeBinaryPacket(data, 128, "%8100d", 1));
  EXPECT_EQ(pty.drain(), "");
}

TEST_F(MonitorLinkTest, BinaryPacketFillingTheWholeText) {
  static unsigned char data[4096];
  for (int i = 0; i < 4096; i++)
    data[i] = static_cast<unsigned char>(i);
  MonitorPeer peer(pty);
  peer.start();
  EXPECT_TRUE(link.writeBinaryPacket(data, 4096, "%s", ""));
  peer.stop();
  ASSERT_EQ(peer.commands().size(), 1u);
  EXPECT_EQ(peer.commands()[0], toHex(data, 4096));
  EXPECT_EQ(peer.badPackets(), 0);
}

TEST_F(MonitorLinkTest, BinaryReplyDecodes) {
  unsigned char out[4] = {};
  pty.write(frameReply("0aFF7E"));
  EXPECT_TRUE(link.readBinaryPacket(out, 3, 1000));
  EXPECT_EQ(out[0], 0x0a);
  EXPECT_EQ(out[1], 0xff);
  EXPECT_EQ(out[2], 0x7e);
  EXPECT_EQ(out[3], 0x00) << "nothing is written past length";
  EXPECT_EQ(pty.drain(), "+");
}

TEST_F(MonitorLinkTest, ShortBinaryReplyGivesFFForMissingDigits) {
  unsigned char out[5];
  memset(out, 0x11, sizeof out);
  // Three digits for five bytes; a non-digit high nibble sets it.
  pty.write(frameReply("0a1"));
  EXPECT_TRUE(link.readBinaryPacket(out, 4, 1000));
  EXPECT_EQ(out[0], 0x0a);
  EXPECT_EQ(out[1], 0xff);
  EXPECT_EQ(out[2], 0xff);
  EXPECT_EQ(out[3], 0xff);
  EXPECT_EQ(out[4], 0x11);

  pty.drain();
  pty.write(frameReply("g5"));
  EXPECT_TRUE(link.readBinaryPacket(out, 1, 1000));
  EXPECT_EQ(out[0], 0xf5);
}

TEST_F(MonitorLinkTest, FailedBinaryReplyLeavesTheBuffer) {
  unsigned char out[2] = {0x42, 0x43};
  pty.write("$0a0b#00");
  EXPECT_FALSE(link.readBinaryPacket(out, 2, 1000));
  EXPECT_TRUE(log.hasLine("Could not read binary packet"));
  EXPECT_EQ(out[0], 0x42);
  EXPECT_EQ(out[1], 0x43);
  EXPECT_EQ(pty.drain(), "-");
}

TEST_F(MonitorLinkTest, FullBlockReplyIsChecksummed) {
  static unsigned char block[4096];
  for (int i = 0; i < 4096; i++)
    block[i] = static_cast<unsigned char>(i * 13);
  std::string reply = frameReply(toHex(block, 4096));

  static unsigned char out[4096];
  pty.write(reply);
  EXPECT_TRUE(link.readBinaryPacket(out, 4096, 1000));
  EXPECT_EQ(memcmp(out, block, 4096), 0);
  EXPECT_EQ(pty.drain(), "+");

  // One digit changed in transit: refused, answered, buffer untouched.
  memset(out, 0, sizeof out);
  std::string corrupted = reply;
  corrupted[100] = corrupted[100] == '0' ? '1' : '0';
  pty.write(corrupted);
  EXPECT_FALSE(link.readBinaryPacket(out, 4096, 1000));
  EXPECT_EQ(pty.drain(), "-");
  for (unsigned char b : out)
    ASSERT_EQ(b, 0);

  // A reply longer than asked for is taken as it stands, unanswered.
  pty.write(frameReply(toHex(block, 4096) + "00"));
  EXPECT_TRUE(link.readBinaryPacket(out, 4096, 1000));
  EXPECT_EQ(memcmp(out, block, 4096), 0);
  EXPECT_EQ(pty.drain(), "");
}

TEST_F(MonitorLinkTest, BinaryReplyLongerThanTheTextBufferIsRefused) {
  static unsigned char out[4097];
  EXPECT_FALSE(link.readBinaryPacket(out, 4097, 0));
  EXPECT_TRUE(log.hasLine("Binary length too long for readBinaryPacket"));
}

TEST_F(MonitorLinkTest, FlashWriteGoesOutIn128BytePieces) {
  unsigned char data[300];
  for (int i = 0; i < 300; i++)
    data[i] = static_cast<unsigned char>(i ^ 0x5a);
  MonitorPeer peer(pty);
  peer.start();
  testing::internal::CaptureStdout();
  bool ok = link.writeFlash(data, 300, 0x7000);
  std::string out = testing::internal::GetCapturedStdout();
  peer.stop();
  EXPECT_TRUE(ok);

  auto commands = peer.commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0], "FW7000," + toHex(data, 128));
  EXPECT_EQ(commands[1], "FW7080," + toHex(data + 128, 128));
  EXPECT_EQ(commands[2], "FW7100," + toHex(data + 256, 44));
  EXPECT_EQ(memcmp(peer.block, data, 300), 0);
  EXPECT_EQ(peer.hostAnswers(), "+++") << "every write reply is acknowledged";
  EXPECT_EQ(out, progressLine(0x7000, 0x7080) + progressLine(0x7080, 0x7100) +
                     progressLine(0x7100, 0x712c) + CLEAR_LINE);
}

TEST_F(MonitorLinkTest, FlashWriteStopsAtARefusedPiece) {
  unsigned char data[300] = {};
  MonitorPeer peer(pty);
  peer.failWriteAt = 1;
  peer.start();
  testing::internal::CaptureStdout();
  bool ok = link.writeFlash(data, 300, 0x7000);
  std::string out = testing::internal::GetCapturedStdout();
  peer.stop();
  EXPECT_FALSE(ok);
  EXPECT_EQ(peer.commands().size(), 2u);
  EXPECT_TRUE(log.hasLine("Binary packet didn't write 0x80 bytes to 0x7080: ER1")) << log.text();
  EXPECT_EQ(out, progressLine(0x7000, 0x7080) + progressLine(0x7080, 0x7100) + "\n");
}

TEST_F(MonitorLinkTest, FlashWriteReplyShorterThanThreeCharactersFails) {
  unsigned char data[1] = {0x42};
  // Answered only once the command is in: input pending before it is
  // dropped.
  std::thread answer([&] {
    pty.readUntil("#", 2000);
    pty.read(2, 2000);
    pty.write("+" + frameReply("0"));
  });
  pty.write("+" + frameReply("OK0"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(link.writeFlash(data, 1, 0x1234));
  testing::internal::GetCapturedStdout();
  answer.join();
  EXPECT_TRUE(log.hasLine("Binary packet didn't write 0x1 bytes to 0x1234: 0")) << log.text();
  EXPECT_EQ(pty.drain(), "+");
}

TEST_F(MonitorLinkTest, FlashWriteWithoutAcknowledgementFails) {
  unsigned char data[4] = {1, 2, 3, 4};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(link.writeFlash(data, 4, 0x8000));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\n");
  EXPECT_TRUE(log.hasLine("Trouble writing binary packet to microcontroller"));
}

TEST_F(MonitorLinkTest, EmptyFlashWriteOnlyClearsTheLine) {
  testing::internal::CaptureStdout();
  EXPECT_TRUE(link.writeFlash(nullptr, 0, 0x7000));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), CLEAR_LINE);
  EXPECT_EQ(pty.drain(), "");
}

namespace {
// A line that takes the first bytes of a command and then fails.
class FailingPort : public ZySerialConnection {
public:
  int bytesTaken = 3;

protected:
  ssize_t systemWrite(int fd, const char *buffer, size_t size) override {
    if (bytesTaken <= 0) {
      errno = EIO;
      return -1;
    }
    size = std::min(size, static_cast<size_t>(bytesTaken));
    bytesTaken -= static_cast<int>(size);
    return ZySerialConnection::systemWrite(fd, buffer, size);
  }
};
} // namespace

TEST(MonitorLinkWrites, ACommandCutOnTheWireFailsWithoutWaitingForItsAck) {
  PtyPair pty;
  FailingPort port;
  ASSERT_TRUE(port.setBaud(115200));
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  MonitorLink link(&port);
  LogCapture log;
  pty.write("+"); // an acknowledgement that must not be taken for this command
  EXPECT_FALSE(link.sendCommand("FE8"));
  EXPECT_EQ(pty.drain(), "$FE");
  EXPECT_TRUE(log.hasLine("Could not send command to controller: the serial line did not take it."))
      << log.text();
  EXPECT_FALSE(log.hasLine("Ack"));
  char left = 0;
  EXPECT_EQ(port.read(&left, 1, 100), 1);
  EXPECT_EQ(left, '+');
}

namespace {
// Writes text to the pty in two parts with a pause between them.
void writeWithPause(PtyPair &pty, const std::string &text, size_t before, int pauseMs) {
  pty.write(text.substr(0, before));
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  pty.write(text.substr(before));
}
} // namespace

TEST_F(MonitorLinkTest, APauseInsideAReplyNeverBecomesData) {
  ASSERT_GE(MonitorLink::CHAR_WAIT_MS, 50) << "must ride out USB adapter latency";
  std::string reply = frameReply("0123456789");
  char buffer[64];
  // A pause well under the bound (as a USB adapter's latency timer makes
  // one) is ridden out; the body is exactly what was sent.
  std::thread shortPause(writeWithPause, std::ref(pty), reply, 5, 20);
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  shortPause.join();
  EXPECT_STREQ(buffer, "0123456789");
  EXPECT_EQ(pty.drain(), "+");

  // A longer one fails the read: nothing is stored for the silence, and
  // nothing is acknowledged.
  std::thread longPause(writeWithPause, std::ref(pty), reply, 5, 3 * MonitorLink::CHAR_WAIT_MS);
  EXPECT_FALSE(link.readPacket(buffer, 63, 1000));
  longPause.join();
  EXPECT_STREQ(buffer, "0123");
  EXPECT_EQ(pty.drain(), "");

  // A byte 0xFF inside a body is data like any other.
  unsigned char binary[3] = {'a', 0xFF, 'b'};
  pty.write(frameReply(std::string(reinterpret_cast<char *>(binary), 3)));
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  EXPECT_EQ(static_cast<unsigned char>(buffer[1]), 0xFF);
}

TEST_F(MonitorLinkTest, CheckedBinaryReadTakesOnlyWholeReplies) {
  unsigned char data[4] = {0x12, 0xab, 0x00, 0xff};
  unsigned char out[4];
  int bytes = 0;
  using R = MonitorLink::ReplyResult;
  struct Case {
    std::string wire;
    R result;
    std::string answer;
  } cases[] = {
      {frameReply(toHex(data, 4)), R::Ok, "+"},
      {frameReply(toHex(data, 3)), R::Ok, "+"},
      {frameReply(toHex(data, 2)), R::BadLength, "+"},
      {frameReply(toHex(data, 4) + "0"), R::BadLength, "+"},
      {frameReply(toHex(data, 3) + "0"), R::BadLength, "+"},
      {frameReply("12ab00fg"), R::BadLength, "+"},
      {"$" + toHex(data, 4) + "#00", R::BadChecksum, "-"},
      {"$" + toHex(data, 4), R::Broken, ""},
      {"$" + toHex(data, 4) + "#1", R::Broken, ""},
      {"$" + toHex(data, 4) + "0123", R::Broken, ""},
      {"", R::NoReply, ""},
  };
  for (const Case &c : cases) {
    memset(out, 0x5A, sizeof out);
    pty.write(c.wire);
    EXPECT_EQ(static_cast<int>(link.readCheckedBinaryPacket(out, 3, 4, 100, &bytes)),
              static_cast<int>(c.result))
        << c.wire;
    EXPECT_EQ(pty.drain(), c.answer) << c.wire;
    if (c.result == R::Ok) {
      EXPECT_EQ(memcmp(out, data, static_cast<size_t>(bytes)), 0) << c.wire;
    } else {
      for (unsigned char b : out)
        EXPECT_EQ(b, 0x5A) << "untouched: " << c.wire;
    }
  }
}

TEST_F(MonitorLinkTest, PendingInputIsDroppedBeforeEachPiece) {
  unsigned char data[2] = {1, 2};
  // A stale "+" and a good reply left from an earlier exchange must not
  // answer the piece.
  pty.write("+" + frameReply("OK0"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(link.writeFlash(data, 2, 0x8000));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(log.hasLine("Trouble writing binary packet to microcontroller"));
}

namespace {
// A port that records the size of every write(2) it makes and counts the
// reads asked of it.
class RecordingPort : public ZySerialConnection {
public:
  std::vector<size_t> writes;
  int reads = 0;

  int read(char *buffer, unsigned int size, unsigned int msWait = 0) override {
    reads++;
    return ZySerialConnection::read(buffer, size, msWait);
  }

protected:
  ssize_t systemWrite(int fd, const char *buffer, size_t size) override {
    writes.push_back(size);
    return ZySerialConnection::systemWrite(fd, buffer, size);
  }
};
} // namespace

// A command goes on the line in one write, never a byte at a time (which
// leaves gaps inside a packet when the program is preempted), and a reply
// is taken in chunks of what is waiting, not one read per byte.
TEST(MonitorLinkWrites, EachCommandInOneWriteAndRepliesInChunks) {
  PtyPair pty;
  RecordingPort port;
  ASSERT_TRUE(port.setBaud(115200));
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  MonitorLink link(&port);
  MonitorPeer peer(pty);
  for (int i = 0; i < MonitorPeer::BLOCK_SIZE; i++)
    peer.block[i] = static_cast<unsigned char>(i * 3);
  peer.start();
  unsigned char data[300];
  for (int i = 0; i < 300; i++)
    data[i] = static_cast<unsigned char>(i);
  testing::internal::CaptureStdout();
  bool written = link.writeFlash(data, 300, 0x7000);
  testing::internal::GetCapturedStdout();
  // Each piece: its whole packet, then the "+" answering the reply.
  std::vector<size_t> expected;
  for (unsigned int at = 0x7000, left = 300; left > 0;) {
    unsigned int piece = left < 128 ? left : 128;
    char prefix[16];
    snprintf(prefix, sizeof prefix, "FW%x,", at);
    expected.push_back(frameCommand(prefix + toHex(data + (at - 0x7000), piece)).size());
    expected.push_back(1);
    at += piece;
    left -= piece;
  }
  EXPECT_TRUE(written);
  EXPECT_EQ(port.writes, expected);

  port.reads = 0;
  static unsigned char back[4096];
  EXPECT_TRUE(link.sendCommand("m7000,FFF"));
  EXPECT_TRUE(link.readBinaryPacket(back, 4096, 2000)); // 8196 bytes on the line
  peer.stop();
  EXPECT_EQ(memcmp(back, peer.block, sizeof back), 0);
  EXPECT_LT(port.reads, 8196 / 8) << "reads of the block's reply";
}

// What a read takes ahead of need is the next thing read, and input
// dropped before a command drops it too; the acknowledgement of a command
// is read alone, so what follows it stays on the device for its next
// reader.
TEST_F(MonitorLinkTest, BytesReadAheadComeNextAndGoWithDroppedInput) {
  char buffer[64];
  pty.write(frameReply("first") + frameReply("second"));
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  EXPECT_STREQ(buffer, "first");
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  EXPECT_STREQ(buffer, "second");
  EXPECT_EQ(pty.drain(), "++");

  pty.write(frameReply("stale") + frameReply("stale too"));
  EXPECT_TRUE(link.readPacket(buffer, 63, 1000));
  link.discardInput();
  EXPECT_FALSE(link.readPacket(buffer, 63, 100));
  EXPECT_EQ(link.bufferedInput(), 0);

  pty.write("+$");
  EXPECT_TRUE(link.sendCommand("V"));
  EXPECT_EQ(link.bufferedInput(), 0);
  char next = 0;
  EXPECT_EQ(port.read(&next, 1, 100), 1);
  EXPECT_EQ(next, '$');
}

// A device may take part of a write (a network port does): the rest goes
// after it, and a device that takes nothing fails the command without
// waiting for an acknowledgement.
TEST(MonitorLinkWrites, ADeviceTakingPartOfAWriteGetsTheRest) {
  SimulatedClock::install();
  LogCapture log;
  const std::string script = "+";
  for (unsigned int limit : {5u, 1u, 0u}) {
    SCOPED_TRACE(limit);
    ScriptedDevice device(reinterpret_cast<const uint8_t *>(script.data()), script.size());
    device.setWriteLimit(limit);
    MonitorLink link(&device);
    log.clear();
    bool acked = link.sendCommand("FW8000,00ff$");
    if (limit > 0) {
      EXPECT_TRUE(acked);
      EXPECT_EQ(device.written(), frameCommand("FW8000,00ff$"));
      EXPECT_EQ(device.writes(), (frameCommand("FW8000,00ff$").size() + limit - 1) / limit);
    } else {
      EXPECT_FALSE(acked);
      EXPECT_EQ(device.bytesRead(), 0u);
      EXPECT_TRUE(
          log.hasLine("Could not send command to controller: the serial line did not take it."));
    }
  }
  SimulatedClock::uninstall();
}

// SPDX-License-Identifier: MIT
// Tests of the packet layer: typed appends and reads of the base packet with
// their capacity and read limits, robot packet framing and checksum, the
// exact wire bytes of the command sender and the receiver's sync hunt, all
// over a pseudo-terminal standing in for the controller's serial line.
#include "LogCapture.h"
#include "PtyPair.h"
#include "ZyBasePacket.h"
#include "ZyRobotPacket.h"
#include "ZyRobotPacketReceiver.h"
#include "ZyRobotPacketSender.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list)
    out.push_back(static_cast<char>(b));
  return out;
}

std::string hex(const std::string &s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  if (!out.empty())
    out.pop_back();
  return out;
}

std::string packetBytes(const ZyBasePacket &p) {
  return std::string(p.getBuf(), p.getLength());
}

// A serial port opened on the slave side of a pty; the test plays the
// controller on the master side.
struct Line {
  PtyPair pty;
  ZySerialConnection port;
  Line() {
    port.setPortName(pty.slavePath().c_str());
    EXPECT_EQ(port.open(), 0);
  }
};

} // namespace

// ---------------------------------------------------------------------------
// ZyBasePacket

TEST(BasePacket, TypedValuesGoOutLeastSignificantFirstAndReadBack) {
  ZyBasePacket p(32, 2, nullptr, 1);
  EXPECT_EQ(p.getLength(), 2);
  EXPECT_EQ(p.getReadLength(), 2);
  p.int8ToBuf(-2);
  p.uint16ToBuf(0x1234);
  p.int16ToBuf(-2);
  p.uint32ToBuf(0x01020304u);
  p.int32ToBuf(-70000);
  p.stringToBuf("hi");
  p.uint8ToBuf(0xAA); // stands in the footer
  EXPECT_EQ(hex(packetBytes(p).substr(2)), "FE 34 12 FE FF 04 03 02 01 90 EE FE FF 68 69 00 AA");
  EXPECT_EQ(p.getDataLength(), 17 - 1);

  EXPECT_EQ(p.bufToInt8(), -2);
  EXPECT_EQ(p.bufToUint16(), 0x1234);
  EXPECT_EQ(p.bufToInt16(), -2);
  EXPECT_EQ(p.bufToUint32(), 0x01020304u);
  EXPECT_EQ(p.bufToInt32(), -70000);
  char text[8];
  p.bufToStr(text, sizeof text);
  EXPECT_STREQ(text, "hi");
  EXPECT_EQ(p.getDataReadLength(), 16);
  // Only the footer byte is left: nothing more can be read.
  EXPECT_FALSE(p.canRead(1));
  EXPECT_EQ(p.bufToUint8(), 0);
  p.rewindRead();
  EXPECT_EQ(p.getReadLength(), 2);
  EXPECT_EQ(p.bufToUint8(), 0xFE);
  p.clear();
  EXPECT_EQ(p.getLength(), 2);
  EXPECT_EQ(p.getReadLength(), 3); // clear leaves the read cursor alone
}

TEST(BasePacket, WriteCapacityIsTestedForTheWholeAppend) {
  LogCapture log;
  ZyBasePacket p(4);
  EXPECT_FALSE(p.hasWriteCapacity(-1));
  EXPECT_TRUE(log.hasLine("ZyBasePacket::hasWriteCapacity(-1) cannot negative amount"));
  p.uint16ToBuf(1);
  p.uint8ToBuf(2);
  log.clear();
  p.uint16ToBuf(3); // one byte of room left: nothing is appended
  EXPECT_EQ(p.getLength(), 3);
  EXPECT_TRUE(log.hasLine("ZyBasePacket::hasWriteCapacity(2) exceeds size current = 3 max = 4"));
  p.stringToBuf(""); // the terminator alone fits
  EXPECT_EQ(p.getLength(), 4);
  EXPECT_TRUE(p.hasWriteCapacity(0));
  EXPECT_FALSE(p.hasWriteCapacity(1));
}

TEST(BasePacket, PaddedStringsAreCutOrZeroFilled) {
  ZyBasePacket p(16);
  p.paddedStringToBuf("abcdef", 3);
  p.paddedStringToBuf("xy", 5);
  p.paddedStringToBuf(nullptr, 2);
  EXPECT_EQ(packetBytes(p), std::string("abcxy\0\0\0\0\0", 10));
  p.charsToBuf("0123", 2);
  EXPECT_EQ(packetBytes(p).substr(10), "01");
}

TEST(BasePacket, NullAddressesAreRefusedWithTheirMessages) {
  LogCapture log;
  ZyBasePacket p(16);
  p.uint8ToBuf(7);
  p.dataToBuf(static_cast<const char *>(nullptr), 3);
  EXPECT_EQ(p.getLength(), 1);
  EXPECT_TRUE(log.hasLine("ZyBasePacket::dataToBuf(NULL, 3) cannot add from null address"));
  p.bufToStr(nullptr, 5);
  EXPECT_TRUE(log.hasLine("ZyBasePacket::bufToStr(NULL, 5) cannot write to null address"));
  p.bufToData(static_cast<char *>(nullptr), 1);
  EXPECT_TRUE(log.hasLine("ZyBasePacket::bufToData(NULL, 1) cannot write to null address"));
  EXPECT_EQ(p.getReadLength(), 0);
  p.stringToBuf(nullptr); // no text counts as the empty text
  EXPECT_EQ(p.getLength(), 2);
}

TEST(BasePacket, StringReadStopsBeforeTheDestinationOverflows) {
  ZyBasePacket p(16);
  p.stringToBuf("abcdef");
  char dst[4];
  p.bufToStr(dst, sizeof dst);
  EXPECT_STREQ(dst, "abc");
  EXPECT_EQ(p.getReadLength(), 3);
  EXPECT_EQ(p.bufToUint8(), 'd');
  // A text without terminator inside the packet ends at the packet's end.
  ZyBasePacket q(8);
  q.charsToBuf("xyz", 3);
  char all[8] = "garbage";
  q.bufToStr(all, sizeof all);
  EXPECT_STREQ(all, "xyz");
  // Nothing left to read: an empty text.
  q.bufToStr(all, sizeof all);
  EXPECT_STREQ(all, "");
}

TEST(BasePacket, ReadsShortOfDataReturnZeroAndKeepTheCursor) {
  ZyBasePacket p(16, 0, nullptr, 2);
  p.uint8ToBuf(0x11);
  p.uint16ToBuf(0xBEEF);         // the footer
  EXPECT_EQ(p.bufToUint16(), 0); // one data byte left before the footer
  EXPECT_EQ(p.getReadLength(), 0);
  unsigned char dst[2] = {0x55, 0x66};
  p.bufToData(dst, 2);
  EXPECT_EQ(dst[0], 0x55);
  EXPECT_EQ(dst[1], 0x66);
  EXPECT_EQ(p.bufToUint8(), 0x11);
  EXPECT_FALSE(p.canRead(0));
}

TEST(BasePacket, LengthsBuffersAndCopies) {
  ZyBasePacket p(8, 2);
  EXPECT_FALSE(p.setLength(9));
  EXPECT_TRUE(p.setLength(8));
  EXPECT_FALSE(p.setHeaderLength(9));
  EXPECT_TRUE(p.setLength(2));
  p.uint32ToBuf(0xA1B2C3D4u);

  char foreign[4] = {1, 2, 3, 4};
  ZyBasePacket view(0, 0, nullptr, 0);
  view.setBuf(foreign, sizeof foreign);
  EXPECT_EQ(view.getMaxLength(), 4);
  // A length beyond a caller's buffer is refused as well.
  EXPECT_FALSE(view.setLength(5));
  ASSERT_TRUE(view.setLength(4));
  EXPECT_EQ(view.bufToUint32(), 0x04030201u);

  ZyBasePacket copy(2);
  p.setReadLength(3);
  copy.copyFrom(&p); // an owned buffer grows to take the copy
  EXPECT_EQ(copy.getLength(), 6);
  EXPECT_EQ(copy.getReadLength(), 3);
  EXPECT_EQ(packetBytes(copy).substr(2), packetBytes(p).substr(2));
  view.copyFrom(&p); // a caller's buffer that is too small stays unchanged
  EXPECT_EQ(view.getLength(), 4);
  EXPECT_EQ(foreign[0], 1);

  copy.setMaxLength(1); // not above the capacity: nothing happens
  EXPECT_EQ(copy.getMaxLength(), 6);
  copy.setMaxLength(100);
  EXPECT_EQ(copy.getMaxLength(), 100);
}

TEST(BasePacket, PrintsBytesInDecimalAndHex) {
  ZyBasePacket p(4);
  p.uint8ToBuf(255);
  p.uint8ToBuf(10);
  testing::internal::CaptureStdout();
  p.printBytes();
  p.printHexBytes();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Packet:  255  10 \nPacket:  0xff  0xa \n");
}

// ---------------------------------------------------------------------------
// ZyRobotPacket

TEST(RobotPacket, FinishWritesSyncCountAndChecksum) {
  ZyRobotPacket p;
  EXPECT_EQ(p.getMaxLength(), 265);
  EXPECT_EQ(p.getHeaderLength(), 4);
  EXPECT_EQ(p.getFooterLength(), 2);
  p.setID(1);
  p.uint8ToBuf(0x2B);
  p.uint8ToBuf(3);
  p.stringToBuf("abc");
  p.finishPacket();
  EXPECT_EQ(hex(packetBytes(p)), "FA FB 09 01 2B 03 61 62 63 00 66 EF");
  EXPECT_EQ(p.getID(), 1);
  EXPECT_TRUE(p.checksumOk());
  p.getBuf()[6] = 'x';
  EXPECT_FALSE(p.checksumOk());
}

TEST(RobotPacket, OtherSyncBytesAndShortPackets) {
  ZyRobotPacket p(0x12, 0x34);
  p.setLength(0);
  EXPECT_EQ(p.getID(), 0); // shorter than 4 bytes
  for (int b : {0x12, 0x34, 0x02, 0x00, 0x00}) {
    p.uint8ToBuf(static_cast<uint8_t>(b));
    EXPECT_FALSE(p.checksumOk()) << "count below 3 must never pass, length " << p.getLength();
  }
  p.clear();
  p.setID(7);
  p.finishPacket();
  EXPECT_EQ(hex(packetBytes(p)), "12 34 03 07 00 07");
}

// ---------------------------------------------------------------------------
// ZyRobotPacketSender: the exact bytes on the wire

TEST(RobotPacketSender, CommandsGoOutAsTheDocumentedBytes) {
  Line line;
  ZyRobotPacketSender sender(&line.port, 0xFA, 0xFB);
  struct Case {
    bool sent;
    const char *wire;
  };
  const Case cases[] = {
      {sender.com(255), "FA FB 03 FF 00 FF"},
      {sender.com(0), "FA FB 03 00 00 00"},
      {sender.comInt(1, 258), "FA FB 06 01 3B 02 01 03 3C"},
      {sender.comInt(1, -258), "FA FB 06 01 1B 02 01 03 1C"},
      {sender.comInt(9, -32768), "FA FB 06 09 1B 00 80 09 9B"},
      {sender.com2Bytes(9, -1, 1), "FA FB 06 09 1B FF 00 08 1B"},
      {sender.comStr(1, "abc"), "FA FB 09 01 2B 03 61 62 63 00 66 EF"},
      {sender.comStrN(3, "hello", 2), "FA FB 07 03 2B 02 68 65 05 F6"},
  };
  for (const Case &c : cases) {
    EXPECT_TRUE(c.sent);
    std::string wire = c.wire;
    size_t count = (wire.size() + 1) / 3;
    EXPECT_EQ(hex(line.pty.read(count, 1000)), wire);
  }
  EXPECT_EQ(line.pty.drain(30), "");
}

TEST(RobotPacketSender, LongTextsAndMissingDevices) {
  Line line;
  ZyRobotPacketSender sender(0xFA, 0xFB);
  EXPECT_FALSE(sender.com(0)); // no device
  sender.setDeviceConnection(&line.port);
  EXPECT_EQ(sender.getDeviceConnection(), &line.port);

  std::string text200(200, 'q');
  ASSERT_TRUE(sender.comStr(4, text200.c_str()));
  std::string wire = line.pty.read(209, 1000);
  ASSERT_EQ(wire.size(), 209u);
  EXPECT_EQ(static_cast<unsigned char>(wire[2]), 206);
  EXPECT_EQ(wire.substr(4, 3), bytes({0x2B, 200, 'q'}));

  std::string text201(201, 'q');
  EXPECT_FALSE(sender.comStr(4, text201.c_str()));
  std::string text251(251, 'q');
  EXPECT_FALSE(sender.comStrN(4, text251.c_str(), 251));
  EXPECT_TRUE(sender.comStrN(4, text251.c_str(), 250));
  wire = line.pty.read(258, 1000);
  ASSERT_EQ(wire.size(), 258u);
  EXPECT_EQ(static_cast<unsigned char>(wire[2]), 255);
  EXPECT_EQ(line.pty.drain(30), "");

  line.port.close();
  EXPECT_FALSE(sender.com(0));
  EXPECT_FALSE(sender.comInt(1, 1));
}

TEST(DeviceConnection, SendPacketWritesTheWholePacket) {
  Line line;
  ZyRobotPacket p;
  EXPECT_EQ(line.port.sendPacket(nullptr), 0);
  p.setLength(0);
  EXPECT_EQ(line.port.sendPacket(&p), 0);
  p.clear();
  p.setID(255);
  p.finishPacket();
  EXPECT_EQ(line.port.sendPacket(&p), 6);
  EXPECT_EQ(hex(line.pty.read(6, 1000)), "FA FB 03 FF 00 FF");
}

// ---------------------------------------------------------------------------
// ZyRobotPacketReceiver

TEST(RobotPacketReceiver, ReturnsAPacketWithTheReadCursorOnItsData) {
  Line line;
  ZyRobotPacketReceiver receiver(&line.port, false, 0xFA, 0xFB);
  line.pty.write(
      bytes({0x00, 0x13, 0xFA, 0xFB, 0x09, 0x01, 0x2B, 0x03, 0x61, 0x62, 0x63, 0x00, 0x66, 0xEF}));
  ZyRobotPacket *p = receiver.receivePacket(500);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getID(), 1);
  EXPECT_EQ(p->getLength(), 12);
  EXPECT_EQ(p->getReadLength(), 4);
  EXPECT_EQ(p->bufToUint8(), 0x2B);
  // The same packet object comes back every time without allocation.
  line.pty.write(bytes({0xFA, 0xFB, 0x03, 0x02, 0x00, 0x02}));
  EXPECT_EQ(receiver.receivePacket(500), p);
  EXPECT_EQ(p->getID(), 2);
}

TEST(RobotPacketReceiver, IdleLineAndMissingDevice) {
  Line line;
  ZyRobotPacketReceiver receiver(false, 0xFA, 0xFB);
  EXPECT_EQ(receiver.receivePacket(0), nullptr); // no device
  receiver.setDeviceConnection(&line.port);
  auto start = Clock::now();
  EXPECT_EQ(receiver.receivePacket(0), nullptr);
  EXPECT_LT(msSince(start), 20);
  start = Clock::now();
  EXPECT_EQ(receiver.receivePacket(150), nullptr);
  long took = msSince(start);
  EXPECT_GE(took, 140);
  EXPECT_LT(took, 400);
  line.port.close();
  EXPECT_EQ(receiver.receivePacket(100), nullptr);
}

TEST(RobotPacketReceiver, ASecondSync1IsNotTakenAsTheStartOfAPacket) {
  Line line;
  ZyRobotPacketReceiver receiver(&line.port);
  // FA FA: the second FA is dropped as a bad sync2, so the FB after it and
  // the rest of that packet are dropped as well.
  line.pty.write(bytes({0xFA, 0xFA, 0xFB, 0x03, 0x01, 0x00, 0x01}));
  line.pty.write(bytes({0xFA, 0xFB, 0x03, 0x02, 0x00, 0x02}));
  ZyRobotPacket *p = receiver.receivePacket(500);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getID(), 2);
}

TEST(RobotPacketReceiver, BadChecksumIsSkippedAndTheNextPacketReturned) {
  Line line;
  LogCapture log;
  ZyRobotPacketReceiver receiver(&line.port);
  line.pty.write(bytes({0xFA, 0xFB, 0x03, 0x05, 0x00, 0x06}));
  line.pty.write(bytes({0xFA, 0xFB, 0x02, 0x00, 0x00})); // count below 3
  line.pty.write(bytes({0xFA, 0xFB, 0x03, 0x05, 0x00, 0x05}));
  ZyRobotPacket *p = receiver.receivePacket(500);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getID(), 5);
  int bad = 0;
  for (const auto &l : log.lines())
    bad += l == "ZyRobotPacketReceiver::receivePacket: bad packet, bad checksum";
  EXPECT_EQ(bad, 2);
}

TEST(RobotPacketReceiver, APacketBegunBeforeTheDeadlineIsReadToItsEnd) {
  Line line;
  ZyRobotPacketReceiver receiver(&line.port);
  line.pty.write(bytes({0xFA}));
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    line.pty.write(bytes({0xFB, 0x03}));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    line.pty.write(bytes({0x07, 0x00, 0x07}));
  });
  ZyRobotPacket *p = receiver.receivePacket(10);
  peer.join();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getID(), 7);
}

TEST(RobotPacketReceiver, AStalledPacketIsAbandonedAfterTheInactivityLimit) {
  Line line;
  ZyRobotPacketReceiver receiver(&line.port);
  line.pty.write(bytes({0xFA, 0xFB, 0x05, 0x01}));
  auto start = Clock::now();
  EXPECT_EQ(receiver.receivePacket(20), nullptr);
  long took = msSince(start);
  EXPECT_GE(took, 95);
  EXPECT_LT(took, 400);
  // A lone sync1 whose sync2 never comes is given up as well.
  line.pty.write(bytes({0xFA}));
  start = Clock::now();
  EXPECT_EQ(receiver.receivePacket(0), nullptr);
  EXPECT_LT(msSince(start), 400);
}

TEST(RobotPacketReceiver, AllocatingReceiverHandsOverOwnership) {
  Line line;
  ZyRobotPacketReceiver receiver(&line.port, true);
  line.pty.write(bytes({0xFA, 0xFB, 0x03, 0x01, 0x00, 0x01, 0xFA, 0xFB, 0x03, 0x02, 0x00, 0x02}));
  std::unique_ptr<ZyRobotPacket> a(receiver.receivePacket(500));
  std::unique_ptr<ZyRobotPacket> b(receiver.receivePacket(500));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->getID(), 1);
  EXPECT_EQ(b->getID(), 2);
  EXPECT_EQ(receiver.receivePacket(0), nullptr);
}

// SPDX-License-Identifier: MIT
// Firmware downloads over a pseudo-terminal to a peer thread that plays the
// controller's monitor: it checks and acknowledges each command packet,
// answers erase, write and read commands, keeps a model of the controller's
// FLASH and records every command it received.
#include "FirmwareDownload.h"
#include "FirmwareFiles.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "ProcessRunner.h"
#include "PtyPair.h"
#include "ZyCriticalSection.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using records::bytes;
using records::dataRecord;
using records::lines;

namespace {

int digitValue(int c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1000; // never matches a checksum
}

/// A command the peer received, and whether a critical section was open
/// in the downloading thread while it was being handled.
struct Received {
  std::string text;
  bool inCriticalSection;
};

class DownloadPeer {
public:
  explicit DownloadPeer(PtyPair &pty) : myPty(pty), myFlash(FirmwareImage::MEMORY_SIZE, 0) {
    myThread = std::thread([this] { serve(); });
  }
  ~DownloadPeer() { stop(); }

  void stop() {
    myStop = true;
    if (myThread.joinable())
      myThread.join();
  }
  /// Commands with this text are answered "-" instead of "+".
  void refuse(const std::string &command) { myRefused.insert(command); }
  /// The first command with this text is carried out but its "+" is lost.
  void loseAckOnce(const std::string &command) { myAckLost.insert(command); }
  /// Reads ("m") are acknowledged but never answered.
  void leaveReadsUnanswered() { myReadsUnanswered = true; }
  /// The next count read replies carry their first byte changed on the line; the
  /// FLASH is as written.
  void garbleReads(int count) { myGarbledReads = count; }
  /// Every write of the byte at address stores it with its lowest bit
  /// flipped: a FLASH that does not hold what it was sent.
  void storeWrongAt(unsigned long address) { myWrongAt = address; }
  /// The reply body for commands starting with prefix (default "000").
  void replyTo(const std::string &prefix, const std::string &body) { myBodies[prefix] = body; }
  /// Signal handed to ZyCriticalSection::deferSignal when command arrives.
  void signalOn(const std::string &command, int signal) {
    mySignalCommand = command;
    mySignal = signal;
  }

  std::vector<Received> received() {
    std::lock_guard<std::mutex> guard(myMutex);
    return myReceived;
  }
  std::vector<std::string> commands() {
    std::vector<std::string> out;
    for (const auto &r : received())
      out.push_back(r.text);
    return out;
  }
  /// Every byte that reached the peer, framing included.
  size_t bytesSeen() const { return myBytesSeen; }
  std::vector<std::string> errors() {
    std::lock_guard<std::mutex> guard(myMutex);
    return myErrors;
  }
  /// The peer's model of the controller's memory.
  const std::vector<unsigned char> &flash() const { return myFlash; }
  int deferResult() const { return myDeferResult; }

private:
  static unsigned long blockStart(int block) {
    static const unsigned long starts[] = {0,       0x1000,  0x2000, 0x3000, 0x4000,
                                           0x5000,  0x6000,  0x7000, 0x8000, 0x10000,
                                           0x20000, 0x30000, 0x40000};
    return starts[block];
  }

  int next() {
    while (!myStop) {
      std::string c = myPty.read(1, 20);
      if (!c.empty()) {
        myBytesSeen++;
        return static_cast<unsigned char>(c[0]);
      }
    }
    return -1;
  }

  void error(const std::string &text) {
    std::lock_guard<std::mutex> guard(myMutex);
    myErrors.push_back(text);
  }

  void serve() {
    for (;;) {
      int c = next();
      if (c < 0)
        return;
      if (c != '$')
        continue; // acknowledgements of our replies
      std::string raw;
      while ((c = next()) >= 0 && c != '#')
        raw.push_back(static_cast<char>(c));
      int high = next();
      int low = next();
      if (low < 0)
        return;
      unsigned int sum = 0;
      for (char ch : raw)
        sum += static_cast<unsigned char>(ch);
      if (digitValue(high) * 16 + digitValue(low) != static_cast<int>(sum & 0xFF))
        error("bad checksum on " + raw);
      std::string text;
      for (size_t i = 0; i < raw.size(); i++)
        text.push_back(raw[i] == '}' && i + 1 < raw.size() ? static_cast<char>(raw[++i] ^ 0x20)
                                                           : raw[i]);
      handle(text);
    }
  }

  void handle(const std::string &text) {
    if (text == mySignalCommand)
      myDeferResult = ZyCriticalSection::deferSignal(mySignal) ? 1 : 0;
    {
      std::lock_guard<std::mutex> guard(myMutex);
      myReceived.push_back({text, ZyCriticalSection::isActive()});
    }
    if (myRefused.count(text)) {
      myPty.write("-");
      return;
    }
    if (myAckLost.erase(text) == 0)
      myPty.write("+");
    std::string prefix = text.substr(0, 2);
    if (text[0] == 'm') {
      if (!myReadsUnanswered)
        reply(read(text));
      return;
    }
    if (prefix == "FE")
      erase(text);
    else if (prefix == "FW")
      program(text);
    else
      return;
    reply(myBodies.count(prefix) ? myBodies[prefix] : "000");
  }

  void reply(const std::string &body) {
    unsigned int sum = 0;
    for (char ch : body)
      sum += static_cast<unsigned char>(ch);
    char digits[3];
    snprintf(digits, sizeof(digits), "%02x", sum & 0xFF);
    myPty.write("$" + body + "#" + digits);
  }

  /// The digits of "m" ADDRESS "," LAST: the bytes from ADDRESS to
  /// ADDRESS + LAST.
  std::string read(const std::string &text) {
    char *comma = nullptr;
    unsigned long address = strtoul(text.c_str() + 1, &comma, 16);
    unsigned long last = *comma == ',' ? strtoul(comma + 1, nullptr, 16) : 0;
    if (address + last >= myFlash.size()) {
      error("read beyond memory " + text);
      return "";
    }
    std::string body;
    char digits[3];
    for (unsigned long a = address; a <= address + last; a++) {
      snprintf(digits, sizeof digits, "%02X", myFlash[a]);
      body += digits;
    }
    if (myGarbledReads > 0) {
      myGarbledReads--;
      body[1] = body[1] == '0' ? '1' : '0';
    }
    return body;
  }

  void erase(const std::string &text) {
    int block = static_cast<int>(strtol(text.c_str() + 2, nullptr, 16));
    if (block < 0 || block > 11) {
      error("erase of unknown block " + text);
      return;
    }
    for (unsigned long a = blockStart(block); a < blockStart(block + 1); a++)
      myFlash[a] = 0xFF;
  }

  void program(const std::string &text) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) {
      error("write without comma " + text);
      return;
    }
    unsigned long address = strtoul(text.c_str() + 2, nullptr, 16);
    for (size_t i = comma + 1; i + 1 < text.size(); i += 2, address++) {
      if (address >= myFlash.size()) {
        error("write beyond memory " + text.substr(0, comma));
        return;
      }
      int value = digitValue(text[i]) * 16 + digitValue(text[i + 1]);
      if (value < 0) {
        error("write with bad digits " + text.substr(0, comma));
        return;
      }
      myFlash[address] = static_cast<unsigned char>(address == myWrongAt ? value ^ 1 : value);
    }
  }

  PtyPair &myPty;
  std::thread myThread;
  std::atomic<bool> myStop{false};
  std::atomic<size_t> myBytesSeen{0};
  std::mutex myMutex;
  std::vector<Received> myReceived;
  std::vector<std::string> myErrors;
  std::set<std::string> myRefused;
  std::set<std::string> myAckLost;
  std::map<std::string, std::string> myBodies;
  std::string mySignalCommand;
  int mySignal = 0;
  std::atomic<int> myDeferResult{-1};
  std::vector<unsigned char> myFlash;
  bool myReadsUnanswered = false;
  int myGarbledReads = 0;
  unsigned long myWrongAt = ~0ul;
};

class DownloadTest : public testing::Test {
protected:
  void SetUp() override {
    serial.setPortName(pty.slavePath().c_str());
    ASSERT_EQ(serial.open(), 0);
  }

  /// Downloads content through the link while the peer answers; the
  /// progress lines on standard output are kept out of the test output.
  bool download(const std::string &content) {
    path = dir.write("image.mot", content);
    testing::internal::CaptureStdout();
    bool ok =
        loadFirmwareFile(path.c_str(), NO_BASE_ADDRESS, image) && writer.downloadFirmware(&link);
    testing::internal::GetCapturedStdout();
    peer.stop();
    EXPECT_EQ(peer.errors(), std::vector<std::string>{});
    return ok;
  }

  /// Start addresses of the "FW" commands received, in order.
  std::vector<unsigned long> writeAddresses() {
    std::vector<unsigned long> out;
    for (const auto &c : peer.commands())
      if (c.rfind("FW", 0) == 0)
        out.push_back(strtoul(c.c_str() + 2, nullptr, 16));
    return out;
  }
  std::vector<std::string> eraseCommands() {
    std::vector<std::string> out;
    for (const auto &c : peer.commands())
      if (c.rfind("FE", 0) == 0)
        out.push_back(c);
    return out;
  }
  bool flashHolds(unsigned long from, unsigned long to) {
    return std::equal(image.memory() + from, image.memory() + to, peer.flash().begin() + from);
  }

  records::TempDir dir;
  std::string path;
  LogCapture log{ZyLog::Normal};
  PtyPair pty;
  ZySerialConnection serial;
  MonitorLink link{&serial};
  DownloadPeer peer{pty};
  FirmwareImage image;
  FirmwareDownload writer{image};
};

TEST_F(DownloadTest, DataInBlock8ErasesAndWritesOnlyBlock8UpToTheHighestRecord) {
  std::vector<std::string> file = {"S00600004844521B"};
  for (unsigned long a = 0x8000; a < 0x9f40; a += 0x20)
    file.push_back(dataRecord('1', a, bytes(0x20, static_cast<unsigned char>(a >> 5))));
  file.push_back(dataRecord('1', 0x9f40, bytes(0x23, 7))); // ends at 0x9f63
  file.push_back("S9030000FC");
  ASSERT_TRUE(download(lines(file)));

  auto commands = peer.commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front(), "FE8");
  EXPECT_EQ(commands.back(), "FR");
  EXPECT_EQ(eraseCommands(), std::vector<std::string>{"FE8"});
  auto writes = writeAddresses();
  ASSERT_EQ(writes.size(), 63u); // 0x1f63 bytes in pieces of 128
  for (size_t i = 0; i < writes.size(); i++)
    EXPECT_EQ(writes[i], 0x8000 + 128 * i);
  EXPECT_EQ(commands[writes.size()].size(), std::string("FW9f00,").size() + 2 * 0x63);
  // The written range read back in two pieces of 4096 bytes.
  ASSERT_EQ(commands.size(), writes.size() + 4);
  EXPECT_EQ(commands[writes.size() + 1], "m8000,FFF");
  EXPECT_EQ(commands[writes.size() + 2], "m9000,FFF");
  EXPECT_TRUE(flashHolds(0x8000, 0x9f63));

  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"Erasing and writing block 0x8 (0x8000 to 0x9f63).",
                                      "Reading block 0x8 back to verify it.",
                                      "Every block written reads back as written.",
                                      "Done downloading '" + path + "'."}));
}

TEST_F(DownloadTest, BlocksGoInOrderWithHexNumbersAndTheParameterBlockIsLeftAlone) {
  ASSERT_TRUE(download(lines({
      dataRecord('3', 0x3fff0, bytes(16, 0xC0)), // last byte at the top of memory
      dataRecord('1', 0x7000, bytes(32, 0x70)),
      dataRecord('2', 0x20100, bytes(16, 0xB0)),
      dataRecord('1', 0x1000, bytes(4, 0x10)),
  })));
  EXPECT_EQ(eraseCommands(), (std::vector<std::string>{"FE1", "FEa", "FEb"}));
  for (unsigned long a : writeAddresses())
    EXPECT_TRUE(a < 0x7000 || a >= 0x8000) << std::hex << a;
  // Gaps go out as erased bytes, from the block's start to its highest
  // address: block 11 is written whole.
  EXPECT_EQ(writeAddresses().back(), 0x3ff80u);
  EXPECT_TRUE(flashHolds(0x1000, 0x1004));
  EXPECT_TRUE(flashHolds(0x20000, 0x20110));
  EXPECT_TRUE(flashHolds(0x30000, 0x40000));
  EXPECT_EQ(peer.flash()[0x3ffff], 0xCF);
  EXPECT_EQ(peer.flash()[0x7000], 0x00); // never erased nor written
  EXPECT_EQ(peer.commands().back(), "FR");
  EXPECT_TRUE(log.hasLine("Erasing and writing block 0xb (0x30000 to 0x40000)."));
  EXPECT_FALSE(log.contains("block 0x7"));
}

std::atomic<int> gDeferredSignal{0};
void recordDeferredSignal(int signal) {
  gDeferredSignal = signal;
}

TEST_F(DownloadTest, ASignalFinishesTheBlockInHandThenStopsTheDownload) {
  gDeferredSignal = 0;
  ZyCriticalSection::setDeferredAction(recordDeferredSignal);
  peer.signalOn("FE8", SIGTERM);
  bool ok = download(lines({dataRecord('2', 0x8000, bytes(16)), dataRecord('2', 0x10000, bytes(16)),
                            dataRecord('2', 0x20000, bytes(16))}));
  ZyCriticalSection::setDeferredAction(nullptr);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(writer.stopped());
  EXPECT_TRUE(writer.stoppedPartWay());

  EXPECT_EQ(peer.deferResult(), 1); // the signal was held back during the erase
  EXPECT_EQ(gDeferredSignal.load(), SIGTERM) << "acted on once the download was over";
  // Block 8 was finished; the next one was not started, and no "FR" went.
  EXPECT_EQ(eraseCommands(), std::vector<std::string>{"FE8"});
  EXPECT_TRUE(flashHolds(0x8000, 0x8010));
  EXPECT_NE(peer.commands().back(), "FR");
  for (const auto &r : peer.received())
    EXPECT_TRUE(r.inCriticalSection) << r.text;
  EXPECT_FALSE(ZyCriticalSection::isActive());

  log.clear();
  writer.logStoppedBlocks();
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"Download of '" + path + "' stopped before block 0x9.",
                                      "Blocks written with the new firmware: 0x8",
                                      "Blocks still holding the old firmware: 0x9 0xa"}));
}

TEST_F(DownloadTest, RefusedEraseStopsTheDownload) {
  peer.refuse("FEa");
  EXPECT_FALSE(
      download(lines({dataRecord('2', 0x20000, bytes(16)), dataRecord('1', 0x1000, bytes(16))})));
  EXPECT_EQ(eraseCommands(), (std::vector<std::string>{"FE1", "FEa", "FEa", "FEa"}))
      << "the block is tried twice more";
  EXPECT_EQ(writeAddresses(), std::vector<unsigned long>{0x1000});
  EXPECT_EQ(peer.commands().back(), "FEa"); // no "FR"
  EXPECT_TRUE(log.hasLine("Erase flash command for block a didn't go."));
  EXPECT_FALSE(log.contains("Done downloading"));
  EXPECT_TRUE(
      log.hasLine("The download failed at block 0xa, which may now be erased or partly written."))
      << log.text();
  EXPECT_TRUE(log.hasLine("Blocks already written: 0x1. Blocks still holding the old firmware: "
                          "none."));
  EXPECT_TRUE(log.hasLine("Running the upload again repairs the controller."));
}

TEST_F(DownloadTest, EraseNotAcceptedStopsTheDownload) {
  peer.replyTo("FE", "E01");
  EXPECT_FALSE(download(lines({dataRecord('1', 0x8000, bytes(16))})));
  EXPECT_EQ(peer.commands(), (std::vector<std::string>{"FE8", "FE8", "FE8"}));
  EXPECT_TRUE(log.hasLine("Erase flash command for block 8 not accepted: E01"));
}

TEST_F(DownloadTest, FailedWriteStopsTheDownload) {
  peer.replyTo("FW", "001");
  EXPECT_FALSE(
      download(lines({dataRecord('1', 0x8000, bytes(16)), dataRecord('2', 0x10000, bytes(4))})));
  EXPECT_EQ(eraseCommands(), (std::vector<std::string>{"FE8", "FE8", "FE8"}));
  EXPECT_EQ(writeAddresses(), (std::vector<unsigned long>{0x8000, 0x8000, 0x8000}));
  EXPECT_TRUE(log.hasLine("Could not write block 0x8 to microcontroller"));
  EXPECT_TRUE(log.hasLine("Blocks already written: none. Blocks still holding the old firmware: "
                          "0x9."))
      << log.text();
}

TEST_F(DownloadTest, ALostAcknowledgementRestartsTheBlockAndTheDownloadGoesOn) {
  std::vector<std::string> records;
  for (unsigned long a = 0x10000; a < 0x10800; a += 32)
    records.push_back(dataRecord('2', a, bytes(32, static_cast<unsigned char>(a >> 5))));
  records.push_back(dataRecord('1', 0x8000, bytes(16, 7)));
  peer.loseAckOnce("FE9");
  ASSERT_TRUE(download(lines(records))) << log.text();
  EXPECT_EQ(eraseCommands(), (std::vector<std::string>{"FE8", "FE9", "FE9"}));
  EXPECT_TRUE(flashHolds(0x8000, 0x8010));
  EXPECT_TRUE(flashHolds(0x10000, 0x10800));
  EXPECT_TRUE(log.hasLine("Erasing and writing block 0x9 again (try 2 of 3).")) << log.text();
  EXPECT_EQ(peer.commands().back(), "FR");
}

// The read-back after each block: a difference on the line is read again
// and passes, one in the FLASH restarts the block and finally fails the
// download naming the block, a monitor that does not answer reads fails it
// naming --no-verify, and --no-verify skips the reads.
TEST_F(DownloadTest, EachBlockIsReadBackAndComparedOverItsWrittenRange) {
  struct Case {
    const char *name;
    std::function<void(DownloadPeer &)> fault;
    bool verify, ok;
    std::vector<std::string> erases;
    size_t reads;
    std::vector<std::string> lines; // log lines expected among the others
  };
  const std::vector<Case> cases = {
      {"line error once",
       [](DownloadPeer &p) { p.garbleReads(1); },
       true,
       true,
       {"FE8", "FE9"},
       3,
       {"Every block written reads back as written."}},
      {"FLASH keeps a wrong byte",
       [](DownloadPeer &p) { p.storeWrongAt(0x8005); },
       true,
       false,
       {"FE8", "FE8", "FE8"},
       6,
       {"Block 0x8 does not read back as written (first difference at 0x8005).",
        "Erasing and writing block 0x8 again (try 3 of 3).",
        "Block 0x8 did not read back as written after 3 tries: the controller's FLASH does not "
        "hold the image.",
        "The download failed at block 0x8, which may now be erased or partly written.",
        "Blocks already written: none. Blocks still holding the old firmware: 0x9."}},
      {"reads unanswered",
       [](DownloadPeer &p) { p.leaveReadsUnanswered(); },
       true,
       false,
       {"FE8"},
       2,
       {"The controller did not answer the read-back of block 0x8 at 0x8000, so the block cannot "
        "be verified. If its monitor cannot read FLASH, run the upload again with --no-verify to "
        "skip the read-back."}},
      {"no verify",
       [](DownloadPeer &p) { p.storeWrongAt(0x8005); },
       false,
       true,
       {"FE8", "FE9"},
       0,
       {"Not reading the blocks back to verify them (--no-verify): a block the controller did "
        "not store right goes unnoticed."}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair casePty;
    ZySerialConnection caseSerial;
    caseSerial.setPortName(casePty.slavePath().c_str());
    ASSERT_EQ(caseSerial.open(), 0);
    MonitorLink caseLink(&caseSerial);
    DownloadPeer casePeer(casePty);
    c.fault(casePeer);
    std::string file = dir.write("verify.mot", lines({dataRecord('2', 0x8000, bytes(16, 1)),
                                                      dataRecord('2', 0x10010, bytes(8, 2))}));
    ASSERT_TRUE(loadFirmwareFile(file.c_str(), NO_BASE_ADDRESS, image));
    FirmwareDownload download(image);
    download.setVerify(c.verify);
    log.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(download.downloadFirmware(&caseLink), c.ok) << log.text();
    testing::internal::GetCapturedStdout();
    casePeer.stop();
    EXPECT_EQ(casePeer.errors(), std::vector<std::string>{});
    std::vector<std::string> erases;
    size_t reads = 0;
    for (const auto &command : casePeer.commands()) {
      if (command.rfind("FE", 0) == 0)
        erases.push_back(command);
      if (command[0] == 'm') {
        reads++;
        EXPECT_TRUE(command == "m8000,FFF" || command == "m10000,FFF") << command;
      }
    }
    EXPECT_EQ(erases, c.erases);
    EXPECT_EQ(reads, c.reads);
    for (const auto &line : c.lines)
      EXPECT_TRUE(log.hasLine(line)) << line << "\n" << log.text();
    EXPECT_EQ(download.failedBlock(), c.ok ? -1 : 8);
  }
}

// One contiguous program image written by objcopy as S-records, Intel HEX
// and raw binary loads into the same image (bytes, blocks, ranges, digest)
// and goes out as the same commands, so the same bytes on the wire.
TEST(FirmwareFormats, OneProgramInEveryFormatLoadsAndDownloadsTheSame) {
  REQUIRE_TOOL("objcopy", "binutils");
  struct Format {
    const char *name, *file, *objcopyFormat;
    long base;
  };
  const Format formats[] = {
      {"S-records", "p.mot", "srec", NO_BASE_ADDRESS},
      {"Intel HEX", "p.hex", "ihex", NO_BASE_ADDRESS},
      {"raw binary", "p.bin", nullptr, 0x8c00},
  };
  TempDir dir;
  std::vector<unsigned char> program(0x8000 - 0xc00 + 0x234); // blocks 8 and 9
  for (size_t i = 0; i < program.size(); i++)
    program[i] = static_cast<unsigned char>(i * 13 + (i >> 7));
  std::string binary = dir.write("p.bin", records::binaryFile(program));
  std::string firstDigest;
  std::vector<std::string> firstCommands;
  std::vector<unsigned char> firstMemory;
  for (const Format &f : formats) {
    SCOPED_TRACE(f.name);
    std::string file = dir.file(f.file);
    if (f.objcopyFormat != nullptr) {
      ASSERT_EQ(runOnPath({"objcopy", "-I", "binary", "-O", f.objcopyFormat, "--change-addresses",
                           "0x8c00", binary, file}),
                0);
    }
    FirmwareImage image;
    LogCapture log(ZyLog::Normal);
    ASSERT_TRUE(loadFirmwareFile(file.c_str(), f.base, image)) << log.text();
    EXPECT_EQ(image.ranges(), (std::vector<std::pair<unsigned long, unsigned long>>{
                                  {0x8c00, 0x8c00 + program.size()}}));
    EXPECT_EQ(image.blocksToWrite(), (std::vector<int>{8, 9}));
    PtyPair pty;
    ZySerialConnection serial;
    serial.setPortName(pty.slavePath().c_str());
    ASSERT_EQ(serial.open(), 0);
    MonitorLink link(&serial);
    DownloadPeer peer(pty);
    FirmwareDownload download(image);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(download.downloadFirmware(&link)) << log.text();
    testing::internal::GetCapturedStdout();
    peer.stop();
    std::vector<unsigned char> memory(image.memory(), image.memory() + FirmwareImage::MEMORY_SIZE);
    EXPECT_TRUE(std::equal(program.begin(), program.end(), peer.flash().begin() + 0x8c00));
    if (firstCommands.empty()) {
      firstDigest = image.digest();
      firstCommands = peer.commands();
      firstMemory = memory;
      ASSERT_GT(firstCommands.size(), 200u);
      continue;
    }
    EXPECT_EQ(image.digest(), firstDigest);
    EXPECT_TRUE(memory == firstMemory);
    EXPECT_TRUE(peer.commands() == firstCommands) << "the same commands on the wire";
  }
}

TEST_F(DownloadTest, NothingIsSentForAMalformedOrMissingFile) {
  // The malformed line is the last one: everything before it was valid.
  EXPECT_FALSE(download(
      lines({dataRecord('1', 0x8000, bytes(16)), dataRecord('1', 0x9000, bytes(16)), "S1"})));
  EXPECT_EQ(peer.bytesSeen(), 0u);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Malformed .mot file (line 3 too short), cannot download."});

  log.clear();
  std::string missing = dir.file("none.mot");
  EXPECT_FALSE(loadFirmwareFile(missing.c_str(), NO_BASE_ADDRESS, image));
  EXPECT_EQ(peer.bytesSeen(), 0u);
  EXPECT_TRUE(log.hasLine("Cannot open file '" + missing + "' for download."));
}

} // namespace

// Firmware downloads over a pseudo-terminal to a peer thread that plays the
// controller's monitor: it checks and acknowledges each command packet,
// answers erase and write commands, keeps a model of the controller's FLASH
// and records every command it received.
#include "FirmwareImage.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "PtyPair.h"
#include "ZyCriticalSection.h"
#include "ZySerialConnection.h"
#include "firmware_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
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
    if (prefix == "FE")
      erase(text);
    else if (prefix == "FW")
      program(text);
    else
      return;
    std::string body = myBodies.count(prefix) ? myBodies[prefix] : "000";
    unsigned int sum = 0;
    for (char ch : body)
      sum += static_cast<unsigned char>(ch);
    char digits[3];
    snprintf(digits, sizeof(digits), "%02x", sum & 0xFF);
    myPty.write("$" + body + "#" + digits);
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
      myFlash[address] = static_cast<unsigned char>(value);
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
};

class FirmwareDownload : public testing::Test {
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
    bool ok = image.downloadFirmware(&link, path.c_str());
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
};

TEST_F(FirmwareDownload, DataInBlock8ErasesAndWritesOnlyBlock8UpToTheHighestRecord) {
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
  EXPECT_EQ(commands.size(), writes.size() + 2);
  EXPECT_TRUE(flashHolds(0x8000, 0x9f63));

  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"Erasing and writing block 0x8 (0x8000 to 0x9f63).",
                                      "Done downloading '" + path + "'."}));
}

TEST_F(FirmwareDownload, BlocksGoInOrderWithHexNumbersAndTheParameterBlockIsLeftAlone) {
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

TEST_F(FirmwareDownload, ASignalFinishesTheBlockInHandThenStopsTheDownload) {
  gDeferredSignal = 0;
  ZyCriticalSection::setDeferredAction(recordDeferredSignal);
  peer.signalOn("FE8", SIGTERM);
  bool ok = download(lines({dataRecord('2', 0x8000, bytes(16)), dataRecord('2', 0x10000, bytes(16)),
                            dataRecord('2', 0x20000, bytes(16))}));
  ZyCriticalSection::setDeferredAction(nullptr);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(image.stopped());
  EXPECT_TRUE(image.stoppedPartWay());

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
  image.logStoppedBlocks();
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"Download of '" + path + "' stopped before block 0x9.",
                                      "Blocks written with the new firmware: 0x8",
                                      "Blocks still holding the old firmware: 0x9 0xa"}));
}

TEST_F(FirmwareDownload, RefusedEraseStopsTheDownload) {
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

TEST_F(FirmwareDownload, EraseNotAcceptedStopsTheDownload) {
  peer.replyTo("FE", "E01");
  EXPECT_FALSE(download(lines({dataRecord('1', 0x8000, bytes(16))})));
  EXPECT_EQ(peer.commands(), (std::vector<std::string>{"FE8", "FE8", "FE8"}));
  EXPECT_TRUE(log.hasLine("Erase flash command for block 8 not accepted: E01"));
}

TEST_F(FirmwareDownload, FailedWriteStopsTheDownload) {
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

TEST_F(FirmwareDownload, ALostAcknowledgementRestartsTheBlockAndTheDownloadGoesOn) {
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

TEST_F(FirmwareDownload, NothingIsSentForAMalformedOrMissingFile) {
  // The malformed line is the last one: everything before it was valid.
  EXPECT_FALSE(download(
      lines({dataRecord('1', 0x8000, bytes(16)), dataRecord('1', 0x9000, bytes(16)), "S1"})));
  EXPECT_EQ(peer.bytesSeen(), 0u);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Malformed .mot file (line 3 too short), cannot download."});

  log.clear();
  std::string missing = dir.file("none.mot");
  EXPECT_FALSE(image.downloadFirmware(&link, missing.c_str()));
  EXPECT_EQ(peer.bytesSeen(), 0u);
  EXPECT_TRUE(log.hasLine("Cannot open file '" + missing + "' for download."));
}

} // namespace

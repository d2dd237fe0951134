// Loading S-record files into the firmware image without a controller:
// what goes where in memory and the block table, and every malformed-file
// message with its line number.
#include "FirmwareImage.h"
#include "LogCapture.h"
#include "firmware_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using records::bytes;
using records::dataRecord;
using records::lines;
using records::oddLengthLine;

namespace {

class FirmwareLoad : public testing::Test {
protected:
  bool load(const std::string &content) {
    path = dir.write("image.mot", content);
    return image.downloadFirmware(nullptr, path.c_str());
  }
  /// True when memory from address holds exactly data.
  bool holds(unsigned long address, const std::vector<unsigned char> &data) const {
    return std::equal(data.begin(), data.end(), image.memory() + address);
  }
  /// True when memory[from, to) is all 0xFF.
  bool erased(unsigned long from, unsigned long to) const {
    for (unsigned long a = from; a < to; a++)
      if (image.memory()[a] != 0xFF)
        return false;
    return true;
  }

  records::TempDir dir;
  FirmwareImage image;
  LogCapture log{ZyLog::Verbose};
  std::string path;
};

std::string lowerCaseType(std::string line) {
  line[0] = 's';
  return line;
}

TEST_F(FirmwareLoad, ValidFileLoadsEveryDataRecordTypeAndReportsNoController) {
  auto a = bytes(16, 0x10);
  auto b = bytes(20, 0x40);
  auto c = bytes(8, 0x80);
  ASSERT_TRUE(load(lines({"S00600004844521B", dataRecord('1', 0x1000, a),
                          lowerCaseType(dataRecord('2', 0x012340, b)), dataRecord('3', 0x20000, c),
                          "S5030003F9", "S9030000FC"})));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Not interacting with microcontroller so "
                                                  "cannot download '" +
                                                  path + "'."});
  EXPECT_TRUE(holds(0x1000, a));
  EXPECT_TRUE(holds(0x12340, b));
  EXPECT_TRUE(holds(0x20000, c));
  EXPECT_TRUE(erased(0, 0x1000));
  EXPECT_TRUE(erased(0x1010, 0x12340));
  EXPECT_TRUE(erased(0x12354, 0x20000));
  EXPECT_TRUE(erased(0x20008, FirmwareImage::MEMORY_SIZE));

  const unsigned long starts[12] = {0,      0x1000, 0x2000, 0x3000,  0x4000,  0x5000,
                                    0x6000, 0x7000, 0x8000, 0x10000, 0x20000, 0x30000};
  const unsigned long sizes[12] = {0x1000, 0x1000, 0x1000, 0x1000,  0x1000,  0x1000,
                                   0x1000, 0x1000, 0x8000, 0x10000, 0x10000, 0x10000};
  for (int i = 0; i < FirmwareImage::NUM_BLOCKS; i++) {
    const FlashBlock &blk = image.block(i);
    EXPECT_EQ(blk.start, starts[i]) << i;
    EXPECT_EQ(blk.size, sizes[i]) << i;
    bool expectTouched = i == 1 || i == 9 || i == 10;
    EXPECT_EQ(blk.touched, expectTouched) << i;
    if (!expectTouched) {
      EXPECT_EQ(blk.highest, blk.start) << i;
    }
  }
  EXPECT_EQ(image.block(1).highest, 0x1010u);
  EXPECT_EQ(image.block(9).highest, 0x12354u);
  EXPECT_EQ(image.block(10).highest, 0x20008u);
}

TEST_F(FirmwareLoad, RecordAcrossBlocksRaisesBothBlocksAndParameterBlockIsLoaded) {
  auto span = bytes(16, 1);
  auto params = bytes(32, 0x60);
  ASSERT_TRUE(load(lines({dataRecord('2', 0xFFF8, span), dataRecord('1', 0x7100, params),
                          dataRecord('1', 0x8000, bytes(4))})));
  EXPECT_TRUE(holds(0xFFF8, span));
  EXPECT_TRUE(holds(0x7100, params));
  EXPECT_TRUE(image.block(8).touched);
  EXPECT_EQ(image.block(8).highest, 0x10000u); // the record goes on past the block
  EXPECT_TRUE(image.block(9).touched);
  EXPECT_EQ(image.block(9).highest, 0x10008u);
  EXPECT_TRUE(image.block(7).touched);
  EXPECT_EQ(image.block(7).highest, 0x7120u);
}

TEST_F(FirmwareLoad, RecordWhoseLastByteIsTheTopOfMemoryLoads) {
  auto top = bytes(16, 0xA0);
  ASSERT_TRUE(load(lines({dataRecord('2', 0x3fff0, top)})));
  EXPECT_TRUE(holds(0x3fff0, top));
  EXPECT_EQ(image.memory()[0x3ffff], 0xAF);
  EXPECT_TRUE(image.block(11).touched);
  EXPECT_EQ(image.block(11).highest, 0x40000u);
  EXPECT_FALSE(log.contains("goes beyond"));
}

TEST_F(FirmwareLoad, RecordsBeyondMemoryAreSkippedAndTheRestLoads) {
  auto first = bytes(8, 1);
  auto last = bytes(8, 0x20);
  ASSERT_TRUE(load(lines({dataRecord('1', 0x1000, first), dataRecord('2', 0x3fff0, bytes(17, 0x50)),
                          dataRecord('3', 0x40000, bytes(4)), dataRecord('3', 0xFFFFFFFF, bytes(2)),
                          dataRecord('1', 0x2000, last)})));
  EXPECT_TRUE(log.hasLine("Line 2 (addresses 0x3fff0 to 0x40001) goes beyond our bounds of "
                          "memory (0x0-0x3ffff"));
  EXPECT_TRUE(log.hasLine("Line 3 (addresses 0x40000 to 0x40004) goes beyond our bounds of "
                          "memory (0x0-0x3ffff"));
  EXPECT_TRUE(log.contains("Line 4 (addresses 0xffffffff to "));
  EXPECT_TRUE(erased(0x30000, FirmwareImage::MEMORY_SIZE));
  EXPECT_FALSE(image.block(11).touched);
  EXPECT_TRUE(holds(0x1000, first));
  EXPECT_TRUE(holds(0x2000, last));
  EXPECT_TRUE(
      log.hasLine("Not interacting with microcontroller so cannot download '" + path + "'."));
}

TEST_F(FirmwareLoad, LineEndsCarriageReturnsNulAndMissingFinalNewline) {
  auto a = bytes(4, 1);
  auto b = bytes(4, 9);
  auto c = bytes(4, 17);
  std::string content = dataRecord('1', 0x1000, a) + "\r\n" + dataRecord('1', 0x2000, b) +
                        std::string("\0zz", 3) + "\n" + dataRecord('1', 0x3000, c) + "\nS9030000FC";
  ASSERT_TRUE(load(content));
  EXPECT_TRUE(holds(0x1000, a));
  EXPECT_TRUE(holds(0x2000, b));
  EXPECT_TRUE(holds(0x3000, c));
}

TEST_F(FirmwareLoad, EachDownloadStartsFromAnErasedImage) {
  ASSERT_TRUE(load(lines({dataRecord('1', 0x1000, bytes(4, 1))})));
  ASSERT_TRUE(load(lines({dataRecord('1', 0x2000, bytes(4, 1))})));
  EXPECT_TRUE(erased(0x1000, 0x1004));
  EXPECT_FALSE(image.block(1).touched);
  EXPECT_TRUE(image.block(2).touched);
}

TEST_F(FirmwareLoad, LinesAreTakenIn255CharacterPiecesThatCountAsLines) {
  // 254 characters plus the line feed fit in one piece.
  auto wide = bytes(120, 3);
  std::string line254 = dataRecord('3', 0x4000, wide);
  ASSERT_EQ(line254.size(), 254u);
  ASSERT_TRUE(load(lines({line254})));
  EXPECT_TRUE(holds(0x4000, wide));
  // With a carriage return before the line feed the line feed is a piece
  // of its own: an empty line 2.
  log.clear();
  EXPECT_FALSE(load(line254 + "\r\n"));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Malformed .mot file (line 2 too short), cannot download."});

  // A 255-character piece that passes the line test, then the rest of the
  // same line ("S5FF") is line 2, the next record line 3 and the empty
  // line 4.
  std::string piece = oddLengthLine("S5" + std::string(251, '1'));
  ASSERT_EQ(piece.size(), 255u);
  log.clear();
  EXPECT_FALSE(load(piece + "S5FF\n" + dataRecord('1', 0x1000, bytes(4)) + "\n\n"));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Malformed .mot file (line 4 too short), cannot download."});

  // A valid record longer than a piece fails on its first piece.
  log.clear();
  EXPECT_FALSE(load(lines({dataRecord('3', 0x4000, bytes(140, 5))})));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Malformed .mot file (line 1 data doesn't "
                                                  "match checksum), cannot download."});
}

struct MalformedCase {
  const char *name;
  std::string content;
  std::string message;
};

std::string replaceAt(std::string line, size_t position, const std::string &with) {
  return line.replace(position, with.size(), with);
}

std::vector<MalformedCase> malformedCases() {
  std::string good = dataRecord('1', 0x1000, bytes(8));
  std::string flipped = good;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  return {
      {"TooShort", lines({good, "S1"}), "Malformed .mot file (line 2 too short), cannot download."},
      {"FourCharactersAreEnoughButThreeAreNot", lines({"S5FF", "S5F"}),
       "Malformed .mot file (line 2 too short), cannot download."},
      {"EmptyLine", lines({good, good, "", good}),
       "Malformed .mot file (line 3 too short), cannot download."},
      {"BadChars", lines({good, replaceAt(good, 10, "G")}),
       "Malformed .mot file (line 2 has bad chars), cannot download."},
      {"BadCharInByteCount", lines({replaceAt(good, 2, " ")}),
       "Malformed .mot file (line 1 has bad chars), cannot download."},
      {"ChecksumBadChars", lines({replaceAt(good, good.size() - 2, "X0")}),
       "Malformed .mot file (line 1 checksum has bad chars), cannot download."},
      {"ChecksumMismatch", lines({good, good, flipped}),
       "Malformed .mot file (line 3 data doesn't match checksum), cannot download."},
      {"AddressZeroS1", lines({good, dataRecord('1', 0, bytes(4))}),
       "Malformed .mot file (line 2 address is bad (0)), cannot download."},
      {"AddressZeroS3", lines({dataRecord('3', 0, bytes(4))}),
       "Malformed .mot file (line 1 address is bad (0)), cannot download."},
      {"LineEndsBeforeAddress", lines({"S201FE"}),
       "Malformed .mot file (line 1 address is bad (0)), cannot download."},
      {"OddDataDigits", lines({good, oddLengthLine("S1051000ABC")}),
       "Malformed .mot file (line 2 odd numbered data bytes), cannot download."},
  };
}

TEST_F(FirmwareLoad, MalformedFilesFailWithTheirMessageAndLineNumber) {
  for (const MalformedCase &c : malformedCases()) {
    SCOPED_TRACE(c.name);
    log.clear();
    EXPECT_FALSE(load(c.content));
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.message});
  }
}

TEST_F(FirmwareLoad, UnreadableFilesAreReported) {
  std::string missing = dir.file("missing.mot");
  EXPECT_FALSE(image.downloadFirmware(nullptr, missing.c_str()));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Cannot open file '" + missing + "' for download."});

  log.clear();
  EXPECT_FALSE(image.downloadFirmware(nullptr, dir.path().c_str()));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Cannot read file '" + dir.path() +
                                                  "' for download (Is a directory)."});
}

TEST_F(FirmwareLoad, StoreRecordDataDirectly) {
  EXPECT_FALSE(image.storeRecordData(0x1000, "123", 7));
  EXPECT_TRUE(
      log.hasLine("Malformed .mot file (line 7 odd numbered data bytes), cannot download."));

  EXPECT_TRUE(image.storeRecordData(0x3fffe, "aBcD", 8));
  EXPECT_EQ(image.memory()[0x3fffe], 0xAB);
  EXPECT_EQ(image.memory()[0x3ffff], 0xCD);

  log.clear();
  EXPECT_TRUE(image.storeRecordData(0x3ffff, "0102", 9));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Line 9 (addresses 0x3ffff to 0x40001) goes "
                                                  "beyond our bounds of memory (0x0-0x3ffff"});
  EXPECT_EQ(image.memory()[0x3ffff], 0xCD);

  // A record without data touches no block.
  EXPECT_TRUE(image.storeRecordData(0x1005, "", 10));
  EXPECT_FALSE(image.block(1).touched);
}

TEST_F(FirmwareLoad, SampleImageOfTheReadmeLoads) {
  std::string sample = ORVEX_SOURCE_DIR "/params/sample.mot";
  ASSERT_TRUE(image.downloadFirmware(nullptr, sample.c_str())) << log.text();
  std::string text = "ORVEX sample firmware image\n";
  EXPECT_TRUE(holds(0x8000, std::vector<unsigned char>(text.begin(), text.end())));
  EXPECT_EQ(image.memory()[0x80ff], 0x38); // the last byte of the sample binary
  EXPECT_EQ(image.block(8).highest, 0x8100u);
  for (int i = 0; i < FirmwareImage::NUM_BLOCKS; i++)
    EXPECT_EQ(image.block(i).touched, i == 8) << i;
}

TEST_F(FirmwareLoad, ArbitraryBytesNeverBreakTheLoader) {
  // Mostly S-record characters, with line ends, NULs and other bytes mixed
  // in; the sanitizer builds catch any out-of-bounds access. A file either
  // loads with the "Not interacting" line or fails with one message.
  const std::string alphabet =
      std::string("S0123456789ABCDEFabcdefs\r\n\n\n") + std::string("\0 \xff~", 4);
  std::mt19937 generator(7);
  int loaded = 0;
  for (int round = 0; round < 200; round++) {
    std::string content(generator() % 700, ' ');
    for (auto &c : content)
      c = alphabet[generator() % alphabet.size()];
    if (round % 5 == 0) // some files that start with a valid record
      content = dataRecord('2', 0x10000 + round, bytes(round % 40)) + "\n" + content;
    log.clear();
    bool ok = load(content);
    ASSERT_EQ(log.lines().size(), 1u) << round;
    EXPECT_EQ(ok, log.lines()[0].rfind("Not interacting", 0) == 0) << log.lines()[0];
    loaded += ok;
  }
  EXPECT_LT(loaded, 200);
}

TEST_F(FirmwareLoad, BeyondMemoryMessageIsVerboseOnly) {
  LogCapture normal(ZyLog::Normal);
  ASSERT_TRUE(load(lines({dataRecord('3', 0x40000, bytes(4)), dataRecord('1', 0x1000, bytes(4))})));
  EXPECT_FALSE(normal.contains("goes beyond"));
}

} // namespace

TEST_F(FirmwareLoad, FilesThatCarryNothingOrAreCutShortAreRefused) {
  std::string nothing = "Nothing to download in '%s': no data outside the parameter block.";
  std::string noEnd = "'%s' has no end record: the file may be cut short.";
  std::string block7 = dataRecord('1', 0x7100, bytes(16));
  std::string beyond = dataRecord('3', 0x40000, bytes(16));
  std::string data = dataRecord('1', 0x8000, bytes(16));
  struct Case {
    std::string content;
    std::string message; // with %s for the path; empty: accepted
  } cases[] = {
      {"", nothing},
      {records::rawLines({"S00600004844521B", "S9030000FC"}), nothing},
      {lines({block7}), nothing},
      {lines({beyond}), nothing},
      {records::rawLines({data}), noEnd},
      {records::rawLines({data, "S9030000FC", dataRecord('1', 0x8010, bytes(16))}), noEnd},
      {lines({data, "S5030002FA"}),
       "'%s' holds 1 data records but its count record says 2: the file may be damaged."},
      {lines({data, "S5030001FB"}), ""},
      // A count record that matches may stand last in place of an end record.
      {records::rawLines({data, "S5030001FB"}), ""},
      {records::rawLines({data, data, "S5030001FB"}),
       "'%s' holds 2 data records but its count record says 1: the file may be damaged."},
      {lines({data, "S804000000FB"}), ""},
      {lines({data}), ""},
  };
  for (const Case &c : cases) {
    log.clear();
    bool loaded = load(c.content);
    EXPECT_EQ(loaded, c.message.empty()) << c.content;
    if (!c.message.empty()) {
      std::string message = c.message;
      message.replace(message.find("%s"), 2, path);
      EXPECT_TRUE(log.hasLine(message)) << c.content << "\n" << log.text();
    }
  }
}

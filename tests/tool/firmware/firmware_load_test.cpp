// SPDX-License-Identifier: MIT
// Loading S-record files into the firmware image without a controller:
// what goes where in memory and the block table, and every malformed-file
// message with its line number.
#include "FirmwareDownload.h"
#include "FirmwareFiles.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "HexDigits.h"
#include "LogCapture.h"
#include "SRecordReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using records::bytes;
using records::dataRecord;
using records::lines;
using records::oddLengthLine;

namespace {

class FirmwareLoad : public testing::Test {
protected:
  bool load(const std::string &content) { return loadAs("image.mot", content); }
  /// Reads content as a file of that name (the reader its name and content
  /// choose) and runs the download without a controller.
  bool loadAs(const std::string &name, const std::string &content, long base = NO_BASE_ADDRESS) {
    path = dir.write(name, content);
    return loadFile(path, base);
  }
  bool loadFile(const std::string &file, long base = NO_BASE_ADDRESS) {
    FirmwareDownload download(image);
    return loadFirmwareFile(file.c_str(), base, image) && download.downloadFirmware(nullptr);
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
    // The line the message names is also given as a number.
    int line = -1;
    EXPECT_FALSE(loadFirmwareFile(path.c_str(), NO_BASE_ADDRESS, image, &line));
    EXPECT_EQ(line, std::stoi(c.message.substr(c.message.find("(line ") + 6)));
  }
}

TEST_F(FirmwareLoad, UnreadableFilesAreReported) {
  std::string missing = dir.file("missing.mot");
  EXPECT_FALSE(loadFile(missing));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Cannot open file '" + missing + "' for download."});
  // No one line is at fault, and a read that refused one before is
  // forgotten.
  int line = -1;
  ASSERT_FALSE(load(lines({"S1"})));
  EXPECT_FALSE(loadFirmwareFile(missing.c_str(), NO_BASE_ADDRESS, image, &line));
  EXPECT_EQ(line, 0);
  EXPECT_FALSE(
      loadFirmwareFile(dir.write("cut.mot", dataRecord('1', 0x1000, bytes(4)) + "\n").c_str(),
                       NO_BASE_ADDRESS, image, &line));
  EXPECT_EQ(line, 0);

  log.clear();
  EXPECT_FALSE(loadFile(dir.path()));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Cannot read file '" + dir.path() +
                                                  "' for download (Is a directory)."});
}

TEST_F(FirmwareLoad, StoreRecordDataDirectly) {
  SRecordReader reader;
  EXPECT_FALSE(reader.storeRecordData(image, 0x1000, "123", 7));
  EXPECT_TRUE(
      log.hasLine("Malformed .mot file (line 7 odd numbered data bytes), cannot download."));

  EXPECT_TRUE(reader.storeRecordData(image, 0x3fffe, "aBcD", 8));
  EXPECT_EQ(image.memory()[0x3fffe], 0xAB);
  EXPECT_EQ(image.memory()[0x3ffff], 0xCD);

  log.clear();
  EXPECT_TRUE(reader.storeRecordData(image, 0x3ffff, "0102", 9));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Line 9 (addresses 0x3ffff to 0x40001) goes "
                                                  "beyond our bounds of memory (0x0-0x3ffff"});
  EXPECT_EQ(image.memory()[0x3ffff], 0xCD);

  // A record without data touches no block.
  EXPECT_TRUE(reader.storeRecordData(image, 0x1005, "", 10));
  EXPECT_FALSE(image.block(1).touched);
}

TEST_F(FirmwareLoad, SampleImageOfTheReadmeLoads) {
  std::string sample = ORVEX_SOURCE_DIR "/params/sample.mot";
  ASSERT_TRUE(loadFile(sample)) << log.text();
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
      // A count of 0 is compared like any other.
      {lines({data, "S5030000FC"}),
       "'%s' holds 1 data records but its count record says 0: the file may be damaged."},
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

namespace {
// Intel HEX and raw binary files: what loads where, and every refusal with
// its message (%s stands for the path).
TEST_F(FirmwareLoad, IntelHexAndBinaryFilesLoadOrAreRefusedWithTheirMessage) {
  using records::hexFile;
  using records::hexRecord;
  auto data = bytes(40, 0x30);
  std::string rec = hexRecord(0, 0x8000, bytes(16));
  std::string end = records::HEX_END;
  auto file = [](std::vector<std::string> all) { return records::rawLines(all); };
  auto crlf = [](std::string text) {
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
      text.replace(at, 1, "\r\n");
    return text;
  };
  std::string bad = rec;
  bad.back() = bad.back() == '0' ? '1' : '0';
  // Off by 0x10: only the checksum's first digit differs.
  std::string badHigh = rec;
  badHigh[badHigh.size() - 2] = badHigh[badHigh.size() - 2] == '0' ? '1' : '0';
  struct Case {
    const char *name;
    std::string fileName, content;
    long base;
    std::string message;   // with %s for the path; empty: loads
    unsigned long address; // with a message empty: where data went
  } cases[] = {
      {"linear", "a.hex", hexFile(0x1fff8, data), NO_BASE_ADDRESS, "", 0x1fff8},
      {"segment and start records", "a.ihx",
       file({hexRecord(2, 0, {0x10, 0x00}), hexRecord(0, 0x0010, data),
             hexRecord(3, 0, {0, 0, 1, 2}), hexRecord(5, 0, {0, 0, 0x80, 0}), end}),
       NO_BASE_ADDRESS, "", 0x10010},
      // A start address (05) is no base: the data stays at 0x8000.
      {"start address before data", "a.hex",
       file({hexRecord(5, 0, {0x00, 0x01, 0x80, 0x00}), hexRecord(0, 0x8000, data), end}),
       NO_BASE_ADDRESS, "", 0x8000},
      {"blank lines and CRLF", "b.txt", "\n  \n" + crlf(hexFile(0x8000, data)) + "\r\n",
       NO_BASE_ADDRESS, "", 0x8000},
      {"binary", "IMAGE.BIN", records::binaryFile(data), 0x9000, "", 0x9000},
      {"binary at the top", "a.bin", records::binaryFile(data), 0x40000 - 40, "", 0x40000 - 40},
      {"no end record", "a.hex", hexFile(0x8000, data, 16, false), NO_BASE_ADDRESS,
       "'%s' has no end record: the file may be cut short.", 0},
      {"bad checksum", "a.hex", file({rec, bad, end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 2 data doesn't match checksum), cannot download.", 0},
      {"checksum off by 0x10", "a.hex", file({rec, badHigh, end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 2 data doesn't match checksum), cannot download.", 0},
      {"bad chars", "a.hex", file({rec, rec.substr(0, 9) + "zz" + rec.substr(11), end}),
       NO_BASE_ADDRESS, "Malformed .hex file (line 2 has bad chars), cannot download.", 0},
      {"too short", "a.hex", file({rec, ":000000", end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 2 too short), cannot download.", 0},
      {"count disagrees", "a.hex", file({":03800000AABBCC", end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 1 length doesn't match its byte count), cannot download.", 0},
      {"odd digits", "a.hex", file({rec + "0", end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 1 odd numbered digits), cannot download.", 0},
      {"unknown type", "a.hex", file({rec, hexRecord(6, 0, {}), end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 2 record type 06 unknown), cannot download.", 0},
      {"bad address record", "a.hex", file({hexRecord(4, 0, {1}), rec, end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 1 record type 04 has 1 data bytes), cannot download.", 0},
      {"no colon", "a.hex", file({rec, "S1130000", end}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 2 does not start with ':'), cannot download.", 0},
      {"after the end", "a.hex", file({rec, end, rec}), NO_BASE_ADDRESS,
       "Malformed .hex file (line 3 follows the end record), cannot download.", 0},
      {"only beyond memory", "a.hex", hexFile(0x40000, bytes(16)), NO_BASE_ADDRESS,
       "Nothing to download in '%s': no data outside the parameter block.", 0},
      {"binary without base", "a.bin", records::binaryFile(data), NO_BASE_ADDRESS,
       "'%s' is a raw binary image and has no load address: give it with --base ADDR "
       "(hexadecimal, e.g. --base 0x8000); nothing was sent.",
       0},
      {"binary beyond memory", "a.Bin", records::binaryFile(data), 0x40000 - 39,
       "'%s' loaded at 0x3ffd9 goes beyond the controller's memory (0x0-0x3ffff): check the file "
       "and --base, cannot download.",
       0},
      {"empty binary", "a.bin", "", 0x8000,
       "Nothing to download in '%s': no data outside the parameter block.", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    bool loaded = loadAs(c.fileName, c.content, c.base);
    EXPECT_EQ(loaded, c.message.empty()) << log.text();
    if (c.message.empty()) {
      EXPECT_TRUE(holds(c.address, data));
      EXPECT_TRUE(erased(c.address + data.size(), FirmwareImage::MEMORY_SIZE));
      EXPECT_TRUE(erased(0, c.address));
      EXPECT_EQ(image.source(), path);
    } else {
      std::string message = c.message;
      if (message.find("%s") != std::string::npos)
        message.replace(message.find("%s"), 2, path);
      ASSERT_FALSE(log.lines().empty());
      EXPECT_EQ(log.lines().back(), message);
    }
  }
  // A record partly beyond memory is skipped with the S-record message.
  log.clear();
  ASSERT_TRUE(loadAs("c.hex", records::rawLines({rec, hexRecord(4, 0, {0, 3}),
                                                 hexRecord(0, 0xfff8, bytes(16)), end})));
  EXPECT_TRUE(log.hasLine("Line 3 (addresses 0x3fff8 to 0x40008) goes beyond our bounds of "
                          "memory (0x0-0x3ffff"))
      << log.text();
}

// The identity shown before an upload: format, ranges, blocks and the
// SHA-256 of the bytes written, block by block, parameter block excluded.
TEST_F(FirmwareLoad, SummaryNamesFormatRangesBlocksAndDigest) {
  ASSERT_TRUE(loadAs("s.mot", lines({dataRecord('2', 0x7100, bytes(16)),
                                     dataRecord('2', 0x8000, records::bytes(3, 'a')),
                                     dataRecord('2', 0x8010, bytes(2))})));
  log.clear();
  image.logSummary();
  // The digest is that of "abc" at 0x8000, 0xFF up to 0x8010, then 00 01:
  // the bytes written, computed independently.
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Image '" + path + "': Motorola S-records, 21 bytes.",
                "Addresses: 0x7100-0x710f, 0x8000-0x8002, 0x8010-0x8011.",
                "Blocks to erase and write: 0x8.",
                "The image's data for the parameter block (0x7000 to 0x7fff) is not written.",
                "SHA-256 of the bytes to write: "
                "9d447c671c0c9e7f990ec77dcc0ef6e9a2424e49e489f3affcc546cd54d22b46"}));
}

TEST(FirmwareReaderChoice, NameAndFirstLineChooseTheReaderAndBaseAddressesParse) {
  TempDir dir;
  EXPECT_EQ(chooseFirmwareFormat(dir.write("x.BiN", ":00000001FF\n").c_str()),
            FirmwareFormat::Binary);
  EXPECT_EQ(chooseFirmwareFormat(dir.write("x.mot", "\n \r\n:00000001FF\n").c_str()),
            FirmwareFormat::IntelHex);
  EXPECT_EQ(chooseFirmwareFormat(dir.write("y.hex", "\nS9030000FC\n").c_str()),
            FirmwareFormat::SRecord);
  EXPECT_EQ(chooseFirmwareFormat(dir.file("missing.hex").c_str()), FirmwareFormat::SRecord);
  EXPECT_FALSE(isBinaryFileName("bin"));
  long base = -5;
  EXPECT_TRUE(parseBaseAddress("0x8000", &base));
  EXPECT_EQ(base, 0x8000);
  EXPECT_TRUE(parseBaseAddress("3ffff", &base));
  EXPECT_EQ(base, 0x3ffff);
  for (const char *bad : {"", "0x", "40000", "0x8000 ", "-1", "8k", "000000008000"})
    EXPECT_FALSE(parseBaseAddress(bad, &base)) << bad;
}

// A file is opened once, both to choose its reader and to read it, so an
// image that can be read only once (a pipe, as "-u <(command)" gives) loads
// whole: a second open would find the bytes the first look took gone.
TEST_F(FirmwareLoad, AFileThatCanBeReadOnlyOnceLoadsWhole) {
  auto data = bytes(40, 0x30);
  for (const std::string &content :
       {records::hexFile(0x8000, data), lines({dataRecord('2', 0x8000, data), "S9030000FC"})}) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(ends[1]);
    std::string path = "/dev/fd/" + std::to_string(ends[0]);
    log.clear();
    EXPECT_TRUE(loadFile(path)) << log.text();
    close(ends[0]);
    EXPECT_TRUE(holds(0x8000, data));
    EXPECT_TRUE(erased(0x8000 + data.size(), FirmwareImage::MEMORY_SIZE));
  }
}

// Pairs of digits in either case decode and sum; decoding stops at the
// first pair holding anything else, characters beyond a byte included.
TEST(HexText, PairsDecodeSumAndStopAtTheFirstNonDigit) {
  struct Case {
    const char *text;
    size_t pairs, decoded;
    unsigned int sum;
  } cases[] = {
      {"00ff7Fa0", 4, 4, 0x0 + 0xff + 0x7f + 0xa0},
      {"0A0b0G00", 4, 2, 0x0a + 0x0b},
      {"0/09", 2, 0, 0},
      {"9:", 1, 0, 0},
      {"@0", 1, 0, 0},
      {"`f", 1, 0, 0},
      {"f\xc6", 1, 0, 0}, // 0xC6 is 'F' + 0x80
      {"12 3", 2, 1, 0x12},
  };
  for (const Case &c : cases) {
    unsigned char out[8] = {};
    unsigned int sum = 0;
    EXPECT_EQ(decodeHexPairs(c.text, c.pairs, out, &sum), c.decoded) << c.text;
    EXPECT_EQ(sum, c.sum) << c.text;
  }
  for (int c : {'0' + 256, 'a' - 256, 256 + 0xC6 - 0x80})
    EXPECT_EQ(hexValue(c), -1) << c;
  unsigned long value = 7;
  EXPECT_TRUE(parseHexNumber("DeadBeef", 8, &value));
  EXPECT_EQ(value, 0xdeadbeefUL);
  for (const char *bad : {"", "123456789", "12 ", "x1"})
    EXPECT_FALSE(parseHexNumber(bad, 8, &value)) << bad;
  EXPECT_EQ(value, 0xdeadbeefUL);
}
} // namespace

// SPDX-License-Identifier: MIT
// Tests of the parameter tables' layout against the 422-byte FLASH image, and
// of the image operations: word order, text buffers and change detection.
#include "FlashImage.h"
#include "ParamTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct NamedTable {
  const char *name;
  ParamEntry *table;
};

const NamedTable kTables[] = {
    {"robotTable", robotTable}, {"armTable", armTable}, {"powerTable", powerTable}};

int widthOf(const ParamEntry &entry) {
  switch (entry.kind) {
  case ParamKind::text:
  case ParamKind::bufferedText:
    return entry.size;
  case ParamKind::uint8:
    return 1;
  case ParamKind::int16:
  case ParamKind::uint16:
    return 2;
  }
  return -1;
}

int entryCount(const ParamEntry *table) {
  int n = 0;
  while (table[n].name[0] != '\0')
    ++n;
  return n;
}

std::string lower(const char *text) {
  std::string s(text);
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

void resetImages() {
  std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
  std::memset(referenceImage, 0, FLASH_IMAGE_SIZE);
}

TEST(ParamLayout, TablesHaveTheirEntryCounts) {
  EXPECT_EQ(entryCount(robotTable), 66);
  EXPECT_EQ(entryCount(armTable), 40);
  EXPECT_EQ(entryCount(powerTable), 24);
}

TEST(ParamLayout, EachUseOfTheTablesHasItsSubsetInItsOrder) {
  using Tables = std::vector<ParamEntry *>;
  auto listed = [](const ParamTableList &list) { return Tables(list.begin(), list.end()); };
  const struct {
    const char *use;
    Tables got;
    Tables expected;
  } cases[] = {
      {"all", listed(allTables()), {robotTable, armTable, powerTable}},
      {"files", listed(fileTables()), {robotTable, armTable}},
      {"command line", listed(commandLineTables()), {robotTable, armTable, powerTable}},
      {"shell", listed(shellTables()), {armTable, robotTable}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.got, c.expected) << c.use;
  EXPECT_EQ(paramTableCount, 3);
}

TEST(ParamLayout, EntriesLieInsideTheImageWithoutOverlapAndLeaveExactlyTheReservedBytes) {
  std::vector<std::string> owner(FLASH_IMAGE_SIZE);
  for (const NamedTable &t : kTables) {
    for (const ParamEntry *e = t.table; e->name[0] != '\0'; ++e) {
      int offset = static_cast<int>(e->value - flashImage);
      int width = widthOf(*e);
      ASSERT_GT(width, 0) << e->name;
      ASSERT_GE(offset, 0) << e->name;
      ASSERT_LE(offset + width, FLASH_IMAGE_SIZE) << e->name;
      for (int b = offset; b < offset + width; ++b) {
        EXPECT_TRUE(owner[b].empty())
            << "byte " << b << " belongs to " << owner[b] << " and " << e->name;
        owner[b] = e->name;
      }
    }
  }
  std::vector<int> reserved = {31,  63,  178, 183, 255, 265, 295, 307, 310, 317,
                               324, 331, 338, 345, 357, 360, 361, 381, 383};
  for (int b = 95; b <= 127; ++b)
    reserved.push_back(b);
  for (int b = 160; b <= 173; ++b)
    reserved.push_back(b);
  for (int b = 415; b <= 419; ++b)
    reserved.push_back(b);
  std::sort(reserved.begin(), reserved.end());

  std::vector<int> uncovered;
  for (int b = 0; b < FLASH_IMAGE_SIZE; ++b)
    if (owner[b].empty())
      uncovered.push_back(b);
  EXPECT_EQ(uncovered, reserved);
}

TEST(ParamLayout, KindsSizesAndBoundsAreConsistent) {
  for (const NamedTable &t : kTables) {
    for (const ParamEntry *e = t.table; e->name[0] != '\0'; ++e) {
      SCOPED_TRACE(e->name);
      EXPECT_EQ(e->textBuffer, nullptr);
      bool isText = e->kind == ParamKind::text || e->kind == ParamKind::bufferedText;
      if (isText) {
        EXPECT_GT(e->size, 0);
        EXPECT_EQ(e->minimum, -1);
        EXPECT_EQ(e->maximum, -1);
      } else {
        EXPECT_EQ(e->size, 0);
        if (e->kind != ParamKind::uint8) {
          // 16-bit values are bound to 16-bit variables: they must be aligned.
          EXPECT_EQ((e->value - flashImage) % 2, 0);
          EXPECT_EQ(reinterpret_cast<unsigned long>(e->value) % alignof(short), 0u);
        }
        if (e->minimum != -1 && e->maximum != -1) {
          EXPECT_LE(e->minimum, e->maximum);
        }
      }
      EXPECT_NE(e->description[0], '\0');
    }
  }
}

TEST(ParamLayout, NoKeywordRepeatsAcrossEntriesOrEqualsAShellWord) {
  const std::set<std::string> shellWords = {"?",    "h", "help",     "quit", "exit", "q",
                                            "save", "r", "restore",  "d",    "u",    "upload",
                                            "v",    "a", "download", "view", "arm"};
  std::map<std::string, std::string> seen; // keyword -> entry that owns it
  for (const NamedTable &t : kTables) {
    for (const ParamEntry *e = t.table; e->name[0] != '\0'; ++e) {
      std::string id = std::string(t.name) + "." + e->name;
      std::set<std::string> keys = {lower(e->name)};
      if (e->alias[0] != '\0')
        keys.insert(lower(e->alias)); // an alias equal to the name is one key
      for (const std::string &key : keys) {
        EXPECT_EQ(shellWords.count(key), 0u) << id << " uses shell word " << key;
        auto inserted = seen.emplace(key, id);
        EXPECT_TRUE(inserted.second)
            << key << " used by " << inserted.first->second << " and " << id;
      }
    }
  }
}

TEST(ParamLayout, KnownEntriesSitWhereTheControllerExpectsThem) {
  struct Expect {
    ParamEntry *table;
    int row;
    const char *name;
    int offset;
    ParamKind kind;
    int size;
  };
  const Expect expects[] = {
      {robotTable, 0, "Type", 0, ParamKind::text, 31},
      {robotTable, 2, "Name", 141, ParamKind::text, 19},
      {robotTable, 15, "SipCycle", 174, ParamKind::uint16, 0},
      {robotTable, 19, "Sonar1", 186, ParamKind::bufferedText, 16},
      {robotTable, 28, "IMUCal", 420, ParamKind::uint8, 0},
      {robotTable, 35, "uiChange", 421, ParamKind::uint8, 0},
      {robotTable, 65, "JoyRVelMax", 298, ParamKind::uint16, 0},
      {armTable, 2, "AutoPark", 352, ParamKind::int16, 0},
      {armTable, 39, "TicksPer90Deg6", 351, ParamKind::uint8, 0},
      {powerTable, 0, "TempThreshold", 403, ParamKind::uint8, 0},
      {powerTable, 23, "Aux24V", 372, ParamKind::uint8, 0},
  };
  for (const Expect &x : expects) {
    const ParamEntry &e = x.table[x.row];
    EXPECT_STREQ(e.name, x.name);
    EXPECT_EQ(e.value - flashImage, x.offset) << x.name;
    EXPECT_EQ(e.kind, x.kind) << x.name;
    EXPECT_EQ(e.size, x.size) << x.name;
  }
}

TEST(FlashImage, SwapWordOrderTouchesOnlySixteenBitValuesAndUndoesItself) {
  resetImages();
  for (int i = 0; i < FLASH_IMAGE_SIZE; ++i)
    flashImage[i] = static_cast<unsigned char>(i * 7 + 3);
  std::vector<unsigned char> before(flashImage, flashImage + FLASH_IMAGE_SIZE);

  std::vector<bool> wordStart(FLASH_IMAGE_SIZE, false), wordByte(FLASH_IMAGE_SIZE, false);
  for (const NamedTable &t : kTables)
    for (const ParamEntry *e = t.table; e->name[0] != '\0'; ++e)
      if (e->kind == ParamKind::int16 || e->kind == ParamKind::uint16) {
        int offset = static_cast<int>(e->value - flashImage);
        wordStart[offset] = true;
        wordByte[offset] = wordByte[offset + 1] = true;
      }

  for (const NamedTable &t : kTables)
    swapWordOrder(t.table);
  for (int i = 0; i < FLASH_IMAGE_SIZE; ++i) {
    if (wordStart[i]) {
      EXPECT_EQ(flashImage[i], before[i + 1]) << "byte " << i;
      EXPECT_EQ(flashImage[i + 1], before[i]) << "byte " << i + 1;
    } else if (!wordByte[i]) {
      EXPECT_EQ(flashImage[i], before[i]) << "byte " << i;
    }
  }

  for (const NamedTable &t : kTables)
    swapWordOrder(t.table);
  EXPECT_EQ(std::vector<unsigned char>(flashImage, flashImage + FLASH_IMAGE_SIZE), before);
}

TEST(FlashImage, SwapWordOrderPutsTheMostSignificantByteFirst) {
  resetImages();
  // Ticks/mm is a uint16 at offset 136; 200 in host order becomes 0, 200.
  unsigned short ticks = 200;
  std::memcpy(flashImage + 136, &ticks, sizeof ticks);
  swapWordOrder(robotTable);
  EXPECT_EQ(flashImage[136], 0);
  EXPECT_EQ(flashImage[137], 200);
  // A negative int16 (DriftFactor at 304) travels as two's complement.
  resetImages();
  short drift = -5;
  std::memcpy(flashImage + 304, &drift, sizeof drift);
  swapWordOrder(robotTable);
  EXPECT_EQ(flashImage[304], 0xFF);
  EXPECT_EQ(flashImage[305], 0xFB);
}

TEST(FlashImage, ImageChangedComparesEveryByteWithTheReference) {
  resetImages();
  EXPECT_FALSE(imageChanged());
  flashImage[FLASH_IMAGE_SIZE - 1] = 1;
  EXPECT_TRUE(imageChanged());
  referenceImage[FLASH_IMAGE_SIZE - 1] = 1;
  EXPECT_FALSE(imageChanged());
  flashImage[0] = 'x';
  EXPECT_TRUE(imageChanged());
  std::memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  EXPECT_FALSE(imageChanged());
}

TEST(FlashImage, TextBuffersCarryFullWidthValuesBetweenBufferAndImage) {
  resetImages();
  ParamEntry &sonar1 = robotTable[19];
  ASSERT_STREQ(sonar1.name, "Sonar1");
  ensureTextBuffer(&sonar1);
  ASSERT_NE(sonar1.textBuffer, nullptr);

  // 16 characters fill the 16 image bytes; the buffer keeps a terminator.
  std::memcpy(flashImage + 186, "1234567812345678", 16);
  flashImage[202] = 'Z'; // first byte of Sonar2 must stay outside Sonar1
  loadTextBuffers(robotTable);
  EXPECT_STREQ(sonar1.textBuffer, "1234567812345678");
  EXPECT_EQ(sonar1.textBuffer[16], '\0');

  std::memcpy(sonar1.textBuffer, "8765432187654321", 17);
  storeTextBuffers(robotTable);
  EXPECT_EQ(std::memcmp(flashImage + 186, "8765432187654321", 16), 0);
  EXPECT_EQ(flashImage[202], 'Z');

  // Entries without a buffer are passed over by both operations.
  ParamEntry &sonar2 = robotTable[20];
  ASSERT_EQ(sonar2.textBuffer, nullptr);
  loadTextBuffers(robotTable);
  storeTextBuffers(robotTable);
  EXPECT_EQ(flashImage[202], 'Z');
}

TEST(FlashImage, EnsureTextBufferStartsFromTheImageAndKeepsAnExistingBuffer) {
  resetImages();
  ParamEntry &rearIRs = robotTable[41];
  ASSERT_STREQ(rearIRs.name, "rearIRs");
  std::memcpy(flashImage + 394, "ABCDEFGH", 8);
  ensureTextBuffer(&rearIRs);
  ASSERT_NE(rearIRs.textBuffer, nullptr);
  EXPECT_STREQ(rearIRs.textBuffer, "ABCDEFGH");
  char *buffer = rearIRs.textBuffer;
  ensureTextBuffer(&rearIRs);
  EXPECT_EQ(rearIRs.textBuffer, buffer);
  // Integer and plain text entries never get a buffer.
  ensureTextBuffer(&robotTable[0]);
  ensureTextBuffer(&robotTable[4]);
  EXPECT_EQ(robotTable[0].textBuffer, nullptr);
  EXPECT_EQ(robotTable[4].textBuffer, nullptr);
}

} // namespace

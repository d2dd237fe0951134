// SPDX-License-Identifier: MIT
// Tests of showing, setting and listing parameters by keyword: range and
// integer checks, storage widths, text fields, value texts and the exact
// listing layout.
#include "ChangeList.h"
#include "FlashImage.h"
#include "LogCapture.h"
#include "ParamCommands.h"
#include "ParamFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

class ParamCommands : public ::testing::Test {
protected:
  void SetUp() override {
    std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
    std::memset(referenceImage, 0, FLASH_IMAGE_SIZE);
    for (ParamEntry *table : {robotTable, armTable, powerTable})
      for (ParamEntry *e = table; e->name[0] != '\0'; ++e)
        if (e->textBuffer != nullptr)
          std::memset(e->textBuffer, 0, e->size + 1u);
  }

  static unsigned short word(int offset) {
    unsigned short w;
    std::memcpy(&w, flashImage + offset, sizeof w);
    return w;
  }
  static void setWord(int offset, unsigned short w) {
    std::memcpy(flashImage + offset, &w, sizeof w);
  }
  static std::vector<unsigned char> image() {
    return std::vector<unsigned char>(flashImage, flashImage + FLASH_IMAGE_SIZE);
  }

  LogCapture log{ZyLog::Normal};
};

std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

TEST_F(ParamCommands, RefusedValuesNameTheEntryAndLeaveTheImageAlone) {
  setWord(174, 50);
  flashImage[179] = 2;
  std::vector<unsigned char> before = image();

  EXPECT_TRUE(setParameter(robotTable, "sip", "0"));
  EXPECT_TRUE(log.hasLine("Value for SipCycle must be an integer >= 1."));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "-1"));
  EXPECT_TRUE(log.hasLine("Value for HostBaud must be an integer >= 0."));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "+4"));
  EXPECT_TRUE(log.hasLine("Value for HostBaud must be an integer."));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "5"));
  EXPECT_TRUE(log.hasLine("Value for HostBaud must be an integer <= 4."));
  EXPECT_TRUE(setParameter(robotTable, "ticksmm", "201"));
  EXPECT_TRUE(log.hasLine("Value for Ticks/mm must be an integer <= 200."));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "4 "));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "1-"));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "0x1"));
  EXPECT_EQ(log.lines().size(), 8u);

  EXPECT_EQ(image(), before);
  EXPECT_EQ(referenceImage[179], 0);
}

TEST_F(ParamCommands, NumbersOutsideThirtyTwoBitsAreRefusedNotWrapped) {
  setWord(138, 1234);
  std::vector<unsigned char> before = image();
  for (const char *value :
       {"99999999999", "2147483648", "-2147483649", "999999999999999999999999999999"}) {
    log.clear();
    EXPECT_TRUE(setParameter(robotTable, "RevCount", value));
    EXPECT_TRUE(log.hasLine("Value for RevCount must be an integer.")) << value;
    EXPECT_EQ(image(), before) << value;
  }
  // The extremes of the 32-bit range still go through and keep their low
  // 16 bits on an entry without bounds.
  EXPECT_TRUE(setParameter(robotTable, "DriftFactor", "2147483647"));
  EXPECT_TRUE(log.hasLine("DriftFactor set to -1."));
  EXPECT_TRUE(setParameter(robotTable, "DriftFactor", "-2147483648"));
  EXPECT_TRUE(log.hasLine("DriftFactor set to 0."));
}

TEST_F(ParamCommands, IntegersAreCutToTheirStorageWidth) {
  EXPECT_TRUE(setParameter(armTable, "Home1", "300"));
  EXPECT_EQ(flashImage[311], 44);
  EXPECT_EQ(flashImage[310], 0);
  EXPECT_EQ(flashImage[312], 0);
  EXPECT_TRUE(log.hasLine("Home for joint 1 is 44."));

  EXPECT_TRUE(setParameter(robotTable, "RevCount", "70000"));
  EXPECT_EQ(word(138), 4464);
  EXPECT_TRUE(log.hasLine("Revcount set to 4464."));

  EXPECT_TRUE(setParameter(robotTable, "DriftFactor", "-5"));
  EXPECT_EQ(word(304), 0xFFFB);
  EXPECT_TRUE(log.hasLine("DriftFactor set to -5."));

  // A uint16 reads back without sign.
  EXPECT_TRUE(setParameter(robotTable, "WatchDog", "65535"));
  EXPECT_TRUE(log.hasLine("Client watchdog is 65535."));
}

TEST_F(ParamCommands, OnlyAStoredDifferenceCountsAsAChange) {
  EXPECT_FALSE(imageChanged());
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "0")); // same value as the controller's
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "9")); // refused
  EXPECT_TRUE(setParameter(robotTable, "Type", nullptr));
  EXPECT_FALSE(imageChanged());
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "2"));
  EXPECT_TRUE(imageChanged());
}

TEST_F(ParamCommands, ALoneMinusOrAnEmptyValueIsZero) {
  flashImage[179] = 3;
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "-"));
  EXPECT_EQ(flashImage[179], 0);
  EXPECT_TRUE(log.hasLine("HostBaud is 9600."));
  flashImage[179] = 3;
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", ""));
  EXPECT_EQ(flashImage[179], 0);
}

TEST_F(ParamCommands, ValueTextsAndMessagesAreShownExactly) {
  EXPECT_TRUE(setParameter(robotTable, "AuxBaud2", "3"));
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "3"));
  EXPECT_TRUE(setParameter(robotTable, "RevCount", "7"));
  EXPECT_TRUE(setParameter(robotTable, "FreeSpace", "12"));
  EXPECT_TRUE(setParameter(powerTable, "MotionLampPort", "0"));
  EXPECT_TRUE(setParameter(powerTable, "MotionLampPort", "5"));
  std::vector<std::string> expected = {"AuxBaud2 is 56700.",
                                       "HostBaud is 57600",
                                       "Revcount set to 7.",
                                       "Minimum % of free storage on the client (x 100) 12.",
                                       "The motion lamp port is not assigned.",
                                       "The motion lamp is on port 5."};
  EXPECT_EQ(log.lines(), expected);
}

TEST_F(ParamCommands, AnIntegerWithoutTextOrMessageShowsNothing) {
  // BattConv has texts for 0 and 1 only and an empty value message; 2 can
  // only come from the controller or a file.
  flashImage[140] = 2;
  EXPECT_TRUE(setParameter(robotTable, "BattConv", nullptr));
  EXPECT_TRUE(log.lines().empty());
  flashImage[140] = 1;
  EXPECT_TRUE(setParameter(robotTable, "battconv", nullptr));
  EXPECT_TRUE(log.hasLine("24V battery conversion factors for lead-acid batteries."));
}

TEST_F(ParamCommands, ShowingOnlyLogsTheCurrentValueAndTracesAtVerbose) {
  LogCapture verbose(ZyLog::Verbose);
  flashImage[179] = 4;
  std::vector<unsigned char> before = image();
  EXPECT_TRUE(setParameter(robotTable, "HOSTBAUD", nullptr));
  EXPECT_EQ(image(), before);
  std::vector<std::string> expected = {"Parsing command 'HOSTBAUD' with argument '(none)'",
                                       "HostBaud is 115200."};
  EXPECT_EQ(verbose.lines(), expected);
  verbose.clear();
  EXPECT_TRUE(setParameter(robotTable, "HostBaud", "1"));
  EXPECT_EQ(verbose.lines().front(), "Parsing command 'HostBaud' with argument '1'");
}

TEST_F(ParamCommands, KeywordsAndAliasesMatchInAnyCaseOnlyInTheirTable) {
  EXPECT_TRUE(setParameter(robotTable, "hostbaud", "1"));
  EXPECT_EQ(flashImage[179], 1);
  EXPECT_TRUE(setParameter(robotTable, "AUX1BAUD", "2"));
  EXPECT_EQ(flashImage[180], 2);
  EXPECT_TRUE(setParameter(armTable, "NUMJOINT", "6"));
  EXPECT_EQ(word(308), 6);
  EXPECT_TRUE(setParameter(powerTable, "TEMPMAX", "60"));
  EXPECT_EQ(flashImage[403], 60);

  std::vector<unsigned char> before = image();
  EXPECT_FALSE(setParameter(robotTable, "Home1", "1"));
  EXPECT_FALSE(setParameter(armTable, "HostBaud", "1"));
  EXPECT_FALSE(setParameter(robotTable, "TempThreshold", "1"));
  EXPECT_FALSE(setParameter(robotTable, "NoSuchKeyword", "1"));
  // The empty alias of "Name" is no keyword.
  EXPECT_FALSE(setParameter(robotTable, "", "1"));
  EXPECT_EQ(image(), before);
}

TEST_F(ParamCommands, TextValuesFillTheirFieldWithoutSpillingOver) {
  flashImage[31] = 0xAA; // reserved byte after Type
  std::memset(flashImage + 141, 'x', 19);
  const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
  ASSERT_EQ(forty.size(), 40u);

  EXPECT_TRUE(setParameter(robotTable, "ptype", forty.c_str()));
  EXPECT_EQ(std::memcmp(flashImage, forty.data(), 31), 0);
  EXPECT_EQ(flashImage[31], 0xAA);
  EXPECT_TRUE(log.hasLine("Robot type set to " + forty.substr(0, 31)));
  EXPECT_TRUE(log.hasLine("Value for Type cut to its first 31 characters (40 given)."));

  EXPECT_TRUE(setParameter(robotTable, "Name", "Robo"));
  EXPECT_EQ(std::memcmp(flashImage + 141, "Robo", 4), 0);
  for (int i = 145; i < 160; ++i)
    EXPECT_EQ(flashImage[i], 0) << i;
  EXPECT_TRUE(log.hasLine("Your robot's name is Robo"));

  testing::internal::CaptureStdout();
  listParameters(robotTable, 0, 1);
  std::vector<std::string> lines = splitLines(testing::internal::GetCapturedStdout());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "Type                         " + forty.substr(0, 31));
}

TEST_F(ParamCommands, TextsAParameterFileCannotCarryAreRefused) {
  const std::string refusal = "refused: a text may not hold ';', '#', a tab or line break, or a "
                              "backslash before a blank or at its end.";
  ASSERT_TRUE(setParameter(robotTable, "Name", "keep"));
  ASSERT_TRUE(setParameter(robotTable, "Sonar1", "1234"));
  std::vector<unsigned char> before = image();
  for (const char *bad : {"Ro#bot", "a;b", "#", "a\\ b", "tail\\", "tab\tbed", "two\nlines"}) {
    for (const char *keyword : {"Name", "Sonar1"}) {
      log.clear();
      EXPECT_TRUE(setParameter(robotTable, keyword, bad)) << keyword << " " << bad;
      EXPECT_TRUE(log.hasLine(std::string("Value for ") + keyword + " " + refusal))
          << keyword << " " << bad;
      EXPECT_EQ(image(), before) << keyword << " " << bad;
    }
  }
  // A backslash elsewhere, double quotes and blanks are ordinary characters.
  log.clear();
  EXPECT_TRUE(setParameter(robotTable, "Name", " a\\b \"c\"  "));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(flashImage + 141)), " a\\b \"c\"  ");
  EXPECT_FALSE(log.contains("refused"));
}

TEST_F(ParamCommands, BufferedTextGoesThroughItsBufferIntoTheImage) {
  std::memset(flashImage + 186, 'x', 16);
  EXPECT_TRUE(setParameter(robotTable, "Sonar1", "12345678"));
  ParamEntry &sonar1 = robotTable[19];
  ASSERT_NE(sonar1.textBuffer, nullptr);
  EXPECT_STREQ(sonar1.textBuffer, "12345678");
  EXPECT_EQ(std::memcmp(flashImage + 186, "12345678\0\0\0\0\0\0\0\0", 16), 0);
  // The message ends in ": ", and one more blank precedes the value.
  EXPECT_TRUE(log.hasLine("Your robot's first sonar array pings in this order:  12345678"));

  EXPECT_TRUE(setParameter(robotTable, "Sonar1", "1234567812345678ZZ"));
  EXPECT_EQ(std::memcmp(flashImage + 186, "1234567812345678", 16), 0);
  EXPECT_EQ(flashImage[202], 0);
  EXPECT_STREQ(sonar1.textBuffer, "1234567812345678");

  // Showing copies the buffer into the image again.
  std::memset(flashImage + 186, 0, 16);
  log.clear();
  EXPECT_TRUE(setParameter(robotTable, "sonar1", nullptr));
  EXPECT_EQ(std::memcmp(flashImage + 186, "1234567812345678", 16), 0);
  EXPECT_TRUE(log.hasLine("Your robot's first sonar array pings in this order:  1234567812345678"));
}

TEST_F(ParamCommands, ListingHasTheExactLayout) {
  std::memcpy(flashImage + 0, "Marlock", 7);
  std::memcpy(flashImage + 32, "M3", 2);
  std::memcpy(flashImage + 64, "ABC-1", 5);
  setWord(136, 128);
  setWord(378, static_cast<unsigned short>(-3));

  testing::internal::CaptureStdout();
  int next = listParameters(robotTable, 0, 5);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(next, 6);
  EXPECT_EQ(out, "Keyword and description                                Value\n"
                 "------------------------------------------------------------\n"
                 "Type                                                 Marlock\n"
                 "Subtype                                                   M3\n"
                 "Name                                                        \n"
                 "Serial Number                                          ABC-1\n"
                 "Ticks/mm (max 200)                                       128\n"
                 "FreeSpace                                                 -3\n"
                 "\n");
}

TEST_F(ParamCommands, ListingPagesHoldTwentyOneRows) {
  auto rowsOf = [](const std::string &out) {
    std::vector<std::string> lines = splitLines(out);
    // header, dashes, rows, empty line
    return std::vector<std::string>(lines.begin() + 2, lines.end() - 1);
  };

  testing::internal::CaptureStdout();
  EXPECT_EQ(listParameters(armTable, 0, 20), 21);
  std::vector<std::string> page1 = rowsOf(testing::internal::GetCapturedStdout());
  ASSERT_EQ(page1.size(), 21u);
  EXPECT_EQ(page1.front().rfind("armPort 0=no arm", 0), 0u);
  EXPECT_EQ(page1.back().rfind("Max5 ", 0), 0u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(listParameters(armTable, 21, 20), 0);
  std::vector<std::string> page2 = rowsOf(testing::internal::GetCapturedStdout());
  ASSERT_EQ(page2.size(), 19u);
  EXPECT_EQ(page2.front().rfind("Max6 ", 0), 0u);
  EXPECT_EQ(page2.back().rfind("TicksPer90Deg6 ", 0), 0u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(listParameters(robotTable, 0, 0), 0);
  EXPECT_EQ(rowsOf(testing::internal::GetCapturedStdout()).size(), 66u);

  // A page that ends exactly on the last row returns 0 too, and a start
  // past the end lists nothing.
  testing::internal::CaptureStdout();
  EXPECT_EQ(listParameters(powerTable, 3, 20), 0);
  EXPECT_EQ(rowsOf(testing::internal::GetCapturedStdout()).size(), 21u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(listParameters(powerTable, 500, 20), 0);
  EXPECT_EQ(rowsOf(testing::internal::GetCapturedStdout()).size(), 0u);
}

} // namespace

TEST_F(ParamCommands, RefusalsSayWhyAndChangesAreListedInTableOrder) {
  const struct {
    const char *keyword;
    const char *value;
    ParamRefusal refusal;
  } cases[] = {{"HostBaud", "9", ParamRefusal::outOfRange},
               {"HostBaud", "x", ParamRefusal::notInteger},
               {"Name", "a\nb", ParamRefusal::notStorable},
               {"Name", "ThisNameIsFarTooLongForIt", ParamRefusal::textCut},
               {"HostBaud", "4", ParamRefusal::none},
               {"Name", "R2", ParamRefusal::none}};
  for (const auto &c : cases) {
    ParamRefusal refusal = ParamRefusal::textCut;
    EXPECT_TRUE(setParameter(robotTable, c.keyword, c.value, &refusal)) << c.keyword;
    EXPECT_EQ(refusal, c.refusal) << c.keyword << " " << c.value;
  }
  EXPECT_STREQ(paramRefusalName(ParamRefusal::outOfRange), "out of range");
  std::vector<ParamChange> changes = pendingChanges();
  ASSERT_EQ(changes.size(), 2u);
  // Name comes before HostBaud in the robot table.
  EXPECT_EQ(changeLine(changes[0]), "Name: '' -> 'R2'");
  EXPECT_EQ(changes[0].table, "robot");
  EXPECT_EQ(changeLine(changes[1]), "HostBaud: 0 -> 4");
  // Text from a controller or a file shows escaped.
  ParamChange planted = changes[0];
  planted.before = "evil\x1b[2J";
  EXPECT_EQ(changeLine(planted), "Name: 'evil\\x1b[2J' -> 'R2'");
  EXPECT_EQ(changingHeading(2), "Changing 2 parameters:");
  EXPECT_EQ(changingHeading(1), "Changing 1 parameter:");
  EXPECT_TRUE(isIdentityKeyword("sernum"));
  EXPECT_FALSE(isIdentityKeyword("HostBaud"));
  // The command line's misspelt keywords get the nearest one.
  EXPECT_EQ(nearestKeyword(commandLineTables(), "HostBuad"), "HostBaud");
  EXPECT_EQ(nearestKeyword(commandLineTables(), "Zq"), "");
}

// SPDX-License-Identifier: MIT
// Tests of the parameter file binding: what the tables register with a
// configuration registry, the exact layout of a saved parameter file, and
// restoring files into the FLASH image with the registry's range and length
// rules.
#include "FlashImage.h"
#include "LogCapture.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "TempFiles.h"
#include "ZyConfig.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Pair {
  const char *keyword;
  const char *value;
};

// A plausible robot: every robot and arm parameter, in table order.
const Pair kSampleRobot[] = {
    {"Type", "Marlock"},
    {"SubType", "marlock3"},
    {"Name", "demo-bot"},
    {"SerNum", "MK3-0042"},
    {"Ticks/mm", "128"},
    {"FreeSpace", "10"},
    {"RevCount", "16570"},
    {"DriftFactor", "-12"},
    {"BattConv", "0"},
    {"LowBattery", "115"},
    {"ShutdownVolts", "105"},
    {"HostBaud", "0"},
    {"AuxBaud1", "0"},
    {"AuxBaud2", "4"},
    {"AuxBaud3", "0"},
    {"SipCycle", "100"},
    {"WatchDog", "5000"},
    {"SoundTog", "1"},
    {"SonarCycle", "40"},
    {"Sonar1", "12345678"},
    {"Sonar2", "87654321"},
    {"Sonar3", ""},
    {"Sonar4", ""},
    {"HasGyro", "2"},
    {"gyroCW", "1000"},
    {"GyroCCW", "1000"},
    {"GyroRateLimit", "30"},
    {"GyroRange", "0"},
    {"IMUCal", "0"},
    {"HasBrakes", "0"},
    {"Charger", "1"},
    {"ChargeThreshold", "300"},
    {"Gripper", "1"},
    {"Tcm2", "0"},
    {"LCD", "0"},
    {"uiChange", "1"},
    {"FrontBumps", "5"},
    {"RearBumps", "5"},
    {"InvertBumps", "0"},
    {"BumpStall", "0"},
    {"frontIRs", "12"},
    {"rearIRs", "34"},
    {"InvertIRs", "0"},
    {"StallVal", "400"},
    {"StallCount", "80"},
    {"PwmMax", "500"},
    {"RotVelTop", "360"},
    {"TransVelTop", "1500"},
    {"RotAccTop", "300"},
    {"TransAccTop", "2000"},
    {"RotVelMax", "300"},
    {"transVelMax", "1200"},
    {"RotAcc", "100"},
    {"RotDecel", "100"},
    {"RotKp", "40"},
    {"RotKv", "20"},
    {"RotKi", "0"},
    {"TransAcc", "300"},
    {"TransDecel", "300"},
    {"TransKp", "40"},
    {"TransKv", "30"},
    {"TransKi", "0"},
    {"Joystick", "0"},
    {"JoySafe", "0"},
    {"JoyVelMax", "300"},
    {"JoyRVelMax", "50"},
    {"armport", "1"},
    {"numjoints", "6"},
    {"AutoPark", "300"},
    {"GripperPark", "60"},
    {"Home1", "128"},
    {"Home2", "128"},
    {"Home3", "128"},
    {"Home4", "128"},
    {"Home5", "128"},
    {"Home6", "128"},
    {"Speed1", "30"},
    {"Speed2", "30"},
    {"Speed3", "30"},
    {"Speed4", "30"},
    {"Speed5", "30"},
    {"Speed6", "30"},
    {"Max1", "240"},
    {"Max2", "240"},
    {"Max3", "240"},
    {"Max4", "240"},
    {"Max5", "240"},
    {"Max6", "240"},
    {"Min1", "10"},
    {"Min2", "10"},
    {"Min3", "10"},
    {"Min4", "10"},
    {"Min5", "10"},
    {"Min6", "10"},
    {"Center1", "128"},
    {"Center2", "128"},
    {"Center3", "128"},
    {"Center4", "128"},
    {"Center5", "128"},
    {"Center6", "128"},
    {"TicksPer90Deg1", "50"},
    {"TicksPer90Deg2", "50"},
    {"TicksPer90Deg3", "50"},
    {"TicksPer90Deg4", "50"},
    {"TicksPer90Deg5", "50"},
    {"TicksPer90Deg6", "50"},
};

// The parameter file the registry writes for kSampleRobot: no section line,
// no blank lines, comments wrapped after column 79.
const char *const kSampleFile[] = {
    "Type Marlock             ; Type",
    "SubType marlock3         ; Subtype",
    "Name demo-bot            ; Name",
    "SerNum MK3-0042          ; Serial Number",
    "Ticks/mm 128             ; range [0, 200],  Ticks/mm (max 200)",
    "FreeSpace 10             ; range [0, 32767],  FreeSpace",
    "RevCount 16570           ; range [0, 65535],  RevCount",
    "DriftFactor -12          ; range [-32768, 32767],  DriftFactor",
    "BattConv 0               ; range [0, 1],  BattConv (0=12V, 1=24VDC)",
    "LowBattery 115           ; range [0, 32767],  LowBattery (1/10 volts)",
    "ShutdownVolts 105        ; range [0, 360],  ShutdownVolts (1/10 volts)",
    "HostBaud 0               ; range [0, 4],  HostBaud (0=9.6K, 1=19.2K, 2=38.4K",
    "                         ; 3=57.6K 4=115K)",
    "AuxBaud1 0               ; range [0, 4],  AuxBaud1 (0=9.6K, 1=19.2K, 2=38.4K",
    "                         ; 3=57.6K 4=115K)",
    "AuxBaud2 4               ; range [0, 4],  AuxBaud2 (0=9.6K, 1=19.2K, 2=38.4K",
    "                         ; 3=57.6K 4=115K)",
    "AuxBaud3 0               ; range [0, 4],  AuxBaud3 (0=9.6K, 1=19.2K, 2=38.4K",
    "                         ; 3=57.6K 4=115K)",
    "SipCycle 100             ; range [1, 1000],  SIP Cycle (in 1 ms increments)",
    "WatchDog 5000            ; range [0, 65535],  WatchDog (ms)",
    "SoundTog 1               ; range [0, 1],  SoundTog (0=mute buzzer, 1=sounds on)",
    "SonarCycle 40            ; range [1, 255],  SonarCycle (time in ms)",
    "Sonar1 12345678          ; Sonar1 (array ping sequence 1-8; 0=disable)",
    "Sonar2 87654321          ; Sonar2 (array ping sequence 1-8; 0=disable)",
    "Sonar3                   ; Sonar3 (array ping sequence 1-8; 0=disable)",
    "Sonar4                   ; Sonar4 (array ping sequence 1-8; 0=disable)",
    "HasGyro 2                ; range [0, 4],  HasGyro 1=AN client, 2=AN firmware,",
    "                         ; 3=SAG, 4=IMU)",
    "gyroCW 1000              ; range [1, 2000],  GyroCW calibration factor",
    "GyroCCW 1000             ; range [1, 2000],  GyroCCW calibration factor",
    "GyroRateLimit 30         ; range [0, 1000],  GyroRateLimit",
    "GyroRange 0              ; range [0, 3],  GyroRange (SPI only)",
    "                         ; 1=75/80,2=150/160,0|3=300/320",
    "IMUCal 0                 ; range [0, 1],  IMUCal (1=IMU precision calibration",
    "                         ; on startup",
    "HasBrakes 0              ; range [0, 1],  HasBrakes (0=no, 1=yes)",
    "Charger 1                ; range [0, 4],  Charger (1=M3/Greetron 2=X 3=Watchron",
    "                         ; 4=Haulmark)",
    "ChargeThreshold 300      ; range [0, 1023],  ChargeThreshold (Haulmark only)",
    "Gripper 1                ; range [0, 2],  Gripper (0=disabled, 1=Marlock,",
    "                         ; 2=Greetron)",
    "Tcm2 0                   ; range [0, 3],  TCM2 module (0=disabled, 1=Aux1,",
    "                         ; 2=Aux2 3=Aux3)",
    "LCD 0                    ; range [0, 3],  LCD (0=no LCD, 1=Aux1, 2=Aux2,",
    "                         ; 3=Aux3)",
    "uiChange 1               ; range [0, 1],  uiChange (0=some restrictions; 1=all",
    "                         ; options",
    "FrontBumps 5             ; range [0, 65535],  FrontBumps (# of segments)",
    "RearBumps 5              ; range [0, 65535],  RearBumps (# of segments)",
    "InvertBumps 0            ; range [0, 3],  InvertBumps (0=neither, 1=front,",
    "                         ; 2=rear, 3=both)",
    "BumpStall 0              ; range [0, 3],  BumpStall (0=both, 1=rear, 2=front,",
    "                         ; 3=disabled)",
    "frontIRs 12              ; FrontIRs Associate IR# with front bumper pos's:",
    "rearIRs 34               ; RearIRs Associate IR# with rear bumper pos's:",
    "InvertIRs 0              ; range [0, 3],  InvertIRs (0=neither, 1=front,",
    "                         ; 2=rear, 3=both)",
    "StallVal 400             ; range [0, 65535],  StallVal (0-500, never if >",
    "                         ; pwmmax)",
    "StallCount 80            ; range [0, 65535],  StallCount (10ms increments)",
    "PwmMax 500               ; range [0, 65535],  PwmMax (0-500)",
    "RotVelTop 360            ; range [0, 65535],  RotVelTop (deg/sec)",
    "TransVelTop 1500         ; range [0, 65535],  TransVelTop (mm/sec)",
    "RotAccTop 300            ; range [0, 65535],  RotAccTop (deg/sec/sec)",
    "TransAccTop 2000         ; range [0, 65535],  TransAccTop (mm/sec/sec)",
    "RotVelMax 300            ; range [0, 65535],  RotVelMax (deg/sec)",
    "transVelMax 1200         ; range [0, 65535],  TransVelMax (mm/sec)",
    "RotAcc 100               ; range [0, 65535],  RotAcc (deg/sec/sec)",
    "RotDecel 100             ; range [0, 65535],  RotDecel (deg/sec/sec)",
    "RotKp 40                 ; range [0, 65535],  RotKp",
    "RotKv 20                 ; range [0, 65535],  RotKv",
    "RotKi 0                  ; range [0, 65535],  RotKi",
    "TransAcc 300             ; range [0, 4000],  TransAcc (mm/sec/sec)",
    "TransDecel 300           ; range [0, 4000],  TransDecel (mm/sec/sec)",
    "TransKp 40               ; range [0, 65535],  TransKp",
    "TransKv 30               ; range [0, 65535],  TransKv",
    "TransKi 0                ; range [0, 65535],  TransKi",
    "Joystick 0               ; range [0, 1],  JoyStick Type 0=analog, 1=inductive",
    "JoySafe 0                ; range [0, 1],  JoySafe 0=SAFE, 1=UNSAFE",
    "JoyVelMax 300            ; range [0, 2200],  JoyVelMax (mm/sec)",
    "JoyRVelMax 50            ; range [0, 360],  JoyRVelMax (deg/sec)",
    "armport 1                ; range [0, 3],  armPort 0=no arm, 1=Aux1, 2=Aux2",
    "                         ; 3=Aux3",
    "numjoints 6              ; range [0, 65535],  NumJoints # of arm joints",
    "AutoPark 300             ; range [-32768, 32767],  AutoPark seconds",
    "GripperPark 60           ; range [-32768, 32767],  GripperPark seconds",
    "Home1 128                ; range [0, 255],  Home1",
    "Home2 128                ; range [0, 255],  Home2",
    "Home3 128                ; range [0, 255],  Home3",
    "Home4 128                ; range [0, 255],  Home4",
    "Home5 128                ; range [0, 255],  Home5",
    "Home6 128                ; range [0, 255],  Home6",
    "Speed1 30                ; range [0, 255],  Speed1",
    "Speed2 30                ; range [0, 255],  Speed2",
    "Speed3 30                ; range [0, 255],  Speed3",
    "Speed4 30                ; range [0, 255],  Speed4",
    "Speed5 30                ; range [0, 255],  Speed5",
    "Speed6 30                ; range [0, 255],  Speed6",
    "Max1 240                 ; range [0, 255],  Max1",
    "Max2 240                 ; range [0, 255],  Max2",
    "Max3 240                 ; range [0, 255],  Max3",
    "Max4 240                 ; range [0, 255],  Max4",
    "Max5 240                 ; range [0, 255],  Max5",
    "Max6 240                 ; range [0, 255],  Max6",
    "Min1 10                  ; range [0, 255],  Min1",
    "Min2 10                  ; range [0, 255],  Min2",
    "Min3 10                  ; range [0, 255],  Min3",
    "Min4 10                  ; range [0, 255],  Min4",
    "Min5 10                  ; range [0, 255],  Min5",
    "Min6 10                  ; range [0, 255],  Min6",
    "Center1 128              ; range [0, 255],  Center1",
    "Center2 128              ; range [0, 255],  Center2",
    "Center3 128              ; range [0, 255],  Center3",
    "Center4 128              ; range [0, 255],  Center4",
    "Center5 128              ; range [0, 255],  Center5",
    "Center6 128              ; range [0, 255],  Center6",
    "TicksPer90Deg1 50        ; range [0, 255],  TicksPer90Deg1",
    "TicksPer90Deg2 50        ; range [0, 255],  TicksPer90Deg2",
    "TicksPer90Deg3 50        ; range [0, 255],  TicksPer90Deg3",
    "TicksPer90Deg4 50        ; range [0, 255],  TicksPer90Deg4",
    "TicksPer90Deg5 50        ; range [0, 255],  TicksPer90Deg5",
    "TicksPer90Deg6 50        ; range [0, 255],  TicksPer90Deg6",
};

std::vector<std::string> readLines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

void writeText(const std::string &path, const std::string &text) {
  std::ofstream out(path);
  out << text;
}

class ParamFile : public ::testing::Test {
protected:
  void SetUp() override {
    std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
    std::memset(referenceImage, 0, FLASH_IMAGE_SIZE);
    for (ParamEntry *table : {robotTable, armTable, powerTable})
      for (ParamEntry *e = table; e->name[0] != '\0'; ++e)
        if (e->textBuffer != nullptr)
          std::memset(e->textBuffer, 0, e->size + 1u);
    registerTable(robotTable, &config);
    registerTable(armTable, &config);
  }

  std::string path(const char *name) { return dir + "/" + name; }

  // Sets every sample value; run it before any LogCapture of the test,
  // since its own capture ends by restoring the log to standard output.
  static void applySample() {
    LogCapture quiet(ZyLog::Terse);
    for (const Pair &p : kSampleRobot)
      ASSERT_TRUE(setParameter(robotTable, p.keyword, p.value) ||
                  setParameter(armTable, p.keyword, p.value))
          << p.keyword;
  }

  bool restore(const std::string &file) { return restoreParameterFile(file.c_str(), &config); }

  static void clearImage() {
    std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
    for (ParamEntry *table : {robotTable, armTable, powerTable})
      for (ParamEntry *e = table; e->name[0] != '\0'; ++e)
        if (e->textBuffer != nullptr)
          std::memset(e->textBuffer, 0, e->size + 1u);
  }

  static std::string field(int offset, int size) {
    const char *text = reinterpret_cast<const char *>(flashImage + offset);
    return std::string(text, strnlen(text, size));
  }

  static std::vector<unsigned char> image() {
    return std::vector<unsigned char>(flashImage, flashImage + FLASH_IMAGE_SIZE);
  }

  static unsigned short word(int offset) {
    unsigned short w;
    std::memcpy(&w, flashImage + offset, sizeof w);
    return w;
  }

  // Set up like the process-wide registry of the utility.
  ZyConfig config{"./", true, false, false, true};
  TempDir myTemp{"param_file_test"};
  std::string dir = myTemp.path();
};

TEST_F(ParamFile, RegistersEveryRobotAndArmEntryOnceInTableOrder) {
  ZyConfigSection *section = config.findSection("");
  ASSERT_NE(section, nullptr);
  std::vector<std::string> names;
  for (const ZyConfigArg &arg : *section->getParams())
    names.push_back(arg.getName());
  ASSERT_EQ(names.size(), 106u);
  EXPECT_EQ(names.front(), "Type");
  EXPECT_EQ(names[65], "JoyRVelMax");
  EXPECT_EQ(names[66], "armport");
  EXPECT_EQ(names.back(), "TicksPer90Deg6");

  // Registering again adds nothing; the powerTable is never registered.
  registerTable(robotTable, &config);
  EXPECT_EQ(section->getParams()->size(), 106u);
  EXPECT_EQ(config.findParam("", "TempThreshold"), nullptr);

  struct Expect {
    const char *name;
    ZyConfigArg::Type type;
    int minimum, maximum;
    size_t maxLength;
  };
  const Expect expects[] = {
      {"Type", ZyConfigArg::STRING, 0, 0, 31},
      {"Name", ZyConfigArg::STRING, 0, 0, 19},
      {"Sonar1", ZyConfigArg::STRING, 0, 0, 17},
      {"frontIRs", ZyConfigArg::STRING, 0, 0, 9},
      {"Ticks/mm", ZyConfigArg::INT, 0, 200, 0},
      {"DriftFactor", ZyConfigArg::INT, -32768, 32767, 0},
      {"RevCount", ZyConfigArg::INT, 0, 65535, 0},
      {"SipCycle", ZyConfigArg::INT, 1, 1000, 0},
      {"Home1", ZyConfigArg::INT, 0, 255, 0},
      {"AutoPark", ZyConfigArg::INT, -32768, 32767, 0},
  };
  for (const Expect &x : expects) {
    ZyConfigArg *arg = config.findParam("", x.name);
    ASSERT_NE(arg, nullptr) << x.name;
    EXPECT_EQ(arg->getType(), x.type) << x.name;
    EXPECT_EQ(arg->getPriority(), ZyConfigArg::NORMAL) << x.name;
    if (x.type == ZyConfigArg::INT) {
      EXPECT_EQ(arg->getMinInt(), x.minimum) << x.name;
      EXPECT_EQ(arg->getMaxInt(), x.maximum) << x.name;
    } else {
      EXPECT_EQ(arg->getMaxStrLen(), x.maxLength) << x.name;
    }
  }
  for (ParamEntry *e = robotTable; e->name[0] != '\0'; ++e)
    if (e->kind == ParamKind::bufferedText) {
      EXPECT_NE(e->textBuffer, nullptr) << e->name;
    }
}

TEST_F(ParamFile, WithoutARegistryTheTablesGoToTheLibraryRegistry) {
  registerTable(robotTable);
  registerTable(armTable);
  ZyConfig *global = Zyla::getConfig();
  ASSERT_NE(global, nullptr);
  ZyConfigSection *section = global->findSection("");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->getParams()->size(), 106u);
  ZyConfigArg *home1 = global->findParam("", "home1");
  ASSERT_NE(home1, nullptr);
  // Bound to the same image byte as the local registry's parameter.
  flashImage[311] = 99;
  EXPECT_EQ(home1->getInt(), 99);
  EXPECT_EQ(global->findParam("", "TempThreshold"), nullptr);
}

TEST_F(ParamFile, SavedFileOfAKnownImageHasItsExactLayout) {
  applySample();
  std::string file = path("known.rop");
  ASSERT_TRUE(config.writeFile(file.c_str(), false, nullptr, false));
  std::vector<std::string> lines = readLines(file);
  std::vector<std::string> expected(std::begin(kSampleFile), std::end(kSampleFile));
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
}

TEST_F(ParamFile, SavedFileRestoredIntoTheSameImageChangesNothing) {
  applySample();
  std::memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  std::string file = path("same.rop");
  ASSERT_TRUE(config.writeFile(file.c_str(), false, nullptr, false));
  EXPECT_TRUE(restore(file));
  EXPECT_FALSE(imageChanged());
}

TEST_F(ParamFile, SavedFileRebuildsEveryRobotAndArmValueOfAClearedImage) {
  applySample();
  std::vector<unsigned char> saved = image();
  std::string file = path("rebuild.rop");
  ASSERT_TRUE(config.writeFile(file.c_str(), false, nullptr, false));

  std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
  for (ParamEntry *e = robotTable; e->name[0] != '\0'; ++e)
    if (e->textBuffer != nullptr)
      std::memset(e->textBuffer, 0, e->size + 1u);
  flashImage[403] = 77; // TempThreshold: not in the file, must stay
  EXPECT_TRUE(restore(file));
  flashImage[403] = saved[403];
  EXPECT_EQ(image(), saved);
}

TEST_F(ParamFile, FullTextFieldIsSavedWithoutReadingIntoTheNextField) {
  applySample();
  const std::string full(31, 'F');
  {
    LogCapture quiet(ZyLog::Terse);
    ASSERT_TRUE(setParameter(robotTable, "Type", full.c_str()));
  }
  flashImage[31] = 'R'; // reserved byte right after the unterminated field
  const std::string file = path("full.rop");
  LogCapture log(ZyLog::Normal);
  ASSERT_TRUE(config.writeFile(file.c_str(), false, nullptr, false));
  std::vector<std::string> lines = readLines(file);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Type " + full + " ; Type");
  // A text that fills its whole field reads back: no warning, and the
  // restore leaves the reserved byte after the field alone.
  EXPECT_FALSE(log.contains("will not read back")) << log.text();
  std::memset(flashImage, 0, 31);
  EXPECT_TRUE(restore(file)) << log.text();
  EXPECT_EQ(std::string(reinterpret_cast<char *>(flashImage), 31), full);
  EXPECT_EQ(flashImage[31], 'R');
}

TEST_F(ParamFile, BlanksOfTextsAreEscapedAndReadBackExactly) {
  applySample();
  {
    LogCapture quiet(ZyLog::Terse);
    ASSERT_TRUE(setParameter(robotTable, "Name", "  two  blanks "));
    ASSERT_TRUE(setParameter(robotTable, "Sonar1", " 1 2 "));
    ASSERT_TRUE(setParameter(robotTable, "SerNum", "a\\b \"q\""));
  }
  std::vector<unsigned char> saved = image();
  const std::string file = path("blanks.rop");
  ASSERT_TRUE(config.writeFile(file.c_str(), false, nullptr, false));
  std::vector<std::string> lines = readLines(file);
  ASSERT_GE(lines.size(), 24u);
  EXPECT_EQ(lines[2], "Name \\ \\ two\\ \\ blanks\\  ; Name");
  EXPECT_EQ(lines[3], "SerNum a\\b \"q\"           ; Serial Number");
  EXPECT_EQ(lines[23], "Sonar1 \\ 1 2\\            ; Sonar1 (array ping sequence 1-8; 0=disable)");

  clearImage();
  EXPECT_TRUE(restore(file));
  EXPECT_EQ(image(), saved);
  EXPECT_EQ(field(141, 19), "  two  blanks ");
}

TEST_F(ParamFile, RestoreRefusesTextsTheFileCannotCarryBack) {
  applySample();
  LogCapture log(ZyLog::Normal);
  std::vector<unsigned char> before = image();
  const std::string file = path("refused.rop");
  // "a\\ b" reads as a text holding a backslash before a blank, "end\\" as
  // one ending in a backslash: neither could be written back as it is.
  writeText(file, "Name a\\\\ b\nSonar1 end\\\n");
  EXPECT_FALSE(restore(file));
  EXPECT_EQ(image(), before);
  const std::string rule = ": a text may not hold ';', '#', a tab or line break, or a backslash "
                           "before a blank or at its end.";
  EXPECT_TRUE(log.hasLine("ZyConfig: text 'a\\ b' for Name refused" + rule));
  EXPECT_TRUE(log.hasLine("ZyConfig: text 'end\\' for Sonar1 refused" + rule));
  EXPECT_TRUE(log.hasLine("## Last error on line 2 of file '" + file + "'"));
}

TEST_F(ParamFile, SavingAControllerTextTheFileCannotCarryWarnsNamingIt) {
  applySample();
  // As read from a controller: texts no keyword command would have stored.
  std::memcpy(flashImage + 141, "Ro#bot", 7);
  std::memcpy(robotTable[20].textBuffer, "1;2", 4);
  LogCapture log(ZyLog::Normal);
  const std::string file = path("warn.rop");
  ASSERT_TRUE(config.writeFile(file.c_str(), false, nullptr, false));
  const std::string rule = "(a text may not hold ';', '#', a tab or line break, or a backslash "
                           "before a blank or at its end); it will not read back as it is";
  EXPECT_TRUE(log.hasLine(
      "ZyConfig::writeFile: Name holds the text 'Ro#bot', which the file cannot carry " + rule));
  EXPECT_TRUE(log.hasLine(
      "ZyConfig::writeFile: Sonar2 holds the text '1;2', which the file cannot carry " + rule));
  EXPECT_EQ(std::count_if(log.lines().begin(), log.lines().end(),
                          [](const std::string &l) { return l.find("writeFile") != l.npos; }),
            2);
}

TEST_F(ParamFile, RestoreZeroFillsTextFieldsAfterTheValue) {
  applySample();
  {
    LogCapture quiet(ZyLog::Terse);
    ASSERT_TRUE(setParameter(robotTable, "Sonar1", "0123456789abcdef"));
    ASSERT_TRUE(setParameter(robotTable, "Name", "0123456789012345678"));
  }
  const std::string file = path("short.rop");
  writeText(file, "Sonar1 12\nName ab\n");
  EXPECT_TRUE(restore(file));
  EXPECT_EQ(std::memcmp(flashImage + 186, "12\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_EQ(std::memcmp(flashImage + 141, "ab\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 19), 0);
  EXPECT_EQ(std::memcmp(robotTable[19].textBuffer, "12\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 17), 0);
}

TEST_F(ParamFile, UnknownLinesAreReportedAndSavedAsWritten) {
  applySample();
  std::vector<unsigned char> before = image();
  const std::string file = path("unknown.rop");
  std::string text;
  for (int i = 0; i < 10; ++i)
    text += "; comment line\n";
  text += "\\ Name Evil\n";            // line 11: its keyword is a backslash
  text += "HostBuad 2\n";              // line 12: a misspelt keyword
  text += "\"Name x\" 1   2 # note\n"; // line 13: a quoted unknown keyword
  text += "Zorro 1\n";                 // line 14: nothing near it
  writeText(file, text);
  {
    LogCapture log(ZyLog::Normal);
    EXPECT_TRUE(restore(file));
    EXPECT_TRUE(log.hasLine("line 11: unknown keyword '\\', kept, not applied"));
    EXPECT_TRUE(
        log.hasLine("line 12: unknown keyword 'HostBuad' (did you mean 'HostBaud'?), kept, not "
                    "applied"));
    EXPECT_TRUE(log.hasLine("line 13: unknown keyword 'Name x' (did you mean 'Name'?), kept, not "
                            "applied"));
    EXPECT_TRUE(log.hasLine("line 14: unknown keyword 'Zorro', kept, not applied"));
  }
  EXPECT_EQ(image(), before);

  // Saved as written: restoring the saved file must not turn "\ Name Evil"
  // into a setting of Name, and saving again gives the same file.
  const std::string out = path("unknown-out.rop");
  ASSERT_TRUE(config.writeFile(out.c_str(), false, nullptr, false));
  std::vector<std::string> lines = readLines(out);
  ASSERT_GE(lines.size(), 4u);
  std::vector<std::string> tail(lines.end() - 4, lines.end());
  std::vector<std::string> expected = {"\\ Name Evil", "HostBuad 2", "\"Name x\" 1   2", "Zorro 1"};
  EXPECT_EQ(tail, expected);
  {
    LogCapture quiet(ZyLog::Terse);
    EXPECT_TRUE(restore(out));
  }
  EXPECT_EQ(field(141, 19), "demo-bot");
  const std::string again = path("unknown-again.rop");
  ASSERT_TRUE(config.writeFile(again.c_str(), false, nullptr, false));
  EXPECT_EQ(readLines(again), lines);
}

TEST_F(ParamFile, RestoreAppliesTheRegistryRangeAndLengthRules) {
  applySample();
  LogCapture log;
  std::vector<unsigned char> before = image();
  const std::string thirty(30, 'T');
  const std::string file = path("rules.rop");
  std::string text;
  text += "Ticks/mm 250\n";                      // above its maximum of 200
  text += "Home1 300\n";                         // beyond an unbounded uint8
  text += "Home2 255\n";                         // accepted
  text += "DriftFactor 32768\n";                 // beyond int16
  text += "AutoPark -32768\n";                   // accepted
  text += "RevCount -1\n";                       // below uint16
  text += "WatchDog 65535\n";                    // accepted
  text += "SipCycle 0\n";                        // below its minimum of 1
  text += "Type " + std::string(32, 'X') + "\n"; // 32 characters: refused
  text += "SubType " + thirty + "\n";            // 30 characters: accepted
  text += "Sonar1 ABCDEFGHIJKLMNOP\n";           // 16 characters fill the buffer
  text += "Sonar2 ABCDEFGHIJKLMNOPQ\n";          // 17 characters: refused
  text += "rearIRs 12345678\n";                  // 8 characters fill an 8-byte field
  text += "HostBaud x\n";                        // not an integer
  writeText(file, text);
  EXPECT_FALSE(restore(file));

  EXPECT_EQ(word(136), 128);                                // Ticks/mm unchanged
  EXPECT_EQ(flashImage[311], 128);                          // Home1 unchanged
  EXPECT_EQ(flashImage[312], 255);                          // Home2
  EXPECT_EQ(word(304), 0xFFF4);                             // DriftFactor still -12
  EXPECT_EQ(word(352), 0x8000);                             // AutoPark -32768
  EXPECT_EQ(word(138), 16570);                              // RevCount unchanged
  EXPECT_EQ(word(252), 65535);                              // WatchDog
  EXPECT_EQ(word(174), 100);                                // SipCycle unchanged
  EXPECT_EQ(flashImage[179], 0);                            // HostBaud unchanged
  EXPECT_EQ(std::memcmp(flashImage, before.data(), 31), 0); // Type unchanged
  EXPECT_EQ(std::memcmp(flashImage + 32, thirty.data(), 30), 0);
  EXPECT_EQ(flashImage[62], 0); // terminator inside the SubType field
  EXPECT_EQ(flashImage[63], 0); // reserved byte after it untouched

  // Sonar1 fills its 16 image bytes without terminator; Sonar2 is unchanged.
  EXPECT_STREQ(robotTable[19].textBuffer, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(std::memcmp(flashImage + 186, "ABCDEFGHIJKLMNOP", 16), 0);
  EXPECT_EQ(std::memcmp(flashImage + 202, "87654321\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_EQ(std::memcmp(flashImage + 394, "12345678", 8), 0);
  EXPECT_EQ(flashImage[402], 0); // InvertIRs after rearIRs untouched

  EXPECT_TRUE(log.hasLine("ZyConfigArg of Ticks/mm: setInt value 250 above range [0, 200]"));
  EXPECT_TRUE(log.hasLine("ZyConfigArg of Home1: setInt value 300 above range [0, 255]"));
  EXPECT_TRUE(log.hasLine(
      "ZyConfigArg of Type: setString called with argument 32 long, when max length is 31."));
  EXPECT_TRUE(log.hasLine("## Last error on line 1 of file '" + file + "'"));
  EXPECT_TRUE(log.hasLine("## Last error on line 14 of file '" + file + "'"));
}

TEST_F(ParamFile, PowerTableKeywordInAFileIsAnUnknownLine) {
  const std::string file = path("power.rop");
  writeText(file, "TempThreshold 50\nHostBaud 2\n");
  EXPECT_TRUE(restore(file));
  EXPECT_EQ(flashImage[403], 0);
  EXPECT_EQ(flashImage[179], 2);

  // Kept as an unknown line and written back verbatim after the parameters.
  const std::string out = path("power-out.rop");
  ASSERT_TRUE(config.writeFile(out.c_str(), false, nullptr, false));
  std::vector<std::string> lines = readLines(out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "TempThreshold 50");
}

TEST_F(ParamFile, UnknownSectionIsSavedAndItsKnownKeywordsSkipped) {
  const std::string file = path("section.rop");
  writeText(file, "HostBaud 2\n"
                  "Section Extras\n"
                  "HostBaud 4\n"
                  "Widget   on  the left\n");
  EXPECT_TRUE(restore(file));
  EXPECT_EQ(flashImage[179], 2);

  const std::string out = path("section-out.rop");
  ASSERT_TRUE(config.writeFile(out.c_str(), false, nullptr, false));
  std::vector<std::string> lines = readLines(out);
  ASSERT_GE(lines.size(), 3u);
  std::vector<std::string> tail(lines.end() - 3, lines.end());
  std::vector<std::string> expected = {"", "Section Extras", "Widget   on  the left"};
  EXPECT_EQ(tail, expected);
}

TEST_F(ParamFile, FilesThatCannotBeOpenedFailAndChangeNothing) {
  applySample();
  LogCapture log;
  std::vector<unsigned char> before = image();
  const std::string missing = dir + "/no-such.rop";
  EXPECT_FALSE(restore(missing));
  EXPECT_EQ(image(), before);
  EXPECT_TRUE(
      log.hasLine("ZyFileParser::parseFile: Could not open file " + missing + " to parse file."));

  const std::string unwritable = dir + "/no-such-dir/out.rop";
  EXPECT_FALSE(config.writeFile(unwritable.c_str(), false, nullptr, false));
  EXPECT_TRUE(log.hasLine("ZyConfig: Cannot open file '" + unwritable + "' for writing"));
}

TEST_F(ParamFile, ShippedSampleFileSavesBackByteForByte) {
  const std::string sample = std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop";
  EXPECT_TRUE(restore(sample));
  const std::string out = path("sample-out.rop");
  ASSERT_TRUE(config.writeFile(out.c_str(), false, nullptr, false));
  std::ifstream a(sample, std::ios::binary), b(out, std::ios::binary);
  std::string original((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
  std::string saved((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(original.empty());
  EXPECT_EQ(saved, original);
}

// Random images (numbers within their ranges, texts from every printable
// character and blanks) saved, restored into a cleared image and saved
// again: the second file equals the first and the image comes back byte for
// byte. Texts a file cannot carry must be refused by the keyword command.
TEST_F(ParamFile, RandomImagesSurviveSaveRestoreSave) {
  std::mt19937 random(20261207); // fixed seed: every run draws the same cases
  std::string everyPrintable;
  for (char c = ' '; c <= '~'; ++c)
    everyPrintable += c;
  const std::string carriedOften = everyPrintable + "    \\\\";
  auto pick = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  int refusedTexts = 0;
  int storedTexts = 0;
  std::map<std::string, int> fullTexts; // texts that filled their field, by keyword
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    clearImage();
    {
      LogCapture log(ZyLog::Normal);
      for (ParamEntry *table : {robotTable, armTable}) {
        for (ParamEntry *e = table; e->name[0] != '\0'; ++e) {
          std::string value;
          if (e->kind == ParamKind::text || e->kind == ParamKind::bufferedText) {
            // Most texts avoid ";" and "#" so that many are stored; some
            // draw from every printable character.
            const std::string &alphabet = pick(0, 3) == 0 ? everyPrintable : carriedOften;
            // Every length up to the field's size, and every fourth round
            // texts that fill their fields exactly, as the keyword command
            // stores them.
            int length = round % 4 == 3 ? e->size : pick(0, e->size);
            for (int i = 0; i < length; ++i) {
              char c = alphabet[pick(0, static_cast<int>(alphabet.size()) - 1)];
              value += c == ';' || c == '#' ? (pick(0, 1) ? c : 'x') : c;
            }
          } else {
            int widthLow = e->kind == ParamKind::int16 ? -32768 : 0;
            int widthHigh = e->kind == ParamKind::uint8   ? 255
                            : e->kind == ParamKind::int16 ? 32767
                                                          : 65535;
            value = std::to_string(pick(e->minimum == -1 ? widthLow : e->minimum,
                                        e->maximum == -1 ? widthHigh : e->maximum));
          }
          log.clear();
          ASSERT_TRUE(setParameter(table, e->name, value.c_str())) << e->name;
          bool refused = log.contains("Value for " + std::string(e->name) + " refused: ");
          bool carried = ZyConfig::textFileCanCarry(value.c_str());
          EXPECT_EQ(refused, !carried) << e->name << " '" << value << "'";
          EXPECT_FALSE(log.contains("must be an integer")) << e->name << " " << value;
          if (e->kind == ParamKind::text || e->kind == ParamKind::bufferedText) {
            ++(refused ? refusedTexts : storedTexts);
            if (!refused && value.size() == e->size)
              ++fullTexts[e->name];
          }
        }
      }
    }
    std::vector<unsigned char> original = image();
    const std::string first = path("random-1.rop");
    const std::string second = path("random-2.rop");
    {
      LogCapture log(ZyLog::Normal);
      ASSERT_TRUE(config.writeFile(first.c_str(), false, nullptr, false));
      EXPECT_FALSE(log.contains("will not read back")) << log.text();
      clearImage();
      EXPECT_TRUE(restore(first)) << log.text();
      EXPECT_FALSE(log.contains("unknown keyword")) << log.text();
    }
    EXPECT_EQ(image(), original);
    ASSERT_TRUE(config.writeFile(second.c_str(), false, nullptr, false));
    std::vector<std::string> firstLines = readLines(first);
    EXPECT_EQ(readLines(second), firstLines);
    ASSERT_EQ(firstLines.size(), std::size(kSampleFile));
    if (HasFailure())
      break;
  }
  // Both outcomes were drawn often enough for the test to mean something.
  EXPECT_GT(refusedTexts, 100);
  EXPECT_GT(storedTexts, 1000);
  // Every text field went round the file filled to its last byte.
  for (ParamEntry *table : {robotTable, armTable})
    for (ParamEntry *e = table; e->name[0] != '\0'; ++e)
      if (e->kind == ParamKind::text || e->kind == ParamKind::bufferedText) {
        EXPECT_GT(fullTexts[e->name], 0) << e->name;
      }
}

TEST_F(ParamFile, ShippedSampleFileIsTheKnownImage) {
  const std::string sample = std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop";
  std::vector<std::string> expected(std::begin(kSampleFile), std::end(kSampleFile));
  EXPECT_EQ(readLines(sample), expected);

  EXPECT_TRUE(restore(sample));
  std::vector<unsigned char> restored = image();
  std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
  applySample();
  EXPECT_EQ(restored, image());
}

} // namespace

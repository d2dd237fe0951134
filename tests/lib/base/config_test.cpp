// SPDX-License-Identifier: MIT
// Tests of the configuration registry: reading files into typed parameters
// with range and length checks and exact error texts, sections, saved
// unknown lines, duplicate names, process-file callbacks, command-line
// overrides, and the exact layout and failure reporting of writeFile.
#include "LogCapture.h"
#include "TempFiles.h"
#include "ZyArgumentBuilder.h"
#include "ZyArgumentParser.h"
#include "ZyConfig.h"
#include "ZySafeFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
// A scratch directory for the files of one test, removed afterwards.
class ConfigFiles : public ::testing::Test {
protected:
  std::string path(const std::string &name) { return myDir + name; }
  std::string write(const std::string &name, const std::string &text) {
    std::string full = path(name);
    std::ofstream(full) << text;
    return full;
  }
  static std::string read(const std::string &full) {
    std::ifstream in(full);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string written(ZyConfig &config, bool writePriorities = false) {
    std::string full = path("out.cfg");
    EXPECT_TRUE(config.writeFile(full.c_str(), false, nullptr, writePriorities));
    return read(full);
  }

  TempDir myTemp{"zyconfig_test"};
  std::string myDir = myTemp.path() + "/";
  char myError[512] = "";
};

// Records the calls of process-file callbacks.
struct CallRecorder {
  std::vector<std::string> calls;
  bool first() {
    calls.push_back("first");
    return false;
  }
  bool second() {
    calls.push_back("second");
    return true;
  }
  bool withError(char *buffer, size_t size) {
    calls.push_back("withError");
    if (buffer != nullptr)
      snprintf(buffer, size, "withError refused the file");
    return false;
  }
};

class RecordingConfig : public ZyConfig {
public:
  bool processFile() override {
    ownCalls++;
    return true;
  }
  int ownCalls = 0;
};
} // namespace

TEST_F(ConfigFiles, IntOutOfRangeFailsWithLineNumberAndKeepsValue) {
  LogCapture log;
  ZyConfig config;
  int type = 2;
  config.addParam(ZyConfigArg("LogType", &type, "the type", 0, 4));
  std::string file = write("a.cfg", "; comment line\nLogType 5\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 2: LogType value of 5 is above maximum of 4.");
  EXPECT_EQ(type, 2);
  EXPECT_TRUE(log.hasLine("ZyConfigArg of LogType: setInt value 5 above range [0, 4]"));

  file = write("b.cfg", "LogType -1\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 1: LogType value of -1 is below minimum of 0.");

  file = write("c.cfg", "LogType 3x\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 1: LogType is an integer parameter but was given non-integer "
                        "argument of '3x'");
  EXPECT_TRUE(log.hasLine("ZyConfig: parameter 'LogType' is an integer parameterbut was given "
                          "non-integer argument of '3x'"));
  // Beyond 32 bits is not an integer of this parameter, never a wrapped value.
  file = write("d.cfg", "LogType 4294967297\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(type, 2);

  file = write("e.cfg", "logtype 4 trailing words\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(type, 4);
  EXPECT_STREQ(myError, "");
}

TEST_F(ConfigFiles, ContinueOnErrorsReadsEveryLineAndKeepsTheFirstError) {
  LogCapture log;
  ZyConfig config;
  int a = 0, b = 0;
  config.addParam(ZyConfigArg("A", &a, "", 0, 10));
  config.addParam(ZyConfigArg("B", &b, "", 0, 10));
  std::string file = write("a.cfg", "A 11\nB 12\nA 3\nB 4\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_FALSE(config.parseFile(file.c_str(), true, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 1: A value of 11 is above maximum of 10.");
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
}

TEST_F(ConfigFiles, KeywordBeforeAnySectionIsLookedUpInTheUnnamedSectionOnly) {
  LogCapture log;
  ZyConfig config;
  int plain = 0, inSection = 0;
  config.addParam(ZyConfigArg("LogType", &plain, "", 0, 4));
  config.addParam(ZyConfigArg("LogType", &inSection, "", 0, 4), "LogConfig");
  EXPECT_TRUE(log.hasLine("Parameter LogType duplicated in section  and LogConfig"));
  std::string file = write("a.cfg", "LOGTYPE 3\nsection logconfig\nlogType 1\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(plain, 3);
  EXPECT_EQ(inSection, 1);

  // Once a section line has been matched, a duplicated name outside any
  // section is refused: the file comes from an older client.
  file = write("b.cfg", "LogType 2\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 1: logtype not in section, client needs an upgrade");
  EXPECT_TRUE(log.hasLine("logtype not in a section, client needs an upgrade"));
  EXPECT_EQ(plain, 3);

  // Only the first section's entry is written.
  config.setNoBlanksBetweenParams(true);
  EXPECT_EQ(written(config), "LogType 3                ; range [0, 4], \n"
                             "\n"
                             "Section LogConfig\n");
}

TEST_F(ConfigFiles, UnknownLinesAreSavedInTheirSectionAndWrittenBack) {
  LogCapture log;
  ZyConfig config(nullptr, true);
  int vel = 0;
  config.addParam(ZyConfigArg("MaxVel", &vel, "Top speed"), "Motion");
  std::string file = write("a.cfg", "Section Motion\nMaxVel 5\nFutureThing   1    2 ; note\n"
                                    "Section Mystery\nMaxVel 9\nOdd line\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(vel, 5);
  EXPECT_TRUE(log.hasLine("Skipping parameter maxvel because section broken"));
  const std::string expected = "Section Motion\n"
                               "MaxVel 5                 ; Top speed\n"
                               // kept as written, not as words joined again
                               "FutureThing   1    2\n"
                               "\n"
                               "Section Mystery\n"
                               "Odd line\n";
  EXPECT_EQ(written(config), expected);
  // Reading the same file again keeps one copy of each unknown line.
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(config.findSection("Motion")->getParams()->size(), 2u);
  EXPECT_EQ(written(config), expected);
}

TEST_F(ConfigFiles, UnknownLinesAndSectionsWithoutSavingOrFailingOnBadSection) {
  LogCapture log;
  ZyConfig ignoring(nullptr, true, false, false, false);
  int vel = 0;
  ignoring.addParam(ZyConfigArg("MaxVel", &vel, ""), "Motion");
  std::string file = write("a.cfg", "Stray 1\nSection Nowhere\nMaxVel 3\n");
  EXPECT_TRUE(ignoring.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_TRUE(log.hasLine("ZyConfig: Ignoring section 'Nowhere'"));
  EXPECT_EQ(vel, 0);
  EXPECT_EQ(written(ignoring), "Section Motion\nMaxVel 0                 ;\n");

  ZyConfig strict(nullptr, true, false, true, false);
  strict.addParam(ZyConfigArg("MaxVel", &vel, ""), "Motion");
  EXPECT_FALSE(strict.parseFile(file.c_str(), true, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 2: ZyConfig: Could not find section 'Nowhere'");
  EXPECT_TRUE(log.hasLine("ZyConfig: Could not find section 'Nowhere', failing"));
  EXPECT_EQ(vel, 0);
}

TEST_F(ConfigFiles, StringBufferOfEightTakesSevenCharacters) {
  LogCapture log;
  ZyConfig config;
  char name[8] = "old";
  config.addParam(ZyConfigArg("Name", name, "robot name", sizeof(name)));
  std::string file = write("a.cfg", "Name abcdefg\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(name, "abcdefg");
  file = write("b.cfg", "Name abcdefgh\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Line 1: Name could not be set to 'abcdefgh'.");
  EXPECT_STREQ(name, "abcdefg");
  EXPECT_TRUE(log.hasLine(
      "ZyConfigArg of Name: setString called with argument 8 long, when max length is 8."));

  // A shorter text zero-fills the rest of the buffer: the same value
  // always leaves the same bytes.
  file = write("e.cfg", "Name ab\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(std::string(name, sizeof(name)), std::string("ab\0\0\0\0\0\0", 8));

  // Words of a text value are joined by single blanks; a bare keyword
  // empties the text.
  file = write("c.cfg", "Name a   b\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(name, "a b");
  file = write("d.cfg", "Name\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_STREQ(name, "");

  ZyConfigArg arg("Name", name, "", sizeof(name));
  EXPECT_FALSE(arg.setString("12345678", myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Name string is 8 long when max length is 8.");
  EXPECT_TRUE(arg.setString("1234567", nullptr, 0, true));
  EXPECT_STREQ(name, "");
}

TEST_F(ConfigFiles, ValueMarkSeparatedByBlankOnceNameAndValueReachTheColumn) {
  ZyConfig config(nullptr, true);
  int v = 12;
  config.addParam(ZyConfigArg("ABCDEFGHIJKLMNOPQRSTUV", &v, "x")); // 22 + 1 + 2 = 25
  config.addParam(ZyConfigArg("ABCDEFGHIJKLMNOPQRST", &v, "y"));   // 23
  config.addParam(ZyConfigArg("ABCDEFGHIJKLMNOPQRSTUVWXYZ", &v));  // 29
  EXPECT_EQ(written(config), "ABCDEFGHIJKLMNOPQRSTUV 12 ; x\n"
                             "ABCDEFGHIJKLMNOPQRST 12  ; y\n"
                             "ABCDEFGHIJKLMNOPQRSTUVWXYZ 12 ;\n");
}

TEST_F(ConfigFiles, WritesEveryKindWithRangeTextsPrioritiesAndWrapping) {
  ZyConfig config;
  short s = -5;
  unsigned short us = 60000;
  unsigned char uc = 200;
  int onlyMax = 1;
  double d = 0.5, dMin = 2.5, dMax = -1;
  bool flag = true;
  char text[16] = "two words";
  config.addSection("Drive", "Settings of the drive system, which is described in more words than "
                             "fit on a single comment line of the file");
  config.addParam(ZyConfigArg("Short", &s, "", -32768, 32767), "Drive", ZyConfigArg::IMPORTANT);
  config.addParam(ZyConfigArg("UShort", &us, "", 10), "Drive");
  config.addParam(ZyConfigArg("UChar", &uc), "Drive");
  config.addParam(ZyConfigArg("OnlyMax", &onlyMax, "", INT_MIN, 7), "Drive");
  config.addParam(ZyConfigArg("Ratio", &d, "", 0, 1), "Drive");
  config.addParam(ZyConfigArg("Low", &dMin, "", 1.5), "Drive");
  config.addParam(ZyConfigArg("High", &dMax, "", -HUGE_VAL, 3), "Drive");
  config.addParam(ZyConfigArg("Flag", &flag), "Drive");
  config.addParam(ZyConfigArg("Two Words", text, "", sizeof(text)), "Drive");
  config.addComment("", "Drive");
  config.addComment("A remark", "Drive", ZyConfigArg::DETAILED);
  config.addParam(ZyConfigArg("Long", &onlyMax,
                              "A description long enough that it has to be wrapped onto a second "
                              "line and then onto a third line because it goes on and on"),
                  "Drive");
  config.setNoBlanksBetweenParams(true);
  EXPECT_EQ(written(config, true),
            "Section Drive\n"
            ";  Settings of the drive system, which is described in more words than fit on a\n"
            ";  single comment line of the file\n"
            "Short -5                 ; range [-32768, 32767], \n"
            "                         ; Priority: Important\n"
            "UShort 60000             ; minumum 10, \n"
            "                         ; Priority: Normal\n"
            "UChar 200                ;\n"
            "                         ; Priority: Normal\n"
            "OnlyMax 1                ; maximum 7, \n"
            "                         ; Priority: Normal\n"
            "Ratio 0.5                ; range [0, 1], \n"
            "                         ; Priority: Normal\n"
            "Low 2.5                  ; minimum 1.5, \n"
            "                         ; Priority: Normal\n"
            "High -1                  ; Maximum 3, \n"
            "                         ; Priority: Normal\n"
            "Flag true                ;\n"
            "                         ; Priority: Normal\n"
            "\"Two Words\" two words    ;\n"
            "                         ; Priority: Normal\n"
            "\n"
            "                         ;  A remark\n"
            "                         ; Priority: Detailed\n"
            "Long 1                   ; A description long enough that it has to be wrapped\n"
            "                         ; onto a second line and then onto a third line\n"
            "                         ; because it goes on and on\n"
            "                         ; Priority: Normal\n");
}

TEST_F(ConfigFiles, ReadsBackWhatItWrote) {
  short s = -300;
  unsigned short us = 65535;
  unsigned char uc = 255;
  double d = -2.25;
  bool flag = true;
  char text[16] = "two words";
  ZyConfig config;
  config.addParam(ZyConfigArg("S", &s, "", -1000, 1000));
  config.addParam(ZyConfigArg("US", &us));
  config.addParam(ZyConfigArg("UC", &uc));
  config.addParam(ZyConfigArg("D", &d, "", -10, 10));
  config.addParam(ZyConfigArg("F", &flag));
  config.addParam(ZyConfigArg("Quoted name", text, "", sizeof(text)), "Sec");
  std::string file = path("round.cfg");
  ASSERT_TRUE(config.writeFile(file.c_str()));
  s = 0, us = 0, uc = 0, d = 0, flag = false, text[0] = '\0';
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError))) << myError;
  EXPECT_EQ(s, -300);
  EXPECT_EQ(us, 65535);
  EXPECT_EQ(uc, 255);
  EXPECT_EQ(d, -2.25);
  EXPECT_TRUE(flag);
  EXPECT_STREQ(text, "two words");
}

TEST_F(ConfigFiles, DoublesAndTextsWithBlanksReadBackExactly) {
  const double values[] = {1234567, 0.1,  -2.25, 1e-300,   123456789.123456789,
                           1.0 / 3, -0.0, 5e22,  HUGE_VAL, -HUGE_VAL};
  const char *const texts[] = {"", " lead", "trail ", "in  side", "   ", "a\\b \"q\""};
  for (double value : values) {
    for (const char *text : texts) {
      double d = value;
      char buffer[16];
      snprintf(buffer, sizeof(buffer), "%s", text);
      ZyConfig config(nullptr, true);
      config.addParam(ZyConfigArg("D", &d));
      config.addParam(ZyConfigArg("T", buffer, "", sizeof(buffer)));
      std::string file = path("exact.cfg");
      LogCapture log;
      ASSERT_TRUE(config.writeFile(file.c_str()));
      EXPECT_FALSE(log.contains("will not read back")) << log.text();
      d = 42;
      memset(buffer, 'x', sizeof(buffer));
      EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)))
          << myError << "\n"
          << read(file);
      EXPECT_EQ(d, value) << read(file);
      EXPECT_STREQ(buffer, text) << read(file);
    }
  }
  double d = HUGE_VAL;
  char empty[4] = "";
  ZyConfig config(nullptr, true);
  config.addParam(ZyConfigArg("D", &d));
  config.addParam(ZyConfigArg("T", empty, "", sizeof(empty)));
  EXPECT_EQ(written(config), "D INF                    ;\n"
                             "T                        ;\n");
  d = -HUGE_VAL;
  EXPECT_EQ(written(config).substr(0, 7), "D -INF ");
  d = 1234567;
  EXPECT_EQ(written(config).substr(0, 10), "D 1234567 ");
  d = 0.5; // values "%g" carried keep their form
  EXPECT_EQ(written(config).substr(0, 6), "D 0.5 ");
}

TEST_F(ConfigFiles, NarrowIntegersRefuseValuesTheirWidthCannotHold) {
  LogCapture log;
  unsigned char uc = 7;
  short s = 7;
  ZyConfigArg ucArg("Home1", &uc);
  EXPECT_FALSE(ucArg.setInt(300, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Home1 value of 300 is above maximum of 255.");
  EXPECT_EQ(uc, 7);
  ZyConfigArg sArg("Gain", &s, "", INT_MIN, INT_MAX);
  sArg.setIgnoreBounds(true);
  EXPECT_FALSE(sArg.setInt(-40000, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Gain value of -40000 is below minimum of -32768.");
  EXPECT_TRUE(sArg.setInt(-32768));
  EXPECT_EQ(sArg.getInt(), -32768);

  // Bounds are ignored when the registry says so, within the width.
  ZyConfig loose(nullptr, false, true);
  int v = 0;
  loose.addParam(ZyConfigArg("V", &v, "", 0, 4));
  std::string file = write("a.cfg", "V 99\n");
  EXPECT_TRUE(loose.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(v, 99);
}

TEST(ConfigArg, SixteenBitValuesAtOddOffsetsOfAByteImage) {
  alignas(8) unsigned char image[8] = {0};
  short *gain = reinterpret_cast<short *>(image + 1);
  unsigned short *limit = reinterpret_cast<unsigned short *>(image + 5);
  ZyConfigArg gainArg("Gain", gain, "", -32768, 32767);
  ZyConfigArg limitArg("Limit", limit, "", 0, 65535);
  EXPECT_TRUE(gainArg.setInt(-2));
  EXPECT_TRUE(limitArg.setInt(65534));
  EXPECT_EQ(gainArg.getInt(), -2);
  EXPECT_EQ(limitArg.getInt(), 65534);
  EXPECT_EQ(image[0], 0);
  EXPECT_EQ(image[3], 0);
  EXPECT_EQ(image[4], 0);
  EXPECT_EQ(image[7], 0);
}

TEST(ConfigArg, SettersReportTheirFailuresExactly) {
  LogCapture log;
  char error[256] = "";
  double d = 1;
  ZyConfigArg dArg("Ratio", &d, "", 0, 1);
  EXPECT_FALSE(dArg.setDouble(1.5, error, sizeof(error)));
  EXPECT_STREQ(error, "Ratio value of 1.5 is above maximum of 1.");
  EXPECT_TRUE(log.hasLine("ZyConfigArg of Ratio: setDouble value 1.5 above range [0, 1]"));
  EXPECT_FALSE(dArg.setDouble(-0.5, error, sizeof(error)));
  EXPECT_STREQ(error, "Ratio value of -0.5 is below minimum of 0.");
  EXPECT_FALSE(dArg.setDouble(NAN));
  EXPECT_EQ(d, 1);

  ZyConfigArg nullInt("N", static_cast<int *>(nullptr), "", 0, 4);
  EXPECT_FALSE(nullInt.setInt(1, error, sizeof(error)));
  EXPECT_STREQ(error, "N pointer is NULL.");
  EXPECT_TRUE(log.hasLine("ZyConfigArg of N: setInt called with NULL int pointer."));
  ZyConfigArg nullBool("B", static_cast<bool *>(nullptr));
  EXPECT_FALSE(nullBool.setBool(true, error, sizeof(error)));
  EXPECT_TRUE(log.hasLine("ZyConfigArg of B: setBool called with NULL pointer."));

  ZyConfigArg bad("text", ZyConfigArg::INT);
  EXPECT_EQ(bad.getType(), ZyConfigArg::INVALID);
  EXPECT_TRUE(log.hasLine("ZyConfigArg: Bad type 1 for 'text'"));
}

TEST(ConfigArg, CopiesOfOwnedValuesAreIndependent) {
  ZyConfigArg original("Count", 5, "", 0, 10);
  ZyConfigArg copy(original);
  EXPECT_TRUE(copy.setInt(8));
  EXPECT_EQ(original.getInt(), 5);
  EXPECT_EQ(copy.getInt(), 8);
  ZyConfigArg assigned("X", true);
  assigned = copy;
  EXPECT_TRUE(assigned.setInt(9));
  EXPECT_EQ(copy.getInt(), 8);
  EXPECT_EQ(assigned.getInt(), 9);

  char own[] = "initial";
  ZyConfigArg ownText("Own", own, "", 0);
  EXPECT_TRUE(ownText.setString("a text far longer than the initial buffer"));
  EXPECT_STREQ(own, "initial");
  EXPECT_EQ(ownText.getStringValue(), "a text far longer than the initial buffer");
}

TEST_F(ConfigFiles, ProcessFileCallbackFailureStopsLaterOnesUnlessContinuing) {
  LogCapture log;
  RecordingConfig config;
  CallRecorder rec;
  ZyRetFunctorC<bool, CallRecorder> first(&rec, &CallRecorder::first);
  ZyRetFunctorC<bool, CallRecorder> second(&rec, &CallRecorder::second);
  ZyRetFunctor2C<bool, CallRecorder, char *, size_t> withError(&rec, &CallRecorder::withError);
  first.setName("first");
  config.addProcessFileCB(&second, 10);
  config.addProcessFileCB(&first, 20);
  config.addProcessFileCB(&withError, 10);
  std::string file = write("a.cfg", "\n");

  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(rec.calls, std::vector<std::string>({"first"}));
  EXPECT_EQ(config.ownCalls, 0);
  EXPECT_TRUE(log.hasLine("ZyConfig: Failed, stopping because the 'first' process file callback "
                          "failed"));
  EXPECT_TRUE(log.hasLine("ZyConfig: Done processing file, ret is false"));

  rec.calls.clear();
  log.clear();
  EXPECT_FALSE(config.parseFile(file.c_str(), true, false, myError, sizeof(myError)));
  EXPECT_EQ(rec.calls, std::vector<std::string>({"first", "second", "withError"}));
  EXPECT_EQ(config.ownCalls, 1);
  EXPECT_STREQ(myError, "withError refused the file");
  EXPECT_TRUE(log.hasLine("ZyConfig: Processing unnamed functor (10)"));
  EXPECT_TRUE(
      log.hasLine("ZyConfig: Failed but continuing, an unnamed process file callback failed"));

  config.remProcessFileCB(&first);
  config.remProcessFileCB(&withError);
  rec.calls.clear();
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(rec.calls, std::vector<std::string>({"second"}));
  EXPECT_EQ(config.ownCalls, 2);
}

TEST_F(ConfigFiles, ArgumentParserOptionsOverrideFileValues) {
  LogCapture log;
  ZyConfig config;
  int level = 0;
  char name[16] = "";
  config.addParam(ZyConfigArg("Level", &level, "", 0, 5), "Log");
  config.addParam(ZyConfigArg("Name", name, "", sizeof(name)));
  ZyArgumentBuilder builder;
  builder.add("prog -level 4 keep --Name x");
  ZyArgumentParser parser(&builder);
  config.useArgumentParser(&parser);
  std::string file = write("a.cfg", "Section Log\nLevel 2\n");
  EXPECT_TRUE(config.parseFile(file.c_str(), false, false, myError, sizeof(myError))) << myError;
  EXPECT_EQ(level, 4);
  ASSERT_EQ(builder.getArgc(), 4u);
  EXPECT_STREQ(builder.getArg(1), "keep");
  EXPECT_STREQ(builder.getArg(2), "--Name"); // only one dash is taken off

  ZyArgumentBuilder bad;
  bad.add("-Level 9 -Name y");
  ZyArgumentParser badParser(&bad);
  EXPECT_FALSE(config.parseArgumentParser(&badParser, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "Level value of 9 is above maximum of 5.");
  EXPECT_EQ(bad.getArgc(), 2u); // stopped before -Name
  EXPECT_TRUE(config.parseArgumentParser(&badParser, false, myError, sizeof(myError)));
  EXPECT_STREQ(name, "y");
}

TEST_F(ConfigFiles, RelativeNamesUseTheBaseDirectory) {
  ZyConfig config(myDir.c_str(), true);
  int v = 3;
  config.addParam(ZyConfigArg("V", &v));
  path("rel.cfg");
  ASSERT_TRUE(config.writeFile("rel.cfg"));
  EXPECT_EQ(read(myDir + "rel.cfg"), "V 3                      ;\n");
  v = 0;
  EXPECT_TRUE(config.parseFile("rel.cfg"));
  EXPECT_EQ(v, 3);
  EXPECT_STREQ(config.getFileName(), "rel.cfg");
  // Appending adds a second copy after the first.
  ASSERT_TRUE(config.writeFile("rel.cfg", true));
  EXPECT_EQ(read(myDir + "rel.cfg"), "V 3                      ;\nV 3                      ;\n");
}

TEST_F(ConfigFiles, FilesThatCannotBeOpenedFail) {
  LogCapture log;
  ZyConfig config;
  int v = 1;
  config.addParam(ZyConfigArg("V", &v));
  EXPECT_FALSE(config.parseFile("/nonexistent/dir/x.rop", false, false, myError, sizeof(myError)));
  EXPECT_STREQ(myError, "cannot open file /nonexistent/dir/x.rop");
  EXPECT_FALSE(config.writeFile("/nonexistent/dir/x.rop"));
  EXPECT_TRUE(log.hasLine("ZyConfig: Cannot open file '/nonexistent/dir/x.rop' for writing"));
}

TEST(ConfigWrite, FullDiskIsReportedAsFailure) {
  LogCapture log;
  ZyConfig config;
  int v = 1;
  config.addParam(ZyConfigArg("V", &v, "a value"));
  ASSERT_EQ(access("/dev/full", W_OK), 0);
  EXPECT_FALSE(config.writeFile("/dev/full"));
  EXPECT_TRUE(log.contains("ZyConfig: Could not write file '/dev/full' completely"));
}

namespace {
std::string fileText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
// Names in a directory other than "." and "..".
std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  if (d != nullptr)
    closedir(d);
  return names;
}
} // namespace

TEST(ConfigWrite, AFailedSaveKeepsTheOldFileAndASaveKeepsItsPermissions) {
  char dirName[] = "/tmp/config_save_XXXXXX";
  ASSERT_NE(mkdtemp(dirName), nullptr);
  const std::string dir = dirName;
  const std::string path = dir + "/params.rop";
  const std::string old = std::string(6000, ';') + "\n";
  {
    std::ofstream out(path);
    out << old;
  }
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);

  // Under a file-size limit smaller than the new file, the write fails and
  // the process lives on (SIGXFSZ ignored, as the tool does).
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    ZyConfig config;
    std::vector<int> values(400, 7);
    for (size_t i = 0; i < values.size(); i++)
      config.addParam(ZyConfigArg(("Value" + std::to_string(i)).c_str(), &values[i],
                                  "a value with a description long enough to fill the file"));
    _exit(config.writeFile(path.c_str()) ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(fileText(path), old) << "the old file is untouched";
  EXPECT_EQ(entries(dir), std::vector<std::string>{"params.rop"}) << "no temporary file left";

  // A save that succeeds replaces the file whole and keeps its mode.
  LogCapture log;
  ZyConfig config;
  int v = 5;
  config.addParam(ZyConfigArg("V", &v, "a value"));
  ASSERT_TRUE(config.writeFile(path.c_str()));
  EXPECT_EQ(fileText(path).find(';'), fileText(path).find("; a value"));
  EXPECT_NE(fileText(path).find("V 5"), std::string::npos) << fileText(path);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(dir), std::vector<std::string>{"params.rop"});

  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST_F(ConfigFiles, FullTextBufferWithoutTerminatorIsWrittenWithinItsBounds) {
  // The buffer is allocated on its own so that the sanitizer catches any
  // read past its last byte.
  std::unique_ptr<char[]> heap(new char[8]);
  memset(heap.get(), 'A', 8);
  struct {
    char field[8];
    char neighbour[8];
  } image;
  memset(image.field, 'B', sizeof(image.field));
  memcpy(image.neighbour, "ZZZZZZZ", 8);

  ZyConfig config(nullptr, true);
  config.addParam(ZyConfigArg("Heap", heap.get(), "", 8));
  config.addParam(ZyConfigArg("Field", image.field, "", sizeof(image.field)));
  EXPECT_EQ(written(config), "Heap AAAAAAAA            ;\n"
                             "Field BBBBBBBB           ;\n");
}

TEST_F(ConfigFiles, LineBreakInATextValueDoesNotStartAnotherLine) {
  char name[24] = "abc\nLevel 4";
  int level = 1;
  ZyConfig config(nullptr, true);
  config.addParam(ZyConfigArg("Name", name, "", sizeof(name)));
  config.addParam(ZyConfigArg("Level", &level, "", 0, 9));
  EXPECT_EQ(written(config), "Name abc                 ;\n"
                             "Level 1                  ; range [0, 9], \n");
}

TEST_F(ConfigFiles, FunctorParametersAreSetPerLineAndListedByTheirCallback) {
  LogCapture log;
  struct Holder {
    std::vector<std::string> seen;
    std::list<ZyArgumentBuilder *> out;
    bool set(ZyArgumentBuilder *b) {
      seen.emplace_back(b->getWholeText());
      return std::string(b->getWholeText()) != "bad";
    }
    const std::list<ZyArgumentBuilder *> *get() { return &out; }
  } h;
  ZyRetFunctor1C<bool, Holder, ZyArgumentBuilder *> setCB(&h, &Holder::set);
  ZyRetFunctorC<const std::list<ZyArgumentBuilder *> *, Holder> getCB(&h, &Holder::get);
  ZyConfig config;
  config.addParam(ZyConfigArg("Map", &setCB, &getCB, "Map entries"));
  std::string file = write("a.cfg", "Map 1 2\nmap 3\nMap bad\n");
  EXPECT_FALSE(config.parseFile(file.c_str(), true, false, myError, sizeof(myError)));
  EXPECT_EQ(h.seen, std::vector<std::string>({"1 2", "3", "bad"}));
  EXPECT_STREQ(myError, "Line 3: Map could not be set to 'bad'.");

  ZyArgumentBuilder a, b;
  a.add("1 2");
  b.add("3");
  h.out = {&a, &b};
  EXPECT_EQ(written(config), ";  Map entries\nMap 1 2\nMap 3\n");
}

TEST_F(ConfigFiles, EveryReadStartsOutsideAnySection) {
  LogCapture log;
  ZyConfig config;
  int plain = 0, inner = 0;
  config.addParam(ZyConfigArg("Plain", &plain, "", 0, 9));
  config.addParam(ZyConfigArg("Inner", &inner, "", 0, 9), "Inner");
  std::string stops = write("a.cfg", "Section Inner\nInner 99\n");
  EXPECT_FALSE(config.parseFile(stops.c_str(), false, false, myError, sizeof(myError)));
  std::string next = write("b.cfg", "Plain 4\n");
  EXPECT_TRUE(config.parseFile(next.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(plain, 4);
}

TEST_F(ConfigFiles, CopiesReadIntoTheSameVariablesWithTheirOwnKeywords) {
  int v = 0;
  auto original = std::make_unique<ZyConfig>();
  original->addParam(ZyConfigArg("V", &v, "", 0, 9), "S");
  ZyConfig copy(*original);
  original.reset();
  std::string file = write("a.cfg", "Section S\nV 6\n");
  EXPECT_TRUE(copy.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(v, 6);
  ZyConfig assigned;
  assigned = copy;
  file = write("b.cfg", "Section S\nV 7\n");
  EXPECT_TRUE(assigned.parseFile(file.c_str(), false, false, myError, sizeof(myError)));
  EXPECT_EQ(v, 7);
}

// The safe-file writer behind every save: a new name is never put over an
// existing file, permissions asked for are kept, nothing is left behind.
TEST(SafeFile, CreateNewNeverReplacesAndLeavesNoTemporaryFile) {
  TempDir dir;
  std::string kept = dir.write("kept.blk", "old");
  ZySafeFile file;
  EXPECT_FALSE(file.open(kept, ZySafeFile::CreateNew));
  EXPECT_EQ(errno, EEXIST);

  std::string fresh = dir.file("fresh.blk");
  ZySafeFile raced;
  ASSERT_TRUE(raced.open(fresh, ZySafeFile::CreateNew, 0600));
  ASSERT_TRUE(raced.write("new", 3));
  dir.write("fresh.blk", "appeared meanwhile");
  EXPECT_FALSE(raced.commit());
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(fileText(fresh), "appeared meanwhile");
  EXPECT_EQ(fileText(kept), "old");

  std::string made = dir.file("made.blk");
  ZySafeFile writer;
  ASSERT_TRUE(writer.open(made, ZySafeFile::CreateNew, 0600));
  ASSERT_TRUE(writer.write("abc", 3));
  ASSERT_TRUE(writer.commit());
  struct stat info;
  ASSERT_EQ(stat(made.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(fileText(made), "abc");
  EXPECT_EQ(entries(dir.path()).size(), 3u);
}

// The exact form: the target's own name, never what a link there points
// to; the mode it is told; pipes written in place without waiting.
TEST(SafeFile, ExactFormNeverFollowsALinkAndSetsTheModeItIsTold) {
  enum Kind { Absent, Plain, Link, DanglingLink, Folder, Pipe };
  struct Case {
    const char *what;
    Kind kind;
    ZySafeFile::Mode mode;
    int error; // 0: written
  } cases[] = {
      {"new file", Absent, ZySafeFile::Replace, 0},
      {"file of mode 0666 replaced", Plain, ZySafeFile::Replace, 0},
      {"link replaced, its target untouched", Link, ZySafeFile::Replace, 0},
      {"link appended to: nothing read through it", Link, ZySafeFile::Append, 0},
      {"dangling link replaced", DanglingLink, ZySafeFile::Replace, 0},
      {"link counts as a file that exists", Link, ZySafeFile::CreateNew, EEXIST},
      {"dangling link too", DanglingLink, ZySafeFile::CreateNew, EEXIST},
      {"folder", Folder, ZySafeFile::Replace, EISDIR},
      {"pipe nobody reads: no wait", Pipe, ZySafeFile::Replace, ENXIO},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string victim = dir.write("victim", "secret");
    std::string target = dir.file("target");
    if (c.kind == Plain) {
      dir.write("target", "old");
      chmod(target.c_str(), 0666);
    }
    int made = 0;
    if (c.kind == Link)
      made = symlink(victim.c_str(), target.c_str());
    else if (c.kind == DanglingLink)
      made = symlink(dir.file("made-through-link").c_str(), target.c_str());
    else if (c.kind == Folder)
      dir.subdir("target");
    else if (c.kind == Pipe)
      made = mkfifo(target.c_str(), 0600);
    ASSERT_EQ(made, 0);
    ZySafeFile file;
    bool opened = file.openExact(target, c.mode, 0600);
    bool written = opened && file.write("new", 3) && file.commit();
    EXPECT_EQ(written, c.error == 0) << strerror(errno);
    if (c.error != 0) {
      EXPECT_EQ(errno, c.error);
    } else {
      struct stat info;
      ASSERT_EQ(lstat(target.c_str(), &info), 0);
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(info.st_mode & 07777, 0600u);
      EXPECT_EQ(fileText(target), "new");
    }
    EXPECT_EQ(fileText(victim), "secret");
    EXPECT_NE(access(dir.file("made-through-link").c_str(), F_OK), 0);
    for (const std::string &name : entries(dir.path()))
      EXPECT_NE(name[0], '.') << "temporary file left: " << name;
  }

  // A pipe that is read is written in place and stays a pipe.
  TempDir dir;
  std::string pipe = dir.file("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ZySafeFile file;
  ASSERT_TRUE(file.openExact(pipe, ZySafeFile::Replace, 0600)) << strerror(errno);
  ASSERT_TRUE(file.write("through", 7));
  ASSERT_TRUE(file.commit());
  char got[16] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 7);
  EXPECT_STREQ(got, "through");
  close(reader);
  struct stat info;
  ASSERT_EQ(lstat(pipe.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

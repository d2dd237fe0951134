// SPDX-License-Identifier: MIT
// Tests of ZyArgumentParser: option matching and removal over argc/argv and
// over a builder, typed option values and their messages, default argument
// sources, the help/unhandled report, and over-long or over-many arguments.
#include "LogCapture.h"
#include "TempFiles.h"
#include "ZyArgumentBuilder.h"
#include "ZyArgumentParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
using Args = std::vector<std::string>;

// An argc/argv pair like main's, with storage that outlives the parser.
class CommandLine {
public:
  explicit CommandLine(const Args &args) : myTexts(args) {
    for (auto &t : myTexts)
      myArgv.push_back(&t[0]);
    myArgv.push_back(nullptr);
    myArgc = static_cast<int>(args.size());
  }
  int *argc() { return &myArgc; }
  char **argv() { return myArgv.data(); }
  Args remaining() const {
    Args out;
    for (int i = 0; i < myArgc; ++i)
      out.emplace_back(myArgv[static_cast<size_t>(i)]);
    return out;
  }

private:
  std::vector<std::string> myTexts;
  std::vector<char *> myArgv;
  int myArgc;
};

Args listOf(const ZyArgumentParser &p) {
  Args out;
  for (size_t i = 0; i < p.getArgc(); ++i)
    out.emplace_back(p.getArg(i));
  return out;
}

// Removes the registered default sources before and after each test that
// registers its own.
class DefaultSources : public ::testing::Test {
protected:
  void SetUp() override { ZyArgumentParser::clearDefaultSources(); }
  void TearDown() override {
    ZyArgumentParser::clearDefaultSources();
    for (const auto &v : myVars)
      unsetenv(v.c_str());
  }
  std::string writeFile(const std::string &content) {
    return myTemp.write("args" + std::to_string(++myFiles), content);
  }
  void setVar(const std::string &name, const std::string &value) {
    setenv(name.c_str(), value.c_str(), 1);
    myVars.push_back(name);
  }
  TempDir myTemp{"zyargs"};
  int myFiles = 0;
  std::vector<std::string> myVars;
};
} // namespace

TEST(ZyArgumentParserTake, LastOccurrenceWinsAndAllAreRemoved) {
  ZyArgumentBuilder b(512);
  b.add("prog -robotBaud 9600 x -robotBaud 19200 y");
  ZyArgumentParser p(&b);
  EXPECT_STREQ(p.takeParameterArgument("-robotBaud", false), "19200");
  EXPECT_EQ(listOf(p), (Args{"prog", "x", "y"}));
}

TEST(ZyArgumentParserTake, ReturnFirstLeavesLaterOccurrences) {
  ZyArgumentBuilder b(512);
  b.add("prog -robotBaud 9600 x -robotBaud 19200 y");
  ZyArgumentParser p(&b);
  EXPECT_STREQ(p.takeParameterArgument("-robotBaud", true), "9600");
  EXPECT_EQ(listOf(p), (Args{"prog", "x", "-robotBaud", "19200", "y"}));
}

TEST(ZyArgumentParserTake, MatchesOneExtraDashAndAnyCaseOnly) {
  ZyArgumentBuilder b(512);
  b.add("prog --ROBOTPORT a robotPort b ---robotPort c -RobotPort d");
  ZyArgumentParser p(&b);
  EXPECT_STREQ(p.takeParameterArgument("-robotPort", false), "d");
  EXPECT_EQ(listOf(p), (Args{"prog", "robotPort", "b", "---robotPort", "c"}));
}

TEST(ZyArgumentParserTake, ValueIsTakenEvenWithDashAndLastOptionGivesEmptyText) {
  ZyArgumentBuilder b(512);
  b.add("prog -rp -n -s");
  ZyArgumentParser p(&b);
  EXPECT_STREQ(p.takeParameterArgument("-rp", false), "-n");
  const char *last = p.takeParameterArgument("-s", false);
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(last, "");
  EXPECT_EQ(p.takeParameterArgument("-absent", false), nullptr);
  EXPECT_EQ(listOf(p), (Args{"prog"}));
}

TEST(ZyArgumentParserTake, TakeArgumentRemovesFirstOccurrenceOnly) {
  CommandLine cl({"prog", "-b", "-B", "--b"});
  ZyArgumentParser p(cl.argc(), cl.argv());
  EXPECT_TRUE(p.takeArgument("-%s", "b"));
  EXPECT_EQ(cl.remaining(), (Args{"prog", "-B", "--b"}));
  EXPECT_EQ(*cl.argc(), 3);
  EXPECT_EQ(cl.argv()[3], nullptr);
  EXPECT_FALSE(p.takeArgument("-q"));
}

TEST(ZyArgumentParserTake, ValuesFromArgvStayValidAfterRemoval) {
  CommandLine cl({"prog", "-rp", "/dev/ttyUSB0", "kw", "5"});
  ZyArgumentParser p(cl.argc(), cl.argv());
  const char *port = nullptr;
  bool set = false;
  EXPECT_TRUE(p.takeParameterArgumentString("-rp", &port, &set));
  EXPECT_TRUE(set);
  EXPECT_STREQ(port, "/dev/ttyUSB0");
  EXPECT_EQ(cl.remaining(), (Args{"prog", "kw", "5"}));
  EXPECT_EQ(p.getArgc(), 3u);
  EXPECT_EQ(p.getArg(3), nullptr);
}

TEST(ZyArgumentParserTake, FormattedNameTooLongIsRefused) {
  LogCapture log;
  std::string longName(2047, 'o');
  CommandLine cl({"prog", "-" + longName, "v"});
  ZyArgumentParser p(cl.argc(), cl.argv());
  // "-" plus 2047 characters does not fit the name buffer: not looked for,
  // never cut to a shorter name that could match another option.
  EXPECT_FALSE(p.takeArgument("-%s", longName.c_str()));
  EXPECT_EQ(p.takeParameterArgumentFormatted("-%s", longName.c_str()), nullptr);
  EXPECT_TRUE(log.contains("does not fit in 2047 characters"));
  EXPECT_EQ(p.getArgc(), 3u);
  // The same name unformatted is found.
  EXPECT_STREQ(p.takeParameterArgument(("-" + longName).c_str(), false), "v");
}

TEST(ZyArgumentParserTyped, AbsentLeavesDestinationAndClearsWasSet) {
  ZyArgumentBuilder b(512);
  b.add("prog");
  ZyArgumentParser p(&b);
  const char *s = "keep";
  int i = 7;
  bool flag = true;
  bool set = true;
  EXPECT_TRUE(p.takeParameterArgumentString("-rp", &s, &set));
  EXPECT_FALSE(set);
  EXPECT_STREQ(s, "keep");
  set = true;
  EXPECT_TRUE(p.takeParameterArgumentInteger("-rb", &i, &set));
  EXPECT_FALSE(set);
  EXPECT_EQ(i, 7);
  EXPECT_TRUE(p.takeParameterArgumentBool("-f", &flag, nullptr));
  EXPECT_TRUE(flag);
}

TEST(ZyArgumentParserTyped, OptionStandingLastIsAnError) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add("prog -robotPort");
  ZyArgumentParser p(&b);
  const char *port = "unchanged";
  bool set = false;
  EXPECT_FALSE(p.takeParameterArgumentString("-robotPort", &port, &set));
  EXPECT_TRUE(log.hasLine("No argument given to -robotPort"));
  EXPECT_STREQ(port, "unchanged");
  EXPECT_FALSE(set);
  EXPECT_EQ(p.getArgc(), 1u);

  b.add("-rb");
  int baud = 5;
  EXPECT_FALSE(p.takeParameterArgumentInteger("-rb", &baud, nullptr));
  EXPECT_TRUE(log.hasLine("No argument given to -rb"));
  EXPECT_EQ(baud, 5);
}

TEST(ZyArgumentParserTyped, Bool) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add("prog -a TRUE -b 0 -c yes -d False");
  ZyArgumentParser p(&b);
  bool v = false;
  bool set = false;
  EXPECT_TRUE(p.takeParameterArgumentBool("-a", &v, &set));
  EXPECT_TRUE(v);
  EXPECT_TRUE(set);
  EXPECT_TRUE(p.takeParameterArgumentBool("-b", &v, &set));
  EXPECT_FALSE(v);
  v = true;
  set = false;
  EXPECT_FALSE(p.takeParameterArgumentBool("-c", &v, &set));
  EXPECT_TRUE(v);
  EXPECT_FALSE(set);
  EXPECT_TRUE(
      log.hasLine("Argument given to -c was not a bool (true, false, 1, 0) it was the string yes"));
  EXPECT_TRUE(p.takeParameterArgumentBoolFormatted(&v, &set, "-%c", 'd'));
  EXPECT_FALSE(v);
  EXPECT_EQ(p.getArgc(), 1u);
}

TEST(ZyArgumentParserTyped, Integer) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add("prog -rb 96ab -rb2 -42 -big 99999999999 -f 12");
  ZyArgumentParser p(&b);
  int v = 1;
  bool set = false;
  EXPECT_FALSE(p.takeParameterArgumentInteger("-rb", &v, &set));
  EXPECT_TRUE(log.hasLine("Argument given to -rb was not an integer it was the string 96ab"));
  EXPECT_EQ(v, 1);
  EXPECT_FALSE(set);
  EXPECT_TRUE(p.takeParameterArgumentInteger("-rb2", &v, &set));
  EXPECT_EQ(v, -42);
  EXPECT_TRUE(set);
  EXPECT_FALSE(p.takeParameterArgumentInteger("-big", &v, nullptr));
  EXPECT_TRUE(
      log.hasLine("Argument given to -big was not an integer it was the string 99999999999"));
  EXPECT_EQ(v, -42);
  EXPECT_TRUE(p.takeParameterArgumentIntegerFormatted(&v, nullptr, "-%s", "f"));
  EXPECT_EQ(v, 12);
}

TEST(ZyArgumentParserTyped, StringFormattedAndReturnFirst) {
  ZyArgumentBuilder b(512);
  b.add("prog -port1 a -port1 b");
  ZyArgumentParser p(&b);
  const char *s = nullptr;
  EXPECT_TRUE(p.takeParameterArgumentString("-port1", &s, nullptr, true));
  EXPECT_STREQ(s, "a");
  EXPECT_TRUE(p.takeParameterArgumentStringFormatted(&s, nullptr, "-port%d", 1));
  EXPECT_STREQ(s, "b");
  EXPECT_EQ(p.getArgc(), 1u);
}

TEST(ZyArgumentParserRemove, OutOfRangeLogsAndKeepsList) {
  LogCapture log;
  CommandLine cl({"prog", "a"});
  ZyArgumentParser p(cl.argc(), cl.argv());
  p.removeArg(2);
  EXPECT_TRUE(log.hasLine(
      "ZyArgumentParser::removeArg: 2 is greater than the number of arguments which is 2"));
  EXPECT_EQ(*cl.argc(), 2);
  p.removeArg(0);
  EXPECT_EQ(cl.remaining(), (Args{"a"}));
}

TEST(ZyArgumentParserRemove, NullListsAreEmpty) {
  LogCapture log;
  ZyArgumentParser noBuilder(static_cast<ZyArgumentBuilder *>(nullptr));
  EXPECT_EQ(noBuilder.getArgc(), 0u);
  EXPECT_EQ(noBuilder.takeParameterArgument("-x", false), nullptr);
  EXPECT_TRUE(noBuilder.checkHelpAndUnhandled(0));
  noBuilder.loadDefaultSources(1);
  ZyArgumentParser noArgv(nullptr, nullptr);
  EXPECT_EQ(noArgv.getArgc(), 0u);
  noArgv.removeArg(0);
  EXPECT_TRUE(log.contains("ZyArgumentParser::removeArg: 0 is greater"));
}

TEST_F(DefaultSources, LaterSourceGoesInFrontAndCallerArgvIsLeftAlone) {
  LogCapture log;
  std::string file = writeFile("-rb 9600 -fromFile\r\nsecond line ignored\n");
  setVar("ZY_TEST_ARGS_A", "-rb 19200 -fromEnv");
  ZyArgumentParser::addDefaultSourceFile(file.c_str());
  ZyArgumentParser::addDefaultSourceEnv("ZY_TEST_ARGS_A");
  ZyArgumentParser::addDefaultSourceEnv("ZY_TEST_ARGS_UNSET");

  CommandLine cl({"prog", "-rb", "38400", "x"});
  ZyArgumentParser p(cl.argc(), cl.argv());
  p.loadDefaultSources(1);
  EXPECT_EQ(listOf(p), (Args{"prog", "-rb", "19200", "-fromEnv", "-rb", "9600", "-fromFile", "-rb",
                             "38400", "x"}));
  EXPECT_TRUE(log.hasLine("Added arguments from environmental variable 'ZY_TEST_ARGS_A'"));
  EXPECT_TRUE(log.hasLine("Added arguments from file '" + file + "'"));
  EXPECT_TRUE(
      log.hasLine("Could not load from environmental variable or file 'ZY_TEST_ARGS_UNSET'"));

  int baud = 0;
  EXPECT_TRUE(p.takeParameterArgumentInteger("-rb", &baud, nullptr));
  EXPECT_EQ(baud, 38400); // the command line overrides the variable and the file
  EXPECT_TRUE(p.takeArgument("-fromEnv"));
  EXPECT_TRUE(p.takeArgument("x"));
  EXPECT_EQ(cl.remaining(), (Args{"prog", "-rb", "38400", "x"}));
  EXPECT_EQ(*cl.argc(), 4);
}

TEST_F(DefaultSources, MissingFileIsReportedAtVerbose) {
  LogCapture log;
  ZyArgumentParser::addDefaultSourceFile("/nonexistent/dir/Zyla.args");
  ZyArgumentBuilder b(512);
  b.add("prog");
  ZyArgumentParser p(&b);
  p.loadDefaultSources(1);
  EXPECT_EQ(listOf(p), (Args{"prog"}));
  EXPECT_TRUE(log.hasLine(
      "Could not load from environmental variable or file '/nonexistent/dir/Zyla.args'"));
}

TEST_F(DefaultSources, LogListsKindAndNameInColumns) {
  LogCapture log;
  ZyArgumentParser::addDefaultSourceFile("/etc/Zyla.args");
  ZyArgumentParser::addDefaultSourceEnv("ZYLAARGS");
  ZyArgumentParser::logDefaultSources();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Default argument files or environmental variables:",
                             "          file      /etc/Zyla.args",
                             "          envVar    ZYLAARGS",
                         }));
}

TEST_F(DefaultSources, ArgumentsBeyondCapacityAreDroppedWithMessage) {
  LogCapture log;
  std::string many;
  for (int i = 0; i < 700; ++i)
    many += "e ";
  setVar("ZY_TEST_ARGS_MANY", many);
  setVar("ZY_TEST_ARGS_LONG", std::string(4000, 'L'));
  ZyArgumentParser::addDefaultSourceEnv("ZY_TEST_ARGS_MANY");
  ZyArgumentParser::addDefaultSourceEnv("ZY_TEST_ARGS_LONG");

  std::vector<std::string> args{"prog"};
  for (int i = 0; i < 100; ++i)
    args.push_back("c" + std::to_string(i));
  CommandLine cl(args);
  ZyArgumentParser p(cl.argc(), cl.argv());
  p.loadDefaultSources(1);
  // 101 from the command line, then 410 of the 700 fit before the list is
  // full; the over-long variable finds no room at all.
  ASSERT_EQ(p.getArgc(), 511u);
  EXPECT_STREQ(p.getArg(0), "prog");
  EXPECT_STREQ(p.getArg(410), "e");
  EXPECT_STREQ(p.getArg(411), "c0");
  EXPECT_STREQ(p.getArg(510), "c99");
  size_t drops = 0;
  for (const auto &line : log.lines())
    if (line == "ZyArgumentBuilder::Add: could not add argument since argc (511) has grown beyond "
                "the argv given in the conbufuctor (512)")
      ++drops;
  EXPECT_EQ(drops, 291u);
  EXPECT_TRUE(log.contains("ZyArgumentBuilder::add: text of 4000 characters cut"));
}

TEST(ZyArgumentParserHelp, HelpOptionsStopAtFirstFound) {
  ZyArgumentBuilder b(512);
  b.add("prog -h --HELP /?");
  ZyArgumentParser p(&b);
  EXPECT_FALSE(p.checkHelpAndUnhandled(0));
  EXPECT_EQ(listOf(p), (Args{"prog", "-h", "/?"}));
  EXPECT_FALSE(p.checkHelpAndUnhandled(0));
  EXPECT_FALSE(p.checkHelpAndUnhandled(0));
  EXPECT_EQ(listOf(p), (Args{"prog"}));
  EXPECT_TRUE(p.checkHelpAndUnhandled(0));
}

TEST(ZyArgumentParserHelp, UnhandledArgumentsAreReported) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add("prog ok extra1 extra2");
  ZyArgumentParser p(&b);
  EXPECT_TRUE(p.checkHelpAndUnhandled(1));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Unhandled arguments to program: extra1 extra2",
                "Program will continue but to see the help listing type 'prog -help'"}));
  log.clear();
  EXPECT_TRUE(p.checkHelpAndUnhandled(3));
  EXPECT_TRUE(log.lines().empty());
}

TEST(ZyArgumentParserHelp, LongUnhandledListIsCutInsideBuffer) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add("prog");
  for (int i = 0; i < 10; ++i)
    b.add(std::string(1000, static_cast<char>('a' + i)).c_str());
  ZyArgumentParser p(&b);
  EXPECT_TRUE(p.checkHelpAndUnhandled(0));
  ASSERT_FALSE(log.lines().empty());
  const std::string &line = log.lines().front();
  EXPECT_EQ(line.rfind("Unhandled arguments to program: aaa", 0), 0u);
  EXPECT_EQ(line.size(), 2047u);
}

TEST(ZyArgumentParserLog, ListsArgumentsAtTerse) {
  LogCapture log(ZyLog::Terse);
  CommandLine cl({"prog", "-x"});
  ZyArgumentParser p(cl.argc(), cl.argv());
  p.log();
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"Num arguments: 2", "Arg 0: prog", "Arg 1: -x"}));
}

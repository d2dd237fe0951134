// SPDX-License-Identifier: MIT
// End-to-end runs of orvexconf without a controller: options, messages,
// keyword/value pairs, parameter files, firmware validation, batch and
// interactive endings, exit statuses, and the runs that need no controller:
// --diff between files, --history of the backup store, --export.
#include "ParamSet.h"
#include "ParamSetFile.h"
#include "ProcessRunner.h"
#include "ReportCheck.h"
#include "ZyVersion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The environment variables that change a run are cleared for every test.
const std::map<std::string, std::string> kCleanEnv = {
    {"ZYLAARGS", ""}, {"ZYLOG_LEVEL", ""}, {"ZYLA_SIGHANDLE_METHOD", ""}, {"ZYLA", ""}};

RunResult runTool(const std::vector<std::string> &args, const TempDir &dir,
                  const std::string &input = "",
                  std::map<std::string, std::string> env = kCleanEnv) {
  return runProgram(binPath("orvexconf"), args, input, env, dir.path(), 60000);
}

bool hasLine(const std::string &out, const std::string &line) {
  auto lines = splitLines(out);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int countLinesStartingWith(const std::string &text, const std::string &prefix) {
  int n = 0;
  for (const auto &line : splitLines(text))
    if (line.compare(0, prefix.size(), prefix) == 0)
      n++;
  return n;
}
} // namespace

TEST(DriverOptions, HelpPrintsTheFiveConnectionOptionLinesThenTheFullHelp) {
  TempDir dir;
  const std::string connectionLines = "Options for connecting (see docs for more details):\n"
                                      "-robotPort <robotSerialPort>\n"
                                      "-rp <robotSerialPort>\n"
                                      "-robotBaud <baud>\n"
                                      "-rb <baud>\n";
  for (const char *help : {"-h", "-help", "/?", "--HELP"}) {
    RunResult r = runTool({help}, dir);
    EXPECT_EQ(r.status, 1) << help;
    EXPECT_EQ(r.out.rfind(connectionLines, 0), 0u) << help << r.out;
    for (const char *line :
         {"  -b, -batchmode              apply the command line, write the FLASH block if",
          "  -restoreBlock FILE          write a rescue image (.blk) of the parameter",
          "  --version, -version         print the version and exit",
          "  -u, -upload FILE            upload the firmware image FILE: Motorola",
          "  -d, -download FILE            S-records (.mot), Intel HEX (.hex) or raw",
          "                                binary (.bin, with --base); a failure ends",
          "  -no-history                 keep no history of the shell's lines",
          "Exit statuses:", "  7    batch mode ended with unprocessed command-line arguments",
          "  8    writing the FLASH parameter block failed",
          "       or was refused with nothing written: no backup could be saved, or",
          "  --backup-dir DIR            keep the backups of the parameter block and the",
          "  --dismiss-unfinished        close an unfinished write found in the journal",
          "  128+n  ended by signal n (130 for Ctrl-C)"})
      EXPECT_TRUE(hasLine(r.out, line)) << help << ": " << line;
  }
}

TEST(DriverOptions, VersionPrintsTheVersionAndTouchesNoPort) {
  TempDir dir;
  // A port that cannot be opened: trying it would print connection lines.
  for (const char *version : {"-version", "--version", "-VERSION"}) {
    RunResult r = runTool({version, "-rp", "/nonexistent/port", "-b"}, dir);
    EXPECT_EQ(r.status, 0) << version;
    EXPECT_EQ(r.out, std::string("orvexconf ") + ZYLA_VERSION + "\n") << version;
  }
}

TEST(DriverOptions, ListPortsPrintsOneLineAPortAndOpensNone) {
  TempDir dir;
  RunResult r = runTool({"--list-ports"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  auto lines = splitLines(r.out);
  ASSERT_FALSE(lines.empty());
  for (const std::string &line : lines)
    EXPECT_TRUE(line == "No serial ports found." || line.compare(0, 5, "/dev/") == 0) << line;
  EXPECT_EQ(r.out.find("Trying client connection..."), std::string::npos) << r.out;
}

TEST(DriverOptions, BadConnectionOptionsEndWithStatusOne) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "-rb", "fast"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hasLine(r.out, "Argument given to -rb was not an integer it was the string fast"))
      << r.out;
  EXPECT_TRUE(hasLine(r.out, "-rb <baud>"));
  EXPECT_EQ(r.out.find("Exit statuses:"), std::string::npos) << "full help only when asked";

  r = runTool({"-n", "-b", "-rp"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hasLine(r.out, "No argument given to -rp")) << r.out;

  // The default argument sources reach the connection options.
  auto env = kCleanEnv;
  env["ZYLAARGS"] = "-robotBaud slow";
  r = runTool({"-n", "-b"}, dir, "", env);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hasLine(r.out, "Added arguments from environmental variable 'ZYLAARGS'")) << r.out;
  EXPECT_TRUE(
      hasLine(r.out, "Argument given to -robotBaud was not an integer it was the string slow"));
}

TEST(DriverOptions, AnOptionWithoutItsValueIsNamedAndEndsWithStatusOne) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"--base"}, "--base needs a load address: --base ADDR (hexadecimal, e.g. --base 0x8000)."},
      {{"--base", "0x8000", "-u", "x.bin", "--base", "zz"},
       "'zz' is not a load address for --base: give hexadecimal digits below 0x40000, e.g. "
       "--base 0x8000."},
      {{"--report"}, "--report needs a file name (or - for standard output)."},
      {{"--backup-dir"}, "--backup-dir needs a folder: --backup-dir DIR."},
  };
  for (const Case &c : cases) {
    // A port that does not exist: the run must end before trying it.
    std::vector<std::string> args = {"-b", "-rp", "/nonexistent/port"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = runTool(args, dir);
    EXPECT_EQ(r.status, 1) << c.line << "\n" << r.out;
    EXPECT_TRUE(hasLine(r.out, c.line)) << r.out;
    EXPECT_EQ(r.out.find("/nonexistent/port"), std::string::npos) << "not connecting\n" << r.out;
  }
  // A file option standing last keeps its empty file name, which the step
  // using it reports: a restore of '' fails (3), a save to '' too (9).
  EXPECT_EQ(runTool({"-n", "-b", "-r"}, dir).status, 3);
  EXPECT_EQ(runTool({"-n", "-b", "-s"}, dir).status, 9);
}

TEST(DriverBatch, NoInteractionSaveWritesACompleteParameterFile) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "-s", "out.rop"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  auto lines = splitLines(r.out);
  ASSERT_GE(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "Entering batch mode.");
  EXPECT_EQ(lines[1], "Will not interact with controller.");
  EXPECT_EQ(lines[2], "Saving config to file 'out.rop' on completion.");
  EXPECT_TRUE(hasLine(r.out, "Not writing parameters to controler since they have not changed"));
  EXPECT_TRUE(hasLine(r.out, "Saving to file 'out.rop'."));
  EXPECT_EQ(r.out.find("Trying"), std::string::npos) << "no connection lines without a controller";
  std::string file = readFile(dir.file("out.rop"));
  // 66 robot and 40 arm parameters, each starting a line of its own.
  int params = 0;
  for (const auto &line : splitLines(file))
    if (!line.empty() && line[0] != ' ' && line[0] != ';')
      params++;
  EXPECT_EQ(params, 106) << file;

  // Saved again: the file keeps the permissions the operator gave it.
  ASSERT_EQ(chmod(dir.file("out.rop").c_str(), 0640), 0);
  ASSERT_EQ(runTool({"-n", "-b", "-s", "out.rop"}, dir).status, 0);
  struct stat info;
  ASSERT_EQ(lstat(dir.file("out.rop").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  // A link at the save file's place is replaced, never written through.
  ASSERT_TRUE(writeFile(dir.file("victim"), "kept\n"));
  ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("linked.rop").c_str()), 0);
  ASSERT_EQ(runTool({"-n", "-b", "-s", "linked.rop"}, dir).status, 0);
  EXPECT_EQ(readFile(dir.file("victim")), "kept\n");
  ASSERT_EQ(lstat(dir.file("linked.rop").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(readFile(dir.file("linked.rop")), file);
}

TEST(DriverBatch, KeywordValuePairsSetTheImage) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "Name", "Foo", "Home1", "300", "-s", "out.rop"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Your robot's name is Foo")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Home for joint 1 is 44.")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Not interacting with controller. Cannot save."));
  std::string file = readFile(dir.file("out.rop"));
  EXPECT_EQ(countLinesStartingWith(file, "Name Foo "), 1) << file;
  EXPECT_EQ(countLinesStartingWith(file, "Home1 44 "), 1) << file;
}

TEST(DriverBatch, RefusedValueIsNotAnArgumentError) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "sip", "0"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Value for SipCycle must be an integer >= 1.")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Not writing parameters to controler since they have not changed"));
}

TEST(DriverBatch, UnknownKeywordEndsWithStatusSevenAndSavesNothing) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "-s", "out.rop", "Bogus", "1"}, dir);
  EXPECT_EQ(r.status, 7) << r.out;
  auto lines = splitLines(r.out);
  auto it =
      std::find(lines.begin(), lines.end(), "Bad command line args. Try again. Not saving values.");
  ASSERT_NE(it, lines.end()) << r.out;
  ASSERT_NE(it, lines.begin());
  EXPECT_EQ(*(it - 1), "");
  ASSERT_LT(it + 2, lines.end());
  EXPECT_EQ(*(it + 1), "Use -h to see a list of options.");
  EXPECT_EQ(*(it + 2), "Could not process: Bogus 1");
  EXPECT_FALSE(hasLine(r.out, "Saving to file 'out.rop'."));
  EXPECT_EQ(readFile(dir.file("out.rop")), "");
}

TEST(DriverBatch, MisspeltKeywordGetsTheNearestOneOnALineOfItsOwn) {
  TempDir dir;
  struct Case {
    const char *keyword;
    const char *suggestion; // the line after the blank one
  } cases[] = {{"HostBuad", "Unknown keyword 'HostBuad' (did you mean 'HostBaud'?)."},
               {"Bogus", "Unknown keyword 'Bogus'."}};
  for (const Case &c : cases) {
    RunResult r = runTool({"-n", "-b", c.keyword, "4"}, dir);
    EXPECT_EQ(r.status, 7) << r.out;
    auto lines = splitLines(r.out);
    auto it = std::find(lines.begin(), lines.end(),
                        std::string("Could not process: ") + c.keyword + " 4");
    ASSERT_NE(it, lines.end()) << r.out;
    ASSERT_LT(it + 2, lines.end()) << r.out;
    EXPECT_EQ(*(it + 1), "");
    EXPECT_EQ(*(it + 2), c.suggestion);
  }
}

TEST(DriverBatch, CheckIsRefusedOutsideABatchRunWithAController) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    const char *line;
  } cases[] = {{{"--check"}, "--check needs batch mode: add -b."},
               {{"-b", "--check", "-n"}, "--check needs the controller: leave out -n."},
               {{"-b", "--check", "-s", "x.rop"}, "--check writes no file: leave out -s."}};
  for (const Case &c : cases) {
    RunResult r = runTool(c.args, dir);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(hasLine(r.out, c.line)) << r.out;
    EXPECT_FALSE(hasLine(r.out, "Trying client connection...")) << r.out;
  }
}

TEST(DriverBatch, LeftOverArgumentEndsTheRunBeforeAnyPairIsApplied) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "Name", "Foo", "extra"}, dir);
  EXPECT_EQ(r.status, 7) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Could not process:  extra")) << r.out;
  EXPECT_FALSE(hasLine(r.out, "Your robot's name is Foo")) << r.out;
}

TEST(DriverBatch, SecondFormOfAnOptionStaysAsUnprocessedPair) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "-s", "a.rop", "-saveToFile", "b.rop"}, dir);
  EXPECT_EQ(r.status, 7) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Saving config to file 'a.rop' on completion."));
  EXPECT_TRUE(hasLine(r.out, "Could not process: -saveToFile b.rop")) << r.out;
}

TEST(DriverBatch, AnyPortAndRateAreTakenOffTheCommandLine) {
  TempDir dir;
  RunResult r =
      runTool({"-n", "-b", "-rp", "/dev/ttyUSB0", "-rb", "230400", "-robotPort", "x"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Could not process"), std::string::npos) << r.out;
}

TEST(DriverFiles, RestoreThenSaveConvertsAParameterFile) {
  TempDir dir;
  std::string sample = readFile(std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop");
  ASSERT_FALSE(sample.empty());
  ASSERT_TRUE(writeFile(dir.file("in.rop"), sample));
  RunResult same = runTool({"-n", "-b", "-r", "in.rop", "-s", "same.rop"}, dir);
  EXPECT_EQ(same.status, 0) << same.out;
  EXPECT_TRUE(hasLine(same.out, "Will restore FLASH params from file 'in.rop'."));
  EXPECT_TRUE(hasLine(same.out, "Restoring FLASH params from rop file 'in.rop'."));
  EXPECT_EQ(readFile(dir.file("same.rop")), sample);

  RunResult edited = runTool({"-n", "-b", "-r", "in.rop", "TransAcc", "450", "-s", "out.rop"}, dir);
  EXPECT_EQ(edited.status, 0) << edited.out;
  std::string out = readFile(dir.file("out.rop"));
  EXPECT_EQ(countLinesStartingWith(out, "TransAcc 450 "), 1) << out;
  EXPECT_EQ(splitLines(out).size(), splitLines(sample).size());

  // A text cut to its field by the keyword command fills the field; the
  // file saved then restores.
  RunResult cut = runTool(
      {"-n", "-b", "-r", "in.rop", "Name", "abcdefghijklmnopqrstuvwxyz", "-s", "long.rop"}, dir);
  EXPECT_EQ(cut.status, 0) << cut.out;
  EXPECT_TRUE(hasLine(cut.out, "Value for Name cut to its first 19 characters (26 given)."))
      << cut.out;
  EXPECT_EQ(countLinesStartingWith(readFile(dir.file("long.rop")), "Name abcdefghijklmnopqrs "), 1);
  RunResult back = runTool({"-n", "-b", "-r", "long.rop", "-s", "back.rop"}, dir);
  EXPECT_EQ(back.status, 0) << back.out;
  EXPECT_EQ(readFile(dir.file("back.rop")), readFile(dir.file("long.rop")));
}

TEST(DriverFiles, RestoredValuesAreRangeChecked) {
  TempDir dir;
  // A zero image holds values below some minimums (SipCycle 0): saved, then
  // restored, the file is refused and a batch run ends with status 3.
  RunResult first = runTool({"-n", "-b", "-s", "zero.rop"}, dir);
  ASSERT_EQ(first.status, 0) << first.out;
  RunResult second = runTool({"-n", "-b", "-r", "zero.rop", "-s", "out.rop"}, dir);
  EXPECT_EQ(second.status, 3) << second.out;
  EXPECT_NE(second.out.find("## Last error on line"), std::string::npos) << second.out;
  EXPECT_EQ(readFile(dir.file("out.rop")), "");
}

TEST(DriverFiles, FailedRestoreInBatchModeEndsWithStatusThree) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "-r", "missing.rop", "-s", "out.rop"}, dir);
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_EQ(readFile(dir.file("out.rop")), "");
}

TEST(DriverFiles, UnwritableSaveFileIsNotASuccessAndIsFoundFirst) {
  TempDir dir;
  RunResult r = runTool({"-n", "-b", "Name", "Foo", "-s", "no/such/dir/out.rop"}, dir);
  EXPECT_EQ(r.status, 9) << r.out;
  EXPECT_TRUE(hasLine(r.out, "ZyConfig: Cannot open file './no/such/dir/out.rop' for writing"))
      << r.out;
  EXPECT_FALSE(hasLine(r.out, "Your robot's name is Foo")) << "found before anything is done";
  EXPECT_FALSE(hasLine(r.out, "Saving to file 'no/such/dir/out.rop'."));
}

TEST(DriverFiles, FirmwareFilesAreValidatedWithoutAController) {
  TempDir dir;
  // One S1 data record of four bytes at 0x1000, then an end record.
  ASSERT_TRUE(writeFile(dir.file("ok.mot"), "S1071000DEADBEEFB0\nS9030000FC\n"));
  ASSERT_TRUE(writeFile(dir.file("bad.mot"), "S1071000DEADBEEFB1\n"));
  RunResult r = runTool({"-n", "-b", "-m", "ok.mot"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Will upload ORVEX file 'ok.mot' to controller after connection."));
  EXPECT_TRUE(hasLine(r.out, "Not interacting with microcontroller so cannot download 'ok.mot'."))
      << r.out;
  r = runTool({"-n", "-b", "-m", "bad.mot"}, dir);
  EXPECT_EQ(r.status, 4) << r.out;
  EXPECT_TRUE(
      hasLine(r.out, "Malformed .mot file (line 1 data doesn't match checksum), cannot download."))
      << r.out;
  r = runTool({"-n", "-b", "-upload", "bad.mot"}, dir);
  EXPECT_EQ(r.status, 5) << r.out;
  r = runTool({"-n", "-b", "-d", "missing.mot"}, dir);
  EXPECT_EQ(r.status, 5) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Cannot open file 'missing.mot' for download.")) << r.out;
}

// The same four bytes at 0x1000 as S-records, Intel HEX and raw binary: the
// same summary digest; a binary image without --base is refused before
// connecting, in batch and interactive runs, and the shell asks for its
// address.
TEST(DriverFiles, ImageFormatsAndTheirSummaryWithoutAController) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("ok.mot"), "S1071000DEADBEEFB0\nS9030000FC\n"));
  ASSERT_TRUE(writeFile(dir.file("ok.hex"), "\n:04100000DEADBEEFB4\n:00000001FF\n"));
  ASSERT_TRUE(writeFile(dir.file("ok.BIN"), "\xDE\xAD\xBE\xEF"));
  const std::string digest = "SHA-256 of the bytes to write: "
                             "5f78c33274e43fa9de5659265c1d917e25c03722dcb0b8d27db8d5feaa813953";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {{"-n", "-b", "-m", "ok.mot"},
       "",
       0,
       {"Image 'ok.mot': Motorola S-records, 4 bytes.", "Addresses: 0x1000-0x1003.",
        "Blocks to erase and write: 0x1.", digest}},
      {{"-n", "-b", "-u", "ok.hex"}, "", 0, {"Image 'ok.hex': Intel HEX, 4 bytes.", digest}},
      {{"-n", "-b", "-u", "ok.BIN", "--base", "0x1000"},
       "",
       0,
       {"Image 'ok.BIN': raw binary, 4 bytes.", digest}},
      {{"-n", "-b", "-u", "ok.BIN"},
       "",
       5,
       {"'ok.BIN' is a raw binary image and has no load address: give it with --base ADDR "
        "(hexadecimal, e.g. --base 0x8000); nothing was sent."}},
      {{"-n", "-m", "ok.BIN", "--base", "0x40000"},
       "",
       1,
       {"'0x40000' is not a load address for --base: give hexadecimal digits below 0x40000, "
        "e.g. --base 0x8000."}},
      {{"-n"},
       "upload ok.BIN\nu ok.BIN 1000\nq\n",
       0,
       {"Must provide the load address after a raw binary image: upload <name.bin> <address>, "
        "e.g. upload ok.BIN 0x8000 (hexadecimal, below 0x40000).",
        digest, "Not interacting with microcontroller so cannot download 'ok.BIN'."}},
  };
  for (const Case &c : cases) {
    RunResult r = runTool(c.args, dir, c.input);
    EXPECT_EQ(r.status, c.status) << r.out;
    // The shell's lines follow its prompt.
    for (const auto &line : c.lines)
      EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << "\n" << r.out;
  }
}

TEST(DriverInteractive, ShellWithoutControllerEditsListsAndQuits) {
  TempDir dir;
  RunResult r = runTool({"-n", "-s", "out.rop", "HostBaud", "3"}, dir,
                        "Name Foo\nv\n\n\nTempThreshold 5\nsave\nq\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "HostBaud is 57600")) << r.out;
  EXPECT_NE(r.out.find("\n========== Config Commands ===================\n"), std::string::npos);
  EXPECT_NE(r.out.find("command> "), std::string::npos);
  EXPECT_NE(r.out.find("Your robot's name is Foo"), std::string::npos);
  EXPECT_NE(r.out.find("[** Press Enter to continue viewing list or type command **]"),
            std::string::npos);
  EXPECT_NE(r.out.find("Could not understand command 'TempThreshold'. Type 'h' for help."),
            std::string::npos);
  EXPECT_NE(r.out.find("Not interacting with controller; cannot save."), std::string::npos);
  EXPECT_NE(r.out.find("No connection, so didn't save your changes to a controller."),
            std::string::npos);
  EXPECT_NE(r.out.find("Saving to file 'out.rop'."), std::string::npos);
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(countLinesStartingWith(readFile(dir.file("out.rop")), "Name Foo "), 1);
}

TEST(DriverInteractive, EndOfInputQuits) {
  TempDir dir;
  RunResult r = runTool({"-n"}, dir, "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("No connection, so didn't save your changes to a controller."),
            std::string::npos);
}

TEST(DriverReport, EveryWayOutOfARunLeavesAReportThatFitsTheSchema) {
  TempDir dir;
  // A batch run without a controller: a refused value still ends with 0.
  RunResult r = runTool({"-n", "-b", "--report", "r.json", "Name", "Foo", "HostBaud", "9"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  nlohmann::json report = checkedReport(dir.file("r.json"));
  EXPECT_EQ(report["mode"], "offline");
  EXPECT_EQ(report["exitStatusName"], "ok");
  ASSERT_EQ(report["refused"].size(), 1u) << report.dump();
  EXPECT_EQ(report["refused"][0]["keyword"], "HostBaud");
  EXPECT_EQ(report["refused"][0]["reason"], "out of range");
  // A refused value is no error: no line of the run's messages.
  EXPECT_EQ(report["messages"], nlohmann::json::array()) << report.dump();

  // A misspelt keyword: status 7 and the suggestion in the report.
  r = runTool({"-n", "-b", "--REPORT", "bad.json", "HostBuad", "4"}, dir);
  EXPECT_EQ(r.status, 7) << r.out;
  report = checkedReport(dir.file("bad.json"));
  EXPECT_EQ(report["exitStatusName"], "bad-arguments");
  ASSERT_EQ(report["refused"].size(), 1u) << report.dump();
  EXPECT_EQ(report["refused"][0]["suggestion"], "HostBaud");
  // The tool's own error lines, in order, as automation shows them.
  EXPECT_EQ(report["messages"],
            nlohmann::json({"Bad command line args. Try again. Not saving values.",
                            "Use -h to see a list of options.", "Could not process: HostBuad 4",
                            "Unknown keyword 'HostBuad' (did you mean 'HostBaud'?)."}))
      << report.dump();

  // "-": the report alone on standard output, the rest on standard error.
  r = runTool({"-n", "-b", "--report", "-", "Name", "Foo"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(writeFile(dir.file("out.json"), r.out));
  report = checkedReport(dir.file("out.json"));
  EXPECT_EQ(report["changes"].size(), 0u) << r.out;
  EXPECT_EQ(report["messages"], nlohmann::json::array()) << r.out;
  EXPECT_NE(r.err.find("Your robot's name is Foo"), std::string::npos) << r.err;

  // Refused before anything is tried: "-" outside batch mode, and a
  // report that cannot be written (found before the port is opened).
  r = runTool({"-n", "--report", "-"}, dir);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("--report - needs batch mode (-b)"), std::string::npos) << r.err;
  ASSERT_TRUE(writeFile(dir.file("refused.json"), r.out));
  report = checkedReport(dir.file("refused.json"));
  EXPECT_EQ(report["messages"],
            nlohmann::json::array(
                {"--report - needs batch mode (-b): the shell talks on standard output."}));
  r = runTool({"-rp", dir.file("no-port"), "-b", "--report", dir.file("none/r.json")}, dir);
  EXPECT_EQ(r.status, 9) << r.out;
  EXPECT_NE(r.out.find("Cannot write the report '" + dir.file("none/r.json") + "'"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Trying client connection..."), std::string::npos) << r.out;
  // A failure after the report was asked for: status 2 and its name.
  r = runTool({"-rp", dir.file("no-port"), "-b", "--report", "fail.json"}, dir);
  EXPECT_EQ(r.status, 2) << r.out;
  report = checkedReport(dir.file("fail.json"));
  EXPECT_EQ(report["exitStatusName"], "no-connection");
  EXPECT_EQ(report["port"], dir.file("no-port"));
  // The lines shown while the log is silent, the port's advice first.
  const nlohmann::json &messages = report["messages"];
  ASSERT_EQ(messages.size(), 3u) << report.dump();
  EXPECT_EQ(
      messages[0].get<std::string>().rfind("Port '" + dir.file("no-port") + "': no such port.", 0),
      0u)
      << messages[0];
  EXPECT_EQ(messages[1], "Could not connect with controller.");
  EXPECT_EQ(messages[2], "The port tried was '" + dir.file("no-port") + "'.");
}

// The report writes its own file and nothing else: not through a link, not
// over a file beside it, not over a file the run reads or saves; a pipe
// gets it in place; a place it cannot be written is found before the port
// is opened.
TEST(DriverReport, TheReportWritesOnlyItsOwnFile) {
  struct Case {
    const char *what;
    std::function<void(const TempDir &)> setup;
    std::vector<std::string> args;
    int status;
    const char *line; // "" for none
  };
  auto plain = [](const TempDir &dir) { dir.write("r.json.tmp", "keep"); };
  auto link = [](const TempDir &dir) {
    dir.write("victim", "keep");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("r.json.tmp").c_str()), 0);
  };
  auto reportLink = [](const TempDir &dir) {
    dir.write("victim", "keep");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("r.json").c_str()), 0);
  };
  auto folder = [](const TempDir &dir) { dir.subdir("r.json"); };
  auto tmpFolder = [](const TempDir &dir) { dir.subdir("r.json.tmp"); };
  auto files = [](const TempDir &dir) {
    dir.write("in.rop", "Name Kept\n");
    dir.write("img.mot", "S1130000ZZ\n");
    dir.write("b.blk", std::string(4096, '\xff'));
  };
  // A port that does not exist: a run that got as far as it says so.
  const std::string noPort = "/nonexistent/port";
  std::vector<Case> cases = {
      {"beside a FILE.tmp file", plain, {"-n", "-b", "--report", "r.json"}, 0, ""},
      {"beside a FILE.tmp link", link, {"-n", "-b", "--report", "r.json"}, 0, ""},
      {"a FILE.tmp folder", tmpFolder, {"-n", "-b", "--report", "r.json"}, 0, ""},
      {"on a link",
       reportLink,
       {"-rp", noPort, "-b", "--report", "r.json"},
       9,
       "Cannot write the report 'r.json': it is a symbolic link"},
      {"blocked by a folder",
       folder,
       {"-rp", noPort, "-b", "--report", "r.json"},
       9,
       "Cannot write the report 'r.json': Is a directory."},
      {"on the save file",
       files,
       {"-rp", noPort, "-b", "--report", "x.rop", "-s", "./x.rop"},
       1,
       "--report 'x.rop' is the same file as -s './x.rop': give the report a file of its own."},
      {"on the restore file",
       files,
       {"-n", "-b", "-r", "in.rop", "--report", "in.rop"},
       1,
       "--report 'in.rop' is the same file as -r 'in.rop'"},
      {"on the firmware image",
       files,
       {"-n", "-b", "-u", "img.mot", "--report", "img.mot"},
       1,
       "--report 'img.mot' is the same file as -u 'img.mot'"},
      {"on the block image",
       files,
       {"-rp", noPort, "-b", "-restoreBlock", "b.blk", "--report", "b.blk"},
       1,
       "--report 'b.blk' is the same file as -restoreBlock 'b.blk'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.setup(dir);
    std::map<std::string, std::string> before;
    for (const char *name : {"r.json.tmp", "victim", "in.rop", "img.mot", "b.blk"})
      before[name] = readFile(dir.file(name));
    RunResult r = runTool(c.args, dir);
    EXPECT_EQ(r.status, c.status) << r.out;
    if (c.line[0] != '\0') {
      EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    }
    EXPECT_EQ(r.out.find("Trying client connection..."), std::string::npos) << r.out;
    for (const auto &[name, content] : before)
      EXPECT_TRUE(readFile(dir.file(name)) == content) << name << " changed";
    EXPECT_EQ(access(dir.file("x.rop").c_str(), F_OK), -1) << "nothing saved";
    struct stat info;
    if (c.status == 0) {
      checkedReport(dir.file("r.json"));
      ASSERT_EQ(lstat(dir.file("r.json").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0600u);
      EXPECT_EQ(lstat(dir.file("r.json.tmp").c_str(), &info), 0) << "left where it was";
    }
  }

  // Into a named pipe that is read: written in place, the pipe stays.
  TempDir dir;
  std::string pipe = dir.file("report.pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  RunResult r = runTool({"-n", "-b", "--report", pipe}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(reader, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(got));
  close(reader);
  ASSERT_TRUE(writeFile(dir.file("piped.json"), text));
  EXPECT_EQ(checkedReport(dir.file("piped.json"))["exitStatus"], 0) << text;
  struct stat info;
  ASSERT_EQ(lstat(pipe.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// --diff between files: values are compared, not text; the status says
// whether a parameter differs; what a file could not give is listed.
TEST(DriverDiff, ComparesValuesNotTextAndEndsWithTenWhenAParameterDiffers) {
  TempDir dir;
  const std::string base = "Name demo-bot\nHostBaud 4\nTicks/mm 128\nDriftFactor -12\n";
  dir.write("a.rop", base);
  // The same values: aliases, letter case, comments, blank lines, order.
  dir.write("same.rop", "; robot\n\n  driftfactor  -12\nticksmm 128 ; alias\nNAME demo-bot\n"
                        "hostbaud 4\n");
  dir.write("one.rop", "Name demo-bot\nHostBaud 2\nTicks/mm 128\nDriftFactor -12\n");
  dir.write("unknown.rop", base + "HostBuad 3\n");
  std::string error;
  ParamSet changed = loadParamSet(dir.file("one.rop"));
  ASSERT_TRUE(writeParamSetFile(changed, dir.file("one.blk"), false, &error)) << error;
  ASSERT_TRUE(writeParamSetFile(loadParamSet(dir.file("a.rop")), dir.file("a.json"), false, &error))
      << error;
  const std::string hostBaud =
      "HostBaud: 4 -> 2  ; HostBaud (0=9.6K, 1=19.2K, 2=38.4K 3=57.6K 4=115K)";
  struct Case {
    const char *what;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {"same values written differently",
       {"a.rop", "same.rop"},
       0,
       {"Comparing 'a.rop' with 'same.rop'.", "No parameter differs."}},
      {"one change", {"a.rop", "one.rop"}, 10, {"1 parameter differs:", hostBaud}},
      {"an unknown keyword",
       {"a.rop", "unknown.rop"},
       0,
       {"'unknown.rop' line 5: unknown keyword 'HostBuad' (did you mean 'HostBaud'?), not "
        "applied.",
        "No parameter differs."}},
      {".rop against .blk",
       {"a.rop", "one.blk"},
       10,
       {"126 parameters of 'one.blk' are not in 'a.rop' and are not compared.",
        "1 parameter differs:", hostBaud}},
      {"an export against .rop", {"a.json", "same.rop"}, 0, {"No parameter differs."}},
      {"a missing file", {"a.rop", "missing.rop"}, 3, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"--diff"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = runTool(args, dir);
    EXPECT_EQ(r.status, c.status) << r.out;
    for (const std::string &line : c.lines)
      EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;
  }

  // The report carries the same changes, and what the files could not give.
  RunResult r = runTool({"--diff", "unknown.rop", "one.rop", "--report", "-"}, dir);
  EXPECT_EQ(r.status, 10) << r.err;
  ASSERT_TRUE(writeFile(dir.file("diff.json"), r.out));
  nlohmann::json report = checkedReport(dir.file("diff.json"));
  EXPECT_EQ(report["mode"], "check");
  EXPECT_EQ(report["exitStatusName"], "would-change");
  EXPECT_EQ(report["changes"], nlohmann::json::parse(R"([{"keyword": "HostBaud",
      "table": "robot", "before": "4", "after": "2"}])"));
  EXPECT_EQ(report["diff"]["first"], "unknown.rop");
  ASSERT_EQ(report["diff"]["problems"].size(), 1u) << report.dump();
  EXPECT_EQ(report["diff"]["problems"][0]["suggestion"], "HostBaud");
  EXPECT_TRUE(hasLine(r.err, hostBaud)) << r.err;

  // What --diff cannot go with, refused before anything is read.
  struct Refusal {
    std::vector<std::string> args;
    const char *line;
  } refusals[] = {
      {{"--diff", "a.rop"},
       "--diff needs two parameter sets: --diff A B, each a .rop, .json, .yaml or .blk file, "
       "or - for the controller at -rp."},
      {{"--diff", "-", "-"},
       "--diff - - would compare the controller with itself: name a file for one side."},
      {{"--diff", "a.rop", "one.rop", "-s", "x.rop"},
       "--diff compares and writes nothing: leave out -s."},
      {{"--diff", "a.rop", "one.rop", "Name", "x"},
       "--diff takes two parameter sets: leave out 'Name' and what follows."},
      {{"-n", "--diff", "-", "a.rop"}, "--diff - reads the controller: leave out -n."},
  };
  for (const Refusal &c : refusals) {
    RunResult refused = runTool(c.args, dir);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_TRUE(hasLine(refused.out, c.line)) << refused.out;
  }
}

// --history without a controller: the store as it is, no port opened.
TEST(DriverHistory, AnEmptyStoreKnowsNoControllerAndAnUnknownOneIsAnError) {
  TempDir dir;
  std::string store = dir.file("store");
  RunResult r = runTool({"--history", "--backup-dir", store, "-rp", "/nonexistent/port"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "The backup store '" + store +
                                 "' knows no controller: it holds no write, upload or backup."))
      << r.out;
  EXPECT_EQ(access(store.c_str(), F_OK), -1) << "reading made nothing";

  r = runTool({"--history", "R7-0042", "--backup-dir", store, "--report", "-"}, dir);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(hasLine(r.err, "No controller known to the backup store '" + store +
                                 "' has the serial number or the name 'R7-0042'."))
      << r.err;
  ASSERT_TRUE(writeFile(dir.file("h.json"), r.out));
  nlohmann::json report = checkedReport(dir.file("h.json"));
  EXPECT_EQ(report["mode"], "offline");
  EXPECT_EQ(report["port"], nullptr);
  EXPECT_EQ(report["history"]["query"], "R7-0042");
  EXPECT_EQ(report["history"]["controllers"], nlohmann::json::array());

  for (const auto &args : std::vector<std::vector<std::string>>{{"--history", "-s", "x.rop"},
                                                                {"--history", "R7", "extra"},
                                                                {"-b", "--history", "--check"}}) {
    RunResult refused = runTool(args, dir);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("--history"), std::string::npos) << refused.out;
  }
}

// --export writes what the run holds; -r reads it back to the same values.
TEST(DriverExport, WhatARunHoldsGoesOutAndComesBackTheSame) {
  TempDir dir;
  std::string sample = std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop";
  for (const char *format : {"json", "yaml"}) {
    SCOPED_TRACE(format);
    std::string file = std::string("sample.") + format;
    RunResult r = runTool({"-n", "-b", "-r", sample, "--export", format, file}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Exporting the parameters to '" + file + "' (" + format + ")."));
    EXPECT_EQ(runTool({"-n", "-b", "-r", file, "-s", "back.rop"}, dir).status, 0);
    EXPECT_EQ(runTool({"-n", "-b", "-r", sample, "-s", "orig.rop"}, dir).status, 0);
    EXPECT_EQ(readFile(dir.file("back.rop")), readFile(dir.file("orig.rop")));
    // Exported again over the old export: replaced, its permissions kept.
    ASSERT_EQ(chmod(dir.file(file).c_str(), 0640), 0);
    EXPECT_EQ(
        runTool({"-n", "-b", "-r", sample, "HostBaud", "2", "--export", format, file}, dir).status,
        0);
    struct stat info;
    ASSERT_EQ(stat(dir.file(file).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(runTool({"--diff", file, sample}, dir).status, 10);
  }
  // Never through a link, never onto the report, a bad format refused.
  dir.write("victim", "keep");
  ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("link.json").c_str()), 0);
  RunResult r = runTool({"-n", "-b", "--export", "json", "link.json"}, dir);
  EXPECT_EQ(r.status, 9) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Cannot export to 'link.json': it is a symbolic link; name the file "
                             "itself."))
      << r.out;
  EXPECT_EQ(readFile(dir.file("victim")), "keep");
  EXPECT_EQ(runTool({"-n", "-b", "--export", "json", "e.json", "--report", "e.json"}, dir).status,
            1);
  r = runTool({"-n", "-b", "--export", "xml", "e.xml"}, dir);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(hasLine(
      r.out, "'xml' is not an export format: give json or yaml, e.g. --export yaml robot.yaml."));
}

// An unknown option: a batch run refuses it with the nearest option; an
// interactive run names it before it tries to connect.
TEST(DriverOptions, AnUnknownOptionIsNamedWithTheNearestOne) {
  TempDir dir;
  struct Case {
    const char *option;
    const char *line;
  } cases[] = {{"--histroy", "Unknown option '--histroy' (did you mean '--history'?)."},
               {"-chek", "Unknown option '-chek' (did you mean '--check'?)."},
               {"--backupdir", "Unknown option '--backupdir' (did you mean '--backup-dir'?)."},
               {"-v", "Unknown option '-v'."},
               {"--verbose", "Unknown option '--verbose'."}};
  for (const Case &c : cases) {
    RunResult r = runTool({"-n", "-b", c.option}, dir);
    EXPECT_EQ(r.status, 7) << r.out;
    EXPECT_TRUE(hasLine(r.out, c.line)) << r.out;
  }
  RunResult r = runTool({"-rp", "/nonexistent/port", "--histroy", "Name", "x"}, dir, "n\n");
  EXPECT_EQ(r.status, 2) << r.out;
  size_t named = r.out.find("Unknown option '--histroy' (did you mean '--history'?).");
  EXPECT_NE(named, std::string::npos) << r.out;
  EXPECT_LT(named, r.out.find("Could not connect with controller.")) << r.out;
}

// SPDX-License-Identifier: MIT
// Tests of the interactive shell without a controller: paging through the
// tables, keywords before command words, quitting, the messages of the
// commands that need a controller or a file, what Tab completes, and the
// history file; "save" to a controller played by a pty peer; and a table
// of commands run against the controller simulator, checked on the text
// and on the wire.
#include "ConnectOptions.h"
#include "ConnectionSequence.h"
#include "FlashImage.h"
#include "LineEditor.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "MonitorPeer.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ProcessRunner.h"
#include "RunOutcome.h"
#include "Session.h"
#include "Shell.h"
#include "ShellCompletion.h"
#include "SimPty.h"
#include "TempFiles.h"
#include "ZySerialConnection.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class Shell : public ::testing::Test {
protected:
  void SetUp() override {
    Zyla::init(Zyla::SIGHANDLE_NONE, false, false);
    std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
    std::memset(referenceImage, 0, FLASH_IMAGE_SIZE);
    // Text buffers left by an earlier test would come back into the image.
    for (ParamEntry *table : allTables())
      loadTextBuffers(table);
  }

  /// A session on the serial port at path that the caller has in the
  /// monitor already (a pty's peer or the simulator plays the controller),
  /// its backups in a folder of the test's own; the block is read into the
  /// run's image as the driver reads it.
  struct Controller {
    explicit Controller(const std::string &path)
        : options(path.c_str(), 115200), session(options, outcome, settings()) {
      EXPECT_EQ(options.serialConnection()->open(path.c_str()), 0);
      session.useMonitor();
    }
    Session::Settings settings() {
      Session::Settings s;
      s.backupDir = store.subdir("store");
      return s;
    }
    bool read() {
      ReadResult read = session.read();
      if (read.ok())
        takeBlockIntoImage(read.block.data());
      return read.ok();
    }
    TempDir store;
    RunOutcome outcome;
    ConnectOptions options;
    Session session;
  };

  /// Runs the shell on the given input; returns its standard output.
  std::string run(const std::string &input, Session *session = nullptr) {
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    if (input.empty())
      in = fopen("/dev/null", "r");
    EXPECT_NE(in, nullptr);
    FILE *saved = stdin;
    stdin = in;
    testing::internal::CaptureStdout();
    runShell(session);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    stdin = saved;
    fclose(in);
    return out;
  }

  static size_t count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      n++;
    return n;
  }

  LogCapture log{ZyLog::Normal};
};

const char kPagingPrompt[] = "[** Press Enter to continue viewing list or type command **]\n";
} // namespace

TEST_F(Shell, ArmListingPagesByTwentyOneRows) {
  std::string out = run("a\n\n\nq\n");
  // Rows 0 to 20 (up to Max5), the paging prompt, rows 21 to 39, no prompt.
  EXPECT_EQ(count(out, "Keyword and description"), 2u) << out;
  EXPECT_EQ(count(out, kPagingPrompt), 1u) << out;
  size_t max5 = out.find("Max5 ");
  size_t prompt = out.find(kPagingPrompt);
  size_t max6 = out.find("Max6 ");
  ASSERT_NE(max5, std::string::npos);
  ASSERT_NE(max6, std::string::npos);
  EXPECT_LT(max5, prompt);
  EXPECT_GT(max6, prompt);
  EXPECT_NE(out.find("TicksPer90Deg6"), std::string::npos);
  EXPECT_EQ(count(out, "command> "), 4u);
}

TEST_F(Shell, AnyLineEndsPagingBeforeItIsHandled) {
  std::string out = run("v\nHostBaud 4\n\nq\n");
  EXPECT_EQ(count(out, "Keyword and description"), 1u) << out;
  EXPECT_TRUE(log.hasLine("HostBaud is 115200."));
  EXPECT_EQ(flashImage[179], 4);
}

TEST_F(Shell, KeywordsValuesAndUnknownWords) {
  run("hostbaud 4 5\nHOSTBAUD\nTempThreshold 5\nName my\\ bot\nSonar1 \"1 2\"\nq\n");
  EXPECT_EQ(flashImage[179], 4);
  EXPECT_EQ(log.text().find("HostBaud is 115200.\nHostBaud is 115200.\n") != std::string::npos,
            true)
      << log.text();
  EXPECT_TRUE(log.hasLine("Could not understand command 'TempThreshold'. Type 'h' for help."));
  EXPECT_EQ(flashImage[403], 0) << "the power table is not reachable from the shell";
  EXPECT_EQ(std::string(reinterpret_cast<char *>(flashImage) + 141), "my bot");
  // Double quotes are ordinary characters; the blank splits the words.
  EXPECT_TRUE(log.hasLine("Your robot's first sonar array pings in this order:  \"1"))
      << log.text();
}

TEST_F(Shell, CommandsThatNeedAControllerOrAFile) {
  std::string out = run("save\nrestore\nupload\nhelp\nq\n");
  EXPECT_TRUE(log.hasLine("Not interacting with controller; cannot save."));
  EXPECT_TRUE(log.hasLine("Not interacting with controller; cannot restore."));
  EXPECT_TRUE(log.hasLine("Must provide <filename.mot> to upload new ORVEX image to controller."));
  EXPECT_NE(out.find("\n\n====================================\n"
                     "\n========== Config Commands ===================\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(log.hasLine("No connection, so didn't save your changes to a controller."));
}

TEST_F(Shell, EndOfInputQuitsAndEmptyLinesOnlyPrompt) {
  std::string out = run("\n\n");
  EXPECT_EQ(count(out, "command> "), 3u) << out;
  EXPECT_EQ(count(out, "Keyword and description"), 0u);
  EXPECT_TRUE(log.hasLine("No connection, so didn't save your changes to a controller."));
}

TEST_F(Shell, QuitAnswerDefaultsToStaying) {
  FILE *in = fmemopen(const_cast<char *>("\n  Yes\n"), 7, "r");
  FILE *saved = stdin;
  stdin = in;
  EXPECT_TRUE(askKeepRunning()) << "an empty answer stays";
  EXPECT_FALSE(askKeepRunning()) << "an answer starting with y quits";
  EXPECT_FALSE(askKeepRunning()) << "end of input quits";
  stdin = saved;
  fclose(in);
}

TEST_F(Shell, OverLongLinesAreIgnoredAsAWhole) {
  // The tail " quit" lies beyond the 255 characters of a line: it must not
  // run, nor may the first part set the name.
  const std::string longName = "Name " + std::string(300, 'x') + " quit";
  const std::string fits = "Name " + std::string(250, 'y'); // exactly 255 characters
  std::string out = run(longName + "\nHostBaud 2\n" + fits + "\nq\n");
  EXPECT_EQ(count(log.text(), "Line too long (more than 255 characters); ignored.\n"), 1u)
      << log.text();
  EXPECT_EQ(flashImage[179], 2) << "the shell went on after the long line";
  EXPECT_EQ(count(out, "command> "), 4u) << out;
  EXPECT_EQ(std::string(reinterpret_cast<char *>(flashImage) + 141, 19), std::string(19, 'y'));
  EXPECT_TRUE(log.hasLine("Value for Name cut to its first 19 characters (250 given)."));
}

TEST_F(Shell, TextsAFileCannotCarryAreRefusedAndRestoresReportUnknownKeywords) {
  registerTable(robotTable);
  registerTable(armTable);
  char pattern[] = "/tmp/shell_test_XXXXXX";
  int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  const char text[] = "HostBaud 3\nHostBuad 2\n";
  ASSERT_EQ(write(fd, text, sizeof(text) - 1), static_cast<ssize_t>(sizeof(text) - 1));
  close(fd);
  run("Name Ro#bot\nrestore " + std::string(pattern) + "\nq\n");
  unlink(pattern);
  EXPECT_TRUE(log.hasLine("Value for Name refused: a text may not hold ';', '#', a tab or line "
                          "break, or a backslash before a blank or at its end."));
  EXPECT_EQ(flashImage[141], 0);
  EXPECT_EQ(flashImage[179], 3);
  EXPECT_TRUE(log.hasLine(
      "line 2: unknown keyword 'HostBuad' (did you mean 'HostBaud'?), kept, not applied"));
}

TEST_F(Shell, OverLongAnswersAreNoAnswerAndTheQuestionIsAskedAgain) {
  std::string input = std::string(300, 'y') + "\n\n" + std::string(300, 'n') + "\n\n";
  FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
  ASSERT_NE(in, nullptr);
  FILE *saved = stdin;
  stdin = in;
  EXPECT_TRUE(askKeepRunning()) << "the long 'yyy' answer did not quit";
  testing::internal::CaptureStdout();
  bool retry = askRetry();
  std::string out = testing::internal::GetCapturedStdout();
  stdin = saved;
  fclose(in);
  EXPECT_TRUE(retry) << "the long 'nnn' answer did not decline";
  EXPECT_TRUE(log.hasLine("Line too long (more than 255 characters); ignored."));
  EXPECT_EQ(count(log.text(), "Quit anyway? y/(n)?\n"), 1u) << log.text();
  EXPECT_EQ(out, "Line too long (more than 255 characters); ignored.\nRetry? (y)/n? ");
}

TEST_F(Shell, CautionBoxTexts) {
  printCaution(FirmwareIdentity::Unidentified);
  printCaution(FirmwareIdentity::NotOrvex);
  EXPECT_EQ(log.text(), "                CAUTION!\n"
                        "========================================================\n"
                        "Unidentified, probably old controller stub.\n"
                        "'q'uit without saving or proceed with caution.\n"
                        "========================================================\n"
                        "                CAUTION!\n"
                        "========================================================\n"
                        "Unidentified, probably very old controller stub version.\n"
                        "'q'uit without saving or proceed with caution.\n"
                        "========================================================\n");
}

namespace {
/// One shell session against the simulator, after the FLASH read the
/// driver makes before the shell.
struct ControllerCase {
  const char *name;
  const char *input;
  std::vector<const char *> lines;  ///< logged, in this order
  std::vector<const char *> absent; ///< never logged
  const char *shown;                ///< in the standard output, or ""
  long commands;                    ///< monitor commands the session sent
  long erases;                      ///< block erases among them
  bool written;                     ///< the controller holds HostBaud 4 after
  bool editKept;                    ///< the host's image holds HostBaud 4 after
};

const ControllerCase kControllerCases[] = {
    {"view sends nothing",
     "v\nq\n",
     {"Exiting..."},
     {},
     "Keyword and description",
     0,
     0,
     false,
     false},
    {"keyword edit, then save writes the block",
     "HostBaud 4\nsave\nq\n",
     {"HostBaud is 115200.", "Exiting..."},
     {"Not interacting with controller; cannot save.",
      "You didn't save your changes to the controller."},
     "",
     -1,
     1,
     true,
     true},
    {"restore reads the block again, dropping the edit",
     "HostBaud 4\nrestore\nq\n",
     {"HostBaud is 115200.", "Exiting..."},
     {"You didn't save your changes to the controller."},
     "",
     -1,
     0,
     false,
     false},
    {"quit with unsaved changes asks; no stays, yes quits",
     "HostBaud 4\nq\nn\nq\ny\n",
     {"You didn't save your changes to the controller.", "Quit anyway? y/(n)?",
      "You didn't save your changes to the controller.", "Quit anyway? y/(n)?"},
     {"Exiting..."},
     "",
     0,
     0,
     false,
     true},
    {"quit without changes",
     "q\n",
     {"Exiting..."},
     {"Quit anyway? y/(n)?"},
     "",
     0,
     0,
     false,
     false},
};
} // namespace

TEST_F(Shell, CommandsAgainstTheControllerSimulator) {
  for (const ControllerCase &c : kControllerCases) {
    SCOPED_TRACE(c.name);
    SimSession session;
    ASSERT_TRUE(session.ok()) << session.error();
    Controller controller(session.slavePath());
    ASSERT_TRUE(controller.read());
    auto before = session.controller().block7();
    ASSERT_NE(before[179], 4) << "HostBaud 4 must be a change";
    long commandsBefore = session.controller().stats().commands;
    log.clear();

    std::string out = run(c.input, &controller.session);

    std::string text = log.text();
    size_t at = 0;
    for (const char *line : c.lines) {
      at = text.find(std::string(line) + "\n", at);
      ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << text;
      at++;
    }
    for (const char *line : c.absent)
      EXPECT_FALSE(log.hasLine(line)) << line << "\n" << text;
    EXPECT_NE(out.find(c.shown), std::string::npos) << out;
    SimStats stats = session.controller().stats();
    if (c.commands >= 0)
      EXPECT_EQ(stats.commands - commandsBefore, c.commands);
    else
      EXPECT_GT(stats.commands - commandsBefore, 0);
    EXPECT_EQ(stats.erases, c.erases);
    auto after = session.controller().block7();
    auto expected = before;
    if (c.written)
      expected[179] = 4;
    EXPECT_TRUE(after == expected) << "HostBaud on the controller: " << int(after[179]);
    EXPECT_EQ(flashImage[179], c.editKept ? 4 : before[179]);
  }
}

// "save" with a controller: a write that succeeds says so and nothing
// else; a block that changed since it was read is not written over, and
// the edits stay.
TEST_F(Shell, SaveToTheControllerChecksTheBlockFirst) {
  PtyPair pty;
  Controller controller(pty.slavePath());
  static unsigned char block[MonitorPeer::BLOCK_SIZE];
  for (int i = 0; i < MonitorPeer::BLOCK_SIZE; i++)
    block[i] = static_cast<unsigned char>(i * 13 + 5);
  {
    MonitorPeer peer(pty);
    std::memcpy(peer.block, block, sizeof block);
    peer.start();
    ASSERT_TRUE(controller.read());
  }
  {
    MonitorPeer peer(pty);
    std::memcpy(peer.block, block, sizeof block);
    peer.start();
    run("HostBaud 2\nsave\nq\n", &controller.session);
    peer.stop();
    EXPECT_TRUE(log.hasLine("FLASH parameters written to the controller.")) << log.text();
    EXPECT_FALSE(log.contains("cannot save")) << log.text();
    EXPECT_TRUE(log.hasLine("Exiting..."));
    EXPECT_EQ(peer.block[179], 2);
    block[179] = 2;
  }
  log.clear();
  {
    MonitorPeer peer(pty);
    std::memcpy(peer.block, block, sizeof block);
    peer.block[3000] ^= 0x01; // changed by something else since
    peer.start();
    run("HostBaud 3\nsave\nq\ny\n", &controller.session);
    peer.stop();
    std::vector<std::string> commands = peer.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "FE7"), 0) << "nothing erased";
    EXPECT_EQ(peer.block[179], 2);
    EXPECT_TRUE(log.hasLine("The controller's FLASH parameter block is not the one read (it "
                            "differs at byte 3000): something else changed it since, so nothing "
                            "was written."))
        << log.text();
    EXPECT_TRUE(log.contains("Your changes are kept. To write them: 'save <name.rop>' keeps them "
                             "in a file, 'restore' reads the controller's block again"));
    EXPECT_FALSE(log.contains("cannot save"));
    EXPECT_EQ(flashImage[179], 3);
    EXPECT_TRUE(imageChanged());
    EXPECT_TRUE(log.hasLine("You didn't save your changes to the controller."));
  }
}

TEST_F(Shell, ExtraWordsMisspeltWordsAndFilesSavedOrRestoredAreExplained) {
  registerTable(robotTable);
  registerTable(armTable);
  TempDir dir;
  std::string file = dir.file("out.rop");
  std::string in = dir.write("in.rop", "HostBaud 4\n");
  run("Name my robot\nSERIAL number\nHostBaud 3 5\nHostBuad\nsave " + file + "\nr " + in + "\nr " +
      dir.file("missing.rop") + "\nqiut\nxyzzy\nq\n");
  std::string expected = "Your robot's name is my\n"
                         "Only 'my' was taken; write 'my\\ robot' to keep the blanks.\n"
                         "Serial Number set to number\n"
                         "'SERIAL number' is how the listing describes SerNum: its value is now "
                         "'number'.\n"
                         "HostBaud is 57600\n"
                         "Could not understand command 'HostBuad'. Type 'h' for help.\n"
                         "Did you mean 'HostBaud'?\n"
                         "Saved parameters to '" +
                         file +
                         "'.\n"
                         "Restored parameters from '" +
                         in + "'.\n";
  EXPECT_EQ(log.text().substr(0, expected.size()), expected) << log.text();
  EXPECT_EQ(count(log.text(), "Restored parameters from"), 1u) << "a failed restore says so";
  EXPECT_NE(log.text().find("Could not understand command 'qiut'. Type 'h' for help.\n"
                            "Did you mean 'quit'?\n"
                            "Could not understand command 'xyzzy'. Type 'h' for help.\n"
                            "No connection"),
            std::string::npos)
      << log.text();
  EXPECT_EQ(std::string(reinterpret_cast<char *>(flashImage) + 141), "my");
  EXPECT_EQ(flashImage[179], 4);
}

TEST_F(Shell, TabCompletesWordsValuesAndFileNames) {
  LogCapture quiet{ZyLog::Terse};
  setParameter(robotTable, "JoyVelMax", "1800");
  setParameter(robotTable, "Name", "my bot");
  TempDir dir;
  for (const char *name : {"b.rop", "a.txt", "c.mot", "d.hex", "my file.rop"})
    dir.write(name, "");
  dir.subdir("sub");
  char *home = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  struct Case {
    const char *before;
    size_t replaceLength;
    const char *replacement;
    std::vector<std::string> shown;
  } cases[] = {
      {"joyv", 4, "JoyVelMax ", {}},
      {"  hostB", 5, "HostBaud ", {}},
      {"rotv", 4, "RotVel", {"RotVelTop  RotVelMax"}},
      {"QUIT", 4, "quit ", {}},
      {"xyzzy", 0, "", {}},
      {"JOYVELMAX ", 0, "1800", {"JoyVelMax: 0..2200, now 1800"}},
      {"JoyVelMax 18", 0, "", {"JoyVelMax: 0..2200, now 1800"}},
      {"Name ", 0, "my\\ bot", {"Name: up to 19 characters, now 'my bot'"}},
      {"HostBaud 4 ", 0, "", {}},
      {"save ", 0, "", {"b.rop  my file.rop  a.txt  c.mot  d.hex  sub/"}},
      {"upload ", 0, "", {"c.mot  d.hex  a.txt  b.rop  my file.rop  sub/"}},
      {"r b", 1, "b.rop ", {}},
      {"restore my", 2, "my\\ file.rop ", {}},
      {"u su", 2, "sub/", {}},
      {"d nothing", 0, "", {}},
  };
  for (const Case &c : cases) {
    Completion got = completeShellLine(c.before);
    EXPECT_EQ(got.replaceLength, c.replaceLength) << c.before;
    EXPECT_EQ(got.replacement, c.replacement) << c.before;
    EXPECT_EQ(got.shown, c.shown) << c.before;
  }
  EXPECT_EQ(chdir(home), 0);
  free(home);
}

TEST(ShellHistory, FileIsFoundReadRobustlyAndWrittenPrivately) {
  const char *state = getenv("XDG_STATE_HOME");
  std::string savedState = state != nullptr ? state : "";
  setenv("XDG_STATE_HOME", "/x/state", 1);
  EXPECT_EQ(historyPath(), "/x/state/orvexconf/history");
  setenv("XDG_STATE_HOME", "relative", 1);
  std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
  EXPECT_EQ(historyPath(), home.empty() ? "" : home + "/.local/state/orvexconf/history");
  if (state != nullptr)
    setenv("XDG_STATE_HOME", savedState.c_str(), 1);
  else
    unsetenv("XDG_STATE_HOME");

  struct Case {
    std::string content;
    size_t limit;
    std::vector<std::string> lines;
  } cases[] = {
      {"HostBaud 4\nName a\\ b\r\n\nv", 10, {"HostBaud 4", "Name a\\ b", "v"}},
      {std::string("a\0b\nok\n\x1b[A\nn\xc3\xa9\n", 15), 10, {"ok"}},
      {std::string(256, 'x') + "\n" + std::string(255, 'y') + "\n", 10, {std::string(255, 'y')}},
      {"1\n2\n3\n4\n", 2, {"3", "4"}},
  };
  for (const Case &c : cases)
    EXPECT_EQ(parseHistory(c.content, c.limit, 255), c.lines) << c.content;

  TempDir dir;
  std::string path = dir.file("state/orvexconf/history");
  ASSERT_TRUE(writeHistory(path, {"HostBaud 4", "q"}));
  EXPECT_EQ(readFile(path), "HostBaud 4\nq\n");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(dir.file("state/orvexconf").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_TRUE(writeHistory(path, {"v"}));
  EXPECT_EQ(readFile(path), "v\n");
  EXPECT_FALSE(writeHistory(dir.file("state/orvexconf/history/below"), {"v"}));
  // A link at its place is replaced, never written through.
  std::string victim = dir.write("victim", "keep");
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_TRUE(writeHistory(path, {"q"}));
  EXPECT_EQ(readFile(victim), "keep");
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // Nothing is written in a folder of another user's (here root's).
  if (geteuid() != 0) {
    EXPECT_FALSE(writeHistory("/orvexconf-history-test", {"v"}));
    EXPECT_EQ(errno, EPERM);
  }
}

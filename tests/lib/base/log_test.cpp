// SPDX-License-Identifier: MIT
// Tests of the process-wide log: levels, the five destinations, log files
// (truncation, same file, unopenable path), ZYLOG_LEVEL, the time prefix,
// also-print, the init report line, over-long lines and the observer.
#include "TempFiles.h"
#include "ZyLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> gSunk;
void sink(int handle, const char *line) {
  gSunk.push_back(std::to_string(handle) + ":" + line);
}

// What the observer saw, as "level:line"; it logs "inner" itself when it
// sees "log inside", which must not reach it again.
std::vector<std::string> gObserved;
void observe(void *context, ZyLog::LogLevel level, const char *line) {
  static_cast<std::vector<std::string> *>(context)->push_back(std::to_string(level) + ":" + line);
  if (std::string(line) == "log inside")
    ZyLog::logNoLock(ZyLog::Terse, "inner");
}

class ZyLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    unsetenv("ZYLOG_LEVEL");
    gSunk.clear();
    gObserved.clear();
  }
  void TearDown() override {
    unsetenv("ZYLOG_LEVEL");
    ZyLog::setObserver(nullptr, nullptr);
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  }
  std::string path(const char *name) const { return myDir + "/" + name; }

  // Standard output produced by fn.
  template <class Fn> static std::string stdoutOf(Fn fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  TempDir myTemp{"zylogtest"};
  std::string myDir = myTemp.path();
};

} // namespace

TEST_F(ZyLogTest, MessagesAboveTheLevelAreNotWritten) {
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Terse, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "normal %d", 1);
    ZyLog::log(ZyLog::Verbose, "verbose");
    ZyLog::log(ZyLog::Terse, "terse %s", "shown");
    ZyLog::init(ZyLog::StdOut, ZyLog::Verbose, "", false, false, false);
    ZyLog::log(ZyLog::Verbose, "verbose now");
    ZyLog::logNoLock(ZyLog::Normal, "no lock");
  });
  EXPECT_EQ(out, "terse shown\nverbose now\nno lock\n");
}

TEST_F(ZyLogTest, StdErrTesselAndNoneDestinations) {
  testing::internal::CaptureStderr();
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdErr, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "to stderr");
    ZyLog::init(ZyLog::None, ZyLog::Verbose, "", false, false, false);
    ZyLog::log(ZyLog::Terse, "to nowhere");
    ZyLog::init(ZyLog::Tessel, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "no sink yet");
    ZyLog::setTextSink(sink, 17);
    ZyLog::log(ZyLog::Normal, "sunk %d", 2);
  });
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "to stderr\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(gSunk, std::vector<std::string>{"17:sunk 2"});
  EXPECT_EQ(ZyLog::getType(), ZyLog::Tessel);
}

TEST_F(ZyLogTest, FileIsTruncatedAndTheSameFileIsKeptOpen) {
  std::string file = path("log.txt");
  {
    std::ofstream old(file);
    old << "old contents\n";
  }
  ASSERT_TRUE(ZyLog::init(ZyLog::File, ZyLog::Normal, file.c_str(), false, false, false));
  ZyLog::log(ZyLog::Normal, "first");
  EXPECT_EQ(readFile(file), "first\n");
  // The same name again: no truncation, a notice in the file.
  ASSERT_TRUE(ZyLog::init(ZyLog::File, ZyLog::Normal, file.c_str(), false, false, false));
  ZyLog::log(ZyLog::Normal, "second");
  EXPECT_EQ(readFile(file), "first\nZyLog::init: Continuing to log to the same file.\nsecond\n");

  // Another file: the first is closed and the new one receives the lines.
  std::string other = path("other.txt");
  ASSERT_TRUE(ZyLog::init(ZyLog::File, ZyLog::Normal, other.c_str(), false, false, false));
  ZyLog::log(ZyLog::Normal, "third");
  EXPECT_EQ(readFile(other), "third\n");

  // Leaving File closes the file; lines go to standard output.
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "fourth");
  });
  EXPECT_EQ(out, "fourth\n");
  EXPECT_EQ(readFile(other), "third\n");
}

TEST_F(ZyLogTest, UnopenableFileFailsAndTheNextMessageReachesStandardOutput) {
  std::string bad = path("missing-dir/log.txt");
  // While logging to standard output.
  bool ok = true;
  std::string out = stdoutOf([&] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    ok = ZyLog::init(ZyLog::File, ZyLog::Verbose, bad.c_str(), true, false, false);
    ZyLog::log(ZyLog::Normal, "after");
    ZyLog::log(ZyLog::Verbose, "level kept");
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(out, "ZyLog::init: Could not open file " + bad + " for logging.\nafter\n");
  EXPECT_EQ(ZyLog::getType(), ZyLog::StdOut);
  EXPECT_EQ(ZyLog::getLevel(), ZyLog::Normal);

  // While logging to another file: that file is closed, lines reach stdout.
  std::string file = path("good.txt");
  ASSERT_TRUE(ZyLog::init(ZyLog::File, ZyLog::Normal, file.c_str(), false, false, false));
  out = stdoutOf([&] {
    ok = ZyLog::init(ZyLog::File, ZyLog::Normal, bad.c_str(), false, false, false);
    ZyLog::log(ZyLog::Normal, "after file");
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(out, "ZyLog::init: Could not open file " + bad + " for logging.\nafter file\n");
  EXPECT_EQ(readFile(file), "");
}

TEST_F(ZyLogTest, EnvironmentLevelOverridesByFirstLetterOnly) {
  struct Case {
    const char *value;
    ZyLog::LogLevel given;
    ZyLog::LogLevel want;
  } cases[] = {
      {"verbose", ZyLog::Terse, ZyLog::Verbose}, {"V", ZyLog::Normal, ZyLog::Verbose},
      {"terse", ZyLog::Verbose, ZyLog::Terse},   {"Tx", ZyLog::Normal, ZyLog::Terse},
      {"n", ZyLog::Verbose, ZyLog::Normal},      {"quiet", ZyLog::Verbose, ZyLog::Verbose},
      {"2", ZyLog::Terse, ZyLog::Terse},         {"", ZyLog::Normal, ZyLog::Normal},
  };
  for (const Case &c : cases) {
    setenv("ZYLOG_LEVEL", c.value, 1);
    ZyLog::init(ZyLog::None, c.given, "", false, false, false);
    EXPECT_EQ(ZyLog::getLevel(), c.want) << "ZYLOG_LEVEL=" << c.value;
  }
}

TEST_F(ZyLogTest, TimePrefixIsTwentyCharactersWithoutTheYear) {
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", true, false, false);
    ZyLog::log(ZyLog::Normal, "stamped");
  });
  ASSERT_EQ(out.size(), 20u + 7u + 1u) << out;
  EXPECT_TRUE(std::regex_match(
      out, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
                      "stamped\n")))
      << out;
}

TEST_F(ZyLogTest, AlsoPrintCopiesEveryLineToStandardOutput) {
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, true, false);
    ZyLog::log(ZyLog::Normal, "twice");
    ZyLog::init(ZyLog::None, ZyLog::Normal, "", false, true, false);
    ZyLog::log(ZyLog::Normal, "once");
    ZyLog::init(ZyLog::None, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Terse, "never");
  });
  EXPECT_EQ(out, "twice\ntwice\nonce\n");

  std::string file = path("also.txt");
  out = stdoutOf([&] {
    ZyLog::init(ZyLog::File, ZyLog::Normal, file.c_str(), false, true, false);
    ZyLog::log(ZyLog::Normal, "both");
  });
  EXPECT_EQ(out, "both\n");
  EXPECT_EQ(readFile(file), "both\n");
}

TEST_F(ZyLogTest, InitReportLine) {
  std::string file = path("report.txt");
  std::string out = stdoutOf([&] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, true);
    ZyLog::init(ZyLog::StdErr, ZyLog::Terse, "", true, true, true);
    ZyLog::init(ZyLog::File, ZyLog::Verbose, file.c_str(), false, false, true);
    ZyLog::init(ZyLog::Tessel, ZyLog::Normal, "", false, false, true);
    ZyLog::init(ZyLog::None, ZyLog::Normal, "", false, false, true);
    ZyLog::init(static_cast<ZyLog::LogType>(9), static_cast<ZyLog::LogLevel>(7), "", false, false,
                true);
    ZyLog::init(ZyLog::None, ZyLog::Normal, "", false, false, false);
  });
  EXPECT_EQ(out, "ZyLog::init:  StdOut\t Normal\t Not logging time\t Not also printing\n"
                 "ZyLog::init:  StdErr\t Terse\t Logging Time\t Also printing\n"
                 "ZyLog::init:  File(" +
                     file +
                     ")\t Verbose\t Not logging time\t Not also printing\n"
                     "ZyLog::init:  Tessel\t Normal\t Not logging time\t Not also printing\n"
                     "ZyLog::init:  None\t Normal\t Not logging time\t Not also printing\n"
                     "ZyLog::init:  BadType\t BadLevel\t Not logging time\t Not also printing\n");
}

TEST_F(ZyLogTest, BadTypeWritesLikeStandardOutput) {
  std::string out = stdoutOf([] {
    ZyLog::init(static_cast<ZyLog::LogType>(9), ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "still written");
  });
  EXPECT_EQ(out, "still written\n");
}

TEST_F(ZyLogTest, OverlongLineIsCutInsideTheBuffer) {
  std::string longText(5000, 'x');
  std::string out = stdoutOf([&] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "%s", longText.c_str());
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", true, false, false);
    ZyLog::log(ZyLog::Normal, "%s", longText.c_str());
  });
  size_t nl = out.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_EQ(nl, static_cast<size_t>(ZyLog::BUFFER_SIZE - 1));
  EXPECT_EQ(out.substr(0, nl), std::string(ZyLog::BUFFER_SIZE - 1, 'x'));
  std::string second = out.substr(nl + 1);
  EXPECT_EQ(second.size(), static_cast<size_t>(ZyLog::BUFFER_SIZE));
  EXPECT_EQ(second.substr(20), std::string(ZyLog::BUFFER_SIZE - 21, 'x') + "\n");
}

TEST_F(ZyLogTest, CloseEndsTheFileAndLinesGoToStandardOutput) {
  std::string file = path("closed.txt");
  ASSERT_TRUE(ZyLog::init(ZyLog::File, ZyLog::Normal, file.c_str(), false, false, false));
  ZyLog::log(ZyLog::Normal, "in file");
  ZyLog::close();
  std::string out = stdoutOf([] { ZyLog::log(ZyLog::Normal, "after close"); });
  EXPECT_EQ(out, "after close\n");
  EXPECT_EQ(readFile(file), "in file\n");
  // Opening the same name again truncates: the old name was forgotten.
  ASSERT_TRUE(ZyLog::init(ZyLog::File, ZyLog::Normal, file.c_str(), false, false, false));
  EXPECT_EQ(readFile(file), "");
}

TEST_F(ZyLogTest, ObserverSeesEveryLineThatPassesTheLevelWhateverTheType) {
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    ZyLog::setObserver(observe, &gObserved);
    ZyLog::log(ZyLog::Terse, "Could not process: %s %s\n", "Foo", "3");
    ZyLog::log(ZyLog::Verbose, "filtered");
    ZyLog::log(ZyLog::Terse, "%s", "");
    ZyLog::log(ZyLog::Terse, "\r\n");
    // Silent destinations, the time prefix and the lock-free entry alike.
    ZyLog::init(ZyLog::None, ZyLog::Terse, "", true, false, false);
    ZyLog::log(ZyLog::Terse, "silent %d", 1);
    ZyLog::log(ZyLog::Normal, "above the level");
    ZyLog::logNoLock(ZyLog::Terse, "log inside");
    ZyLog::init(ZyLog::Tessel, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Normal, "no sink");
    ZyLog::setObserver(nullptr, nullptr);
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Terse, "after removal");
  });
  // What is written is unchanged: the trailing line end is still there.
  EXPECT_EQ(out, "Could not process: Foo 3\n\n\n\r\n\nafter removal\n");
  EXPECT_EQ(gObserved, (std::vector<std::string>{"0:Could not process: Foo 3", "0:silent 1",
                                                 "0:log inside", "1:no sink"}));
}

// SPDX-License-Identifier: MIT
// Tests of the process-wide log: levels, the five destinations, log files
// (truncation, same file, unopenable path), ZYLOG_LEVEL, the time prefix,
// also-print, the init report line, over-long lines, the observer, the
// program's sink, the quiet default of a library and the collectors of
// each thread.
#include "TempFiles.h"
#include "ZyLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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

namespace {
// What a program's sink received, as "level:line".
std::vector<std::string> gProgramLines;
void programSink(void *context, ZyLog::LogLevel level, const char *line) {
  static_cast<std::vector<std::string> *>(context)->push_back(std::to_string(level) + ":" + line);
}
} // namespace

TEST_F(ZyLogTest, ProgramSinkTakesTheLinesUpToItsLevelUntilInitChoosesAgain) {
  gProgramLines.clear();
  testing::internal::CaptureStderr();
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdErr, ZyLog::Terse, "", false, false, false);
    ZyLog::setSink(programSink, &gProgramLines, ZyLog::Normal);
    ZyLog::log(ZyLog::Terse, "error %d", 1);
    ZyLog::log(ZyLog::Normal, "progress");
    ZyLog::log(ZyLog::Verbose, "trace");
    // Removing it routes the log nowhere.
    ZyLog::setSink(nullptr, &gProgramLines, ZyLog::Verbose);
    ZyLog::log(ZyLog::Terse, "nowhere");
    ZyLog::setSink(programSink, &gProgramLines, ZyLog::Terse);
    // init of any type removes it, Tessel included.
    ZyLog::init(ZyLog::Tessel, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Terse, "after init");
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    ZyLog::log(ZyLog::Terse, "to stdout");
  });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(out, "to stdout\n");
  EXPECT_EQ(gProgramLines, (std::vector<std::string>{"0:error 1", "1:progress"}));
  EXPECT_EQ(ZyLog::getType(), ZyLog::StdOut);
}

namespace {
// In a process whose log nobody set up: the first call silences it, a
// line still reaches a collector, and the program's own init chooses
// again. 0 when all of that held.
int quietInAFreshProcess() {
  ZyLog::Collector collected(ZyLog::Terse);
  bool first = false;
  bool second = true;
  fflush(stdout);
  testing::internal::CaptureStdout();
  first = ZyLog::quietUnlessChosen();
  second = ZyLog::quietUnlessChosen();
  ZyLog::log(ZyLog::Terse, "silent");
  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  ZyLog::quietUnlessChosen();
  ZyLog::log(ZyLog::Terse, "chosen");
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  bool ok = first && !second && out == "chosen\n" && collected.lines().size() == 2 &&
            collected.lines()[0].text == "silent";
  return ok ? 0 : 1;
}
} // namespace

TEST_F(ZyLogTest, QuietUnlessChosenSilencesOnlyALogNoProgramHasSetUp) {
  // A process of its own, started afresh (not forked from this one, whose
  // log the tests before have set up).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit(quietInAFreshProcess()), ::testing::ExitedWithCode(0), "");
  // Here the log was set up: nothing changes.
  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  EXPECT_FALSE(ZyLog::quietUnlessChosen());
  EXPECT_EQ(ZyLog::getType(), ZyLog::StdOut);
}

TEST_F(ZyLogTest, CollectorsTakeTheirThreadsLinesUpToTheirOwnLevel) {
  std::string out = stdoutOf([] {
    ZyLog::init(ZyLog::StdOut, ZyLog::Terse, "", true, false, false);
    ZyLog::Collector outer(ZyLog::Verbose);
    {
      ZyLog::Collector inner(ZyLog::Terse);
      ZyLog::log(ZyLog::Terse, "error\r\n");
      ZyLog::log(ZyLog::Normal, "progress");
      ZyLog::log(ZyLog::Terse, "%s", "");
      EXPECT_EQ(inner.text(ZyLog::Verbose), "error\n");
    }
    ZyLog::log(ZyLog::Verbose, "trace");
    // Lines without the time prefix, whatever the log's level.
    ASSERT_EQ(outer.lines().size(), 3u);
    EXPECT_EQ(outer.lines()[0].text, "error");
    EXPECT_EQ(outer.lines()[1].level, ZyLog::Normal);
    EXPECT_EQ(outer.text(ZyLog::Normal), "error\nprogress\n");
    EXPECT_EQ(outer.text(ZyLog::Verbose), "error\nprogress\ntrace\n");
  });
  // The log itself wrote what its level let through, as before.
  ASSERT_EQ(out.size(), 20u + 8u + 20u + 1u) << out;
  EXPECT_EQ(out.substr(20, 8), "error\r\n\n");
  EXPECT_EQ(out.substr(48), "\n");

  // A loop that logs without end is kept to MAX_LINES.
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  ZyLog::Collector many(ZyLog::Normal);
  for (size_t i = 0; i < ZyLog::Collector::MAX_LINES + 5; i++)
    ZyLog::log(ZyLog::Normal, "line %zu", i);
  EXPECT_EQ(many.lines().size(), ZyLog::Collector::MAX_LINES);
  EXPECT_EQ(many.notKept(), 5u);
  EXPECT_EQ(many.lines().back().text, "line " + std::to_string(ZyLog::Collector::MAX_LINES - 1));
}

TEST_F(ZyLogTest, EachThreadCollectsOnlyItsOwnLinesWhileTheLogIsChanged) {
  // Several threads log at once (as several controllers driven from
  // several threads would), while another sets the log up again and again:
  // each collector holds its own thread's lines, in order, and the sink
  // sees every line it was set up for.
  const int threads = 4, lines = 300;
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  std::atomic<bool> done{false};
  std::vector<std::string> sunk;
  std::thread changer([&] {
    while (!done) {
      ZyLog::setSink(programSink, &sunk, ZyLog::Terse);
      ZyLog::init(ZyLog::None, ZyLog::Verbose, "", false, false, false);
    }
    ZyLog::setSink(programSink, &sunk, ZyLog::Terse);
  });
  std::vector<std::vector<std::string>> got(threads);
  std::vector<std::thread> loggers;
  for (int t = 0; t < threads; t++)
    loggers.emplace_back([t, &got] {
      ZyLog::Collector mine(ZyLog::Normal);
      for (int i = 0; i < lines; i++)
        ZyLog::log(i % 2 == 0 ? ZyLog::Terse : ZyLog::Normal, "thread %d line %d", t, i);
      for (const ZyLog::Collector::Line &line : mine.lines())
        got[t].push_back(line.text);
    });
  for (std::thread &logger : loggers)
    logger.join();
  done = true;
  changer.join();
  ZyLog::log(ZyLog::Terse, "last");
  ZyLog::init(ZyLog::None, ZyLog::Normal, "", false, false, false);
  for (int t = 0; t < threads; t++) {
    ASSERT_EQ(got[t].size(), static_cast<size_t>(lines)) << "thread " << t;
    for (int i = 0; i < lines; i++)
      ASSERT_EQ(got[t][i], "thread " + std::to_string(t) + " line " + std::to_string(i));
  }
  ASSERT_FALSE(sunk.empty());
  EXPECT_EQ(sunk.back(), "0:last");
}

TEST_F(ZyLogTest, SilenceKeepsOneThreadsLinesFromTheLogAndItsObserver) {
  // A silenced thread's lines reach collectors only; another thread's
  // lines go on reaching the sink and the observer.
  std::vector<std::string> sunk, observed;
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  ZyLog::setSink(programSink, &sunk, ZyLog::Normal);
  ZyLog::setObserver(
      [](void *context, ZyLog::LogLevel, const char *line) {
        static_cast<std::vector<std::string> *>(context)->push_back(line);
      },
      &observed);
  ZyLog::Collector mine(ZyLog::Normal);
  {
    ZyLog::Silence quiet;
    {
      ZyLog::Silence nested;
      ZyLog::log(ZyLog::Terse, "silenced");
    }
    std::thread other([] { ZyLog::log(ZyLog::Terse, "other thread"); });
    other.join();
    ZyLog::log(ZyLog::Normal, "still silenced");
  }
  ZyLog::log(ZyLog::Terse, "heard");
  ZyLog::setObserver(nullptr, nullptr);
  ZyLog::init(ZyLog::None, ZyLog::Normal, "", false, false, false);
  EXPECT_EQ(sunk, (std::vector<std::string>{"0:other thread", "0:heard"}));
  EXPECT_EQ(observed, (std::vector<std::string>{"other thread", "heard"}));
  EXPECT_EQ(mine.text(ZyLog::Normal), "silenced\nstill silenced\nheard\n");
}

// SPDX-License-Identifier: MIT
// ProgressPrinter: in-place lines on a terminal, plain start and end lines
// elsewhere, rate and time left from a clock the test moves by hand; a
// signal's notice after an open progress line.
#include "ChildProcess.h"
#include "ProgressPrinter.h"
#include "PtyPair.h"
#include "ScreenLine.h"
#include "WaitFor.h"
#include "ZyCriticalSection.h"
#include "ZyLog.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {
/// A printer over an in-memory stream and a hand-moved clock.
struct Capture {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&buffer, &size);
  double now = 100.0;
  ProgressPrinter printer;
  explicit Capture(bool terminal) : printer(stream, terminal, [this] { return now; }) {}
  ~Capture() {
    fclose(stream);
    free(buffer);
  }
  std::string text() {
    fflush(stream);
    return std::string(buffer, size);
  }
};

/// Writes a block as the link does: 128-byte pieces, time moving evenly.
void writeBlock(Capture &c, int block, unsigned int start, unsigned int bytes, double seconds,
                bool ok = true) {
  c.printer.blockStarted(block, start, bytes);
  for (unsigned int at = start; at < start + bytes; at += 128) {
    unsigned int end = at + 128 < start + bytes ? at + 128 : start + bytes;
    c.now += seconds * (end - at) / bytes;
    c.printer.pieceSent(at, end);
  }
  c.printer.blockEnded(ok);
}
} // namespace

TEST(ProgressPrinter, NotATerminalGetsOneLineAtStartAndOneAtEndOfEachBlock) {
  Capture c(false);
  writeBlock(c, 7, 0x7000, 4096, 2.0);
  writeBlock(c, 8, 0x8000, 256, 0.5, false);
  std::string out = c.text();
  EXPECT_EQ(out.find('\r'), std::string::npos) << out;
  EXPECT_EQ(out, "Writing 0x7000 to 0x8000 (block 0x7, 4096 bytes)\n"
                 "Wrote 0x7000 to 0x8000 (block 0x7, 4096 bytes) in 2.0 s, 2.0 KB/s\n"
                 "Writing 0x8000 to 0x8100 (block 0x8, 256 bytes)\n"
                 "Writing block 0x8 failed after 256 of 256 bytes\n");
}

TEST(ProgressPrinter, TerminalRewritesOneLinePerBlockWithRateAndTimeLeft) {
  Capture c(true);
  c.printer.blockStarted(7, 0x7000, 4096);
  EXPECT_EQ(c.text(), "") << "nothing before the first piece";
  c.now += 0.5;
  c.printer.pieceSent(0x7000, 0x7400); // 1 KB in 0.5 s: 2 KB/s, 3 KB left: 1.5 s
  EXPECT_EQ(c.text(), "\rWriting 0x7000 to 0x7400  1024/4096 bytes  25%  2.0 KB/s  0:02 left");
  c.now += 1.5;
  c.printer.pieceSent(0x7400, 0x8000);
  c.printer.blockEnded(true);
  std::string out = c.text();
  EXPECT_NE(out.find("\rWriting 0x7400 to 0x8000  4096/4096 bytes 100%  2.0 KB/s  0:00 left"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\rWriting 0x7000 to 0x8000  4096/4096 bytes 100%  2.0 KB/s  done in 2.0 s"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "one line for the block";
}

TEST(ProgressPrinter, TerminalBlanksWhatALongerLineLeftBehind) {
  Capture c(true);
  c.printer.blockStarted(9, 0x10000, 0x10000);
  c.printer.pieceSent(0x10000, 0x10080); // no time passed: rate unknown
  c.now += 1;
  c.printer.pieceSent(0x10080, 0x10100);
  std::string progress = c.text();
  EXPECT_NE(progress.find("128/65536 bytes   0%  -- KB/s  --:-- left"), std::string::npos);
  size_t lastLine = progress.rfind('\r');
  size_t longest = progress.size() - lastLine;
  c.printer.blockEnded(false);
  std::string end = c.text().substr(progress.size());
  // The failure text is shorter than the progress text: blanks cover the rest.
  EXPECT_EQ(end.rfind("\rWriting 0x10080 to 0x10100  256/65536 bytes  failed ", 0), 0u) << end;
  EXPECT_EQ(end.size(), longest + 1) << end;
  EXPECT_EQ(end.back(), '\n');
}

TEST(ProgressPrinter, OddReportsNeitherCrashNorOverflow) {
  Capture c(true);
  c.printer.pieceSent(0x100, 0x180); // no block started
  c.printer.blockEnded(true);
  EXPECT_EQ(c.text(), "");
  c.printer.blockStarted(0, 0, 0); // empty block
  c.printer.blockEnded(true);
  EXPECT_NE(c.text().find("0/0 bytes 100%"), std::string::npos) << c.text();
  c.printer.blockStarted(1, 0x1000, 128);
  c.now += 1e7; // a very long piece and one past the block's end
  c.printer.pieceSent(0x1000, 0x2000);
  EXPECT_NE(c.text().find("128/128 bytes 100%"), std::string::npos) << c.text();
  // A block started before the last one ended closes the open line.
  c.printer.blockStarted(2, 0x2000, 128);
  EXPECT_NE(c.text().find("bytes  failed"), std::string::npos) << c.text();
}

TEST(ProgressPrinter, TimeLeftGrowsIntoHours) {
  Capture c(true);
  c.printer.blockStarted(11, 0x30000, 0x10000);
  c.now += 100;
  c.printer.pieceSent(0x30000, 0x30010); // 16 bytes in 100 s
  EXPECT_NE(c.text().find("0.0 KB/s  113:45:00 left"), std::string::npos) << c.text();
}

TEST(ProgressPrinter, TerminalIsRecognisedOnAPtyAndNotOnAPipe) {
  PtyPair pty;
  FILE *tty = fopen(pty.slavePath().c_str(), "w");
  ASSERT_NE(tty, nullptr);
  EXPECT_TRUE(isTerminal(tty));
  fclose(tty);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE *pipeEnd = fdopen(fds[1], "w");
  ASSERT_NE(pipeEnd, nullptr);
  EXPECT_FALSE(isTerminal(pipeEnd));
  fclose(pipeEnd);
  close(fds[0]);
}

TEST(ProgressPrinter, ASignalsNoticeStartsOnALineOfItsOwn) {
  ChildResult r = runInChild([] {
    unsetenv("ZYLA_SIGHANDLE_METHOD");
    Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    endScreenLineBeforeSignalNotices();
    // A clock that stands still: the lines' lengths do not follow how soon
    // the signal is noticed (with the rate they would, and a longer first
    // line would be blanked out behind the last).
    ProgressPrinter printer(stdout, true, [] { return 100.0; });
    {
      ZyCriticalSection section;
      printer.blockStarted(7, 0x7000, 4096);
      printer.pieceSent(0x7000, 0x7080);
      // The notice is printed by the signal thread; the block ends once it
      // is out (the observer sees a line after it is written).
      static std::atomic<bool> noticed{false};
      ZyLog::setObserver(
          [](void *, ZyLog::LogLevel, const char *line) {
            if (strstr(line, "during work") != nullptr)
              noticed = true;
          },
          nullptr);
      kill(getpid(), SIGINT);
      if (!waitFor([] { return ZyCriticalSection::pendingSignal() == SIGINT && noticed.load(); }))
        childMark("signal never recorded\n");
      ZyLog::setObserver(nullptr, nullptr);
      printer.blockEnded(true);
    }
    fflush(stdout);
    Zyla::exit(Zyla::exitStatusForSignal(Zyla::stopRequest()));
  });
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_EQ(r.exitCode, 130) << r.output;
  EXPECT_NE(r.output.find(" left\nZyla: Received signal 'SIGINT' during work"), std::string::npos)
      << r.output;
  // The line closed by its block's end is not ended twice.
  EXPECT_NE(r.output.find("done in 0.0 s\nZyla: Received signal 'SIGINT'. Stopping."),
            std::string::npos)
      << r.output;
}

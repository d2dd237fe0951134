// SPDX-License-Identifier: MIT
// Progress lines of FLASH writes, in place on a terminal and line by line
// elsewhere.
#include "ProgressPrinter.h"

#include "ScreenLine.h"

#include <chrono>
#include <cstring>
#include <unistd.h>

namespace {
double monotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

/// "12.3 KB/s", or "-- KB/s" while the rate is unknown.
void formatRate(char *text, size_t size, double bytesPerSecond) {
  if (bytesPerSecond < 0)
    snprintf(text, size, "-- KB/s");
  else
    snprintf(text, size, "%.1f KB/s", bytesPerSecond / 1024.0);
}

/// "m:ss", or "--:--" while unknown; long waits are shown as hours.
void formatDuration(char *text, size_t size, double seconds) {
  if (seconds < 0) {
    snprintf(text, size, "--:--");
    return;
  }
  unsigned long whole = static_cast<unsigned long>(seconds + 0.5);
  if (whole >= 3600)
    snprintf(text, size, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  else
    snprintf(text, size, "%lu:%02lu", whole / 60, whole % 60);
}
} // namespace

ProgressPrinter::ProgressPrinter(FILE *out, bool terminal, Clock clock)
    : myOut(out), myTerminal(terminal), myClock(clock ? std::move(clock) : monotonicSeconds) {}

void ProgressPrinter::blockStarted(int block, unsigned int start, unsigned int bytes) {
  if (myActive) // a block that was never ended: close its line first
    blockEnded(false);
  myActive = true;
  myBlock = block;
  myStart = start;
  myBytes = bytes;
  myDone = 0;
  myLastFrom = start;
  myLastTo = start;
  myStartTime = myClock();
  myLineLength = 0;
  if (!myTerminal) {
    fprintf(myOut, "Writing 0x%x to 0x%x (block 0x%x, %u bytes)\n", start, start + bytes, block,
            bytes);
    fflush(myOut);
  }
}

double ProgressPrinter::rate(double now) const {
  double elapsed = now - myStartTime;
  if (myDone == 0 || elapsed <= 0)
    return -1;
  return myDone / elapsed;
}

void ProgressPrinter::pieceSent(unsigned int from, unsigned int to) {
  if (!myActive || to < from)
    return;
  myLastFrom = from;
  myLastTo = to;
  // Pieces go out in order, so what lies below the piece's end is done.
  unsigned int done = to > myStart ? to - myStart : 0;
  myDone = done < myBytes ? done : myBytes;
  if (!myTerminal)
    return;
  double now = myClock();
  double bytesPerSecond = rate(now);
  unsigned int percent = myBytes == 0 ? 100 : static_cast<unsigned int>(100.0 * myDone / myBytes);
  char rateText[32];
  char leftText[32];
  formatRate(rateText, sizeof rateText, bytesPerSecond);
  formatDuration(leftText, sizeof leftText,
                 bytesPerSecond > 0 ? (myBytes - myDone) / bytesPerSecond : -1);
  char line[160];
  snprintf(line, sizeof line, "Writing 0x%x to 0x%x  %u/%u bytes %3u%%  %s  %s left", from, to,
           myDone, myBytes, percent, rateText, leftText);
  rewriteLine(line);
}

void ProgressPrinter::blockEnded(bool ok) {
  if (!myActive)
    return;
  myActive = false;
  double now = myClock();
  double elapsed = now - myStartTime;
  if (elapsed < 0)
    elapsed = 0;
  char rateText[32];
  formatRate(rateText, sizeof rateText, rate(now));
  char line[160];
  if (myTerminal) {
    if (ok)
      snprintf(line, sizeof line, "Writing 0x%x to 0x%x  %u/%u bytes 100%%  %s  done in %.1f s",
               myStart, myStart + myBytes, myBytes, myBytes, rateText, elapsed);
    else
      snprintf(line, sizeof line, "Writing 0x%x to 0x%x  %u/%u bytes  failed", myLastFrom, myLastTo,
               myDone, myBytes);
    rewriteLine(line);
    fputc('\n', myOut);
    if (myOut == stdout)
      setScreenLineOpen(false);
  } else if (ok) {
    fprintf(myOut, "Wrote 0x%x to 0x%x (block 0x%x, %u bytes) in %.1f s, %s\n", myStart,
            myStart + myBytes, myBlock, myBytes, elapsed, rateText);
  } else {
    fprintf(myOut, "Writing block 0x%x failed after %u of %u bytes\n", myBlock, myDone, myBytes);
  }
  fflush(myOut);
}

void ProgressPrinter::rewriteLine(const char *text) {
  int length = static_cast<int>(strlen(text));
  int blanks = myLineLength > length ? myLineLength - length : 0;
  fprintf(myOut, "\r%s%*s", text, blanks, "");
  myLineLength = length;
  fflush(myOut);
  if (myOut == stdout)
    setScreenLineOpen(true);
}

bool isTerminal(FILE *out) {
  return out != nullptr && isatty(fileno(out)) == 1;
}

std::unique_ptr<ProgressPrinter> makeStdoutProgress() {
  // A signal's notice does not land in the middle of a progress line.
  endScreenLineBeforeSignalNotices();
  return std::make_unique<ProgressPrinter>(stdout, isTerminal(stdout));
}

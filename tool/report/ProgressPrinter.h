// SPDX-License-Identifier: MIT
// ProgressPrinter: shows the progress of a FLASH write (the parameter block
// or a firmware download) that the link reports through TransferProgress.
// On a terminal each block gets one line, rewritten in place after every
// piece with the addresses just written, bytes done of the block's total,
// percentage, rate and time left, and left standing when the block ends.
// Anywhere else (a log file, a pipe) it writes no carriage returns: one line
// when a block starts and one when it ends.
#ifndef PROGRESSPRINTER_H
#define PROGRESSPRINTER_H

#include "TransferProgress.h"

#include <cstdio>
#include <functional>
#include <memory>

class ProgressPrinter : public TransferProgress {
public:
  /// Seconds on a monotonic clock.
  using Clock = std::function<double()>;

  /// Prints to out, in place when terminal is true; the clock times the
  /// rate and the time left (the process's monotonic clock when empty).
  ProgressPrinter(FILE *out, bool terminal, Clock clock = Clock());

  void blockStarted(int block, unsigned int start, unsigned int bytes) override;
  void pieceSent(unsigned int from, unsigned int to) override;
  void blockEnded(bool ok) override;

  ProgressPrinter(const ProgressPrinter &) = delete;
  ProgressPrinter &operator=(const ProgressPrinter &) = delete;

private:
  /// Writes the terminal line: a carriage return, the text, then blanks
  /// over what is left of the previous, longer text.
  void rewriteLine(const char *text);
  /// Bytes per second so far, or a negative value while unknown.
  double rate(double now) const;

  FILE *myOut;
  bool myTerminal;
  Clock myClock;
  bool myActive = false;
  int myBlock = 0;
  unsigned int myStart = 0;
  unsigned int myBytes = 0;
  unsigned int myDone = 0;
  unsigned int myLastFrom = 0;
  unsigned int myLastTo = 0;
  double myStartTime = 0;
  int myLineLength = 0;
};

/// True when out is a terminal.
bool isTerminal(FILE *out);

/// The printer for standard output, in place exactly when it is a terminal.
/// Hand it to the link (or whatever writes FLASH) for the whole run.
std::unique_ptr<ProgressPrinter> makeStdoutProgress();

#endif

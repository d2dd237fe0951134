// SPDX-License-Identifier: MIT
// ClassicProgress: a TransferProgress for the link's tests that writes each
// report to standard output as the plain texts "\rWriting 0x%x to 0x%x" per
// piece, a newline for a failed block and a blanked line for a finished
// one, so a test can read the order of the reports from captured output.
#ifndef CLASSICPROGRESS_H
#define CLASSICPROGRESS_H

#include "TransferProgress.h"

#include <cstdio>

class ClassicProgress : public TransferProgress {
public:
  void blockStarted(int, unsigned int, unsigned int) override {}
  void pieceSent(unsigned int from, unsigned int to) override {
    printf("\rWriting 0x%x to 0x%x", from, to);
    fflush(stdout);
  }
  void blockEnded(bool ok) override {
    if (ok)
      printf("\r%60s\r", " ");
    else
      printf("\n");
    fflush(stdout);
  }
};

#endif

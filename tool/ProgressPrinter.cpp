// The progress line of FLASH writes on standard output.
#include "ProgressPrinter.h"

#include <cstdio>

void ProgressPrinter::blockStarted(int, unsigned int, unsigned int) {
  // The first piece starts the line.
}

void ProgressPrinter::pieceSent(unsigned int from, unsigned int to) {
  printf("\rWriting 0x%x to 0x%x", from, to);
  fflush(stdout);
}

void ProgressPrinter::blockEnded(bool ok) {
  if (ok)
    printf("\r%60s\r", " ");
  else
    printf("\n");
  fflush(stdout);
}

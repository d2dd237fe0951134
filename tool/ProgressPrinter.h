// ProgressPrinter: shows the progress of a FLASH write on standard output
// as one line rewritten after every piece ("\rWriting 0x%x to 0x%x"), a
// newline when the block fails and a blanked line when it is done.
#ifndef PROGRESSPRINTER_H
#define PROGRESSPRINTER_H

#include "TransferProgress.h"

class ProgressPrinter : public TransferProgress {
public:
  void blockStarted(int block, unsigned int start, unsigned int bytes) override;
  void pieceSent(unsigned int from, unsigned int to) override;
  void blockEnded(bool ok) override;
};

#endif

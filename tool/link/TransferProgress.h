// SPDX-License-Identifier: MIT
// TransferProgress: how the link layer reports the progress of a FLASH
// write (the parameter block or a firmware download) to whoever shows it.
// The link itself prints nothing; the front end gives it an implementation
// that prints, and a link without one reports to nobody.
#ifndef TRANSFERPROGRESS_H
#define TRANSFERPROGRESS_H

class TransferProgress {
public:
  virtual ~TransferProgress() = default;
  /// Writing FLASH block `block` begins: `bytes` bytes from address `start`.
  virtual void blockStarted(int block, unsigned int start, unsigned int bytes) = 0;
  /// The piece of controller memory from `from` up to (not including) `to`
  /// of the current block has been sent.
  virtual void pieceSent(unsigned int from, unsigned int to) = 0;
  /// The current block ended: written exactly when `ok`, else failed.
  virtual void blockEnded(bool ok) = 0;
};

#endif

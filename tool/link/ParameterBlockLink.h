// SPDX-License-Identifier: MIT
// ParameterBlockLink: the controller's FLASH parameter block (block 7, 4096
// bytes at 0x7000) over a monitor link, as blocks in and results out. It
// keeps no block between calls: its caller holds the block as read and
// hands in what is to be written.
//
// Every transfer either succeeds exactly or fails with the controller's
// data accounted for: a block read is checked digit by digit, retried once,
// and confirmed by a second whole reply that agrees byte for byte; a write
// is a transaction (erase re-sent once, the block restarted once, read back
// and compared before "FR") that its safeguard sees before the first erase
// and after the end, all inside one critical section, so that a terminating
// signal waits until the transaction is over.
#ifndef PARAMETERBLOCKLINK_H
#define PARAMETERBLOCKLINK_H

#include "ParamBlock.h"

#include <string>

class MonitorLink;

/// Size of FLASH block 7 as transferred.
const int FLASH_BLOCK_SIZE = PARAM_BLOCK_SIZE;
/// Controller address of FLASH block 7.
const unsigned int FLASH_BLOCK_ADDRESS = 0x7000;

/// What a write of block 7 puts there.
enum class WriteKind {
  Parameters, ///< the parameters as edited, the rest of the block as read
  WholeBlock  ///< a whole block image (-restoreBlock)
};

/// The files a failed write left so that the operator can put the block
/// back as it should be: the block (.blk, raw bytes) and its parameters
/// (.rop), each "" when not saved, and why.
struct RescueFiles {
  std::string image;
  std::string parameters;
  std::string error;
};

/// Guards every erase of block 7. The front end keeps a backup of the old
/// block, a journal of the write and the rescue files of a failed one
/// behind this interface; the link layer knows none of them.
class WriteSafeguard {
public:
  virtual ~WriteSafeguard() = default;
  /// Called right before the first "FE7" of a write, with the block as
  /// last read (old) and the block about to be written (intended), 4096
  /// bytes each, and what the write is. False refuses the write: nothing
  /// is erased, and the safeguard has said why.
  virtual bool beforeErase(const unsigned char *old, const unsigned char *intended,
                           WriteKind kind) = 0;
  /// Called once when a write that beforeErase allowed has ended, still
  /// inside its critical section: verified, or failed with the block
  /// perhaps erased or partly written. Returns the rescue files it saved
  /// for a failed write (none for a verified one).
  virtual RescueFiles afterWrite(bool verified) = 0;
};

/// How a confirmed read of block 7 ended.
struct BlockRead {
  bool ok = false;
  ParamBlock block{};  ///< the block (a 4095-byte reply leaves the last byte 0xFF)
  int bytes = 0;       ///< bytes the replies carried: 4096, or 4095
  bool erased = false; ///< every byte of it reads 0xFF
};

/// What a second look at block 7 found.
enum class BlockCheck {
  Unchanged, ///< the block as expected (or as a failed write left it)
  Changed,   ///< something else changed the block since
  Unreadable ///< the block could not be read (confirmed)
};

/// How a write of block 7 ended.
enum class BlockWriteStatus {
  Verified, ///< the block now holds exactly what was to be written; "FR" sent
  Failed,   ///< the block may now be erased or partly written
  Refused   ///< the safeguard refused it: nothing was erased
};

struct BlockWrite {
  BlockWriteStatus status = BlockWriteStatus::Refused;
  ParamBlock written{}; ///< the block the write was to put there
  RescueFiles rescue;   ///< what the safeguard saved after a failure
  bool verified() const { return status == BlockWriteStatus::Verified; }
};

class ParameterBlockLink {
public:
  /// The link is not owned and must outlive this object.
  explicit ParameterBlockLink(MonitorLink &link) : myLink(link) {}

  /// Reads block 7: a reply of exactly the block's digits with a matching
  /// checksum, confirmed by a second one that agrees. Logs the steps, a
  /// failure and the warning for an erased block.
  BlockRead read();

  /// Reads block 7 again (confirmed) and compares it with expected. A
  /// block that a failed write of the caller's may have left (afterFailure)
  /// counts as unchanged: writing it whole is what the operator was told to
  /// do. Says what it found when that is not Unchanged; changes nothing.
  BlockCheck checkUnchanged(const ParamBlock &expected, bool afterFailure);

  /// Writes intended over block 7 in one transaction: the safeguard (when
  /// given) first, the erase, the pieces, the confirmed read-back, the
  /// safeguard again, "FR". asRead is the block the controller held before
  /// (the safeguard's backup).
  BlockWrite write(const ParamBlock &asRead, const ParamBlock &intended, WriteKind kind,
                   WriteSafeguard *safeguard);

  ParameterBlockLink(const ParameterBlockLink &) = delete;
  ParameterBlockLink &operator=(const ParameterBlockLink &) = delete;

private:
  bool readBlockReply(unsigned char *into, int *bytes);
  bool readBlock(unsigned char *into, int *bytes);
  bool eraseBlock();
  bool writeBlockVerified(const unsigned char *block);

  MonitorLink &myLink;
  /// The whole replies of one confirmed read and their lengths, and the
  /// block as read back to verify a write: fixed buffers of the object's,
  /// so that no transfer allocates.
  static const int MAX_BLOCK_REPLIES = 4;
  unsigned char myReplies[MAX_BLOCK_REPLIES][PARAM_BLOCK_SIZE];
  int myReplyBytes[MAX_BLOCK_REPLIES] = {};
  unsigned char myReadBack[PARAM_BLOCK_SIZE];
};

#endif

// SPDX-License-Identifier: MIT
// FlashTransfer: moves the controller's FLASH parameter block (block 7,
// 4096 bytes at 0x7000) between the controller and flashImage through the
// monitor link, and checks which firmware the controller runs.
//
// Every transfer either succeeds exactly or fails with the controller's
// data accounted for: the block read is checked digit by digit, retried
// once, and confirmed by a second whole reply that agrees byte for byte; the write is a transaction
// (erase re-sent once, the block restarted once, read back and compared before "FR"), and when it
// finally fails the block as it should be is kept in a rescue image that restoreFlashBlock writes
// back.
#ifndef FLASHTRANSFER_H
#define FLASHTRANSFER_H

#include <string>

class MonitorLink;

/// Size of FLASH block 7 as transferred.
const int FLASH_BLOCK_SIZE = 4096;
/// Controller address of FLASH block 7.
const unsigned int FLASH_BLOCK_ADDRESS = 0x7000;
/// Longest identity reply to "V".
const int IDENTITY_LENGTH = 40;

/// What the identity reply to "V" says about the controller.
enum class FirmwareIdentity {
  Unidentified, ///< no reply, or an unknown or old monitor
  Known,        ///< ORVEX firmware this utility knows
  Newer,        ///< ORVEX firmware newer than this utility
  NotOrvex      ///< a known monitor running other firmware
};

/// Asks the monitor for its identity.
FirmwareIdentity checkFirmwareIdentity(MonitorLink *link);
/// The result of checkFirmwareIdentity for an identity reply body;
/// positions past its end count as NUL characters.
FirmwareIdentity firmwareIdentityResult(const char *reply);
/// The last identity reply body checkFirmwareIdentity received, "" when
/// none came (or before the first check).
const char *lastIdentityReply();
/// What an identity reply body names: the monitor's version, the
/// firmware's name and version, each "" where the reply is too short; text
/// is the reply as the log shows it (without its leading command letter).
struct IdentityFields {
  std::string text;
  std::string monitorVersion;
  std::string firmwareName;
  std::string firmwareVersion;
};
IdentityFields identityFields(const char *reply);

/// Reads block 7 into the transfer buffer and its parameters into
/// flashImage and referenceImage. On failure nothing changes.
bool readFlashParameters(MonitorLink *link);
/// What a second look at block 7 found.
enum class BlockCheck {
  Unchanged, ///< the block as last read or written (or as a failed write left it)
  Changed,   ///< something else changed the block since
  Unreadable ///< the block could not be read (confirmed)
};
/// Reads block 7 again (confirmed) and compares it with the block as last
/// read or written. A block that a failed write of this program left
/// erased or partly written counts as unchanged: writing it whole is what
/// the operator was told to do. Says what it found when that is not
/// Unchanged; changes nothing.
BlockCheck checkBlockUnchanged(MonitorLink *link);
/// Erases block 7 and writes the transfer buffer back with flashImage as
/// its first 422 bytes, then reads it back to verify. On failure
/// flashImage and referenceImage keep their contents and a rescue image
/// of the block is saved in the current directory.
bool writeFlashParameters(MonitorLink *link);
/// Writes a whole block image (4096 bytes, or 4095 with the last byte left
/// erased) to block 7 with the same transaction and verify; on success the
/// image becomes the transfer buffer, flashImage and referenceImage.
bool restoreFlashBlock(MonitorLink *link, const unsigned char *block, int length);
/// The whole block as last read from or written to the controller.
const unsigned char *flashBlock();
/// Puts a whole block image's parameters into flashImage (and the text
/// buffers) without sending anything; referenceImage keeps what was read,
/// so that the differences are what writing the image would change.
void applyBlockToImage(const unsigned char *block);
/// Puts a FLASH image of FLASH_IMAGE_SIZE bytes (16-bit values in host
/// order, as flashImage holds them between a read and a write) into
/// flashImage and the text buffers; referenceImage stays as it is.
void setFlashImage(const unsigned char *image);
/// Reads a rescue image file of 4096 (or 4095) raw bytes into block;
/// false with a message naming the file otherwise. *length gets its size.
bool loadBlockFile(const char *path, unsigned char *block, int *length);

/// How a write of block 7 that its safeguard allowed ended.
enum class WriteOutcome {
  Verified, ///< the block now holds exactly what was to be written
  Rescued,  ///< it failed; a rescue image of the intended block was saved
  Failed    ///< it failed; no rescue image could be saved (or none is made)
};

/// What a write of block 7 puts there.
enum class WriteKind {
  Parameters, ///< the parameters as edited, the rest of the block as read
  WholeBlock  ///< a whole block image (restoreFlashBlock)
};

/// Guards every erase of block 7. The front end keeps a backup of the old
/// block and a journal of the write behind this interface; the link layer
/// knows neither.
class WriteSafeguard {
public:
  virtual ~WriteSafeguard() = default;
  /// Called right before the first "FE7" of a write, with the block as
  /// last read (old) and the block about to be written (intended), 4096
  /// bytes each, and what the write is. False refuses the write: nothing
  /// is erased, and the safeguard has said why.
  virtual bool beforeErase(const unsigned char *old, const unsigned char *intended,
                           WriteKind kind) = 0;
  /// Called once when a write that beforeErase allowed has ended.
  virtual void afterWrite(WriteOutcome outcome) = 0;
};

/// Sets the safeguard of every later write; nullptr for none.
void setWriteSafeguard(WriteSafeguard *safeguard);
/// The whole block 7 as last read from (or written to) the controller.
const unsigned char *lastBlock();

/// Name of the last rescue image saved ("" when none), and of its
/// parameter file beside it.
const std::string &lastRescueImage();
const std::string &lastRescueParameters();

#endif

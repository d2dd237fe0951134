// FlashTransfer: moves the controller's FLASH parameter block (block 7,
// 4096 bytes at 0x7000) between the controller and flashImage through the
// monitor link, and checks which firmware the controller runs.
//
// Every transfer either succeeds exactly or fails with the controller's
// data accounted for: the block read is checked digit by digit and retried
// once; the write is a transaction (erase re-sent once, the block restarted
// once, read back and compared before "FR"), and when it finally fails the
// block as it should be is kept in a rescue image that restoreFlashBlock
// writes back.
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

/// Reads block 7 into the transfer buffer and its parameters into
/// flashImage and referenceImage. On failure nothing changes.
bool readFlashParameters(MonitorLink *link);
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
/// Reads a rescue image file of 4096 (or 4095) raw bytes into block;
/// false with a message naming the file otherwise. *length gets its size.
bool loadBlockFile(const char *path, unsigned char *block, int *length);

/// Name of the last rescue image saved ("" when none), and of its
/// parameter file beside it.
const std::string &lastRescueImage();
const std::string &lastRescueParameters();

#endif

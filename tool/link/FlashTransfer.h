// FlashTransfer: moves the controller's FLASH parameter block (block 7,
// 4096 bytes at 0x7000) between the controller and flashImage through the
// monitor link, and checks which firmware the controller runs.
#ifndef FLASHTRANSFER_H
#define FLASHTRANSFER_H

class MonitorLink;

/// Size of FLASH block 7 as transferred.
const int FLASH_BLOCK_SIZE = 4096;
/// Controller address of FLASH block 7.
const unsigned int FLASH_BLOCK_ADDRESS = 0x7000;
/// Longest identity reply to "V".
const int IDENTITY_LENGTH = 40;

/// Asks the monitor for its identity: -1 no reply or an unknown/old monitor,
/// 0 known firmware, 1 firmware newer than this utility, 2 not ORVEX.
int checkFirmwareIdentity(MonitorLink *link);
/// The result of checkFirmwareIdentity for an identity reply body;
/// positions past its end count as NUL characters.
int firmwareIdentityResult(const char *reply);

/// Reads block 7 into the transfer buffer and its parameters into
/// flashImage and referenceImage. On failure nothing changes.
bool readFlashParameters(MonitorLink *link);
/// Erases block 7 and writes the transfer buffer back with flashImage as
/// its first 422 bytes. On failure flashImage and referenceImage keep
/// their contents.
bool writeFlashParameters(MonitorLink *link);

#endif

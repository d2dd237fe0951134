// SPDX-License-Identifier: MIT
// FirmwareReader: the one interface of the firmware file readers (one per
// format), and the choice of reader for a file: a name ending in ".bin" is
// raw binary, a file whose first non-blank line starts with ":" is Intel
// HEX, and every other file goes to the S-record reader.
#ifndef FIRMWAREREADER_H
#define FIRMWAREREADER_H

#include "FirmwareImage.h"

class FirmwareReader {
public:
  virtual ~FirmwareReader() = default;
  /// Reads and validates the whole file into image, which starts from a
  /// reset and is named after the file. False, with the reason logged
  /// (naming the file or line and what is wrong), when the file cannot be
  /// read or is malformed, or holds nothing to download.
  virtual bool read(const char *path, FirmwareImage &image) = 0;
};

/// No load address given for raw binary images.
const long NO_BASE_ADDRESS = -1;

/// The name ends in ".bin", in any case.
bool isBinaryFileName(const char *path);
/// The reader a file goes to (the file is opened to look at its first
/// non-blank line unless its name decides).
FirmwareFormat chooseFirmwareFormat(const char *path);
/// Reads a load address: hexadecimal digits with or without "0x", below
/// the end of the controller's memory. False when it is not one.
bool parseBaseAddress(const char *text, long *base);
/// Reads path with the reader its name and contents choose into image.
/// base is the load address of a raw binary image (NO_BASE_ADDRESS when
/// none was given: a raw binary image is then refused with a message).
bool loadFirmwareFile(const char *path, long base, FirmwareImage &image);

#endif

// SPDX-License-Identifier: MIT
// FirmwareReader: the one interface of the firmware file readers (one per
// format) and what they share: the file opened once, the read from reset
// image to the checks at its end, and the numbered line loop of the text
// formats. Also the choice of reader for a file: a name ending in ".bin"
// is raw binary, a file whose first non-blank line starts with ":" is
// Intel HEX, and every other file goes to the S-record reader.
#ifndef FIRMWAREREADER_H
#define FIRMWAREREADER_H

#include "FirmwareImage.h"
#include "FirmwareInput.h"

#include <cstddef>
#include <memory>

class FirmwareReader {
public:
  virtual ~FirmwareReader() = default;
  /// The format this reader reads.
  virtual FirmwareFormat format() const = 0;

  /// Reads and validates the whole file into image, which starts from a
  /// reset and is named after the file. False, with the reason logged
  /// (naming the file or line and what is wrong), when the file cannot be
  /// read or is malformed, or holds nothing to download.
  bool read(const char *path, FirmwareImage &image);
  /// The same from a file already open (and perhaps looked at: reading
  /// starts at its first byte).
  bool read(FirmwareInput &input, FirmwareImage &image);
  /// The line of the file the last read refused, counted from 1; 0 when it
  /// read the file or refused it for no one line (a file that cannot be
  /// opened, holds nothing, or lacks its end).
  int failedLine() const { return myFailedLine; }

protected:
  /// Forgets what an earlier read left behind; called before each read.
  virtual void restart() {}
  /// Reads the file's content into image. False with the reason logged.
  virtual bool readContent(FirmwareInput &input, FirmwareImage &image) = 0;
  /// The format's own checks once the whole file was read and found to
  /// hold something to download (its end record, its record count). False
  /// with the reason logged.
  virtual bool checkEnd(const char * /*path*/) { return true; }

  /// Logs that input could not be read (with the system's reason).
  static void logReadFailure(const FirmwareInput &input);
  /// Logs that the file at path lacks its end record.
  static void logCutShort(const char *path);
  /// Names the line a read refused.
  void setFailedLine(int line) { myFailedLine = line; }

private:
  int myFailedLine = 0;
};

/// A reader of a text format of one record a line: the file is taken in
/// numbered pieces of at most pieceLength characters, each ending after a
/// line feed or when it is full (a longer line then comes in several
/// pieces, each counting as a line), and handed to takeLine.
class TextRecordReader : public FirmwareReader {
protected:
  explicit TextRecordReader(size_t pieceLength) : myPieceLength(pieceLength) {}
  bool readContent(FirmwareInput &input, FirmwareImage &image) final;
  /// Takes one piece (length characters, not terminated, the line feed
  /// included when there is one) as line lineNumber. False with the reason
  /// logged when the file is to be refused.
  virtual bool takeLine(const char *piece, size_t length, int lineNumber, FirmwareImage &image) = 0;

private:
  size_t myPieceLength;
};

/// No load address given for raw binary images.
const long NO_BASE_ADDRESS = -1;

/// The name ends in ".bin", in any case.
bool isBinaryFileName(const char *path);
/// The reader a file goes to (the file is opened to look at its first
/// non-blank line unless its name decides).
FirmwareFormat chooseFirmwareFormat(const char *path);
/// The same for a file already open; the look consumes nothing.
FirmwareFormat chooseFirmwareFormat(FirmwareInput &input);
/// The reader of a format; base is the load address of a raw binary image.
std::unique_ptr<FirmwareReader> makeFirmwareReader(FirmwareFormat format, unsigned long base);
/// Reads a load address: hexadecimal digits with or without "0x", below
/// the end of the controller's memory. False when it is not one.
bool parseBaseAddress(const char *text, long *base);
/// Reads path with the reader its name and contents choose into image
/// (the file is opened once, for both). base is the load address of a raw
/// binary image (NO_BASE_ADDRESS when none was given: a raw binary image is
/// then refused with a message).
bool loadFirmwareFile(const char *path, long base, FirmwareImage &image);
/// The same, and *failedLine the line of the file that was refused (0 when
/// none was: see FirmwareReader::failedLine).
bool loadFirmwareFile(const char *path, long base, FirmwareImage &image, int *failedLine);

#endif

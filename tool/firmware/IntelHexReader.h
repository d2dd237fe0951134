// SPDX-License-Identifier: MIT
// IntelHexReader: reads an Intel HEX firmware file (record types 00 data,
// 01 end, 02 extended segment address, 03 start segment address, 04
// extended linear address, 05 start linear address) into a firmware image,
// checking every line's digits, byte count and checksum and requiring the
// end record. Records beyond the controller's memory are skipped, as for
// S-records.
#ifndef INTELHEXREADER_H
#define INTELHEXREADER_H

#include "FirmwareReader.h"

class IntelHexReader : public FirmwareReader {
public:
  /// Longest line taken: a record of 255 data bytes and its line end, with
  /// room to spare.
  static const int MAX_LINE = 600;

  bool read(const char *path, FirmwareImage &image) override;

  /// Checks and loads one line (already cut at its end-of-line). Logs the
  /// reason and returns false when the line is malformed.
  bool loadLine(const char *line, int lineNumber, FirmwareImage &image);
  /// The end record has been read.
  bool ended() const { return myEnded; }

private:
  /// Added to every data record's address (types 02 and 04).
  unsigned long myBase = 0;
  bool myEnded = false;
};

#endif

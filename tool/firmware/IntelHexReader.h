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

class IntelHexReader : public TextRecordReader {
public:
  /// Longest line taken: a record of 255 data bytes and its line end, with
  /// room to spare.
  static const int MAX_LINE = 600;

  IntelHexReader() : TextRecordReader(MAX_LINE + 1) {}
  FirmwareFormat format() const override { return FirmwareFormat::IntelHex; }

  /// Checks and loads one line (already cut at its end-of-line). Logs the
  /// reason and returns false when the line is malformed.
  bool loadLine(const char *line, int lineNumber, FirmwareImage &image);
  /// The end record has been read.
  bool ended() const { return myEnded; }

protected:
  void restart() override;
  /// Refuses a line longer than MAX_LINE, skips blank lines, refuses a
  /// line after the end record, and loads the rest.
  bool takeLine(const char *piece, size_t length, int lineNumber, FirmwareImage &image) override;
  /// Refuses a file without its end record.
  bool checkEnd(const char *path) override;

private:
  /// Added to every data record's address (types 02 and 04).
  unsigned long myBase = 0;
  bool myEnded = false;
};

#endif

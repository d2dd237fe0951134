// SPDX-License-Identifier: MIT
// SRecordReader: reads a Motorola S-record firmware file into a firmware
// image, validating every line (length, digits, checksum, address), the
// record count and the end record; records beyond the controller's memory
// are skipped.
#ifndef SRECORDREADER_H
#define SRECORDREADER_H

#include "FirmwareReader.h"

class SRecordReader : public TextRecordReader {
public:
  /// Longest piece of a line taken at a time; longer lines come in pieces.
  static const int MAX_LINE = 255;

  SRecordReader() : TextRecordReader(MAX_LINE) {}
  FirmwareFormat format() const override { return FirmwareFormat::SRecord; }

  /// Checks one line (already cut at its end-of-line): length, hexadecimal
  /// digits from the byte count on, and the checksum. Logs the reason and
  /// returns false when the line is malformed.
  bool checkRecordLine(const char *line, int lineNumber);
  /// Stores the data digits (two per byte) of a record at address into
  /// image and marks the blocks it touches. A record with bytes beyond the
  /// end of memory is skipped (true, Verbose message); an odd number of
  /// digits is refused (false).
  bool storeRecordData(FirmwareImage &image, unsigned long address, const char *dataDigits,
                       int lineNumber);

protected:
  void restart() override;
  /// Cuts the piece at its line end (or a carriage return or NUL), then
  /// checks and loads the line.
  bool takeLine(const char *piece, size_t length, int lineNumber, FirmwareImage &image) override;
  /// Refuses a file that ends neither with an end record (S7, S8, S9) nor
  /// with a count record (S5, S6) that matches, and one whose count record
  /// disagrees.
  bool checkEnd(const char *path) override;

private:
  bool loadLine(const char *line, int lineNumber, FirmwareImage &image);

  /// Data records (S1, S2, S3) in the file, loaded or skipped.
  unsigned long myDataRecords = 0;
  /// The record count of the last S5 or S6 record, or -1 without one.
  long myCountRecord = -1;
  /// The type digit of the last record ('0' to '9'), or 0 before any.
  char myLastRecord = 0;
};

#endif

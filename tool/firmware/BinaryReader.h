// SPDX-License-Identifier: MIT
// BinaryReader: reads a raw binary firmware image, the bytes to put at a
// load address given by the operator (no address is guessed), into a
// firmware image. An image that does not fit the controller's memory is
// refused.
#ifndef BINARYREADER_H
#define BINARYREADER_H

#include "FirmwareReader.h"

class BinaryReader : public FirmwareReader {
public:
  /// base: the address of the file's first byte.
  explicit BinaryReader(unsigned long base) : myBase(base) {}
  FirmwareFormat format() const override { return FirmwareFormat::Binary; }

protected:
  bool readContent(FirmwareInput &input, FirmwareImage &image) override;

private:
  unsigned long myBase;
};

#endif

// SPDX-License-Identifier: MIT
// BinaryReader: raw binary files at their load address into the image.
#include "BinaryReader.h"

#include "ZyLog.h"

#include <memory>

bool BinaryReader::readContent(FirmwareInput &input, FirmwareImage &image) {
  const unsigned long size = FirmwareImage::MEMORY_SIZE;
  unsigned long room = myBase < size ? size - myBase : 0;
  // One byte more than fits, so an image too large for memory shows.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[room + 1]);
  size_t got = input.read(bytes.get(), room + 1);
  if (input.failed()) {
    logReadFailure(input);
    return false;
  }
  if (got > room) {
    ZyLog::log(ZyLog::Terse,
               "'%s' loaded at 0x%lx goes beyond the controller's memory (0x0-0x%lx): check the "
               "file and --base, cannot download.",
               input.path(), myBase, size - 1);
    return false;
  }
  image.store(myBase, bytes.get(), got);
  return true;
}

// SPDX-License-Identifier: MIT
// BinaryReader: raw binary files at their load address into the image.
#include "BinaryReader.h"

#include "ZyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};
} // namespace

bool BinaryReader::read(const char *path, FirmwareImage &image) {
  if (path == nullptr)
    path = "";
  image.reset();
  image.setSource(path, FirmwareFormat::Binary);
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "rb"));
  if (!file) {
    ZyLog::log(ZyLog::Terse, "Cannot open file '%s' for download.", path);
    return false;
  }
  const unsigned long size = FirmwareImage::MEMORY_SIZE;
  unsigned long room = myBase < size ? size - myBase : 0;
  // One byte more than fits, so an image too large for memory shows.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[room + 1]);
  size_t got = fread(bytes.get(), 1, room + 1, file.get());
  if (ferror(file.get())) {
    ZyLog::log(ZyLog::Terse, "Cannot read file '%s' for download (%s).", path, strerror(errno));
    return false;
  }
  if (got > room) {
    ZyLog::log(ZyLog::Terse,
               "'%s' loaded at 0x%lx goes beyond the controller's memory (0x0-0x%lx): check the "
               "file and --base, cannot download.",
               path, myBase, size - 1);
    return false;
  }
  image.store(myBase, bytes.get(), got);
  if (!image.hasData()) {
    ZyLog::log(ZyLog::Terse, "Nothing to download in '%s': no data outside the parameter block.",
               path);
    return false;
  }
  return true;
}

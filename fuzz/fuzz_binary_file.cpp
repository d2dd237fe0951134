// SPDX-License-Identifier: MIT
// libFuzzer target for the raw binary firmware reader: the first three
// input bytes choose the load address (below the end of memory), the rest
// is the file. A loaded file must sit exactly at its address, with nothing
// else set, and one that does not fit must be refused.
#include "BinaryReader.h"
#include "FirmwareImage.h"
#include "FirmwareImageChecks.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  (void)quiet;
  if (size < 3)
    return 0;
  static FirmwareImage image;
  static const std::string path = fuzzScratchPath("fuzz_binary") + ".bin";
  static bool cleanUp = atexit([] { unlink(path.c_str()); }) == 0;
  (void)cleanUp;
  unsigned long base = ((static_cast<unsigned long>(data[0]) << 16) | (data[1] << 8) | data[2]) %
                       FirmwareImage::MEMORY_SIZE;
  const uint8_t *bytes = data + 3;
  size_t length = size - 3;
  if (!fuzzWriteFile(path, bytes, length))
    return 0;

  BinaryReader reader(base);
  bool ok = reader.read(path.c_str(), image);
  checkImage(image, ok, "fuzz_binary_file");
  bool fits = length > 0 && length <= FirmwareImage::MEMORY_SIZE - base;
  if (!fits) {
    fuzzCheck(!ok, "fuzz_binary_file", "an image that does not fit was loaded");
    return 0;
  }
  if (!ok)
    return 0; // only data in the parameter block
  fuzzCheck(memcmp(image.memory() + base, bytes, length) == 0, "fuzz_binary_file",
            "bytes not at their load address");
  auto ranges = image.ranges();
  fuzzCheck(ranges.size() == 1 && ranges[0].first == base && ranges[0].second == base + length,
            "fuzz_binary_file", "ranges other than the file's");
  return 0;
}

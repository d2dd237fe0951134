// SPDX-License-Identifier: MIT
// libFuzzer target for the raw binary firmware reader: the first three
// input bytes choose the load address (below the end of memory), the rest
// is the file. A loaded file must sit exactly at its address, with nothing
// else set, and one that does not fit must be refused. The file's first
// bytes are also read as a --base text, which must parse exactly when it
// is 1 to 8 hexadecimal digits (after an optional "0x") below the end of
// memory, to their value.
#include "BinaryReader.h"
#include "FirmwareImage.h"
#include "FirmwareImageChecks.h"
#include "FirmwareReader.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
void checkBaseText(const uint8_t *bytes, size_t length) {
  std::string text(reinterpret_cast<const char *>(bytes), length < 12 ? length : 12);
  text = text.c_str(); // up to a NUL
  const char *digits = text.c_str();
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits += 2;
  size_t count = strlen(digits);
  bool wellFormed = count >= 1 && count <= 8 && strspn(digits, "0123456789abcdefABCDEF") == count;
  unsigned long expected = wellFormed ? strtoul(digits, nullptr, 16) : 0;
  long base = -7;
  bool parsed = parseBaseAddress(text.c_str(), &base);
  fuzzCheck(parsed == (wellFormed && expected < FirmwareImage::MEMORY_SIZE), "fuzz_binary_file",
            "--base text taken or refused wrongly");
  fuzzCheck(parsed ? base == static_cast<long>(expected) : base == -7, "fuzz_binary_file",
            "--base text read to the wrong value");
}
} // namespace

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
  checkBaseText(bytes, length);
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

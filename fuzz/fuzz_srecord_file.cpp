// libFuzzer target for the firmware file reader: the input is an S-record
// file, read and validated as a download without a controller does. The
// loaded image must agree with the block table: every byte the file set
// lies in a touched block below its recorded top, and no top passes the
// end of its block.
#include "FirmwareImage.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
void check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_srecord_file: %s\n", what);
    abort();
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  (void)quiet;
  // One image for the whole run, as the tool keeps one: each download
  // starts by resetting it, so nothing of an earlier input may show.
  static FirmwareImage image;
  // In memory where the system has such a file system: a file created on
  // disk for every run would take most of its time.
  static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/fuzz_srecord_" + std::to_string(getpid()) + ".mot";
  static bool cleanUp = atexit([] { unlink(path.c_str()); }) == 0;
  (void)cleanUp;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  bool ok = image.downloadFirmware(nullptr, path.c_str());

  // Erased FLASH, to compare with whole stretches of the image.
  static const std::string erased(FirmwareImage::MEMORY_SIZE, '\xFF');
  const unsigned char *memory = image.memory();
  for (int i = 0; i < FirmwareImage::NUM_BLOCKS; ++i) {
    const FlashBlock &block = image.block(i);
    unsigned long end = block.start + block.size;
    check(block.highest >= block.start && block.highest <= end, "block top outside its block");
    check(block.touched || block.highest == block.start, "untouched block with a top");
    check(memcmp(memory + block.highest, erased.data(), end - block.highest) == 0,
          "byte set above its block's top");
  }
  // A file that failed may have loaded lines before the bad one; one that
  // passed has touched a block for each byte it set.
  if (ok && size < 8) {
    check(memcmp(memory, erased.data(), FirmwareImage::MEMORY_SIZE) == 0,
          "bytes set by a file too short to hold a data record");
  }
  return 0;
}

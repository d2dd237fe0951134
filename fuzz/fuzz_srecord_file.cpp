// SPDX-License-Identifier: MIT
// libFuzzer target for the S-record firmware reader: the input is an
// S-record file, read and validated as a download without a controller
// does. The loaded image must agree with its block table, and a file the
// choice of reader gives to this reader must load the same through it (see
// FirmwareImageChecks.h).
#include "FirmwareImage.h"
#include "FirmwareImageChecks.h"
#include "SRecordReader.h"
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
  // One image for the whole run, as the tool keeps one: each read starts by
  // resetting it, so nothing of an earlier input may show.
  static FirmwareImage image;
  static const std::string path = fuzzScratchPath("fuzz_srecord") + ".mot";
  static bool cleanUp = atexit([] { unlink(path.c_str()); }) == 0;
  (void)cleanUp;
  if (!fuzzWriteFile(path, data, size))
    return 0;

  SRecordReader reader;
  bool ok = reader.read(path.c_str(), image);
  checkImage(image, ok, "fuzz_srecord_file");
  checkChosenReaderAgrees(path, data, size, ok, image, false, "fuzz_srecord_file");
  // A file too short to hold a data record sets no byte.
  if (ok && size < 8) {
    static const std::string erased(FirmwareImage::MEMORY_SIZE, '\xFF');
    fuzzCheck(memcmp(image.memory(), erased.data(), FirmwareImage::MEMORY_SIZE) == 0,
              "fuzz_srecord_file", "bytes set by a file too short to hold a data record");
  }
  return 0;
}

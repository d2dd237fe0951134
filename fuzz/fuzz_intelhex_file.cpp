// SPDX-License-Identifier: MIT
// libFuzzer target for the Intel HEX firmware reader: the input is a file
// read and validated as an upload without a controller does. The loaded
// image must agree with its block table, a loaded file must have its end
// record, and a file the choice of reader gives to this reader must load
// the same through it.
#include "FirmwareImage.h"
#include "FirmwareImageChecks.h"
#include "IntelHexReader.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  (void)quiet;
  static FirmwareImage image;
  static const std::string path = fuzzScratchPath("fuzz_intelhex") + ".hex";
  static bool cleanUp = atexit([] { unlink(path.c_str()); }) == 0;
  (void)cleanUp;
  if (!fuzzWriteFile(path, data, size))
    return 0;

  IntelHexReader reader;
  bool ok = reader.read(path.c_str(), image);
  checkImage(image, ok, "fuzz_intelhex_file");
  checkChosenReaderAgrees(path, data, size, ok, image, true, "fuzz_intelhex_file");
  // A loaded file has its end record, and the shortest file that holds a
  // data record and an end record has 24 characters.
  if (ok)
    fuzzCheck(reader.ended() && size >= 24, "fuzz_intelhex_file", "loaded without an end record");
  return 0;
}

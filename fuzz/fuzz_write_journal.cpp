// SPDX-License-Identifier: MIT
// libFuzzer target for the write journal reader: any bytes as journal.jsonl.
// Reading never throws or stops; every unfinished write it reports names a
// line of the file; and once an "end" is appended for each of them, none is
// left unfinished (the appender ends a line a full disk cut short first).
#include "WriteJournal.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path = [] {
    char name[] = "/tmp/fuzz_write_journal.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
      close(fd);
    return std::string(name);
  }();
  static bool quiet = (ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false), true);
  (void)quiet;
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr)
    return 0;
  fwrite(data, 1, size, file);
  fclose(file);

  WriteJournal journal(path);
  size_t lines = 1;
  for (size_t i = 0; i < size; i++)
    lines += data[i] == '\n' ? 1 : 0;
  std::vector<JournalBegin> open = journal.unfinished();
  for (const JournalBegin &entry : open) {
    if (entry.line < 1 || static_cast<size_t>(entry.line) > lines)
      abort();
    std::string error;
    if (!journal.end(entry.id, "failed", 8, &error))
      abort();
  }
  if (!journal.unfinished().empty())
    abort();
  return 0;
}

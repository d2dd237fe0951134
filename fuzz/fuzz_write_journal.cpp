// SPDX-License-Identifier: MIT
// libFuzzer target for the write journal reader: any bytes as journal.jsonl.
// Reading never throws or stops; every unfinished write it reports names a
// line of the file; and once an "end" is appended for each of them, none is
// left unfinished (the appender ends a line a full disk cut short first).
// The same journal then goes through what a run makes of it for a port
// ("/dev/null", which the dictionary offers) and a block taken from the
// input: whatever it plants, every line shown is free of control
// characters, and a command is offered only for a path that can be pasted.
// The same bytes are then the journal and a controller folder's backup
// index of the history: the lines of the controllers and of their writes
// are free of control characters, the writes stay newest first, and the
// JSON can be written.
#include "DurableWrite.h"
#include "HistoryOutput.h"
#include "ShellText.h"
#include "WriteHistory.h"
#include "WriteJournal.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string gLines;

void collect(void *, ZyLog::LogLevel, const char *line) {
  gLines += line;
  gLines += '\n';
}

/// No byte a terminal would act on: shown text is printable or UTF-8.
void checkShown(const std::string &text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F)
      abort();
  }
}

/// The history of the store in dir, whose journal and whose folder S1's
/// index hold the input.
void checkHistory(const std::string &dir, const uint8_t *data, size_t size) {
  std::string folder = dir + "/backups/S1";
  mkdir((dir + "/backups").c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  if (FILE *index = fopen((folder + "/index.jsonl").c_str(), "wb")) {
    fwrite(data, 1, size, index);
    fclose(index);
  }
  StoreHistory history = readStoreHistory(dir);
  for (size_t i = 1; i < history.events.size(); i++)
    if (history.events[i - 1].time < history.events[i].time)
      abort();
  for (const std::string &line : controllerListLines(history))
    checkShown(line);
  std::vector<std::string> queries = {"S1", "simbot", ""};
  for (const ControllerEntry &entry : history.controllers) {
    queries.push_back(entry.serial);
    if (!entry.names.empty())
      queries.push_back(entry.names.front());
  }
  for (const std::string &query : queries) {
    ControllerHistory matched = historyOf(history, query);
    for (size_t index : matched.events)
      if (index >= history.events.size())
        abort();
    for (const std::string &line : controllerHistoryLines(history, matched))
      checkShown(line);
    historyJson(history, &matched).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  historyJson(history, nullptr).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string dir = [] {
    char name[] = "/tmp/fuzz_write_journal.XXXXXX";
    return std::string(mkdtemp(name) != nullptr ? name : "/tmp");
  }();
  static std::string path = dir + "/journal.jsonl";
  // A log that writes nowhere but is heard, so that the lines can be checked.
  static bool quiet = (ZyLog::init(ZyLog::Tessel, ZyLog::Verbose, "", false, false, false),
                       ZyLog::setObserver(&collect, nullptr), true);
  (void)quiet;
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr)
    return 0;
  fwrite(data, 1, size, file);
  fclose(file);

  // What a run shows of it, before anything closes its entries.
  unsigned char block[FLASH_BLOCK_SIZE];
  memset(block, 0xFF, sizeof block);
  memcpy(block, data, size < sizeof block ? size : sizeof block);
  gLines.clear();
  {
    DurableWrite run(dir, "/dev/null");
    run.setCheckOnly(true);
    run.checkUnfinished(block, true);
    run.checkUnfinishedUploads(true);
    checkShown(run.notice());
  }
  checkShown(gLines);
  std::string text(reinterpret_cast<const char *>(data), size);
  checkShown(escapedText(text));
  if (!shellCommand({"orvexconf", text}).empty() != pasteable(text))
    abort();
  checkHistory(dir, data, size);

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

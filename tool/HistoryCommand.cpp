// SPDX-License-Identifier: MIT
// The --history run: the store's history as lines on standard output and
// as the report's member.
#include "HistoryCommand.h"

#include "HistoryOutput.h"
#include "WriteHistory.h"
#include "ZyLog.h"

#include <cstdio>

ExitStatus runHistory(const std::string &storeDirectory, const std::string &query,
                      RunOutcome &outcome) {
  StoreHistory history = readStoreHistory(storeDirectory);
  ControllerHistory matched;
  bool asked = !query.empty();
  if (asked)
    matched = historyOf(history, query);
  std::vector<std::string> lines =
      asked ? controllerHistoryLines(history, matched) : controllerListLines(history);
  // The listing is the screen itself; what went wrong is also a message of
  // the run (the last line says it), so that the report keeps it.
  bool unmatched = asked && matched.serials.empty();
  bool failed = !history.error.empty() || unmatched;
  for (size_t i = 0; i < lines.size(); i++) {
    bool problem = (unmatched && i + 1 == lines.size()) ||
                   lines[i].rfind("The backup store could not be read", 0) == 0;
    if (problem)
      ZyLog::log(ZyLog::Terse, "%s", lines[i].c_str());
    else
      printf("%s\n", lines[i].c_str());
  }
  fflush(stdout);
  std::string json = historyJson(history, asked ? &matched : nullptr)
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  outcome.update([&json](RunRecord &record) {
    record.run.offline = true;
    record.historyJson = json;
  });
  return failed ? EXIT_OPTIONS : EXIT_OK;
}

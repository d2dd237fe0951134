// SPDX-License-Identifier: MIT
// HistoryOutput: the store's history as the lines the front end prints and
// as the JSON of the run report's "history" member. Every text that came
// from the journal, the backups or the controller is shown escaped.
#ifndef HISTORYOUTPUT_H
#define HISTORYOUTPUT_H

#include "WriteHistory.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

/// How a write or upload ended, in words: "verified", "failed, rescue
/// files saved, still open", "found written by a later run", ...
std::string outcomeText(const HistoryEvent &event);

/// A heading, then one line a controller the store knows.
std::vector<std::string> controllerListLines(const StoreHistory &history);

/// A heading naming the controllers matched, then each write and upload,
/// the newest first: a line with its time, what it was, how it ended, the
/// port and the tool's version; the backup of the block before it; the
/// parameters it changed ("JoyVelMax: 400 -> 650"), or why they are not
/// known.
std::vector<std::string> controllerHistoryLines(const StoreHistory &history,
                                                const ControllerHistory &matched);

/// The report's "history" member: the store, the query (null without one),
/// the controllers (all of them without a query, else those matched), the
/// matched controllers' writes and uploads (none without a query) and the
/// warnings.
nlohmann::json historyJson(const StoreHistory &history, const ControllerHistory *matched);

#endif

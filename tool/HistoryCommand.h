// SPDX-License-Identifier: MIT
// HistoryCommand: --history [SERNUM|NAME], the backup store's record of
// every write and upload, read offline (no port is opened, nothing in the
// store changes): one line a controller, or one controller's writes and
// uploads, the newest first, with what each changed.
#ifndef HISTORYCOMMAND_H
#define HISTORYCOMMAND_H

#include "RunOutcome.h"

#include <string>

/// Reads the store (storeDirectory "" for the default one), prints the
/// list of controllers (query "") or the history of the controllers query
/// names, and notes the report's "history" member. EXIT_OK when it was
/// shown; EXIT_OPTIONS when no controller matches the query or the store
/// could not be read (both said why).
ExitStatus runHistory(const std::string &storeDirectory, const std::string &query,
                      RunOutcome &outcome);

#endif

// SPDX-License-Identifier: MIT
// Operator input for the shell and its questions. On a terminal the line
// is edited through libedit (cursor keys, Ctrl-A/E/W/U, Ctrl-R search, Tab
// completion) and kept in a history file between runs; anywhere else lines
// are read exactly as readInputLine reads them. A terminating signal that
// comes while the operator is being waited for wakes the reader, so that
// the main thread, which owns the link to the controller, ends the run.
#ifndef LINEEDITOR_H
#define LINEEDITOR_H

#include "InputLine.h"

#include <string>
#include <vector>

/// Whether lines typed on a terminal are kept in the history file (the
/// driver's --no-history turns it off). Call before the first line.
void setShellHistory(bool keep);

/// What a line is read for: a shell command (completed with Tab, recalled
/// in the run) or the answer to a question (neither).
enum class LineUse { command, answer };

/// Reads one line of at most size - 1 characters. On a terminal the prompt
/// is the editor's; elsewhere it is printed and flushed, and the line is
/// read with readInputLine. A longer line is refused whole (tooLong) on a
/// terminal too. While a StopWakeup is alive, a terminating signal ends the
/// wait with InputLine::stopped.
InputLine readOperatorLine(const char *prompt, char *line, int size, LineUse use);

/// Keeps a command line the shell took in the history file (on a terminal,
/// unless --no-history); lines it refused are never passed here.
void rememberShellLine(const char *line);

/// While alive, a terminating signal outside a critical section becomes a
/// stop request (Zyla::setStopWaker) that wakes readOperatorLine; the
/// caller then ends the run itself. One at a time.
class StopWakeup {
public:
  StopWakeup();
  ~StopWakeup();
  StopWakeup(const StopWakeup &) = delete;
  StopWakeup &operator=(const StopWakeup &) = delete;
};

/// The history file: $XDG_STATE_HOME/orvexconf/history, or
/// ~/.local/state/orvexconf/history when that is unset or not absolute;
/// "" when neither variable gives a place.
std::string historyPath();
/// The lines of a history file's content worth recalling, oldest first:
/// at most limit (the newest), none empty, longer than maxLength or holding
/// control characters or bytes outside ASCII.
std::vector<std::string> parseHistory(const std::string &content, size_t limit, size_t maxLength);
/// Writes the lines to path through a new file renamed over it (mode
/// 0600; a link at path is replaced, not written through), making missing
/// directories (mode 0700); a folder of another user's is refused (EPERM).
/// False on failure, with errno set.
bool writeHistory(const std::string &path, const std::vector<std::string> &lines);

#endif

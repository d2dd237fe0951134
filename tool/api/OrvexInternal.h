// SPDX-License-Identifier: MIT
// What the facade's sources share (not installed): the frame of one call
// (the log kept quiet unless the program routed it, the lines of this
// thread collected into its outcome), a change as the facade gives it,
// and the program's log put back in place.
#ifndef ORVEXINTERNAL_H
#define ORVEXINTERNAL_H

#include "ChangeList.h"
#include "Orvex.h"
#include "ZyLog.h"

#include <string>

class FirmwareImage;

namespace orvex {

/// One operation: the log kept quiet unless the program routed it, and
/// the lines logged on this thread collected until the outcome is made.
class Call {
public:
  Call() { ZyLog::quietUnlessChosen(); }

  /// Logs a failure the code below reported as a text, as the tool
  /// shows such a text.
  static void fail(const std::string &text) { ZyLog::log(ZyLog::Terse, "%s", text.c_str()); }

  /// The outcome: the status, the lines collected and, for a failure, its
  /// message from them.
  void finish(Outcome &outcome, Status status, const std::string &file = "", int line = 0) {
    outcome.status = status;
    outcome.log.clear();
    for (const ZyLog::Collector::Line &logged : myLines.lines())
      outcome.log.push_back(LogLine{static_cast<LogLevel>(logged.level), logged.text});
    if (myLines.notKept() > 0)
      outcome.log.push_back(LogLine{LogLevel::normal, std::to_string(myLines.notKept()) +
                                                          " more lines were not kept."});
    outcome.message.clear();
    outcome.file.clear();
    outcome.line = 0;
    if (status == Status::ok)
      return;
    outcome.message = myLines.text(ZyLog::Terse);
    if (outcome.message.empty())
      outcome.message = myLines.text(ZyLog::Verbose);
    outcome.file = file;
    outcome.line = line;
  }

private:
  ZyLog::Collector myLines{ZyLog::Normal};
};

/// A change as the facade gives it.
Change changeOf(const ParamChange &change);

/// What an image holds, as inspectImage gives it; its summary only with
/// logSummary, which logs it as the tool does.
ImageInfo imageInfoOf(const std::string &path, const FirmwareImage &image, bool logSummary);

/// Routes the log where the program last asked (setLogSink), or to a sink
/// that drops every line when it asked for none: after code that set the
/// log up for an operator of its own.
void routeProgramLog();

} // namespace orvex

#endif

// SPDX-License-Identifier: MIT
// DiffCommand: --diff A B, the parameters whose values differ between two
// parameter sets (parameter files, exports, block images, or the
// controller's block as read), in table order with each keyword's
// description, as a check lists its changes; what either side could not
// give and what only one side holds are said too.
#ifndef DIFFCOMMAND_H
#define DIFFCOMMAND_H

#include "CommandLine.h"
#include "ParamSet.h"
#include "RunOutcome.h"

#include <string>

class Session;

/// Compares first with second, each named as the command line gave it
/// ("-" for the controller), logs the result and notes it in the outcome:
/// the changes (before: first's value, after: second's), the report's
/// "diff" member, and the run as a check, so that it ends with status 10
/// when a parameter differs. Returns true when one does.
bool showParamSetDiff(const ParamSet &first, const std::string &firstName, const ParamSet &second,
                      const std::string &secondName, RunOutcome &outcome);

/// --diff: compares the plan's two sides, the files read before
/// connecting and for "-" the block session read (session nullptr when
/// neither side is the controller), then closes the monitor.
void runDiff(const RunPlan &plan, const RunFiles &files, Session *session, RunOutcome &outcome);

#endif

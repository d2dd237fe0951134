// SPDX-License-Identifier: MIT
// RunReport: the --report option. One JSON document (schema
// "orvexconf-report/1", docs/report.schema.json) built from the run's
// RunOutcome and written by an exit callback, so that every way out of a
// run, failures and signal stops included, leaves one. With "--report -"
// the document is the only thing on standard output: everything else the
// run prints goes to standard error. A report file is written through
// ZySafeFile's exact form (mode 0600, never through a link); a named pipe
// or a character device is written in place.
#ifndef RUNREPORT_H
#define RUNREPORT_H

#include "RunOutcome.h"
#include "ZyFunctor.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

/// The report as JSON text for a record, a status and the run's times.
std::string reportJson(const RunRecord &record, int status, const std::string &started,
                       const std::string &ended, double seconds);

class RunReport {
public:
  explicit RunReport(RunOutcome &outcome);
  /// Starts the report "--report FILE" asked for (path "" and not
  /// missing: none was; missing: the option stood last, without its file).
  /// For "-" standard output is kept for the report and the rest of the
  /// run goes to standard error. Returns EXIT_OK, EXIT_OPTIONS for "-"
  /// outside batch mode or a missing file name, or EXIT_SAVE_FAILED for a
  /// file that cannot be written, each with its message; the exit callback
  /// is in place whenever a file was given.
  ExitStatus start(const std::string &path, bool missing, bool batch);
  /// The report's file as given, "-" for standard output, "" for none.
  const std::string &path() const { return myPath; }
  /// No report is written after all (its file is one the run reads or
  /// saves).
  void drop() { myDropped = true; }

private:
  /// The exit callback: writes the report, when one was asked for.
  void write();

  RunOutcome &myOutcome;
  std::string myPath; ///< "" when no report was asked for
  int myOutFd = -1;   ///< standard output kept for "-"
  /// Set by drop(); the exit callback may run on the signal's thread.
  std::atomic<bool> myDropped{false};
  std::chrono::system_clock::time_point myStartWall;
  std::chrono::steady_clock::time_point myStart;
  ZyFunctorC<RunReport> myCallback;
};

#endif

// SPDX-License-Identifier: MIT
// RunOutcome: what one run of orvexconf did, filled step by step by the
// session's operations and the driver (controller identity, what was read,
// changed, refused, written, saved and rescued) and the one place its exit
// status is derived from. The signal thread runs the library's exit
// callbacks while the driver may still be filling it, so every access goes
// through the record's mutex and readers get a copy.
#ifndef RUNOUTCOME_H
#define RUNOUTCOME_H

#include "ChangeList.h"
#include "ExitStatus.h"
#include "FirmwareDownload.h"
#include "FirmwareIdentity.h"
#include "FirmwareImage.h"
#include "ZyLog.h"
#include "ZyMutex.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

/// A firmware file the run wrote (or tried to write) to the controller.
/// How a firmware file's run ended.
enum class FirmwareState {
  Unknown, ///< not yet known
  Written, ///< every block written (and read back unless --no-verify)
  Failed,  ///< the controller or the file failed it
  Stopped, ///< a terminating signal stopped it between blocks
  NotSent, ///< nothing of it went to a controller
  Checked  ///< --check: compared with the controller, nothing written
};

/// The state's name in the run report: "written", "failed", "stopped",
/// "not-sent", "checked"; "" for Unknown (null in the report).
const char *firmwareStateName(FirmwareState state);

struct FirmwareRecord {
  std::string file;      ///< as given on the command line or to the shell
  std::string format;    ///< file format, "" until it is recognised
  std::string digest;    ///< digest of the file, "" until computed
  int blocksWritten = 0; ///< FLASH blocks written and verified
  bool written = false;  ///< the whole file was written
  /// Address ranges the image gives, first and last address of each.
  std::vector<std::pair<unsigned long, unsigned long>> ranges;
  bool verified = false; ///< written blocks were read back (no --no-verify)
  int blocksLeftOld = 0; ///< touched blocks still holding the old firmware
  FirmwareState state = FirmwareState::Unknown;
  std::vector<int> blocksDiffering; ///< --check: blocks that differ from the image
};

/// The record of a firmware file a run wrote or tried to write with
/// download: image is the file as read (nullptr when it could not be read),
/// sent whether it went to a controller, written whether the whole of it
/// was written.
FirmwareRecord downloadRecord(const std::string &file, const FirmwareImage *image,
                              const FirmwareDownload &download, bool sent, bool written);

/// The facts of a run, as a plain value that can be copied out, in parts
/// that follow the run report's members.
struct RunRecord {
  /// How the run was asked to go, and how it ended.
  struct Run {
    bool batch = false;   ///< -b
    bool check = false;   ///< --check: compare, write nothing
    bool offline = false; ///< -n: no controller
    std::string port;     ///< the port the run opened or tried
    /// The status of the step that ended the run early, EXIT_OK when none did.
    ExitStatus endedWith = EXIT_OK;
    /// The terminating signal that stopped the run, 0 for none.
    int stopSignal = 0;
  } run;

  /// The controller and what it said of itself.
  struct Controller {
    bool connected = false;       ///< the monitor answered
    bool identityChecked = false; ///< identity holds the controller's answer
    FirmwareIdentity identity = FirmwareIdentity::Unidentified;
    IdentityFields identityReply;        ///< what the identity reply said, "" when none came
    std::string robotName, serialNumber; ///< Name and SerNum of the block as read
    /// Name and SerNum of the block the run wrote, tried to write or (a
    /// check) would write; intendedKnown false when it wrote nothing.
    std::string intendedName, intendedSerial;
    bool intendedKnown = false;
  } controller;

  /// The FLASH parameter block: read, changed, written.
  struct Block {
    bool flashRead = false;                  ///< the parameter block was read
    bool changed = false;                    ///< parameters differ from the controller's
    std::vector<ParamChange> changes;        ///< parameters written (or that would be)
    std::vector<std::string> refused;        ///< command-line texts not processed
    std::vector<RefusedValue> refusedValues; ///< values not stored as given
    bool flashWritten = false;               ///< the parameter block was written
    bool flashWriteFailed = false;           ///< a write of the block failed
    std::string sha256Before;                ///< SHA-256 of the block as read
    std::string sha256After;                 ///< ... as the run left it, "" when not known
    std::string rescuedFrom;                 ///< block image written back ("-restoreBlock")
    std::string backupFile;                  ///< backup of the block before a write
    std::vector<std::string> rescueFiles;    ///< rescue files left after a failed write
    std::string unfinishedJournal;           ///< notice of a write an earlier run left unfinished
  } block;

  /// Parameter files read and written.
  struct Files {
    std::string restoredFrom; ///< parameter file applied, "" for none
    std::string savedTo;      ///< parameter file written at the end
    bool saveFailed = false;  ///< writing it failed
    std::string exportedTo;   ///< export (--export) written at the end
  } files;

  std::vector<FirmwareRecord> firmware; ///< firmware files, in the order written

  /// What the run told the operator.
  struct Log {
    /// Lines that warned the operator: the log's "Warning:" and "Caution:"
    /// lines, the notices of unfinished writes, a caution about the
    /// firmware; at most MAX_MESSAGES of them.
    std::vector<std::string> warnings;
    /// Lines the run logged at Terse (errors, refusals and the advice on
    /// them), in order, at most MAX_MESSAGES of them.
    std::vector<std::string> messages;
    int messagesNotKept = 0; ///< Terse lines past MAX_MESSAGES
  } log;

  /// The report's optional members as JSON text, "" when the run has none:
  /// "history" (--history) and "diff" (--diff).
  std::string historyJson;
  std::string diffJson;
};

/// The most lines kept in RunRecord::messages: the first ones are kept, so
/// a loop that logs without end cannot grow the record without bound.
const size_t MAX_MESSAGES = 200;

/// Adds each line of a logged or shown text to the record's messages
/// without its trailing whitespace; empty lines are skipped, lines past
/// MAX_MESSAGES counted.
void addMessage(RunRecord &record, const char *text);

/// Adds each line of a warning to the record's warnings, as addMessage
/// does to its messages (the first MAX_MESSAGES are kept).
void addWarning(RunRecord &record, const char *text);

/// The exit status of a run with these facts.
int exitStatusOf(const RunRecord &record);

class RunOutcome {
public:
  RunOutcome() { myMutex.setLogName("RunOutcome"); }

  /// Changes the record under the lock; change must take no other lock
  /// and log nothing (the log's observer takes this lock).
  template <class Change> void update(Change change) {
    std::lock_guard<ZyMutex> hold(myMutex);
    change(myRecord);
  }
  /// A copy of the record as it stands.
  RunRecord snapshot() const;
  /// Notes the step that ended the run with a status of its own.
  void endWith(ExitStatus status);
  /// The exit status the record gives now.
  int exitStatus() const { return exitStatusOf(snapshot()); }

private:
  mutable ZyMutex myMutex;
  RunRecord myRecord;
};

/// While alive, every line logged at Terse while the log is not silenced
/// (type None) is added to the outcome's messages, and every line starting
/// with "Warning:" or "Caution:" to its warnings, through ZyLog's
/// observer. The observer runs under the log lock and takes the record's
/// lock: the record's lock comes after the log's. One at a time: the log
/// has one observer.
class LoggedMessages {
public:
  /// Lines go to outcome, unless the logging thread has a Route;
  /// nullptr: only routed lines are kept.
  explicit LoggedMessages(RunOutcome *outcome);
  explicit LoggedMessages(RunOutcome &outcome) : LoggedMessages(&outcome) {}
  ~LoggedMessages();
  LoggedMessages(const LoggedMessages &) = delete;
  LoggedMessages &operator=(const LoggedMessages &) = delete;

  /// While alive, the lines the thread that made it logs go to outcome:
  /// each of several runs in threads of one process keeps its own lines.
  class Route {
  public:
    explicit Route(RunOutcome &outcome);
    ~Route();
    Route(const Route &) = delete;
    Route &operator=(const Route &) = delete;

  private:
    RunOutcome *myPrevious;
  };

private:
  static void observe(void *context, ZyLog::LogLevel level, const char *line);
};

#endif

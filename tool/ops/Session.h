// SPDX-License-Identifier: MIT
// Session: the tool's operations on one controller, for every front end
// (the command line's driver, the shell, bindings for other programs). It
// owns the connection to the controller (the robot, the monitor link, the
// parameter block link) and the safeguard of its writes (backups, the
// write journal, rescue files), and keeps the block as last read or
// written. It takes and gives whole parameter blocks: the run's parameter
// image is its callers' (the driver and the shell convert with flashImage,
// a binding with ParamSet values), so two sessions on two ports can work
// in two threads at once.
//
// Each operation logs what it does as the tool always has, returns a result
// (what happened, the exit status a run that ended there would give, the
// lines it logged at Terse), and notes its facts in the run's RunOutcome,
// so that the run report is the same whoever called it. Whether a failure
// ends the run is the caller's choice.
#ifndef SESSION_H
#define SESSION_H

#include "ChangeList.h"
#include "ConnectOptions.h"
#include "DurableWrite.h"
#include "FirmwareDownload.h"
#include "FirmwareIdentity.h"
#include "FirmwareImage.h"
#include "MonitorLink.h"
#include "ParameterBlockLink.h"
#include "RunOutcome.h"
#include "ZyRobot.h"

#include <memory>
#include <string>
#include <vector>

class TransferProgress;

/// How an operation ended.
enum class OpStatus {
  Done,         ///< it did what it was asked
  Failed,       ///< the controller or a file failed it; see the log
  Refused,      ///< it was refused before anything changed (a safeguard, the firmware)
  NoController, ///< there is no controller to do it with
  Stopped       ///< a terminating signal asked the run to stop; the work in hand was finished
};

/// What every operation returns.
struct OpResult {
  OpStatus status = OpStatus::Done;
  /// The exit status of a run that ends here (EXIT_OK when done).
  ExitStatus exit = EXIT_OK;
  /// The lines the operation logged at Terse (errors, refusals and the
  /// advice on them), as the run's record keeps them.
  std::vector<std::string> messages;
  bool ok() const { return status == OpStatus::Done; }
};

struct ConnectResult : OpResult {
  /// The lines a failed connection showed the operator, in order; the
  /// first printed of them were printed by the connection sequence itself.
  std::vector<std::string> shown;
  size_t printed = 0;
};

struct IdentityResult : OpResult {
  IdentityCheck check;
};

struct ReadResult : OpResult {
  ParamBlock block{};
  std::string sha256; ///< of the block as read
  bool erased = false;
};

/// What writing a block would change, or changed.
struct ChangeResult : OpResult {
  bool changed = false;             ///< any byte compared differs
  std::vector<ParamChange> changes; ///< the parameters that differ, in table order
};

struct WriteResult : ChangeResult {
  bool verified = false;   ///< the block now holds written
  ParamBlock written{};    ///< the block the write was to put there
  std::string backup;      ///< the backup of the block before it, "" when none was made
  RescueFiles rescue;      ///< what a failed write of parameters left
  std::string sha256After; ///< of the block as the write left it (verified), else ""
};

struct FirmwareResult : OpResult {
  FirmwareRecord record; ///< as the run's record keeps it
};

class Session {
public:
  struct Settings {
    std::string backupDir;                ///< "" for the default store
    bool checkOnly = false;               ///< --check: the journal is read, nothing is written
    bool verifyUploads = true;            ///< read each firmware block back after writing it
    TransferProgress *progress = nullptr; ///< where FLASH writes report progress; not owned
    /// A library's session: the log stays where the program routed it
    /// (connecting neither silences it nor sends it to standard output);
    /// the connection sequence's own lines are silenced on this thread
    /// alone (ZyLog::Silence), as the command line silences its log.
    bool keepLog = false;
  };

  /// A session over the connection options' connection (not owned; the
  /// options outlive the session). Nothing is sent before connect().
  Session(ConnectOptions &options, RunOutcome &outcome, const Settings &settings);
  ~Session();

  /// Runs the connection sequence (asking to retry unless batch) with the
  /// library's messages silent. Notes the port and whether the monitor
  /// answered; a failed connection notes the lines shown.
  ConnectResult connect(bool batch);
  /// Whether the next uploads read each block back (--no-verify: false).
  void setVerifyUploads(bool verify) { mySettings.verifyUploads = verify; }
  /// Takes the connection as one the caller has opened and brought into
  /// the monitor already: connected, without the connection sequence.
  void useMonitor();
  bool connected() const { return myConnected; }
  /// The monitor link, nullptr when not connected.
  MonitorLink *link() { return myConnected ? &myLink : nullptr; }

  /// Checks which firmware the controller runs and notes it: other
  /// firmware is refused (and the monitor closed at once), a newer or an
  /// unidentified one gets the caution box and a warning.
  IdentityResult identify();
  /// Asks again, noting nothing (the shell's help).
  IdentityCheck checkIdentity();

  /// The confirmed read of the parameter block. The first read notes the
  /// block as read (digest, Name, SerNum); it becomes the session's block.
  ReadResult read();
  /// After the first read: what the write journal says of unfinished
  /// writes and uploads to this port (notes the notice as a warning).
  DurableWrite::Unfinished checkJournal(bool dismiss);
  /// The next write asks on standard input before it erases.
  void askBeforeWriting() { myDurable.askBeforeWriting(true); }
  /// Reads the block again and compares it with the session's block.
  BlockCheck checkUnchanged();

  /// What writing intended would change: its parameters against the
  /// session's block, and the bytes after them up to compared. Notes the
  /// changes and, when there are any, intended's Name and SerNum.
  ChangeResult check(const ParamBlock &intended, int compared = PARAM_BLOCK_SIZE);
  /// Writes intended's parameters (the rest of the block as read) with the
  /// safeguard: backup and journal before the erase, verify, rescue files
  /// after a failure. Notes what check notes and the write's facts; a write
  /// that failed or was refused counts against the run's exit status
  /// unless retryable (the shell's save, which the operator may try again).
  WriteResult write(const ParamBlock &intended, bool retryable = false);
  /// Writes a whole block image (4096 bytes, or 4095 with the last byte
  /// left erased) named source, with the same safeguard; no rescue files
  /// (the image is still in its file). Any other length is refused with
  /// the block file's message, nothing sent.
  WriteResult writeImage(const unsigned char *image, int length, const std::string &source);
  /// The block as last read from or written to the controller.
  const ParamBlock &block() const { return myBlock; }

  /// Uploads a firmware image: read from file now (with its load address
  /// base) into the session's own image unless given one read already,
  /// its summary shown, journalled, written and (unless the settings say
  /// otherwise) read back; noted in the record. failStatus is the exit
  /// status of a failed upload (< 0: none, as in the shell).
  FirmwareResult upload(const std::string &file, long base, const FirmwareImage *read,
                        int failStatus);
  /// --check: reads back each block the image touches and compares it,
  /// writing nothing; differing blocks are noted.
  FirmwareResult compareFirmware(const std::string &file, const FirmwareImage &image,
                                 int failStatus);

  /// Sends the monitor's closing command ("FK") after a pause, when
  /// connected.
  void close();
  /// The end of a run a terminating signal stopped: says which blocks a
  /// stopped upload left with which firmware, and closes the monitor unless
  /// the controller holds part of a new firmware (which must not start).
  void endStopped();

  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

private:
  class Operation;
  /// Notes the changes writing intended makes; true when any byte differs.
  ChangeResult noteChanges(const ParamBlock &intended, int compared);
  /// Notes the block's digest as the run left it (and, asRead, as read
  /// with its Name and SerNum).
  void noteBlock(const ParamBlock &block, bool asRead);
  /// The write's facts in the record and the result.
  void noteWrite(WriteResult &result, const BlockWrite &write, bool recordRescue, bool retryable);

  ConnectOptions &myOptions;
  RunOutcome &myOutcome;
  Settings mySettings;
  ZyRobot myRobot;
  MonitorLink myLink;
  ParameterBlockLink myBlocks;
  DurableWrite myDurable;
  bool myConnected = false;
  bool myRead = false;
  ParamBlock myBlock{};
  /// A write of parameters failed: the controller may hold a block of the
  /// session's own making, which a later write may replace.
  bool myWriteFailed = false;
  /// The image the shell's upload words read into.
  FirmwareImage myFirmware;
  /// The last upload, for the end of a stopped run.
  std::unique_ptr<FirmwareDownload> myLastDownload;
};

#endif

// SPDX-License-Identifier: MIT
// The facade's controller: a Session driven step by step as the command
// line's batch run drives it (connect, identity, read, the journal, then
// one operation), with the same log lines, pauses and safeguards, and one
// run report per operation, made from the session's record as a run that
// connected and did that one operation would leave it.
#include "Orvex.h"
#include "OrvexInternal.h"

#include "BackupStore.h"
#include "ChangeList.h"
#include "ConnectOptions.h"
#include "FirmwareReader.h"
#include "ParamBlock.h"
#include "ParamSet.h"
#include "RunOutcome.h"
#include "RunReport.h"
#include "Session.h"
#include "ZyLog.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

namespace orvex {

namespace {

/// The pause of a batch run before it writes (that of the command line).
const int BEFORE_WRITE_PAUSE_MS = 500;

/// UTC, ISO 8601, as the run report gives its times.
std::string isoTime(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

/// The log's observer, which routes each thread's lines to the record of
/// the operation it runs: one for the process, made at the first
/// controller.
/// Zyla set up for a library, once: running, no signal handling of its
/// own (the program's handlers stay as they are), its folder the current
/// one unless the program chose one (as the command line's).
void setUpOnce() {
  static LoggedMessages *observer = [] {
    const char *directory = Zyla::getDirectory();
    if (directory == nullptr || directory[0] == '\0')
      Zyla::setDirectory("./");
    Zyla::init(Zyla::SIGHANDLE_NONE);
    return new LoggedMessages(nullptr);
  }();
  (void)observer;
}

Identity identityOf(const RunRecord &record) {
  Identity identity;
  if (record.controller.identityChecked)
    identity.verdict = firmwareIdentityName(record.controller.identity);
  identity.reply = record.controller.identityReply.text;
  identity.monitorVersion = record.controller.identityReply.monitorVersion;
  identity.firmwareName = record.controller.identityReply.firmwareName;
  identity.firmwareVersion = record.controller.identityReply.firmwareVersion;
  return identity;
}

/// The parameters a set holds written over the image, as a restore
/// applies them.
void applySet(const ParamSet &set, unsigned char *image) {
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++)
    if (set.holds(i))
      memcpy(image + entries[i].offset, set.image + entries[i].offset, entries[i].width);
}

} // namespace

struct Controller::State {
  std::mutex busy; ///< one operation at a time
  ControllerSettings settings;
  std::unique_ptr<ConnectOptions> options;
  RunOutcome outcome;
  std::unique_ptr<Session> session;
  /// The record as the connection left it, under every operation's.
  RunRecord connected;
  /// An earlier write to this controller never finished: writes are refused.
  bool blocking = false;
  std::chrono::system_clock::time_point startWall;
  std::chrono::steady_clock::time_point start;
  /// The record's first message of the operation under way.
  size_t firstMessage = 0;

  /// The start of an operation: the record as a run that connected and
  /// read the block as it is now would hold it.
  void begin() {
    startWall = std::chrono::system_clock::now();
    start = std::chrono::steady_clock::now();
    firstMessage = 0;
    if (!session)
      return;
    firstMessage = connected.log.messages.size();
    RunRecord base = connected;
    const ParamBlock &block = session->block();
    base.block.sha256Before = base.block.sha256After = sha256Hex(block.data(), PARAM_BLOCK_SIZE);
    base.controller.robotName = blockValue(block.data(), "Name");
    base.controller.serialNumber = blockValue(block.data(), "SerNum");
    outcome.update([&base](RunRecord &record) { record = base; });
  }

  /// The end of an operation: failed (its status, noted as the run's end)
  /// or not, its report and its outcome. A comparison that finds a change
  /// is no failure: the report says 10.
  void finish(Call &call, RunResult &result, ExitStatus failed = EXIT_OK) {
    if (failed != EXIT_OK)
      outcome.endWith(failed);
    RunRecord record = outcome.snapshot();
    int status = exitStatusOf(record);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.report = reportJson(record, status, isoTime(startWall),
                               isoTime(std::chrono::system_clock::now()), seconds);
    call.finish(result, status == EXIT_WOULD_CHANGE ? Status::ok : static_cast<Status>(status));
    // What failed is what the command line shows for it: the operation's
    // lines in the record (not the library's own, which the record leaves
    // out as the command line's silenced log does).
    if (result.ok() || record.log.messages.size() <= firstMessage)
      return;
    result.message.clear();
    for (size_t i = firstMessage; i < record.log.messages.size(); i++)
      result.message += record.log.messages[i] + "\n";
  }

  /// Refuses an operation without a controller.
  bool notConnected(Call &call, RunResult &result, ExitStatus status) {
    if (session && session->connected())
      return false;
    ZyLog::log(ZyLog::Terse, "No controller: connect first.");
    result.report.clear();
    call.finish(result, static_cast<Status>(status));
    return true;
  }
};

Controller::Controller() : my(std::make_unique<State>()) {}

Controller::~Controller() {
  close();
}

RunResult Controller::connect(const std::string &port, const ControllerSettings &settings) {
  std::lock_guard<std::mutex> hold(my->busy);
  Call call;
  setUpOnce();
  routeProgramLog();
  RunResult result;
  LoggedMessages::Route route(my->outcome);
  my->begin();
  if (my->session) {
    ZyLog::log(ZyLog::Terse, "Already connected to '%s'.", my->connected.run.port.c_str());
    call.finish(result, Status::options);
    return result;
  }
  my->settings = settings;
  my->outcome.update([](RunRecord &record) {
    record = RunRecord();
    record.run.batch = true;
  });
  my->options = std::make_unique<ConnectOptions>(port.c_str(), settings.robotBaud);
  my->options->setQuiet(true);
  Session::Settings sessionSettings;
  sessionSettings.backupDir = settings.backupDir;
  sessionSettings.verifyUploads = settings.verify;
  sessionSettings.keepLog = true;
  my->session = std::make_unique<Session>(*my->options, my->outcome, sessionSettings);
  ExitStatus failed = EXIT_OK;
  ConnectResult connected = my->session->connect(true);
  if (!connected.ok()) {
    // The lines the command line prints for a failed connection, which
    // the record holds already.
    RunOutcome elsewhere;
    LoggedMessages::Route away(elsewhere);
    for (const std::string &line : connected.shown)
      ZyLog::log(ZyLog::Terse, "%s", line.c_str());
    failed = connected.exit;
  } else {
    IdentityResult identity = my->session->identify();
    if (identity.status == OpStatus::Refused) {
      failed = identity.exit;
    } else {
      ::ReadResult read = my->session->read();
      if (!read.ok()) {
        failed = read.exit;
      } else {
        my->blocking = my->session->checkJournal(settings.dismissUnfinished) ==
                       DurableWrite::Unfinished::Blocking;
        if (my->blocking)
          ZyLog::log(ZyLog::Normal,
                     "Writes to this controller are refused until the entry is closed.");
      }
    }
  }
  my->connected = my->outcome.snapshot();
  my->finish(call, result, failed);
  if (failed != EXIT_OK) {
    // A controller that cannot be used is let go; it may be connected again.
    my->session.reset();
    my->options.reset();
  }
  return result;
}

bool Controller::connected() const {
  std::lock_guard<std::mutex> hold(my->busy);
  return my->session && my->session->connected();
}

Identity Controller::identity() const {
  std::lock_guard<std::mutex> hold(my->busy);
  return identityOf(my->connected);
}

std::vector<std::string> Controller::warnings() const {
  std::lock_guard<std::mutex> hold(my->busy);
  return my->connected.log.warnings;
}

ReadResult Controller::read() {
  std::lock_guard<std::mutex> hold(my->busy);
  Call call;
  ReadResult result;
  if (my->notConnected(call, result, EXIT_FLASH_READ))
    return result;
  LoggedMessages::Route route(my->outcome);
  my->begin();
  ::ReadResult read = my->session->read();
  if (!read.ok()) {
    my->finish(call, result, read.exit);
    return result;
  }
  result.sha256 = read.sha256;
  result.erased = read.erased;
  {
    Call quiet; // the set's reading logs nothing the caller asked for
    ParamSet set = paramSetFromBlock(read.block.data(), PARAM_BLOCK_SIZE, my->connected.run.port);
    result.parameters = Parameters(set);
  }
  my->finish(call, result);
  return result;
}

namespace {

/// What a target puts into the block: the block it would leave, and for a
/// block image how many of its bytes it gives. False with the failure
/// logged (a file that cannot be read) and its status.
struct Intended {
  ParamBlock block{};
  int length = PARAM_BLOCK_SIZE;
  ExitStatus failed = EXIT_OK;
};

/// Reads the target's file and applies it over the session's block, as
/// the command line's -r and keyword pairs apply them (with their log
/// lines), noting a restore file in the record.
Intended intendedBlock(const Target &target, const ParamBlock &current, RunOutcome &outcome,
                       bool logRestore) {
  Intended intended;
  intended.block = current;
  unsigned char before[FLASH_IMAGE_SIZE], after[FLASH_IMAGE_SIZE];
  blockToImage(current.data(), before);
  memcpy(after, before, FLASH_IMAGE_SIZE);
  switch (target.kind) {
  case Target::Kind::values:
    applySet(target.values.paramSet(), after);
    imageToBlock(after, intended.block.data());
    break;
  case Target::Kind::parameterFile: {
    ParamSet set = loadParamSet(target.file);
    if (!set.readable()) {
      Call::fail(set.error);
      intended.failed = EXIT_FLASH_READ;
      return intended;
    }
    for (const ParamProblem &problem : set.problems)
      ZyLog::log(problem.reason == "unknown keyword" ? ZyLog::Normal : ZyLog::Terse, "%s",
                 problem.message.c_str());
    if (set.refusedAny()) {
      intended.failed = EXIT_FLASH_READ;
      return intended;
    }
    ZyLog::log(ZyLog::Normal, "Restoring FLASH params from rop file '%s'.", target.file.c_str());
    applySet(set, after);
    imageToBlock(after, intended.block.data());
    if (logRestore)
      logRestoredChanges(target.file, imageChanges(before, after));
    const std::string &file = target.file;
    outcome.update([&file](RunRecord &record) { record.files.restoredFrom = file; });
    break;
  }
  case Target::Kind::blockImage:
    if (!loadBlockFile(target.file.c_str(), intended.block.data(), &intended.length)) {
      intended.failed = EXIT_FLASH_READ;
      return intended;
    }
    if (intended.length < PARAM_BLOCK_SIZE)
      intended.block[PARAM_BLOCK_SIZE - 1] = 0xFF;
    break;
  }
  return intended;
}

void fillWrite(WriteResult &result, const ChangeResult &check) {
  result.changed = check.changed;
  result.changes.clear();
  for (const ParamChange &change : check.changes)
    result.changes.push_back(changeOf(change));
}

} // namespace

WriteResult Controller::check(const Target &target) {
  std::lock_guard<std::mutex> hold(my->busy);
  Call call;
  WriteResult result;
  if (my->notConnected(call, result, EXIT_FLASH_READ))
    return result;
  LoggedMessages::Route route(my->outcome);
  my->begin();
  my->outcome.update([](RunRecord &record) { record.run.check = true; });
  Session &session = *my->session;
  result.sha256Before = my->outcome.snapshot().block.sha256Before;
  Intended intended = intendedBlock(target, session.block(), my->outcome, false);
  if (intended.failed != EXIT_OK) {
    my->finish(call, result, intended.failed);
    return result;
  }
  bool restDiffers = false;
  if (target.kind == Target::Kind::blockImage) {
    restDiffers =
        memcmp(intended.block.data() + FLASH_IMAGE_SIZE, session.block().data() + FLASH_IMAGE_SIZE,
               static_cast<size_t>(intended.length - FLASH_IMAGE_SIZE)) != 0;
    if (restDiffers)
      ZyLog::log(ZyLog::Normal,
                 "'%s' also differs from the controller's block after the parameters "
                 "(bytes 0x%x to 0x%x), which writing it would change.",
                 target.file.c_str(), FLASH_IMAGE_SIZE, intended.length - 1);
  }
  ZyUtil::sleepMs(BEFORE_WRITE_PAUSE_MS);
  ChangeResult check = session.check(intended.block, intended.length);
  const std::vector<ParamChange> &changes = check.changes;
  if (!changes.empty() || (check.changed && !restDiffers))
    logChanges("Would change " + std::to_string(changes.size()) +
                   (changes.size() == 1 ? " parameter:" : " parameters:"),
               changes);
  else if (!check.changed)
    ZyLog::log(ZyLog::Normal, "No parameter would change.");
  fillWrite(result, check);
  my->finish(call, result);
  return result;
}

WriteResult Controller::write(const Target &target) {
  std::lock_guard<std::mutex> hold(my->busy);
  Call call;
  WriteResult result;
  if (my->notConnected(call, result, EXIT_FLASH_WRITE))
    return result;
  LoggedMessages::Route route(my->outcome);
  my->begin();
  Session &session = *my->session;
  result.sha256Before = my->outcome.snapshot().block.sha256Before;
  Intended intended = intendedBlock(target, session.block(), my->outcome, true);
  if (intended.failed != EXIT_OK) {
    my->finish(call, result, intended.failed);
    return result;
  }
  bool image = target.kind == Target::Kind::blockImage;
  if (my->blocking && !image) {
    // As the command line refuses it: a block image may put things right,
    // anything else waits until the entry is closed.
    ZyLog::log(ZyLog::Terse, "Nothing was written. When the block on the controller is as it "
                             "should be, run again with --dismiss-unfinished to go on.");
    result.refused = true;
    my->finish(call, result, EXIT_FLASH_WRITE);
    return result;
  }
  if (my->blocking)
    ZyLog::log(ZyLog::Normal, "The block image given with -restoreBlock is written all the same.");
  ExitStatus failed = EXIT_OK;
  if (image) {
    unsigned char before[FLASH_IMAGE_SIZE], after[FLASH_IMAGE_SIZE];
    blockToImage(session.block().data(), before);
    blockToImage(intended.block.data(), after);
    logRestoredChanges(target.file, imageChanges(before, after));
    ZyLog::log(ZyLog::Normal, "Writing FLASH parameter block image '%s' to controller.",
               target.file.c_str());
    ::WriteResult written = session.writeImage(intended.block.data(), intended.length, target.file);
    result.verified = written.verified;
    result.backup = written.backup;
    result.refused = written.status == OpStatus::Refused;
    fillWrite(result, session.check(session.block(), PARAM_BLOCK_SIZE));
    if (written.verified) {
      result.changed = true;
      result.sha256After = written.sha256After;
      my->blocking = false;
    } else {
      failed = EXIT_FLASH_WRITE;
    }
    my->finish(call, result, failed);
    return result;
  }
  ZyUtil::sleepMs(BEFORE_WRITE_PAUSE_MS);
  ChangeResult check = session.check(intended.block, PARAM_BLOCK_SIZE);
  fillWrite(result, check);
  if (!check.changed) {
    ZyLog::log(ZyLog::Normal, "Not writing parameters to controler since they have not changed");
    result.sha256After = result.sha256Before;
    my->finish(call, result);
    return result;
  }
  if (!check.changes.empty())
    logChanges(changingHeading(check.changes.size()), check.changes);
  ::WriteResult written = session.write(intended.block);
  result.verified = written.verified;
  result.backup = written.backup;
  result.refused = written.status == OpStatus::Refused;
  result.sha256After = written.sha256After;
  for (const std::string *file : {&written.rescue.image, &written.rescue.parameters})
    if (!file->empty())
      result.rescueFiles.push_back(*file);
  my->finish(call, result);
  return result;
}

UploadResult Controller::upload(const std::string &file, long base, bool compare, bool verify) {
  std::lock_guard<std::mutex> hold(my->busy);
  Call call;
  UploadResult result;
  if (my->notConnected(call, result, EXIT_UPLOAD))
    return result;
  LoggedMessages::Route route(my->outcome);
  my->begin();
  if (compare)
    my->outcome.update([](RunRecord &record) { record.run.check = true; });
  // The image is read and checked whole before anything is sent.
  FirmwareImage image;
  int failedLine = 0;
  if (!loadFirmwareFile(file.c_str(), base, image, &failedLine)) {
    my->finish(call, result, EXIT_UPLOAD);
    result.file = file;
    result.line = failedLine;
    return result;
  }
  // The summary is logged by the upload, as the command line logs it.
  result.image = imageInfoOf(file, image, false);
  Session &session = *my->session;
  session.setVerifyUploads(verify);
  FirmwareResult written = compare ? session.compareFirmware(file, image, EXIT_UPLOAD)
                                   : session.upload(file, base, &image, EXIT_UPLOAD);
  result.blocksWritten = written.record.blocksWritten;
  result.verified = written.record.verified;
  result.blocksDiffering = written.record.blocksDiffering;
  result.state = firmwareStateName(written.record.state);
  my->finish(call, result, written.ok() ? EXIT_OK : EXIT_UPLOAD);
  // The summary the upload logged: the first lines of the image's own.
  for (const LogLine &line : result.log)
    if (result.image.summary.size() < 4 &&
        (line.text.rfind("Image '", 0) == 0 || line.text.rfind("Addresses: ", 0) == 0 ||
         line.text.rfind("Blocks to erase and write: ", 0) == 0 ||
         line.text.rfind("SHA-256 of the bytes to write: ", 0) == 0))
      result.image.summary.push_back(line.text);
  return result;
}

RunResult Controller::close() {
  std::lock_guard<std::mutex> hold(my->busy);
  Call call;
  RunResult result;
  if (my->session) {
    LoggedMessages::Route route(my->outcome);
    my->begin();
    my->session->close();
    my->finish(call, result);
    my->session.reset();
    my->options.reset();
    my->blocking = false;
    return result;
  }
  call.finish(result, Status::ok);
  return result;
}

} // namespace orvex

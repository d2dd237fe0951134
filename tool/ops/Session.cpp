// SPDX-License-Identifier: MIT
// The operations on one controller: connection, identity, the parameter
// block's read, check and writes, firmware upload and compare, the close;
// each noted in the run's record.
#include "Session.h"

#include "BackupStore.h"
#include "ConnectionSequence.h"
#include "FirmwareReader.h"
#include "ZyLog.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cstring>

namespace {
/// Room for the monitor's reply while connecting.
const int REPLY_BUFFER_SIZE = 1024;
/// The pause before the monitor's closing command.
const int CLOSE_PAUSE_MS = 500;
/// The pause before the identity check, once connected.
const int IDENTITY_PAUSE_MS = 2000;

/// The stop a terminating signal asked for, as an operation's result.
bool stopRequested() {
  return Zyla::stopRequest() != 0;
}
} // namespace

/// One operation: the lines this thread logs go to the session's record
/// while it runs, and those kept at Terse go into its result too.
class Session::Operation {
public:
  explicit Operation(Session &session)
      : myOutcome(session.myOutcome), myRoute(session.myOutcome),
        myFirst(session.myOutcome.snapshot().log.messages.size()) {}
  /// Puts the lines kept since the start into result.
  void finish(OpResult &result) {
    RunRecord record = myOutcome.snapshot();
    if (record.log.messages.size() > myFirst)
      result.messages.assign(record.log.messages.begin() + static_cast<long>(myFirst),
                             record.log.messages.end());
  }

private:
  RunOutcome &myOutcome;
  LoggedMessages::Route myRoute;
  size_t myFirst;
};

Session::Session(ConnectOptions &options, RunOutcome &outcome, const Settings &settings)
    : myOptions(options), myOutcome(outcome), mySettings(settings),
      myRobot(nullptr, true, true, true, true), myLink(options.connection()), myBlocks(myLink),
      myDurable(settings.backupDir,
                (options.attachTo(&myRobot), options.connection()->portName())) {
  myDurable.setCheckOnly(settings.checkOnly);
  myLink.setProgress(settings.progress);
  myRobot.setGoOnWithoutParams(true);
}

Session::~Session() = default;

ConnectResult Session::connect(bool batch) {
  ConnectResult result;
  Operation operation(*this);
  // The connection's probes fail on every run: the library's messages are
  // kept from the operator while connecting.
  if (!mySettings.keepLog)
    ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  std::string port = myOptions.connection()->portName();
  myOutcome.update([&port](RunRecord &record) { record.run.port = port; });
  char reply[REPLY_BUFFER_SIZE + 1] = {};
  bool made;
  {
    // A library's session silences this thread alone: others log on.
    std::unique_ptr<ZyLog::Silence> quiet;
    if (mySettings.keepLog)
      quiet.reset(new ZyLog::Silence);
    made = runConnectionSequence(&myRobot, &myOptions, &myLink, batch, reply, REPLY_BUFFER_SIZE);
  }
  if (!made) {
    // The log is silent while connecting, so none of the lines the
    // operator was shown was logged: they are noted here.
    result.shown = connectionFailureLines(&myOptions);
    result.printed = result.shown.size();
    result.shown.push_back("The port tried was '" + port + "'.");
    if (myOptions.portName() == nullptr)
      result.shown.push_back(
          "No port was given, so the default one was tried: give the controller's port with -rp "
          "PORT; orvexconf --list-ports lists the serial ports present.");
    myOutcome.update([&result](RunRecord &record) {
      for (const std::string &text : result.shown)
        addMessage(record, text.c_str());
    });
    result.status = OpStatus::Failed;
    result.exit = EXIT_NO_CONNECTION;
    operation.finish(result);
    return result;
  }
  myConnected = true;
  myOutcome.update([](RunRecord &record) { record.controller.connected = true; });
  if (!mySettings.keepLog)
    ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  operation.finish(result);
  return result;
}

void Session::useMonitor() {
  myConnected = true;
  std::string port = myOptions.connection()->portName();
  myOutcome.update([&port](RunRecord &record) {
    record.run.port = port;
    record.controller.connected = true;
  });
}

IdentityResult Session::identify() {
  IdentityResult result;
  if (!myConnected) {
    result.status = OpStatus::NoController;
    return result;
  }
  Operation operation(*this);
  ZyUtil::sleepMs(IDENTITY_PAUSE_MS);
  result.check = checkFirmwareIdentity(&myLink);
  const IdentityCheck &check = result.check;
  myOutcome.update([&check](RunRecord &record) {
    record.controller.identityChecked = true;
    record.controller.identity = check.identity;
    record.controller.identityReply = check.reply;
  });
  if (check.identity == FirmwareIdentity::NotOrvex) {
    ZyLog::log(ZyLog::Normal, "WRONG CONFIGURATION PROGRAM!  Stopping...");
    myLink.sendCommand("FK");
    result.status = OpStatus::Refused;
    result.exit = EXIT_WRONG_FIRMWARE;
  } else if (check.identity != FirmwareIdentity::Known) {
    printCaution(check.identity);
    const char *caution = check.identity == FirmwareIdentity::Newer
                              ? "The firmware is newer than this configuration program."
                              : "Unidentified, probably old controller stub.";
    myOutcome.update([caution](RunRecord &record) { addWarning(record, caution); });
  }
  operation.finish(result);
  return result;
}

IdentityCheck Session::checkIdentity() {
  return checkFirmwareIdentity(link());
}

ReadResult Session::read() {
  ReadResult result;
  Operation operation(*this);
  if (!myConnected) {
    ZyLog::log(ZyLog::Terse, "No controller to read from. Try 'connect'.");
    result.status = OpStatus::NoController;
    result.exit = EXIT_FLASH_READ;
    operation.finish(result);
    return result;
  }
  BlockRead read = myBlocks.read();
  if (!read.ok) {
    result.status = OpStatus::Failed;
    result.exit = EXIT_FLASH_READ;
    operation.finish(result);
    return result;
  }
  myBlock = read.block;
  myWriteFailed = false;
  result.block = read.block;
  result.erased = read.erased;
  result.sha256 = sha256Hex(read.block.data(), PARAM_BLOCK_SIZE);
  // The block as read is the run's first read; a later one (the shell's
  // restore) changes nothing the run reports.
  if (!myRead)
    noteBlock(myBlock, true);
  myRead = true;
  operation.finish(result);
  return result;
}

DurableWrite::Unfinished Session::checkJournal(bool dismiss) {
  Operation operation(*this);
  // A write to this port that never finished is reported before anything
  // else happens.
  DurableWrite::Unfinished unfinished = myDurable.checkUnfinished(myBlock.data(), dismiss);
  myDurable.checkUnfinishedUploads(dismiss);
  std::string notice = myDurable.notice();
  myOutcome.update([&notice](RunRecord &record) {
    record.block.unfinishedJournal = notice;
    if (!notice.empty())
      addWarning(record, notice.c_str());
  });
  return unfinished;
}

BlockCheck Session::checkUnchanged() {
  Operation operation(*this);
  if (!myConnected) {
    ZyLog::log(ZyLog::Terse, "No controller to read from. Try 'connect'.");
    return BlockCheck::Unreadable;
  }
  return myBlocks.checkUnchanged(myBlock, myWriteFailed);
}

ChangeResult Session::noteChanges(const ParamBlock &intended, int compared) {
  ChangeResult result;
  unsigned char before[FLASH_IMAGE_SIZE], after[FLASH_IMAGE_SIZE];
  blockToImage(myBlock.data(), before);
  blockToImage(intended.data(), after);
  result.changes = imageChanges(before, after);
  int restLength = compared - FLASH_IMAGE_SIZE;
  result.changed = memcmp(before, after, FLASH_IMAGE_SIZE) != 0 ||
                   (restLength > 0 &&
                    memcmp(myBlock.data() + FLASH_IMAGE_SIZE, intended.data() + FLASH_IMAGE_SIZE,
                           static_cast<size_t>(restLength)) != 0);
  std::string name = parameterValue(after, "Name");
  std::string serial = parameterValue(after, "SerNum");
  myOutcome.update([&result, &name, &serial](RunRecord &record) {
    record.block.changed = result.changed;
    record.block.changes = result.changes;
    if (!result.changed)
      return;
    record.controller.intendedName = name;
    record.controller.intendedSerial = serial;
    record.controller.intendedKnown = true;
  });
  return result;
}

ChangeResult Session::check(const ParamBlock &intended, int compared) {
  Operation operation(*this);
  if (!myConnected) {
    ChangeResult result;
    result.status = OpStatus::NoController;
    return result;
  }
  ChangeResult result = noteChanges(intended, compared);
  operation.finish(result);
  return result;
}

void Session::noteBlock(const ParamBlock &block, bool asRead) {
  std::string digest = sha256Hex(block.data(), PARAM_BLOCK_SIZE);
  std::string name = blockValue(block.data(), "Name");
  std::string serial = blockValue(block.data(), "SerNum");
  myOutcome.update([&](RunRecord &record) {
    record.block.flashRead = true;
    record.block.sha256After = digest;
    if (!asRead)
      return;
    record.block.sha256Before = digest;
    record.controller.robotName = name;
    record.controller.serialNumber = serial;
  });
}

void Session::noteWrite(WriteResult &result, const BlockWrite &write, bool recordRescue,
                        bool retryable) {
  result.written = write.written;
  result.verified = write.verified();
  result.backup = myDurable.lastBackup();
  result.rescue = write.rescue;
  bool verified = write.verified();
  std::vector<std::string> rescue;
  if (recordRescue && !verified)
    for (const std::string *file : {&write.rescue.image, &write.rescue.parameters})
      if (!file->empty())
        rescue.push_back(*file);
  const std::string &backup = result.backup;
  myOutcome.update([&backup, &rescue, verified, retryable](RunRecord &record) {
    record.block.backupFile = backup;
    record.block.rescueFiles = rescue;
    if (verified || !retryable)
      record.block.flashWriteFailed = !verified;
  });
  if (verified) {
    myBlock = write.written;
    myWriteFailed = false;
    result.sha256After = sha256Hex(myBlock.data(), PARAM_BLOCK_SIZE);
    noteBlock(myBlock, false);
  } else {
    result.status =
        write.status == BlockWriteStatus::Refused ? OpStatus::Refused : OpStatus::Failed;
    result.exit = EXIT_FLASH_WRITE;
    // A write that failed may have left the block erased or partly
    // written: what it holds now is not known.
    if (write.status == BlockWriteStatus::Failed)
      myOutcome.update([](RunRecord &record) { record.block.sha256After.clear(); });
  }
  // A signal during the write let it finish; the run is to end now.
  if (stopRequested())
    result.status = OpStatus::Stopped;
}

WriteResult Session::write(const ParamBlock &intended, bool retryable) {
  WriteResult result;
  Operation operation(*this);
  if (!myConnected) {
    ZyLog::log(ZyLog::Terse, "No controller to write to. Try 'connect'.");
    result.status = OpStatus::NoController;
    result.exit = EXIT_FLASH_WRITE;
    operation.finish(result);
    return result;
  }
  static_cast<ChangeResult &>(result) = noteChanges(intended, PARAM_BLOCK_SIZE);
  BlockWrite write = myBlocks.write(myBlock, intended, WriteKind::Parameters, &myDurable);
  if (write.status == BlockWriteStatus::Failed)
    myWriteFailed = true;
  noteWrite(result, write, true, retryable);
  if (write.verified())
    myOutcome.update([](RunRecord &record) { record.block.flashWritten = true; });
  operation.finish(result);
  return result;
}

WriteResult Session::writeImage(const unsigned char *image, int length, const std::string &source) {
  WriteResult result;
  Operation operation(*this);
  result.exit = EXIT_FLASH_WRITE;
  if (!myConnected) {
    ZyLog::log(ZyLog::Terse, "No controller to write to. Try 'connect'.");
    result.status = OpStatus::NoController;
    operation.finish(result);
    return result;
  }
  if (image == nullptr || (length != PARAM_BLOCK_SIZE && length != PARAM_BLOCK_SHORTEST)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not a FLASH parameter block image: it must hold 4096 bytes (or 4095).",
               source.c_str());
    result.status = OpStatus::Refused;
    operation.finish(result);
    return result;
  }
  ParamBlock whole;
  memcpy(whole.data(), image, static_cast<size_t>(length));
  if (length < PARAM_BLOCK_SIZE)
    whole[PARAM_BLOCK_SIZE - 1] = 0xFF;
  std::string name = blockValue(whole.data(), "Name");
  std::string serial = blockValue(whole.data(), "SerNum");
  myOutcome.update([&name, &serial](RunRecord &record) {
    record.controller.intendedName = name;
    record.controller.intendedSerial = serial;
    record.controller.intendedKnown = true;
  });
  BlockWrite write = myBlocks.write(myBlock, whole, WriteKind::WholeBlock, &myDurable);
  noteWrite(result, write, false, false);
  if (write.verified()) {
    result.exit = EXIT_OK;
    myOutcome.update([&source](RunRecord &record) { record.block.rescuedFrom = source; });
  }
  operation.finish(result);
  return result;
}

FirmwareResult Session::upload(const std::string &file, long base, const FirmwareImage *read,
                               int failStatus) {
  FirmwareResult result;
  Operation operation(*this);
  const FirmwareImage *image = read;
  if (image == nullptr && loadFirmwareFile(file.c_str(), base, myFirmware))
    image = &myFirmware;
  // The download refers to the image: the session's own, or the caller's,
  // which outlives the run.
  myLastDownload.reset(new FirmwareDownload(image != nullptr ? *image : myFirmware));
  FirmwareDownload &download = *myLastDownload;
  download.setVerify(mySettings.verifyUploads);
  bool written = false;
  if (image != nullptr) {
    image->logSummary();
    written = myDurable.upload(download, *image, link(), failStatus);
  }
  result.record = downloadRecord(file, image, download, myConnected, written);
  const FirmwareRecord &record = result.record;
  myOutcome.update([&record](RunRecord &run) { run.firmware.push_back(record); });
  if (download.stopped() || stopRequested()) {
    result.status = OpStatus::Stopped;
  } else if (!written) {
    result.status = OpStatus::Failed;
    result.exit = failStatus >= 0 ? static_cast<ExitStatus>(failStatus) : EXIT_OK;
  }
  operation.finish(result);
  return result;
}

FirmwareResult Session::compareFirmware(const std::string &file, const FirmwareImage &image,
                                        int failStatus) {
  FirmwareResult result;
  Operation operation(*this);
  image.logSummary();
  FirmwareRecord &firmware = result.record;
  firmware.file = file;
  firmware.format = firmwareFormatName(image.format());
  firmware.digest = image.digest();
  firmware.ranges = image.ranges();
  firmware.state = FirmwareState::Checked;
  FirmwareDownload download(image);
  FirmwareDownload::Comparison comparison = download.compareImage(link());
  firmware.blocksDiffering = comparison.differing;
  if (!comparison.answered || comparison.stopped)
    firmware.state = FirmwareState::Failed;
  myOutcome.update([&firmware](RunRecord &record) { record.firmware.push_back(firmware); });
  if (comparison.stopped) {
    result.status = OpStatus::Stopped;
  } else if (!comparison.answered) {
    result.status = OpStatus::Failed;
    result.exit = static_cast<ExitStatus>(failStatus);
  }
  operation.finish(result);
  return result;
}

void Session::close() {
  if (!myConnected)
    return;
  ZyUtil::sleepMs(CLOSE_PAUSE_MS);
  myLink.sendCommand("FK");
}

void Session::endStopped() {
  const FirmwareDownload *download = myLastDownload.get();
  if (download != nullptr && download->stopped())
    download->logStoppedBlocks();
  if (download != nullptr && download->stoppedPartWay())
    ZyLog::log(ZyLog::Normal,
               "The controller holds part of the new firmware; it is not started. Download the "
               "whole file again.");
  else
    close();
}

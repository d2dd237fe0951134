// SPDX-License-Identifier: MIT
// Program driver: start-up, then the run as a sequence of steps (options,
// checks before connecting, connection, identity check, FLASH read, block
// image, restore and keyword/value pairs, uploads, and either the batch end
// or the interactive shell). The command line is read once (CommandLine);
// every operation on the controller is the Session's, which notes what it
// did in the run's RunOutcome, from which the exit status is derived. The
// driver converts between the Session's blocks and the run's image, which
// the shell and the command line's keywords edit.
#include "Driver.h"

#include "ChangeList.h"
#include "CommandLine.h"
#include "ConnectOptions.h"
#include "DiffCommand.h"
#include "ExportCommand.h"
#include "FirmwareReader.h"
#include "FlashImage.h"
#include "HistoryCommand.h"
#include "LineEditor.h"
#include "ParamFile.h"
#include "ParamSet.h"
#include "PortList.h"
#include "ProgressPrinter.h"
#include "RunReport.h"
#include "Session.h"
#include "Shell.h"
#include "Usage.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

/// Exit callback of an interactive run: a signal that ends it while the
/// parameters have changes not written to the controller says so.
void warnOfUnsavedChanges() {
  if (Zyla::signalReceived() != 0 && imageChanged()) {
    printf("\nYour changes were not written to the controller.\n");
    fflush(stdout);
  }
}

/// Everything one run holds between its steps. Each step returns true when
/// the run goes on; a step that ends it has noted why in the outcome.
struct Run {
  Run(CommandLine &lineIn, RunOutcome &outcomeIn, RunReport &reportIn, ZyFunctor &warning)
      : line(lineIn), plan(lineIn.plan()), outcome(outcomeIn), report(reportIn),
        unsavedWarning(warning) {}

  CommandLine &line;
  const RunPlan &plan;
  RunOutcome &outcome;
  RunReport &report;
  ZyFunctor &unsavedWarning; ///< lives as long as the process

  std::unique_ptr<ConnectOptions> options;
  std::unique_ptr<ProgressPrinter> progress;
  std::unique_ptr<Session> session;

  /// What the command line names, read before connecting.
  RunFiles files;
  /// --check: the block image differs from the controller's block in the
  /// bytes after the parameters, which no keyword shows.
  bool blockRestDiffers = false;
  /// The block image was written and verified: its line says so.
  bool blockImageWritten = false;
  bool argumentError = false;
};

/// The end of a run a terminating signal stopped: the work in hand is
/// done; the monitor is closed unless an upload stopped part way.
bool stopRun(Run &run) {
  int sig = Zyla::stopRequest();
  if (run.session)
    run.session->endStopped();
  run.outcome.update([sig](RunRecord &record) { record.run.stopSignal = sig; });
  return false;
}

/// Ends the run with a status of its own, closing the monitor first when
/// connected.
bool failAfterConnecting(Run &run, ExitStatus status) {
  run.session->close();
  run.outcome.endWith(status);
  return false;
}

/// Options: the version, the port list, the modes, the files, the
/// connection options and the help.
bool takeOptions(Run &run) {
  CommandLine::Verdict verdict = run.line.read();
  if (verdict == CommandLine::Verdict::Version) {
    printVersion(stdout);
    return false;
  }
  if (verdict == CommandLine::Verdict::ListPorts) {
    printSerialPorts(listSerialPorts());
    return false;
  }
  const RunPlan &plan = run.plan;
  run.outcome.update([&plan](RunRecord &record) {
    record.run.batch = plan.batch;
    record.run.check = plan.check;
    record.run.offline = plan.offline;
  });
  if (plan.noHistory)
    setShellHistory(false);
  if (verdict == CommandLine::Verdict::History) {
    run.outcome.endWith(runHistory(plan.backupDir.path, plan.historyQuery, run.outcome));
    return false;
  }
  if (run.line.showConnectionOptions())
    ConnectOptions::printOptions();
  if (verdict == CommandLine::Verdict::Help)
    printUsage(stdout);
  if (verdict != CommandLine::Verdict::Run) {
    run.outcome.endWith(EXIT_OPTIONS);
    return false;
  }
  std::string file;
  const char *option = plan.optionSharingReportFile(&file);
  if (option == nullptr)
    return true;
  // Not written at all: in that place it would replace the other file.
  run.report.drop();
  ZyLog::log(ZyLog::Terse,
             "--report '%s' is the same file as %s '%s': give the report a file of its own.",
             plan.report.c_str(), option, file.c_str());
  ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
  run.outcome.endWith(EXIT_OPTIONS);
  return false;
}

/// Checks before connecting: what the command line names is read and
/// checked before the controller is touched.
bool checkBeforeConnecting(Run &run) {
  prepareRunRegistry(Zyla::getConfig());
  ExitStatus checked = checkFilesBeforeConnecting(run.plan, run.files, run.outcome);
  // A batch run refused an unknown option above; an interactive one takes
  // it as a keyword once connected, and says so now too, so that the
  // operator can stop before the connection is tried.
  if (checked == EXIT_OK && !run.plan.batch && !run.plan.diff)
    logUnknownOptions(run.plan);
  if (checked == EXIT_OK)
    return true;
  run.outcome.endWith(checked);
  return false;
}

/// Connect: the session over the connection options and, unless the run
/// does not interact, the connection sequence.
bool connect(Run &run) {
  const RunPlan &plan = run.plan;
  run.options.reset(new ConnectOptions(plan.port(), plan.baud));
  run.progress = makeStdoutProgress();
  Session::Settings settings;
  settings.backupDir = plan.backupDir.path;
  settings.checkOnly = plan.comparesOnly();
  settings.verifyUploads = plan.verifyUploads;
  settings.progress = run.progress.get();
  run.session.reset(new Session(*run.options, run.outcome, settings));
  if (!plan.offline) {
    ConnectResult connected = run.session->connect(plan.batch || plan.diff);
    if (!connected.ok()) {
      // The connection sequence has printed the lines before these.
      for (size_t i = connected.printed; i < connected.shown.size(); i++)
        printf("%s\n", connected.shown[i].c_str());
      fflush(stdout);
      run.outcome.endWith(connected.exit);
      return false;
    }
  }
  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  return true;
}

/// Identify: the firmware must be ORVEX; a newer or unidentified one gets
/// the caution box.
bool identify(Run &run) {
  IdentityResult identity = run.session->identify();
  if (identity.status != OpStatus::Refused)
    return true;
  run.outcome.endWith(identity.exit);
  return false;
}

/// Read: the FLASH parameter block into the image; a failure ends the run
/// without "FK". A write to this port that never finished is reported
/// before anything else happens.
bool readFlash(Run &run) {
  Session &session = *run.session;
  if (!session.connected())
    return true;
  ReadResult read = session.read();
  if (!read.ok()) {
    run.outcome.endWith(read.exit);
    return false;
  }
  takeBlockIntoImage(read.block.data());
  const RunPlan &plan = run.plan;
  DurableWrite::Unfinished unfinished = session.checkJournal(plan.dismissUnfinished);
  // A check writes nothing, so the notice is all it needs.
  if (unfinished != DurableWrite::Unfinished::Blocking || plan.comparesOnly())
    return true;
  if (plan.blockFile) {
    ZyLog::log(ZyLog::Normal, "The block image given with -restoreBlock is written all the same.");
  } else if (plan.batch && plan.mayChangeParameters()) {
    ZyLog::log(ZyLog::Terse, "Nothing was written. When the block on the controller is as it "
                             "should be, run again with --dismiss-unfinished to go on.");
    return failAfterConnecting(run, EXIT_FLASH_WRITE);
  } else if (plan.batch) {
    // Reading, saving and uploading firmware leave the parameter block as
    // it is: what the operator needs now.
    ZyLog::log(ZyLog::Normal, "This run writes nothing to the parameter block, so it goes on. "
                              "When the block on the controller is as it should be, "
                              "--dismiss-unfinished closes the entry.");
  } else {
    ZyLog::log(ZyLog::Normal, "'save' asks before it writes over this block.");
    session.askBeforeWriting();
  }
  return true;
}

/// Block image: the rescue image of the whole parameter block, written back
/// after the FLASH read; without a controller its parameters become the
/// ones the run edits and saves.
bool writeBlockImage(Run &run) {
  const FileOption &file = run.plan.blockFile;
  if (!file)
    return true;
  Session &session = *run.session;
  if (!session.connected()) {
    applyBlockToImage(run.files.block.data());
    ZyLog::log(ZyLog::Normal,
               "Took the parameters of block image '%s'; without a controller nothing is "
               "written to one.",
               file.c_str());
    run.outcome.update([&file](RunRecord &record) { record.files.restoredFrom = file.path; });
    return true;
  }
  if (run.plan.check) {
    // Compared with what was read like any other change; nothing is sent.
    // The bytes after the parameters are compared too: writing the image
    // would change them as well.
    applyBlockToImage(run.files.block.data());
    run.blockRestDiffers =
        memcmp(run.files.block.data() + FLASH_IMAGE_SIZE, session.block().data() + FLASH_IMAGE_SIZE,
               static_cast<size_t>(run.files.blockLength - FLASH_IMAGE_SIZE)) != 0;
    if (run.blockRestDiffers)
      ZyLog::log(ZyLog::Normal,
                 "'%s' also differs from the controller's block after the parameters "
                 "(bytes 0x%x to 0x%x), which writing it would change.",
                 file.c_str(), FLASH_IMAGE_SIZE, run.files.blockLength - 1);
    return true;
  }
  // What the image changes, listed as a restore lists it, before the erase.
  unsigned char before[FLASH_IMAGE_SIZE];
  memcpy(before, flashImage, FLASH_IMAGE_SIZE);
  applyBlockToImage(run.files.block.data());
  logRestoredChanges(file.path, imageChanges(before, flashImage));
  ZyLog::log(ZyLog::Normal, "Writing FLASH parameter block image '%s' to controller.",
             file.c_str());
  WriteResult written =
      session.writeImage(run.files.block.data(), run.files.blockLength, file.path);
  // A failed write leaves the parameters as read (the shell goes on with
  // them).
  if (written.verified)
    takeBlockIntoImage(written.written.data());
  else
    setFlashImage(before);
  // A signal during the write let it finish; the run ends here.
  if (written.status == OpStatus::Stopped)
    return stopRun(run);
  if (!written.verified)
    return failAfterConnecting(run, EXIT_FLASH_WRITE);
  run.blockImageWritten = true;
  return true;
}

/// Apply: the restore file, then the keyword/value pairs.
bool applyParameters(Run &run) {
  const FileOption &file = run.plan.restoreFile;
  if (file) {
    ZyLog::log(ZyLog::Normal, "Restoring FLASH params from rop file '%s'.", file.c_str());
    unsigned char before[FLASH_IMAGE_SIZE];
    memcpy(before, flashImage, FLASH_IMAGE_SIZE);
    // A batch run read the file before connecting and showed its messages.
    run.files.readRestoreFile(run.plan);
    applyParamSet(run.files.restored);
    if (run.session->connected())
      logRestoredChanges(file.path, imageChanges(before, flashImage));
    if (run.files.restoreParsed)
      run.outcome.update([&file](RunRecord &record) { record.files.restoredFrom = file.path; });
  }
  run.argumentError = !applyKeywordPairs(run.plan, run.plan.batch, run.outcome);
  return true;
}

/// Writes one firmware file, or under --check compares it: a batch run the
/// image it read before connecting, an interactive run the file read now.
/// failure is the status of a failed write.
bool writeFirmwareFile(Run &run, const FileOption &file, FirmwareImage &loaded,
                       ExitStatus failure) {
  if (!file)
    return true;
  const RunPlan &plan = run.plan;
  FirmwareResult result = plan.check ? run.session->compareFirmware(file.path, loaded, failure)
                                     : run.session->upload(file.path, plan.base,
                                                           plan.batch ? &loaded : nullptr, failure);
  if (result.status == OpStatus::Stopped)
    return stopRun(run);
  if (!result.ok())
    return failAfterConnecting(run, failure);
  return true;
}

/// Write: a batch run writes the parameter block when it changed.
bool writeChanges(Run &run) {
  Session &session = *run.session;
  if (!session.connected()) {
    // Without a controller there is no read block to differ from.
    bool changed = imageChanged();
    run.outcome.update([changed](RunRecord &record) {
      record.block.changed = changed;
      record.block.changes.clear();
    });
    if (!changed) {
      ZyLog::log(ZyLog::Normal, "Not writing parameters to controler since they have not changed");
      return true;
    }
    ZyLog::log(ZyLog::Normal, "Not interacting with controller. Cannot save.");
    return Zyla::stopRequest() == 0 || stopRun(run);
  }
  // Under --check a block image is compared whole, as writing it would be.
  ParamBlock intended = session.block();
  int compared = PARAM_BLOCK_SIZE;
  if (run.plan.check && run.plan.blockFile) {
    intended = run.files.block;
    if (run.files.blockLength < PARAM_BLOCK_SIZE)
      intended[PARAM_BLOCK_SIZE - 1] = 0xFF;
    compared = run.files.blockLength;
  }
  imageIntoBlock(intended.data());
  ChangeResult check = session.check(intended, compared);
  const std::vector<ParamChange> &changes = check.changes;
  if (run.plan.check) {
    if (!changes.empty() || (check.changed && !run.blockRestDiffers))
      logChanges("Would change " + std::to_string(changes.size()) +
                     (changes.size() == 1 ? " parameter:" : " parameters:"),
                 changes);
    else if (!check.changed)
      ZyLog::log(ZyLog::Normal, "No parameter would change.");
    return true;
  }
  if (!check.changed) {
    // After a block image, its own line told what was written.
    if (!run.blockImageWritten)
      ZyLog::log(ZyLog::Normal, "Not writing parameters to controler since they have not changed");
    return true;
  }
  if (!changes.empty())
    logChanges(changingHeading(changes.size()), changes);
  WriteResult written = session.write(intended);
  if (written.verified)
    takeBlockIntoImage(written.written.data());
  // A signal during the write let it finish; the run ends here.
  return written.status != OpStatus::Stopped || stopRun(run);
}

/// Save: the save file, when one was given.
void writeSaveFile(Run &run) {
  const FileOption &file = run.plan.saveFile;
  if (!file)
    return;
  ZyLog::log(ZyLog::Normal, "Saving to file '%s'.", file.c_str());
  bool saved = saveParameterFile(file.c_str(), Zyla::getConfig());
  run.outcome.update([saved, &file](RunRecord &record) {
    record.files.saveFailed = !saved;
    if (saved)
      record.files.savedTo = file.path;
  });
}

/// The end of a batch run: unless an argument was not processed, the write
/// and the save; then the monitor is closed.
void finishBatch(Run &run) {
  if (run.session->connected())
    ZyUtil::sleepMs(500);
  if (!run.argumentError) {
    if (!writeChanges(run))
      return;
    writeSaveFile(run);
    writeRunExport(run.plan, run.files, run.session.get(), run.outcome);
  }
  run.session->close();
}

/// The end of an interactive run: the shell, then the save and the close.
void runInteractive(Run &run) {
  printHelp();
  Zyla::addExitCallback(&run.unsavedWarning, 60);
  runShell(run.session.get());
  // Ended by a signal that came while a shell command worked (the exit
  // callback above tells of unsaved changes).
  if (Zyla::stopRequest() != 0) {
    stopRun(run);
    return;
  }
  writeSaveFile(run);
  writeRunExport(run.plan, run.files, run.session.get(), run.outcome);
  run.session->close();
  printf("\n");
  fflush(stdout);
}

/// The run after start-up, step by step, into the outcome.
void runSteps(Run &run) {
  if (!takeOptions(run) || !checkBeforeConnecting(run))
    return;
  if (run.plan.diff && !run.plan.diffReadsController())
    return runDiff(run.plan, run.files, run.session.get(), run.outcome);
  if (!connect(run) || !identify(run) || !readFlash(run))
    return;
  if (run.plan.diff)
    return runDiff(run.plan, run.files, run.session.get(), run.outcome);
  if (!writeBlockImage(run) || !applyParameters(run) ||
      !writeFirmwareFile(run, run.plan.imageFile, run.files.image, EXIT_IMAGE_UPLOAD) ||
      !writeFirmwareFile(run, run.plan.uploadFile, run.files.upload, EXIT_UPLOAD))
    return;
  if (run.plan.batch)
    finishBatch(run);
  else
    runInteractive(run);
}
} // namespace

int runDriver(int argc, char **argv) {
  // A file-size limit makes a write fail (and the save keep the old file)
  // instead of killing the process half way.
  signal(SIGXFSZ, SIG_IGN);
  Zyla::setDirectory("./");
  Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
  RunOutcome outcome;
  // The lines logged as errors, refusals and advice go into the record,
  // for the report.
  LoggedMessages messages(outcome);
  // The report's option goes first: "--report -" moves the rest of the
  // run's output to standard error before anything is printed.
  CommandLine line(argc, argv);
  RunReport report(outcome);
  ExitStatus reportStatus = report.start(line.plan().report, line.plan().reportMissing,
                                         line.plan().batch || line.plan().noShell);
  line.loadDefaultSources();
  ZyGlobalFunctor unsavedWarning(&warnOfUnsavedChanges);
  unsavedWarning.setName("warnOfUnsavedChanges");
  Run run(line, outcome, report, unsavedWarning);
  if (reportStatus != EXIT_OK)
    outcome.endWith(reportStatus);
  else
    runSteps(run);
  // The port gets back the settings it had before the run.
  if (run.options)
    run.options->connection()->close();
  // A run a signal stopped did not succeed, whatever else happened.
  int sig = Zyla::stopRequest();
  if (sig != 0)
    outcome.update([sig](RunRecord &record) { record.run.stopSignal = sig; });
  int status = outcome.exitStatus();
  // The run ends here, with every object of the driver still alive for the
  // library's exit callbacks.
  fflush(stdout);
  Zyla::exit(status);
  return status;
}

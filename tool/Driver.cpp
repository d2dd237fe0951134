// SPDX-License-Identifier: MIT
// Program driver: start-up, then the run as a sequence of steps (options,
// checks before connecting, connection, identity check, FLASH read, block
// image, restore and keyword/value pairs, uploads, and either the batch end
// or the interactive shell), each noting what it did in the run's
// RunOutcome, from which the exit status is derived.
#include "Driver.h"

#include "BackupStore.h"
#include "ChangeList.h"
#include "ConnectOptions.h"
#include "ConnectionSequence.h"
#include "DurableWrite.h"
#include "FirmwareDownload.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "FlashImage.h"
#include "FlashTransfer.h"
#include "LineEditor.h"
#include "MonitorLink.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "PortAdvice.h"
#include "PortList.h"
#include "ProgressPrinter.h"
#include "RunOutcome.h"
#include "RunReport.h"
#include "Shell.h"
#include "Usage.h"
#include "ZyArgumentParser.h"
#include "ZyConfig.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
const int REPLY_BUFFER_SIZE = 1024;

/// Takes the first present form of a file option; later forms stay.
const char *takeFileOption(ZyArgumentParser &parser, const char *const *forms) {
  for (; *forms != nullptr; forms++) {
    const char *value = parser.takeParameterArgument(*forms, false);
    if (value != nullptr)
      return value;
  }
  return nullptr;
}

void logBadArguments(bool batchMode) {
  ZyLog::log(ZyLog::Terse, "%s", "");
  if (batchMode)
    ZyLog::log(ZyLog::Terse, "Bad command line args. Try again. Not saving values.");
  else
    ZyLog::log(ZyLog::Terse, "Bad command line args.");
  ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
}

/// Sends the monitor's closing command after a pause, when connected.
/// Without a controller there is nothing to give time to: no pause.
void closeMonitor(MonitorLink *link) {
  if (link == nullptr)
    return;
  ZyUtil::sleepMs(500);
  link->sendCommand("FK");
}

/// Writes the save file at the end of a run; false when it failed.
bool saveToFile(const char *saveFile) {
  ZyLog::log(ZyLog::Normal, "Saving to file '%s'.", saveFile);
  return Zyla::getConfig()->writeFile(saveFile, false, nullptr, false);
}
} // namespace

namespace {
// Checks a batch run makes before it touches the controller, and the end of
// a run that a signal stopped.

/// True when a file can be created where the save file goes (it is written
/// to a new file next to it and renamed over it).
bool saveDestinationUsable(const char *saveFile) {
  std::string full = saveFile;
  if (full.empty() || (full[0] != '/' && full[0] != '\\'))
    full = "./" + full;
  struct stat info;
  bool exists = stat(full.c_str(), &info) == 0;
  bool usable;
  if (exists && S_ISDIR(info.st_mode)) {
    usable = false;
  } else if (exists && !S_ISREG(info.st_mode)) {
    usable = access(full.c_str(), W_OK) == 0;
  } else {
    size_t slash = full.rfind('/');
    std::vector<char> probe;
    std::string pattern = full.substr(0, slash + 1) + ".orvexconf-check.XXXXXX";
    probe.assign(pattern.begin(), pattern.end());
    probe.push_back('\0');
    int fd = mkostemp(probe.data(), O_CLOEXEC);
    usable = fd >= 0;
    if (usable) {
      close(fd);
      unlink(probe.data());
    }
  }
  if (!usable)
    ZyLog::log(ZyLog::Terse, "ZyConfig: Cannot open file '%s' for writing", full.c_str());
  return usable;
}

/// Records a value not stored as given; an unknown keyword gets its line
/// with the nearest known one after the "Could not process" line.
void noteRefusedValue(RunOutcome &outcome, const char *keyword, const char *value,
                      const char *reason, const std::string &nearest) {
  if (std::string(reason) == "unknown keyword") {
    if (nearest.empty())
      ZyLog::log(ZyLog::Terse, "Unknown keyword '%s'.", keyword);
    else
      ZyLog::log(ZyLog::Terse, "Unknown keyword '%s' (did you mean '%s'?).", keyword,
                 nearest.c_str());
  }
  RefusedValue refused{keyword, value, reason, nearest};
  outcome.update([&refused](RunRecord &record) { record.refusedValues.push_back(refused); });
}

/// The keyword/value pairs and left-over arguments: every keyword must be
/// known to a table; with apply, the values are set too. Logs the bad
/// arguments and returns false when one is not known or one is left over.
/// The pairs are removed from the parser when applied.
bool processPairs(ZyArgumentParser &parser, bool batchMode, bool apply, char *reply,
                  size_t replySize, RunOutcome &outcome) {
  std::vector<std::string> refused;
  bool argumentError = false;
  size_t i = 1;
  while (parser.getArgc() > i + 1) {
    const char *keyword = parser.getArg(i);
    const char *value = parser.getArg(i + 1);
    bool known;
    ParamRefusal refusal = ParamRefusal::none;
    if (apply)
      known = setParameter(commandLineTables(), keyword, value, &refusal);
    else
      known = knowsKeyword(commandLineTables(), keyword);
    if (!known) {
      logBadArguments(batchMode);
      ZyLog::log(ZyLog::Terse, "Could not process: %s %s\n", keyword, value);
      std::string nearest = nearestKeyword(commandLineTables(), keyword);
      noteRefusedValue(outcome, keyword, value, "unknown keyword", nearest);
      refused.push_back(keyword);
      refused.push_back(value);
      argumentError = true;
    } else if (refusal != ParamRefusal::none) {
      noteRefusedValue(outcome, keyword, value, paramRefusalName(refusal), "");
    }
    if (apply) {
      parser.removeArg(1);
      parser.removeArg(1);
    } else {
      i += 2;
    }
  }
  if (parser.getArgc() > i) {
    logBadArguments(batchMode);
    // Built in the reply buffer; a text too long for it is cut.
    int used = snprintf(reply, replySize, "Could not process: ");
    for (size_t k = i; k < parser.getArgc() && used < static_cast<int>(replySize); k++)
      used += snprintf(reply + used, replySize - used, " %s", parser.getArg(k));
    ZyLog::log(ZyLog::Terse, "%s", reply);
    for (size_t k = i; k < parser.getArgc(); k++)
      refused.push_back(parser.getArg(k));
    argumentError = true;
  }
  if (!refused.empty())
    outcome.update([&refused](RunRecord &record) {
      record.refused.insert(record.refused.end(), refused.begin(), refused.end());
    });
  return !argumentError;
}

/// Everything a batch run can check before connecting, in the order of the
/// statuses' precedence; EXIT_OK when all is well. The firmware files are
/// read into the images given, for the run to write later.
int checkBatchRun(ZyArgumentParser &parser, const char *restoreFile, const char *imageFile,
                  const char *uploadFile, const char *saveFile, long base, FirmwareImage &image,
                  FirmwareImage &upload, char *reply, size_t replySize, RunOutcome &outcome) {
  if (restoreFile != nullptr) {
    // Read into a registry of its own: the values land in the image, which
    // the FLASH read replaces; the restore step applies the file again.
    ZyConfig check(nullptr, false, false, false, true);
    check.setBaseDirectory("./");
    registerFileTables(&check);
    if (!restoreParameterFile(restoreFile, &check))
      return EXIT_FLASH_READ;
  }
  if (imageFile != nullptr && !loadFirmwareFile(imageFile, base, image))
    return EXIT_IMAGE_UPLOAD;
  if (uploadFile != nullptr && !loadFirmwareFile(uploadFile, base, upload))
    return EXIT_UPLOAD;
  if (!processPairs(parser, true, false, reply, replySize, outcome))
    return EXIT_BAD_ARGUMENTS;
  if (saveFile != nullptr && !saveDestinationUsable(saveFile))
    return EXIT_SAVE_FAILED;
  return EXIT_OK;
}

/// The end of a run after a terminating signal became a stop request: the
/// work in hand is done; the monitor is closed unless a download stopped
/// part way (a half-written firmware must not be started).
void endStoppedRun(MonitorLink *controller, const FirmwareDownload *download) {
  if (download != nullptr && download->stopped())
    download->logStoppedBlocks();
  if (download != nullptr && download->stoppedPartWay()) {
    ZyLog::log(ZyLog::Normal,
               "The controller holds part of the new firmware; it is not started. Download the "
               "whole file again.");
  } else if (controller != nullptr) {
    closeMonitor(controller);
  }
}

/// Exit callback of an interactive run: a signal that ends it while the
/// parameters have changes not written to the controller says so.
void warnOfUnsavedChanges() {
  if (Zyla::signalReceived() != 0 && imageChanged()) {
    printf("\nYour changes were not written to the controller.\n");
    fflush(stdout);
  }
}
} // namespace

namespace {
// The run as a sequence of steps over one run state. Each step returns true
// when the run goes on; a step that ends it has noted why in the outcome.

/// Everything one run holds between its steps.
struct RunState {
  RunState(int &argc, char **argv, ZyRobot &robotIn, ConnectOptions &optionsIn,
           RunOutcome &outcomeIn, ZyFunctor &unsavedWarningIn, RunReport &reportIn)
      : parser(&argc, argv), robot(robotIn), options(optionsIn), outcome(outcomeIn),
        unsavedWarning(unsavedWarningIn), report(reportIn) {}
  ~RunState() { setWriteSafeguard(nullptr); }

  ZyArgumentParser parser;
  ZyRobot &robot;
  ConnectOptions &options;
  RunOutcome &outcome;
  ZyFunctor &unsavedWarning; ///< lives as long as the process
  RunReport &report;         ///< --report

  bool batchMode = false;
  bool noInteraction = false;
  bool check = false; ///< --check: read and compare, write nothing
  const char *saveFile = nullptr;
  const char *restoreFile = nullptr;
  const char *uploadFile = nullptr;
  const char *imageFile = nullptr;
  const char *blockFile = nullptr; ///< rescue image of the whole parameter block
  const char *backupDir = nullptr; ///< backup store given with --backup-dir
  bool dismissUnfinished = false;  ///< --dismiss-unfinished
  /// Load address of raw binary images ("--base"), NO_BASE_ADDRESS when none.
  long base = NO_BASE_ADDRESS;
  /// Uploads are read back to verify them unless "--no-verify" is given.
  bool verifyUploads = true;

  /// The monitor's reply during the connection; also builds the "Could not
  /// process" text.
  char reply[REPLY_BUFFER_SIZE + 1] = {};
  unsigned char block[FLASH_BLOCK_SIZE] = {};
  int blockLength = 0;
  /// --check: the block image differs from the controller's block in the
  /// bytes after the parameters, which no keyword shows.
  bool blockRestDiffers = false;
  /// The block image was written and verified: its line says so.
  bool blockImageWritten = false;
  /// Firmware files a batch run reads before connecting.
  FirmwareImage imageFirmware;
  FirmwareImage uploadFirmware;

  std::unique_ptr<MonitorLink> link;
  std::unique_ptr<ProgressPrinter> progress;
  /// The firmware an interactive run and its shell write.
  FirmwareImage firmware;
  FirmwareDownload shellDownload{firmware};
  /// The link when the run talks to the controller, else nullptr.
  MonitorLink *controller = nullptr;
  /// The safeguard of every erase of the parameter block: backup and
  /// journal; the link layer's only tie to them.
  std::unique_ptr<DurableWrite> durable;
  bool argumentError = false;
};

const char *const SAVE_FORMS[] = {"-s", "-saveToFile", nullptr};
const char *const RESTORE_FORMS[] = {"-r", "-loadFromRop", "-l", "-loadFromFile", nullptr};
const char *const UPLOAD_FORMS[] = {"-u", "-upload", "-d", "-download", nullptr};
const char *const IMAGE_FORMS[] = {"-m", "-mot", nullptr};
const char *const BLOCK_FORMS[] = {"-restoreBlock", nullptr};

/// Takes a file option and logs the message for it when present. An
/// option given last, without its file name, yields the empty name, which
/// the step that uses the file then reports (a file "" cannot be read or
/// written), as scripts written for the tool expect.
const char *takeLoggedFileOption(ZyArgumentParser &parser, const char *const *forms,
                                 const char *message) {
  const char *file = takeFileOption(parser, forms);
  if (file != nullptr)
    ZyLog::log(ZyLog::Normal, message, file);
  return file;
}

/// Ends the run with a status of its own, closing the monitor first when
/// connected.
bool failAfterConnecting(RunState &run, ExitStatus status) {
  closeMonitor(run.controller);
  run.outcome.endWith(status);
  return false;
}

/// The end of a run a terminating signal stopped (see endStoppedRun).
bool stopRun(RunState &run, const FirmwareDownload *download) {
  int sig = Zyla::stopRequest();
  endStoppedRun(run.controller, download);
  run.outcome.update([sig](RunRecord &record) { record.stopSignal = sig; });
  return false;
}

/// --check compares in a batch run with a controller and writes nothing:
/// it refuses -n, a save file and interactive mode.
bool checkOptionsFit(RunState &run) {
  const char *refusal = nullptr;
  if (!run.batchMode)
    refusal = "--check needs batch mode: add -b.";
  else if (run.noInteraction)
    refusal = "--check needs the controller: leave out -n.";
  else if (run.saveFile != nullptr)
    refusal = "--check writes no file: leave out -s.";
  if (refusal == nullptr)
    return true;
  ZyLog::log(ZyLog::Terse, "%s", refusal);
  ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
  run.outcome.endWith(EXIT_OPTIONS);
  return false;
}

/// True when two paths name the same file: the same file when both exist,
/// else the same name in the same folder.
bool sameFile(const std::string &a, const std::string &b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0)
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  auto place = [](const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char resolved[PATH_MAX];
    std::string folder = realpath(dir.c_str(), resolved) != nullptr ? resolved : dir;
    return folder + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
  };
  return place(a) == place(b);
}

/// The report may not be written over a file the run reads or saves: it
/// is refused before connecting, naming both options.
bool reportHasItsOwnFile(RunState &run) {
  std::string report = run.report.path();
  if (report.empty() || report == "-")
    return true;
  const std::pair<const char *, const char *> files[] = {{"-s", run.saveFile},
                                                         {"-r", run.restoreFile},
                                                         {"-restoreBlock", run.blockFile},
                                                         {"-m", run.imageFile},
                                                         {"-u", run.uploadFile}};
  for (const auto &file : files) {
    if (file.second == nullptr || file.second[0] == '\0' || !sameFile(report, file.second))
      continue;
    // Not written at all: in that place it would replace the other file.
    run.report.drop();
    ZyLog::log(ZyLog::Terse,
               "--report '%s' is the same file as %s '%s': give the report a file of its own.",
               report.c_str(), file.first, file.second);
    ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
    run.outcome.endWith(EXIT_OPTIONS);
    return false;
  }
  return true;
}

/// Options: the version, the modes, the files, the connection options and
/// the help.
bool takeOptions(RunState &run) {
  ZyArgumentParser &parser = run.parser;
  if (parser.takeArgument("-version")) {
    printVersion(stdout);
    return false;
  }
  if (parser.takeArgument("-list-ports")) {
    printSerialPorts(listSerialPorts());
    return false;
  }
  if (parser.takeArgument("-b") || parser.takeArgument("-batchmode")) {
    run.batchMode = true;
    ZyLog::log(ZyLog::Normal, "Entering batch mode.");
  }
  if (parser.takeArgument("-n") || parser.takeArgument("-nointeraction")) {
    run.noInteraction = true;
    ZyLog::log(ZyLog::Normal, "Will not interact with controller.");
  }
  if (parser.takeArgument("-no-history"))
    setShellHistory(false);
  run.check = parser.takeArgument("-check");
  run.outcome.update([&run](RunRecord &record) {
    record.batch = run.batchMode;
    record.check = run.check;
    record.offline = run.noInteraction;
  });
  // An option that lacks its value (or has one of the wrong kind) is
  // named and ends the run with status 1 once all are read.
  bool bad = false;
  const char *willUpload = "Will upload ORVEX file '%s' to controller after connection.";
  run.saveFile =
      takeLoggedFileOption(parser, SAVE_FORMS, "Saving config to file '%s' on completion.");
  run.restoreFile =
      takeLoggedFileOption(parser, RESTORE_FORMS, "Will restore FLASH params from file '%s'.");
  run.uploadFile = takeLoggedFileOption(parser, UPLOAD_FORMS, willUpload);
  run.imageFile = takeLoggedFileOption(parser, IMAGE_FORMS, willUpload);
  run.blockFile = takeLoggedFileOption(
      parser, BLOCK_FORMS, "Will write FLASH parameter block image '%s' to controller.");
  // Where the backups and the write journal are kept, and whether an
  // unfinished write found in the journal is to be closed without writing.
  run.backupDir = parser.takeParameterArgument("-backup-dir", false);
  run.dismissUnfinished = parser.takeArgument("-dismiss-unfinished");

  // The load address of raw binary images, and whether uploads are read
  // back to verify them.
  const char *baseText = parser.takeParameterArgument("-base", false);
  if (baseText != nullptr && baseText[0] == '\0') {
    ZyLog::log(ZyLog::Terse, "--base needs a load address: --base ADDR (hexadecimal, e.g. "
                             "--base 0x8000).");
    bad = true;
  } else if (baseText != nullptr && !parseBaseAddress(baseText, &run.base)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not a load address for --base: give hexadecimal digits below 0x40000, "
               "e.g. --base 0x8000.",
               baseText);
    bad = true;
  }
  run.verifyUploads = !parser.takeArgument("-no-verify");
  run.shellDownload.setVerify(run.verifyUploads);

  // The connection options read the port and rate from their own copy of
  // the command line; here every occurrence of them is removed together with
  // its value, whatever the value is, so that a port such as /dev/ttyUSB0 is
  // not left over as an unprocessed argument.
  for (const char *form : {"-rp", "-robotPort", "-rb", "-robotBaud"})
    parser.takeParameterArgument(form, false);

  if (run.check && !checkOptionsFit(run))
    return false;

  bool optionsRead = run.options.readOptions();
  bool helpAsked = optionsRead && (parser.takeArgument("-h") || parser.takeArgument("-help") ||
                                   parser.takeArgument("/?"));
  if (!optionsRead || helpAsked) {
    run.options.printOptions();
    if (helpAsked)
      printUsage(stdout);
    run.outcome.endWith(EXIT_OPTIONS);
    return false;
  }
  if (run.backupDir != nullptr && run.backupDir[0] == '\0') {
    ZyLog::log(ZyLog::Terse, "--backup-dir needs a folder: --backup-dir DIR.");
    bad = true;
  }
  if (bad) {
    ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
    run.outcome.endWith(EXIT_OPTIONS);
    return false;
  }
  return reportHasItsOwnFile(run);
}

/// Checks before connecting: a batch run checks all it can before the
/// controller is touched (the firmware files are read here, once); a rescue
/// image is read and checked in every mode, so that a file that is not a
/// whole block ends the run with nothing sent.
bool checkBeforeConnecting(RunState &run) {
  // A raw binary image without its load address is refused in every mode.
  const char *files[2] = {run.imageFile, run.uploadFile};
  const ExitStatus statuses[2] = {EXIT_IMAGE_UPLOAD, EXIT_UPLOAD};
  for (int i = 0; i < 2; i++) {
    if (files[i] == nullptr || !isBinaryFileName(files[i]) || run.base != NO_BASE_ADDRESS)
      continue;
    FirmwareImage refused;
    loadFirmwareFile(files[i], run.base, refused); // says why
    run.outcome.endWith(statuses[i]);
    return false;
  }
  if (run.batchMode) {
    int checked = checkBatchRun(run.parser, run.restoreFile, run.imageFile, run.uploadFile,
                                run.saveFile, run.base, run.imageFirmware, run.uploadFirmware,
                                run.reply, sizeof(run.reply), run.outcome);
    if (checked != EXIT_OK) {
      run.outcome.endWith(static_cast<ExitStatus>(checked));
      return false;
    }
  }
  if (run.blockFile != nullptr && !loadBlockFile(run.blockFile, run.block, &run.blockLength)) {
    run.outcome.endWith(EXIT_FLASH_READ);
    return false;
  }
  return true;
}

/// Connect: the link over the options' serial connection and, unless the
/// run does not interact, the connection sequence with library messages
/// silent.
bool connect(RunState &run) {
  run.options.attachTo(&run.robot);
  run.link = std::make_unique<MonitorLink>(run.options.connection());
  run.durable = std::make_unique<DurableWrite>(run.backupDir != nullptr ? run.backupDir : "",
                                               run.options.connection()->portName());
  run.durable->setCheckOnly(run.check);
  setWriteSafeguard(run.durable.get());
  run.progress = makeStdoutProgress();
  run.link->setProgress(run.progress.get());
  run.robot.setGoOnWithoutParams(true);
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  if (run.noInteraction)
    return true;
  std::string port = run.options.connection()->portName();
  run.outcome.update([&port](RunRecord &record) { record.port = port; });
  if (!runConnectionSequence(&run.robot, &run.options, run.link.get(), run.batchMode, run.reply,
                             REPLY_BUFFER_SIZE)) {
    // The lines the operator is shown go to the run's messages too: the
    // log is silent while connecting, so none of them was logged.
    std::vector<std::string> shown = connectionFailureLines(&run.options);
    // The connection sequence has printed the lines so far.
    size_t toPrint = shown.size();
    shown.push_back("The port tried was '" + port + "'.");
    if (run.options.portName() == nullptr)
      shown.push_back("No port was given, so the default one was tried: give the controller's "
                      "port with -rp PORT; orvexconf --list-ports lists the serial ports present.");
    for (size_t i = toPrint; i < shown.size(); i++)
      printf("%s\n", shown[i].c_str());
    fflush(stdout);
    run.outcome.update([&shown](RunRecord &record) {
      for (const std::string &text : shown)
        addMessage(record, text.c_str());
    });
    run.outcome.endWith(EXIT_NO_CONNECTION);
    return false;
  }
  run.controller = run.link.get();
  run.outcome.update([](RunRecord &record) { record.connected = true; });
  return true;
}

/// The registry the parameter files go through: the tables a file carries.
void setUpRegistry() {
  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  ZyConfig *config = Zyla::getConfig();
  config->setBaseDirectory("./");
  config->setNoBlanksBetweenParams(true);
  registerFileTables(config);
}

/// Identify: the firmware must be ORVEX; a newer or unidentified one gets
/// the caution box.
bool identify(RunState &run) {
  if (run.controller == nullptr)
    return true;
  ZyUtil::sleepMs(2000);
  FirmwareIdentity identity = checkFirmwareIdentity(run.controller);
  IdentityFields reply = identityFields(lastIdentityReply());
  run.outcome.update([identity, &reply](RunRecord &record) {
    record.identityChecked = true;
    record.identity = identity;
    record.identityReply = reply;
  });
  if (identity == FirmwareIdentity::NotOrvex) {
    ZyLog::log(ZyLog::Normal, "WRONG CONFIGURATION PROGRAM!  Stopping...");
    run.controller->sendCommand("FK");
    run.outcome.endWith(EXIT_WRONG_FIRMWARE);
    return false;
  }
  if (identity == FirmwareIdentity::Newer || identity == FirmwareIdentity::Unidentified) {
    printCaution(identity);
    const char *caution = identity == FirmwareIdentity::Newer
                              ? "The firmware is newer than this configuration program."
                              : "Unidentified, probably old controller stub.";
    run.outcome.update([caution](RunRecord &record) { addWarning(record, caution); });
  }
  return true;
}

/// Notes the block's digest, as read or as the run left it, and the robot's
/// name and serial number as read.
void noteBlock(RunState &run, bool asRead) {
  std::string digest = sha256Hex(flashBlock(), FLASH_BLOCK_SIZE);
  std::string name = parameterValue("Name");
  std::string serial = parameterValue("SerNum");
  run.outcome.update([&](RunRecord &record) {
    record.flashRead = true;
    record.blockSha256After = digest;
    if (!asRead)
      return;
    record.blockSha256Before = digest;
    record.robotName = name;
    record.serialNumber = serial;
  });
}

/// Notes the robot's name and serial number in the image about to be
/// written (or, in a check, that would be).
void noteIntended(RunState &run) {
  std::string name = parameterValue("Name");
  std::string serial = parameterValue("SerNum");
  run.outcome.update([&](RunRecord &record) {
    record.intendedName = name;
    record.intendedSerial = serial;
    record.intendedKnown = true;
  });
}

/// True when the batch run has parameters to apply that could make it
/// erase the block: keyword/value pairs or a restore file.
bool batchMayErase(RunState &run) {
  return run.parser.getArgc() > 1 || run.restoreFile != nullptr;
}

/// Read: the FLASH parameter block into the image; a failure ends the run
/// without "FK".
bool readFlash(RunState &run) {
  if (run.controller == nullptr)
    return true;
  if (!readFlashParameters(run.controller)) {
    run.outcome.endWith(EXIT_FLASH_READ);
    return false;
  }
  noteBlock(run, true);
  // A write to this port that never finished is reported before anything
  // else happens.
  DurableWrite::Unfinished unfinished =
      run.durable->checkUnfinished(lastBlock(), run.dismissUnfinished);
  run.durable->checkUnfinishedUploads(run.dismissUnfinished);
  std::string notice = run.durable->notice();
  run.outcome.update([&notice](RunRecord &record) {
    record.unfinishedJournal = notice;
    if (!notice.empty())
      addWarning(record, notice.c_str());
  });
  // A check writes nothing, so the notice is all it needs.
  if (unfinished != DurableWrite::Unfinished::Blocking || run.check)
    return true;
  if (run.blockFile != nullptr) {
    ZyLog::log(ZyLog::Normal, "The block image given with -restoreBlock is written all the same.");
  } else if (run.batchMode && batchMayErase(run)) {
    ZyLog::log(ZyLog::Terse, "Nothing was written. When the block on the controller is as it "
                             "should be, run again with --dismiss-unfinished to go on.");
    return failAfterConnecting(run, EXIT_FLASH_WRITE);
  } else if (run.batchMode) {
    // Reading, saving and uploading firmware leave the parameter block as
    // it is: what the operator needs now.
    ZyLog::log(ZyLog::Normal, "This run writes nothing to the parameter block, so it goes on. "
                              "When the block on the controller is as it should be, "
                              "--dismiss-unfinished closes the entry.");
  } else {
    ZyLog::log(ZyLog::Normal, "'save' asks before it writes over this block.");
    run.durable->askBeforeWriting(true);
  }
  return true;
}

/// Notes the backup a write made and the rescue files a failed one left.
void noteWriteFiles(RunState &run, bool written) {
  std::string backup = run.durable ? run.durable->lastBackup() : std::string();
  std::vector<std::string> rescue;
  if (!written)
    for (const std::string *file : {&lastRescueImage(), &lastRescueParameters()})
      if (!file->empty())
        rescue.push_back(*file);
  run.outcome.update([&backup, &rescue](RunRecord &record) {
    record.backupFile = backup;
    record.rescueFiles = rescue;
  });
}

/// Lists what a restore file changed in the values read from the
/// controller, and says so plainly when it changes which robot this is.
void logRestoredChanges(const char *file, const std::vector<ParamChange> &changes) {
  if (changes.empty()) {
    ZyLog::log(ZyLog::Normal, "'%s' changes no parameter.", file);
    return;
  }
  logChanges(std::string("'") + file + "' changes " + std::to_string(changes.size()) +
                 (changes.size() == 1 ? " parameter:" : " parameters:"),
             changes);
  std::string identity;
  for (const ParamChange &change : changes)
    if (isIdentityKeyword(change.keyword))
      identity += (identity.empty() ? "" : ", ") + change.keyword;
  if (!identity.empty())
    ZyLog::log(ZyLog::Normal,
               "Caution: '%s' changes the robot's identity (%s): it may be another robot's "
               "file.",
               file, identity.c_str());
}

/// Block image: the rescue image of the whole parameter block, written back
/// after the FLASH read; without a controller its parameters become the
/// ones the run edits and saves.
bool writeBlockImage(RunState &run) {
  if (run.blockFile == nullptr)
    return true;
  if (run.controller == nullptr) {
    applyBlockToImage(run.block);
    ZyLog::log(ZyLog::Normal,
               "Took the parameters of block image '%s'; without a controller nothing is "
               "written to one.",
               run.blockFile);
    std::string file = run.blockFile;
    run.outcome.update([&file](RunRecord &record) { record.restoredFrom = file; });
    return true;
  }
  if (run.check) {
    // Compared with what was read like any other change; nothing is sent.
    // The bytes after the parameters are compared too: writing the image
    // would change them as well.
    applyBlockToImage(run.block);
    run.blockRestDiffers = memcmp(run.block + FLASH_IMAGE_SIZE, flashBlock() + FLASH_IMAGE_SIZE,
                                  static_cast<size_t>(run.blockLength - FLASH_IMAGE_SIZE)) != 0;
    if (run.blockRestDiffers)
      ZyLog::log(ZyLog::Normal,
                 "'%s' also differs from the controller's block after the parameters "
                 "(bytes 0x%x to 0x%x), which writing it would change.",
                 run.blockFile, FLASH_IMAGE_SIZE, run.blockLength - 1);
    return true;
  }
  // What the image changes, listed as a restore lists it, before the erase.
  unsigned char before[FLASH_IMAGE_SIZE];
  memcpy(before, flashImage, FLASH_IMAGE_SIZE);
  applyBlockToImage(run.block);
  logRestoredChanges(run.blockFile, imageChanges(before, flashImage));
  noteIntended(run);
  ZyLog::log(ZyLog::Normal, "Writing FLASH parameter block image '%s' to controller.",
             run.blockFile);
  bool restored = restoreFlashBlock(run.controller, run.block, run.blockLength);
  // A failed write leaves the parameters as read (the shell goes on with
  // them).
  if (!restored)
    setFlashImage(before);
  noteWriteFiles(run, true);
  run.outcome.update([restored](RunRecord &record) { record.flashWriteFailed = !restored; });
  // A signal during the write let it finish; the run ends here.
  if (Zyla::stopRequest() != 0)
    return stopRun(run, nullptr);
  if (!restored)
    return failAfterConnecting(run, EXIT_FLASH_WRITE);
  std::string file = run.blockFile;
  run.outcome.update([&file](RunRecord &record) { record.rescuedFrom = file; });
  run.blockImageWritten = true;
  noteBlock(run, false);
  return true;
}

/// Apply: the restore file, then the keyword/value pairs.
bool applyParameters(RunState &run) {
  if (run.restoreFile != nullptr) {
    ZyLog::log(ZyLog::Normal, "Restoring FLASH params from rop file '%s'.", run.restoreFile);
    unsigned char before[FLASH_IMAGE_SIZE];
    memcpy(before, flashImage, FLASH_IMAGE_SIZE);
    // A batch run has read the file and shown its messages already.
    if (run.batchMode)
      ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
    bool parsed = restoreParameterFile(run.restoreFile, Zyla::getConfig());
    if (run.batchMode)
      ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    if (!parsed && run.batchMode)
      return failAfterConnecting(run, EXIT_FLASH_READ);
    if (run.controller != nullptr)
      logRestoredChanges(run.restoreFile, imageChanges(before, flashImage));
    if (parsed) {
      std::string file = run.restoreFile;
      run.outcome.update([&file](RunRecord &record) { record.restoredFrom = file; });
    }
  }
  run.argumentError =
      !processPairs(run.parser, run.batchMode, true, run.reply, sizeof(run.reply), run.outcome);
  return true;
}

/// --check with a firmware image: reads each block the image touches back
/// from the controller and compares it with the image, erasing and writing
/// nothing; a block that differs counts as a change. failure is the status
/// when a block cannot be read back.
bool compareFirmwareFile(RunState &run, const char *file, FirmwareImage &image,
                         ExitStatus failure) {
  image.logSummary();
  FirmwareRecord firmware;
  firmware.file = file;
  firmware.format = firmwareFormatName(image.format());
  firmware.digest = image.digest();
  firmware.ranges = image.ranges();
  firmware.state = "checked";
  ZyLog::log(ZyLog::Normal,
             "Comparing '%s' with the controller by reading it back; nothing written.", file);
  FirmwareDownload download(image);
  bool answered = true;
  for (int i : image.blocksToWrite()) {
    if (Zyla::stopRequest() != 0)
      break;
    unsigned long first = 0;
    FirmwareDownload::BlockCheck result = download.compareBlock(run.controller, i, &first);
    if (result == FirmwareDownload::BlockCheck::NoAnswer) {
      ZyLog::log(ZyLog::Terse,
                 "Could not read block 0x%x back from the controller: check the cable and the "
                 "controller's power, then run the check again.",
                 i);
      answered = false;
      break;
    }
    if (result == FirmwareDownload::BlockCheck::Differs) {
      ZyLog::log(ZyLog::Normal, "Block 0x%x differs from the image.", i);
      firmware.blocksDiffering.push_back(i);
    }
  }
  if (!answered || Zyla::stopRequest() != 0)
    firmware.state = "failed";
  else if (firmware.blocksDiffering.empty())
    ZyLog::log(ZyLog::Normal, "Every block of '%s' matches the controller.", file);
  run.outcome.update([&firmware](RunRecord &record) { record.firmware.push_back(firmware); });
  if (Zyla::stopRequest() != 0)
    return stopRun(run, nullptr);
  if (!answered)
    return failAfterConnecting(run, failure);
  return true;
}

/// Writes one firmware file: a batch run the image it read before
/// connecting, an interactive run the file read now. The image's summary
/// is shown first (also without a controller). failure is the status of a
/// failed write.
bool writeFirmwareFile(RunState &run, const char *file, FirmwareImage &loaded, ExitStatus failure) {
  if (file == nullptr)
    return true;
  if (run.check)
    return compareFirmwareFile(run, file, loaded, failure);
  FirmwareImage &image = run.batchMode ? loaded : run.firmware;
  FirmwareDownload download(image);
  download.setVerify(run.verifyUploads);
  bool read = run.batchMode || loadFirmwareFile(file, run.base, image);
  if (read)
    image.logSummary();
  bool written =
      read && (run.durable ? run.durable->upload(download, image, run.controller, failure)
                           : download.downloadFirmware(run.controller));
  FirmwareRecord firmware =
      downloadRecord(file, read ? &image : nullptr, download, run.controller != nullptr, written);
  run.outcome.update([&firmware](RunRecord &record) { record.firmware.push_back(firmware); });
  if (download.stopped() || Zyla::stopRequest() != 0)
    return stopRun(run, &download);
  if (!written)
    return failAfterConnecting(run, failure);
  return true;
}

/// Firmware: the image file, then the upload file.
bool writeFirmware(RunState &run) {
  return writeFirmwareFile(run, run.imageFile, run.imageFirmware, EXIT_IMAGE_UPLOAD) &&
         writeFirmwareFile(run, run.uploadFile, run.uploadFirmware, EXIT_UPLOAD);
}

/// Write: a batch run writes the parameter block when it changed.
bool writeChanges(RunState &run) {
  bool changed = imageChanged() || run.blockRestDiffers;
  std::vector<ParamChange> changes = pendingChanges();
  // Without a controller there is no read block to differ from.
  if (run.controller == nullptr)
    changes.clear();
  run.outcome.update([changed, &changes](RunRecord &record) {
    record.changed = changed;
    record.changes = changes;
  });
  if (changed && run.controller != nullptr)
    noteIntended(run);
  if (run.check) {
    if (!changes.empty() || (changed && !run.blockRestDiffers))
      logChanges("Would change " + std::to_string(changes.size()) +
                     (changes.size() == 1 ? " parameter:" : " parameters:"),
                 changes);
    else if (!changed)
      ZyLog::log(ZyLog::Normal, "No parameter would change.");
    return true;
  }
  if (changed && !changes.empty() && run.controller != nullptr)
    logChanges(changingHeading(changes.size()), changes);
  if (!changed) {
    // After a block image, its own line told what was written.
    if (!run.blockImageWritten)
      ZyLog::log(ZyLog::Normal, "Not writing parameters to controler since they have not changed");
    return true;
  }
  if (run.controller == nullptr) {
    ZyLog::log(ZyLog::Normal, "Not interacting with controller. Cannot save.");
  } else {
    bool written = writeFlashParameters(run.controller);
    noteWriteFiles(run, written);
    run.outcome.update([written](RunRecord &record) {
      record.flashWritten = written;
      record.flashWriteFailed = !written;
    });
    if (written)
      noteBlock(run, false);
  }
  // A signal during the write let it finish; the run ends here.
  if (Zyla::stopRequest() != 0)
    return stopRun(run, nullptr);
  return true;
}

/// Save: the save file, when one was given.
void writeSaveFile(RunState &run) {
  if (run.saveFile == nullptr)
    return;
  bool saved = saveToFile(run.saveFile);
  std::string file = run.saveFile;
  run.outcome.update([saved, &file](RunRecord &record) {
    record.saveFailed = !saved;
    if (saved)
      record.savedTo = file;
  });
}

/// The end of a batch run: unless an argument was not processed, the write
/// and the save; then the monitor is closed.
void finishBatch(RunState &run) {
  if (run.controller != nullptr)
    ZyUtil::sleepMs(500);
  if (!run.argumentError) {
    if (!writeChanges(run))
      return;
    writeSaveFile(run);
  }
  closeMonitor(run.controller);
}

/// The end of an interactive run: the shell, then the save and the close.
void runInteractive(RunState &run) {
  printHelp();
  Zyla::addExitCallback(&run.unsavedWarning, 60);
  runShell(run.controller, &run.firmware, &run.shellDownload, run.durable.get(), &run.outcome);
  // Ended by a signal that came while a shell command worked (the exit
  // callback above tells of unsaved changes).
  if (Zyla::stopRequest() != 0) {
    stopRun(run, &run.shellDownload);
    return;
  }
  writeSaveFile(run);
  closeMonitor(run.controller);
  printf("\n");
  fflush(stdout);
}

/// The run after start-up, step by step, into the outcome; the driver's
/// objects are still alive when it returns.
void runBody(int &argc, char **argv, ZyRobot &robot, ConnectOptions &options, RunOutcome &outcome,
             ZyFunctor &unsavedWarning, RunReport &report) {
  auto run =
      std::make_unique<RunState>(argc, argv, robot, options, outcome, unsavedWarning, report);
  if (!takeOptions(*run) || !checkBeforeConnecting(*run) || !connect(*run))
    return;
  setUpRegistry();
  if (!identify(*run) || !readFlash(*run) || !writeBlockImage(*run) || !applyParameters(*run) ||
      !writeFirmware(*run))
    return;
  if (run->batchMode)
    finishBatch(*run);
  else
    runInteractive(*run);
}
} // namespace

int runDriver(int argc, char **argv) {
  // A file-size limit makes a write fail (and the save keep the old file)
  // instead of killing the process half way.
  signal(SIGXFSZ, SIG_IGN);
  Zyla::setDirectory("./");
  Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
  ZyRobot robot(nullptr, true, true, true, true);
  RunOutcome outcome;
  // The lines logged as errors, refusals and advice go into the record,
  // for the report.
  LoggedMessages messages(outcome);
  // The report's option goes first: "--report -" moves the rest of the
  // run's output to standard error before anything is printed.
  RunReport report(outcome);
  ExitStatus reportStatus = report.takeOption(argc, argv);
  ConnectOptions options(&argc, argv);
  ZyGlobalFunctor unsavedWarning(&warnOfUnsavedChanges);
  unsavedWarning.setName("warnOfUnsavedChanges");
  if (reportStatus != EXIT_OK)
    outcome.endWith(reportStatus);
  else
    runBody(argc, argv, robot, options, outcome, unsavedWarning, report);
  // The port gets back the settings it had before the run.
  options.connection()->close();
  // A run a signal stopped did not succeed, whatever else happened.
  int sig = Zyla::stopRequest();
  if (sig != 0)
    outcome.update([sig](RunRecord &record) { record.stopSignal = sig; });
  int status = outcome.exitStatus();
  // The run ends here, with every object of the driver still alive for the
  // library's exit callbacks.
  fflush(stdout);
  Zyla::exit(status);
  return status;
}

// Program driver: start-up, options, connection, identity check and FLASH
// read, restore, keyword/value pairs, uploads, and either the batch end or
// the interactive shell. Every path ends with an exit status.
#include "Driver.h"

#include "ConnectOptions.h"
#include "ConnectionSequence.h"
#include "FirmwareImage.h"
#include "FlashImage.h"
#include "FlashTransfer.h"
#include "LineEditor.h"
#include "MonitorLink.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "ProgressPrinter.h"
#include "Shell.h"
#include "Usage.h"
#include "ZyArgumentParser.h"
#include "ZyConfig.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

/// The keyword/value pairs and left-over arguments: every keyword must be
/// known to a table; with apply, the values are set too. Logs the bad
/// arguments and returns false when one is not known or one is left over.
/// The pairs are removed from the parser when applied.
bool processPairs(ZyArgumentParser &parser, bool batchMode, bool apply, char *reply,
                  size_t replySize) {
  bool argumentError = false;
  size_t i = 1;
  while (parser.getArgc() > i + 1) {
    const char *keyword = parser.getArg(i);
    const char *value = parser.getArg(i + 1);
    bool known;
    if (apply)
      known = setParameter(robotTable, keyword, value) || setParameter(armTable, keyword, value) ||
              setParameter(powerTable, keyword, value);
    else
      known = knowsKeyword(robotTable, keyword) || knowsKeyword(armTable, keyword) ||
              knowsKeyword(powerTable, keyword);
    if (!known) {
      logBadArguments(batchMode);
      ZyLog::log(ZyLog::Terse, "Could not process: %s %s\n", keyword, value);
      argumentError = true;
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
    argumentError = true;
  }
  return !argumentError;
}

/// Everything a batch run can check before connecting, in the order of the
/// statuses' precedence; EXIT_OK when all is well. The firmware files are
/// read into the images given, for the run to write later.
int checkBatchRun(ZyArgumentParser &parser, const char *restoreFile, const char *imageFile,
                  const char *uploadFile, const char *saveFile, FirmwareImage &image,
                  FirmwareImage &upload, char *reply, size_t replySize) {
  if (restoreFile != nullptr) {
    // Read into a registry of its own: the values land in the image, which
    // the FLASH read replaces; the restore step applies the file again.
    ZyConfig check(nullptr, false, false, false, true);
    check.setBaseDirectory("./");
    registerTable(robotTable, &check);
    registerTable(armTable, &check);
    if (!restoreParameterFile(restoreFile, &check))
      return EXIT_FLASH_READ;
  }
  if (imageFile != nullptr && !image.load(imageFile))
    return EXIT_IMAGE_UPLOAD;
  if (uploadFile != nullptr && !upload.load(uploadFile))
    return EXIT_UPLOAD;
  if (!processPairs(parser, true, false, reply, replySize))
    return EXIT_BAD_ARGUMENTS;
  if (saveFile != nullptr && !saveDestinationUsable(saveFile))
    return EXIT_SAVE_FAILED;
  return EXIT_OK;
}

/// The end of a run after a terminating signal became a stop request: the
/// work in hand is done; the monitor is closed unless a download stopped
/// part way (a half-written firmware must not be started). Returns 128 + the
/// signal number.
int endStoppedRun(MonitorLink *controller, const FirmwareImage *download) {
  int sig = Zyla::stopRequest();
  if (download != nullptr && download->stopped())
    download->logStoppedBlocks();
  if (download != nullptr && download->stoppedPartWay()) {
    ZyLog::log(ZyLog::Normal,
               "The controller holds part of the new firmware; it is not started. Download the "
               "whole file again.");
  } else if (controller != nullptr) {
    closeMonitor(controller);
  }
  return Zyla::exitStatusForSignal(sig);
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
/// The run after start-up; returns the exit status while the driver's
/// objects are still alive.
int runBody(int &argc, char **argv, ZyRobot &robot, ConnectOptions &options) {
  ZyArgumentParser parser(&argc, argv);
  if (parser.takeArgument("-version")) {
    printVersion(stdout);
    return EXIT_OK;
  }

  bool batchMode = false;
  bool noInteraction = false;
  if (parser.takeArgument("-b") || parser.takeArgument("-batchmode")) {
    batchMode = true;
    ZyLog::log(ZyLog::Normal, "Entering batch mode.");
  }
  if (parser.takeArgument("-n") || parser.takeArgument("-nointeraction")) {
    noInteraction = true;
    ZyLog::log(ZyLog::Normal, "Will not interact with controller.");
  }
  if (parser.takeArgument("-no-history"))
    setShellHistory(false);
  static const char *const saveForms[] = {"-s", "-saveToFile", nullptr};
  static const char *const restoreForms[] = {"-r", "-loadFromRop", "-l", "-loadFromFile", nullptr};
  static const char *const uploadForms[] = {"-u", "-upload", "-d", "-download", nullptr};
  static const char *const imageForms[] = {"-m", "-mot", nullptr};
  const char *saveFile = takeFileOption(parser, saveForms);
  if (saveFile != nullptr)
    ZyLog::log(ZyLog::Normal, "Saving config to file '%s' on completion.", saveFile);
  const char *restoreFile = takeFileOption(parser, restoreForms);
  if (restoreFile != nullptr)
    ZyLog::log(ZyLog::Normal, "Will restore FLASH params from file '%s'.", restoreFile);
  const char *uploadFile = takeFileOption(parser, uploadForms);
  if (uploadFile != nullptr)
    ZyLog::log(ZyLog::Normal, "Will upload ORVEX file '%s' to controller after connection.",
               uploadFile);
  const char *imageFile = takeFileOption(parser, imageForms);
  if (imageFile != nullptr)
    ZyLog::log(ZyLog::Normal, "Will upload ORVEX file '%s' to controller after connection.",
               imageFile);
  // A rescue image of the whole parameter block, written back after the
  // FLASH read.
  static const char *const blockForms[] = {"-restoreBlock", nullptr};
  const char *blockFile = takeFileOption(parser, blockForms);
  if (blockFile != nullptr)
    ZyLog::log(ZyLog::Normal, "Will write FLASH parameter block image '%s' to controller.",
               blockFile);

  // The connection options read the port and rate from their own copy of
  // the command line; here every occurrence of them is removed together with
  // its value, whatever the value is, so that a port such as /dev/ttyUSB0 is
  // not left over as an unprocessed argument.
  parser.takeParameterArgument("-rp", false);
  parser.takeParameterArgument("-robotPort", false);
  parser.takeParameterArgument("-rb", false);
  parser.takeParameterArgument("-robotBaud", false);

  bool optionsRead = options.readOptions();
  bool helpAsked = optionsRead && (parser.takeArgument("-h") || parser.takeArgument("-help") ||
                                   parser.takeArgument("/?"));
  if (!optionsRead || helpAsked) {
    options.printOptions();
    if (helpAsked)
      printUsage(stdout);
    return EXIT_OPTIONS;
  }

  static char reply[REPLY_BUFFER_SIZE + 1];
  // A batch run checks all it can before the controller is touched; the
  // firmware files are read here, once.
  FirmwareImage imageFirmware;
  FirmwareImage uploadFirmware;
  if (batchMode) {
    int checked = checkBatchRun(parser, restoreFile, imageFile, uploadFile, saveFile, imageFirmware,
                                uploadFirmware, reply, sizeof(reply));
    if (checked != EXIT_OK)
      return checked;
  }
  // A rescue image is read and checked before the controller is touched
  // too, in every mode: a file that is not a whole block ends the run with
  // nothing sent.
  static unsigned char block[FLASH_BLOCK_SIZE];
  int blockLength = 0;
  if (blockFile != nullptr && !loadBlockFile(blockFile, block, &blockLength))
    return EXIT_FLASH_READ;

  options.attachTo(&robot);
  MonitorLink link(options.serialConnection());
  std::unique_ptr<ProgressPrinter> progress = makeStdoutProgress();
  link.setProgress(progress.get());
  FirmwareImage firmware;
  robot.setGoOnWithoutParams(true);
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);

  if (!noInteraction &&
      !runConnectionSequence(&robot, &options, &link, batchMode, reply, REPLY_BUFFER_SIZE))
    return EXIT_NO_CONNECTION;
  MonitorLink *controller = noInteraction ? nullptr : &link;

  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
  ZyConfig *config = Zyla::getConfig();
  config->setBaseDirectory("./");
  config->setNoBlanksBetweenParams(true);
  registerTable(robotTable, config);
  registerTable(armTable, config);

  if (controller != nullptr) {
    ZyUtil::sleepMs(2000);
    FirmwareIdentity identity = checkFirmwareIdentity(controller);
    if (identity == FirmwareIdentity::NotOrvex) {
      ZyLog::log(ZyLog::Normal, "WRONG CONFIGURATION PROGRAM!  Stopping...");
      controller->sendCommand("FK");
      return EXIT_WRONG_FIRMWARE;
    }
    if (identity == FirmwareIdentity::Newer || identity == FirmwareIdentity::Unidentified)
      printCaution(identity);
    if (!readFlashParameters(controller))
      return EXIT_FLASH_READ;
  }

  if (blockFile != nullptr) {
    if (controller == nullptr) {
      ZyLog::log(ZyLog::Normal, "Not interacting with controller. Cannot write '%s'.", blockFile);
    } else {
      ZyLog::log(ZyLog::Normal, "Writing FLASH parameter block image '%s' to controller.",
                 blockFile);
      bool restored = restoreFlashBlock(controller, block, blockLength);
      // A signal during the write let it finish; the run ends here.
      if (Zyla::stopRequest() != 0)
        return endStoppedRun(controller, nullptr);
      if (!restored) {
        closeMonitor(controller);
        return EXIT_FLASH_WRITE;
      }
    }
  }

  if (restoreFile != nullptr) {
    ZyLog::log(ZyLog::Normal, "Restoring FLASH params from rop file '%s'.", restoreFile);
    // A batch run has read the file and shown its messages already.
    if (batchMode)
      ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
    bool parsed = restoreParameterFile(restoreFile, config);
    if (batchMode)
      ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
    if (!parsed && batchMode) {
      if (controller != nullptr)
        closeMonitor(controller);
      return EXIT_FLASH_READ;
    }
  }

  bool argumentError = !processPairs(parser, batchMode, true, reply, sizeof(reply));

  // Batch runs write the images read before connecting; interactive runs
  // read the files now.
  FirmwareImage &imageToWrite = batchMode ? imageFirmware : firmware;
  FirmwareImage &uploadToWrite = batchMode ? uploadFirmware : firmware;
  if (imageFile != nullptr) {
    bool written = batchMode ? imageToWrite.downloadLoaded(controller)
                             : imageToWrite.downloadFirmware(controller, imageFile);
    if (imageToWrite.stopped() || Zyla::stopRequest() != 0)
      return endStoppedRun(controller, &imageToWrite);
    if (!written) {
      if (controller != nullptr)
        closeMonitor(controller);
      return EXIT_IMAGE_UPLOAD;
    }
  }
  if (uploadFile != nullptr) {
    bool written = batchMode ? uploadToWrite.downloadLoaded(controller)
                             : uploadToWrite.downloadFirmware(controller, uploadFile);
    if (uploadToWrite.stopped() || Zyla::stopRequest() != 0)
      return endStoppedRun(controller, &uploadToWrite);
    if (!written) {
      if (controller != nullptr)
        closeMonitor(controller);
      return EXIT_UPLOAD;
    }
  }

  bool saveFailed = false;
  bool writeFailed = false;
  if (batchMode) {
    if (controller != nullptr)
      ZyUtil::sleepMs(500);
    if (!argumentError) {
      if (imageChanged()) {
        if (controller == nullptr)
          ZyLog::log(ZyLog::Normal, "Not interacting with controller. Cannot save.");
        else
          writeFailed = !writeFlashParameters(controller);
        // A signal during the write let it finish; the run ends here.
        if (Zyla::stopRequest() != 0)
          return endStoppedRun(controller, nullptr);
      } else {
        ZyLog::log(ZyLog::Normal,
                   "Not writing parameters to controler since they have not changed");
      }
      if (saveFile != nullptr)
        saveFailed = !saveToFile(saveFile);
    }
    closeMonitor(controller);
    if (argumentError)
      return EXIT_BAD_ARGUMENTS;
    if (writeFailed)
      return EXIT_FLASH_WRITE;
    return saveFailed ? EXIT_SAVE_FAILED : EXIT_OK;
  }

  printHelp();
  static ZyGlobalFunctor unsavedWarning(&warnOfUnsavedChanges);
  unsavedWarning.setName("warnOfUnsavedChanges");
  Zyla::addExitCallback(&unsavedWarning, 60);
  runShell(controller, &firmware);
  // Ended by a signal that came while a shell command worked (the exit
  // callback above tells of unsaved changes).
  if (Zyla::stopRequest() != 0)
    return endStoppedRun(controller, &firmware);
  if (saveFile != nullptr)
    saveFailed = !saveToFile(saveFile);
  closeMonitor(controller);
  printf("\n");
  fflush(stdout);
  return saveFailed ? EXIT_SAVE_FAILED : EXIT_OK;
}
} // namespace

int runDriver(int argc, char **argv) {
  // A file-size limit makes a write fail (and the save keep the old file)
  // instead of killing the process half way.
  signal(SIGXFSZ, SIG_IGN);
  Zyla::setDirectory("./");
  Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
  ZyRobot robot(nullptr, true, true, true, true);
  ConnectOptions options(&argc, argv);
  int status = runBody(argc, argv, robot, options);
  // The port gets back the settings it had before the run.
  options.serialConnection()->close();
  // A run a signal stopped did not succeed, whatever else happened.
  if (Zyla::stopRequest() != 0)
    status = Zyla::exitStatusForSignal(Zyla::stopRequest());
  // The run ends here, with every object of the driver still alive for the
  // library's exit callbacks.
  fflush(stdout);
  Zyla::exit(status);
  return status;
}

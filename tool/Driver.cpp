// Program driver: start-up, options, connection, identity check and FLASH
// read, restore, keyword/value pairs, uploads, and either the batch end or
// the interactive shell. Every path ends with an exit status.
#include "Driver.h"

#include "ConnectOptions.h"
#include "ConnectionSequence.h"
#include "FirmwareImage.h"
#include "FlashImage.h"
#include "FlashTransfer.h"
#include "MonitorLink.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "Shell.h"
#include "ZyArgumentParser.h"
#include "ZyConfig.h"
#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cstdio>
#include <cstring>

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
void closeMonitor(MonitorLink *link) {
  ZyUtil::sleepMs(500);
  if (link != nullptr)
    link->sendCommand("FK");
}

/// Writes the save file at the end of a run; false when it failed.
bool saveToFile(const char *saveFile) {
  ZyLog::log(ZyLog::Normal, "Saving to file '%s'.", saveFile);
  return Zyla::getConfig()->writeFile(saveFile, false, nullptr, false);
}
} // namespace

namespace {
/// The run after start-up; returns the exit status while the driver's
/// objects are still alive.
int runBody(int &argc, char **argv, ZyRobot &robot, ConnectOptions &options) {
  ZyArgumentParser parser(&argc, argv);

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

  // The connection options read the port and rate from their own copy of
  // the command line; here every occurrence of them is removed together with
  // its value, whatever the value is, so that a port such as /dev/ttyUSB0 is
  // not left over as an unprocessed argument.
  parser.takeParameterArgument("-rp", false);
  parser.takeParameterArgument("-robotPort", false);
  parser.takeParameterArgument("-rb", false);
  parser.takeParameterArgument("-robotBaud", false);

  if (!options.readOptions() || parser.takeArgument("-h") || parser.takeArgument("-help") ||
      parser.takeArgument("/?")) {
    options.printOptions();
    return EXIT_OPTIONS;
  }

  options.attachTo(&robot);
  MonitorLink link(options.serialConnection());
  FirmwareImage firmware;
  robot.setGoOnWithoutParams(true);
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);

  static char reply[REPLY_BUFFER_SIZE + 1];
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
    int identity = checkFirmwareIdentity(controller);
    if (identity == 2) {
      ZyLog::log(ZyLog::Normal, "WRONG CONFIGURATION PROGRAM!  Stopping...");
      controller->sendCommand("FK");
      return EXIT_WRONG_FIRMWARE;
    }
    if (identity == 1 || identity == -1)
      printCaution(identity);
    if (!readFlashParameters(controller))
      return EXIT_FLASH_READ;
  }

  if (restoreFile != nullptr) {
    ZyLog::log(ZyLog::Normal, "Restoring FLASH params from rop file '%s'.", restoreFile);
    bool parsed = restoreParameterFile(restoreFile, config);
    if (!parsed && batchMode) {
      if (controller != nullptr)
        closeMonitor(controller);
      return EXIT_FLASH_READ;
    }
  }

  bool argumentError = false;
  while (parser.getArgc() > 2) {
    const char *keyword = parser.getArg(1);
    const char *value = parser.getArg(2);
    if (!setParameter(robotTable, keyword, value) && !setParameter(armTable, keyword, value) &&
        !setParameter(powerTable, keyword, value)) {
      logBadArguments(batchMode);
      ZyLog::log(ZyLog::Terse, "Could not process: %s %s\n", keyword, value);
      argumentError = true;
    }
    parser.removeArg(1);
    parser.removeArg(1);
  }
  if (parser.getArgc() > 1) {
    logBadArguments(batchMode);
    // Built in the reply buffer; a text too long for it is cut.
    int used = snprintf(reply, sizeof(reply), "Could not process: ");
    for (size_t i = 1; i < parser.getArgc() && used < static_cast<int>(sizeof(reply)); i++)
      used += snprintf(reply + used, sizeof(reply) - used, " %s", parser.getArg(i));
    ZyLog::log(ZyLog::Terse, "%s", reply);
    argumentError = true;
  }

  if (imageFile != nullptr && !firmware.downloadFirmware(controller, imageFile)) {
    if (controller != nullptr)
      closeMonitor(controller);
    return EXIT_IMAGE_UPLOAD;
  }
  if (uploadFile != nullptr && !firmware.downloadFirmware(controller, uploadFile)) {
    if (controller != nullptr)
      closeMonitor(controller);
    return EXIT_UPLOAD;
  }

  bool saveFailed = false;
  if (batchMode) {
    ZyUtil::sleepMs(500);
    if (!argumentError) {
      if (imageChanged()) {
        if (controller == nullptr)
          ZyLog::log(ZyLog::Normal, "Not interacting with controller. Cannot save.");
        else
          writeFlashParameters(controller);
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
    return saveFailed ? EXIT_SAVE_FAILED : EXIT_OK;
  }

  printHelp();
  runShell(controller, &firmware);
  if (saveFile != nullptr)
    saveFailed = !saveToFile(saveFile);
  closeMonitor(controller);
  printf("\n");
  fflush(stdout);
  return saveFailed ? EXIT_SAVE_FAILED : EXIT_OK;
}
} // namespace

int runDriver(int argc, char **argv) {
  Zyla::setDirectory("./");
  Zyla::init(Zyla::SIGHANDLE_THREAD, true, true);
  ZyRobot robot(nullptr, true, true, true, true);
  ConnectOptions options(&argc, argv);
  int status = runBody(argc, argv, robot, options);
  // The run ends here, with every object of the driver still alive for the
  // library's exit callbacks.
  fflush(stdout);
  Zyla::exit(status);
  return status;
}

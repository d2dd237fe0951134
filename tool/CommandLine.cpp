// SPDX-License-Identifier: MIT
// The command line read once into the run's plan, and the keyword/value
// pairs checked and applied.
#include "CommandLine.h"

#include "ConnectOptions.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "RunOutcome.h"
#include "ZyArgumentParser.h"
#include "ZyLog.h"
#include "Zyla.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>

namespace {

const char *const SAVE_FORMS[] = {"-s", "-saveToFile", nullptr};
const char *const RESTORE_FORMS[] = {"-r", "-loadFromRop", "-l", "-loadFromFile", nullptr};
const char *const UPLOAD_FORMS[] = {"-u", "-upload", "-d", "-download", nullptr};
const char *const IMAGE_FORMS[] = {"-m", "-mot", nullptr};
const char *const BLOCK_FORMS[] = {"-restoreBlock", nullptr};
/// Longest text of the "Could not process" line of left-over arguments.
const size_t LEFT_OVER_TEXT = 1024;

/// True when arg is the option name with one or two leading dashes, in any
/// letter case (as the library's parser matches options).
bool isOption(const char *arg, const char *name) {
  if (arg[0] != '-')
    return false;
  const char *rest = arg[1] == '-' ? arg + 2 : arg + 1;
  return strcasecmp(rest, name) == 0;
}

/// A value the parser gave, as a file option.
FileOption fileOption(const char *value) {
  FileOption option;
  option.given = value != nullptr;
  option.path = value != nullptr ? value : "";
  return option;
}

/// Takes the first present form of a file option (every occurrence of that
/// form, the last value counting); later forms stay among the arguments.
/// Logs message for it when present. An option given last, without its
/// file name, yields the empty name, which the step that uses the file then
/// reports (a file "" cannot be read or written), as scripts written for
/// the tool expect.
FileOption takeFileOption(ZyArgumentParser &parser, const char *const *forms, const char *message) {
  for (; *forms != nullptr; forms++) {
    const char *value = parser.takeParameterArgument(*forms, false);
    if (value == nullptr)
      continue;
    ZyLog::log(ZyLog::Normal, message, value);
    return fileOption(value);
  }
  return FileOption();
}

void logBadArguments(bool batchMode) {
  ZyLog::log(ZyLog::Terse, "%s", "");
  if (batchMode)
    ZyLog::log(ZyLog::Terse, "Bad command line args. Try again. Not saving values.");
  else
    ZyLog::log(ZyLog::Terse, "Bad command line args.");
  ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
}

/// Notes a value not stored as given; an unknown keyword gets its line
/// with the nearest known one after the "Could not process" line.
void noteRefusedValue(RunOutcome &outcome, const std::string &keyword, const std::string &value,
                      const char *reason, const std::string &nearest) {
  if (std::string(reason) == "unknown keyword") {
    if (nearest.empty())
      ZyLog::log(ZyLog::Terse, "Unknown keyword '%s'.", keyword.c_str());
    else
      ZyLog::log(ZyLog::Terse, "Unknown keyword '%s' (did you mean '%s'?).", keyword.c_str(),
                 nearest.c_str());
  }
  RefusedValue refused{keyword, value, reason, nearest};
  outcome.update([&refused](RunRecord &record) { record.refusedValues.push_back(refused); });
}

/// The keyword/value pairs, and with apply their values set: a keyword no
/// table knows and an argument left over are logged and noted (unless
/// checked already), a value refused is noted. False for a bad argument.
bool processPairs(const RunPlan &plan, bool apply, bool checked, RunOutcome &outcome) {
  std::vector<std::string> refused;
  bool argumentError = false;
  for (const auto &pair : plan.pairs) {
    const char *keyword = pair.first.c_str();
    const char *value = pair.second.c_str();
    ParamRefusal refusal = ParamRefusal::none;
    bool known = apply ? setParameter(commandLineTables(), keyword, value, &refusal)
                       : knowsKeyword(commandLineTables(), keyword);
    if (!known && !checked) {
      logBadArguments(plan.batch);
      ZyLog::log(ZyLog::Terse, "Could not process: %s %s\n", keyword, value);
      noteRefusedValue(outcome, keyword, value, "unknown keyword",
                       nearestKeyword(commandLineTables(), keyword));
      refused.push_back(keyword);
      refused.push_back(value);
      argumentError = true;
    } else if (refusal != ParamRefusal::none) {
      noteRefusedValue(outcome, keyword, value, paramRefusalName(refusal), "");
    }
  }
  if (!plan.leftOver.empty() && !checked) {
    logBadArguments(plan.batch);
    // Built in a buffer of its own; a text too long for it is cut.
    char text[LEFT_OVER_TEXT + 1];
    int used = snprintf(text, sizeof text, "Could not process: ");
    for (size_t k = 0; k < plan.leftOver.size() && used < static_cast<int>(sizeof text); k++)
      used += snprintf(text + used, sizeof text - static_cast<size_t>(used), " %s",
                       plan.leftOver[k].c_str());
    ZyLog::log(ZyLog::Terse, "%s", text);
    refused.insert(refused.end(), plan.leftOver.begin(), plan.leftOver.end());
    argumentError = true;
  }
  if (!refused.empty())
    outcome.update([&refused](RunRecord &record) {
      record.refused.insert(record.refused.end(), refused.begin(), refused.end());
    });
  return !argumentError;
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

} // namespace

const char *RunPlan::optionSharingReportFile(std::string *file) const {
  if (report.empty() || report == "-")
    return nullptr;
  const std::pair<const char *, const FileOption *> files[] = {{"-s", &saveFile},
                                                               {"-r", &restoreFile},
                                                               {"-restoreBlock", &blockFile},
                                                               {"-m", &imageFile},
                                                               {"-u", &uploadFile}};
  for (const auto &option : files) {
    if (!*option.second || option.second->path.empty() || !sameFile(report, option.second->path))
      continue;
    *file = option.second->path;
    return option.first;
  }
  return nullptr;
}

CommandLine::CommandLine(int argc, char **argv) {
  for (int i = 0; i < argc; i++)
    myStrings.emplace_back(argv[i] != nullptr ? argv[i] : "");
  // The report's option: its first occurrence and the text after it.
  int at = -1;
  for (size_t i = 1; i < myStrings.size() && at < 0; i++)
    if (isOption(myStrings[i].c_str(), "report"))
      at = static_cast<int>(i);
  if (at >= 0) {
    myPlan.reportGiven = true;
    if (static_cast<size_t>(at) + 1 >= myStrings.size()) {
      myPlan.reportMissing = true;
    } else {
      myPlan.report = myStrings[static_cast<size_t>(at) + 1];
      myStrings.erase(myStrings.begin() + at, myStrings.begin() + at + 2);
    }
  }
  for (std::string &text : myStrings)
    myArgv.push_back(&text[0]);
  myArgc = static_cast<int>(myArgv.size());
  // The connection options read a copy of their own, made before any
  // other option is taken from the driver's.
  myConnectionArgv = myArgv;
  myConnectionArgc = myArgc;
  myArgv.push_back(nullptr);
  myConnectionArgv.push_back(nullptr);
  ZyArgumentParser parser(&myArgc, myArgv.data());
  myPlan.batch = parser.takeArgument("-b") || parser.takeArgument("-batchmode");
}

CommandLine::~CommandLine() = default;

void CommandLine::loadDefaultSources() {
  myConnection.reset(new ZyArgumentParser(&myConnectionArgc, myConnectionArgv.data()));
  myConnection->loadDefaultSources(1);
}

namespace {
/// The file options and the other options of the run, each logged as it
/// is taken. False when one lacks its value or has one of the wrong kind
/// (said why): the run ends with status 1 once all are read.
bool takeFileOptions(ZyArgumentParser &parser, RunPlan &plan) {
  const char *willUpload = "Will upload ORVEX file '%s' to controller after connection.";
  plan.saveFile = takeFileOption(parser, SAVE_FORMS, "Saving config to file '%s' on completion.");
  plan.restoreFile =
      takeFileOption(parser, RESTORE_FORMS, "Will restore FLASH params from file '%s'.");
  plan.uploadFile = takeFileOption(parser, UPLOAD_FORMS, willUpload);
  plan.imageFile = takeFileOption(parser, IMAGE_FORMS, willUpload);
  plan.blockFile = takeFileOption(parser, BLOCK_FORMS,
                                  "Will write FLASH parameter block image '%s' to controller.");
  // Where the backups and the write journal are kept, and whether an
  // unfinished write found in the journal is to be closed without writing.
  plan.backupDir = fileOption(parser.takeParameterArgument("-backup-dir", false));
  plan.dismissUnfinished = parser.takeArgument("-dismiss-unfinished");

  // The load address of raw binary images, and whether uploads are read
  // back to verify them.
  bool good = true;
  const char *baseText = parser.takeParameterArgument("-base", false);
  if (baseText != nullptr && baseText[0] == '\0') {
    ZyLog::log(ZyLog::Terse, "--base needs a load address: --base ADDR (hexadecimal, e.g. "
                             "--base 0x8000).");
    good = false;
  } else if (baseText != nullptr && !parseBaseAddress(baseText, &plan.base)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not a load address for --base: give hexadecimal digits below 0x40000, "
               "e.g. --base 0x8000.",
               baseText);
    good = false;
  }
  plan.verifyUploads = !parser.takeArgument("-no-verify");

  // The connection options are read from their own copy of the command
  // line; here every occurrence of them is removed together with its
  // value, whatever the value is, so that a port such as /dev/ttyUSB0 is
  // not left over as an unprocessed argument.
  for (const char *form : {"-rp", "-robotPort", "-rb", "-robotBaud"})
    parser.takeParameterArgument(form, false);
  return good;
}

/// --check compares in a batch run with a controller and writes nothing:
/// it refuses -n, a save file and interactive mode. False after saying so.
bool checkFits(const RunPlan &plan) {
  const char *refusal = nullptr;
  if (!plan.batch)
    refusal = "--check needs batch mode: add -b.";
  else if (plan.offline)
    refusal = "--check needs the controller: leave out -n.";
  else if (plan.saveFile)
    refusal = "--check writes no file: leave out -s.";
  if (refusal == nullptr)
    return true;
  ZyLog::log(ZyLog::Terse, "%s", refusal);
  ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
  return false;
}

/// The port and the first rate, from the connection options' own copy of
/// the command line; false when one has no value, the rate is not an
/// integer or the port is a URL that is not valid (said why).
bool takeConnectionOptions(ZyArgumentParser &parser, RunPlan &plan) {
  const char *port = nullptr;
  bool read = true;
  read = parser.takeParameterArgumentString("-robotPort", &port, nullptr, false) && read;
  read = parser.takeParameterArgumentString("-rp", &port, nullptr, false) && read;
  read = parser.takeParameterArgumentInteger("-robotBaud", &plan.baud, nullptr, false) && read;
  read = parser.takeParameterArgumentInteger("-rb", &plan.baud, nullptr, false) && read;
  plan.portGiven = port != nullptr;
  plan.portText = port != nullptr ? port : "";
  return read && ConnectOptions::portUsable(plan.port());
}
} // namespace

CommandLine::Verdict CommandLine::read() {
  ZyArgumentParser parser(&myArgc, myArgv.data());
  if (parser.takeArgument("-version"))
    return Verdict::Version;
  if (parser.takeArgument("-list-ports"))
    return Verdict::ListPorts;
  RunPlan &plan = myPlan;
  plan.modesRead = true;
  if (plan.batch)
    ZyLog::log(ZyLog::Normal, "Entering batch mode.");
  if (parser.takeArgument("-n") || parser.takeArgument("-nointeraction")) {
    plan.offline = true;
    ZyLog::log(ZyLog::Normal, "Will not interact with controller.");
  }
  plan.noHistory = parser.takeArgument("-no-history");
  plan.check = parser.takeArgument("-check");
  bool good = takeFileOptions(parser, plan);
  if (plan.check && !checkFits(plan))
    return Verdict::BadOptions;
  if (myConnection == nullptr)
    loadDefaultSources();
  bool connectionRead = takeConnectionOptions(*myConnection, plan);
  bool helpAsked = connectionRead && (parser.takeArgument("-h") || parser.takeArgument("-help") ||
                                      parser.takeArgument("/?"));
  if (!connectionRead || helpAsked) {
    myShowConnectionOptions = true;
    return helpAsked ? Verdict::Help : Verdict::BadOptions;
  }
  if (plan.backupDir && plan.backupDir.path.empty()) {
    ZyLog::log(ZyLog::Terse, "--backup-dir needs a folder: --backup-dir DIR.");
    good = false;
  }
  if (!good) {
    ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
    return Verdict::BadOptions;
  }
  // What is left: keyword/value pairs, and perhaps one argument more.
  size_t count = parser.getArgc();
  size_t i = 1;
  for (; i + 1 < count; i += 2)
    plan.pairs.emplace_back(parser.getArg(i), parser.getArg(i + 1));
  for (; i < count; i++)
    plan.leftOver.emplace_back(parser.getArg(i));
  return Verdict::Run;
}

void RunFiles::readRestoreFile(const RunPlan &plan) {
  if (restoreRead || !plan.restoreFile)
    return;
  restored = ::readRestoreFile(plan.restoreFile.c_str(), Zyla::getConfig(), &restoreParsed);
  restoreRead = true;
}

namespace {
/// Everything a batch run can check before connecting.
ExitStatus checkBatchRun(const RunPlan &plan, RunFiles &files, RunOutcome &outcome) {
  files.readRestoreFile(plan);
  if (plan.restoreFile && !files.restoreParsed)
    return EXIT_FLASH_READ;
  if (plan.imageFile && !loadFirmwareFile(plan.imageFile.c_str(), plan.base, files.image))
    return EXIT_IMAGE_UPLOAD;
  if (plan.uploadFile && !loadFirmwareFile(plan.uploadFile.c_str(), plan.base, files.upload))
    return EXIT_UPLOAD;
  if (!checkKeywordPairs(plan, outcome))
    return EXIT_BAD_ARGUMENTS;
  if (plan.saveFile && !saveParameterFileCanBeWritten(plan.saveFile.c_str()))
    return EXIT_SAVE_FAILED;
  return EXIT_OK;
}
} // namespace

ExitStatus checkFilesBeforeConnecting(const RunPlan &plan, RunFiles &files, RunOutcome &outcome) {
  const FileOption *images[2] = {&plan.imageFile, &plan.uploadFile};
  const ExitStatus statuses[2] = {EXIT_IMAGE_UPLOAD, EXIT_UPLOAD};
  for (int i = 0; i < 2; i++) {
    if (!*images[i] || !isBinaryFileName(images[i]->c_str()) || plan.base != NO_BASE_ADDRESS)
      continue;
    FirmwareImage refused;
    loadFirmwareFile(images[i]->c_str(), plan.base, refused); // says why
    return statuses[i];
  }
  if (plan.batch) {
    ExitStatus checked = checkBatchRun(plan, files, outcome);
    if (checked != EXIT_OK)
      return checked;
  }
  if (plan.blockFile &&
      !loadBlockFile(plan.blockFile.c_str(), files.block.data(), &files.blockLength))
    return EXIT_FLASH_READ;
  return EXIT_OK;
}

bool checkKeywordPairs(const RunPlan &plan, RunOutcome &outcome) {
  return processPairs(plan, false, false, outcome);
}

bool applyKeywordPairs(const RunPlan &plan, bool checked, RunOutcome &outcome) {
  return processPairs(plan, true, checked, outcome);
}

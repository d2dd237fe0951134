// SPDX-License-Identifier: MIT
// The command line read once into the run's plan, and the keyword/value
// pairs checked and applied.
#include "CommandLine.h"

#include "ConnectOptions.h"
#include "ParamCommands.h"
#include "ParamExport.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "RunOutcome.h"
#include "ShellText.h"
#include "ZyArgumentParser.h"
#include "ZyLog.h"
#include "ZySafeFile.h"
#include "Zyla.h"

#include <algorithm>
#include <cctype>
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

/// Every option the tool takes, as the help writes it: the names an
/// unknown option is compared with.
// clang-format off
const char *const OPTION_NAMES[] = {
    "-b", "-batchmode", "-n", "-nointeraction", "-s", "-saveToFile", "-r", "-loadFromRop", "-l",
    "-loadFromFile", "-u", "-upload", "-d", "-download", "-m", "-mot", "-restoreBlock", "-rp",
    "-robotPort", "-rb", "-robotBaud", "--base", "--no-verify", "--backup-dir",
    "--dismiss-unfinished", "--check", "--report", "--list-ports", "--version", "-h", "-help",
    "-no-history", "--history", "--diff", "--export"};
// clang-format on

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

/// A word that stands for a value rather than an option: "-" (the
/// controller, for --diff) or anything not starting with '-'.
bool isValueWord(const char *arg) {
  return arg[0] != '-' || arg[1] == '\0';
}

/// Takes every occurrence of the option name (one or two leading dashes,
/// any letter case) with up to count values after it: a value is a word
/// that isValueWord, and with optional set a missing one is no fault.
/// values gets those of the last occurrence; false when an occurrence
/// lacks one of its values (*found tells whether the option was there).
bool takeOptionValues(ZyArgumentParser &parser, const char *name, size_t count, bool optional,
                      std::vector<std::string> *values, bool *found) {
  bool complete = true;
  *found = false;
  for (size_t i = 1; i < parser.getArgc();) {
    if (!isOption(parser.getArg(i), name)) {
      i++;
      continue;
    }
    *found = true;
    parser.removeArg(i);
    values->clear();
    while (values->size() < count && i < parser.getArgc() && isValueWord(parser.getArg(i))) {
      values->emplace_back(parser.getArg(i));
      parser.removeArg(i);
    }
    complete = optional || values->size() == count;
  }
  return complete;
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

/// True for a word written as an option: one or two dashes, then a letter
/// (a negative number is a value).
bool looksLikeOption(const std::string &word) {
  size_t at = word.compare(0, 2, "--") == 0 ? 2 : 1;
  return word.size() > at && word[0] == '-' && isalpha(static_cast<unsigned char>(word[at]));
}

/// The option nearest to word (letter case and the number of dashes
/// ignored; a swap of two neighbours counts as one edit), "" when none is
/// close enough: as near as a misspelt keyword must be to its keyword.
std::string nearestOption(const std::string &word) {
  auto bare = [](const std::string &name) {
    std::string text = name.substr(name.compare(0, 2, "--") == 0 ? 2 : 1);
    for (char &c : text)
      c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::string wanted = bare(word);
  size_t best = std::min<size_t>(3, (wanted.size() + 1) / 2);
  std::string found;
  for (const char *name : OPTION_NAMES) {
    size_t distance = editDistance(wanted, bare(name));
    if (distance < best) {
      best = distance;
      found = name;
    }
  }
  return found;
}

/// Notes a value not stored as given in the record, without a line.
void noteRefused(RunOutcome &outcome, const std::string &keyword, const std::string &value,
                 const char *reason, const std::string &suggestion) {
  RefusedValue refused{keyword, value, reason, suggestion};
  outcome.update([&refused](RunRecord &record) { record.block.refusedValues.push_back(refused); });
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
  noteRefused(outcome, keyword, value, reason, nearest);
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
      // Before connecting, a word meant as an option is named as one; the
      // keyword's line after connecting stays as it always was.
      std::string option = apply ? "" : unknownOptionLine(keyword);
      if (!option.empty()) {
        ZyLog::log(ZyLog::Terse, "%s", option.c_str());
        noteRefused(outcome, keyword, value, "unknown keyword", nearestOption(keyword));
      } else {
        noteRefusedValue(outcome, keyword, value, "unknown keyword",
                         nearestKeyword(commandLineTables(), keyword));
      }
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
    if (!apply)
      for (const std::string &word : plan.leftOver) {
        std::string option = unknownOptionLine(word);
        if (!option.empty())
          ZyLog::log(ZyLog::Terse, "%s", option.c_str());
      }
    refused.insert(refused.end(), plan.leftOver.begin(), plan.leftOver.end());
    argumentError = true;
  }
  if (!refused.empty())
    outcome.update([&refused](RunRecord &record) {
      record.block.refused.insert(record.block.refused.end(), refused.begin(), refused.end());
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
  if (exportGiven && sameFile(report, exportFile)) {
    *file = exportFile;
    return "--export";
  }
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
  for (size_t i = 1; i < myStrings.size(); i++)
    myPlan.noShell = myPlan.noShell || isOption(myStrings[i].c_str(), "history") ||
                     isOption(myStrings[i].c_str(), "diff");
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

/// --history [QUERY], --diff A B and --export FORMAT FILE. False when one
/// lacks a value or has one of the wrong kind (said why).
bool takeOperations(ZyArgumentParser &parser, RunPlan &plan) {
  bool good = true;
  std::vector<std::string> values;
  bool found = false;
  takeOptionValues(parser, "history", 1, true, &values, &found);
  plan.history = found;
  plan.historyQuery = found && !values.empty() ? values[0] : "";

  if (!takeOptionValues(parser, "diff", 2, false, &values, &found)) {
    ZyLog::log(ZyLog::Terse, "--diff needs two parameter sets: --diff A B, each a .rop, .json, "
                             ".yaml or .blk file, or - for the controller at -rp.");
    good = false;
  } else if (found && values[0] == "-" && values[1] == "-") {
    ZyLog::log(ZyLog::Terse,
               "--diff - - would compare the controller with itself: name a file for one side.");
    good = false;
  } else if (found) {
    plan.diff = true;
    plan.diffFirst = values[0];
    plan.diffSecond = values[1];
  }

  if (!takeOptionValues(parser, "export", 2, false, &values, &found)) {
    ZyLog::log(ZyLog::Terse, "--export needs a format and a file: --export json|yaml FILE.");
    good = false;
  } else if (found && !exportFormatNamed(values[0], &plan.exportFormat)) {
    ZyLog::log(ZyLog::Terse,
               "'%s' is not an export format: give json or yaml, e.g. --export yaml robot.yaml.",
               values[0].c_str());
    good = false;
  } else if (found && values[1] == "-") {
    ZyLog::log(ZyLog::Terse, "--export writes a file: give its name.");
    good = false;
  } else if (found) {
    plan.exportGiven = true;
    plan.exportFile = values[1];
  }
  return good;
}

/// The first option of the plan that the operation cannot go with, "" for
/// none: --history reads the store only, --diff reads and writes nothing.
std::string conflictingOption(const RunPlan &plan, bool history) {
  const std::pair<const char *, bool> options[] = {
      {"-s", static_cast<bool>(plan.saveFile)},
      {"-r", static_cast<bool>(plan.restoreFile)},
      {"-restoreBlock", static_cast<bool>(plan.blockFile)},
      {"-u", static_cast<bool>(plan.uploadFile)},
      {"-m", static_cast<bool>(plan.imageFile)},
      {"--check", plan.check},
      {"--dismiss-unfinished", plan.dismissUnfinished},
      {"--export", plan.exportGiven},
      {"--diff", history && plan.diff}};
  for (const auto &option : options)
    if (option.second)
      return option.first;
  return "";
}

/// --history and --diff stand alone, and --export goes with neither and
/// not with --check. False after saying why.
bool operationsFit(const RunPlan &plan) {
  std::string refusal;
  std::vector<std::string> extra;
  for (const auto &pair : plan.pairs) {
    extra.push_back(pair.first);
    extra.push_back(pair.second);
  }
  extra.insert(extra.end(), plan.leftOver.begin(), plan.leftOver.end());
  if (plan.history || plan.diff) {
    const char *name = plan.history ? "--history" : "--diff";
    std::string option = conflictingOption(plan, plan.history);
    if (!option.empty())
      refusal = std::string(name) +
                (plan.history ? " only reads the backup store" : " compares and writes nothing") +
                ": leave out " + option + ".";
    else if (!extra.empty())
      refusal = std::string(name) +
                (plan.history ? " takes one serial number or name" : " takes two parameter sets") +
                ": leave out '" + extra[0] + "'" + (extra.size() > 1 ? " and what follows" : "") +
                ".";
    else if (plan.diffReadsController() && plan.offline)
      refusal = "--diff - reads the controller: leave out -n.";
  } else if (plan.exportGiven && plan.check) {
    refusal = "--check writes no file: leave out --export.";
  } else if (plan.exportGiven && plan.saveFile && sameFile(plan.exportFile, plan.saveFile.path)) {
    refusal = "--export '" + plan.exportFile + "' is the same file as -s '" + plan.saveFile.path +
              "': give each a file of its own.";
  }
  if (refusal.empty())
    return true;
  ZyLog::log(ZyLog::Terse, "%s", refusal.c_str());
  return false;
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
  bool good = takeOperations(parser, plan);
  good = takeFileOptions(parser, plan) && good;
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
  if (!operationsFit(plan)) {
    ZyLog::log(ZyLog::Terse, "Use -h to see a list of options.");
    return Verdict::BadOptions;
  }
  return plan.history ? Verdict::History : Verdict::Run;
}

void RunFiles::readRestoreFile(const RunPlan &plan) {
  if (restoreRead || !plan.restoreFile)
    return;
  restored = ::readRestoreFile(plan.restoreFile.c_str(), Zyla::getConfig(), &restoreParsed);
  restoreRead = true;
}

namespace {
/// The export's file can be put in place: refused, as the export itself
/// refuses it, when it is a symbolic link or its place takes no file.
bool exportCanBeWritten(const std::string &file) {
  struct stat info;
  std::string problem = lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode)
                            ? "it is a symbolic link; name the file itself"
                            : ZySafeFile::placeProblem(file);
  if (problem.empty())
    return true;
  ZyLog::log(ZyLog::Terse, "Cannot export to '%s': %s.", escapedText(file).c_str(),
             problem.c_str());
  return false;
}

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
  if (plan.exportGiven && !exportCanBeWritten(plan.exportFile))
    return EXIT_SAVE_FAILED;
  return EXIT_OK;
}

/// Reads the sides of --diff that are files; false after saying why one
/// cannot be read.
bool readDiffFiles(const RunPlan &plan, RunFiles &files) {
  const std::pair<const std::string *, ParamSet *> sides[] = {
      {&plan.diffFirst, &files.diffFirst}, {&plan.diffSecond, &files.diffSecond}};
  for (const auto &side : sides) {
    if (*side.first == "-")
      continue;
    *side.second = loadParamSet(*side.first);
    if (!side.second->readable()) {
      ZyLog::log(ZyLog::Terse, "%s", side.second->error.c_str());
      return false;
    }
  }
  return true;
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
  if (plan.diff)
    return readDiffFiles(plan, files) ? EXIT_OK : EXIT_FLASH_READ;
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

std::string unknownOptionLine(const std::string &word) {
  if (!looksLikeOption(word))
    return "";
  std::string nearest = nearestOption(word);
  std::string shown = "Unknown option '" + escapedText(word) + "'";
  return nearest.empty() ? shown + "." : shown + " (did you mean '" + nearest + "'?).";
}

bool logUnknownOptions(const RunPlan &plan) {
  std::vector<std::string> words;
  for (const auto &pair : plan.pairs)
    words.push_back(pair.first);
  words.insert(words.end(), plan.leftOver.begin(), plan.leftOver.end());
  bool any = false;
  for (const std::string &word : words) {
    std::string line = unknownOptionLine(word);
    if (line.empty())
      continue;
    ZyLog::log(ZyLog::Terse, "%s", line.c_str());
    any = true;
  }
  return any;
}

bool checkKeywordPairs(const RunPlan &plan, RunOutcome &outcome) {
  return processPairs(plan, false, false, outcome);
}

bool applyKeywordPairs(const RunPlan &plan, bool checked, RunOutcome &outcome) {
  return processPairs(plan, true, checked, outcome);
}

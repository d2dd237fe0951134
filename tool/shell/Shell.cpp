// SPDX-License-Identifier: MIT
// Interactive command shell over standard input and output.
#include "Shell.h"

#include "DurableWrite.h"
#include "FirmwareDownload.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "FlashImage.h"
#include "FlashTransfer.h"
#include "InputLine.h"
#include "LineEditor.h"
#include "MonitorLink.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "RunOutcome.h"
#include "ShellCompletion.h"
#include "ZyArgumentBuilder.h"
#include "ZyConfig.h"
#include "ZyLog.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
const int LINE_SIZE = 256; // 255 characters and the terminator
const int PAGE_LIMIT = 20;

/// The first character of a line that is not white space, or '\0'.
char firstNonBlank(const char *line) {
  while (*line != '\0' && isspace(static_cast<unsigned char>(*line)))
    line++;
  return *line;
}

bool isWord(const char *command, const char *word) {
  return ZyUtil::compareTextNoCase(command, word) == 0;
}

/// A text parameter given more words than its value: says which word was
/// taken and how to keep the blanks. Numbers say nothing more.
void noteExtraWords(const char *command, const ZyArgumentBuilder &args) {
  const ParamEntry *entry = shellParameter(command);
  if (entry == nullptr || args.getArgc() < 2 || !ZyConfig::textFileCanCarry(args.getArg(1)))
    return;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.getArgc(); i++)
    words.push_back(args.getArg(i));
  std::string notice = extraWordsNotice(*entry, words);
  if (!notice.empty())
    ZyLog::log(ZyLog::Normal, "%s", notice.c_str());
}
} // namespace

namespace {
/// The upload words: a raw binary image needs its load address after the
/// file name; the image is read, shown, written and recorded for the
/// run's report.
void uploadFirmware(MonitorLink *link, FirmwareImage *firmware, FirmwareDownload *download,
                    DurableWrite *durable, RunOutcome *outcome, const char *file,
                    const char *address) {
  long base = NO_BASE_ADDRESS;
  if (isBinaryFileName(file) && (address == nullptr || !parseBaseAddress(address, &base))) {
    ZyLog::log(ZyLog::Normal,
               "Must provide the load address after a raw binary image: upload <name.bin> "
               "<address>, e.g. upload %s 0x8000 (hexadecimal, below 0x40000).",
               file);
    return;
  }
  if (firmware == nullptr || download == nullptr)
    return;
  bool read = loadFirmwareFile(file, base, *firmware);
  bool written = false;
  if (read) {
    firmware->logSummary();
    written = durable != nullptr ? durable->upload(*download, *firmware, link, -1)
                                 : download->downloadFirmware(link);
  }
  if (outcome != nullptr) {
    FirmwareRecord record =
        downloadRecord(file, read ? firmware : nullptr, *download, link != nullptr, written);
    outcome->update([&record](RunRecord &run) { run.firmware.push_back(record); });
  }
}
} // namespace

void printHelp() {
  printf("\n========== Config Commands ===================\n");
  printf("Type: keyword alone to view current value.\n");
  printf("      keyword and new value to change it.\n");
  printf("      'v' or 'view' to see and edit the robot's parameters.\n");
  printf("      'a' or 'arm' to see and edit Marlock Arm parameters.\n");
  printf("      'r' or 'restore' parameters from controller or from <name.rop> file.\n");
  printf("      'u' or 'upload' <name.mot> to update OS.\n");
  printf("      'save' to save changes to controller or to <name.rop>.\n");
  printf("      'q' or 'quit' to exit.\n");
  printf("      '?', 'h' or 'help' to see these instructions again.\n\n");
  fflush(stdout);
}

void printCaution(FirmwareIdentity identity) {
  const char *text;
  if (identity == FirmwareIdentity::Unidentified)
    text = "Unidentified, probably old controller stub.\n'q'uit without saving or proceed with "
           "caution.";
  else if (identity == FirmwareIdentity::Newer)
    text = "The firmware is newer than this configuration program.\nYou could lose "
           "parameters.\n'q'uit without saving or proceed with caution.";
  else
    text = "Unidentified, probably very old controller stub version.\n'q'uit without saving or "
           "proceed with caution.";
  ZyLog::log(ZyLog::Normal, "                CAUTION!\n"
                            "========================================================");
  ZyLog::log(ZyLog::Normal, "%s", text);
  ZyLog::log(ZyLog::Normal, "========================================================");
}

bool askKeepRunning() {
  char line[LINE_SIZE];
  // An answer too long for the line is no answer: neither its first part
  // nor its tail is taken, and the question is asked again.
  InputLine read;
  while ((read = readOperatorLine("", line, LINE_SIZE, LineUse::answer)) == InputLine::tooLong) {
    ZyLog::log(ZyLog::Normal, "%s", lineTooLongMessage(LINE_SIZE).c_str());
    ZyLog::log(ZyLog::Normal, "Quit anyway? y/(n)?");
  }
  if (read == InputLine::end || read == InputLine::stopped)
    return false;
  char c = firstNonBlank(line);
  return !(c == 'y' || c == 'Y');
}

namespace {
/// What the shell works with, and where its listing stands.
struct ShellContext {
  MonitorLink *link;
  FirmwareImage *firmware;
  FirmwareDownload *download;
  DurableWrite *durable;
  RunOutcome *outcome;
  int pagingPosition = 0;
  int listingMode = 0; // 0 robotTable, 1 armTable
};

/// 'help': the controller's identity checked again, then the commands.
void showHelp(MonitorLink *link) {
  printf("\n\n====================================\n");
  if (link != nullptr) {
    FirmwareIdentity identity = checkFirmwareIdentity(link);
    if (identity != FirmwareIdentity::Known)
      printCaution(identity);
  }
  printHelp();
}

/// 'quit': true when the shell ends; unsaved changes are asked about.
bool quitShell(MonitorLink *link) {
  if (link != nullptr && imageChanged()) {
    ZyLog::log(ZyLog::Normal, "You didn't save your changes to the controller.");
    ZyLog::log(ZyLog::Normal, "Quit anyway? y/(n)?");
    return !askKeepRunning();
  }
  if (link == nullptr)
    ZyLog::log(ZyLog::Normal, "No connection, so didn't save your changes to a controller.");
  else
    ZyLog::log(ZyLog::Normal, "Exiting...");
  return true;
}

/// 'save': to a parameter file, or to the controller's block when nothing
/// else changed it since it was read.
void saveParameters(MonitorLink *link, const char *file) {
  if (file != nullptr) {
    if (Zyla::getConfig()->writeFile(file, false, nullptr, false))
      ZyLog::log(ZyLog::Normal, "Saved parameters to '%s'.", file);
  } else if (link == nullptr) {
    ZyLog::log(ZyLog::Normal, "Not interacting with controller; cannot save.");
  } else if (BlockCheck check = checkBlockUnchanged(link); check != BlockCheck::Unchanged) {
    // Written over, a block that something else changed would be lost,
    // its bytes after the parameters replaced by those read earlier.
    if (check == BlockCheck::Changed)
      ZyLog::log(ZyLog::Normal,
                 "Your changes are kept. To write them: 'save <name.rop>' keeps them in a "
                 "file, 'restore' reads the controller's block again, 'restore <name.rop>' "
                 "puts your changes back, then 'save'.");
    else
      ZyLog::log(ZyLog::Normal, "Your changes are still here: 'save' tries again.");
  } else if (!writeFlashParameters(link)) {
    ZyLog::log(ZyLog::Normal, "Your changes are still here: 'save' tries again.");
  }
}

/// 'restore': from a parameter file, or the controller's block read again.
void restoreParameters(MonitorLink *link, const char *file) {
  if (file != nullptr) {
    if (restoreParameterFile(file))
      ZyLog::log(ZyLog::Normal, "Restored parameters from '%s'.", file);
  } else if (link != nullptr) {
    readFlashParameters(link);
  } else {
    ZyLog::log(ZyLog::Normal, "Not interacting with controller; cannot restore.");
  }
}

/// Runs one command word with its arguments; false when the shell ends.
/// *understood is false for a word the shell does not know.
bool runCommand(ShellContext &shell, const char *command, ZyArgumentBuilder &args,
                bool *understood) {
  const char *value = args.getArg(1);
  *understood = true;
  if (isWord(command, "?") || isWord(command, "h") || isWord(command, "help")) {
    showHelp(shell.link);
  } else if (isWord(command, "quit") || isWord(command, "exit") || isWord(command, "q")) {
    return !quitShell(shell.link);
  } else if (isWord(command, "save")) {
    saveParameters(shell.link, value);
  } else if (isWord(command, "r") || isWord(command, "restore")) {
    restoreParameters(shell.link, value);
  } else if (isWord(command, "d") || isWord(command, "download") || isWord(command, "u") ||
             isWord(command, "upload")) {
    if (value != nullptr)
      uploadFirmware(shell.link, shell.firmware, shell.download, shell.durable, shell.outcome,
                     value, args.getArg(2));
    else
      ZyLog::log(ZyLog::Normal,
                 "Must provide <filename.mot> to upload new ORVEX image to controller.");
  } else if (isWord(command, "v") || isWord(command, "view")) {
    shell.listingMode = 0;
    shell.pagingPosition = listParameters(robotTable, 0, PAGE_LIMIT);
  } else if (isWord(command, "a") || isWord(command, "arm")) {
    shell.listingMode = 1;
    shell.pagingPosition = listParameters(armTable, 0, PAGE_LIMIT);
  } else {
    *understood = false;
    ZyLog::log(ZyLog::Normal, "Could not understand command '%s'. Type 'h' for help.", command);
    std::string nearest = nearestShellWord(command);
    if (!nearest.empty())
      ZyLog::log(ZyLog::Normal, "Did you mean '%s'?", nearest.c_str());
  }
  return true;
}
} // namespace

void runShell(MonitorLink *link, FirmwareImage *firmware, FirmwareDownload *download,
              DurableWrite *durable, RunOutcome *outcome) {
  ShellContext shell{link, firmware, download, durable, outcome};
  char line[LINE_SIZE];
  // A signal while the shell waits or works ends the run through this
  // thread, which owns the link.
  StopWakeup wakeup;

  while (Zyla::getRunning()) {
    if (shell.pagingPosition != 0)
      printf("[** Press Enter to continue viewing list or type command **]\n");
    InputLine read = readOperatorLine("command> ", line, LINE_SIZE, LineUse::command);
    if (read == InputLine::stopped)
      break;
    if (read == InputLine::tooLong) {
      // Neither part of an over-long line runs: a first part cut short
      // could save to a truncated file name, a tail could be "quit".
      ZyLog::log(ZyLog::Normal, "%s", lineTooLongMessage(LINE_SIZE).c_str());
      continue;
    }
    if (read == InputLine::end)
      snprintf(line, sizeof(line), "quit");

    ZyArgumentBuilder args(512);
    args.add(line);
    const char *command = args.getArg(0);
    if (command == nullptr || command[0] == '\0') {
      if (shell.pagingPosition != 0)
        shell.pagingPosition = listParameters(shell.listingMode == 0 ? robotTable : armTable,
                                              shell.pagingPosition, PAGE_LIMIT);
      continue;
    }
    shell.pagingPosition = 0;
    // The history keeps the lines the shell took, not the ones it refused.
    ParamRefusal refusal = ParamRefusal::none;
    if (setParameter(shellTables(), command, args.getArg(1), &refusal)) {
      noteExtraWords(command, args);
      if (refusal == ParamRefusal::none || refusal == ParamRefusal::textCut)
        rememberShellLine(line);
      continue;
    }
    bool understood = true;
    bool goOn = runCommand(shell, command, args, &understood);
    if (understood && read == InputLine::line)
      rememberShellLine(line);
    if (!goOn)
      break;
  }
}

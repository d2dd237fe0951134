// SPDX-License-Identifier: MIT
// Interactive command shell over standard input and output.
#include "Shell.h"

#include "FirmwareReader.h"
#include "FlashImage.h"
#include "InputLine.h"
#include "LineEditor.h"
#include "ParamCommands.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "Session.h"
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
void uploadFirmware(Session *session, const char *file, const char *address) {
  long base = NO_BASE_ADDRESS;
  if (isBinaryFileName(file) && (address == nullptr || !parseBaseAddress(address, &base))) {
    ZyLog::log(ZyLog::Normal,
               "Must provide the load address after a raw binary image: upload <name.bin> "
               "<address>, e.g. upload %s 0x8000 (hexadecimal, below 0x40000).",
               file);
    return;
  }
  if (session != nullptr)
    session->upload(file, base, nullptr, -1);
}
} // namespace

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
  Session *session;
  int pagingPosition = 0;
  int listingMode = 0; // 0 robotTable, 1 armTable
  bool connected() const { return session != nullptr && session->connected(); }
};

/// 'help': the controller's identity checked again, then the commands.
void showHelp(ShellContext &shell) {
  printf("\n\n====================================\n");
  if (shell.connected()) {
    FirmwareIdentity identity = shell.session->checkIdentity().identity;
    if (identity != FirmwareIdentity::Known)
      printCaution(identity);
  }
  printHelp();
}

/// 'quit': true when the shell ends; unsaved changes are asked about.
bool quitShell(ShellContext &shell) {
  if (shell.connected() && imageChanged()) {
    ZyLog::log(ZyLog::Normal, "You didn't save your changes to the controller.");
    ZyLog::log(ZyLog::Normal, "Quit anyway? y/(n)?");
    return !askKeepRunning();
  }
  if (!shell.connected())
    ZyLog::log(ZyLog::Normal, "No connection, so didn't save your changes to a controller.");
  else
    ZyLog::log(ZyLog::Normal, "Exiting...");
  return true;
}

/// 'save': to a parameter file, or to the controller's block when nothing
/// else changed it since it was read.
void saveParameters(ShellContext &shell, const char *file) {
  if (file != nullptr) {
    if (saveParameterFile(file, Zyla::getConfig()))
      ZyLog::log(ZyLog::Normal, "Saved parameters to '%s'.", file);
    return;
  }
  if (!shell.connected()) {
    ZyLog::log(ZyLog::Normal, "Not interacting with controller; cannot save.");
    return;
  }
  Session &session = *shell.session;
  if (BlockCheck check = session.checkUnchanged(); check != BlockCheck::Unchanged) {
    // Written over, a block that something else changed would be lost,
    // its bytes after the parameters replaced by those read earlier.
    if (check == BlockCheck::Changed)
      ZyLog::log(ZyLog::Normal,
                 "Your changes are kept. To write them: 'save <name.rop>' keeps them in a "
                 "file, 'restore' reads the controller's block again, 'restore <name.rop>' "
                 "puts your changes back, then 'save'.");
    else
      ZyLog::log(ZyLog::Normal, "Your changes are still here: 'save' tries again.");
    return;
  }
  ParamBlock intended = session.block();
  imageIntoBlock(intended.data());
  WriteResult written = session.write(intended, true);
  if (written.verified)
    takeBlockIntoImage(written.written.data());
  else
    ZyLog::log(ZyLog::Normal, "Your changes are still here: 'save' tries again.");
}

/// 'restore': from a parameter file, or the controller's block read again.
void restoreParameters(ShellContext &shell, const char *file) {
  if (file != nullptr) {
    if (restoreParameterFile(file))
      ZyLog::log(ZyLog::Normal, "Restored parameters from '%s'.", file);
  } else if (shell.connected()) {
    ReadResult read = shell.session->read();
    if (read.ok())
      takeBlockIntoImage(read.block.data());
  } else {
    ZyLog::log(ZyLog::Normal, "Not interacting with controller; cannot restore.");
  }
}

/// Runs one command word with its arguments; false when the shell ends.
/// *understood is false for a word the shell does not know.
bool runCommand(ShellContext &shell, const char *word, ZyArgumentBuilder &args, bool *understood) {
  const char *value = args.getArg(1);
  *understood = true;
  const ShellCommand *command = findShellCommand(word);
  if (command == nullptr) {
    *understood = false;
    ZyLog::log(ZyLog::Normal, "Could not understand command '%s'. Type 'h' for help.", word);
    std::string nearest = nearestShellWord(word);
    if (!nearest.empty())
      ZyLog::log(ZyLog::Normal, "Did you mean '%s'?", nearest.c_str());
    return true;
  }
  switch (command->verb) {
  case ShellVerb::Help:
    showHelp(shell);
    break;
  case ShellVerb::Quit:
    return !quitShell(shell);
  case ShellVerb::Save:
    saveParameters(shell, value);
    break;
  case ShellVerb::Restore:
    restoreParameters(shell, value);
    break;
  case ShellVerb::Upload:
    if (value != nullptr)
      uploadFirmware(shell.session, value, args.getArg(2));
    else
      ZyLog::log(ZyLog::Normal,
                 "Must provide <filename.mot> to upload new ORVEX image to controller.");
    break;
  case ShellVerb::View:
    shell.listingMode = 0;
    shell.pagingPosition = listParameters(robotTable, 0, PAGE_LIMIT);
    break;
  case ShellVerb::Arm:
    shell.listingMode = 1;
    shell.pagingPosition = listParameters(armTable, 0, PAGE_LIMIT);
    break;
  }
  return true;
}
} // namespace

void runShell(Session *session) {
  ShellContext shell{session};
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

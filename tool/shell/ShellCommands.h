// SPDX-License-Identifier: MIT
// ShellCommands: the shell's command words, in one table that the shell's
// dispatch, Tab completion, the nearest-word suggestion and the command
// summary all read.
#ifndef SHELLCOMMANDS_H
#define SHELLCOMMANDS_H

/// What a command does.
enum class ShellVerb { Help, Quit, Save, Restore, Upload, View, Arm };

/// What a command takes after its word.
enum class ShellArgument {
  None,
  ParameterFile, ///< an optional parameter file (.rop)
  FirmwareFile   ///< a firmware image (and for a raw binary its load address)
};

struct ShellCommand {
  ShellVerb verb;
  /// Every word that names it (any letter case), nullptr after the last.
  /// Words of one letter are abbreviations; Tab completes the others, in
  /// the order of the table.
  const char *words[5];
  ShellArgument argument;
  /// Its line in the command summary, and the line's place there.
  const char *help;
  int helpPlace;
};

extern const ShellCommand shellCommands[];
extern const int shellCommandCount;

/// The command a word names, nullptr for none.
const ShellCommand *findShellCommand(const char *word);

/// Prints the command summary to standard output.
void printHelp();

#endif

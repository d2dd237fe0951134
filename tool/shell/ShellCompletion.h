// SPDX-License-Identifier: MIT
// What Tab completes in the shell: the command words and the keywords of
// the robot and arm tables, a keyword's current value with its range as a
// hint, and file names after the commands that take a file. Free of any
// terminal, so that it can be tested on plain texts.
#ifndef SHELLCOMPLETION_H
#define SHELLCOMPLETION_H

#include "ParamTables.h"

#include <string>
#include <vector>

/// What a Tab press does to the line: the last replaceLength characters
/// before the cursor are replaced by replacement, and the lines of shown
/// (choices or a hint) are printed below the line.
struct Completion {
  size_t replaceLength = 0;
  std::string replacement;
  std::vector<std::string> shown;
};

/// The completion for the text before the cursor. Paths for file names are
/// relative to the working directory.
Completion completeShellLine(const std::string &beforeCursor);

/// The entry of the robot or arm table that the shell finds for the
/// keyword (arm first, as the shell tries them), or nullptr.
const ParamEntry *shellParameter(const char *keyword);

/// The word a misspelt command was most likely meant to be: the nearest
/// keyword of the registry (nearestKeyword) or command word, or "" when
/// none is close enough.
std::string nearestShellWord(const std::string &command);

/// The hint for a keyword: "JoyVelMax: 0..2200, now 1800" for a ranged
/// number, "Name: up to 19 characters, now 'Marvin'" for a text.
std::string parameterHint(const ParamEntry &entry);

/// The value as the shell takes it back: the number, or the text with a
/// backslash before each blank.
std::string currentValueWord(const ParamEntry &entry);

/// The line after the value line when a text parameter was given more
/// words than its value: "Only 'my' was taken; write 'my\ robot' to keep
/// the blanks.", or "" when there is nothing to say (a number, one word).
/// Words that spell the parameter's listing description ("Serial Number")
/// set the value all the same, and the line says so: "'Serial Number' is
/// how the listing describes SerNum: its value is now 'Number'.".
std::string extraWordsNotice(const ParamEntry &entry, const std::vector<std::string> &words);

#endif

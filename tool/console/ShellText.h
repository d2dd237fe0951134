// SPDX-License-Identifier: MIT
// ShellText: texts the tool shows that came from outside it (the write
// journal, the controller's block, paths) and commands it prints for the
// operator to paste into a shell. Arguments are quoted for a POSIX shell
// only where they need it, the way Python's shlex.quote does; other texts
// have every character that would not show as itself escaped, so that a
// planted line can neither hide nor add anything on the screen.
#ifndef SHELLTEXT_H
#define SHELLTEXT_H

#include "ShownText.h"

#include <string>
#include <vector>

/// The text as one argument of a POSIX shell: as it is when it holds only
/// letters, digits and "@%+=:,./-_" (and is not empty), otherwise in
/// single quotes, each single quote written as '"'"'.
std::string shellQuote(const std::string &text);

/// True when the text shows as itself, apart from backslashes: it can be
/// pasted into a shell, quoted, from what is shown.
bool pasteable(const std::string &text);

/// The arguments quoted and joined by blanks, ready to paste into a shell;
/// "" when one of them is not pasteable.
std::string shellCommand(const std::vector<std::string> &args);

#endif

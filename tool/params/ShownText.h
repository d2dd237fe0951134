// SPDX-License-Identifier: MIT
// ShownText: texts from outside the tool (the controller's block, files,
// the write journal, paths) as they are shown, so that a planted text can
// neither hide nor add anything on the screen.
#ifndef SHOWNTEXT_H
#define SHOWNTEXT_H

#include <string>

/// The text as it is shown: printable ASCII and UTF-8 of visible
/// characters stay; a backslash becomes "\\"; control characters, DEL,
/// bytes of no valid UTF-8 sequence and the invisible or
/// direction-changing characters become "\xHH", one a byte.
std::string escapedText(const std::string &text);

#endif

// SPDX-License-Identifier: MIT
// Whether the current line of standard output was left open (a prompt
// waiting for input, a progress line rewritten in place), so that a
// signal's notice, logged from the signal thread, starts on a line of its
// own instead of in the middle of it.
#ifndef SCREENLINE_H
#define SCREENLINE_H

/// Marks standard output's current line as open or ended.
void setScreenLineOpen(bool open);
/// Ends an open line with a newline written straight to standard output;
/// safe on any thread (atomics and write only).
void endOpenScreenLine();
/// Makes endOpenScreenLine run before every signal notice of the library.
void endScreenLineBeforeSignalNotices();

#endif

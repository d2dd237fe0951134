// SPDX-License-Identifier: MIT
// One line of operator input from standard input, read whole: a line too
// long for its buffer is refused as a whole, so that its tail never runs as
// a command or answer of its own.
#ifndef INPUTLINE_H
#define INPUTLINE_H

#include <cstdio>
#include <string>

/// Outcome of reading one line of input.
enum class InputLine {
  line,    ///< a whole line, line end removed
  tooLong, ///< longer than the buffer holds: read to its end and dropped
  end,     ///< end of input before any character
  stopped  ///< a terminating signal asked the run to stop while waiting
};

/// Reads one line of at most size - 1 characters from the stream into line
/// and removes its line end ("\n", "\r\n"). A longer line is read up to and
/// including its line end and dropped; line is then empty.
InputLine readInputLine(FILE *stream, char *line, int size);

/// The message for a refused line of a buffer of size bytes:
/// "Line too long (more than 255 characters); ignored." for 256.
std::string lineTooLongMessage(int size);

#endif

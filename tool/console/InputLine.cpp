// SPDX-License-Identifier: MIT
// Reading operator input a whole line at a time.
#include "InputLine.h"

#include <cstring>

InputLine readInputLine(FILE *stream, char *line, int size) {
  // A byte past the last one fgets may fill tells a full buffer apart from
  // a shorter line, also when the line holds zero bytes.
  line[size - 1] = 'x';
  if (fgets(line, size, stream) == nullptr) {
    line[0] = '\0';
    return InputLine::end;
  }
  bool full = line[size - 1] == '\0' && line[size - 2] != '\n';
  if (full) {
    int next = getc(stream);
    if (next != EOF && next != '\n') {
      while (next != EOF && next != '\n')
        next = getc(stream);
      line[0] = '\0';
      return InputLine::tooLong;
    }
  }
  line[strcspn(line, "\r\n")] = '\0';
  return InputLine::line;
}

std::string lineTooLongMessage(int size) {
  return "Line too long (more than " + std::to_string(size - 1) + " characters); ignored.";
}

// SPDX-License-Identifier: MIT
// Quoting for a POSIX shell and escaping of texts from outside the tool.
#include "ShellText.h"

namespace {
bool safeForShell(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
         c == '%' || c == '+' || c == '=' || c == ':' || c == ',' || c == '.' || c == '/' ||
         c == '-' || c == '_';
}

} // namespace

std::string shellQuote(const std::string &text) {
  bool plain = !text.empty();
  for (char c : text)
    plain = plain && safeForShell(static_cast<unsigned char>(c));
  if (plain)
    return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\"'\"'";
    else
      quoted.push_back(c);
  }
  return quoted + "'";
}

bool pasteable(const std::string &text) {
  size_t backslashes = 0;
  for (char c : text)
    backslashes += c == '\\' ? 1 : 0;
  return escapedText(text).size() == text.size() + backslashes;
}

std::string shellCommand(const std::vector<std::string> &args) {
  std::string command;
  for (const std::string &arg : args) {
    if (!pasteable(arg))
      return "";
    command += (command.empty() ? "" : " ") + shellQuote(arg);
  }
  return command;
}

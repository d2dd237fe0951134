// SPDX-License-Identifier: MIT
// SimCommandLine: the options of the orvexsim program, parsed into the
// simulator's settings.
#ifndef SIMCOMMANDLINE_H
#define SIMCOMMANDLINE_H

#include "SimController.h"

#include <string>

struct SimCommandLine {
  /// The program plays a whole controller: firmware first, then monitor.
  SimCommandLine() { options.robotProtocol = true; }

  SimOptions options;
  std::string linkPath; ///< symbolic link to make to the slave; empty for none
  bool help = false;
};

/// Parses the arguments after the program name. Options take their value as
/// the next argument or after "=". False with error naming the option at
/// fault.
bool parseSimCommandLine(int argc, const char *const *argv, SimCommandLine &out,
                         std::string &error);

/// The text of "orvexsim --help".
const char *simUsage();

#endif

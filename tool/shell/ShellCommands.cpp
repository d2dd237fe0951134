// SPDX-License-Identifier: MIT
// The shell's command words and the command summary.
#include "ShellCommands.h"

#include "ZyUtil.h"

#include <cstdio>

const ShellCommand shellCommands[] = {
    {ShellVerb::Help,
     {"?", "h", "help", nullptr},
     ShellArgument::None,
     "'?', 'h' or 'help' to see these instructions again.",
     6},
    {ShellVerb::Quit,
     {"quit", "exit", "q", nullptr},
     ShellArgument::None,
     "'q' or 'quit' to exit.",
     5},
    {ShellVerb::Save,
     {"save", nullptr},
     ShellArgument::ParameterFile,
     "'save' to save changes to controller or to <name.rop>.",
     4},
    {ShellVerb::Restore,
     {"r", "restore", nullptr},
     ShellArgument::ParameterFile,
     "'r' or 'restore' parameters from controller or from <name.rop> file.",
     2},
    {ShellVerb::Upload,
     {"upload", "download", "u", "d", nullptr},
     ShellArgument::FirmwareFile,
     "'u' or 'upload' <name.mot> to update OS.",
     3},
    {ShellVerb::View,
     {"v", "view", nullptr},
     ShellArgument::None,
     "'v' or 'view' to see and edit the robot's parameters.",
     0},
    {ShellVerb::Arm,
     {"a", "arm", nullptr},
     ShellArgument::None,
     "'a' or 'arm' to see and edit Marlock Arm parameters.",
     1},
};
const int shellCommandCount = sizeof shellCommands / sizeof shellCommands[0];

const ShellCommand *findShellCommand(const char *word) {
  if (word == nullptr)
    return nullptr;
  for (const ShellCommand &command : shellCommands)
    for (const char *const *name = command.words; *name != nullptr; name++)
      if (ZyUtil::compareTextNoCase(word, *name) == 0)
        return &command;
  return nullptr;
}

void printHelp() {
  printf("\n========== Config Commands ===================\n");
  printf("Type: keyword alone to view current value.\n");
  printf("      keyword and new value to change it.\n");
  for (int place = 0; place < shellCommandCount; place++)
    for (const ShellCommand &command : shellCommands)
      if (command.helpPlace == place)
        printf("      %s\n", command.help);
  printf("\n");
  fflush(stdout);
}

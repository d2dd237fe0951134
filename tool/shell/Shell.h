// SPDX-License-Identifier: MIT
// The interactive command shell: reads command lines from standard input,
// shows and changes parameters by keyword, pages through the robot and arm
// tables, saves and restores the FLASH block or a parameter file, uploads
// firmware, and quits. It works on the run's image (flashImage) and does
// every operation on the controller through the run's Session.
#ifndef SHELL_H
#define SHELL_H

#include "FirmwareIdentity.h"
#include "ShellCommands.h"

class Session;

/// Reads the answer to "Quit anyway? y/(n)?"; true means stay in the shell.
bool askKeepRunning();
/// Runs the shell until the operator quits, input ends or the library stops
/// running. session is nullptr for a shell with no controller and no
/// uploads; an unconnected session's uploads only read and check a file.
void runShell(Session *session);

#endif

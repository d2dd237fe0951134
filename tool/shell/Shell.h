// SPDX-License-Identifier: MIT
// The interactive command shell: reads command lines from standard input,
// shows and changes parameters by keyword, pages through the robot and arm
// tables, saves and restores the FLASH block or a parameter file, uploads
// firmware, and quits.
#ifndef SHELL_H
#define SHELL_H

#include "FlashTransfer.h"

class DurableWrite;
class MonitorLink;
class FirmwareDownload;
class FirmwareImage;
class RunOutcome;

/// Prints the command summary to standard output.
void printHelp();
/// Logs the caution box for a non-zero firmware identity result.
void printCaution(FirmwareIdentity identity);
/// Reads the answer to "Quit anyway? y/(n)?"; true means stay in the shell.
bool askKeepRunning();
/// Runs the shell until the operator quits, input ends or the library stops
/// running. link is nullptr when the utility does not talk to a controller.
/// The upload words read their file into firmware and write it with
/// download, which works on that image; uploads are journalled with
/// durable when given, and recorded in outcome (for the run report) when
/// given.
void runShell(MonitorLink *link, FirmwareImage *firmware, FirmwareDownload *download,
              DurableWrite *durable = nullptr, RunOutcome *outcome = nullptr);

#endif

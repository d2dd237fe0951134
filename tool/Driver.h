// SPDX-License-Identifier: MIT
// The program driver: owns the whole run of orvexconf from start-up to the
// exit status.
#ifndef DRIVER_H
#define DRIVER_H

#include "RunOutcome.h"

/// Runs the utility; ends the process with its exit status.
int runDriver(int argc, char **argv);

#endif

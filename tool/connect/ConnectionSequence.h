// SPDX-License-Identifier: MIT
// The connection sequence: brings the robot controller into its resident
// monitor at 115200 bit/s by a client connection of the robot protocol and
// command 255, else a direct probe of the monitor, else an autobaud search,
// asking the operator whether to retry when all three fail.
#ifndef CONNECTIONSEQUENCE_H
#define CONNECTIONSEQUENCE_H

#include <string>
#include <vector>

class ZyRobot;
class ConnectOptions;
class MonitorLink;

/// True once the monitor answers; false when there is no connection and the
/// run must end (batch mode, the operator declined, or the library stopped).
/// reply holds replySize characters plus a terminator.
/// The line that tells the operator the sequence gave up.
extern const char *const COULD_NOT_CONNECT;

bool runConnectionSequence(ZyRobot *robot, ConnectOptions *options, MonitorLink *link,
                           bool batchMode, char *reply, int replySize);
/// The lines a failed sequence showed the operator, in order: the port's
/// advice when it could not be opened at all, COULD_NOT_CONNECT, and for
/// a line at one fixed speed what that speed kept from being tried.
std::vector<std::string> connectionFailureLines(ConnectOptions *options);
/// The explanation that a line at one fixed speed could not be tried at
/// the others, naming rfc2217://; "" for a line that can change speed.
std::string fixedSpeedNote(ConnectOptions *options);
/// Reads the answer to "Retry? (y)/n? " from standard input; true for yes.
bool askRetry();

#endif

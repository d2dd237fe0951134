// SPDX-License-Identifier: MIT
// Connection sequence of the utility: client connection, direct probe,
// autobaud, retry.
#include "ConnectionSequence.h"

#include "ConnectOptions.h"
#include "InputLine.h"
#include "MonitorLink.h"
#include "PortAdvice.h"
#include "ZyRobot.h"
#include "ZySerialConnection.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cctype>
#include <cstdio>

namespace {
const int MONITOR_RATE = 115200;
const int AUTOBAUD_RATES[] = {9600, 19200, 38400, 57600, 115200};
const int COMMAND_TO_MONITOR = 255;

void say(const char *text) {
  fputs(text, stdout);
  fflush(stdout);
}

/// After a made client connection: hand the line to the monitor and drop
/// the robot connection without sending anything more.
void handOverToMonitor(ZyRobot *robot, ZySerialConnection *serial, unsigned int pauseMs) {
  robot->com(COMMAND_TO_MONITOR);
  ZyUtil::sleepMs(pauseMs);
  serial->setBaud(MONITOR_RATE);
  robot->cancelConnection();
}
/// Opens the port unless it is open; false, after telling the operator on
/// standard error what is wrong and what to do, when the port cannot be
/// opened at all (the log is silent while connecting).
bool portCanBeOpened(ZySerialConnection *serial) {
  if (serial->status() == ZyDeviceConnection::STATUS_OPEN)
    return true;
  if (serial->open() == ZySerialConnection::OPEN_OK || !serial->openFailureIsFinal())
    return true;
  fprintf(stderr, "%s\n", portAdvice(*serial).c_str());
  fflush(stderr);
  return false;
}
} // namespace

bool askRetry() {
  char line[256];
  // An answer too long for the line is no answer: neither its first part
  // nor its tail (which would reach the shell) is taken; the question is
  // asked again.
  InputLine read;
  while ((read = readInputLine(stdin, line, sizeof(line))) == InputLine::tooLong) {
    say((lineTooLongMessage(sizeof(line)) + "\n").c_str());
    say("Retry? (y)/n? ");
  }
  if (read == InputLine::end)
    return false;
  const char *p = line;
  while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
    p++;
  return !(*p == 'n' || *p == 'N');
}

namespace {
// One round of the three ways in: the client connection, a direct probe of
// the monitor, the autobaud walk. True once the monitor answers.
bool connectOnce(ZyRobot *robot, ZySerialConnection *serial, MonitorLink *link, char *reply,
                 int replySize) {
  say("Trying client connection...\n");
  // Walking the rates cannot help a port that cannot be opened.
  if (!portCanBeOpened(serial))
    return false;
  if (robot->blockingConnect()) {
    handOverToMonitor(robot, serial, 1000);
    return true;
  }

  say("Trying direct connection...\n");
  serial->openDefault();
  serial->setBaud(MONITOR_RATE);
  ZyUtil::sleepMs(300);
  link->writeChar('+');
  if (link->sendCommand("F?0,0")) {
    // The probe's reply is read off the line; its content is not needed.
    link->readPacket(reply, replySize, 1000);
    return true;
  }

  say("Trying autobaud...\n");
  for (int i = static_cast<int>(sizeof(AUTOBAUD_RATES) / sizeof(AUTOBAUD_RATES[0])) - 1;
       i >= 0 && Zyla::getRunning(); i--) {
    serial->setBaud(AUTOBAUD_RATES[i]);
    printf("%i... ", AUTOBAUD_RATES[i]);
    fflush(stdout);
    if (robot->blockingConnect()) {
      handOverToMonitor(robot, serial, 500);
      say("\n");
      return true;
    }
  }
  return false;
}
} // namespace

const char *const COULD_NOT_CONNECT = "Could not connect with controller.";

bool runConnectionSequence(ZyRobot *robot, ConnectOptions *options, MonitorLink *link,
                           bool batchMode, char *reply, int replySize) {
  ZySerialConnection *serial = options->serialConnection();
  while (Zyla::getRunning()) {
    if (connectOnce(robot, serial, link, reply, replySize)) {
      say("Connected with controller.\n");
      return true;
    }
    say("\n");
    say(COULD_NOT_CONNECT);
    say("\n");
    if (batchMode)
      return false;
    say("Retry? (y)/n? ");
    if (!askRetry()) {
      say("Exiting...\n");
      return false;
    }
  }
  return false;
}

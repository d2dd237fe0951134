// SPDX-License-Identifier: MIT
// Connection sequence of the utility: client connection, direct probe,
// autobaud, retry. On a line at one fixed speed (a raw TCP bridge) a step
// at another speed cannot run: it is passed over before its first byte,
// as if nothing had answered, and the autobaud walk is left out.
#include "ConnectionSequence.h"

#include "ConnectOptions.h"
#include "InputLine.h"
#include "MonitorLink.h"
#include "PortAdvice.h"
#include "ZyDeviceConnection.h"
#include "ZyRobot.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <cctype>
#include <cstdio>

namespace {
const int MONITOR_RATE = 115200;
const int AUTOBAUD_RATES[] = {9600, 19200, 38400, 57600, 115200};
const int COMMAND_TO_MONITOR = 255;

/// Tells the operator of the connection's progress, unless the
/// connection is a library's (quiet).
void say(const ConnectOptions *options, const char *text) {
  if (options != nullptr && options->quiet())
    return;
  fputs(text, stdout);
  fflush(stdout);
}

/// After a made client connection: hand the line to the monitor and drop
/// the robot connection without sending anything more.
void handOverToMonitor(ZyRobot *robot, ZyDeviceConnection *line, unsigned int pauseMs) {
  robot->com(COMMAND_TO_MONITOR);
  ZyUtil::sleepMs(pauseMs);
  line->setBaud(MONITOR_RATE);
  robot->cancelConnection();
}
/// Opens the port unless it is open; false, after telling the operator on
/// standard error what is wrong and what to do, when the port cannot be
/// opened at all (the log is silent while connecting).
bool portCanBeOpened(ConnectOptions *options) {
  ZyDeviceConnection *line = options->connection();
  if (line->status() == ZyDeviceConnection::STATUS_OPEN)
    return true;
  if (line->openDefault() || !line->openFailureIsFinal())
    return true;
  if (!options->quiet()) {
    fprintf(stderr, "%s\n", options->openAdvice().c_str());
    fflush(stderr);
  }
  return false;
}
/// True when the line can carry a step at rate: any line that can change
/// its speed, and a line at one fixed speed only at that speed.
bool runsAt(ZyDeviceConnection *line, int rate) {
  return !line->hasLineSpeed() || line->canChangeBaud() || line->setBaud(rate);
}
} // namespace

bool askRetry() {
  char line[256];
  // An answer too long for the line is no answer: neither its first part
  // nor its tail (which would reach the shell) is taken; the question is
  // asked again.
  InputLine read;
  while ((read = readInputLine(stdin, line, sizeof(line))) == InputLine::tooLong) {
    say(nullptr, (lineTooLongMessage(sizeof(line)) + "\n").c_str());
    say(nullptr, "Retry? (y)/n? ");
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
bool connectOnce(ZyRobot *robot, ConnectOptions *options, MonitorLink *link, char *reply,
                 int replySize) {
  ZyDeviceConnection *line = options->connection();
  say(options, "Trying client connection...\n");
  // Walking the rates cannot help a port that cannot be opened.
  if (!portCanBeOpened(options))
    return false;
  // A line that cannot run at the monitor's speed can never reach it:
  // nothing is sent.
  if (!runsAt(line, MONITOR_RATE))
    return false;
  if (runsAt(line, options->baudRate()) && robot->blockingConnect()) {
    handOverToMonitor(robot, line, 1000);
    return true;
  }

  say(options, "Trying direct connection...\n");
  line->openDefault();
  line->setBaud(MONITOR_RATE);
  ZyUtil::sleepMs(300);
  link->writeChar('+');
  if (link->sendCommand("F?0,0")) {
    // The probe's reply is read off the line; its content is not needed.
    link->readPacket(reply, replySize, 1000);
    return true;
  }

  // The walk looks for the line's speed; a line at one fixed speed has
  // been tried at it already.
  if (!line->canChangeBaud())
    return false;
  say(options, "Trying autobaud...\n");
  for (int i = static_cast<int>(sizeof(AUTOBAUD_RATES) / sizeof(AUTOBAUD_RATES[0])) - 1;
       i >= 0 && Zyla::getRunning(); i--) {
    line->setBaud(AUTOBAUD_RATES[i]);
    say(options, (std::to_string(AUTOBAUD_RATES[i]) + "... ").c_str());
    if (robot->blockingConnect()) {
      handOverToMonitor(robot, line, 500);
      say(options, "\n");
      return true;
    }
  }
  return false;
}
} // namespace

const char *const COULD_NOT_CONNECT = "Could not connect with controller.";

std::string fixedSpeedNote(ConnectOptions *options) {
  ZyDeviceConnection *line = options->connection();
  if (!line->hasLineSpeed() || line->canChangeBaud())
    return "";
  // The line's own speed: the one rate of the walk it accepts.
  int fixed = 0;
  int asked = line->baudRate();
  for (int rate : AUTOBAUD_RATES)
    if (fixed == 0 && line->setBaud(rate))
      fixed = rate;
  line->setBaud(asked);
  char text[768];
  snprintf(text, sizeof text,
           "Port '%s' carries the line at one fixed speed%s and cannot change speed, which the "
           "controller's firmware (at -rb %d) and its monitor (at %d) need: only the ways in at "
           "that speed were tried. Give the port as rfc2217://HOST:PORT through a port server "
           "that can change the speed (RFC 2217).",
           line->portName(), fixed > 0 ? (" (" + std::to_string(fixed) + " bit/s)").c_str() : "",
           options->baudRate(), MONITOR_RATE);
  return text;
}

std::vector<std::string> connectionFailureLines(ConnectOptions *options) {
  std::vector<std::string> lines;
  std::string advice = options->openAdvice();
  if (!advice.empty())
    lines.push_back(advice);
  lines.push_back(COULD_NOT_CONNECT);
  std::string note = advice.empty() ? fixedSpeedNote(options) : "";
  if (!note.empty())
    lines.push_back(note);
  return lines;
}

bool runConnectionSequence(ZyRobot *robot, ConnectOptions *options, MonitorLink *link,
                           bool batchMode, char *reply, int replySize) {
  while (Zyla::getRunning()) {
    if (connectOnce(robot, options, link, reply, replySize)) {
      say(options, "Connected with controller.\n");
      return true;
    }
    say(options, "\n");
    say(options, COULD_NOT_CONNECT);
    say(options, "\n");
    if (options->openAdvice().empty()) {
      std::string note = fixedSpeedNote(options);
      if (!note.empty())
        say(options, (note + "\n").c_str());
    }
    if (batchMode)
      return false;
    say(options, "Retry? (y)/n? ");
    if (!askRetry()) {
      say(options, "Exiting...\n");
      return false;
    }
  }
  return false;
}

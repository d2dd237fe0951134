// SPDX-License-Identifier: MIT
// Connection options of the utility: serial port and first baud rate.
#include "ConnectOptions.h"

#include "ZyLog.h"
#include "ZyRobot.h"

ConnectOptions::ConnectOptions(int *argc, char **argv) : myParser(argc, argv) {
  myParser.loadDefaultSources(1);
}

bool ConnectOptions::readOptions() {
  bool ok = true;
  ok = myParser.takeParameterArgumentString("-robotPort", &myPortName, nullptr, false) && ok;
  ok = myParser.takeParameterArgumentString("-rp", &myPortName, nullptr, false) && ok;
  ok = myParser.takeParameterArgumentInteger("-robotBaud", &myBaud, nullptr, false) && ok;
  ok = myParser.takeParameterArgumentInteger("-rb", &myBaud, nullptr, false) && ok;
  return ok;
}

void ConnectOptions::printOptions() const {
  ZyLog::log(ZyLog::Terse, "Options for connecting (see docs for more details):");
  ZyLog::log(ZyLog::Terse, "-robotPort <robotSerialPort>");
  ZyLog::log(ZyLog::Terse, "-rp <robotSerialPort>");
  ZyLog::log(ZyLog::Terse, "-robotBaud <baud>");
  ZyLog::log(ZyLog::Terse, "-rb <baud>");
}

void ConnectOptions::attachTo(ZyRobot *robot) {
  mySerial.setPortName(myPortName);
  mySerial.setBaud(myBaud);
  if (robot != nullptr)
    robot->setDeviceConnection(&mySerial);
}

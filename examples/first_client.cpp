// SPDX-License-Identifier: MIT
// A first Zyla client: connects to the robot on a serial port, prints the
// robot's identity and disconnects. Build it against the installed library
// (find_package(Zyla) and the target Zyla::zyla, or pkg-config zyla) and
// run it with the port: first_client /dev/ttyUSB0, or the link of a
// running orvexsim. The robot's parameter files are found through the
// environment variable ZYLA (the directory holding params/, for an
// installation <prefix>/share/zyla).
#include <zyla/ZyLog.h>
#include <zyla/ZyRobot.h>
#include <zyla/ZySerialConnection.h>
#include <zyla/Zyla.h>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: first_client PORT\n");
    return 2;
  }
  // The library first: signal handling and its directory (from ZYLA).
  Zyla::init();
  ZyLog::init(ZyLog::StdErr, ZyLog::Terse);

  // The robot talks through a device connection: here a serial port at
  // the robot's speed, 9600 bit/s.
  ZySerialConnection port;
  port.setPortName(argv[1]);
  port.setBaud(9600);
  ZyRobot robot;
  robot.setDeviceConnection(&port);

  // Opens the port, makes the handshake and loads the robot's parameters.
  if (!robot.blockingConnect()) {
    fprintf(stderr,
            "first_client: could not connect to the robot on '%s'; check the port and "
            "that the robot is on\n",
            argv[1]);
    return 1;
  }
  printf("Connected to robot '%s': type %s, subtype %s\n", robot.getRobotName(),
         robot.getRobotType(), robot.getRobotSubType());
  robot.disconnect();
  printf("Disconnected.\n");
  return 0;
}

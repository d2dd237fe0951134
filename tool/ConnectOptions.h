// SPDX-License-Identifier: MIT
// ConnectOptions: the robot connection options ("-robotPort"/"-rp",
// "-robotBaud"/"-rb"), read from the options' own copy of the command line
// merged with the library's default argument sources. They own the run's one
// serial connection.
#ifndef CONNECTOPTIONS_H
#define CONNECTOPTIONS_H

#include "ZyArgumentParser.h"
#include "ZySerialConnection.h"

class ZyRobot;

class ConnectOptions {
public:
  /// Builds the options' parser over the command line and moves it onto its
  /// own copy with the default argument sources inserted after the program
  /// name.
  ConnectOptions(int *argc, char **argv);

  /// Takes the port and rate options; false when one has no value or the
  /// rate is not an integer.
  bool readOptions();
  /// Logs the help lines of the connection options at Terse.
  void printOptions() const;
  /// Gives the serial connection the port name and rate, and hands it to
  /// the robot when there is one.
  void attachTo(ZyRobot *robot);

  ZySerialConnection *serialConnection() { return &mySerial; }
  /// The port name, or nullptr when none was given.
  const char *portName() const { return myPortName; }
  int baudRate() const { return myBaud; }

  ConnectOptions(const ConnectOptions &) = delete;
  ConnectOptions &operator=(const ConnectOptions &) = delete;

private:
  ZyArgumentParser myParser;
  const char *myPortName = nullptr;
  int myBaud = 9600;
  ZySerialConnection mySerial;
};

#endif

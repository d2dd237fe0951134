// SPDX-License-Identifier: MIT
// ConnectOptions: the robot connection options ("-robotPort"/"-rp",
// "-robotBaud"/"-rb"), read from the options' own copy of the command line
// merged with the library's default argument sources. They own the run's
// one connection, made from the port text: a serial port by its device
// path, or a port across the network by its URL (rfc2217://, rfc2217s://,
// socket://, sockets://).
#ifndef CONNECTOPTIONS_H
#define CONNECTOPTIONS_H

#include "ZyArgumentParser.h"
#include "ZyNetConnection.h"
#include "ZySerialConnection.h"

#include <memory>
#include <string>

class ZyRobot;

class ConnectOptions {
public:
  /// Builds the options' parser over the command line and moves it onto its
  /// own copy with the default argument sources inserted after the program
  /// name.
  ConnectOptions(int *argc, char **argv);

  /// Takes the port and rate options; false when one has no value, the
  /// rate is not an integer or the port is a URL that is not valid (said
  /// why).
  bool readOptions();
  /// Logs the help lines of the connection options at Terse.
  void printOptions() const;
  /// Gives the connection the port and rate, and hands it to the robot
  /// when there is one.
  void attachTo(ZyRobot *robot);

  /// The run's one connection: the network port when the port is a URL,
  /// the serial port otherwise.
  ZyDeviceConnection *connection();
  /// The network port, or nullptr when the port is a local one.
  ZyNetConnection *netConnection() { return myNet.get(); }
  /// The local serial port (unused when the port is a URL).
  ZySerialConnection *serialConnection() { return &mySerial; }
  /// The port name, or nullptr when none was given.
  const char *portName() const { return myPortName; }
  int baudRate() const { return myBaud; }
  /// The operator's explanation of the connection's failed open ("" when
  /// it did not fail in a way that retrying cannot mend).
  std::string openAdvice();

  ConnectOptions(const ConnectOptions &) = delete;
  ConnectOptions &operator=(const ConnectOptions &) = delete;

private:
  ZyArgumentParser myParser;
  const char *myPortName = nullptr;
  int myBaud = 9600;
  ZySerialConnection mySerial;
  std::unique_ptr<ZyNetConnection> myNet;
};

/// For a port given as a URL, the key its journal entries also go by: the
/// scheme with the address the host resolves to and the port
/// ("rfc2217://127.0.0.1:4001"); "" for a device path, or when the host
/// does not resolve within a short bound.
std::string networkPortKey(const std::string &port);

#endif

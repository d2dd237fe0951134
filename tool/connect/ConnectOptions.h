// SPDX-License-Identifier: MIT
// ConnectOptions: the robot connection options, the port ("-robotPort"/
// "-rp") and the first baud rate ("-robotBaud"/"-rb"), as the command line
// gives them, and the run's one connection made from them: a serial port by
// its device path, or a port across the network by its URL (rfc2217://,
// rfc2217s://, socket://, sockets://).
#ifndef CONNECTOPTIONS_H
#define CONNECTOPTIONS_H

#include "ZyNetConnection.h"
#include "ZySerialConnection.h"

#include <memory>
#include <string>

class ZyRobot;

class ConnectOptions {
public:
  /// The first rate tried when none is given.
  static const int DEFAULT_BAUD = 9600;

  /// port: a device path or a URL, nullptr for the default port. A URL
  /// that is not valid (see portUsable) leaves a serial port of that name.
  explicit ConnectOptions(const char *port = nullptr, int baud = DEFAULT_BAUD);

  /// True for a device path and a valid URL; for a URL that is not valid,
  /// false after logging why.
  static bool portUsable(const char *port);
  /// Logs the help lines of the connection options at Terse.
  static void printOptions();
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
  const char *portName() const { return myPortGiven ? myPort.c_str() : nullptr; }
  int baudRate() const { return myBaud; }
  /// The operator's explanation of the connection's failed open ("" when
  /// it did not fail in a way that retrying cannot mend).
  std::string openAdvice();
  /// A library's connection: the connection sequence prints nothing of its
  /// progress and advice (the caller reports the failure's lines itself).
  void setQuiet(bool quiet) { myQuiet = quiet; }
  bool quiet() const { return myQuiet; }

  ConnectOptions(const ConnectOptions &) = delete;
  ConnectOptions &operator=(const ConnectOptions &) = delete;

private:
  std::string myPort;
  bool myPortGiven = false;
  bool myQuiet = false;
  int myBaud = DEFAULT_BAUD;
  ZySerialConnection mySerial;
  std::unique_ptr<ZyNetConnection> myNet;
};

/// For a port given as a URL, the key its journal entries also go by: the
/// scheme with the address the host resolves to and the port
/// ("rfc2217://127.0.0.1:4001"); "" for a device path, or when the host
/// does not resolve within a short bound.
std::string networkPortKey(const std::string &port);

#endif

// SPDX-License-Identifier: MIT
// ZyRobotPacketSender: turns a command number and an optional argument into
// one robot packet and writes it to the device connection. One packet is
// reused for every command.
#ifndef ZYROBOTPACKETSENDER_H
#define ZYROBOTPACKETSENDER_H

#include "ZyRobotPacket.h"

#include <cstdint>

class ZyDeviceConnection;

class ZyRobotPacketSender {
public:
  /// Argument-type bytes that open a command's argument.
  enum ArgType { ARGINT = 0x3B, ARGNINT = 0x1B, ARGSTR = 0x2B };
  /// Longest text comStr sends.
  static const int MAX_STRING = 200;
  /// Longest text comStrN sends, so that the count byte stays right.
  static const int MAX_STRING_N = 250;

  ZyRobotPacketSender(uint8_t sync1 = 0xfa, uint8_t sync2 = 0xfb);
  ZyRobotPacketSender(ZyDeviceConnection *deviceConnection, uint8_t sync1 = 0xfa,
                      uint8_t sync2 = 0xfb);

  void setDeviceConnection(ZyDeviceConnection *deviceConnection) {
    myDeviceConn = deviceConnection;
  }
  ZyDeviceConnection *getDeviceConnection() const { return myDeviceConn; }

  /// A command without argument.
  bool com(uint8_t command);
  /// A command with a signed 16-bit integer argument.
  bool comInt(uint8_t command, int16_t argument);
  /// A command with the integer whose bytes are high and low.
  bool com2Bytes(uint8_t command, int8_t high, int8_t low);
  /// A command with a text argument of at most 200 characters.
  bool comStr(uint8_t command, const char *argument);
  /// A command with exactly size bytes of text, at most 250.
  bool comStrN(uint8_t command, const char *str, int size);

  ZyRobotPacketSender(const ZyRobotPacketSender &) = delete;
  ZyRobotPacketSender &operator=(const ZyRobotPacketSender &) = delete;

private:
  bool connectionOpen() const;
  /// Finishes the packet and writes it in one write.
  bool send();

  ZyDeviceConnection *myDeviceConn;
  ZyRobotPacket myPacket;
};

#endif

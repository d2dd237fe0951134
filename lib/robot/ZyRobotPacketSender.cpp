// SPDX-License-Identifier: MIT
// Building and writing command packets of the robot protocol.
#include "ZyRobotPacketSender.h"

#include "ZyDeviceConnection.h"

#include <cstring>

ZyRobotPacketSender::ZyRobotPacketSender(uint8_t sync1, uint8_t sync2)
    : myDeviceConn(nullptr), myPacket(sync1, sync2) {}

ZyRobotPacketSender::ZyRobotPacketSender(ZyDeviceConnection *deviceConnection, uint8_t sync1,
                                         uint8_t sync2)
    : myDeviceConn(deviceConnection), myPacket(sync1, sync2) {}

bool ZyRobotPacketSender::connectionOpen() const {
  return myDeviceConn != nullptr && myDeviceConn->status() == ZyDeviceConnection::STATUS_OPEN;
}

bool ZyRobotPacketSender::send() {
  myPacket.finishPacket();
  // A packet that went out only in part is a failure: the controller sees
  // a cut command, so the caller must not take it as sent.
  return myDeviceConn->write(myPacket.getBuf(), myPacket.getLength()) ==
         static_cast<int>(myPacket.getLength());
}

bool ZyRobotPacketSender::com(uint8_t command) {
  if (!connectionOpen())
    return false;
  myPacket.clear();
  myPacket.setID(command);
  return send();
}

bool ZyRobotPacketSender::comInt(uint8_t command, int16_t argument) {
  if (!connectionOpen())
    return false;
  myPacket.clear();
  myPacket.setID(command);
  if (argument >= 0) {
    myPacket.uint8ToBuf(ARGINT);
    myPacket.uint16ToBuf(static_cast<uint16_t>(argument));
  } else {
    myPacket.uint8ToBuf(ARGNINT);
    // The magnitude as the 16-bit negation, so -32768 goes out as 0x8000.
    myPacket.uint16ToBuf(static_cast<uint16_t>(-static_cast<int32_t>(argument)));
  }
  return send();
}

bool ZyRobotPacketSender::com2Bytes(uint8_t command, int8_t high, int8_t low) {
  uint16_t combined =
      static_cast<uint16_t>((static_cast<uint8_t>(high) << 8) | static_cast<uint8_t>(low));
  return comInt(command, static_cast<int16_t>(combined));
}

bool ZyRobotPacketSender::comStr(uint8_t command, const char *argument) {
  if (!connectionOpen())
    return false;
  if (argument == nullptr)
    argument = "";
  size_t len = strlen(argument);
  if (len > MAX_STRING)
    return false;
  myPacket.clear();
  myPacket.setID(command);
  myPacket.uint8ToBuf(ARGSTR);
  myPacket.uint8ToBuf(static_cast<uint8_t>(len));
  myPacket.stringToBuf(argument);
  return send();
}

bool ZyRobotPacketSender::comStrN(uint8_t command, const char *str, int size) {
  if (!connectionOpen())
    return false;
  // Beyond 250 bytes the count byte would wrap; a missing text or a negative
  // size has nothing to send. All are refused without sending.
  if (str == nullptr || size < 0 || size > MAX_STRING_N)
    return false;
  myPacket.clear();
  myPacket.setID(command);
  myPacket.uint8ToBuf(ARGSTR);
  myPacket.uint8ToBuf(static_cast<uint8_t>(size));
  myPacket.charsToBuf(str, size);
  return send();
}

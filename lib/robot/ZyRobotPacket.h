// SPDX-License-Identifier: MIT
// ZyRobotPacket: the robot protocol's packet. On the wire: sync1, sync2, a
// count byte (bytes that follow it), the packet ID, the data, and a 16-bit
// checksum sent high byte first.
#ifndef ZYROBOTPACKET_H
#define ZYROBOTPACKET_H

#include "ZyBasePacket.h"
#include "ZyTime.h"

#include <cstdint>

class ZyRobotPacket : public ZyBasePacket {
public:
  /// Capacity of a robot packet's buffer.
  static const uint16_t MAX_LENGTH = 265;
  static const uint16_t HEADER_LENGTH = 4;
  static const uint16_t FOOTER_LENGTH = 2;

  ZyRobotPacket(uint8_t sync1 = 0xfa, uint8_t sync2 = 0xfb);
  ~ZyRobotPacket() override;

  /// Writes sync bytes and count at the front and the checksum at the end.
  void finishPacket() override;

  /// The byte at offset 3, or 0 while the packet is shorter than 4 bytes.
  uint8_t getID() const;
  /// Writes the ID byte at offset 3, whatever the cursors.
  void setID(uint8_t id);
  /// Sum of the byte pairs from the ID on (high byte first), an odd last
  /// byte XORed into the low byte.
  int16_t computeChecksum() const;
  /// True when the last two bytes hold the checksum.
  bool checksumOk() const;

  ZyTime getReceivedTime() const { return myTime; }
  void setReceivedTime(ZyTime t) { myTime = t; }

private:
  uint8_t mySync1;
  uint8_t mySync2;
  ZyTime myTime;
};

#endif

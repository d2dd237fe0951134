// SPDX-License-Identifier: MIT
// Framing and checksum of the robot protocol's packets.
#include "ZyRobotPacket.h"

ZyRobotPacket::ZyRobotPacket(uint8_t sync1, uint8_t sync2)
    : ZyBasePacket(MAX_LENGTH, HEADER_LENGTH, nullptr, FOOTER_LENGTH), mySync1(sync1),
      mySync2(sync2) {}

ZyRobotPacket::~ZyRobotPacket() = default;

uint8_t ZyRobotPacket::getID() const {
  if (myLength < 4 || myBuf == nullptr || myMaxLength < 4)
    return 0;
  return static_cast<uint8_t>(myBuf[3]);
}

void ZyRobotPacket::setID(uint8_t id) {
  if (myBuf != nullptr && myMaxLength > 3)
    myBuf[3] = static_cast<char>(id);
}

void ZyRobotPacket::finishPacket() {
  uint16_t length = myLength;
  myLength = 0;
  uint8ToBuf(mySync1);
  uint8ToBuf(mySync2);
  uint8ToBuf(static_cast<uint8_t>((length - myHeaderLength + 3) & 0xff));
  myLength = length;
  int16_t checksum = computeChecksum();
  uint8ToBuf(static_cast<uint8_t>((checksum >> 8) & 0xff));
  uint8ToBuf(static_cast<uint8_t>(checksum & 0xff));
}

int16_t ZyRobotPacket::computeChecksum() const {
  if (myBuf == nullptr || myMaxLength < 3)
    return 0;
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(myBuf);
  int n = (bytes[2] - 2) & 0xff;
  // A count byte that does not match the buffer (a foreign buffer swapped
  // in) must not lead the sum past its end.
  if (3 + n > myMaxLength)
    n = myMaxLength - 3;
  uint16_t sum = 0;
  int i = 3;
  while (n > 1) {
    sum = static_cast<uint16_t>(sum + ((bytes[i] << 8) | bytes[i + 1]));
    n -= 2;
    i += 2;
  }
  if (n == 1)
    sum = static_cast<uint16_t>(sum ^ bytes[i]);
  return static_cast<int16_t>(sum);
}

bool ZyRobotPacket::checksumOk() const {
  if (static_cast<int>(myLength) - 2 < myHeaderLength || myLength > myMaxLength)
    return false;
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(myBuf);
  uint16_t stored = static_cast<uint16_t>((bytes[myLength - 2] << 8) | bytes[myLength - 1]);
  return stored == static_cast<uint16_t>(computeChecksum());
}

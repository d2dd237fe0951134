// SPDX-License-Identifier: MIT
// Controller-side decoding and encoding of robot packets.
#include "SimRobotFraming.h"

namespace simrobot {

uint16_t checksum(const uint8_t *bytes, size_t length) {
  unsigned sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2)
    sum = (sum + (static_cast<unsigned>(bytes[i]) << 8) + bytes[i + 1]) & 0xffff;
  if (i < length)
    sum ^= bytes[i];
  return static_cast<uint16_t>(sum);
}

bool intArgument(const uint8_t *data, size_t length, int &value) {
  if (length < 3 || (data[0] != ARG_INT && data[0] != ARG_NEGINT))
    return false;
  int magnitude = data[1] | (data[2] << 8);
  value = data[0] == ARG_INT ? magnitude : -magnitude;
  return true;
}

} // namespace simrobot

RobotPacketDecoder::Event RobotPacketDecoder::feed(uint8_t byte) {
  switch (myState) {
  case SYNC_1:
    if (byte != simrobot::SYNC1)
      return STRAY;
    myBytes[0] = byte;
    myState = SYNC_2;
    return NONE;
  case SYNC_2:
    if (byte == simrobot::SYNC2) {
      myBytes[1] = byte;
      myState = COUNT;
      return NONE;
    }
    if (byte == simrobot::SYNC1)
      return STRAY; // the first one was stray; this may start a packet
    myState = SYNC_1;
    return STRAY;
  case COUNT:
    myBytes[2] = byte;
    myLength = 3;
    if (byte < 3) {
      myState = SYNC_1;
      return BAD_COUNT;
    }
    myExpected = 3 + static_cast<size_t>(byte);
    myState = BODY;
    return NONE;
  case BODY:
    myBytes[myLength++] = byte;
    if (myLength < myExpected)
      return NONE;
    myState = SYNC_1;
    return receivedSum() == computedSum() ? PACKET : BAD_CHECKSUM;
  }
  return NONE;
}

uint16_t RobotPacketDecoder::receivedSum() const {
  if (myLength < 5)
    return 0;
  return static_cast<uint16_t>((myBytes[myLength - 2] << 8) | myBytes[myLength - 1]);
}

uint16_t RobotPacketDecoder::computedSum() const {
  if (myLength < 5)
    return 0;
  return simrobot::checksum(myBytes + 3, myLength - 5);
}

void RobotPacketEncoder::begin(uint8_t id) {
  myBytes[0] = simrobot::SYNC1;
  myBytes[1] = simrobot::SYNC2;
  myBytes[2] = 0;
  myBytes[3] = id;
  myLength = 4;
  myOverflow = false;
}

void RobotPacketEncoder::put(uint8_t value) {
  if (myLength >= 4 + simrobot::MAX_DATA) {
    myOverflow = true;
    return;
  }
  myBytes[myLength++] = value;
}

void RobotPacketEncoder::u8(uint8_t value) {
  put(value);
}

void RobotPacketEncoder::u16(uint16_t value) {
  put(static_cast<uint8_t>(value & 0xff));
  put(static_cast<uint8_t>(value >> 8));
}

void RobotPacketEncoder::text(const char *text, size_t maxLength) {
  for (size_t i = 0; i < maxLength && text[i] != 0; i++)
    put(static_cast<uint8_t>(text[i]));
  put(0);
}

size_t RobotPacketEncoder::finish() {
  if (myOverflow || myLength < 4)
    return 0;
  myBytes[2] = static_cast<uint8_t>(myLength - 3 + 2);
  uint16_t sum = simrobot::checksum(myBytes + 3, myLength - 3);
  myBytes[myLength++] = static_cast<uint8_t>(sum >> 8);
  myBytes[myLength++] = static_cast<uint8_t>(sum & 0xff);
  return myLength;
}

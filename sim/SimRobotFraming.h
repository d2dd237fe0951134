// SPDX-License-Identifier: MIT
// SimRobotFraming: the controller side of the robot packet framing. Decodes
// the host's packets (0xFA 0xFB, count, ID, data, 16-bit checksum high byte
// first) byte by byte and builds the controller's packets in a fixed buffer.
// Written for the simulator alone, as an independent peer of the host's
// packet code.
#ifndef SIMROBOTFRAMING_H
#define SIMROBOTFRAMING_H

#include <cstddef>
#include <cstdint>

namespace simrobot {

const uint8_t SYNC1 = 0xFA;
const uint8_t SYNC2 = 0xFB;
/// Longest packet on the wire: sync bytes, count 255, and that many bytes.
const size_t MAX_PACKET = 258;
/// Most data bytes a packet carries (the count holds ID, data and checksum).
const size_t MAX_DATA = 252;

/// Checksum of the bytes from the ID on, checksum excluded: pairs taken
/// high byte first and added modulo 65536; an odd last byte is XORed into
/// the low byte.
uint16_t checksum(const uint8_t *bytes, size_t length);

/// Argument types inside the data of a command packet.
const uint8_t ARG_INT = 0x3B;
const uint8_t ARG_NEGINT = 0x1B;
const uint8_t ARG_STRING = 0x2B;

/// The integer argument of a command packet's data: true and value set when
/// the data starts with a positive or negative integer argument.
bool intArgument(const uint8_t *data, size_t length, int &value);

} // namespace simrobot

/// Byte-by-byte decoder of the packets the host sends.
class RobotPacketDecoder {
public:
  enum Event {
    NONE,         ///< byte consumed, nothing complete yet
    PACKET,       ///< a packet with a good checksum: id(), data()
    BAD_CHECKSUM, ///< a complete packet whose checksum did not match
    BAD_COUNT,    ///< a count below 3, which no packet can have
    STRAY         ///< a byte outside any packet
  };

  Event feed(uint8_t byte);
  /// Drops an unfinished packet and hunts for the sync bytes again.
  void reset() { myState = SYNC_1; }
  bool inPacket() const { return myState != SYNC_1; }

  /// The last packet (also after BAD_CHECKSUM), whole as on the wire.
  const uint8_t *packet() const { return myBytes; }
  size_t packetLength() const { return myLength; }
  uint8_t id() const { return myBytes[3]; }
  const uint8_t *data() const { return myBytes + 4; }
  size_t dataLength() const { return myLength >= 6 ? myLength - 6 : 0; }
  /// Checksum the packet carried and the one computed over its bytes.
  uint16_t receivedSum() const;
  uint16_t computedSum() const;

private:
  enum State { SYNC_1, SYNC_2, COUNT, BODY };
  State myState = SYNC_1;
  uint8_t myBytes[simrobot::MAX_PACKET] = {0};
  size_t myLength = 0;
  size_t myExpected = 0;
};

/// Builds one packet of the controller at a time in a fixed buffer.
class RobotPacketEncoder {
public:
  void begin(uint8_t id);
  void u8(uint8_t value);
  /// Low byte first.
  void u16(uint16_t value);
  /// The text up to its first NUL or maxLength characters, then a NUL.
  void text(const char *text, size_t maxLength);
  /// Fills in the count and appends the checksum; returns the packet's
  /// length on the wire, or 0 when the data did not fit.
  size_t finish();
  const uint8_t *bytes() const { return myBytes; }

private:
  void put(uint8_t value);
  uint8_t myBytes[simrobot::MAX_PACKET] = {0};
  size_t myLength = 0;
  bool myOverflow = false;
};

#endif

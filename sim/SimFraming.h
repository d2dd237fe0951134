// SPDX-License-Identifier: MIT
// SimFraming: the controller side of the monitor's framing. Decodes the
// host's "$"-framed, escaped command packets and its "+"/"-" answers byte by
// byte, and encodes reply packets with their checksum.
#ifndef SIMFRAMING_H
#define SIMFRAMING_H

#include <cstddef>
#include <cstdint>

namespace simframe {

/// Lower-case hexadecimal digit of a nibble.
inline char hexDigit(unsigned nibble) {
  return "0123456789abcdef"[nibble & 0xf];
}
/// Value of a hexadecimal digit of either case, or -1.
int hexValue(int c);

/// Writes "$" body "#" and two lower-case checksum digits into out; returns
/// the number of bytes written, or 0 when out is too small. The body is sent
/// as it is: callers keep "$", "#" and "}" out of it.
size_t encodeReply(const char *body, size_t bodyLength, uint8_t *out, size_t capacity);

/// Sum modulo 256 of the bytes.
uint8_t checksum(const uint8_t *bytes, size_t length);

} // namespace simframe

/// Byte-by-byte decoder of what the host sends: command packets (with
/// "}"-escapes undone), acknowledgements and everything else.
class CommandDecoder {
public:
  enum Event {
    NONE,         ///< byte consumed, nothing complete yet
    COMMAND,      ///< a command packet with a good checksum: text()
    BAD_CHECKSUM, ///< a complete packet whose checksum did not match
    OVERFLOW,     ///< a packet longer than the buffer was dropped
    RESTARTED,    ///< a "$" inside a packet: the unfinished packet was dropped
    PLUS,         ///< a "+" outside a packet
    MINUS,        ///< a "-" outside a packet
    STRAY         ///< any other byte outside a packet
  };

  /// Largest command text kept: 8192 characters of data and prefix, plus room.
  static constexpr size_t MAX_TEXT = 8300;

  Event feed(uint8_t byte);
  void reset();

  /// The unescaped text of the last COMMAND (or of the packet dropped with
  /// BAD_CHECKSUM), NUL-terminated.
  const char *text() const { return myText; }
  size_t textLength() const { return myLength; }
  /// Checksum computed over the bytes received and the one the host sent
  /// (-1 when its digits were not hexadecimal), for the last packet.
  int computedSum() const { return mySum; }
  int receivedSum() const { return myReceivedSum; }
  bool inPacket() const { return myState != IDLE; }

private:
  enum State { IDLE, BODY, ESCAPE, SUM_HIGH, SUM_LOW };
  State myState = IDLE;
  char myText[MAX_TEXT + 1] = {0};
  size_t myLength = 0;
  bool myOverflow = false;
  uint8_t mySum = 0;
  int myHigh = 0;
  int myReceivedSum = -1;
};

#endif

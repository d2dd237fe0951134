// SPDX-License-Identifier: MIT
// Controller-side decoding of command packets and encoding of replies.
#include "SimFraming.h"

namespace simframe {

int hexValue(int c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

uint8_t checksum(const uint8_t *bytes, size_t length) {
  unsigned sum = 0;
  for (size_t i = 0; i < length; i++)
    sum += bytes[i];
  return static_cast<uint8_t>(sum & 0xff);
}

size_t encodeReply(const char *body, size_t bodyLength, uint8_t *out, size_t capacity) {
  if (capacity < bodyLength + 4)
    return 0;
  out[0] = '$';
  unsigned sum = 0;
  for (size_t i = 0; i < bodyLength; i++) {
    out[1 + i] = static_cast<uint8_t>(body[i]);
    sum += static_cast<uint8_t>(body[i]);
  }
  out[bodyLength + 1] = '#';
  out[bodyLength + 2] = static_cast<uint8_t>(hexDigit((sum >> 4) & 0xf));
  out[bodyLength + 3] = static_cast<uint8_t>(hexDigit(sum & 0xf));
  return bodyLength + 4;
}

} // namespace simframe

void CommandDecoder::reset() {
  myState = IDLE;
  myLength = 0;
  myText[0] = 0;
  myOverflow = false;
  mySum = 0;
}

CommandDecoder::Event CommandDecoder::feed(uint8_t byte) {
  switch (myState) {
  case IDLE:
    if (byte == '$') {
      myState = BODY;
      myLength = 0;
      myText[0] = 0;
      myOverflow = false;
      mySum = 0;
      return NONE;
    }
    if (byte == '+')
      return PLUS;
    if (byte == '-')
      return MINUS;
    return STRAY;

  case BODY:
    if (byte == '$') {
      // The host gave up on a packet and started a new one.
      myLength = 0;
      myText[0] = 0;
      myOverflow = false;
      mySum = 0;
      return RESTARTED;
    }
    if (byte == '#') {
      myState = SUM_HIGH;
      return NONE;
    }
    mySum = static_cast<uint8_t>(mySum + byte);
    if (byte == '}') {
      myState = ESCAPE;
      return NONE;
    }
    break;

  case ESCAPE:
    mySum = static_cast<uint8_t>(mySum + byte);
    byte = static_cast<uint8_t>(byte ^ 0x20);
    myState = BODY;
    break;

  case SUM_HIGH:
    myHigh = simframe::hexValue(byte);
    myState = SUM_LOW;
    return NONE;

  case SUM_LOW: {
    int low = simframe::hexValue(byte);
    myState = IDLE;
    myReceivedSum = (myHigh < 0 || low < 0) ? -1 : myHigh * 16 + low;
    myText[myLength] = 0;
    if (myOverflow)
      return OVERFLOW;
    return myReceivedSum == mySum ? COMMAND : BAD_CHECKSUM;
  }
  }

  // A text byte of the body (BODY or after an escape).
  if (myLength < MAX_TEXT)
    myText[myLength++] = static_cast<char>(byte);
  else
    myOverflow = true;
  return NONE;
}

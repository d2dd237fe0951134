// SPDX-License-Identifier: MIT
// The dialogue with the controller's resident monitor: framing, escaping
// and checksums of command and reply packets, binary data as hexadecimal
// text, and FLASH writes in 128-byte pieces.
#include "MonitorLink.h"

#include "TransferProgress.h"
#include "ZyDeviceConnection.h"
#include "ZyLog.h"
#include "ZyTime.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const int ACK_WAIT_MS = 1000;
// Stray characters before a reply's "$" may hold the search up for at most
// this long beyond the caller's wait, so a line full of noise cannot keep
// the program waiting for ever.
const long NOISE_ALLOWANCE_MS = 2000;
const int FLASH_PIECE = 128;
const int WRITE_REPLY_WAIT_MS = 1000;

} // namespace

// Longest pause between two characters of a reply, after which the reply
// counts as broken. USB serial adapters hold received bytes for up to 16 ms
// (their latency timer) before passing them on, and a loaded machine may
// not run this program for tens of milliseconds more; 100 ms rides out
// both with room to spare, yet a reply that really stopped fails within a
// tenth of a second.
const int MonitorLink::CHAR_WAIT_MS = 100;

MonitorLink::MonitorLink(ZyDeviceConnection *device) : myDevice(device) {
  myText[0] = '\0';
  myReply[0] = '\0';
  myFrame[0] = '\0';
}

int MonitorLink::readChar(int msWait) {
  if (myAheadPos < myAheadEnd)
    return static_cast<signed char>(myAhead[myAheadPos++]);
  // One byte and no more, so that nothing after it is taken from the
  // device: whoever reads the device next (the robot's handshake after a
  // probe that went unanswered) finds it there.
  if (myDevice == nullptr)
    return -1;
  char c;
  if (myDevice->read(&c, 1, msWait < 0 ? 0u : static_cast<unsigned int>(msWait)) != 1)
    return -1;
  return static_cast<signed char>(c);
}

int MonitorLink::writeChar(int c) {
  if (myDevice == nullptr)
    return -1;
  char byte = static_cast<char>(c);
  return myDevice->write(&byte, 1);
}

bool MonitorLink::writeAll(const char *bytes, size_t count) {
  if (myDevice == nullptr)
    return false;
  // A device may take part of a write; each round takes at least one byte
  // or ends the loop.
  size_t done = 0;
  while (done < count) {
    int taken = myDevice->write(bytes + done, static_cast<unsigned int>(count - done));
    if (taken <= 0)
      return false;
    done += static_cast<size_t>(taken);
  }
  return true;
}

bool MonitorLink::sendCommand(const char *text) {
  if (text == nullptr)
    text = "";
  // The packet is framed whole into myFrame and goes out in one write, so
  // the line sees no gap inside it. Only a text too long for the frame
  // even unescaped (no command of this program) goes out in more writes.
  // Every byte must go out: a command cut on the wire is a failed
  // command, not one waiting for its acknowledgement.
  unsigned char sum = 0;
  size_t used = 0;
  bool sent = true;
  myFrame[used++] = '$';
  for (const char *p = text; *p != '\0' && sent; p++) {
    if (used + 2 > sizeof myFrame) {
      sent = writeAll(myFrame, used);
      used = 0;
    }
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '}' || c == '#' || c == '$') {
      unsigned char escaped = static_cast<unsigned char>(c ^ 0x20);
      myFrame[used++] = '}';
      myFrame[used++] = static_cast<char>(escaped);
      sum = static_cast<unsigned char>(sum + '}' + escaped);
    } else {
      myFrame[used++] = static_cast<char>(c);
      sum = static_cast<unsigned char>(sum + c);
    }
  }
  if (sent && used + 3 > sizeof myFrame) {
    sent = writeAll(myFrame, used);
    used = 0;
  }
  myFrame[used++] = '#';
  myFrame[used++] = hexDigit(sum >> 4);
  myFrame[used++] = hexDigit(sum & 0xF);
  sent = sent && writeAll(myFrame, used);
  if (!sent) {
    ZyLog::log(ZyLog::Terse, "Could not send command to controller: the serial line did not "
                             "take it.");
    return false;
  }

  if (readChar(ACK_WAIT_MS) == '+') {
    ZyLog::log(ZyLog::Verbose, "Ack");
    return true;
  }
  ZyLog::log(ZyLog::Verbose, "Nack");
  return false;
}

int MonitorLink::readByte(int msWait) {
  if (myAheadPos == myAheadEnd && !fillAhead(msWait))
    return -1;
  return static_cast<unsigned char>(myAhead[myAheadPos++]);
}

bool MonitorLink::fillAhead(int msWait) {
  myAheadPos = 0;
  myAheadEnd = 0;
  if (myDevice == nullptr)
    return false;
  // The first byte with the caller's wait, exactly as a read of one byte;
  // then, without waiting, whatever came with it.
  if (myDevice->read(myAhead, 1, msWait < 0 ? 0u : static_cast<unsigned int>(msWait)) != 1)
    return false;
  int more = myDevice->read(myAhead + 1, sizeof myAhead - 1, 0);
  myAheadEnd = 1 + (more > 0 ? more : 0);
  return true;
}

MonitorLink::ReplyResult MonitorLink::receivePacket(char *buffer, int maxLength, int msWait,
                                                    int *length, bool allowLonger) {
  buffer[0] = '\0';
  *length = 0;
  if (maxLength < 0)
    maxLength = 0;

  // Skip everything up to the "$"; give up once the line has been quiet for
  // the per-character wait plus msWait, or noise has gone on too long.
  ZyTime giveUp;
  giveUp.addMsec(static_cast<long>(msWait) + CHAR_WAIT_MS + NOISE_ALLOWANCE_MS);
  while (true) {
    int c = readByte(CHAR_WAIT_MS);
    if (c == -1) {
      c = readByte(msWait);
      if (c == -1)
        return ReplyResult::NoReply;
    }
    if (c == '$')
      break;
    if (giveUp.msTo() < 0)
      return ReplyResult::NoReply;
  }

  // A pause longer than the character bound ends the packet as broken: a
  // time-out is never taken for a character.
  unsigned char sum = 0;
  int stored = 0;
  while (true) {
    int c = readByte(CHAR_WAIT_MS);
    if (c == -1) {
      buffer[stored] = '\0';
      *length = stored;
      return ReplyResult::Broken;
    }
    if (c == '#')
      break;
    if (stored == maxLength) {
      buffer[stored] = '\0';
      *length = stored;
      // The rest of an over-long body stays on the line, unacknowledged.
      return allowLonger ? ReplyResult::Ok : ReplyResult::Broken;
    }
    buffer[stored++] = static_cast<char>(c);
    sum = static_cast<unsigned char>(sum + c);
  }
  buffer[stored] = '\0';
  *length = stored;

  int first = readByte(CHAR_WAIT_MS);
  int second = first == -1 ? -1 : readByte(CHAR_WAIT_MS);
  if (second == -1)
    return ReplyResult::Broken;
  // A checksum character that is not a digit never matches.
  if (hexPairValue(first, second) == sum) {
    writeChar('+');
    return ReplyResult::Ok;
  }
  writeChar('-');
  return ReplyResult::BadChecksum;
}

bool MonitorLink::readPacket(char *buffer, int maxLength, int msWait) {
  int length = 0;
  return receivePacket(buffer, maxLength, msWait, &length, true) == ReplyResult::Ok;
}

MonitorLink::ReplyResult MonitorLink::readCheckedBinaryPacket(unsigned char *buffer, int minBytes,
                                                              int maxBytes, int msWait,
                                                              int *bytesRead) {
  if (maxBytes < 0 || minBytes < 0 || minBytes > maxBytes || 2L * maxBytes > MAX_PACKET_TEXT) {
    ZyLog::log(ZyLog::Terse, "Binary length too long for readBinaryPacket");
    return ReplyResult::BadLength;
  }
  // Room for one digit more than allowed, so an over-long body is seen as
  // such and not cut to size.
  int digits = 0;
  ReplyResult result = receivePacket(myText, 2 * maxBytes + 1, msWait, &digits, false);
  if (result != ReplyResult::Ok)
    return result;
  if (digits % 2 != 0 || digits < 2 * minBytes || digits > 2 * maxBytes)
    return ReplyResult::BadLength;
  size_t pairs = static_cast<size_t>(digits / 2);
  // Every digit is checked before a byte goes into the caller's buffer.
  if (decodeHexPairs(myText, pairs, nullptr, nullptr) != pairs)
    return ReplyResult::BadLength;
  decodeHexPairs(myText, pairs, buffer, nullptr);
  *bytesRead = digits / 2;
  return ReplyResult::Ok;
}

void MonitorLink::discardInput() {
  myAheadPos = 0;
  myAheadEnd = 0;
  if (myDevice != nullptr)
    myDevice->discardInput();
}

bool MonitorLink::waitForQuiet(int quietMs, int limitMs) {
  if (myDevice == nullptr)
    return true;
  ZyTime giveUp;
  giveUp.addMsec(limitMs);
  bool quiet = false;
  while (true) {
    char chunk[256];
    int got = myDevice->read(chunk, sizeof chunk, static_cast<unsigned int>(quietMs));
    if (got <= 0) {
      quiet = true;
      break;
    }
    if (giveUp.msTo() < 0)
      break;
  }
  discardInput();
  return quiet;
}

bool MonitorLink::writeBinaryPacket(const unsigned char *data, int length, const char *format,
                                    ...) {
  va_list args;
  va_start(args, format);
  int prefix = vsnprintf(myText, sizeof myText, format, args);
  va_end(args);

  if (prefix < 0 || length < 0 || (length > 0 && data == nullptr) ||
      2L * length + prefix > MAX_PACKET_TEXT) {
    ZyLog::log(ZyLog::Terse, "Binary length too long for writeBinaryPacket");
    return false;
  }
  char *out = myText + prefix;
  for (int i = 0; i < length; i++) {
    *out++ = hexDigit(data[i] >> 4);
    *out++ = hexDigit(data[i] & 0xF);
  }
  *out = '\0';
  return sendCommand(myText);
}

bool MonitorLink::readBinaryPacket(unsigned char *buffer, int length, int msWait) {
  if (length < 0 || 2L * length > MAX_PACKET_TEXT) {
    ZyLog::log(ZyLog::Terse, "Binary length too long for readBinaryPacket");
    return false;
  }
  int digits = 2 * length;
  // Digits a short reply does not bring decode as non-digits, giving 0xFF.
  std::memset(myText, 0xFF, static_cast<size_t>(digits));
  if (!readPacket(myText, digits, msWait)) {
    ZyLog::log(ZyLog::Normal, "Could not read binary packet");
    return false;
  }
  for (int i = 0; i < length; i++) {
    int high = hexValue(myText[2 * i]);
    int low = hexValue(myText[2 * i + 1]);
    // A non-digit sets every bit of its nibble (and a low one all eight).
    unsigned int bits = (high < 0 ? 0xF0u : static_cast<unsigned int>(high) << 4) |
                        (low < 0 ? 0xFFu : static_cast<unsigned int>(low));
    buffer[i] = static_cast<unsigned char>(bits & 0xFF);
  }
  return true;
}

bool MonitorLink::writeFlash(const unsigned char *data, int length, unsigned int address) {
  for (int offset = 0; offset < length; offset += FLASH_PIECE) {
    int piece = length - offset < FLASH_PIECE ? length - offset : FLASH_PIECE;
    unsigned int at = address + static_cast<unsigned int>(offset);
    // A stale byte must not be taken for this piece's acknowledgement.
    discardInput();
    if (!writeBinaryPacket(data + offset, piece, "FW%x,", at)) {
      if (myProgress != nullptr)
        myProgress->blockEnded(false);
      ZyLog::log(ZyLog::Terse, "Trouble writing binary packet to microcontroller");
      return false;
    }
    if (myProgress != nullptr)
      myProgress->pieceSent(at, at + static_cast<unsigned int>(piece));

    myReply[2] = '\0';
    if (!readPacket(myReply, MAX_REPLY_TEXT, WRITE_REPLY_WAIT_MS) || myReply[2] != '0') {
      if (myProgress != nullptr)
        myProgress->blockEnded(false);
      ZyLog::log(ZyLog::Terse, "Binary packet didn't write 0x%x bytes to 0x%x: %s", piece, at,
                 myReply);
      return false;
    }
  }
  if (myProgress != nullptr)
    myProgress->blockEnded(true);
  return true;
}

// SPDX-License-Identifier: MIT
// MonitorLink: the framed dialogue with the controller's resident monitor:
// "$"-framed text packets with a two-digit checksum, "+"/"-"
// acknowledgements, and binary data as hexadecimal text. A command goes out
// in one write; replies are read in chunks of what is waiting.
#ifndef MONITORLINK_H
#define MONITORLINK_H

#include "HexDigits.h"

#include <cstddef>

class TransferProgress;
class ZyDeviceConnection;

class MonitorLink {
public:
  /// The device is not owned and never changes.
  explicit MonitorLink(ZyDeviceConnection *device);

  /// One received byte (as a signed character value), or -1. Takes a byte
  /// already read ahead first; otherwise reads exactly one from the device.
  int readChar(int msWait);
  /// Writes one byte; the device's write result.
  int writeChar(int c);
  /// Sends one command packet, framed whole and written at once; true when
  /// acknowledged with "+" in 1000 ms.
  bool sendCommand(const char *text);
  /// Reads one reply body into buffer (maxLength characters + NUL).
  bool readPacket(char *buffer, int maxLength, int msWait);
  /// Sends the formatted prefix followed by the data in hexadecimal as one
  /// command packet (at most 8192 characters); true when acknowledged.
  bool writeBinaryPacket(const unsigned char *data, int length, const char *format, ...)
      __attribute__((format(printf, 4, 5)));
  /// Reads one binary reply and decodes length bytes into buffer.
  bool readBinaryPacket(unsigned char *buffer, int length, int msWait);

  /// How a checked binary read ended.
  enum class ReplyResult {
    Ok,          ///< a whole packet of the right length, checksum matched ("+" sent)
    NoReply,     ///< no "$" within the wait
    Broken,      ///< the packet stopped (a pause longer than the character bound) or overran
    BadChecksum, ///< a whole packet whose checksum did not match ("-" sent)
    BadLength    ///< a whole packet with a good checksum but the wrong number of digits
  };
  /// Reads one binary reply that must hold between minBytes and maxBytes
  /// bytes as hexadecimal digits, nothing else, then "#" and a matching
  /// checksum. Only then are the bytes decoded into buffer (maxBytes long)
  /// and their number stored in *bytesRead; otherwise buffer is untouched.
  ReplyResult readCheckedBinaryPacket(unsigned char *buffer, int minBytes, int maxBytes, int msWait,
                                      int *bytesRead);

  /// Writes length bytes into controller memory at address, 128 at a time.
  /// Each piece is reported to the progress receiver, and so is the end.
  bool writeFlash(const unsigned char *data, int length, unsigned int address);

  /// Drops input already received (read ahead by the link, and the
  /// device's and its driver's), without waiting, so the next answer read
  /// belongs to the next command sent.
  void discardInput();
  /// Before a retry: reads and drops whatever still arrives until the line
  /// has been quiet for quietMs, at most limitMs in all; then discards.
  /// True when the line fell quiet within the limit.
  bool waitForQuiet(int quietMs, int limitMs);

  /// Receiver of FLASH write progress; nullptr (the default) reports to
  /// nobody. Not owned.
  void setProgress(TransferProgress *progress) { myProgress = progress; }
  TransferProgress *progress() const { return myProgress; }

  ZyDeviceConnection *device() const { return myDevice; }
  /// Bytes read from the device ahead of need and not yet taken.
  int bufferedInput() const { return myAheadEnd - myAheadPos; }

  static const int MAX_PACKET_TEXT = 8192;
  /// Longest reply body read after an erase or a write command.
  static const int MAX_REPLY_TEXT = 2048;
  /// Bytes taken from the device at most per read of a reply: what is
  /// waiting, so one read brings many bytes instead of one.
  static const int READ_AHEAD = 512;

  MonitorLink(const MonitorLink &) = delete;
  MonitorLink &operator=(const MonitorLink &) = delete;

  /// Longest pause between two characters of a reply.
  static const int CHAR_WAIT_MS;

private:
  /// One received byte, 0 to 255, or -1 when none came within msWait:
  /// from the bytes read ahead, or else from a new read of the device.
  int readByte(int msWait);
  /// Reads one byte from the device within msWait and, without waiting,
  /// what came with it (READ_AHEAD in all at most). False when none came.
  bool fillAhead(int msWait);
  /// Writes count bytes through the device, however many writes it takes;
  /// false when the device takes none.
  bool writeAll(const char *bytes, size_t count);
  /// Waits for "$" and reads the body (at most maxLength characters) and
  /// checksum; the body stays in buffer, NUL-terminated, *length its size.
  /// With allowLonger, a body that fills the buffer without "#" following
  /// at once is Ok unchecked (the rest stays on the line).
  ReplyResult receivePacket(char *buffer, int maxLength, int msWait, int *length, bool allowLonger);

  ZyDeviceConnection *myDevice;
  TransferProgress *myProgress = nullptr;
  // Fixed buffers, so nothing is allocated per packet: the hexadecimal text
  // of a binary packet in either direction, and the reply to a FLASH write.
  // One more than a whole block's digits, so an over-long reply shows.
  char myText[MAX_PACKET_TEXT + 2];
  char myReply[MAX_REPLY_TEXT + 1];
  // A command packet as it goes on the line: "$", the longest text, "#"
  // and the checksum.
  char myFrame[MAX_PACKET_TEXT + 4];
  // Bytes read ahead from the device; [myAheadPos, myAheadEnd) not taken.
  char myAhead[READ_AHEAD];
  int myAheadPos = 0;
  int myAheadEnd = 0;
};

#endif

// MonitorLink: the framed dialogue with the controller's resident monitor:
// "$"-framed text packets with a two-digit checksum, "+"/"-"
// acknowledgements, and binary data as hexadecimal text.
#ifndef MONITORLINK_H
#define MONITORLINK_H

#include <cstddef>

class ZyDeviceConnection;

/// Nibble (0-15) to lower-case hexadecimal digit.
char hexDigit(int nibble);
/// Hexadecimal digit of either case to 0-15, anything else to -1.
int hexValue(int c);

class MonitorLink {
public:
  /// The device is not owned and never changes.
  explicit MonitorLink(ZyDeviceConnection *device);

  /// One received byte (as a signed character value), or -1.
  int readChar(int msWait);
  /// Writes one byte; the device's write result.
  int writeChar(int c);
  /// Sends one command packet; true when acknowledged with "+" in 1000 ms.
  bool sendCommand(const char *text);
  /// Reads one reply body into buffer (maxLength characters + NUL).
  bool readPacket(char *buffer, int maxLength, int msWait);
  /// Sends the formatted prefix followed by the data in hexadecimal as one
  /// command packet (at most 8192 characters); true when acknowledged.
  bool writeBinaryPacket(const unsigned char *data, int length, const char *format, ...)
      __attribute__((format(printf, 4, 5)));
  /// Reads one binary reply and decodes length bytes into buffer.
  bool readBinaryPacket(unsigned char *buffer, int length, int msWait);
  /// Writes length bytes into controller memory at address, 128 at a time.
  bool writeFlash(const unsigned char *data, int length, unsigned int address);

  ZyDeviceConnection *device() const { return myDevice; }

  static const int MAX_PACKET_TEXT = 8192;
  /// Longest reply body read after an erase or a write command.
  static const int MAX_REPLY_TEXT = 2048;

  MonitorLink(const MonitorLink &) = delete;
  MonitorLink &operator=(const MonitorLink &) = delete;

private:
  ZyDeviceConnection *myDevice;
  // Fixed buffers, so nothing is allocated per packet: the hexadecimal text
  // of a binary packet in either direction, and the reply to a FLASH write.
  char myText[MAX_PACKET_TEXT + 1];
  char myReply[MAX_REPLY_TEXT + 1];
};

#endif

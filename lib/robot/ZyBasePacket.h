// SPDX-License-Identifier: MIT
// ZyBasePacket: a byte buffer with a reserved header, a footer that reads
// never consume, a write cursor and a read cursor, and typed put and get
// operations (multi-byte values least significant byte first).
#ifndef ZYBASEPACKET_H
#define ZYBASEPACKET_H

#include <cstdint>

class ZyBasePacket {
public:
  /// With no buffer and a non-zero size the packet allocates and owns a
  /// buffer of that size; otherwise it uses the given one without owning it.
  ZyBasePacket(uint16_t bufferSize = 0, uint16_t headerLength = 0, char *buf = nullptr,
               uint16_t footerLength = 0);
  virtual ~ZyBasePacket();

  /// Length := header length; the read cursor stays.
  virtual void clear();
  /// Fills in header and trailer before sending; nothing in the base class.
  virtual void finishPacket() {}
  /// "Packet: " and every byte as " %d " on standard output.
  virtual void printBytes() const;
  /// "Packet: " and every byte as " 0x%x " on standard output.
  virtual void printHexBytes() const;

  virtual void int8ToBuf(int8_t val);
  virtual void int16ToBuf(int16_t val);
  virtual void int32ToBuf(int32_t val);
  virtual void uint8ToBuf(uint8_t val);
  virtual void uint16ToBuf(uint16_t val);
  virtual void uint32ToBuf(uint32_t val);
  /// The text and its terminating NUL; no text counts as the empty text.
  virtual void stringToBuf(const char *str);
  /// Exactly length bytes of str, no terminator.
  virtual void charsToBuf(const char *str, int length);
  /// Exactly length bytes: str cut to length, or str padded with NULs.
  virtual void paddedStringToBuf(const char *str, int length);
  virtual void dataToBuf(const char *data, int length);
  virtual void dataToBuf(const unsigned char *data, int length);

  virtual int8_t bufToInt8();
  virtual int16_t bufToInt16();
  virtual int32_t bufToInt32();
  virtual uint8_t bufToUint8();
  virtual uint16_t bufToUint16();
  virtual uint32_t bufToUint32();
  /// Reads a NUL-terminated text into dst, at most maxLen - 1 characters.
  virtual void bufToStr(char *dst, int maxLen);
  virtual void bufToData(char *dst, int length);
  virtual void bufToData(unsigned char *dst, int length);

  /// Read cursor := header length.
  virtual void rewindRead();

  virtual uint16_t getLength() const { return myLength; }
  virtual uint16_t getDataLength() const;
  virtual uint16_t getReadLength() const { return myReadLength; }
  virtual uint16_t getDataReadLength() const;
  virtual uint16_t getHeaderLength() const { return myHeaderLength; }
  virtual uint16_t getFooterLength() const { return myFooterLength; }
  virtual uint16_t getMaxLength() const { return myMaxLength; }
  virtual const char *getBuf() const { return myBuf; }
  virtual char *getBuf() { return myBuf; }

  /// Uses the caller's buffer of the given capacity (not owned).
  virtual void setBuf(char *buf, uint16_t bufferSize);
  /// Grows an owned buffer; the old contents are not kept.
  virtual void setMaxLength(uint16_t bufferSize);
  /// False when length exceeds the capacity.
  virtual bool setLength(uint16_t length);
  virtual void setReadLength(uint16_t readLength) { myReadLength = readLength; }
  /// False when length exceeds the capacity.
  virtual bool setHeaderLength(uint16_t length);
  /// Takes the other packet's length, read cursor and bytes.
  virtual void copyFrom(const ZyBasePacket *other);

  /// True when n more bytes fit; logs why not.
  bool hasWriteCapacity(int bytes) const;
  /// True when n bytes can be read before the footer.
  bool canRead(int bytes) const;

  ZyBasePacket(const ZyBasePacket &) = delete;
  ZyBasePacket &operator=(const ZyBasePacket &) = delete;

protected:
  void appendBytes(const void *data, int length);
  bool readBytes(void *dst, int length);

  uint16_t myHeaderLength;
  uint16_t myFooterLength;
  uint16_t myMaxLength;
  uint16_t myReadLength;
  bool myOwnMyBuf;
  char *myBuf;
  uint16_t myLength;
};

#endif

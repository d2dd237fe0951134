// SPDX-License-Identifier: MIT
// Byte buffer with header, footer and two cursors; typed appends test the
// capacity first and typed reads never reach into the footer.
#include "ZyBasePacket.h"

#include "ZyLog.h"

#include <cstdio>
#include <cstring>

ZyBasePacket::ZyBasePacket(uint16_t bufferSize, uint16_t headerLength, char *buf,
                           uint16_t footerLength)
    : myHeaderLength(headerLength), myFooterLength(footerLength), myMaxLength(bufferSize),
      myReadLength(headerLength), myOwnMyBuf(false), myBuf(buf), myLength(headerLength) {
  if (buf == nullptr && bufferSize > 0) {
    myBuf = new char[bufferSize];
    // Zero-filled so that a packet inspected before it is written holds no
    // indeterminate bytes.
    memset(myBuf, 0, bufferSize);
    myOwnMyBuf = true;
  }
}

ZyBasePacket::~ZyBasePacket() {
  if (myOwnMyBuf)
    delete[] myBuf;
}

void ZyBasePacket::clear() {
  myLength = myHeaderLength;
}

void ZyBasePacket::printBytes() const {
  printf("Packet: ");
  for (int i = 0; i < myLength && i < myMaxLength; i++)
    printf(" %d ", static_cast<unsigned char>(myBuf[i]));
  printf("\n");
}

void ZyBasePacket::printHexBytes() const {
  printf("Packet: ");
  for (int i = 0; i < myLength && i < myMaxLength; i++)
    printf(" 0x%x ", static_cast<unsigned char>(myBuf[i]));
  printf("\n");
}

bool ZyBasePacket::hasWriteCapacity(int bytes) const {
  if (bytes < 0) {
    ZyLog::log(ZyLog::Normal, "ZyBasePacket::hasWriteCapacity(%d) cannot negative amount", bytes);
    return false;
  }
  if (static_cast<long>(myLength) + bytes > myMaxLength) {
    ZyLog::log(ZyLog::Normal,
               "ZyBasePacket::hasWriteCapacity(%d) exceeds size current = %d max = %d", bytes,
               myLength, myMaxLength);
    return false;
  }
  return true;
}

bool ZyBasePacket::canRead(int bytes) const {
  if (bytes <= 0 || myBuf == nullptr)
    return false;
  long end = static_cast<long>(myReadLength) + bytes;
  // The capacity bound matters only when a caller's buffer was swapped in
  // under a longer length; it keeps reads inside the buffer.
  return end <= static_cast<long>(myLength) - myFooterLength && end <= myMaxLength;
}

void ZyBasePacket::appendBytes(const void *data, int length) {
  if (!hasWriteCapacity(length))
    return;
  if (length > 0)
    memcpy(myBuf + myLength, data, static_cast<size_t>(length));
  myLength = static_cast<uint16_t>(myLength + length);
}

bool ZyBasePacket::readBytes(void *dst, int length) {
  if (!canRead(length))
    return false;
  memcpy(dst, myBuf + myReadLength, static_cast<size_t>(length));
  myReadLength = static_cast<uint16_t>(myReadLength + length);
  return true;
}

void ZyBasePacket::int8ToBuf(int8_t val) {
  uint8ToBuf(static_cast<uint8_t>(val));
}

void ZyBasePacket::int16ToBuf(int16_t val) {
  uint16ToBuf(static_cast<uint16_t>(val));
}

void ZyBasePacket::int32ToBuf(int32_t val) {
  uint32ToBuf(static_cast<uint32_t>(val));
}

void ZyBasePacket::uint8ToBuf(uint8_t val) {
  appendBytes(&val, 1);
}

void ZyBasePacket::uint16ToBuf(uint16_t val) {
  unsigned char bytes[2] = {static_cast<unsigned char>(val & 0xff),
                            static_cast<unsigned char>((val >> 8) & 0xff)};
  appendBytes(bytes, 2);
}

void ZyBasePacket::uint32ToBuf(uint32_t val) {
  unsigned char bytes[4] = {static_cast<unsigned char>(val & 0xff),
                            static_cast<unsigned char>((val >> 8) & 0xff),
                            static_cast<unsigned char>((val >> 16) & 0xff),
                            static_cast<unsigned char>((val >> 24) & 0xff)};
  appendBytes(bytes, 4);
}

void ZyBasePacket::stringToBuf(const char *str) {
  if (str == nullptr)
    str = "";
  size_t len = strlen(str);
  if (len > 0xffff) {
    hasWriteCapacity(0x10000); // too long for any packet: reports the overflow
    return;
  }
  appendBytes(str, static_cast<int>(len) + 1);
}

void ZyBasePacket::charsToBuf(const char *str, int length) {
  // Callers keep the size within the packet; an oversized or negative
  // request is refused rather than written past the buffer.
  if (str == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyBasePacket::charsToBuf(NULL, %d) cannot add from null address",
               length);
    return;
  }
  appendBytes(str, length);
}

void ZyBasePacket::paddedStringToBuf(const char *str, int length) {
  if (!hasWriteCapacity(length))
    return;
  if (str == nullptr)
    str = "";
  size_t textLen = strnlen(str, static_cast<size_t>(length));
  memcpy(myBuf + myLength, str, textLen);
  memset(myBuf + myLength + textLen, 0, static_cast<size_t>(length) - textLen);
  myLength = static_cast<uint16_t>(myLength + length);
}

void ZyBasePacket::dataToBuf(const char *data, int length) {
  if (data == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyBasePacket::dataToBuf(NULL, %d) cannot add from null address",
               length);
    return;
  }
  appendBytes(data, length);
}

void ZyBasePacket::dataToBuf(const unsigned char *data, int length) {
  dataToBuf(reinterpret_cast<const char *>(data), length);
}

int8_t ZyBasePacket::bufToInt8() {
  return static_cast<int8_t>(bufToUint8());
}

int16_t ZyBasePacket::bufToInt16() {
  return static_cast<int16_t>(bufToUint16());
}

int32_t ZyBasePacket::bufToInt32() {
  return static_cast<int32_t>(bufToUint32());
}

uint8_t ZyBasePacket::bufToUint8() {
  unsigned char b = 0;
  if (!readBytes(&b, 1))
    return 0;
  return b;
}

uint16_t ZyBasePacket::bufToUint16() {
  unsigned char b[2];
  if (!readBytes(b, 2))
    return 0;
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t ZyBasePacket::bufToUint32() {
  unsigned char b[4];
  if (!readBytes(b, 4))
    return 0;
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void ZyBasePacket::bufToStr(char *dst, int maxLen) {
  if (dst == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyBasePacket::bufToStr(NULL, %d) cannot write to null address",
               maxLen);
    return;
  }
  // A destination without room even for the terminator is left alone.
  if (maxLen <= 0)
    return;
  dst[0] = '\0';
  if (!canRead(1))
    return;
  int copied = 0;
  while (canRead(1) && copied < maxLen - 1 && myBuf[myReadLength] != '\0') {
    dst[copied++] = myBuf[myReadLength];
    myReadLength++;
  }
  dst[copied] = '\0';
  if (canRead(1) && myBuf[myReadLength] == '\0')
    myReadLength++;
}

void ZyBasePacket::bufToData(char *dst, int length) {
  if (dst == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyBasePacket::bufToData(NULL, %d) cannot write to null address",
               length);
    return;
  }
  readBytes(dst, length);
}

void ZyBasePacket::bufToData(unsigned char *dst, int length) {
  bufToData(reinterpret_cast<char *>(dst), length);
}

void ZyBasePacket::rewindRead() {
  myReadLength = myHeaderLength;
}

uint16_t ZyBasePacket::getDataLength() const {
  int len = static_cast<int>(myLength) - myHeaderLength - myFooterLength;
  return static_cast<uint16_t>(len < 0 ? 0 : len);
}

uint16_t ZyBasePacket::getDataReadLength() const {
  int len = static_cast<int>(myReadLength) - myHeaderLength;
  return static_cast<uint16_t>(len < 0 ? 0 : len);
}

void ZyBasePacket::setBuf(char *buf, uint16_t bufferSize) {
  if (myOwnMyBuf)
    delete[] myBuf;
  myOwnMyBuf = false;
  myBuf = buf;
  myMaxLength = buf == nullptr ? 0 : bufferSize;
}

void ZyBasePacket::setMaxLength(uint16_t bufferSize) {
  if (bufferSize <= myMaxLength)
    return;
  if (myOwnMyBuf)
    delete[] myBuf;
  myBuf = new char[bufferSize];
  memset(myBuf, 0, bufferSize);
  myMaxLength = bufferSize;
  myOwnMyBuf = true;
}

bool ZyBasePacket::setLength(uint16_t length) {
  // Refused for every buffer, owned or not: a length past the capacity would
  // let later reads leave the buffer.
  if (length > myMaxLength)
    return false;
  myLength = length;
  return true;
}

bool ZyBasePacket::setHeaderLength(uint16_t length) {
  if (length > myMaxLength)
    return false;
  myHeaderLength = length;
  return true;
}

void ZyBasePacket::copyFrom(const ZyBasePacket *other) {
  if (other == nullptr || other == this)
    return;
  uint16_t len = other->getLength();
  if (len > other->getMaxLength())
    len = other->getMaxLength();
  if (len > myMaxLength) {
    // Only an owned buffer can grow; a caller's buffer is left unchanged.
    if (!myOwnMyBuf && myBuf != nullptr)
      return;
    setMaxLength(len);
  }
  if (len > 0)
    memcpy(myBuf, other->getBuf(), len);
  myLength = len;
  myReadLength = other->getReadLength();
}

// SPDX-License-Identifier: MIT
// HexDigits: hexadecimal text both ways, for everything that reads or
// writes it: the records of the text firmware readers, the monitor link's
// checksums and binary data, and load addresses given by the operator. One
// table of digit values, one pair decoder that also sums the bytes for a
// record's checksum.
#ifndef HEXDIGITS_H
#define HEXDIGITS_H

#include <cstddef>

/// Value of every byte as a hexadecimal digit of either case, or -1.
struct HexTable {
  signed char value[256];
  constexpr HexTable() : value() {
    for (int i = 0; i < 256; i++)
      value[i] = -1;
    for (int i = 0; i < 10; i++)
      value['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; i++) {
      value['a' + i] = static_cast<signed char>(10 + i);
      value['A' + i] = static_cast<signed char>(10 + i);
    }
  }
};
inline constexpr HexTable kHexTable;

/// 0 to 15 for a hexadecimal digit of either case, -1 for anything else:
/// c is a character (signed or not), a byte 0 to 255, or -1 for none.
inline int hexValue(int c) {
  return c >= -128 && c <= 255 ? kHexTable.value[static_cast<unsigned char>(c)] : -1;
}

/// Lower-case hexadecimal digit of the low four bits of nibble.
inline char hexDigit(int nibble) {
  return "0123456789abcdef"[nibble & 0xF];
}

/// The byte two digits spell (high first), or -1 when either is not a
/// hexadecimal digit.
inline int hexPairValue(int high, int low) {
  int h = hexValue(high);
  int l = hexValue(low);
  return (h | l) < 0 ? -1 : h * 16 + l;
}

/// Decodes pairs of digits from text: each byte goes to out (when out is
/// not nullptr) and is added to *sum (when sum is not nullptr), for the
/// record's checksum. Stops at the first pair that is not two digits.
/// Returns the number of pairs decoded: pairs when all of them were.
inline size_t decodeHexPairs(const char *text, size_t pairs, unsigned char *out,
                             unsigned int *sum) {
  unsigned int total = 0;
  size_t done = 0;
  for (; done < pairs; done++) {
    int byte = hexPairValue(text[2 * done], text[2 * done + 1]);
    if (byte < 0)
      break;
    if (out != nullptr)
      out[done] = static_cast<unsigned char>(byte);
    total += static_cast<unsigned int>(byte);
  }
  if (sum != nullptr)
    *sum += total;
  return done;
}

/// The value of count characters already known to be hexadecimal digits
/// (at most 8 of them: the value fits 32 bits).
inline unsigned long hexNumber(const char *digits, size_t count) {
  unsigned long value = 0;
  for (size_t i = 0; i < count; i++)
    value = value * 16 + static_cast<unsigned long>(hexValue(digits[i]));
  return value;
}

/// Reads a whole text of 1 to maxDigits (at most 8) hexadecimal digits,
/// nothing else, into *value. False, *value untouched, when it is not one.
inline bool parseHexNumber(const char *text, size_t maxDigits, unsigned long *value) {
  size_t count = 0;
  for (; text[count] != '\0'; count++)
    if (count == maxDigits || hexValue(text[count]) < 0)
      return false;
  if (count == 0)
    return false;
  *value = hexNumber(text, count);
  return true;
}

#endif

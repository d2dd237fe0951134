// SPDX-License-Identifier: MIT
// HexDigits: the value of a hexadecimal digit of either case, by table, for
// the text firmware readers.
#ifndef HEXDIGITS_H
#define HEXDIGITS_H

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

/// 0 to 15 for a hexadecimal digit, -1 for anything else.
inline int hexOf(char c) {
  return kHexTable.value[static_cast<unsigned char>(c)];
}

#endif

// SPDX-License-Identifier: MIT
// Firmware files for the tests, built with their checksums: S-record lines
// and files, Intel HEX records and files, and raw binary images; and a
// scratch directory for the files the tests load.
#ifndef FIRMWAREFILES_H
#define FIRMWAREFILES_H

#include "TempFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace records {

inline std::string hexByte(unsigned int value) {
  char text[3];
  snprintf(text, sizeof(text), "%02X", value & 0xFF);
  return text;
}

/// One S1, S2 or S3 record (type '1', '2' or '3') with a correct checksum.
inline std::string dataRecord(char type, unsigned long address,
                              const std::vector<unsigned char> &data) {
  int addressBytes = type == '1' ? 2 : type == '2' ? 3 : 4;
  unsigned int count = static_cast<unsigned int>(addressBytes + data.size() + 1);
  unsigned int sum = count;
  std::string line = std::string("S") + type + hexByte(count);
  for (int i = addressBytes - 1; i >= 0; i--) {
    unsigned int b = (address >> (8 * i)) & 0xFF;
    sum += b;
    line += hexByte(b);
  }
  for (unsigned char b : data) {
    sum += b;
    line += hexByte(b);
  }
  return line + hexByte(0xFF - (sum & 0xFF));
}

/// count bytes counting up from first.
inline std::vector<unsigned char> bytes(size_t count, unsigned char first = 0) {
  std::vector<unsigned char> out(count);
  for (size_t i = 0; i < count; i++)
    out[i] = static_cast<unsigned char>(first + i);
  return out;
}

/// Completes a line of odd length: prefix is the record type and an odd
/// number of hexadecimal digits; the two characters that make the line pass
/// the checksum test are appended (the last digit of the prefix pairs with
/// the first checksum digit in the sum).
inline std::string oddLengthLine(const std::string &prefix) {
  auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  unsigned int sum = 0;
  for (size_t p = 2; p + 1 < prefix.size(); p += 2)
    sum += static_cast<unsigned int>(value(prefix[p]) * 16 + value(prefix[p + 1]));
  int last = value(prefix.back());
  const char *digits = "0123456789ABCDEF";
  for (int x = 0; x < 16; x++)
    for (int y = 0; y < 16; y++)
      if (((0xFF - ((sum + static_cast<unsigned int>(last * 16 + x)) & 0xFF)) & 0xFF) ==
          static_cast<unsigned int>(x * 16 + y))
        return prefix + digits[x] + digits[y];
  ADD_FAILURE() << "no checksum completes " << prefix;
  return prefix;
}

/// A scratch directory removed with its files at the end of the test.
using TempDir = ::TempDir;

/// Lines joined with line feeds, each one ended, without anything added.
inline std::string rawLines(const std::vector<std::string> &all) {
  std::string out;
  for (const auto &line : all)
    out += line + "\n";
  return out;
}

/// A whole file: the lines, then an S9 end record unless the last line
/// already is an end record (S7, S8 or S9).
inline std::string lines(const std::vector<std::string> &all) {
  std::string out = rawLines(all);
  bool ended = !all.empty() && all.back().size() >= 2 &&
               (all.back()[0] == 'S' || all.back()[0] == 's') &&
               (all.back()[1] == '7' || all.back()[1] == '8' || all.back()[1] == '9');
  return ended ? out : out + "S9030000FC\n";
}

/// An S2 record of data at address, ended with a line feed.
inline std::string s2Line(unsigned long address, const std::string &data) {
  return dataRecord('2', address, std::vector<unsigned char>(data.begin(), data.end())) + "\n";
}

/// The end record an S-record file closes with.
inline const std::string END_RECORD = "S9030000FC\n";

/// The bytes made by pattern(address) for every address in [from, to).
template <typename Pattern>
std::vector<unsigned char> patternBytes(unsigned long from, unsigned long to, Pattern pattern) {
  std::vector<unsigned char> out;
  for (unsigned long a = from; a < to; a++)
    out.push_back(static_cast<unsigned char>(pattern(a)));
  return out;
}

/// An S-record file holding data at address, in S2 records of recordSize
/// bytes, with a header and an S8 end record.
inline std::string srecordFile(unsigned long address, const std::vector<unsigned char> &data,
                               size_t recordSize = 32) {
  std::string out = "S00600004844521B\n";
  for (size_t i = 0; i < data.size(); i += recordSize) {
    size_t n = std::min(recordSize, data.size() - i);
    out += dataRecord('2', address + i,
                      std::vector<unsigned char>(data.begin() + static_cast<long>(i),
                                                 data.begin() + static_cast<long>(i + n))) +
           "\n";
  }
  return out + "S804000000FB\n";
}

/// One Intel HEX record (":" count, offset, type, data, checksum).
inline std::string hexRecord(unsigned int type, unsigned int offset,
                             const std::vector<unsigned char> &data) {
  unsigned int sum =
      static_cast<unsigned int>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
  std::string line = ":" + hexByte(static_cast<unsigned int>(data.size())) + hexByte(offset >> 8) +
                     hexByte(offset) + hexByte(type);
  for (unsigned char b : data) {
    sum += b;
    line += hexByte(b);
  }
  return line + hexByte(0x100 - (sum & 0xFF));
}

/// The Intel HEX end record.
inline const std::string HEX_END = ":00000001FF";

/// An Intel HEX file holding data at address: extended linear address
/// records where the upper 16 bits change, data records of recordSize
/// bytes, then the end record (unless ended is false).
inline std::string hexFile(unsigned long address, const std::vector<unsigned char> &data,
                           size_t recordSize = 16, bool ended = true) {
  std::string out;
  unsigned long upper = ~0ul;
  for (size_t i = 0; i < data.size();) {
    unsigned long a = address + i;
    if (a >> 16 != upper) {
      upper = a >> 16;
      out +=
          hexRecord(4, 0,
                    {static_cast<unsigned char>(upper >> 8), static_cast<unsigned char>(upper)}) +
          "\n";
    }
    // A record never crosses a 64 KB boundary.
    size_t n = std::min({recordSize, data.size() - i, 0x10000 - (a & 0xFFFF)});
    out += hexRecord(0, static_cast<unsigned int>(a & 0xFFFF),
                     std::vector<unsigned char>(data.begin() + static_cast<long>(i),
                                                data.begin() + static_cast<long>(i + n))) +
           "\n";
    i += n;
  }
  return ended ? out + HEX_END + "\n" : out;
}

/// A raw binary image: the bytes as they are.
inline std::string binaryFile(const std::vector<unsigned char> &data) {
  return std::string(data.begin(), data.end());
}

} // namespace records

#endif

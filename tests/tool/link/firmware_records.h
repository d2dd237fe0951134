// Helpers for the firmware download tests: S-record lines built with their
// checksums, and a scratch directory for the files the tests load.
#ifndef FIRMWARE_RECORDS_H
#define FIRMWARE_RECORDS_H

#include "TempFiles.h"

#include <gtest/gtest.h>

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

} // namespace records

#endif

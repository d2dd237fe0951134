// SPDX-License-Identifier: MIT
// Texts from outside the tool, shown with every character that would not
// show as itself escaped.
#include "ShownText.h"

#include <cstdio>

namespace {
/// Code points that print nothing or turn the text around: a planted path
/// could look like another with them.
bool invisible(unsigned long code) {
  return code < 0xA0 || code == 0xAD || code == 0x061C || code == 0x180E ||
         (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2060 && code <= 0x206F) || code == 0xFEFF ||
         (code >= 0xFFF9 && code <= 0xFFFB) || (code >= 0xE0000 && code <= 0xE007F);
}

/// Length of the visible UTF-8 character at text[at], 0 when the bytes
/// there are not one.
size_t visibleSequence(const std::string &text, size_t at) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length;
  unsigned long code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  for (size_t i = 1; i < length; i++) {
    unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80)
      return 0;
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and code points past Unicode's last.
  static const unsigned long least[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
      invisible(code))
    return 0;
  return length;
}
} // namespace

std::string escapedText(const std::string &text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      shown += "\\\\";
      i++;
    } else if (c >= 0x20 && c < 0x7F) {
      shown.push_back(static_cast<char>(c));
      i++;
    } else if (size_t length = c >= 0x80 ? visibleSequence(text, i) : 0) {
      shown.append(text, i, length);
      i += length;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
      i++;
    }
  }
  return shown;
}

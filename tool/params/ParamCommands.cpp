// SPDX-License-Identifier: MIT
// Showing, setting and listing parameters of the FLASH image by keyword.
#include "ParamCommands.h"

#include "FlashImage.h"
#include "ZyConfig.h"
#include "ZyLog.h"
#include "ZyUtil.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

/// Stands in for an absent value in the Verbose trace line.
const char *const NO_VALUE = "(none)";

bool matches(const ParamEntry &entry, const char *keyword) {
  if (ZyUtil::compareTextNoCase(entry.name, keyword) == 0)
    return true;
  // An empty alias means the entry has none; it never matches.
  return entry.alias[0] != '\0' && ZyUtil::compareTextNoCase(entry.alias, keyword) == 0;
}

ParamEntry *findEntry(ParamEntry *table, const char *keyword) {
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
    if (matches(*entry, keyword))
      return entry;
  return nullptr;
}

/// Checks a text value before it is stored: a text that a parameter file
/// could not carry back is refused, and one longer than the field is cut
/// with a word to say so. False when refused.
bool acceptText(const ParamEntry &entry, const char *value, ParamRefusal *refusal) {
  if (!ZyConfig::textFileCanCarry(value)) {
    ZyLog::log(ZyLog::Normal, "Value for %s refused: %s.", entry.name, ZyConfig::TEXT_RULE);
    *refusal = ParamRefusal::notStorable;
    return false;
  }
  size_t length = strlen(value);
  if (length > entry.size)
    *refusal = ParamRefusal::textCut;
  if (length > entry.size)
    ZyLog::log(ZyLog::Normal, "Value for %s cut to its first %d characters (%d given).", entry.name,
               static_cast<int>(entry.size), static_cast<int>(length));
  return true;
}

/// Copies at most size characters of value into dest and zero-fills the
/// rest of the size bytes; a value of size characters or more leaves no
/// terminator.
void copyTextField(char *dest, const char *value, unsigned char size) {
  strncpy(dest, value, size);
}

/// The value message, one blank, and at most size characters of the text.
void showText(const ParamEntry &entry, const char *text) {
  ZyLog::log(ZyLog::Normal, "%s %.*s", entry.valueMessage, static_cast<int>(entry.size), text);
}

/// Checks that every character is a decimal digit, the first possibly '-',
/// and converts. A lone "-" and the empty text give 0. A number outside the
/// 32-bit signed range is refused rather than converted with overflow.
bool parseInteger(const char *text, long *number) {
  const char *p = text;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  long long magnitude = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9')
      return false;
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1)
      return false;
  }
  long long result = negative ? -magnitude : magnitude;
  if (result > INT_MAX || result < INT_MIN)
    return false;
  *number = static_cast<long>(result);
  return true;
}

void storeInteger(const ParamEntry &entry, unsigned char *field, long number) {
  if (entry.kind == ParamKind::uint8) {
    field[0] = static_cast<unsigned char>(number & 0xFF);
  } else {
    unsigned short word = static_cast<unsigned short>(number & 0xFFFF);
    memcpy(field, &word, sizeof word);
  }
}

/// The integer at field, stored the way of the entry's kind.
int integerAt(const ParamEntry &entry, const unsigned char *field) {
  if (entry.kind == ParamKind::uint8)
    return field[0];
  unsigned short word;
  memcpy(&word, field, sizeof word);
  if (entry.kind == ParamKind::int16)
    return static_cast<short>(word);
  return word;
}

void setInteger(const ParamEntry &entry, unsigned char *field, const char *value,
                ParamRefusal *refusal) {
  if (value != nullptr) {
    long number = 0;
    if (!parseInteger(value, &number)) {
      ZyLog::log(ZyLog::Normal, "Value for %s must be an integer.", entry.name);
      *refusal = ParamRefusal::notInteger;
      return;
    }
    if (entry.minimum != -1 && number < entry.minimum) {
      ZyLog::log(ZyLog::Normal, "Value for %s must be an integer >= %d.", entry.name,
                 entry.minimum);
      *refusal = ParamRefusal::outOfRange;
      return;
    }
    if (entry.maximum != -1 && number > entry.maximum) {
      ZyLog::log(ZyLog::Normal, "Value for %s must be an integer <= %d.", entry.name,
                 entry.maximum);
      *refusal = ParamRefusal::outOfRange;
      return;
    }
    storeInteger(entry, field, number);
  }
  int stored = integerAt(entry, field);
  if (stored >= 0 && stored <= 4 && entry.valueTexts[stored][0] != '\0')
    ZyLog::log(ZyLog::Normal, "%s", entry.valueTexts[stored]);
  else if (entry.valueMessage[0] != '\0')
    ZyLog::log(ZyLog::Normal, "%s %d.", entry.valueMessage, stored);
}

} // namespace

int readInteger(const ParamEntry &entry) {
  return integerAt(entry, entry.value);
}

bool knowsKeyword(ParamEntry *table, const char *keyword) {
  return table != nullptr && keyword != nullptr && findEntry(table, keyword) != nullptr;
}

const char *paramRefusalName(ParamRefusal refusal) {
  switch (refusal) {
  case ParamRefusal::none:
    return "";
  case ParamRefusal::notInteger:
    return "not an integer";
  case ParamRefusal::outOfRange:
    return "out of range";
  case ParamRefusal::notStorable:
    return "text not storable";
  case ParamRefusal::textCut:
    return "text cut";
  }
  return "";
}

bool setParameter(ParamEntry *table, const char *keyword, const char *value) {
  return setParameter(table, keyword, value, nullptr);
}

bool setParameter(ParamEntry *table, const char *keyword, const char *value,
                  ParamRefusal *refusal) {
  ParamRefusal ignored = ParamRefusal::none;
  if (refusal == nullptr)
    refusal = &ignored;
  *refusal = ParamRefusal::none;
  if (table == nullptr || keyword == nullptr)
    return false;
  ZyLog::log(ZyLog::Verbose, "Parsing command '%s' with argument '%s'", keyword,
             value != nullptr ? value : NO_VALUE);
  ParamEntry *entry = findEntry(table, keyword);
  if (entry == nullptr)
    return false;
  if (entry->kind == ParamKind::bufferedText)
    ensureTextBuffer(entry);
  setEntryValue(*entry, entry->value, entry->textBuffer, value, refusal);
  return true;
}

void setEntryValue(const ParamEntry &entry, unsigned char *field, char *textBuffer,
                   const char *value, ParamRefusal *refusal) {
  ParamRefusal ignored = ParamRefusal::none;
  if (refusal == nullptr)
    refusal = &ignored;
  *refusal = ParamRefusal::none;
  switch (entry.kind) {
  case ParamKind::text: {
    char *text = reinterpret_cast<char *>(field);
    if (value != nullptr) {
      if (!acceptText(entry, value, refusal))
        return;
      copyTextField(text, value, entry.size);
    }
    showText(entry, text);
    break;
  }
  case ParamKind::bufferedText: {
    // Without a buffer of its own the field is edited through one made
    // here from its bytes.
    std::vector<char> local;
    if (textBuffer == nullptr) {
      local.assign(entry.size + 1u, '\0');
      memcpy(local.data(), field, entry.size);
      textBuffer = local.data();
    }
    if (value != nullptr) {
      if (!acceptText(entry, value, refusal))
        return;
      copyTextField(textBuffer, value, entry.size);
      textBuffer[entry.size] = '\0';
    }
    showText(entry, textBuffer);
    memcpy(field, textBuffer, entry.size);
    break;
  }
  case ParamKind::uint8:
  case ParamKind::int16:
  case ParamKind::uint16:
    setInteger(entry, field, value, refusal);
    break;
  }
}

bool setParameter(const ParamTableList &tables, const char *keyword, const char *value,
                  ParamRefusal *refusal) {
  for (ParamEntry *table : tables)
    if (setParameter(table, keyword, value, refusal))
      return true;
  return false;
}

bool knowsKeyword(const ParamTableList &tables, const char *keyword) {
  for (ParamEntry *table : tables)
    if (knowsKeyword(table, keyword))
      return true;
  return false;
}

int listParameters(ParamEntry *table, int first, int limit) {
  printf("%-30s%30s\n", "Keyword and description", "Value");
  printf("------------------------------------------------------------\n");

  int length = 0;
  while (table[length].name[0] != '\0')
    ++length;
  int row = first < 0 ? 0 : first;
  if (row > length)
    row = length;

  for (int printed = 0; row < length && (limit <= 0 || printed <= limit); ++row, ++printed) {
    const ParamEntry &entry = table[row];
    switch (entry.kind) {
    case ParamKind::text:
    case ParamKind::bufferedText: {
      // A bufferedText entry without its buffer (not registered yet) is
      // listed from the image, which then holds the same text.
      const char *text = entry.kind == ParamKind::bufferedText && entry.textBuffer != nullptr
                             ? entry.textBuffer
                             : reinterpret_cast<const char *>(entry.value);
      // The value ends in column 60 after the description; a negative
      // width (a description wider than 60) left-aligns, as "%-Ns" would.
      int width = 60 - static_cast<int>(strlen(entry.description));
      printf("%s%*.*s\n", entry.description, width, static_cast<int>(entry.size), text);
      break;
    }
    case ParamKind::uint8:
    case ParamKind::int16:
    case ParamKind::uint16:
      printf("%-52s%8d\n", entry.description, readInteger(entry));
      break;
    }
  }
  printf("\n");
  fflush(stdout);
  return row < length ? row : 0;
}

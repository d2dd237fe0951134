// SPDX-License-Identifier: MIT
// The differences between two FLASH images and the lines that show them.
#include "ChangeList.h"

#include "ParamTables.h"
#include "ShownText.h"
#include "ZyLog.h"
#include "ZyUtil.h"

#include <cstring>

namespace {

const char *tableName(const ParamEntry *table) {
  if (table == robotTable)
    return "robot";
  if (table == armTable)
    return "arm";
  if (table == powerTable)
    return "power";
  for (const ParamTable &described : ParamTableDescriptors())
    if (described.entries == table)
      return described.title;
  return "";
}

std::string valueText(const ParamEntry &entry, const unsigned char *image) {
  const unsigned char *at = image + (entry.value - flashImage);
  switch (entry.kind) {
  case ParamKind::text:
  case ParamKind::bufferedText: {
    const char *text = reinterpret_cast<const char *>(at);
    return std::string(text, strnlen(text, entry.size));
  }
  case ParamKind::uint8:
    return std::to_string(at[0]);
  case ParamKind::int16:
  case ParamKind::uint16: {
    unsigned short word;
    memcpy(&word, at, sizeof word);
    return std::to_string(entry.kind == ParamKind::int16 ? static_cast<short>(word) : word);
  }
  }
  return "";
}

} // namespace

std::vector<ParamChange> imageChanges(const unsigned char *before, const unsigned char *after) {
  std::vector<ParamChange> changes;
  std::vector<bool> reported(FLASH_IMAGE_SIZE, false);
  for (ParamEntry *table : allTables()) {
    for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
      long offset = entry->value - flashImage;
      size_t size = paramValueSize(*entry);
      if (offset < 0 || offset + size > FLASH_IMAGE_SIZE || reported[offset])
        continue;
      if (memcmp(before + offset, after + offset, size) == 0)
        continue;
      ParamChange change;
      change.keyword = entry->name;
      change.table = tableName(table);
      change.before = valueText(*entry, before);
      change.after = valueText(*entry, after);
      change.text = entry->kind == ParamKind::text || entry->kind == ParamKind::bufferedText;
      // Bytes past a text's end differ without changing what it says.
      if (change.before == change.after)
        continue;
      for (size_t i = 0; i < size; i++)
        reported[offset + i] = true;
      changes.push_back(change);
    }
  }
  return changes;
}

std::string parameterValue(const char *keyword) {
  return parameterValue(flashImage, keyword);
}

std::string parameterValue(const unsigned char *image, const char *keyword) {
  for (ParamEntry *table : allTables())
    for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
      if (ZyUtil::compareTextNoCase(entry->name, keyword) == 0)
        return valueText(*entry, image);
  return "";
}

std::vector<ParamChange> pendingChanges() {
  return imageChanges(referenceImage, flashImage);
}

std::string changeLine(const ParamChange &change) {
  if (change.text)
    return change.keyword + ": '" + escapedText(change.before) + "' -> '" +
           escapedText(change.after) + "'";
  return change.keyword + ": " + change.before + " -> " + change.after;
}

std::string changingHeading(size_t count) {
  return "Changing " + std::to_string(count) + (count == 1 ? " parameter:" : " parameters:");
}

bool isIdentityKeyword(const std::string &keyword) {
  for (const char *identity : {"SubType", "Name", "SerNum"})
    if (ZyUtil::compareTextNoCase(keyword.c_str(), identity) == 0)
      return true;
  return false;
}

void logChanges(const std::string &heading, const std::vector<ParamChange> &changes) {
  ZyLog::log(ZyLog::Normal, "%s", heading.c_str());
  for (const ParamChange &change : changes)
    ZyLog::log(ZyLog::Normal, "%s", changeLine(change).c_str());
}

void logRestoredChanges(const std::string &file, const std::vector<ParamChange> &changes) {
  if (changes.empty()) {
    ZyLog::log(ZyLog::Normal, "'%s' changes no parameter.", file.c_str());
    return;
  }
  logChanges("'" + file + "' changes " + std::to_string(changes.size()) +
                 (changes.size() == 1 ? " parameter:" : " parameters:"),
             changes);
  std::string identity;
  for (const ParamChange &change : changes)
    if (isIdentityKeyword(change.keyword))
      identity += (identity.empty() ? "" : ", ") + change.keyword;
  if (!identity.empty())
    ZyLog::log(ZyLog::Normal,
               "Caution: '%s' changes the robot's identity (%s): it may be another robot's "
               "file.",
               file.c_str(), identity.c_str());
}

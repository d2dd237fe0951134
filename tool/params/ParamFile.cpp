// SPDX-License-Identifier: MIT
// Binding of the parameter tables to the configuration registry that writes
// and reads parameter files.
#include "ParamFile.h"

#include "ParamBlock.h"

#include "FlashImage.h"
#include "ParamExport.h"
#include "ParamSet.h"
#include "ZyConfig.h"
#include "ZyLog.h"
#include "ZySafeFile.h"
#include "Zyla.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

// The registry's integer bounds for an entry: the entry's own, or the whole
// range of the storage width where the entry has none (-1).
int lowerBound(const ParamEntry &entry, int widthMinimum) {
  return entry.minimum == -1 ? widthMinimum : entry.minimum;
}
int upperBound(const ParamEntry &entry, int widthMaximum) {
  return entry.maximum == -1 ? widthMaximum : entry.maximum;
}

} // namespace

ZyConfigArg paramConfigArg(const ParamEntry &entry, unsigned char *value, char *textBuffer) {
  switch (entry.kind) {
  case ParamKind::text: {
    // The field holds size characters, terminated only when shorter (the
    // byte after it belongs to something else): a restore takes as long a
    // text as the keyword command stores, so every saved file restores.
    ZyConfigArg arg(entry.name, reinterpret_cast<char *>(value), entry.description, entry.size);
    arg.setTextMayFill(true);
    return arg;
  }
  case ParamKind::bufferedText:
    return ZyConfigArg(entry.name, textBuffer, entry.description, entry.size + 1u);
  case ParamKind::int16:
    return ZyConfigArg(entry.name, reinterpret_cast<short *>(value), entry.description,
                       lowerBound(entry, -32768), upperBound(entry, 32767));
  case ParamKind::uint16:
    return ZyConfigArg(entry.name, reinterpret_cast<unsigned short *>(value), entry.description,
                       lowerBound(entry, 0), upperBound(entry, 65535));
  case ParamKind::uint8:
    return ZyConfigArg(entry.name, value, entry.description, lowerBound(entry, 0),
                       upperBound(entry, 255));
  }
  return ZyConfigArg();
}

void registerTable(ParamEntry *table, ZyConfig *config) {
  if (table == nullptr || config == nullptr)
    return;
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
    if (config->findParam("", entry->name) != nullptr)
      continue;
    ensureTextBuffer(entry);
    config->addParam(paramConfigArg(*entry, entry->value, entry->textBuffer), "",
                     ZyConfigArg::NORMAL);
  }
}

void registerTable(ParamEntry *table) {
  registerTable(table, Zyla::getConfig());
}

void registerFileTables(ZyConfig *config) {
  for (ParamEntry *table : fileTables())
    registerTable(table, config);
}

void prepareRunRegistry(ZyConfig *config) {
  config->setBaseDirectory("./");
  config->setNoBlanksBetweenParams(true);
  registerFileTables(config);
}

bool saveParameterFileCanBeWritten(const char *fileName) {
  // The registry's name for it: relative names from the current folder.
  std::string full = fileName != nullptr ? fileName : "";
  if (full.empty() || (full[0] != '/' && full[0] != '\\'))
    full = "./" + full;
  if (ZySafeFile::placeProblem(full).empty())
    return true;
  ZyLog::log(ZyLog::Terse, "ZyConfig: Cannot open file '%s' for writing", full.c_str());
  return false;
}

bool saveParameterFile(const char *fileName, ZyConfig *config) {
  if (config == nullptr)
    return false;
  // A pipe or a terminal reached through a link is written in place.
  if (fileName != nullptr && ZySafeFile::linkToStream(fileName))
    return config->writeFile(fileName, false, nullptr, false);
  // A save over a file of the operator's keeps its permissions, as saves
  // always have (a .rop narrowed to its owner stays so); a new file, or
  // one that replaces a link, gets those of the umask.
  int permissions = -1;
  struct stat info;
  if (fileName != nullptr && lstat(fileName, &info) == 0 && S_ISREG(info.st_mode))
    permissions = static_cast<int>(info.st_mode & 0777);
  return config->writeFileExact(fileName, false, permissions);
}

bool writeNewParameterFile(const unsigned char *block, const char *fileName) {
  alignas(4) unsigned char image[FLASH_IMAGE_SIZE];
  blockToImage(block, image);
  // Laid out as the run's registry is (setUpRegistry): the same file.
  ZyConfig config("./", true, false, false, true);
  std::vector<std::vector<char>> texts;
  texts.reserve(16);
  for (ParamEntry *table : fileTables())
    for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
      unsigned char *value = image + (entry->value - flashImage);
      char *text = nullptr;
      if (entry->kind == ParamKind::bufferedText) {
        texts.emplace_back(entry->size + 1u, '\0');
        memcpy(texts.back().data(), value, entry->size);
        text = texts.back().data();
      }
      if (config.findParam("", entry->name) == nullptr)
        config.addParam(paramConfigArg(*entry, value, text), "", ZyConfigArg::NORMAL);
    }
  return config.writeFileExact(fileName, true);
}

namespace {

std::string lowerCase(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

} // namespace

size_t editDistance(const std::string &a, const std::string &b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i)
    d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j)
    d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

namespace {

/// The keyword of an unknown line as written: its first word, or the text
/// between double quotes when it starts with one.
std::string lineKeyword(const std::string &line) {
  if (!line.empty() && line[0] == '"') {
    size_t close = line.find('"', 1);
    return line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return line.substr(0, line.find_first_of(" \t"));
}

} // namespace

namespace {
/// Close enough: at most two edits, and fewer than half the keyword's
/// letters, so that a short word is not matched to anything at all.
size_t farthestSuggestion(const std::string &wanted) {
  return std::min<size_t>(3, (wanted.size() + 1) / 2);
}
/// Two texts whose lengths differ by best or more are at least that many
/// edits apart: no need to count them (a long word, such as a line with no
/// blank, costs nothing then).
bool closeInLength(const std::string &wanted, const char *candidate, size_t best) {
  size_t length = std::strlen(candidate);
  size_t apart = length > wanted.size() ? length - wanted.size() : wanted.size() - length;
  return apart < best;
}
} // namespace

std::string nearestKeyword(const ParamTableList &tables, const std::string &keyword) {
  std::string wanted = lowerCase(keyword);
  size_t best = farthestSuggestion(wanted);
  std::string found;
  for (ParamEntry *table : tables)
    for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
      if (!closeInLength(wanted, entry->name, best))
        continue;
      size_t distance = editDistance(wanted, lowerCase(entry->name));
      if (distance < best) {
        best = distance;
        found = entry->name;
      }
    }
  return found;
}

std::string nearestKeyword(const ZyConfig &config, const std::string &keyword) {
  ZyConfigSection *section = config.findSection("");
  if (section == nullptr)
    return "";
  std::string wanted = lowerCase(keyword);
  size_t best = farthestSuggestion(wanted);
  std::string found;
  for (const ZyConfigArg &param : *section->getParams()) {
    ZyConfigArg::Type type = param.getType();
    if (type == ZyConfigArg::SAVED_LINE || type == ZyConfigArg::DESCRIPTION_HOLDER ||
        param.getName()[0] == '\0')
      continue;
    if (!closeInLength(wanted, param.getName(), best))
      continue;
    size_t distance = editDistance(wanted, lowerCase(param.getName()));
    if (distance < best) {
      best = distance;
      found = param.getName();
    }
  }
  return found;
}

namespace {

/// Reads an export (.json, .yaml) and logs its problems with their lines
/// (unknown keywords at Normal, refused values at Terse); *parsed is true
/// when it was read and none was refused.
ParamSet readExportFile(const char *fileName, bool *parsed) {
  ParamSet set = paramSetFromExportFile(fileName);
  *parsed = false;
  if (!set.readable()) {
    ZyLog::log(ZyLog::Terse, "%s", set.error.c_str());
    return set;
  }
  for (const ParamProblem &problem : set.problems)
    ZyLog::log(problem.reason == "unknown keyword" ? ZyLog::Normal : ZyLog::Terse, "%s",
               problem.message.c_str());
  *parsed = !set.refusedAny();
  return set;
}

/// Restores an export: every parameter it holds, the power settings among
/// them, goes into flashImage and the text buffers; the bytes no keyword
/// holds stay as they are, as with a parameter file.
bool restoreExportFile(const char *fileName) {
  bool parsed = false;
  ParamSet set = readExportFile(fileName, &parsed);
  if (set.readable())
    applyParamSet(set);
  return parsed;
}

} // namespace

bool restoreParameterFile(const char *fileName, ZyConfig *config) {
  if (config == nullptr)
    return false;
  ParamSetFormat format = paramSetFormatOf(fileName != nullptr ? fileName : "");
  if (format == ParamSetFormat::json || format == ParamSetFormat::yaml)
    return restoreExportFile(fileName);
  bool parsed = config->parseFile(fileName, true, false, nullptr, 0);
  for (const ZyConfig::UnknownLine &unknown : config->getUnknownLines()) {
    std::string keyword = lineKeyword(unknown.text);
    std::string nearest = nearestKeyword(*config, keyword);
    if (nearest.empty())
      ZyLog::log(ZyLog::Normal, "line %d: unknown keyword '%s', kept, not applied",
                 unknown.lineNumber, keyword.c_str());
    else
      ZyLog::log(ZyLog::Normal,
                 "line %d: unknown keyword '%s' (did you mean '%s'?), kept, not applied",
                 unknown.lineNumber, keyword.c_str(), nearest.c_str());
  }
  for (ParamEntry *table : allTables())
    storeTextBuffers(table);
  return parsed;
}

bool restoreParameterFile(const char *fileName) {
  return restoreParameterFile(fileName, Zyla::getConfig());
}

ParamSet readRestoreFile(const char *fileName, ZyConfig *config, bool *parsed) {
  ParamSet set;
  set.source = fileName != nullptr ? fileName : "";
  ParamSetFormat format = paramSetFormatOf(set.source);
  if (format == ParamSetFormat::json || format == ParamSetFormat::yaml)
    return readExportFile(fileName, parsed);
  // Read into the registry's parameters, which are bound to flashImage:
  // what the file set is taken from there.
  *parsed = restoreParameterFile(fileName, config);
  if (config == nullptr)
    return set;
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (const std::string &name : config->getSetParams())
    for (size_t i = 0; i < entries.size(); i++)
      if (name == entries[i].entry->name) {
        set.held[i] = true;
        memcpy(set.image + entries[i].offset, flashImage + entries[i].offset, entries[i].width);
      }
  return set;
}

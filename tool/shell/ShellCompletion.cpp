// SPDX-License-Identifier: MIT
// Tab completion for the shell: command words, keywords, value hints and
// file names.
#include "ShellCompletion.h"

#include "ParamCommands.h"

#include "ParamFile.h"
#include "ShellCommands.h"
#include "ZyConfig.h"
#include "ZyUtil.h"
#include "Zyla.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

/// The shell's command words that Tab completes (those longer than one
/// letter), in the order of the table.
std::vector<const char *> completedWords() {
  std::vector<const char *> words;
  for (int i = 0; i < shellCommandCount; i++)
    for (const char *const *word = shellCommands[i].words; *word != nullptr; word++)
      if ((*word)[0] != '\0' && (*word)[1] != '\0')
        words.push_back(*word);
  return words;
}

bool isWord(const std::string &word, const char *command) {
  return ZyUtil::compareTextNoCase(word.c_str(), command) == 0;
}

bool startsWithNoCase(const std::string &text, const std::string &prefix) {
  if (prefix.size() > text.size())
    return false;
  for (size_t i = 0; i < prefix.size(); i++)
    if (tolower(static_cast<unsigned char>(text[i])) !=
        tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

/// The words of the text (a backslash keeps the character after it in the
/// word when it is a blank), with the last one unfinished: a text ending in a blank ends in an
/// empty word. raw holds each word as typed, escapes included.
void splitWords(const std::string &text, std::vector<std::string> *words,
                std::vector<std::string> *raw) {
  words->assign(1, "");
  raw->assign(1, "");
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == ' ') {
      words->back() += text[i + 1];
      raw->back() += text.substr(i, 2);
      i++;
    } else if (c == ' ' || c == '\t') {
      if (!raw->back().empty()) {
        words->push_back("");
        raw->push_back("");
      }
    } else {
      words->back() += c;
      raw->back() += c;
    }
  }
}

std::string escapeBlanks(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == ' ')
      out += '\\';
    out += c;
  }
  return out;
}

/// The longest start the candidates share, letter case ignored, spelt as
/// the first candidate spells it.
std::string commonStart(const std::vector<std::string> &candidates) {
  std::string start = candidates.front();
  for (const std::string &c : candidates) {
    size_t n = 0;
    while (n < start.size() && n < c.size() &&
           tolower(static_cast<unsigned char>(start[n])) ==
               tolower(static_cast<unsigned char>(c[n])))
      n++;
    start.resize(n);
  }
  return start;
}

/// Replaces the typed word by the one candidate, or by the start all
/// candidates share, and shows the choices when there are several.
Completion choose(const std::string &typedRaw, std::vector<std::string> candidates, bool escape,
                  bool finalBlank) {
  Completion result;
  if (candidates.empty())
    return result;
  result.replaceLength = typedRaw.size();
  if (candidates.size() == 1) {
    const std::string &only = candidates.front();
    result.replacement = escape ? escapeBlanks(only) : only;
    if (finalBlank && (only.empty() || only.back() != '/'))
      result.replacement += ' ';
    return result;
  }
  std::string start = commonStart(candidates);
  result.replacement = escape ? escapeBlanks(start) : start;
  if (result.replacement.size() < typedRaw.size())
    result.replacement = typedRaw; // never shorten what was typed
  std::string line;
  for (const std::string &c : candidates) {
    if (!line.empty() && line.size() + c.size() + 2 > 78) {
      result.shown.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : "  ") + c;
  }
  result.shown.push_back(line);
  return result;
}

std::string currentText(const ParamEntry &entry) {
  const char *text = entry.kind == ParamKind::bufferedText && entry.textBuffer != nullptr
                         ? entry.textBuffer
                         : reinterpret_cast<const char *>(entry.value);
  return std::string(text, strnlen(text, entry.size));
}

bool isText(const ParamEntry &entry) {
  return entry.kind == ParamKind::text || entry.kind == ParamKind::bufferedText;
}

/// Rank of a file for the command: files of the kind it takes first.
int fileRank(const std::string &name, bool firmware) {
  static const char *const firmwareKinds[] = {".mot", ".hex", ".bin", nullptr};
  static const char *const parameterKinds[] = {".rop", nullptr};
  size_t dot = name.rfind('.');
  if (dot == std::string::npos)
    return 1;
  std::string extension = name.substr(dot);
  for (const char *const *kind = firmware ? firmwareKinds : parameterKinds; *kind != nullptr;
       kind++)
    if (isWord(extension, *kind))
      return 0;
  return 1;
}

/// The entries of the directory of the typed path that start with its last
/// part; directories end in "/". Files the command takes come first.
std::vector<std::string> fileCandidates(const std::string &typed, bool firmware) {
  size_t slash = typed.rfind('/');
  std::string directory = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
  std::string start = slash == std::string::npos ? typed : typed.substr(slash + 1);
  std::vector<std::pair<int, std::string>> found;
  DIR *dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr)
    return {};
  // A bound on what is read: a huge directory is not listed whole.
  for (int read = 0; read < 10000; read++) {
    struct dirent *entry = readdir(dir);
    if (entry == nullptr)
      break;
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name.compare(0, start.size(), start) != 0)
      continue;
    if (name[0] == '.' && (start.empty() || start[0] != '.'))
      continue;
    struct stat info;
    bool isDirectory = stat((directory + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    found.emplace_back(isDirectory ? 1 : fileRank(name, firmware),
                       directory + name + (isDirectory ? "/" : ""));
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (const auto &f : found)
    names.push_back(f.second);
  return names;
}

const ParamEntry *findIn(const ParamEntry *table, const char *keyword) {
  for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
    if (ZyUtil::compareTextNoCase(entry->name, keyword) == 0 ||
        (entry->alias[0] != '\0' && ZyUtil::compareTextNoCase(entry->alias, keyword) == 0))
      return entry;
  return nullptr;
}

} // namespace

const ParamEntry *shellParameter(const char *keyword) {
  if (keyword == nullptr)
    return nullptr;
  const ParamEntry *entry = findIn(armTable, keyword);
  return entry != nullptr ? entry : findIn(robotTable, keyword);
}

std::string nearestShellWord(const std::string &command) {
  std::string wanted;
  for (char c : command)
    wanted += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  // The same measure as nearestKeyword's: fewer than three edits and fewer
  // than half the word's letters.
  size_t limit = std::min<size_t>(3, (wanted.size() + 1) / 2);
  std::string found;
  size_t best = limit;
  for (const char *word : completedWords()) {
    size_t distance = editDistance(wanted, word);
    if (distance < best) {
      best = distance;
      found = word;
    }
  }
  std::string keyword = nearestKeyword(*Zyla::getConfig(), command);
  if (!keyword.empty()) {
    std::string lower;
    for (char c : keyword)
      lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (editDistance(wanted, lower) < best)
      found = keyword;
  }
  return found;
}

std::string currentValueWord(const ParamEntry &entry) {
  if (isText(entry))
    return escapeBlanks(currentText(entry));
  return std::to_string(readInteger(entry));
}

std::string parameterHint(const ParamEntry &entry) {
  std::string hint = std::string(entry.name) + ": ";
  if (isText(entry))
    return hint + "up to " + std::to_string(entry.size) + " characters, now '" +
           currentText(entry) + "'";
  if (entry.minimum != -1 || entry.maximum != -1)
    hint += (entry.minimum != -1 ? std::to_string(entry.minimum) : "") + ".." +
            (entry.maximum != -1 ? std::to_string(entry.maximum) : "") + ", ";
  return hint + "now " + std::to_string(readInteger(entry));
}

std::string extraWordsNotice(const ParamEntry &entry, const std::vector<std::string> &words) {
  // words: the command, the value and what followed.
  if (!isText(entry) || words.size() < 2)
    return "";
  std::string typed = words[0];
  for (size_t i = 1; i < words.size(); i++)
    typed += " " + words[i];
  if (isWord(typed, entry.description))
    return "'" + typed + "' is how the listing describes " + entry.name + ": its value is now '" +
           words[1] + "'.";
  if (words.size() < 3)
    return "";
  std::string all = words[1];
  for (size_t i = 2; i < words.size(); i++)
    all += "\\ " + words[i];
  return "Only '" + words[1] + "' was taken; write '" + all + "' to keep the blanks.";
}

Completion completeShellLine(const std::string &beforeCursor) {
  std::vector<std::string> words, raw;
  splitWords(beforeCursor, &words, &raw);
  const std::string &typed = words.back();
  const std::string &typedRaw = raw.back();
  if (words.size() == 1) {
    std::vector<std::string> candidates;
    for (const char *command : completedWords())
      if (startsWithNoCase(command, typed))
        candidates.push_back(command);
    for (const ParamEntry *table : {robotTable, armTable})
      for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
        if (startsWithNoCase(entry->name, typed))
          candidates.push_back(entry->name);
        else if (entry->alias[0] != '\0' && startsWithNoCase(entry->alias, typed))
          candidates.push_back(entry->alias);
      }
    // A word typed in full is complete, even where a longer one starts
    // with it.
    for (const std::string &c : candidates)
      if (isWord(c, typed.c_str()) && !typed.empty())
        return choose(typedRaw, {c}, false, true);
    return choose(typedRaw, candidates, false, true);
  }
  if (words.size() != 2)
    return Completion();
  const std::string &command = words[0];
  const ShellCommand *taking = findShellCommand(command.c_str());
  if (taking != nullptr && taking->argument != ShellArgument::None)
    return choose(typedRaw, fileCandidates(typed, taking->argument == ShellArgument::FirmwareFile),
                  true, true);
  const ParamEntry *entry = shellParameter(command.c_str());
  if (entry == nullptr)
    return Completion();
  Completion result;
  if (typed.empty())
    result.replacement = currentValueWord(*entry);
  result.shown.push_back(parameterHint(*entry));
  return result;
}

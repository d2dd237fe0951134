// SPDX-License-Identifier: MIT
// Parameter sets as values: the entry index they share, the readers of
// parameter files and block images, and the conversions between a set, a
// block and the run's image.
//
// A parameter file is read with the registry's own value checks, but
// through a registry of the reader's own whose parameters are bound to the
// set's image and text buffers, not to flashImage: the run's image, its
// text buffers and the process-wide registry are never touched. The reader
// drives the file parser itself, line by line, so that every refused value
// is known with its line (the registry keeps only the first error text).
#include "ParamSet.h"

#include "ParamExport.h"
#include "ParamFile.h"
#include "ZyArgumentBuilder.h"
#include "ZyConfig.h"
#include "ZyFileParser.h"
#include "ZyFunctor.h"
#include "ZyUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {

bool isWord(ParamKind kind) {
  return kind == ParamKind::int16 || kind == ParamKind::uint16;
}

bool isText(ParamKind kind) {
  return kind == ParamKind::text || kind == ParamKind::bufferedText;
}

std::string lowerCase(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string inQuotes(const std::string &fileName) {
  return "'" + fileName + "'";
}

enum class FileRead { read, cannotOpen, cannotRead, tooLarge };

/// Reads at most limit bytes of a file; anything else comes with a message
/// naming the file (what: "parameter file", "block image", ...).
FileRead readFileText(const std::string &fileName, size_t limit, const char *what,
                      std::string *text, std::string *error) {
  text->clear();
  FILE *file = fopen(fileName.c_str(), "rb");
  if (file == nullptr) {
    *error = "Cannot open " + std::string(what) + " " + inQuotes(fileName) + " (" +
             strerror(errno) + ").";
    return FileRead::cannotOpen;
  }
  char buffer[4096];
  bool tooLarge = false;
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text->size() + got > limit) {
      tooLarge = true;
      break;
    }
    text->append(buffer, got);
  }
  int readError = ferror(file) ? errno : 0;
  fclose(file);
  if (tooLarge) {
    *error = inQuotes(fileName) + " holds more than " + std::to_string(limit) +
             " bytes: it is no " + what + ".";
    return FileRead::tooLarge;
  }
  if (readError != 0) {
    *error = "Cannot read " + std::string(what) + " " + inQuotes(fileName) + " (" +
             strerror(readError) + ").";
    return FileRead::cannotRead;
  }
  return FileRead::read;
}

/// Reads a parameter file into a set. See the comment at the top.
class RopReader {
public:
  explicit RopReader(ParamSet &set)
      : mySet(set), myConfig(nullptr, false, false, false, false),
        myKeywordCB(this, &RopReader::keywordLine), mySectionCB(this, &RopReader::sectionLine),
        myUnknownCB(this, &RopReader::unknownLine) {
    const std::vector<ParamEntryRef> &entries = paramEntries();
    myTexts.resize(entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
      const ParamEntryRef &ref = entries[i];
      if (!carriedByFiles(ref))
        continue;
      if (ref.entry->kind == ParamKind::bufferedText)
        myTexts[i].assign(ref.entry->size + 1u, '\0');
      myConfig.addParam(paramConfigArg(*ref.entry, set.image + ref.offset,
                                       myTexts[i].empty() ? nullptr : myTexts[i].data()),
                        "", ZyConfigArg::NORMAL);
      myKeywords[lowerCase(ref.entry->name)] = i;
      if (ref.entry->alias[0] != '\0')
        myKeywords[lowerCase(ref.entry->alias)] = i;
    }
    for (const auto &keyword : myKeywords)
      myParser.addHandler(keyword.first.c_str(), &myKeywordCB);
    myParser.addHandler("section", &mySectionCB);
    myParser.addHandler(nullptr, &myUnknownCB);
  }

  void read(const std::string &text) {
    // Lines as the file parser reads them from a file: up to a line end,
    // at most LINE_BUFFER_SIZE - 1 characters; a longer one is refused
    // whole and still counted.
    std::unique_ptr<char[]> line(new char[ZyFileParser::LINE_BUFFER_SIZE]);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      size_t length = (end == std::string::npos ? text.size() : end) - start;
      if (length >= static_cast<size_t>(ZyFileParser::LINE_BUFFER_SIZE)) {
        line[0] = '\0';
        myParser.parseLine(line.get());
        ParamProblem problem;
        problem.line = myParser.getLineNumber();
        problem.reason = "line too long";
        problem.message = where() + "longer than " +
                          std::to_string(ZyFileParser::LINE_BUFFER_SIZE - 1) +
                          " characters, not read.";
        mySet.problems.push_back(problem);
      } else {
        std::memcpy(line.get(), text.data() + start, length);
        line[length] = '\0';
        myParser.parseLine(line.get());
      }
      if (end == std::string::npos)
        break;
      start = end + 1;
    }
    const std::vector<ParamEntryRef> &entries = paramEntries();
    for (size_t i = 0; i < entries.size(); i++)
      if (!myTexts[i].empty())
        std::memcpy(mySet.image + entries[i].offset, myTexts[i].data(), entries[i].width);
  }

private:
  typedef ZyRetFunctor3C<bool, RopReader, ZyArgumentBuilder *, char *, size_t> Handler;

  std::string where() const {
    return inQuotes(mySet.source) + " line " + std::to_string(myParser.getLineNumber()) + ": ";
  }

  bool keywordLine(ZyArgumentBuilder *arg, char *, size_t) {
    auto found = myKeywords.find(lowerCase(arg->getExtraText()));
    if (found == myKeywords.end())
      return unknownLine(arg, nullptr, 0);
    const ParamEntry &entry = *paramEntries()[found->second].entry;
    ParamProblem problem;
    problem.line = myParser.getLineNumber();
    problem.keyword = entry.name;
    problem.value = arg->getWholeText();
    if (!mySection.empty()) {
      problem.reason = "in an unknown section";
      problem.message = where() + entry.name + " stands under section '" + mySection +
                        "', which a parameter file does not have; not applied.";
      mySet.problems.push_back(problem);
      return true;
    }
    bool integer = !isText(entry.kind);
    if (integer && arg->getArgc() < 1) {
      problem.reason = "no value";
      problem.message = where() + entry.name + " has no value; not applied.";
      mySet.problems.push_back(problem);
      return true;
    }
    // An alias counts as its keyword: the registry knows names only.
    arg->setExtraText(entry.name);
    char error[512] = "";
    if (myConfig.parseArgument(arg, error, sizeof error)) {
      mySet.held[found->second] = true;
      return true;
    }
    if (integer)
      problem.reason = arg->isInt(0) ? "out of range" : "not an integer";
    else
      problem.reason =
          ZyConfig::textFileCanCarry(problem.value.c_str()) ? "text too long" : "text not storable";
    problem.message = where() + (error[0] != '\0' ? std::string(error)
                                                  : entry.name + std::string(" refused '") +
                                                        problem.value + "'.");
    mySet.problems.push_back(problem);
    return true;
  }

  bool sectionLine(ZyArgumentBuilder *arg, char *, size_t) {
    // A parameter file has only the unnamed section; the lines under any
    // other are not applied by a restore either.
    mySection = arg->getWholeText();
    return true;
  }

  bool unknownLine(ZyArgumentBuilder *, char *, size_t) {
    const char *text = myParser.getLineText();
    std::string line = text != nullptr ? text : "";
    ParamProblem problem;
    problem.line = myParser.getLineNumber();
    if (!line.empty() && line[0] == '"') {
      size_t close = line.find('"', 1);
      problem.keyword = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
      problem.value = close == std::string::npos ? "" : line.substr(close + 1);
    } else {
      size_t blank = line.find_first_of(" \t");
      problem.keyword = line.substr(0, blank);
      problem.value = blank == std::string::npos ? "" : line.substr(blank);
    }
    size_t first = problem.value.find_first_not_of(" \t");
    problem.value = first == std::string::npos ? "" : problem.value.substr(first);
    problem.reason = "unknown keyword";
    if (mySection.empty())
      problem.lineText = line;
    if (findParamEntry(problem.keyword) != nullptr) {
      problem.message = where() + "'" + problem.keyword +
                        "' is not carried by parameter files (power and port settings), not "
                        "applied.";
    } else {
      problem.suggestion = nearestKeyword(fileTables(), problem.keyword);
      problem.message =
          where() + "unknown keyword '" + problem.keyword + "'" +
          (problem.suggestion.empty() ? std::string()
                                      : " (did you mean '" + problem.suggestion + "'?)") +
          ", not applied.";
    }
    mySet.problems.push_back(problem);
    return true;
  }

  ParamSet &mySet;
  ZyConfig myConfig;
  ZyFileParser myParser;
  Handler myKeywordCB;
  Handler mySectionCB;
  Handler myUnknownCB;
  std::map<std::string, size_t> myKeywords;
  std::vector<std::vector<char>> myTexts;
  std::string mySection;
};

} // namespace

const std::vector<ParamEntryRef> &paramEntries() {
  static const std::vector<ParamEntryRef> entries = [] {
    std::vector<ParamEntryRef> list;
    const char *names[] = {"robot", "arm", "power"};
    for (ParamEntry *table : allTables()) {
      const char *name = table == robotTable ? names[0] : table == armTable ? names[1] : names[2];
      for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
        list.push_back(ParamEntryRef{entry, name, static_cast<size_t>(entry->value - flashImage),
                                     paramValueSize(*entry)});
    }
    return list;
  }();
  return entries;
}

bool carriedByFiles(const ParamEntryRef &ref) {
  for (ParamEntry *table : fileTables())
    for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
      if (entry == ref.entry)
        return true;
  return false;
}

const ParamEntryRef *findParamEntry(const std::string &keyword) {
  for (const ParamEntryRef &ref : paramEntries())
    if (ZyUtil::compareTextNoCase(ref.entry->name, keyword.c_str()) == 0 ||
        (ref.entry->alias[0] != '\0' &&
         ZyUtil::compareTextNoCase(ref.entry->alias, keyword.c_str()) == 0))
      return &ref;
  return nullptr;
}

void swapParamWords(unsigned char *image) {
  for (const ParamEntryRef &ref : paramEntries()) {
    if (!isWord(ref.entry->kind))
      continue;
    unsigned char *bytes = image + ref.offset;
    unsigned short fromBlock = static_cast<unsigned short>((bytes[0] << 8) | bytes[1]);
    std::memcpy(bytes, &fromBlock, sizeof fromBlock);
  }
}

ParamSetFormat paramSetFormatOf(const std::string &fileName) {
  size_t dot = fileName.rfind('.');
  size_t slash = fileName.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return ParamSetFormat::rop;
  std::string extension = lowerCase(fileName.substr(dot + 1));
  if (extension == "blk")
    return ParamSetFormat::block;
  if (extension == "json")
    return ParamSetFormat::json;
  if (extension == "yaml" || extension == "yml")
    return ParamSetFormat::yaml;
  return ParamSetFormat::rop;
}

const char *paramSetFormatName(ParamSetFormat format) {
  switch (format) {
  case ParamSetFormat::rop:
    return "rop";
  case ParamSetFormat::block:
    return "block";
  case ParamSetFormat::json:
    return "json";
  case ParamSetFormat::yaml:
    return "yaml";
  }
  return "";
}

ParamSet::ParamSet() : held(paramEntries().size(), false) {}

std::string ParamSet::valueText(size_t index) const {
  if (!holds(index))
    return "";
  return entryValueText(paramEntries()[index], image);
}

bool ParamSet::refusedAny() const {
  for (const ParamProblem &problem : problems)
    if (problem.reason != "unknown keyword")
      return true;
  return false;
}

std::string entryValueText(const ParamEntryRef &ref, const unsigned char *image) {
  const unsigned char *at = image + ref.offset;
  switch (ref.entry->kind) {
  case ParamKind::text:
  case ParamKind::bufferedText: {
    const char *text = reinterpret_cast<const char *>(at);
    return std::string(text, strnlen(text, ref.width));
  }
  case ParamKind::uint8:
    return std::to_string(at[0]);
  case ParamKind::int16:
  case ParamKind::uint16: {
    unsigned short word;
    std::memcpy(&word, at, sizeof word);
    return std::to_string(ref.entry->kind == ParamKind::int16 ? static_cast<short>(word) : word);
  }
  }
  return "";
}

ParamSet paramSetFromRopText(const std::string &text, const std::string &source) {
  ParamSet set;
  set.source = source;
  set.format = ParamSetFormat::rop;
  RopReader reader(set);
  reader.read(text);
  return set;
}

ParamSet paramSetFromRopFile(const std::string &fileName) {
  std::string text;
  std::string error;
  if (readFileText(fileName, PARAM_FILE_MAX_BYTES, "parameter file", &text, &error) !=
      FileRead::read) {
    ParamSet set;
    set.source = fileName;
    set.format = ParamSetFormat::rop;
    set.error = error;
    return set;
  }
  return paramSetFromRopText(text, fileName);
}

ParamSet paramSetFromBlock(const unsigned char *block, size_t length, const std::string &source) {
  ParamSet set;
  set.source = source;
  set.format = ParamSetFormat::block;
  if (block == nullptr || (length != static_cast<size_t>(PARAM_BLOCK_SIZE) &&
                           length != static_cast<size_t>(PARAM_BLOCK_SHORTEST))) {
    set.error = inQuotes(source) +
                " is not a FLASH parameter block image: it must hold 4096 bytes (or 4095).";
    return set;
  }
  set.block.assign(block, block + length);
  std::memcpy(set.image, block, FLASH_IMAGE_SIZE);
  swapParamWords(set.image);
  set.held.assign(set.held.size(), true);
  set.otherBytesKnown = true;
  return set;
}

ParamSet paramSetFromBlockFile(const std::string &fileName) {
  std::string bytes;
  ParamSet set;
  set.source = fileName;
  set.format = ParamSetFormat::block;
  // One byte more than a block is enough to tell a larger file.
  FileRead read = readFileText(fileName, PARAM_BLOCK_SIZE + 1u, "block image", &bytes, &set.error);
  if (read == FileRead::tooLarge)
    return paramSetFromBlock(nullptr, 0, fileName);
  if (read != FileRead::read)
    return set;
  return paramSetFromBlock(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                           fileName);
}

ParamSet paramSetFromExportFile(const std::string &fileName) {
  ParamSetFormat format = paramSetFormatOf(fileName) == ParamSetFormat::yaml ? ParamSetFormat::yaml
                                                                             : ParamSetFormat::json;
  std::string text;
  std::string error;
  if (readFileText(fileName, PARAM_FILE_MAX_BYTES, "parameter export", &text, &error) !=
      FileRead::read) {
    ParamSet set;
    set.source = fileName;
    set.format = format;
    set.error = error;
    return set;
  }
  return paramSetFromExportText(text, format, fileName);
}

ParamSet loadParamSet(const std::string &fileName) {
  switch (paramSetFormatOf(fileName)) {
  case ParamSetFormat::block:
    return paramSetFromBlockFile(fileName);
  case ParamSetFormat::json:
  case ParamSetFormat::yaml:
    return paramSetFromExportFile(fileName);
  case ParamSetFormat::rop:
    break;
  }
  return paramSetFromRopFile(fileName);
}

std::vector<unsigned char> paramSetBlock(const ParamSet &set) {
  std::vector<unsigned char> block = set.block;
  if (block.empty())
    block.assign(PARAM_BLOCK_SIZE, 0);
  unsigned char image[FLASH_IMAGE_SIZE];
  std::memcpy(image, set.image, FLASH_IMAGE_SIZE);
  swapParamWords(image);
  std::memcpy(block.data(), image, FLASH_IMAGE_SIZE);
  return block;
}

std::vector<bool> keywordBytes(const ParamSet &set, size_t length) {
  std::vector<bool> bytes(length, false);
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++) {
    if (!set.holds(i))
      continue;
    const ParamEntryRef &ref = entries[i];
    size_t width = ref.width;
    if (isText(ref.entry->kind)) {
      size_t text = strnlen(reinterpret_cast<const char *>(set.image + ref.offset), ref.width);
      width = text < ref.width ? text + 1 : text;
    }
    for (size_t k = 0; k < width && ref.offset + k < length; k++)
      bytes[ref.offset + k] = true;
  }
  return bytes;
}

bool setParamSetValue(ParamSet &set, const std::string &keyword, const char *value,
                      ParamRefusal *refusal, std::string *suggestion) {
  ParamRefusal ignored = ParamRefusal::none;
  if (refusal == nullptr)
    refusal = &ignored;
  *refusal = ParamRefusal::none;
  if (suggestion != nullptr)
    suggestion->clear();
  const ParamEntryRef *ref = findParamEntry(keyword);
  if (ref == nullptr) {
    if (suggestion != nullptr)
      *suggestion = nearestKeyword(allTables(), keyword);
    return false;
  }
  setEntryValue(*ref->entry, set.image + ref->offset, nullptr, value, refusal);
  if (value != nullptr && *refusal != ParamRefusal::notInteger &&
      *refusal != ParamRefusal::outOfRange && *refusal != ParamRefusal::notStorable)
    set.held[static_cast<size_t>(ref - paramEntries().data())] = true;
  return true;
}

void applyParamSet(const ParamSet &set) {
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++) {
    if (!set.holds(i))
      continue;
    ParamEntry *entry = entries[i].entry;
    std::memcpy(entry->value, set.image + entries[i].offset, entries[i].width);
    if (entry->kind == ParamKind::bufferedText) {
      ensureTextBuffer(entry);
      std::memcpy(entry->textBuffer, entry->value, entry->size);
      entry->textBuffer[entry->size] = '\0';
    }
  }
}

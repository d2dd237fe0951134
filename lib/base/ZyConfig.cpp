// The configuration registry: sections of typed parameters, the keyword
// handlers that read a configuration file into them, command-line
// overrides, process-file callbacks, and the writer of the commented file
// layout (values padded to the comment column, descriptions wrapped).
#include "ZyConfig.h"

#include "ZyArgumentBuilder.h"
#include "ZyArgumentParser.h"
#include "ZySafeFile.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
void errorText(char *buffer, size_t length, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void errorText(char *buffer, size_t length, const char *format, ...) {
  if (buffer == nullptr || length == 0)
    return;
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, length, format, args);
  va_end(args);
}

void clearError(char *buffer, size_t length) {
  if (buffer != nullptr && length > 0)
    buffer[0] = '\0';
}

bool errorEmpty(const char *buffer, size_t length) {
  return buffer == nullptr || length == 0 || buffer[0] == '\0';
}

// Only the first error text of an operation is kept: once the buffer holds
// text, later steps run without it.
char *freeErrorBuffer(char *buffer, size_t length) {
  return errorEmpty(buffer, length) ? buffer : nullptr;
}
size_t freeErrorLength(char *buffer, size_t length) {
  return errorEmpty(buffer, length) ? length : 0;
}

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits a text into words at white space; a backslash directly before a
// blank keeps the blank inside the word. No limit on count or length.
std::vector<std::string> splitWords(const char *text) {
  std::vector<std::string> words;
  if (text == nullptr)
    return words;
  const char *p = text;
  while (*p != '\0') {
    while (*p != '\0' && isWhite(*p))
      p++;
    if (*p == '\0')
      break;
    std::string word;
    while (*p != '\0' && !isWhite(*p)) {
      if (p[0] == '\\' && p[1] == ' ') {
        word += ' ';
        p += 2;
        continue;
      }
      word += *p++;
    }
    words.push_back(word);
  }
  return words;
}

// A name holding a blank or a tab is written in double quotes, so that the
// keyword parser reads it back as one keyword.
std::string quotedName(const char *name) {
  if (strchr(name, ' ') != nullptr || strchr(name, '\t') != nullptr)
    return std::string("\"") + name + "\"";
  return name;
}

// A text as the file carries it: a blank that the word splitting would
// lose (leading, trailing, or next to another blank) is written as "\ ";
// a single blank between two words reads back as it is and stays plain, so
// files of such texts keep their old form.
std::string escapedText(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ' &&
        (i == 0 || i + 1 == text.size() || text[i - 1] == ' ' || text[i + 1] == ' '))
      out += '\\';
    out += text[i];
  }
  return out;
}

// A double that reads back as the same value: the shortest of "%.6g" to
// "%.17g" that converts back exactly (so values that "%g" carried keep
// their old form), and the infinities as the reader takes them.
std::string doubleText(double value) {
  if (std::isinf(value))
    return value > 0 ? "INF" : "-INF";
  char buffer[64];
  for (int precision = 6; precision <= 17; ++precision) {
    snprintf(buffer, sizeof(buffer), "%.*g", precision, value);
    if (std::isnan(value) || strtod(buffer, nullptr) == value)
      break;
  }
  return buffer;
}

std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string formatted(const char *format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

// A base-10 text that fits in a 32-bit int; larger magnitudes are refused
// instead of wrapping into some unrelated in-range value.
bool fitsInt32(const char *text) {
  if (text == nullptr)
    return false;
  errno = 0;
  char *end = nullptr;
  long long value = strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= INT_MIN && value <= INT_MAX;
}

} // namespace

// Writes through stdio and remembers the first failure with its errno, so
// a full disk is reported instead of a truncated file passing as saved.
struct ZyConfig::FileWriter {
  FILE *file;
  bool ok = true;
  int error = 0;

  void put(const std::string &text) {
    if (fwrite(text.data(), 1, text.size(), file) != text.size())
      fail();
  }
  void fail() {
    if (ok) {
      ok = false;
      error = errno;
    }
  }
  // Adds the words of text to line and writes full lines: a line is
  // written out when adding the next word would take it past the maximum
  // length, and the next one starts with continuation. lineHasContent tells
  // whether line holds more than a bare continuation prefix.
  void putWrapped(std::string &line, bool lineHasContent, const char *text,
                  const std::string &continuation) {
    for (const std::string &word : splitWords(text)) {
      if (lineHasContent && line.size() + word.size() > MAX_LINE_LENGTH) {
        put(line + "\n");
        line = continuation;
      }
      line += " ";
      line += word;
      lineHasContent = true;
    }
    put(line + "\n");
  }
};

const char *const ZyConfig::TEXT_RULE =
    "a text may not hold ';', '#', a tab or line break, or a backslash before a blank or at its "
    "end";

bool ZyConfig::textFileCanCarry(const char *text) {
  if (text == nullptr)
    return true;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == ';' || *p == '#' || (*p != ' ' && isWhite(*p)))
      return false;
    if (*p == '\\' && (p[1] == ' ' || p[1] == '\0'))
      return false;
  }
  return true;
}

const char *ZyConfig::ProcessFileHolder::name() const {
  if (plain != nullptr)
    return plain->getName();
  if (withError != nullptr)
    return withError->getName();
  ZyLog::log(ZyLog::Terse, "ZyConfig: Horrible problem with process callback names");
  return "";
}

ZyConfig::ZyConfig(const char *baseDirectory, bool noBlanksBetweenParams, bool ignoreBounds,
                   bool failOnBadSection, bool saveUnknown)
    : myParser(""), myParseArgumentCB(this, &ZyConfig::parseArgument),
      myParseSectionCB(this, &ZyConfig::parseSection),
      myParseUnknownCB(this, &ZyConfig::parseUnknown),
      myNoBlanksBetweenParams(noBlanksBetweenParams), myIgnoreBounds(ignoreBounds),
      myFailOnBadSection(failOnBadSection), mySaveUnknown(saveUnknown) {
  myParseArgumentCB.setName("ZyConfig::parseArgument");
  myParseSectionCB.setName("ZyConfig::parseSection");
  myParseUnknownCB.setName("ZyConfig::parseUnknown");
  setBaseDirectory(baseDirectory);
  addParserHandlers();
}

ZyConfig::ZyConfig(const ZyConfig &other)
    : myParser(""), myParseArgumentCB(this, &ZyConfig::parseArgument),
      myParseSectionCB(this, &ZyConfig::parseSection),
      myParseUnknownCB(this, &ZyConfig::parseUnknown) {
  myParseArgumentCB.setName("ZyConfig::parseArgument");
  myParseSectionCB.setName("ZyConfig::parseSection");
  myParseUnknownCB.setName("ZyConfig::parseUnknown");
  copySettingsAndSections(other);
  addParserHandlers();
}

ZyConfig &ZyConfig::operator=(const ZyConfig &other) {
  if (this == &other)
    return *this;
  myParser.remHandler(static_cast<ZyFileParser::HandlerWithError *>(&myParseArgumentCB));
  myParser.remHandler(static_cast<ZyFileParser::HandlerWithError *>(&myParseSectionCB));
  myParser.remHandler(static_cast<ZyFileParser::HandlerWithError *>(&myParseUnknownCB));
  copySettingsAndSections(other);
  addParserHandlers();
  return *this;
}

ZyConfig::~ZyConfig() {
  deleteSections();
}

void ZyConfig::deleteSections() {
  for (ZyConfigSection *section : mySections)
    delete section;
  mySections.clear();
  mySavedOnlySections.clear();
}

void ZyConfig::copySettingsAndSections(const ZyConfig &other) {
  deleteSections();
  for (ZyConfigSection *section : other.mySections) {
    mySections.push_back(new ZyConfigSection(*section));
    if (other.mySavedOnlySections.count(section) != 0)
      mySavedOnlySections.insert(mySections.back());
  }
  myBaseDirectory = other.myBaseDirectory;
  myParser.setBaseDirectory(myBaseDirectory.c_str());
  myFileName = other.myFileName;
  mySection = other.mySection;
  myNoBlanksBetweenParams = other.myNoBlanksBetweenParams;
  myIgnoreBounds = other.myIgnoreBounds;
  myFailOnBadSection = other.myFailOnBadSection;
  mySaveUnknown = other.mySaveUnknown;
  mySectionBroken = other.mySectionBroken;
  mySectionIgnored = other.mySectionIgnored;
  mySectionsSeen = other.mySectionsSeen;
  myDuplicateParams = other.myDuplicateParams;
  myProcessFileLogLevel = other.myProcessFileLogLevel;
}

void ZyConfig::addParserHandlers() {
  if (!myParser.addHandler("section",
                           static_cast<ZyFileParser::HandlerWithError *>(&myParseSectionCB)))
    ZyLog::log(ZyLog::Verbose, "ZyConfig: Could not add section parser (probably unimportant)");
  for (ZyConfigSection *section : mySections) {
    for (const ZyConfigArg &param : *section->getParams()) {
      if (param.getName()[0] == '\0' || param.getType() == ZyConfigArg::SAVED_LINE ||
          param.getType() == ZyConfigArg::DESCRIPTION_HOLDER)
        continue;
      if (!myParser.addHandler(param.getName(),
                               static_cast<ZyFileParser::HandlerWithError *>(&myParseArgumentCB)))
        ZyLog::log(ZyLog::Verbose, "ZyConfig: Could not add keyword %s (probably unimportant)",
                   param.getName());
    }
  }
  if (!myParser.addHandler(nullptr,
                           static_cast<ZyFileParser::HandlerWithError *>(&myParseUnknownCB)))
    ZyLog::log(ZyLog::Verbose,
               "ZyConfig: Could not add unknown param parser (probably unimportant)");
}

void ZyConfig::clearAll() {
  myParser.remHandler(static_cast<ZyFileParser::HandlerWithError *>(&myParseArgumentCB));
  deleteSections();
  mySection.clear();
  mySectionBroken = false;
  mySectionIgnored = false;
  mySectionsSeen = false;
  myDuplicateParams = false;
}

void ZyConfig::setBaseDirectory(const char *baseDirectory) {
  myBaseDirectory = baseDirectory != nullptr ? baseDirectory : "";
  myParser.setBaseDirectory(myBaseDirectory.c_str());
}

ZyConfigSection *ZyConfig::findSection(const char *sectionName) const {
  if (sectionName == nullptr)
    sectionName = "";
  ZyConfigSection *found = nullptr;
  for (ZyConfigSection *section : mySections)
    if (strcasecmp(section->getName(), sectionName) == 0)
      found = section;
  return found;
}

ZyConfigArg *ZyConfig::findParam(const char *sectionName, const char *paramName) const {
  ZyConfigSection *section = findSection(sectionName);
  return section != nullptr ? section->findParam(paramName) : nullptr;
}

ZyConfigSection *ZyConfig::findOrMakeSection(const char *sectionName) {
  ZyConfigSection *section = findSection(sectionName);
  if (section == nullptr) {
    ZyLog::log(ZyLog::Verbose, "Making new section '%s'", sectionName);
    section = new ZyConfigSection(sectionName);
    mySections.push_back(section);
  }
  return section;
}

bool ZyConfig::addParam(const ZyConfigArg &arg, const char *sectionName,
                        ZyConfigArg::Priority priority) {
  if (sectionName == nullptr)
    sectionName = "";
  ZyConfigSection *section = findOrMakeSection(sectionName);
  mySavedOnlySections.erase(section);

  const char *name = arg.getName();
  bool isKeyword = name[0] != '\0' && arg.getType() != ZyConfigArg::SAVED_LINE &&
                   arg.getType() != ZyConfigArg::DESCRIPTION_HOLDER;
  if (isKeyword) {
    for (ZyConfigSection *other : mySections) {
      if (strcasecmp(other->getName(), sectionName) == 0)
        continue;
      for (const ZyConfigArg &param : *other->getParams()) {
        if (strcasecmp(param.getName(), name) == 0) {
          ZyLog::log(ZyLog::Verbose, "Parameter %s duplicated in section %s and %s", name,
                     other->getName(), sectionName);
          myDuplicateParams = true;
        }
      }
    }
    if (!myParser.addHandler(name,
                             static_cast<ZyFileParser::HandlerWithError *>(&myParseArgumentCB)))
      ZyLog::log(ZyLog::Verbose,
                 "Could not add parameter '%s' to file parser, probably already there.", name);
  }

  section->getParams()->push_back(arg);
  ZyConfigArg &added = section->getParams()->back();
  added.setPriority(priority);
  added.setIgnoreBounds(myIgnoreBounds);
  ZyLog::log(ZyLog::Verbose, "Added parameter '%s'", added.getName());
  return true;
}

bool ZyConfig::addComment(const char *comment, const char *sectionName,
                          ZyConfigArg::Priority priority) {
  return addParam(ZyConfigArg(comment, ZyConfigArg::DESCRIPTION_HOLDER), sectionName, priority);
}

bool ZyConfig::addSection(const char *sectionName, const char *comment) {
  if (sectionName == nullptr)
    sectionName = "";
  ZyConfigSection *section = findSection(sectionName);
  if (section != nullptr) {
    section->setComment(comment);
    mySavedOnlySections.erase(section);
    return true;
  }
  ZyLog::log(ZyLog::Verbose, "Making new section '%s'", sectionName);
  mySections.push_back(new ZyConfigSection(sectionName, comment));
  return true;
}

// ---------------------------------------------------------------------------
// Reading

bool ZyConfig::parseFile(const char *fileName, bool continueOnErrors, bool noFileNotFoundMessage,
                         char *errorBuffer, size_t errorBufferSize) {
  myFileName = fileName != nullptr ? fileName : "";
  clearError(errorBuffer, errorBufferSize);
  // Every read starts outside any section, even when the previous read
  // stopped early inside one.
  mySection.clear();
  mySectionBroken = false;
  mySectionIgnored = false;
  myUnknownLines.clear();

  bool ret = myParser.parseFile(myFileName.c_str(), continueOnErrors, noFileNotFoundMessage,
                                errorBuffer, errorBufferSize);

  if (myArgumentParser != nullptr && (ret || continueOnErrors)) {
    if (!parseArgumentParser(myArgumentParser, continueOnErrors,
                             freeErrorBuffer(errorBuffer, errorBufferSize),
                             freeErrorLength(errorBuffer, errorBufferSize)))
      ret = false;
  }
  if (ret || continueOnErrors) {
    if (!callProcessFileCallBacks(continueOnErrors, freeErrorBuffer(errorBuffer, errorBufferSize),
                                  freeErrorLength(errorBuffer, errorBufferSize)))
      ret = false;
  }
  // The current section belongs to the read that just ended.
  mySection.clear();
  mySectionBroken = false;
  mySectionIgnored = false;
  return ret;
}

bool ZyConfig::parseSection(ZyArgumentBuilder *arg, char *errorBuffer, size_t errorBufferLen) {
  if (arg == nullptr)
    return false;
  std::string name = arg->getWholeText();
  mySectionIgnored = false;
  ZyConfigSection *section = findSection(name.c_str());
  if (section != nullptr && mySavedOnlySections.count(section) == 0) {
    ZyLog::log(ZyLog::Verbose, "Config switching to section '%s'", name.c_str());
    mySection = name;
    mySectionBroken = false;
    mySectionsSeen = true;
    return true;
  }

  // No known section of that name. A section made by an earlier read to
  // hold saved lines stays unknown, so that reading the same file again
  // treats its lines exactly as the first read did.
  mySection.clear();
  mySectionBroken = true;
  if (myFailOnBadSection) {
    errorText(errorBuffer, errorBufferLen, "ZyConfig: Could not find section '%s'", name.c_str());
    ZyLog::log(ZyLog::Terse, "ZyConfig: Could not find section '%s', failing", name.c_str());
    return false;
  }
  if (mySaveUnknown && !textFileCanCarry(name.c_str())) {
    // Its lines could be kept, but not the name they stand under: written
    // back, they would come under some other section.
    ZyLog::log(ZyLog::Normal, "ZyConfig: Ignoring section '%s' and its lines: a name, like %s.",
               name.c_str(), TEXT_RULE);
    mySectionIgnored = true;
    return true;
  }
  if (mySaveUnknown) {
    mySection = name;
    if (section == nullptr) {
      ZyLog::log(ZyLog::Verbose, "ZyConfig: making new section '%s' to save unknown", name.c_str());
      section = new ZyConfigSection(name.c_str());
      mySections.push_back(section);
      mySavedOnlySections.insert(section);
    } else {
      ZyLog::log(ZyLog::Verbose, "ZyConfig: section '%s' holds only saved lines, saving unknown",
                 name.c_str());
    }
    return true;
  }
  ZyLog::log(ZyLog::Normal, "ZyConfig: Ignoring section '%s'", name.c_str());
  return true;
}

bool ZyConfig::parseArgument(ZyArgumentBuilder *arg, char *errorBuffer, size_t errorBufferLen) {
  if (arg == nullptr)
    return false;
  std::string keyword = arg->getExtraText();
  if (mySectionBroken) {
    ZyLog::log(ZyLog::Verbose, "Skipping parameter %s because section broken", keyword.c_str());
    if (myFailOnBadSection) {
      errorText(errorBuffer, errorBufferLen, "Failed because broken config section");
      return false;
    }
    return true;
  }
  if (myDuplicateParams && mySectionsSeen && mySection.empty()) {
    errorText(errorBuffer, errorBufferLen, "%s not in section, client needs an upgrade",
              keyword.c_str());
    ZyLog::log(ZyLog::Normal, "%s not in a section, client needs an upgrade", keyword.c_str());
    return false;
  }

  clearError(errorBuffer, errorBufferLen);
  const char *wholeText = arg->getWholeText();
  bool found = false;
  bool ret = true;
  for (ZyConfigSection *section : mySections) {
    if (strcasecmp(section->getName(), mySection.c_str()) != 0)
      continue;
    for (ZyConfigArg &param : *section->getParams()) {
      ZyConfigArg::Type type = param.getType();
      // Saved lines and comments are not parameters.
      if (type == ZyConfigArg::SAVED_LINE || type == ZyConfigArg::DESCRIPTION_HOLDER ||
          strcasecmp(param.getName(), keyword.c_str()) != 0)
        continue;
      found = true;
      const char *name = param.getName();
      char *eb = freeErrorBuffer(errorBuffer, errorBufferLen);
      size_t el = freeErrorLength(errorBuffer, errorBufferLen);

      if (type != ZyConfigArg::STRING && type != ZyConfigArg::FUNCTOR && arg->getArgc() < 1) {
        ZyLog::log(ZyLog::Verbose, "ZyConfig: parameter '%s' has no argument.", name);
        continue;
      }
      const char *first = arg->getArg(0);
      switch (type) {
      case ZyConfigArg::INT:
        if (arg->isInt(0) && fitsInt32(first)) {
          int value = arg->asInt(0);
          if (param.setInt(value, eb, el)) {
            ZyLog::log(ZyLog::Verbose, "Set parameter '%s' to '%d'", name, value);
          } else {
            ZyLog::log(ZyLog::Verbose, "Could not parameter '%s' to '%d'", name, value);
            ret = false;
          }
        } else {
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig: parameter '%s' is an integer parameterbut was given non-integer "
                     "argument of '%s'",
                     name, first);
          errorText(eb, el, "%s is an integer parameter but was given non-integer argument of '%s'",
                    name, first);
          ret = false;
        }
        break;
      case ZyConfigArg::DOUBLE:
        if (arg->isDouble(0)) {
          double value = arg->asDouble(0);
          if (param.setDouble(value, eb, el)) {
            ZyLog::log(ZyLog::Verbose, "Set parameter '%s' to '%.10f'", name, value);
          } else {
            ZyLog::log(ZyLog::Verbose, "Could not set parameter '%s' to '%.10f'", name, value);
            ret = false;
          }
        } else {
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig: parameter '%s' is a double parameter but was given non-double "
                     "argument of '%s'",
                     name, first);
          errorText(eb, el, "%s is a double parameter but was given non-double argument of '%s'",
                    name, first);
          ret = false;
        }
        break;
      case ZyConfigArg::BOOL:
        if (arg->isBool(0)) {
          bool value = arg->asBool(0);
          if (param.setBool(value, eb, el)) {
            ZyLog::log(ZyLog::Verbose, "Set parameter '%s' to %s", name, value ? "true" : "false");
          } else {
            ZyLog::log(ZyLog::Verbose, "Could not set parameter '%s' to %s", name,
                       value ? "true" : "false");
            ret = false;
          }
        } else {
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig: parameter '%s' is a bool parameter but was given non-bool "
                     "argument of '%s'",
                     name, first);
          errorText(eb, el, "%s is a bool parameter but was given non-bool argument of '%s'", name,
                    first);
          ret = false;
        }
        break;
      case ZyConfigArg::STRING:
        if (!textFileCanCarry(wholeText)) {
          ZyLog::log(ZyLog::Normal, "ZyConfig: text '%s' for %s refused: %s.", wholeText, name,
                     TEXT_RULE);
          errorText(eb, el, "%s could not be set to '%s'.", name, wholeText);
          ret = false;
        } else if (param.setString(wholeText)) {
          ZyLog::log(ZyLog::Verbose, "Set parameter string '%s' to '%s'", name, wholeText);
        } else {
          ZyLog::log(ZyLog::Verbose, "Could not set string parameter '%s' to '%s'", name,
                     wholeText);
          errorText(eb, el, "%s could not be set to '%s'.", name, wholeText);
          ret = false;
        }
        break;
      case ZyConfigArg::FUNCTOR:
        if (param.setArgWithFunctor(arg, eb, el)) {
          ZyLog::log(ZyLog::Verbose, "Set arg '%s' with '%s'", name, wholeText);
        } else {
          ZyLog::log(ZyLog::Verbose, "Could not set parameter '%s' to '%s'", name, wholeText);
          errorText(freeErrorBuffer(errorBuffer, errorBufferLen),
                    freeErrorLength(errorBuffer, errorBufferLen), "%s could not be set to '%s'.",
                    name, wholeText);
          ret = false;
        }
        break;
      default:
        ZyLog::log(ZyLog::Terse, "Have no argument type for config '%s', got string '%s'.\n", name,
                   wholeText);
        break;
      }
    }
  }
  if (found)
    return ret;

  ZyArgumentBuilder unknown(512);
  unknown.add(keyword.c_str());
  if (wholeText[0] != '\0')
    unknown.add(wholeText);
  return parseUnknown(&unknown, errorBuffer, errorBufferLen);
}

bool ZyConfig::parseUnknown(ZyArgumentBuilder *arg, char *, size_t) {
  if (arg == nullptr)
    return false;
  if (mySectionIgnored) {
    ZyLog::log(ZyLog::Verbose, "ZyConfig: Unknown '%s' in an ignored section, ignoring it",
               arg->getWholeText());
    return true;
  }
  // A line from a file is kept as it was written: its words joined again
  // would lose the backslash of an escaped blank, and a line such as
  // "\ Name x" would come back as a setting of Name.
  const char *line = myParser.getLineText();
  if (line != nullptr)
    myUnknownLines.push_back(UnknownLine{myParser.getLineNumber(), line});
  else
    line = arg->getWholeText();
  if (!mySaveUnknown) {
    ZyLog::log(ZyLog::Verbose, "ZyConfig: Unknown '%s' in section '%s', ignoring it", line,
               mySection.c_str());
    return true;
  }
  ZyLog::log(ZyLog::Verbose, "ZyConfig: Unknown '%s' in section '%s', saving it", line,
             mySection.c_str());
  ZyConfigSection *section = findOrMakeSection(mySection.c_str());
  // Reading the same file again must not pile up copies of its unknown
  // lines; the writer would write only one of them anyway.
  for (const ZyConfigArg &param : *section->getParams())
    if (param.getType() == ZyConfigArg::SAVED_LINE && strcmp(param.getName(), line) == 0)
      return true;
  section->getParams()->push_back(ZyConfigArg(line, ZyConfigArg::SAVED_LINE));
  section->getParams()->back().setPriority(ZyConfigArg::NORMAL);
  return true;
}

// ---------------------------------------------------------------------------
// Process-file callbacks

void ZyConfig::insertProcessFileHolder(const ProcessFileHolder &holder) {
  // Descending priority; a new entry goes after the existing ones of equal
  // priority so that those run in the order they were added.
  auto it = myProcessFileCBs.begin();
  while (it != myProcessFileCBs.end() && it->priority >= holder.priority)
    ++it;
  myProcessFileCBs.insert(it, holder);
}

void ZyConfig::addProcessFileCB(ProcessFileCB *functor, int priority) {
  ProcessFileHolder holder;
  holder.plain = functor;
  holder.priority = priority;
  insertProcessFileHolder(holder);
}

void ZyConfig::addProcessFileCB(ProcessFileWithErrorCB *functor, int priority) {
  ProcessFileHolder holder;
  holder.withError = functor;
  holder.priority = priority;
  insertProcessFileHolder(holder);
}

void ZyConfig::remProcessFileCB(ProcessFileCB *functor) {
  myProcessFileCBs.remove_if([functor](const ProcessFileHolder &holder) {
    return holder.plain == functor && holder.withError == nullptr;
  });
}

void ZyConfig::remProcessFileCB(ProcessFileWithErrorCB *functor) {
  myProcessFileCBs.remove_if([functor](const ProcessFileHolder &holder) {
    return holder.withError == functor && holder.plain == nullptr;
  });
}

bool ZyConfig::callProcessFileCallBacks(bool continueOnErrors, char *errorBuffer,
                                        size_t errorBufferLen) {
  mySection.clear();
  clearError(errorBuffer, errorBufferLen);
  ZyLog::log(myProcessFileLogLevel, "ZyConfig: Processing file");

  bool ret = true;
  // A callback may add or remove callbacks; walk a snapshot of the list.
  std::list<ProcessFileHolder> callbacks = myProcessFileCBs;
  for (const ProcessFileHolder &holder : callbacks) {
    std::string name = holder.name();
    if (!name.empty())
      ZyLog::log(myProcessFileLogLevel, "ZyConfig: Processing functor '%s' (%d)", name.c_str(),
                 holder.priority);
    else
      ZyLog::log(myProcessFileLogLevel, "ZyConfig: Processing unnamed functor (%d)",
                 holder.priority);

    bool ok;
    if (holder.plain != nullptr) {
      ok = holder.plain->invokeR();
    } else if (holder.withError != nullptr) {
      ok = holder.withError->invokeR(freeErrorBuffer(errorBuffer, errorBufferLen),
                                     freeErrorLength(errorBuffer, errorBufferLen));
    } else {
      ZyLog::log(ZyLog::Terse, "ZyConfig: Horrible problem with process callbacks");
      ok = false;
    }
    if (ok)
      continue;
    ret = false;
    if (continueOnErrors) {
      if (!name.empty())
        ZyLog::log(ZyLog::Normal,
                   "ZyConfig: Failed but continuing, the '%s' process file callback failed",
                   name.c_str());
      else
        ZyLog::log(ZyLog::Normal,
                   "ZyConfig: Failed but continuing, an unnamed process file callback failed");
    } else {
      if (!name.empty())
        ZyLog::log(ZyLog::Normal,
                   "ZyConfig: Failed, stopping because the '%s' process file callback failed",
                   name.c_str());
      else
        ZyLog::log(ZyLog::Normal,
                   "ZyConfig: Failed, stopping because unnamed process file callback failed");
      break;
    }
  }
  if (ret || continueOnErrors) {
    ZyLog::log(myProcessFileLogLevel, "ZyConfig: Processing with own processFile");
    if (!processFile())
      ret = false;
  }
  ZyLog::log(myProcessFileLogLevel, "ZyConfig: Done processing file, ret is %s",
             ret ? "true" : "false");
  return ret;
}

// ---------------------------------------------------------------------------
// Command-line overrides

bool ZyConfig::parseArgumentParser(ZyArgumentParser *parser, bool continueOnErrors,
                                   char *errorBuffer, size_t errorBufferLen) {
  if (parser == nullptr)
    return false;
  bool ret = true;
  size_t i = 0;
  while (i < parser->getArgc()) {
    const char *text = parser->getArg(i);
    if (text == nullptr) {
      ZyLog::log(ZyLog::Terse, "ZyConfig set up wrong (parseArgumentParser broken).");
      errorText(freeErrorBuffer(errorBuffer, errorBufferLen),
                freeErrorLength(errorBuffer, errorBufferLen),
                "ZyConfig set up wrong (parseArgumentParser broken).");
      return false;
    }
    const char *withoutDash = text[0] == '-' ? text + 1 : text;

    ZyConfigSection *matchSection = nullptr;
    std::string matched;
    for (ZyConfigSection *section : mySections) {
      for (const ZyConfigArg &param : *section->getParams()) {
        ZyConfigArg::Type type = param.getType();
        if (param.getName()[0] == '\0' || type == ZyConfigArg::SAVED_LINE ||
            type == ZyConfigArg::DESCRIPTION_HOLDER)
          continue;
        if (strcasecmp(param.getName(), text) == 0)
          matched = text;
        else if (strcasecmp(param.getName(), withoutDash) == 0)
          matched = withoutDash;
        else
          continue;
        matchSection = section;
        break;
      }
      if (matchSection != nullptr)
        break;
    }
    if (matchSection == nullptr) {
      i++;
      continue;
    }

    ZyArgumentBuilder builder(512);
    builder.setExtraText(matched.c_str());
    if (i + 1 < parser->getArgc()) {
      const char *value = parser->getArg(i + 1);
      if (value != nullptr && value[0] != '\0')
        builder.add(value);
      parser->removeArg(i + 1);
    }
    parser->removeArg(i);

    std::string savedSection = mySection;
    bool savedBroken = mySectionBroken;
    bool savedSeen = mySectionsSeen;
    bool savedDuplicates = myDuplicateParams;
    mySection = matchSection->getName();
    mySectionBroken = false;
    mySectionsSeen = true;
    myDuplicateParams = false;
    bool ok = parseArgument(&builder, freeErrorBuffer(errorBuffer, errorBufferLen),
                            freeErrorLength(errorBuffer, errorBufferLen));
    mySection = savedSection;
    mySectionBroken = savedBroken;
    mySectionsSeen = savedSeen;
    myDuplicateParams = savedDuplicates;
    if (!ok) {
      ret = false;
      if (!continueOnErrors)
        break;
    }
  }
  return ret;
}

// ---------------------------------------------------------------------------
// Writing

bool ZyConfig::writeFile(const char *fileName, bool append, std::set<std::string> *alreadyWritten,
                         bool writePriorities) {
  return writeFileAs(fileName, append ? ZySafeFile::Append : ZySafeFile::Replace, alreadyWritten,
                     writePriorities);
}

bool ZyConfig::writeNewFile(const char *fileName) {
  return writeFileAs(fileName, ZySafeFile::CreateNew, nullptr, false);
}

bool ZyConfig::writeFileAs(const char *fileName, int mode, std::set<std::string> *alreadyWritten,
                           bool writePriorities) {
  if (fileName == nullptr)
    fileName = "";
  std::string fullName;
  if (fileName[0] == '/' || fileName[0] == '\\')
    fullName = fileName;
  else
    fullName = myBaseDirectory + fileName;

  ZySafeFile replacement;
  if (!replacement.open(fullName, static_cast<ZySafeFile::Mode>(mode))) {
    ZyLog::log(ZyLog::Terse, "ZyConfig: Cannot open file '%s' for writing", fullName.c_str());
    return false;
  }
  FILE *file = replacement.file();

  // Without a caller's set, names are still written once per file.
  std::set<std::string> written;
  if (alreadyWritten == nullptr)
    alreadyWritten = &written;

  FileWriter writer{file};
  bool first = true;
  ZyConfigSection *unnamed = nullptr;
  for (ZyConfigSection *section : mySections)
    if (section->getName()[0] == '\0')
      unnamed = section;
  if (unnamed != nullptr) {
    writeSection(writer, unnamed, alreadyWritten, writePriorities);
    first = false;
  }
  for (ZyConfigSection *section : mySections) {
    if (section->getName()[0] == '\0')
      continue;
    if (!first)
      writer.put("\n");
    first = false;
    writeSection(writer, section, alreadyWritten, writePriorities);
  }

  if (writer.ok && !replacement.commit())
    writer.fail();
  if (!writer.ok) {
    replacement.abandon();
    ZyLog::log(ZyLog::Terse,
               "ZyConfig: Could not write file '%s' completely (%s); the file was left as it "
               "was, free some space or choose another file and write it again",
               fullName.c_str(), strerror(writer.error));
    return false;
  }
  return true;
}

void ZyConfig::writeSection(FileWriter &writer, ZyConfigSection *section,
                            std::set<std::string> *alreadyWritten, bool writePriorities) {
  if (section->getName()[0] != '\0')
    writer.put(std::string("Section ") + escapedText(section->getName()) + "\n");
  if (section->getComment()[0] != '\0') {
    std::string line = "; ";
    writer.putWrapped(line, false, section->getComment(), "; ");
  }

  const std::string continuation = std::string(COMMENT_COLUMN, ' ') + ";";
  for (const ZyConfigArg &param : *section->getParams()) {
    ZyConfigArg::Type type = param.getType();
    if (type == ZyConfigArg::INVALID)
      continue;
    if (type != ZyConfigArg::DESCRIPTION_HOLDER) {
      if (alreadyWritten->count(param.getName()) != 0)
        continue;
      alreadyWritten->insert(param.getName());
    }

    if (type == ZyConfigArg::FUNCTOR) {
      if (param.getDescription()[0] != '\0') {
        std::string line = "; ";
        writer.putWrapped(line, false, param.getDescription(), "; ");
      }
      const std::list<ZyArgumentBuilder *> *values = param.getArgsWithFunctor();
      if (values != nullptr)
        for (ZyArgumentBuilder *builder : *values)
          if (builder != nullptr)
            writer.put(quotedName(param.getName()) + " " + builder->getWholeText() + "\n");
      continue;
    }
    if (type == ZyConfigArg::SAVED_LINE) {
      writer.put(std::string(param.getName()) + "\n");
      continue;
    }
    if (type == ZyConfigArg::DESCRIPTION_HOLDER && param.getDescription()[0] == '\0') {
      writer.put("\n");
      continue;
    }

    std::string line;
    if (type != ZyConfigArg::DESCRIPTION_HOLDER) {
      line = quotedName(param.getName()) + " ";
      switch (type) {
      case ZyConfigArg::INT:
        line += formatted("%d", param.getInt());
        break;
      case ZyConfigArg::DOUBLE:
        if (std::isnan(param.getDouble()))
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig::writeFile: %s is not a number, which the file cannot carry; it "
                     "will not read back",
                     param.getName());
        line += doubleText(param.getDouble());
        break;
      case ZyConfigArg::STRING: {
        std::string value = param.getStringValue();
        if (!textFileCanCarry(value.c_str()))
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig::writeFile: %s holds the text '%s', which the file cannot carry "
                     "(%s); it will not read back as it is",
                     param.getName(), value.c_str(), TEXT_RULE);
        else if (!param.getUsesOwnString() && value.size() + 1 > param.getMaxStrLen())
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig::writeFile: %s holds %d characters, which fill its field; read "
                     "back, a text may have at most %d, so it will not read back",
                     param.getName(), static_cast<int>(value.size()),
                     static_cast<int>(param.getMaxStrLen()) - 1);
        // A line break inside the text would turn its remainder into a line
        // of its own, read back as some other keyword: the value ends there.
        line += escapedText(value.substr(0, value.find_first_of("\r\n")));
        break;
      }
      case ZyConfigArg::BOOL:
        line += param.getBool() ? "true" : "false";
        break;
      default:
        break;
      }
    }
    const char *mark = type == ZyConfigArg::DESCRIPTION_HOLDER ? "; " : ";";
    if (line.size() < COMMENT_COLUMN) {
      line.resize(COMMENT_COLUMN, ' ');
      line += mark;
    } else {
      line += type == ZyConfigArg::DESCRIPTION_HOLDER ? "; " : " ;";
    }

    if (type == ZyConfigArg::INT) {
      bool hasMin = param.getMinInt() != INT_MIN && param.getMinInt() != INT_MAX;
      bool hasMax = param.getMaxInt() != INT_MIN && param.getMaxInt() != INT_MAX;
      if (hasMin && hasMax)
        line += formatted(" range [%d, %d], ", param.getMinInt(), param.getMaxInt());
      else if (hasMin)
        line += formatted(" minumum %d, ", param.getMinInt());
      else if (hasMax)
        line += formatted(" maximum %d, ", param.getMaxInt());
    } else if (type == ZyConfigArg::DOUBLE) {
      bool hasMin = std::isfinite(param.getMinDouble());
      bool hasMax = std::isfinite(param.getMaxDouble());
      if (hasMin && hasMax)
        line += formatted(" range [%g, %g], ", param.getMinDouble(), param.getMaxDouble());
      else if (hasMin)
        line += formatted(" minimum %g, ", param.getMinDouble());
      else if (hasMax)
        line += formatted(" Maximum %g, ", param.getMaxDouble());
    }

    writer.putWrapped(line, true, param.getDescription(),
                      type == ZyConfigArg::DESCRIPTION_HOLDER ? std::string("; ") : continuation);
    if (writePriorities)
      writer.put(continuation + " Priority: " + ZyConfigArg::priorityName(param.getPriority()) +
                 "\n");
    if (!myNoBlanksBetweenParams)
      writer.put("\n");
  }
}

// SPDX-License-Identifier: MIT
// The configuration registry: sections of typed parameters, the keyword
// handlers that read a configuration file into them, command-line
// overrides and process-file callbacks. The writer of the file layout is
// ZyConfigWriter.cpp.
#include "ZyConfig.h"

#include "ZyArgumentBuilder.h"
#include "ZyArgumentParser.h"
#include "ZyConfigInternal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

using ZyConfigInternal::errorText;

namespace {
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
  mySetParams.clear();

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

void ZyConfig::noteSet(const char *name) {
  if (std::find(mySetParams.begin(), mySetParams.end(), name) == mySetParams.end())
    mySetParams.push_back(name);
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
            noteSet(name);
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
            noteSet(name);
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
            noteSet(name);
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
          noteSet(name);
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
          noteSet(name);
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

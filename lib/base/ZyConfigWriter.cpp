// SPDX-License-Identifier: MIT
// The writer of the configuration file layout: sections in order, each
// parameter as "name value" padded to the comment column, then its range
// and description wrapped to the line length; written through ZySafeFile,
// so a failed write leaves the old file as it was.
#include "ZyConfig.h"

#include "ZyArgumentBuilder.h"
#include "ZyConfigInternal.h"
#include "ZySafeFile.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
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

bool ZyConfig::writeFile(const char *fileName, bool append, std::set<std::string> *alreadyWritten,
                         bool writePriorities) {
  return writeFileAs(fileName, append ? ZySafeFile::Append : ZySafeFile::Replace, false, -1,
                     alreadyWritten, writePriorities);
}

bool ZyConfig::writeNewFile(const char *fileName) {
  return writeFileAs(fileName, ZySafeFile::CreateNew, false, -1, nullptr, false);
}

bool ZyConfig::writeFileExact(const char *fileName, bool createNew, int permissions) {
  return writeFileAs(fileName, createNew ? ZySafeFile::CreateNew : ZySafeFile::Replace, true,
                     permissions, nullptr, false);
}

bool ZyConfig::writeFileAs(const char *fileName, int mode, bool exact, int permissions,
                           std::set<std::string> *alreadyWritten, bool writePriorities) {
  if (fileName == nullptr)
    fileName = "";
  const std::string fullName = ZyConfigInternal::fullFileName(myBaseDirectory, fileName);

  ZySafeFile replacement;
  bool opened =
      exact ? replacement.openExact(fullName, static_cast<ZySafeFile::Mode>(mode), permissions)
            : replacement.open(fullName, static_cast<ZySafeFile::Mode>(mode));
  if (!opened) {
    ZyLog::log(ZyLog::Terse, "ZyConfig: Cannot open file '%s' for writing", fullName.c_str());
    return false;
  }
  FILE *file = replacement.file();

  FileWriter writer{file};
  writeSections(writer, alreadyWritten, writePriorities);
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

bool ZyConfig::writeTo(FILE *file) {
  if (file == nullptr) {
    errno = EINVAL;
    return false;
  }
  FileWriter writer{file};
  writeSections(writer, nullptr, false);
  if (!writer.ok)
    errno = writer.error;
  return writer.ok;
}

void ZyConfig::writeSections(FileWriter &writer, std::set<std::string> *alreadyWritten,
                             bool writePriorities) {
  // Without a caller's set, names are still written once per file.
  std::set<std::string> written;
  if (alreadyWritten == nullptr)
    alreadyWritten = &written;

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
        else if (!param.getUsesOwnString() && value.size() > param.getMaxTextLength())
          ZyLog::log(ZyLog::Terse,
                     "ZyConfig::writeFile: %s holds %d characters, which fill its field; read "
                     "back, a text may have at most %d, so it will not read back",
                     param.getName(), static_cast<int>(value.size()),
                     static_cast<int>(param.getMaxTextLength()));
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

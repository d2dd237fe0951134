// SPDX-License-Identifier: MIT
// ZyConfig: a registry of named, typed parameters grouped in sections. It
// writes them with their values and explanatory comments to a text file,
// reads such a file back into the owners' variables with range checks, and
// then runs the owners' process-file callbacks in priority order.
#ifndef ZYCONFIG_H
#define ZYCONFIG_H

#include "ZyConfigArg.h"
#include "ZyConfigSection.h"
#include "ZyFileParser.h"
#include "ZyFunctor.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdio>
#include <list>
#include <set>
#include <string>
#include <vector>

class ZyArgumentBuilder;
class ZyArgumentParser;

class ZyConfig {
public:
  typedef ZyRetFunctor<bool> ProcessFileCB;
  typedef ZyRetFunctor2<bool, char *, size_t> ProcessFileWithErrorCB;

  /// Column before which every parameter line is padded to put its ";".
  static const size_t COMMENT_COLUMN = 25;
  /// Longest line written before a comment is wrapped.
  static const size_t MAX_LINE_LENGTH = 78;

  /// What a text value may not hold: the file format cuts comments at ";"
  /// and "#", splits words at white space, and knows only a backslash
  /// before a blank as an escape (the writer escapes each blank that the
  /// splitting would lose: leading, trailing and repeated ones).
  static const char *const TEXT_RULE;
  /// True when the text, written to a file, reads back unchanged: it holds
  /// no ";", "#", tab or line break, and no backslash before a blank or at
  /// its end. Texts read from a file must pass it too.
  static bool textFileCanCarry(const char *text);

  /// A line of the last file read that named no parameter: its number and
  /// its text as written (kept as a saved line when saveUnknown is set).
  struct UnknownLine {
    int lineNumber;
    std::string text;
  };

  explicit ZyConfig(const char *baseDirectory = nullptr, bool noBlanksBetweenParams = false,
                    bool ignoreBounds = false, bool failOnBadSection = false,
                    bool saveUnknown = true);
  /// Copies settings and sections and registers the keywords anew; the
  /// process-file callbacks and the attached argument parser stay behind.
  ZyConfig(const ZyConfig &other);
  ZyConfig &operator=(const ZyConfig &other);
  virtual ~ZyConfig();

  /// Run after the process-file callbacks; true unless overridden.
  virtual bool processFile() { return true; }

  /// Adds a copy of arg to the section (created when missing).
  bool addParam(const ZyConfigArg &arg, const char *sectionName = "",
                ZyConfigArg::Priority priority = ZyConfigArg::NORMAL);
  /// Adds a description holder (a comment) to the section.
  bool addComment(const char *comment, const char *sectionName = "",
                  ZyConfigArg::Priority priority = ZyConfigArg::NORMAL);
  /// Creates a section, or replaces the comment of an existing one.
  bool addSection(const char *sectionName, const char *comment = "");

  /// Lookups without regard to letter case; the last match wins.
  ZyConfigSection *findSection(const char *sectionName) const;
  ZyConfigArg *findParam(const char *sectionName, const char *paramName) const;
  std::list<ZyConfigSection *> *getSections() { return &mySections; }

  /// Reads a file into the registered parameters, then applies the attached
  /// argument parser and runs the process-file callbacks.
  bool parseFile(const char *fileName, bool continueOnErrors = false,
                 bool noFileNotFoundMessage = false, char *errorBuffer = nullptr,
                 size_t errorBufferSize = 0);
  /// Writes every section with values and comments; false when the file
  /// cannot be opened or any write to it (or its closing) fails.
  bool writeFile(const char *fileName, bool append = false,
                 std::set<std::string> *alreadyWritten = nullptr, bool writePriorities = false);
  /// As writeFile, but never replaces a file: false when one of that name
  /// exists (or appears while it is written).
  bool writeNewFile(const char *fileName);
  /// Writes what writeFile writes to a stream the caller opened (and
  /// flushes and closes), e.g. a file put in place by the caller's own
  /// rules; false with errno set when a write failed. Logs only what
  /// writeFile logs of values that would not read back.
  bool writeTo(FILE *file);
  /// As writeFile in ZySafeFile's exact form: a symbolic link at the
  /// file's place is replaced, never written through (createNew: it counts
  /// as a file that exists, as any file there does), a named pipe or a
  /// character device there is written in place, and the file gets exactly
  /// permissions (-1: those a new file gets under the umask).
  bool writeFileExact(const char *fileName, bool createNew, int permissions = -1);

  /// Notes a parameter the read under way set.
  void noteSet(const char *name);
  /// Handlers of the file parser.
  bool parseArgument(ZyArgumentBuilder *arg, char *errorBuffer, size_t errorBufferLen);
  bool parseSection(ZyArgumentBuilder *arg, char *errorBuffer, size_t errorBufferLen);
  bool parseUnknown(ZyArgumentBuilder *arg, char *errorBuffer, size_t errorBufferLen);

  /// Process-file callbacks, run in descending priority (equal priorities
  /// in the order added). Callbacks are not owned.
  void addProcessFileCB(ProcessFileCB *functor, int priority = 0);
  void addProcessFileCB(ProcessFileWithErrorCB *functor, int priority = 0);
  /// Removes every entry holding the callback.
  void remProcessFileCB(ProcessFileCB *functor);
  void remProcessFileCB(ProcessFileWithErrorCB *functor);
  bool callProcessFileCallBacks(bool continueOnErrors, char *errorBuffer = nullptr,
                                size_t errorBufferLen = 0);

  /// Attaches a parser whose options override file values on every read.
  void useArgumentParser(ZyArgumentParser *parser) { myArgumentParser = parser; }
  /// Takes every option that names a parameter (with or without a leading
  /// dash) and its value out of the parser and sets the parameter.
  bool parseArgumentParser(ZyArgumentParser *parser, bool continueOnErrors = false,
                           char *errorBuffer = nullptr, size_t errorBufferLen = 0);

  /// The unknown lines of the last parseFile, in file order.
  const std::vector<UnknownLine> &getUnknownLines() const { return myUnknownLines; }
  /// The parameters the last parseFile set (a value taken, not refused),
  /// by their registered names, each once, in the order first set.
  const std::vector<std::string> &getSetParams() const { return mySetParams; }

  void setBaseDirectory(const char *baseDirectory);
  const char *getBaseDirectory() const { return myBaseDirectory.c_str(); }
  const char *getFileName() const { return myFileName.c_str(); }
  void setNoBlanksBetweenParams(bool noBlanks) { myNoBlanksBetweenParams = noBlanks; }
  bool getNoBlanksBetweenParams() const { return myNoBlanksBetweenParams; }
  void setSaveUnknown(bool saveUnknown) { mySaveUnknown = saveUnknown; }
  bool getSaveUnknown() const { return mySaveUnknown; }
  void setFailOnBadSection(bool failOnBadSection) { myFailOnBadSection = failOnBadSection; }
  bool getFailOnBadSection() const { return myFailOnBadSection; }
  bool getIgnoreBounds() const { return myIgnoreBounds; }
  void setProcessFileCallbacksLogLevel(ZyLog::LogLevel level) { myProcessFileLogLevel = level; }
  ZyLog::LogLevel getProcessFileCallbacksLogLevel() const { return myProcessFileLogLevel; }

  /// Removes every section and parameter and their keywords; callbacks stay.
  void clearAll();

private:
  struct ProcessFileHolder {
    ProcessFileCB *plain = nullptr;
    ProcessFileWithErrorCB *withError = nullptr;
    int priority = 0;
    const char *name() const;
  };
  typedef ZyRetFunctor3C<bool, ZyConfig, ZyArgumentBuilder *, char *, size_t> HandlerCB;
  struct FileWriter;

  void addParserHandlers();
  void copySettingsAndSections(const ZyConfig &other);
  void deleteSections();
  ZyConfigSection *findOrMakeSection(const char *sectionName);
  void insertProcessFileHolder(const ProcessFileHolder &holder);
  /// writeFile with a ZySafeFile::Mode; exact: ZySafeFile's exact form
  /// with permissions.
  bool writeFileAs(const char *fileName, int mode, bool exact, int permissions,
                   std::set<std::string> *alreadyWritten, bool writePriorities);
  void writeSections(FileWriter &writer, std::set<std::string> *alreadyWritten,
                     bool writePriorities);
  void writeSection(FileWriter &writer, ZyConfigSection *section,
                    std::set<std::string> *alreadyWritten, bool writePriorities);

  std::list<ZyConfigSection *> mySections;
  /// Sections made while reading only to hold saved lines of an unknown
  /// section; switching to them leaves the section broken.
  std::set<ZyConfigSection *> mySavedOnlySections;
  ZyFileParser myParser;
  HandlerCB myParseArgumentCB;
  HandlerCB myParseSectionCB;
  HandlerCB myParseUnknownCB;
  std::list<ProcessFileHolder> myProcessFileCBs;
  std::vector<UnknownLine> myUnknownLines;
  std::vector<std::string> mySetParams;

  std::string myBaseDirectory;
  std::string myFileName;
  std::string mySection;
  bool myNoBlanksBetweenParams = false;
  bool myIgnoreBounds = false;
  bool myFailOnBadSection = false;
  bool mySaveUnknown = true;
  bool mySectionBroken = false;
  /// The last section line named a section whose name the file cannot
  /// carry: its lines are neither applied nor kept.
  bool mySectionIgnored = false;
  bool mySectionsSeen = false;
  bool myDuplicateParams = false;
  ZyArgumentParser *myArgumentParser = nullptr;
  ZyLog::LogLevel myProcessFileLogLevel = ZyLog::Verbose;
};

#endif

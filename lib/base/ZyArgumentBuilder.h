// SPDX-License-Identifier: MIT
// ZyArgumentBuilder: a text split at white space into a numbered list of
// owned argument strings (at most capacity - 1 of them). A backslash before
// a blank keeps the blank; there is no other quoting.
#ifndef ZYARGUMENTBUILDER_H
#define ZYARGUMENTBUILDER_H

#include <cstddef>
#include <string>
#include <vector>

class ZyArgumentBuilder {
public:
  explicit ZyArgumentBuilder(size_t argvLen = 512);
  ZyArgumentBuilder(const ZyArgumentBuilder &other);
  ZyArgumentBuilder &operator=(const ZyArgumentBuilder &other);
  virtual ~ZyArgumentBuilder();

  /// Splits str into arguments; appended when position is negative or past
  /// the end, otherwise inserted starting at that index.
  void add(const char *str, int position = -1);
  /// printf-style into a 2048-byte buffer, then appended.
  void addFormatted(const char *format, ...) __attribute__((format(printf, 2, 3)));
  /// Adds each text of the array, each split like add, appended.
  void addStrings(int argc, char **argv, int position = -1);

  size_t getArgc() const { return myArgc; }
  size_t getCount() const { return myArgc; }
  char **getArgv() const { return myArgv; }
  char **getArgs() const { return myArgv; }
  /// The argument, or nullptr when index is not below the count.
  const char *getArg(size_t index) const;

  const char *getWholeText() const { return myWholeText.c_str(); }
  const char *getExtraText() const { return myExtraText.c_str(); }
  void setExtraText(const char *text) { myExtraText = text != nullptr ? text : ""; }
  void setWholeText(const char *text) { myWholeText = text != nullptr ? text : ""; }

  /// Removes one argument, keeping the order of the rest; its text stays
  /// valid until the builder is destroyed.
  void removeArg(size_t which);
  /// Logs the count and one line per argument at Terse.
  void log() const;

  bool isBool(size_t which) const;
  bool asBool(size_t which) const;
  bool isInt(size_t which) const;
  int asInt(size_t which) const;
  bool isDouble(size_t which) const;
  double asDouble(size_t which) const;

  /// Joins arguments that were split inside double quotes.
  void joinQuoted(bool stripQuotes);

  size_t getCapacity() const { return myArgvLen; }

  /// Size of the work buffer for one add and of the addFormatted buffer;
  /// longer texts are cut to BUFFER_SIZE - 1 characters.
  static const size_t BUFFER_SIZE = 2048;

private:
  void internalAdd(const char *str, int position);
  bool storeArg(const char *text, size_t length, bool append, size_t *insertAt);
  void retire(char *text);
  void rebuildWholeText();
  void freeAll();
  void copyFrom(const ZyArgumentBuilder &other);

  size_t myArgc = 0;
  char **myArgv = nullptr;
  size_t myArgvLen = 0;
  std::string myWholeText;
  std::string myExtraText;
  bool myFirstAdd = true;
  size_t myOrigArgc = 0; // slots used: highest count reached
  // Texts taken out of the list (removeArg, joinQuoted); kept alive until
  // destruction so pointers handed out earlier stay valid.
  std::vector<char *> myRetired;
};

#endif

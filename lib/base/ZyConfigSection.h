// SPDX-License-Identifier: MIT
// ZyConfigSection: a named group of configuration parameters with a
// comment; the empty name is the unnamed section.
#ifndef ZYCONFIGSECTION_H
#define ZYCONFIGSECTION_H

#include "ZyConfigArg.h"

#include <list>
#include <string>

class ZyConfigSection {
public:
  explicit ZyConfigSection(const char *name = "", const char *comment = "");
  virtual ~ZyConfigSection() = default;

  const char *getName() const { return myName.c_str(); }
  const char *getComment() const { return myComment.c_str(); }
  void setName(const char *name) { myName = name != nullptr ? name : ""; }
  void setComment(const char *comment) { myComment = comment != nullptr ? comment : ""; }

  /// The parameters in the order they were added.
  std::list<ZyConfigArg> *getParams() { return &myParams; }
  const std::list<ZyConfigArg> *getParams() const { return &myParams; }

  /// The parameter of that name (letter case ignored; the last match wins),
  /// or nullptr.
  ZyConfigArg *findParam(const char *paramName);

private:
  std::string myName;
  std::string myComment;
  std::list<ZyConfigArg> myParams;
};

#endif

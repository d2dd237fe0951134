// SPDX-License-Identifier: MIT
// A named group of configuration parameters.
#include "ZyConfigSection.h"

#include <strings.h>

ZyConfigSection::ZyConfigSection(const char *name, const char *comment)
    : myName(name != nullptr ? name : ""), myComment(comment != nullptr ? comment : "") {}

ZyConfigArg *ZyConfigSection::findParam(const char *paramName) {
  if (paramName == nullptr)
    return nullptr;
  ZyConfigArg *found = nullptr;
  for (ZyConfigArg &param : myParams)
    if (strcasecmp(param.getName(), paramName) == 0)
      found = &param;
  return found;
}

// SPDX-License-Identifier: MIT
// Helpers shared by the configuration's translation units.
#include "ZyConfigInternal.h"

#include <cstdarg>
#include <cstdio>

namespace ZyConfigInternal {
void errorText(char *buffer, size_t length, const char *format, ...) {
  if (buffer == nullptr || length == 0)
    return;
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, length, format, args);
  va_end(args);
}

std::string fullFileName(const std::string &baseDirectory, const char *fileName) {
  if (fileName == nullptr)
    fileName = "";
  if (fileName[0] == '/' || fileName[0] == '\\')
    return fileName;
  return baseDirectory + fileName;
}
} // namespace ZyConfigInternal

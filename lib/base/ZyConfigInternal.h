// SPDX-License-Identifier: MIT
// Helpers shared by the configuration's translation units (registry and
// reader, writer, typed parameters, file parser). Internal to the library:
// this header is not installed.
#ifndef ZYCONFIGINTERNAL_H
#define ZYCONFIGINTERNAL_H

#include <cstddef>
#include <string>

namespace ZyConfigInternal {
/// Writes a formatted error text when the caller gave a buffer (non-null,
/// length above 0); does nothing otherwise.
void errorText(char *buffer, size_t length, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/// The file a name refers to: an absolute name (leading '/' or backslash)
/// as it is, any other after the base directory (which carries its own
/// trailing separator, or is empty).
std::string fullFileName(const std::string &baseDirectory, const char *fileName);
} // namespace ZyConfigInternal

#endif

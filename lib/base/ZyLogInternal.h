// SPDX-License-Identifier: MIT
// What the log's configuration binding (ZyLogConfig.cpp) sees of the log's
// state, so that the log itself needs nothing of the configuration.
// Internal to the library: this header is not installed.
#ifndef ZYLOGINTERNAL_H
#define ZYLOGINTERNAL_H

#include "ZyLog.h"

namespace ZyLogInternal {
/// True when the log runs with exactly these settings (the file name as
/// last opened by init, "" before any).
bool runsWith(ZyLog::LogType type, ZyLog::LogLevel level, const char *fileName, bool logTime,
              bool alsoPrint);
} // namespace ZyLogInternal

#endif

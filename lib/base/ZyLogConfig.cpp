// SPDX-License-Identifier: MIT
// The log's configuration binding: the "LogConfig" section mirrors the log
// settings; after a file is read, processFile re-initialises the log when
// they differ. Kept apart from ZyLog.cpp so that the log, which every part
// of the library uses, depends on nothing of the configuration.
#include "ZyConfig.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZyLogInternal.h"

namespace {
int ourConfigLogType = ZyLog::StdOut;
int ourConfigLogLevel = ZyLog::Normal;
char ourConfigFileName[1024] = "log.txt";
bool ourConfigLogTime = false;
bool ourConfigAlsoPrint = false;

ZyGlobalRetFunctor<bool> &configCallback() {
  static ZyGlobalRetFunctor<bool> callback(&ZyLog::processFile);
  return callback;
}
} // namespace

void ZyLog::addToConfig(ZyConfig *config) {
  if (config == nullptr)
    return;
  const char *section = "LogConfig";
  config->addParam(ZyConfigArg("LogType", &ourConfigLogType,
                               "The type of log we'll be using, 0 for StdOut, 1 for StdErr, 2 for "
                               "File (and give it a file name), 3 for tessel (don't use that), and "
                               "4 for None",
                               StdOut, None),
                   section, ZyConfigArg::DETAILED);
  config->addParam(ZyConfigArg("LogLevel", &ourConfigLogLevel,
                               "The level of logging to do, 0 for Terse, 1 for Normal, and 2 for "
                               "Verbose",
                               Terse, Verbose),
                   section, ZyConfigArg::DETAILED);
  config->addParam(
      ZyConfigArg("LogFileName", ourConfigFileName, "File to log to", sizeof(ourConfigFileName)),
      section, ZyConfigArg::DETAILED);
  config->addParam(ZyConfigArg("LogTime", &ourConfigLogTime,
                               "True to prefix log messages with time and date, false not to"),
                   section, ZyConfigArg::DETAILED);
  config->addParam(ZyConfigArg("LogAlsoPrint", &ourConfigAlsoPrint,
                               "True to also printf the message, false not to"),
                   section, ZyConfigArg::DETAILED);
  configCallback().setName("ZyLog");
  config->addProcessFileCB(&configCallback(), 200);
}

bool ZyLog::processFile() {
  LogType type = static_cast<LogType>(ourConfigLogType);
  LogLevel level = static_cast<LogLevel>(ourConfigLogLevel);
  if (ZyLogInternal::runsWith(type, level, ourConfigFileName, ourConfigLogTime, ourConfigAlsoPrint))
    return true;
  log(Normal, "Initializing log from config");
  return init(type, level, ourConfigFileName, ourConfigLogTime, ourConfigAlsoPrint, true);
}

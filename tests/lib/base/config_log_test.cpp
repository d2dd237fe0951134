// SPDX-License-Identifier: MIT
// Tests of the log's configuration section: its exact file layout through
// the registry, and re-initialising the log from a configuration file.
#include "LogCapture.h"
#include "TempFiles.h"
#include "ZyConfig.h"
#include "ZyLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {
std::string readAll(const std::string &name) {
  std::ifstream in(name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string tempName(const char *tag) {
  return tempPath(std::string("zyconfig_log_") + tag);
}
} // namespace

// The mirror values hold their defaults here (the other test restores them).
TEST(LogConfig, WritesTheLogSectionByteForByte) {
  unsetenv("ZYLOG_LEVEL");
  ZyConfig config;
  ZyLog::addToConfig(&config);
  std::string file = tempName("write");
  ASSERT_TRUE(config.writeFile(file.c_str()));
  const std::string expected =
      "Section LogConfig\n"
      "LogType 0                ; range [0, 4],  The type of log we'll be using, 0 for\n"
      "                         ; StdOut, 1 for StdErr, 2 for File (and give it a file\n"
      "                         ; name), 3 for tessel (don't use that), and 4 for None\n"
      "\n"
      "LogLevel 1               ; range [0, 2],  The level of logging to do, 0 for\n"
      "                         ; Terse, 1 for Normal, and 2 for Verbose\n"
      "\n"
      "LogFileName log.txt      ; File to log to\n"
      "\n"
      "LogTime false            ; True to prefix log messages with time and date,\n"
      "                         ; false not to\n"
      "\n"
      "LogAlsoPrint false       ; True to also printf the message, false not to\n"
      "\n";
  EXPECT_EQ(readAll(file), expected);
  unlink(file.c_str());

  // Every parameter is registered at priority Detailed.
  for (const ZyConfigArg &arg : *config.findSection("LogConfig")->getParams())
    EXPECT_EQ(arg.getPriority(), ZyConfigArg::DETAILED) << arg.getName();
}

TEST(LogConfig, ReadingTheSectionReinitialisesTheLog) {
  unsetenv("ZYLOG_LEVEL");
  ZyConfig config;
  ZyLog::addToConfig(&config);
  std::string logFile = tempName("log");
  std::string file = tempName("read");
  std::ofstream(file) << "Section LogConfig\nLogType 2\nLogLevel 0\nLogFileName " << logFile
                      << "\nLogTime false\n";

  testing::internal::CaptureStdout();
  bool parsed;
  {
    LogCapture log(ZyLog::Normal);
    parsed = config.parseFile(file.c_str());
    EXPECT_TRUE(log.hasLine("Initializing log from config"));
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(parsed);
  // The capture's own clean-up re-initialised the log; read the file again
  // so the configuration takes effect for the rest of the test.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(config.parseFile(file.c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Initializing log from config\nZyLog::init:  File(" + logFile +
                     ")\t Terse\t Not logging time\t Not also printing\n");
  EXPECT_EQ(ZyLog::getType(), ZyLog::File);
  EXPECT_EQ(ZyLog::getLevel(), ZyLog::Terse);

  // Settings equal to the mirror values leave the log alone.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ZyLog::processFile());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ZyLog::log(ZyLog::Terse, "to the file");

  // A value out of range is refused and the log keeps its settings.
  std::ofstream(file) << "Section LogConfig\nLogType 5\n";
  char error[256] = "";
  EXPECT_FALSE(config.parseFile(file.c_str(), false, false, error, sizeof(error)));
  EXPECT_STREQ(error, "Line 2: LogType value of 5 is above maximum of 4.");
  EXPECT_EQ(ZyLog::getType(), ZyLog::File);

  // Reading the defaults back puts the log on standard output again and
  // leaves the mirror values as the other test expects them.
  std::ofstream(file) << "Section LogConfig\nLogType 0\nLogLevel 1\nLogFileName log.txt\n";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(config.parseFile(file.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ZyLog::init:  StdOut\t Normal\t Not logging time\t Not also printing\n");
  EXPECT_EQ(ZyLog::getType(), ZyLog::StdOut);
  EXPECT_EQ(readAll(logFile).rfind("to the file\n", 0), 0u);
  unlink(logFile.c_str());
  unlink(file.c_str());
}

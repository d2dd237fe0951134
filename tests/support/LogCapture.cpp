// SPDX-License-Identifier: MIT
// In-memory log sink for tests.
#include "LogCapture.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::vector<std::string> gLines;

void sink(int, const char *line) {
  std::lock_guard<std::mutex> guard(gMutex);
  gLines.emplace_back(line);
}
} // namespace

LogCapture::LogCapture(ZyLog::LogLevel level) {
  clear();
  ZyLog::init(ZyLog::Tessel, level, "", false, false, false);
  ZyLog::setTextSink(sink, 0);
}

LogCapture::~LogCapture() {
  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);
}

const std::vector<std::string> &LogCapture::lines() const {
  return gLines;
}

std::vector<std::string> LogCapture::snapshot() const {
  std::lock_guard<std::mutex> guard(gMutex);
  return gLines;
}

std::string LogCapture::text() const {
  std::lock_guard<std::mutex> guard(gMutex);
  std::string all;
  for (const auto &line : gLines)
    all += line + "\n";
  return all;
}

bool LogCapture::hasLine(const std::string &line) const {
  std::lock_guard<std::mutex> guard(gMutex);
  for (const auto &l : gLines)
    if (l == line)
      return true;
  return false;
}

bool LogCapture::contains(const std::string &part) const {
  std::lock_guard<std::mutex> guard(gMutex);
  for (const auto &l : gLines)
    if (l.find(part) != std::string::npos)
      return true;
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> guard(gMutex);
  gLines.clear();
}

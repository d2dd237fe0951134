// SPDX-License-Identifier: MIT
// The run report: JSON from the run's record (with the digests the
// operations noted in it), and the --report option with its exit callback.
#include "RunReport.h"

#include "ZySafeFile.h"
#include "ZyVersion.h"
#include "Zyla.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using nlohmann::json;

namespace {

std::string isoTime(std::chrono::system_clock::time_point when) {
  time_t seconds = std::chrono::system_clock::to_time_t(when);
  long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
      1000);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[40];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char full[48];
  snprintf(full, sizeof full, "%s.%03ldZ", text, millis);
  return full;
}

/// null for an empty text, else the text.
json textOrNull(const std::string &text) {
  return text.empty() ? json() : json(text);
}

const char *modeOf(const RunRecord &record) {
  if (record.run.check)
    return "check";
  if (record.run.offline)
    return "offline";
  return record.run.batch ? "batch" : "interactive";
}

/// What stands in the way of writing the report at path, "" when nothing
/// does: a pipe or a device is written in place, a link to anything else
/// is refused, and anything else goes through a new file in the report's
/// folder, which must take one.
std::string reportPlaceProblem(const std::string &path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && !ZySafeFile::linkToStream(path))
    return "it is a symbolic link, which the report does not write through";
  return ZySafeFile::placeProblem(path);
}

/// Writes all of text to fd; false when a write fails.
bool writeAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

std::string reportJson(const RunRecord &record, int status, const std::string &started,
                       const std::string &ended, double seconds) {
  json report;
  report["schema"] = "orvexconf-report/1";
  report["tool"] = {{"name", "orvexconf"}, {"version", ZYLA_VERSION}};
  report["started"] = started;
  report["ended"] = ended;
  report["durationSeconds"] = seconds;
  report["port"] = textOrNull(record.run.port);
  report["mode"] = modeOf(record);
  report["exitStatus"] = status;
  report["exitStatusName"] = exitStatusName(status);
  report["signal"] = record.run.stopSignal;
  // The identity reply and what it names are null when no reply came.
  const IdentityFields &reply = record.controller.identityReply;
  report["controller"] = {
      {"connected", record.controller.connected},
      {"identity", record.controller.identityChecked
                       ? json(firmwareIdentityName(record.controller.identity))
                       : json()},
      {"identityReply", textOrNull(reply.text)},
      {"monitorVersion", textOrNull(reply.monitorVersion)},
      {"firmwareName", textOrNull(reply.firmwareName)},
      {"firmwareVersion", textOrNull(reply.firmwareVersion)},
      {"robotName", record.block.flashRead ? json(record.controller.robotName) : json()},
      {"serialNumber", record.block.flashRead ? json(record.controller.serialNumber) : json()},
      {"intendedRobotName",
       record.controller.intendedKnown ? json(record.controller.intendedName) : json()},
      {"intendedSerialNumber",
       record.controller.intendedKnown ? json(record.controller.intendedSerial) : json()}};
  report["block"] = {{"read", record.block.flashRead},
                     {"sha256Before", textOrNull(record.block.sha256Before)},
                     {"sha256After", textOrNull(record.block.sha256After)},
                     {"written", record.block.flashWritten || !record.block.rescuedFrom.empty()},
                     {"verified", record.block.flashWritten || !record.block.rescuedFrom.empty()},
                     {"writeFailed", record.block.flashWriteFailed},
                     {"imageWritten", textOrNull(record.block.rescuedFrom)},
                     {"backupFile", textOrNull(record.block.backupFile)},
                     {"rescueFiles", record.block.rescueFiles},
                     {"unfinishedJournal", textOrNull(record.block.unfinishedJournal)}};
  json changes = json::array();
  for (const ParamChange &change : record.block.changes)
    changes.push_back({{"keyword", change.keyword},
                       {"table", change.table},
                       {"before", change.before},
                       {"after", change.after}});
  report["changes"] = changes;
  json refused = json::array();
  for (const RefusedValue &value : record.block.refusedValues)
    refused.push_back({{"keyword", value.keyword},
                       {"value", value.value},
                       {"reason", value.reason},
                       {"suggestion", textOrNull(value.suggestion)}});
  report["refused"] = refused;
  report["unprocessedArguments"] = record.block.refused;
  json firmware = json::array();
  json read = json::array();
  for (const FirmwareRecord &file : record.firmware) {
    json ranges = json::array();
    for (const auto &range : file.ranges)
      ranges.push_back({{"first", range.first}, {"end", range.second}});
    firmware.push_back({{"file", file.file},
                        {"format", textOrNull(file.format)},
                        {"sha256", textOrNull(file.digest)},
                        {"ranges", ranges},
                        {"blocksWritten", file.blocksWritten},
                        {"verified", file.verified},
                        {"blocksLeftOld", file.blocksLeftOld},
                        {"blocksDiffering", file.blocksDiffering},
                        {"state", textOrNull(firmwareStateName(file.state))},
                        {"written", file.written}});
    read.push_back(file.file);
  }
  report["firmware"] = firmware;
  if (!record.files.restoredFrom.empty())
    read.push_back(record.files.restoredFrom);
  if (!record.block.rescuedFrom.empty())
    read.push_back(record.block.rescuedFrom);
  json saved = json::array();
  for (const std::string *file :
       {&record.files.savedTo, &record.files.exportedTo, &record.block.backupFile})
    if (!file->empty())
      saved.push_back(*file);
  for (const std::string &file : record.block.rescueFiles)
    saved.push_back(file);
  report["files"] = {{"read", read}, {"saved", saved}};
  report["warnings"] = record.log.warnings;
  json messages = record.log.messages;
  if (record.log.messagesNotKept > 0)
    messages.push_back("(" + std::to_string(record.log.messagesNotKept) +
                       " more lines were logged and are not kept here.)");
  report["messages"] = messages;
  // Members of the runs that ask for them, made by those runs.
  const std::pair<const char *, const std::string *> members[] = {{"history", &record.historyJson},
                                                                  {"diff", &record.diffJson}};
  for (const auto &member : members)
    if (!member.second->empty())
      report[member.first] = json::parse(*member.second, nullptr, false);
  // Texts from the controller need not be UTF-8: bad bytes are replaced.
  return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

RunReport::RunReport(RunOutcome &outcome)
    : myOutcome(outcome), myStartWall(std::chrono::system_clock::now()),
      myStart(std::chrono::steady_clock::now()), myCallback(this, &RunReport::write) {
  myCallback.setName("RunReport::write");
}

ExitStatus RunReport::start(const std::string &path, bool missing, bool batch) {
  if (missing) {
    printf("--report needs a file name (or - for standard output).\n");
    fflush(stdout);
    return EXIT_OPTIONS;
  }
  if (path.empty())
    return EXIT_OK;
  myPath = path;
  Zyla::addExitCallback(&myCallback, 10);
  if (myPath == "-") {
    // The report alone on standard output; the rest of the run on
    // standard error.
    fflush(stdout);
    myOutFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (myOutFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      printf("Cannot keep standard output for the report: %s.\n", strerror(errno));
      myPath.clear();
      return EXIT_OPTIONS;
    }
    if (!batch) {
      // The report is still written: it carries the refusal too.
      const char *refusal = "--report - needs batch mode (-b): the shell talks on standard output.";
      printf("%s\n", refusal);
      fflush(stdout);
      myOutcome.update([refusal](RunRecord &record) { addMessage(record, refusal); });
      return EXIT_OPTIONS;
    }
    return EXIT_OK;
  }
  std::string problem = reportPlaceProblem(myPath);
  if (!problem.empty()) {
    printf("Cannot write the report '%s': %s. Give --report a file in a writable directory.\n",
           myPath.c_str(), problem.c_str());
    fflush(stdout);
    myPath.clear();
    return EXIT_SAVE_FAILED;
  }
  return EXIT_OK;
}

void RunReport::write() {
  if (myPath.empty() || myDropped)
    return;
  RunRecord record = myOutcome.snapshot();
  int sig = Zyla::signalReceived();
  if (record.run.stopSignal == 0 && sig != 0)
    record.run.stopSignal = sig;
  auto ended = std::chrono::system_clock::now();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - myStart).count();
  std::string text;
  try {
    text = reportJson(record, exitStatusOf(record), isoTime(myStartWall), isoTime(ended), seconds);
  } catch (const std::exception &error) {
    fprintf(stderr, "Cannot make the report: %s.\n", error.what());
    return;
  }
  if (myOutFd >= 0) {
    if (!writeAll(myOutFd, text))
      fprintf(stderr, "Cannot write the report to standard output: %s.\n", strerror(errno));
    return;
  }
  if (ZySafeFile::linkToStream(myPath)) {
    // /dev/stdout and its like: written in place, through the link.
    int fd = open(myPath.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info;
    int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    bool written = fd >= 0 && fstat(fd, &info) == 0 &&
                   (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) && flags >= 0 &&
                   fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 && writeAll(fd, text);
    int error = errno;
    if (fd >= 0)
      close(fd);
    if (!written)
      fprintf(stderr, "Cannot write the report '%s': %s.\n", myPath.c_str(),
              error == ENXIO ? "nobody reads that named pipe" : strerror(error));
    return;
  }
  // A new file of a fresh name renamed over the old one, never through a
  // link: a reader never sees half a report, and nothing else is written.
  ZySafeFile file;
  bool written = file.openExact(myPath, ZySafeFile::Replace, 0600) &&
                 file.write(text.data(), text.size()) && file.commit();
  if (!written) {
    int error = errno;
    file.abandon();
    fprintf(stderr, "Cannot write the report '%s': %s.\n", myPath.c_str(),
            error == ENXIO ? "nobody reads that named pipe" : strerror(error));
  }
}

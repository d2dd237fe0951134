// SPDX-License-Identifier: MIT
// The write journal: JSON lines written and read with nlohmann-json, whose
// exceptions end here; the tool reports by status. The file is opened from
// the store's folder without following a link or waiting, and checked.
#include "WriteJournal.h"

#include "BackupStore.h"
#include "JsonLines.h"
#include "ZyLog.h"
#include "ZySafeFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string textOf(const nlohmann::json &object, const char *key) {
  return jsonText(object, key);
}

int numberOf(const nlohmann::json &object, const char *key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_number_integer())
    return -1;
  long long value = found->get<long long>();
  return value >= 0 && value <= 1000000 ? static_cast<int>(value) : -1;
}

/// The "begin" line as an entry.
JournalBegin beginOf(const nlohmann::json &line, int number) {
  JournalBegin entry;
  entry.kind = textOf(line, "kind");
  entry.id = textOf(line, "id");
  entry.time = textOf(line, "time");
  entry.port = textOf(line, "port");
  entry.portPath = textOf(line, "port_path");
  entry.portById = textOf(line, "port_by_id");
  entry.name = textOf(line, "name");
  entry.serial = textOf(line, "serial");
  entry.intendedKnown = line.find("intended_serial") != line.end();
  entry.intendedName = textOf(line, "intended_name");
  entry.intendedSerial = textOf(line, "intended_serial");
  entry.backup = textOf(line, "backup");
  entry.oldSha256 = textOf(line, "old_sha256");
  entry.intendedSha256 = textOf(line, "intended_sha256");
  entry.version = textOf(line, "version");
  entry.file = textOf(line, "file");
  entry.sha256 = textOf(line, "sha256");
  auto blocks = line.find("blocks");
  if (blocks != line.end() && blocks->is_array())
    for (const nlohmann::json &block : *blocks)
      if (block.is_number_integer() && block.get<long long>() >= 0 && block.get<long long>() < 64)
        entry.blocks.push_back(static_cast<int>(block.get<long long>()));
  auto changes = line.find("changes");
  if (changes != line.end() && changes->is_array()) {
    entry.changesKnown = true;
    for (const nlohmann::json &change : *changes) {
      if (!change.is_object())
        continue;
      ParamChange item;
      item.keyword = textOf(change, "keyword");
      item.table = textOf(change, "table");
      item.before = textOf(change, "before");
      item.after = textOf(change, "after");
      auto text = change.find("text");
      item.text = text != change.end() && text->is_boolean() && text->get<bool>();
      if (!item.keyword.empty())
        entry.changes.push_back(item);
    }
  }
  auto whole = line.find("whole_block");
  entry.wholeBlock = whole != line.end() && whole->is_boolean() && whole->get<bool>();
  entry.line = number;
  return entry;
}
} // namespace

int WriteJournal::openChecked(bool forAppend, std::string *error) const {
  size_t slash = myPath.rfind('/');
  std::string name = slash == std::string::npos ? myPath : myPath.substr(slash + 1);
  int folder = myFolder;
  if (folder < 0) {
    std::string dir = slash == std::string::npos ? "." : myPath.substr(0, slash == 0 ? 1 : slash);
    folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
      int failure = errno;
      if (failure != ENOENT || forAppend)
        *error = "cannot open '" + myPath + "': " + strerror(failure);
      errno = failure;
      return -1;
    }
  }
  // Neither a link nor anything that could make the run wait (a named
  // pipe) is opened as the journal.
  int flags =
      (forAppend ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(folder, name.c_str(), flags, 0600);
  int failure = errno;
  if (folder != myFolder)
    close(folder);
  if (fd < 0) {
    if (failure == ELOOP)
      *error = "'" + myPath + "' is a symbolic link; the journal must be a file of the store's own";
    else if (failure != ENOENT || forAppend)
      *error = "cannot open '" + myPath + "': " + strerror(failure);
    errno = failure;
    return -1;
  }
  struct stat info;
  std::string wrong;
  if (fstat(fd, &info) != 0)
    wrong = std::string("cannot look at it: ") + strerror(errno);
  else if (!S_ISREG(info.st_mode))
    wrong = S_ISDIR(info.st_mode) ? "it is a folder, not a file" : "it is not a regular file";
  else if (info.st_uid != geteuid())
    wrong = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  else if ((info.st_mode & 077) != 0 && (forAppend || myMayTighten) && fchmod(fd, 0600) == 0)
    wrong = "";
  else if ((info.st_mode & 022) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "0%o", static_cast<unsigned>(info.st_mode & 07777));
    wrong = std::string("others can write it (mode ") + mode + ")";
  }
  if (!wrong.empty()) {
    close(fd);
    *error = "'" + myPath + "' cannot be used as the journal: " + wrong;
    errno = EPERM;
    return -1;
  }
  return fd;
}

bool WriteJournal::append(const std::string &line, std::string *error) {
  int fd = openChecked(true, error);
  if (fd < 0)
    return false;
  // A line cut short by a full disk earlier is ended first, so that it
  // spoils no other line.
  std::string whole = line;
  off_t size = lseek(fd, 0, SEEK_END);
  char last = '\n';
  if (size > 0 && pread(fd, &last, 1, size - 1) == 1 && last != '\n')
    whole.insert(0, "\n");
  // One write(2) a line: appends of two runs never mix within a line.
  ssize_t written = write(fd, whole.data(), whole.size());
  int failure = errno;
  bool ok = written == static_cast<ssize_t>(whole.size());
  if (!ok) {
    if (written >= 0)
      failure = ENOSPC;
  } else if (fsync(fd) != 0) {
    ok = false;
    failure = errno;
  }
  close(fd);
  if (ok && !(myFolder >= 0 ? ZySafeFile::syncDirectory(myFolder)
                            : ZySafeFile::syncDirectoryOf(myPath))) {
    ok = false;
    failure = errno;
  }
  if (!ok)
    *error = "cannot write to '" + myPath + "': " + strerror(failure);
  return ok;
}

bool WriteJournal::begin(const JournalBegin &entry, std::string *error) {
  try {
    if (entry.kind == "upload") {
      nlohmann::json line = {{"event", "begin"},
                             {"kind", "upload"},
                             {"id", entry.id},
                             {"time", entry.time},
                             {"port", entry.port},
                             {"port_path", entry.portPath},
                             {"port_by_id", entry.portById},
                             {"file", entry.file},
                             {"sha256", entry.sha256},
                             {"blocks", entry.blocks},
                             {"version", entry.version}};
      // The robot as last read, so that the history knows whose upload it was.
      if (!entry.serial.empty() || !entry.name.empty()) {
        line["name"] = entry.name;
        line["serial"] = entry.serial;
      }
      return append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                    error);
    }
    nlohmann::json changes = nlohmann::json::array();
    for (const ParamChange &change : entry.changes)
      changes.push_back({{"keyword", change.keyword},
                         {"table", change.table},
                         {"before", change.before},
                         {"after", change.after},
                         {"text", change.text}});
    nlohmann::json line = {{"event", "begin"},
                           {"id", entry.id},
                           {"time", entry.time},
                           {"port", entry.port},
                           {"port_path", entry.portPath},
                           {"port_by_id", entry.portById},
                           {"name", entry.name},
                           {"serial", entry.serial},
                           {"intended_name", entry.intendedName},
                           {"intended_serial", entry.intendedSerial},
                           {"backup", entry.backup},
                           {"old_sha256", entry.oldSha256},
                           {"intended_sha256", entry.intendedSha256},
                           {"version", entry.version}};
    if (entry.changesKnown)
      line["changes"] = changes;
    if (entry.wholeBlock)
      line["whole_block"] = true;
    // Texts from the block need not be UTF-8: such bytes are replaced.
    return append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                  error);
  } catch (const std::exception &e) {
    *error = std::string("cannot make the journal line: ") + e.what();
    return false;
  }
}

bool WriteJournal::end(const std::string &id, const std::string &outcome, int status,
                       std::string *error, int blocksWritten) {
  try {
    nlohmann::json line = {
        {"event", "end"}, {"id", id}, {"time", utcTimeText()}, {"outcome", outcome}};
    if (blocksWritten >= 0) {
      line["kind"] = "upload";
      line["blocks_written"] = blocksWritten;
    }
    if (status >= 0)
      line["status"] = status;
    return append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                  error);
  } catch (const std::exception &e) {
    *error = std::string("cannot make the journal line: ") + e.what();
    return false;
  }
}

bool WriteJournal::fail(const std::string &id, const std::string &outcome, int status,
                        std::string *error) {
  try {
    nlohmann::json line = {{"event", "failed"},
                           {"id", id},
                           {"time", utcTimeText()},
                           {"outcome", outcome},
                           {"status", status}};
    return append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                  error);
  } catch (const std::exception &e) {
    *error = std::string("cannot make the journal line: ") + e.what();
    return false;
  }
}

bool WriteJournal::readText(std::string *content, std::string *error) const {
  int fd = openChecked(false, error);
  if (fd < 0)
    return false;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      if (got < 0)
        *error = "cannot read '" + myPath + "': " + strerror(errno);
      break;
    }
    content->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return error->empty();
}

bool WriteJournal::read(std::vector<JournalBegin> *open, std::string *error) const {
  open->clear();
  std::string content;
  if (!readText(&content, error))
    return error->empty();
  std::istringstream in(content);
  *open = parse(in, myPath);
  return true;
}

bool WriteJournal::readRecords(std::vector<JournalRecord> *records, std::vector<int> *skipped,
                               std::string *error) const {
  records->clear();
  std::string content;
  if (!readText(&content, error))
    return error->empty();
  std::istringstream in(content);
  *records = parseRecords(in, skipped);
  return true;
}

std::vector<JournalRecord> WriteJournal::parseRecords(std::istream &in, std::vector<int> *skipped) {
  std::vector<JournalRecord> records;
  forEachJsonLine(in, skipped, [&records](const nlohmann::json &line, int number) {
    std::string event = textOf(line, "event");
    if (event == "begin") {
      JournalRecord record;
      record.begin = beginOf(line, number);
      records.push_back(record);
      return;
    }
    if (event != "end" && event != "failed")
      return;
    // The latest write of that id still open: ids are unique, but a line
    // can have been copied.
    std::string id = textOf(line, "id");
    auto open = std::find_if(records.rbegin(), records.rend(), [&id](const JournalRecord &r) {
      return !r.ended && r.begin.id == id;
    });
    if (open == records.rend())
      return;
    if (event == "end") {
      open->ended = true;
      open->outcome = textOf(line, "outcome");
      open->endTime = textOf(line, "time");
      open->status = numberOf(line, "status");
      open->blocksWritten = numberOf(line, "blocks_written");
    } else {
      open->begin.failed = textOf(line, "outcome").empty() ? "failed" : textOf(line, "outcome");
      open->failedTime = textOf(line, "time");
      open->failedStatus = numberOf(line, "status");
    }
  });
  return records;
}

std::vector<JournalBegin> WriteJournal::unfinished() const {
  std::vector<JournalBegin> open;
  std::string error;
  read(&open, &error);
  return open;
}

std::vector<JournalBegin> WriteJournal::parse(std::istream &in, const std::string &shownAs) {
  std::vector<JournalBegin> open;
  std::string text;
  for (int number = 1; std::getline(in, text); number++) {
    if (text.empty())
      continue;
    nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) {
      ZyLog::log(ZyLog::Terse,
                 "Warning: line %d of the write journal '%s' is not valid JSON; it is skipped.",
                 number, shownAs.c_str());
      continue;
    }
    std::string event = textOf(line, "event");
    std::string id = textOf(line, "id");
    if (event == "begin") {
      open.push_back(beginOf(line, number));
    } else if (event == "end") {
      for (auto it = open.begin(); it != open.end(); ++it)
        if (it->id == id) {
          open.erase(it);
          break;
        }
    } else if (event == "failed") {
      // A failed write stays open; the line says how it ended.
      for (JournalBegin &entry : open)
        if (entry.id == id)
          entry.failed = textOf(line, "outcome").empty() ? "failed" : textOf(line, "outcome");
    }
  }
  return open;
}

std::string WriteJournal::newId() {
  std::random_device random;
  char id[96];
  std::string time = utcTimeText();
  snprintf(id, sizeof id, "%s-%ld-%08x", time.c_str(), static_cast<long>(getpid()),
           static_cast<unsigned>(random()));
  return id;
}

// SPDX-License-Identifier: MIT
// The write journal: JSON lines written and read with nlohmann-json, whose
// exceptions end here; the tool reports by status.
#include "WriteJournal.h"

#include "BackupStore.h"
#include "ZyLog.h"
#include "ZySafeFile.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {
std::string textOf(const nlohmann::json &object, const char *key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}
} // namespace

bool WriteJournal::append(const std::string &line, std::string *error) {
  int fd = open(myPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot open '" + myPath + "': " + strerror(errno);
    return false;
  }
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
  if (ok && !ZySafeFile::syncDirectoryOf(myPath)) {
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
      return append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                    error);
    }
    nlohmann::json line = {{"event", "begin"},
                           {"id", entry.id},
                           {"time", entry.time},
                           {"port", entry.port},
                           {"port_path", entry.portPath},
                           {"port_by_id", entry.portById},
                           {"name", entry.name},
                           {"serial", entry.serial},
                           {"backup", entry.backup},
                           {"old_sha256", entry.oldSha256},
                           {"intended_sha256", entry.intendedSha256},
                           {"version", entry.version}};
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

std::vector<JournalBegin> WriteJournal::unfinished() const {
  std::vector<JournalBegin> open;
  std::ifstream in(myPath);
  std::string text;
  for (int number = 1; std::getline(in, text); number++) {
    if (text.empty())
      continue;
    nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) {
      ZyLog::log(ZyLog::Terse,
                 "Warning: line %d of the write journal '%s' is not valid JSON; it is skipped.",
                 number, myPath.c_str());
      continue;
    }
    std::string event = textOf(line, "event");
    std::string id = textOf(line, "id");
    if (event == "begin") {
      JournalBegin entry;
      entry.kind = textOf(line, "kind");
      entry.id = id;
      entry.time = textOf(line, "time");
      entry.port = textOf(line, "port");
      entry.portPath = textOf(line, "port_path");
      entry.portById = textOf(line, "port_by_id");
      entry.name = textOf(line, "name");
      entry.serial = textOf(line, "serial");
      entry.backup = textOf(line, "backup");
      entry.oldSha256 = textOf(line, "old_sha256");
      entry.intendedSha256 = textOf(line, "intended_sha256");
      entry.version = textOf(line, "version");
      entry.file = textOf(line, "file");
      entry.sha256 = textOf(line, "sha256");
      auto blocks = line.find("blocks");
      if (blocks != line.end() && blocks->is_array())
        for (const nlohmann::json &block : *blocks)
          if (block.is_number_integer() && block.get<long long>() >= 0 &&
              block.get<long long>() < 64)
            entry.blocks.push_back(static_cast<int>(block.get<long long>()));
      entry.line = number;
      open.push_back(entry);
    } else if (event == "end") {
      for (auto it = open.begin(); it != open.end(); ++it)
        if (it->id == id) {
          open.erase(it);
          break;
        }
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

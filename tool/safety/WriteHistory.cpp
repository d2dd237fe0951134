// SPDX-License-Identifier: MIT
// The history builder: the journal's records and the store's folders made
// into writes and uploads per controller, with the changes of writes whose
// journal line lists none found by comparing their backups.
#include "WriteHistory.h"

#include "BackupStore.h"
#include "ParamSetDiff.h"
#include "WriteJournal.h"
#include "ZyUtil.h"

#include <algorithm>
#include <map>
#include <set>
#include <sys/stat.h>

namespace {
const int BLOCK_SIZE = 4096;

/// The path of a recorded backup in this store: as recorded when it is in
/// the store's folder, else the same backups/<folder>/<file> in this store
/// when it is there (a store moved or given by a relative path), else as
/// recorded.
std::string locateBackup(const std::string &store, const std::string &recorded) {
  std::string prefix = store + "/backups/";
  if (recorded.empty() || recorded.compare(0, prefix.size(), prefix) == 0)
    return recorded;
  // The last three parts of the path: backups, the folder, the file.
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t slash; (slash = recorded.find('/', start)) != std::string::npos; start = slash + 1)
    parts.push_back(recorded.substr(start, slash - start));
  parts.push_back(recorded.substr(start));
  size_t n = parts.size();
  if (n < 3 || parts[n - 3] != "backups" || parts[n - 2].empty() || parts[n - 1].empty())
    return recorded;
  std::string here = prefix + parts[n - 2] + "/" + parts[n - 1];
  struct stat info;
  return lstat(here.c_str(), &info) == 0 ? here : recorded;
}

/// The folder under backups/ that path is in, "" when it is not in the store.
std::string folderOf(const std::string &store, const std::string &path) {
  std::string prefix = store + "/backups/";
  if (path.compare(0, prefix.size(), prefix) != 0)
    return "";
  size_t slash = path.find('/', prefix.size());
  return slash == std::string::npos ? "" : path.substr(prefix.size(), slash - prefix.size());
}

/// Blocks of the store by their SHA-256, read once each.
class BlockFinder {
public:
  void add(const std::string &sha, const std::string &path) {
    if (!sha.empty() && !path.empty())
      myPlaces.insert({sha, path});
  }
  /// A good backup holding the block with this SHA-256: true with its bytes.
  bool find(const std::string &sha, std::vector<unsigned char> *block) {
    auto known = myBlocks.find(sha);
    if (known == myBlocks.end()) {
      std::vector<unsigned char> found;
      auto range = myPlaces.equal_range(sha);
      std::string why;
      for (auto place = range.first; place != range.second && found.empty(); ++place)
        BackupStore::readBackup(place->second, sha, &found, &why);
      known = myBlocks.insert({sha, found}).first;
    }
    *block = known->second;
    return !block->empty();
  }

private:
  std::multimap<std::string, std::string> myPlaces;
  std::map<std::string, std::vector<unsigned char>> myBlocks;
};

/// A text that stands for a robot's Name: not empty, not erased.
bool realName(const std::string &name) {
  return name.find_first_not_of('?') != std::string::npos;
}

HistoryEvent eventOf(const JournalRecord &record, const std::string &store) {
  const JournalBegin &begin = record.begin;
  HistoryEvent event;
  event.kind = begin.kind == "upload" ? "upload" : begin.wholeBlock ? "block" : "write";
  event.id = begin.id;
  event.time = begin.time;
  event.endTime = record.endTime;
  event.version = begin.version;
  event.port = begin.port;
  event.portPath = begin.portPath;
  event.portById = begin.portById;
  event.name = begin.name;
  event.serial = begin.serial;
  event.intendedName = begin.intendedName;
  event.intendedSerial = begin.intendedSerial;
  event.intendedKnown = begin.intendedKnown;
  event.open = !record.ended;
  event.outcome = record.outcome;
  event.failed = begin.failed;
  event.status = record.ended ? record.status : record.failedStatus;
  event.file = begin.file;
  event.sha256 = begin.sha256;
  event.blocks = begin.blocks;
  event.blocksWritten = record.blocksWritten;
  event.line = begin.line;
  if (event.kind != "upload") {
    event.backup = locateBackup(store, begin.backup);
    if (begin.changesKnown) {
      event.changesFrom = "journal";
      event.changes = begin.changes;
    }
  }
  if (serialKnown(event.serial))
    event.serials.push_back(event.serial);
  if (event.kind != "upload" && event.intendedKnown && serialKnown(event.intendedSerial) &&
      event.intendedSerial != event.serial)
    event.serials.push_back(event.intendedSerial);
  if (event.serials.empty())
    event.serials.push_back("");
  return event;
}

/// Checks the event's backup and, when its journal line lists no changes,
/// compares the block before it with the block it wrote.
void completeWrite(HistoryEvent *event, const JournalBegin &begin, BlockFinder *blocks) {
  std::vector<unsigned char> before;
  if (!event->backup.empty()) {
    // A relative path not found in this store is nowhere to be found.
    BackupStore::BackupCheck check =
        event->backup[0] != '/'
            ? BackupStore::BackupCheck::Missing
            : BackupStore::readBackup(event->backup, begin.oldSha256, &before, &event->backupWhy);
    switch (check) {
    case BackupStore::BackupCheck::Good:
      event->backupState = "good";
      break;
    case BackupStore::BackupCheck::Missing:
      event->backupState = "missing";
      break;
    case BackupStore::BackupCheck::Altered:
      event->backupState = "altered";
      break;
    case BackupStore::BackupCheck::Unchecked:
      event->backupState = "unchecked";
      break;
    }
  }
  if (!event->changesFrom.empty())
    return;
  std::vector<unsigned char> after;
  if (begin.intendedSha256.empty()) {
    event->changesWhy = "the journal line holds no SHA-256 of the block written";
  } else if (before.empty() && !blocks->find(begin.oldSha256, &before)) {
    event->changesWhy = "no backup holds the block before it";
  } else if (!blocks->find(begin.intendedSha256, &after)) {
    event->changesWhy = "no backup holds the block it wrote";
  } else {
    event->changes = diffParamSets(paramSetFromBlock(before.data(), BLOCK_SIZE, "before"),
                                   paramSetFromBlock(after.data(), BLOCK_SIZE, "after"))
                         .changes;
    event->changesFrom = "backups";
  }
}

/// A Name seen at a time, for ordering a controller's names.
struct SeenName {
  std::string time;
  int order;
  std::string name;
};

void addName(std::vector<SeenName> *names, const std::string &name, const std::string &time,
             int order) {
  if (realName(name))
    names->push_back({time, order, name});
}

/// The names, the latest first, each once.
std::vector<std::string> latestFirst(std::vector<SeenName> seen) {
  std::sort(seen.begin(), seen.end(), [](const SeenName &a, const SeenName &b) {
    return a.time != b.time ? a.time > b.time : a.order > b.order;
  });
  std::vector<std::string> names;
  for (const SeenName &s : seen)
    if (std::find(names.begin(), names.end(), s.name) == names.end())
      names.push_back(s.name);
  return names;
}
} // namespace

StoreHistory readStoreHistory(const std::string &storeDirectory) {
  StoreHistory history;
  BackupStore store(storeDirectory);
  history.store = store.directory();
  history.journal = store.journalPath();
  std::string error;
  // Opened as a check opens it: nothing made or tightened.
  if (!store.open(BackupStore::Access::Look, &error)) {
    history.error = error;
    return history;
  }
  if (!store.isOpen())
    return history;

  std::vector<JournalRecord> records;
  std::vector<int> skipped;
  WriteJournal journal(store.journalPath());
  journal.setFolder(store.fd());
  journal.setMayTighten(false);
  if (!journal.readRecords(&records, &skipped, &error))
    history.error = error;
  for (int line : skipped)
    history.warnings.push_back("Warning: line " + std::to_string(line) + " of the write journal '" +
                               history.journal + "' is not valid JSON; it is skipped.");

  std::vector<BackupFolder> folders = store.folders();
  BlockFinder blocks;
  for (const BackupFolder &folder : folders) {
    if (!folder.problem.empty())
      history.warnings.push_back("Warning: " + folder.problem + "; it is left out.");
    for (int line : folder.skippedLines)
      history.warnings.push_back("Warning: line " + std::to_string(line) +
                                 " of the backup index '" + folder.path +
                                 "/index.jsonl' is not valid JSON; it is skipped.");
    for (const BackupIndexEntry &entry : folder.index)
      if (entry.file.find('/') == std::string::npos)
        blocks.add(entry.sha256, folder.path + "/" + entry.file);
  }

  for (const JournalRecord &record : records) {
    history.events.push_back(eventOf(record, history.store));
    if (record.begin.kind != "upload")
      blocks.add(record.begin.oldSha256, history.events.back().backup);
  }
  for (size_t i = 0; i < records.size(); i++)
    if (history.events[i].kind != "upload")
      completeWrite(&history.events[i], records[i].begin, &blocks);
  std::stable_sort(history.events.begin(), history.events.end(),
                   [](const HistoryEvent &a, const HistoryEvent &b) {
                     return a.time != b.time ? a.time > b.time : a.line > b.line;
                   });

  // The controllers: every SerNum of the journal's lines and of the
  // folders' backups.
  std::map<std::string, ControllerEntry> bySerial;
  std::map<std::string, std::vector<SeenName>> names;
  for (size_t i = 0; i < history.events.size(); i++) {
    const HistoryEvent &event = history.events[i];
    int order = event.line * 2;
    for (const std::string &serial : event.serials) {
      ControllerEntry &entry = bySerial[serial];
      entry.serial = serial;
      (event.kind == "upload" ? entry.uploads : entry.writes)++;
      entry.open += event.open ? 1 : 0;
      if (entry.last < 0) {
        entry.last = static_cast<int>(i);
        entry.lastTime = event.time;
        entry.lastPort = event.port;
      }
      entry.firstTime = event.time;
      // The block before the write, and so its backup, is that of the
      // SerNum it held.
      if (serial == event.serial || (serial.empty() && !serialKnown(event.serial))) {
        addName(&names[serial], event.name, event.time, order);
        std::string folder = folderOf(history.store, event.backup);
        if (!folder.empty() &&
            std::find(entry.folders.begin(), entry.folders.end(), folder) == entry.folders.end())
          entry.folders.push_back(folder);
      }
      if (writeLanded(event) && event.intendedKnown &&
          (serial == event.intendedSerial ||
           (serial.empty() && !serialKnown(event.intendedSerial))))
        addName(&names[serial], event.intendedName, event.time, order + 1);
    }
  }
  for (const BackupFolder &folder : folders) {
    if (!folder.problem.empty())
      continue;
    std::string serial = serialKnown(folder.serial) ? folder.serial : "";
    ControllerEntry &entry = bySerial[serial];
    entry.serial = serial;
    if (std::find(entry.folders.begin(), entry.folders.end(), folder.name) == entry.folders.end())
      entry.folders.push_back(folder.name);
    for (const BackupIndexEntry &backup : folder.index)
      if (backup.serial == serial || (serial.empty() && !serialKnown(backup.serial)))
        addName(&names[serial], backup.name, backup.time, -1);
  }
  for (auto &[serial, entry] : bySerial) {
    entry.names = latestFirst(names[serial]);
    std::sort(entry.folders.begin(), entry.folders.end());
    for (const BackupFolder &folder : folders)
      if (std::find(entry.folders.begin(), entry.folders.end(), folder.name) != entry.folders.end())
        entry.backups += static_cast<int>(folder.blocks.size());
    history.controllers.push_back(entry);
  }
  std::stable_sort(history.controllers.begin(), history.controllers.end(),
                   [](const ControllerEntry &a, const ControllerEntry &b) {
                     // The last written first; the blocks without a SerNum
                     // after the rest written at the same time.
                     if (a.lastTime != b.lastTime)
                       return a.lastTime > b.lastTime;
                     return !a.serial.empty() && b.serial.empty();
                   });
  return history;
}

bool writeLanded(const HistoryEvent &event) {
  return event.kind != "upload" && !event.open &&
         (event.outcome == "verified" || event.outcome == "found-written");
}

ControllerHistory historyOf(const StoreHistory &history, const std::string &query) {
  ControllerHistory result;
  result.query = query;
  for (const ControllerEntry &entry : history.controllers)
    if (!query.empty() && entry.serial == query)
      result.serials.push_back(entry.serial);
  for (int pass = 0; pass < 2 && result.serials.empty(); pass++)
    for (const ControllerEntry &entry : history.controllers)
      for (const std::string &name : entry.names)
        if (pass == 0 ? name == query
                      : ZyUtil::compareTextNoCase(name.c_str(), query.c_str()) == 0) {
          result.serials.push_back(entry.serial);
          result.byName = true;
          break;
        }
  if (result.serials.empty())
    for (const ControllerEntry &entry : history.controllers)
      if (std::find(entry.folders.begin(), entry.folders.end(), query) != entry.folders.end())
        result.serials.push_back(entry.serial);
  std::set<std::string> matched(result.serials.begin(), result.serials.end());
  for (size_t i = 0; i < history.events.size(); i++)
    for (const std::string &serial : history.events[i].serials)
      if (matched.count(serial) != 0) {
        result.events.push_back(i);
        break;
      }
  return result;
}

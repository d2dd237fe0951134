// SPDX-License-Identifier: MIT
// WriteHistory: every robot's parameters over time, from the backup store.
// The journal's writes and uploads, each with how it ended, its backup and
// the parameters it changed, grouped by controller (one a SerNum; the
// blocks without one share a group), and the controllers the store knows
// from its journal and its folders. What a write changed comes from its
// journal line; a line of an earlier version records none, and then the
// block before the write (its backup) is compared with the block it wrote,
// found by its SHA-256 among the store's backups (the backup of a later
// write that started from it). Reading changes nothing in the store: it is
// opened as a check opens it, nothing made, tightened or written.
#ifndef WRITEHISTORY_H
#define WRITEHISTORY_H

#include "ChangeList.h"

#include <string>
#include <vector>

/// One write of the parameter block or one firmware upload.
struct HistoryEvent {
  std::string kind; ///< "write" (parameters), "block" (a whole block image) or "upload"
  std::string id;
  std::string time;    ///< when it began, UTC
  std::string endTime; ///< of the line that closed it, "" while open
  std::string version; ///< of the tool
  std::string port;    ///< as given
  std::string portPath;
  std::string portById;
  std::string name;   ///< Name of the block as read ("" for an upload of an earlier version)
  std::string serial; ///< its SerNum
  std::string intendedName;
  std::string intendedSerial;
  bool intendedKnown = false; ///< the two above were recorded
  bool open = false;          ///< no line closed it
  std::string outcome;        ///< of the line that closed it ("verified", "superseded", ...)
  std::string failed;         ///< of a "failed" line ("rescued", "failed"), "" for none
  int status = -1;            ///< exit status recorded, -1 for none
  std::string backup;         ///< the backup of the block before it, in this store when found
  std::string backupState;    ///< "good", "missing", "altered", "unchecked"; "" for an upload
  std::string backupWhy;      ///< what is wrong with an altered backup
  /// "journal": the write's line lists them; "backups": found by comparing
  /// the blocks before and after it; "": not known (changesWhy says why).
  std::string changesFrom;
  std::string changesWhy;
  std::vector<ParamChange> changes; ///< in table order
  std::string file;                 ///< upload: the image file as given
  std::string sha256;               ///< upload: the image's SHA-256
  std::vector<int> blocks;          ///< upload: the blocks it was to write
  int blocksWritten = -1;           ///< upload: as its end line says, -1 for none
  int line = 0;                     ///< of its "begin" line in the journal
  /// The controllers it belongs to: its SerNum, and the one it wrote when
  /// it changed the SerNum; "" when the block held none.
  std::vector<std::string> serials;
};

/// One controller the store knows.
struct ControllerEntry {
  std::string serial;               ///< "" for the blocks without a SerNum
  std::vector<std::string> names;   ///< every Name it has had, the latest first
  std::vector<std::string> folders; ///< its folders under backups/, by name
  int writes = 0;                   ///< parameter and block image writes
  int uploads = 0;
  int open = 0;    ///< writes and uploads still open
  int backups = 0; ///< backup files in its folders
  std::string firstTime;
  std::string lastTime; ///< of its latest write or upload ("" when the journal has none)
  std::string lastPort;
  int last = -1; ///< its latest write or upload: index in the history's events, -1 for none
};

/// What the store holds, read once.
struct StoreHistory {
  std::string store;   ///< the store's folder
  std::string journal; ///< its journal
  /// Why the store or its journal could not be read ("" when they could):
  /// the history is then what the rest gives.
  std::string error;
  std::vector<std::string> warnings;        ///< lines skipped, folders left out
  std::vector<HistoryEvent> events;         ///< every write and upload, the newest first
  std::vector<ControllerEntry> controllers; ///< the last written first; no write at the end
};

/// The controllers a query names and their writes and uploads.
struct ControllerHistory {
  std::string query;
  bool byName = false;              ///< matched by a Name, not by a SerNum
  std::vector<std::string> serials; ///< the controllers matched ("" for no SerNum)
  /// Their writes and uploads, the newest first: indexes in the store
  /// history's events.
  std::vector<size_t> events;
};

/// True for a write known to have put its block on the controller: read
/// back as written, or found written by a later run.
bool writeLanded(const HistoryEvent &event);

/// Reads the store (storeDirectory "" for the default one) without
/// changing anything in it.
StoreHistory readStoreHistory(const std::string &storeDirectory);
/// The history of the controller whose SerNum is query, else of every
/// controller that has had the Name query (letter case counts unless no
/// Name matches otherwise), else of those whose backups are in the folder
/// query. Matches nothing for an unknown query.
ControllerHistory historyOf(const StoreHistory &history, const std::string &query);

#endif

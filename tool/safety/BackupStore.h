// SPDX-License-Identifier: MIT
// BackupStore: the user's own store of orvexconf's safety copies,
// $XDG_STATE_HOME/orvexconf/ (~/.local/state/orvexconf/ when unset) or the
// folder of --backup-dir. Before every erase of the FLASH parameter block
// the block as read is saved there, durably, under
// backups/<folder>/<UTC time>-<first 12 hex digits of SHA-256>.blk, one
// folder a controller: the folder that already holds backups of its SerNum
// (one named <Name>-<SerNum> by earlier versions included, kept where it
// is, since the journal names its files), else one named by the SerNum
// alone; blocks without a SerNum share "unknown-serial". Each folder has
// an index, index.jsonl, one JSON object a backup: its file, time, Name,
// SerNum, SHA-256, the port it came from, the write and the tool version.
// The store is its user's alone: every folder and file in it is opened
// from the store's folder without following a symbolic link, folders are
// made 0700 (existing ones tightened to 0700) and files 0600, and a store
// that belongs to another user, or that others can write and that cannot
// be tightened, is not used. Nothing is ever removed.
#ifndef BACKUPSTORE_H
#define BACKUPSTORE_H

#include <istream>
#include <string>
#include <vector>

/// One line of a controller folder's index: a backup and where it came from.
struct BackupIndexEntry {
  std::string file;     ///< the backup's file name in the folder
  std::string time;     ///< UTC, as utcTimeText
  std::string name;     ///< the robot's Name in the block
  std::string serial;   ///< its SerNum
  std::string sha256;   ///< of the block
  std::string port;     ///< the port as given
  std::string portPath; ///< its real path
  std::string portById; ///< its /dev/serial/by-id/ name, or ""
  std::string id;       ///< the write the backup was made for, as in the journal
  std::string version;  ///< of the tool
  int line = 0;         ///< line number in the index (when read)
};

/// A controller folder of the store as found on the disk.
struct BackupFolder {
  std::string name;                    ///< its name under backups/
  std::string path;                    ///< its full path
  std::string serial;                  ///< the SerNum its backups hold; "" when none or unknown
  bool hasIndex = false;               ///< an index was read
  std::vector<BackupIndexEntry> index; ///< the index's entries, oldest first
  std::vector<std::string> blocks;     ///< its .blk files, oldest first
  std::string problem;                 ///< why it or its index could not be read, "" if it could
  std::vector<int> skippedLines;       ///< index lines that are not valid JSON
};

class BackupStore {
public:
  /// The store in directory (made absolute from the current folder); ""
  /// for the default one.
  explicit BackupStore(const std::string &directory = std::string());
  ~BackupStore();
  BackupStore(const BackupStore &) = delete;
  BackupStore &operator=(const BackupStore &) = delete;

  /// $XDG_STATE_HOME/orvexconf, else $HOME/.local/state/orvexconf, with
  /// the password entry's home when HOME is not set.
  static std::string defaultDirectory();

  /// The store's folder, an absolute path.
  const std::string &directory() const { return myDirectory; }
  /// The write journal kept in the store.
  std::string journalPath() const { return myDirectory + "/journal.jsonl"; }

  /// How far opening the store may change it.
  enum class Access {
    Look,    ///< nothing is made or changed (a check); a store others can write is refused
    Tighten, ///< folders that exist are tightened to 0700; nothing is made
    Make     ///< as Tighten, and missing folders are made 0700
  };
  /// Opens the store's folder (and with Make its backups/ folder) without
  /// following a link at its place. The default store's missing parents
  /// are made with Make; a --backup-dir folder only when its parent
  /// exists. A store that does not exist is no failure for Look and
  /// Tighten: isOpen() stays false. False with *error naming the path and
  /// what is wrong with it; *unsafe is set when that is the store's own
  /// fault (a link, another owner, a folder others can write), as opposed
  /// to one that cannot be made (a missing parent, no permission).
  bool open(Access access, std::string *error, bool *unsafe = nullptr);
  bool isOpen() const { return myFd >= 0; }
  /// The store's folder, open; -1 when not open.
  int fd() const { return myFd; }
  /// open(Access::Make).
  bool prepare(std::string *error) { return open(Access::Make, error); }
  /// Saves a block (length bytes) and its SHA-256 (hex) as a backup; *path
  /// gets the file's path. A backup of the same name and content is kept
  /// as it is. False with *error saying why; nothing is left half written.
  bool save(const unsigned char *block, int length, const std::string &sha256, std::string *path,
            std::string *error);
  /// The same, with what the index records of the backup besides what the
  /// block tells (port, write, time, version; file, Name, SerNum and
  /// SHA-256 are filled in). The backup goes into the controller's folder
  /// (controllerFolder) and gets a line in its index.
  bool save(const unsigned char *block, int length, const std::string &sha256,
            const BackupIndexEntry &about, std::string *path, std::string *error);
  /// The folder under backups/ that the backups of a block with this SerNum
  /// (as blockText gives it; serialKnown false for an erased or empty one)
  /// go into: the folder whose index or backups hold that SerNum (one with
  /// an index first, then the one named by the SerNum, then the one with
  /// the newest backup), else a new one named by serialFolderName. Reads,
  /// makes nothing; open() must have succeeded.
  std::string controllerFolder(const std::string &serial, bool serialKnown) const;
  /// The store's controller folders, each with its index and backups, by
  /// name. Nothing is made or changed; a folder that is a link, or that
  /// others can write, is listed with its problem and not read.
  std::vector<BackupFolder> folders() const;

  /// What checkBackup found.
  enum class BackupCheck {
    Good,     ///< a regular file of the user's, 4096 bytes, with the SHA-256 given
    Missing,  ///< no file there
    Altered,  ///< something else there; *why says what
    Unchecked ///< the file is there but no SHA-256 was recorded to check it by
  };
  /// Checks the backup at path (opened without following a link) against
  /// the SHA-256 recorded for it ("" when none was).
  static BackupCheck checkBackup(const std::string &path, const std::string &sha256,
                                 std::string *why);
  /// checkBackup, and the backup's bytes in *block when it is Good.
  static BackupCheck readBackup(const std::string &path, const std::string &sha256,
                                std::vector<unsigned char> *block, std::string *why);
  /// A good backup of the block with this SHA-256 among the robot's
  /// backups in this store (backups/<robotFolderName>/), the newest first,
  /// other than path; "" when there is none.
  std::string sameBlockBackup(const std::string &name, const std::string &serial,
                              const std::string &sha256, const std::string &path) const;

private:
  /// Opens (with Make, makes) the folder name in parent, shown as path.
  bool openFolder(int parent, const std::string &name, const std::string &path, Access access,
                  int *fd, std::string *error, bool *unsafe) const;
  /// Adds entry as a line of the index of the folder open as folder.
  bool appendIndex(int folder, const std::string &shownFolder, const BackupIndexEntry &entry,
                   std::string *error) const;

  std::string myDirectory;
  bool myDefault;
  int myFd = -1;
  Access myAccess = Access::Look;
  int myBackupsFd = -1;
};

/// SHA-256 of data as 64 lower-case hex digits ("" if the library fails).
std::string sha256Hex(const unsigned char *data, size_t length);
/// A text field of a block, up to its first NUL, with every byte that is
/// not printable ASCII shown as "?".
std::string blockText(const unsigned char *block, int offset, int size);
/// The folder name earlier versions gave a block's robot: Name-SerNum
/// reduced to letters, digits, "-", "_" and "."; "unnamed" for an empty or
/// erased block.
std::string robotFolderName(const unsigned char *block);
/// The same from the Name and SerNum as blockText gives them.
std::string robotFolderName(const std::string &name, const std::string &serial);
/// The SerNum of a block as blockText gives it.
std::string blockSerial(const unsigned char *block);
/// The Name of a block as blockText gives it.
std::string blockName(const unsigned char *block);
/// False for a SerNum field that is empty, erased or holds erased bytes.
bool serialKnown(const unsigned char *block);
/// False for a SerNum as blockText gives it that is empty or all erased.
bool serialKnown(const std::string &serial);
/// The shared folder of the backups of blocks without a SerNum.
extern const char *const UNKNOWN_SERIAL_FOLDER;
/// The folder name of a SerNum: letters, digits, "-" and "_" kept, "." but
/// for a first one, every other byte as %xx, so that two SerNums never
/// share a name; UNKNOWN_SERIAL_FOLDER when !serialKnown(serial).
std::string serialFolderName(const std::string &serial);
/// The lines of a folder's index read from in; skipped gets the numbers of
/// the lines that are not valid JSON.
std::vector<BackupIndexEntry> parseBackupIndex(std::istream &in, std::vector<int> *skipped);
/// The current time in UTC: "2026-12-07T15:56:11Z".
std::string utcTimeText();

#endif

// SPDX-License-Identifier: MIT
// BackupStore: the user's own store of orvexconf's safety copies,
// $XDG_STATE_HOME/orvexconf/ (~/.local/state/orvexconf/ when unset) or the
// folder of --backup-dir. Before every erase of the FLASH parameter block
// the block as read is saved there, durably, under
// backups/<Name>-<SerNum>/<UTC time>-<first 12 hex digits of SHA-256>.blk.
// The store is its user's alone: every folder and file in it is opened
// from the store's folder without following a symbolic link, folders are
// made 0700 (existing ones tightened to 0700) and files 0600, and a store
// that belongs to another user, or that others can write and that cannot
// be tightened, is not used. Nothing is ever removed.
#ifndef BACKUPSTORE_H
#define BACKUPSTORE_H

#include <string>

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
  /// A good backup of the block with this SHA-256 among the robot's
  /// backups in this store (backups/<robotFolderName>/), the newest first,
  /// other than path; "" when there is none.
  std::string sameBlockBackup(const std::string &name, const std::string &serial,
                              const std::string &sha256, const std::string &path) const;

private:
  /// Opens (with Make, makes) the folder name in parent, shown as path.
  bool openFolder(int parent, const std::string &name, const std::string &path, Access access,
                  int *fd, std::string *error, bool *unsafe) const;

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
/// The folder name of a block's robot: Name-SerNum reduced to letters,
/// digits, "-", "_" and "."; "unnamed" for an empty or erased block.
std::string robotFolderName(const unsigned char *block);
/// The same from the Name and SerNum as blockText gives them.
std::string robotFolderName(const std::string &name, const std::string &serial);
/// The current time in UTC: "2026-12-07T15:56:11Z".
std::string utcTimeText();

#endif

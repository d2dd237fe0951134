// SPDX-License-Identifier: MIT
// BackupStore: the user's own store of orvexconf's safety copies,
// $XDG_STATE_HOME/orvexconf/ (~/.local/state/orvexconf/ when unset) or the
// folder of --backup-dir. Before every erase of the FLASH parameter block
// the block as read is saved there, durably, under
// backups/<Name>-<SerNum>/<UTC time>-<first 12 hex digits of SHA-256>.blk.
// Folders are made 0700 and files 0600; nothing is ever removed.
#ifndef BACKUPSTORE_H
#define BACKUPSTORE_H

#include <string>

class BackupStore {
public:
  /// The store in directory; "" for the default one.
  explicit BackupStore(const std::string &directory = std::string());

  /// $XDG_STATE_HOME/orvexconf, else $HOME/.local/state/orvexconf, with
  /// the password entry's home when HOME is not set.
  static std::string defaultDirectory();

  const std::string &directory() const { return myDirectory; }
  /// The write journal kept in the store.
  std::string journalPath() const { return myDirectory + "/journal.jsonl"; }

  /// Makes the store's folder when missing: the default store with its
  /// missing parents, a --backup-dir folder only when its parent exists.
  /// False with *error saying why.
  bool prepare(std::string *error);
  /// Saves a block (length bytes) and its SHA-256 (hex) as a backup; *path
  /// gets the file's path. A backup of the same name and content is kept
  /// as it is. False with *error saying why; nothing is left half written.
  bool save(const unsigned char *block, int length, const std::string &sha256, std::string *path,
            std::string *error);

private:
  std::string myDirectory;
  bool myDefault;
};

/// SHA-256 of data as 64 lower-case hex digits ("" if the library fails).
std::string sha256Hex(const unsigned char *data, size_t length);
/// A text field of a block, up to its first NUL, with every byte that is
/// not printable ASCII shown as "?".
std::string blockText(const unsigned char *block, int offset, int size);
/// The folder name of a block's robot: Name-SerNum reduced to letters,
/// digits, "-", "_" and "."; "unnamed" for an empty or erased block.
std::string robotFolderName(const unsigned char *block);
/// The current time in UTC: "2026-12-07T15:56:11Z".
std::string utcTimeText();

#endif

// SPDX-License-Identifier: MIT
// WriteJournal: journal.jsonl in the backup store, one JSON object a line.
// Every write of the FLASH parameter block gets a "begin" line before the
// erase and an "end" line with its outcome; a "begin" without its "end"
// is a write that never finished. A firmware upload gets the same two
// lines with "kind": "upload" (a parameter write's lines carry no kind).
// Lines are only ever appended, each with
// one write(2) on a descriptor opened with O_APPEND and then flushed to
// the disk, so two runs on two ports may append at once.
#ifndef WRITEJOURNAL_H
#define WRITEJOURNAL_H

#include <string>
#include <vector>

/// A "begin" line.
struct JournalBegin {
  std::string kind;           ///< "" for a parameter write, "upload" for firmware
  std::string id;             ///< matches the "end" line
  std::string time;           ///< UTC, as utcTimeText
  std::string port;           ///< the port as given
  std::string portPath;       ///< its real path
  std::string portById;       ///< its /dev/serial/by-id/ name, or ""
  std::string name;           ///< the robot's Name, from the old block
  std::string serial;         ///< its SerNum
  std::string backup;         ///< path of the backup of the old block
  std::string oldSha256;      ///< of the old block
  std::string intendedSha256; ///< of the block to be written
  std::string version;        ///< of the tool
  std::string file;           ///< upload: the firmware file as given
  std::string sha256;         ///< upload: the image's SHA-256 (FirmwareImage::digest)
  std::vector<int> blocks;    ///< upload: the blocks it erases and writes
  int line = 0;               ///< line number in the journal (when read)
};

class WriteJournal {
public:
  explicit WriteJournal(const std::string &path) : myPath(path) {}
  const std::string &path() const { return myPath; }

  /// Appends a "begin" line (an upload's when entry.kind is "upload");
  /// false with *error saying why.
  bool begin(const JournalBegin &entry, std::string *error);
  /// Appends the "end" line of the write id: outcome ("verified",
  /// "rescued", "failed", or how an unfinished write was closed) and the
  /// exit status it gives (none when status < 0). An upload's "end"
  /// (blocksWritten >= 0) carries "kind": "upload" and the blocks written.
  bool end(const std::string &id, const std::string &outcome, int status, std::string *error,
           int blocksWritten = -1);
  /// The "begin" lines without an "end", oldest first. A line that is not
  /// valid JSON is skipped with a warning naming the file and the line.
  std::vector<JournalBegin> unfinished() const;

  /// A new id for a write: UTC time, process id and a random part.
  static std::string newId();

private:
  bool append(const std::string &line, std::string *error);
  std::string myPath;
};

#endif

// SPDX-License-Identifier: MIT
// WriteJournal: journal.jsonl in the backup store, one JSON object a line.
// Every write of the FLASH parameter block gets a "begin" line before the
// erase and an "end" line once it is known good; a write that failed gets
// a "failed" line instead, which leaves it open: the block may be erased
// or partly written until something shows otherwise. A "begin" without its
// "end" is a write that never finished. A firmware upload gets a "begin"
// and an "end" with "kind": "upload" (a parameter write's lines carry no
// kind). A parameter write's "begin" lists the parameters it changes
// ("changes": keyword, table, before, after) and says whether a whole block
// image is written ("whole_block"); an upload's names the robot as last
// read ("name", "serial"), when it was. Lines are only ever appended, each with one write(2) on a
// descriptor opened with O_APPEND and then flushed to the disk, so two
// runs on two ports may append at once. The journal is opened without
// following a link and without waiting, and must be a regular file of the
// user's.
#ifndef WRITEJOURNAL_H
#define WRITEJOURNAL_H

#include "ChangeList.h"

#include <istream>
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
  std::string intendedName;   ///< Name of the block to be written
  std::string intendedSerial; ///< its SerNum
  bool intendedKnown = false; ///< the two above were recorded (not by older versions)
  std::string backup;         ///< absolute path of the backup of the old block
  std::string oldSha256;      ///< of the old block
  std::string intendedSha256; ///< of the block to be written
  std::string version;        ///< of the tool
  std::string file;           ///< upload: the firmware file as given
  std::string sha256;         ///< upload: the image's SHA-256 (FirmwareImage::digest)
  std::vector<int> blocks;    ///< upload: the blocks it erases and writes
  int line = 0;               ///< line number in the journal (when read)
  std::string failed;         ///< when read: the outcome of a "failed" line, "" for none
  /// The parameters the write changes, old block to intended one, in table
  /// order; recorded when changesKnown (not by older versions).
  std::vector<ParamChange> changes;
  bool changesKnown = false;
  bool wholeBlock = false; ///< a whole block image is written (-restoreBlock)
};

/// A "begin" line with what the lines after it say of its end.
struct JournalRecord {
  JournalBegin begin;
  bool ended = false;     ///< an "end" line closed it
  std::string outcome;    ///< of the "end" line
  std::string endTime;    ///< of the "end" line
  int status = -1;        ///< exit status of the "end" line, -1 when none
  int blocksWritten = -1; ///< upload: of the "end" line, -1 when none
  std::string failedTime; ///< of the "failed" line, "" for none (begin.failed has its outcome)
  int failedStatus = -1;  ///< of the "failed" line
};

class WriteJournal {
public:
  explicit WriteJournal(const std::string &path) : myPath(path) {}
  const std::string &path() const { return myPath; }
  /// The journal's folder, open (the store's); it stays the caller's. -1:
  /// the folder of path is opened for each access.
  void setFolder(int fd) { myFolder = fd; }
  /// Whether reading may tighten a journal others can read to 0600; when
  /// not (a check changes nothing), one others can write is refused.
  void setMayTighten(bool may) { myMayTighten = may; }

  /// Appends a "begin" line (an upload's when entry.kind is "upload");
  /// false with *error saying why.
  bool begin(const JournalBegin &entry, std::string *error);
  /// Appends the "end" line of the write id: outcome ("verified", or how
  /// an unfinished write was closed) and the exit status it gives (none
  /// when status < 0). An upload's "end" (blocksWritten >= 0) carries
  /// "kind": "upload" and the blocks written.
  bool end(const std::string &id, const std::string &outcome, int status, std::string *error,
           int blocksWritten = -1);
  /// Appends the "failed" line of the write id ("rescued" or "failed"),
  /// which leaves it open.
  bool fail(const std::string &id, const std::string &outcome, int status, std::string *error);
  /// Reads the "begin" lines without an "end" into *open, oldest first;
  /// false with *error naming the journal and what is wrong with it (a
  /// link, not a regular file, another user's) when it cannot be read.
  /// No journal is an empty one.
  bool read(std::vector<JournalBegin> *open, std::string *error) const;
  /// read, with a failure taken as an empty journal.
  std::vector<JournalBegin> unfinished() const;
  /// Reads every "begin" line with how it ended into *records, oldest
  /// first, and the numbers of the lines that are not valid JSON into
  /// *skipped; false with *error as read.
  bool readRecords(std::vector<JournalRecord> *records, std::vector<int> *skipped,
                   std::string *error) const;
  /// The records of a journal's text; logs nothing.
  static std::vector<JournalRecord> parseRecords(std::istream &in, std::vector<int> *skipped);
  /// The unfinished "begin" lines of a journal's text. A line that is not
  /// valid JSON is skipped with a warning naming shownAs and the line.
  static std::vector<JournalBegin> parse(std::istream &in, const std::string &shownAs);

  /// A new id for a write: UTC time, process id and a random part.
  static std::string newId();

private:
  bool append(const std::string &line, std::string *error);
  /// The journal's whole text; false with *error (none for no journal).
  bool readText(std::string *content, std::string *error) const;
  /// The journal opened for reading or appending, checked; -1 with *error.
  int openChecked(bool forAppend, std::string *error) const;
  std::string myPath;
  int myFolder = -1;
  bool myMayTighten = true;
};

#endif

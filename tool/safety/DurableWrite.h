// SPDX-License-Identifier: MIT
// DurableWrite: the front end's safeguard of the FLASH parameter block
// write. Before the erase it saves the block as read in the backup store
// and records a "begin" in the write journal, and refuses the write when
// either cannot be done; afterwards it records the outcome, and for a
// failed write of parameters saves the block as it should be in rescue
// files. After a block
// read it looks for writes to the same port that are still open and says
// what to do about them: an entry stays open until the block as read is
// that write's intended block, or the block from before the first of the
// open writes, or a whole block image was written back and verified, or
// the operator dismisses it. The journal is read once a run. Firmware
// uploads are journalled too, but only to be reported: the image file is
// their source, so a journal that cannot be written warns and the upload
// goes on. A check (--check) reads the journal but writes nothing to the
// store and changes nothing in it.
#ifndef DURABLEWRITE_H
#define DURABLEWRITE_H

#include "BackupStore.h"
#include "FirmwareDownload.h"
#include "ParameterBlockLink.h"
#include "WriteJournal.h"

#include <string>
#include <vector>

/// The names a port goes by: as given, its real path, and its
/// /dev/serial/by-id/ name where one exists.
struct PortNames {
  std::string given;
  std::string real;
  std::string byId;
  static PortNames of(const std::string &port);
  /// True when the journal entry was written for the same port.
  bool matches(const JournalBegin &entry) const;
};

class DurableWrite : public WriteSafeguard {
public:
  /// storeDirectory "" for the default store; port as given.
  DurableWrite(const std::string &storeDirectory, const std::string &port);

  /// A check: the journal is read, nothing is written to the store, and
  /// the store is neither made nor tightened. Call before anything else.
  void setCheckOnly(bool check) { myCheckOnly = check; }

  bool beforeErase(const unsigned char *old, const unsigned char *intended,
                   WriteKind kind) override;
  RescueFiles afterWrite(bool verified) override;

  /// What the journal says of the block just read.
  enum class Unfinished {
    None,      ///< no unfinished write to this port
    Closed,    ///< there was one, but the block shows it ended; recorded
    Dismissed, ///< there was one; closed without writing as asked
    Blocking,  ///< the block may be erased or partly written by it
    OtherRobot ///< there was one, but the block is another robot's
  };
  /// Notes the robot's Name and SerNum for the journal's upload lines, then
  /// looks for unfinished writes to this port, warns of them, closes them
  /// when the block (4096 bytes, as read) shows they ended, or when dismiss
  /// is set (not in a check), and for a block that may be damaged says how
  /// to write back its checked backup and how to compare first.
  Unfinished checkUnfinished(const unsigned char *block, bool dismiss);
  /// Looks for uploads to this port that never finished and says which
  /// blocks may be erased or partly written; closes them as "dismissed"
  /// when dismiss is set (not in a check). True when there was one.
  bool checkUnfinishedUploads(bool dismiss);
  /// Records the start of an upload of file (the image's SHA-256 and the
  /// blocks it erases and writes). A journal that cannot be written only
  /// warns: the upload goes on.
  void beginUpload(const std::string &file, const std::string &sha256,
                   const std::vector<int> &blocks);
  /// Records the end of the upload begun: outcome "verified", "written"
  /// (no read-back), "failed" or "stopped", the blocks written and the
  /// exit status it gives (none when status < 0). A finished upload closes
  /// every earlier unfinished one to this port as "superseded".
  void endUpload(const std::string &outcome, int blocksWritten, int status);
  /// Writes image with download, journalled between beginUpload and
  /// endUpload (not at all without a link). failStatus is the exit status
  /// a failed upload gives (< 0: none, as in the shell). Returns what the
  /// download returned.
  bool upload(FirmwareDownload &download, const FirmwareImage &image, MonitorLink *link,
              int failStatus);

  /// The next write asks on standard input before it goes ahead (for an
  /// interactive run that found a Blocking write).
  void askBeforeWriting(bool ask) { myAsk = ask; }
  /// The backup saved by the last write ("" when none).
  const std::string &lastBackup() const { return myBackup; }
  /// The warning checkUnfinished or checkUnfinishedUploads gave ("" when
  /// none; both warnings, one a line, when both gave one).
  const std::string &notice() const { return myNotice; }
  const BackupStore &store() const { return myStore; }

private:
  /// Reads the journal, once a run; a store or journal that cannot be used
  /// is said once and noted in myJournalError.
  void loadJournal();
  /// Unfinished "begin" lines for this port: uploads or parameter writes.
  std::vector<JournalBegin> unfinishedHere(bool uploads);
  /// Closes an entry: an "end" line (none in a check), and out of the
  /// entries still open. False when the line could not be written.
  bool close(const std::string &id, const std::string &outcome, std::string *error,
             int blocksWritten = -1);
  /// Closes the parameter writes to this port that a block with this
  /// SHA-256 shows ended, quietly, warning only of a line not written.
  void settle(const std::string &sha);
  /// Says how to put back the block as it was before entry, from a backup
  /// that is checked first, and how to compare before writing.
  void showRecovery(const JournalBegin &entry);
  /// Says once that a check dismisses nothing.
  void checkDismissesNothing();

  BackupStore myStore;
  WriteJournal myJournal;
  PortNames myPort;
  bool myCheckOnly = false;
  bool myLoaded = false;
  std::string myJournalError;       ///< why the journal could not be read
  std::vector<JournalBegin> myOpen; ///< the journal's open entries, every port's
  std::string myId;
  WriteKind myKind = WriteKind::Parameters;
  std::string myIntendedSha;
  std::string myIntendedName;   ///< of the write under way
  std::string myIntendedSerial; ///< of the write under way
  ParamBlock myIntended{};      ///< the block the write under way is to put there
  std::string myReadName;       ///< the robot's Name as last read or written, for uploads
  std::string myReadSerial;     ///< its SerNum
  std::string myUploadId;       ///< of the upload under way, "" when none
  std::string myBackup;
  std::string myNotice;
  bool myAsk = false;
  bool mySaidCheckDismisses = false;
};

#endif

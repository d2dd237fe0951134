// DurableWrite: the front end's safeguard of the FLASH parameter block
// write. Before the erase it saves the block as read in the backup store
// and records a "begin" in the write journal, and refuses the write when
// either cannot be done; afterwards it records the outcome. After a block
// read it looks for a write to the same port that never finished and says
// what to do about it.
#ifndef DURABLEWRITE_H
#define DURABLEWRITE_H

#include "BackupStore.h"
#include "FlashTransfer.h"
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

  bool beforeErase(const unsigned char *old, const unsigned char *intended) override;
  void afterWrite(WriteOutcome outcome) override;

  /// What the journal says of the block just read.
  enum class Unfinished {
    None,      ///< no unfinished write to this port
    Closed,    ///< there was one, but the block shows it ended; recorded
    Dismissed, ///< there was one; closed without writing as asked
    Blocking,  ///< the block may be erased or partly written by it
    OtherRobot ///< there was one, but the block is another robot's
  };
  /// Looks for unfinished writes to this port, warns of them and closes
  /// them when the block (4096 bytes, as read) shows they ended, or when
  /// dismiss is set.
  Unfinished checkUnfinished(const unsigned char *block, bool dismiss);
  /// The next write asks on standard input before it goes ahead (for an
  /// interactive run that found a Blocking write).
  void askBeforeWriting(bool ask) { myAsk = ask; }
  /// The backup saved by the last write ("" when none).
  const std::string &lastBackup() const { return myBackup; }
  /// The warning checkUnfinished gave ("" when none).
  const std::string &notice() const { return myNotice; }
  const BackupStore &store() const { return myStore; }

private:
  void closePending(const std::string &outcome);

  BackupStore myStore;
  WriteJournal myJournal;
  PortNames myPort;
  std::string myId;
  std::string myBackup;
  std::string myNotice;
  std::vector<std::string> myPending; ///< ids of unfinished writes found
  bool myAsk = false;
};

#endif

// SPDX-License-Identifier: MIT
// The safeguard of the parameter block write: backup and journal before
// the erase, the outcome after it, and what a run says of writes that are
// still open: which block would put things right, checked before it is
// named, and commands quoted for a shell.
#include "DurableWrite.h"

#include "ConnectOptions.h"
#include "ExitStatus.h"
#include "InputLine.h"
#include "ParamSetDiff.h"
#include "RescueFiles.h"
#include "ShellText.h"
#include "ZyLog.h"
#include "ZyVersion.h"
#include "Zyla.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace {
const int BLOCK_SIZE = FLASH_BLOCK_SIZE;
const char *const BY_ID = "/dev/serial/by-id";

std::string nameOf(const unsigned char *block) {
  ParamField field = robotNameField();
  return blockText(block, field.offset, field.size);
}

std::string serialOf(const unsigned char *block) {
  ParamField field = serialNumberField();
  return blockText(block, field.offset, field.size);
}

std::string realPathOf(const std::string &path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

/// True when the serial number field holds erased bytes before its end: a
/// write cut in the middle of it.
bool serialDamaged(const unsigned char *block) {
  ParamField field = serialNumberField();
  for (int i = 0; i < field.size && block[field.offset + i] != 0; i++)
    if (block[field.offset + i] == 0xFF)
      return true;
  return false;
}

/// Reads the operator's answer; only "y" or "Y" says yes.
bool answeredYes() {
  char line[256];
  InputLine read = readInputLine(stdin, line, sizeof line);
  if (read != InputLine::line)
    return false;
  const char *c = line;
  while (*c != '\0' && isspace(static_cast<unsigned char>(*c)))
    c++;
  return *c == 'y' || *c == 'Y';
}

/// The refusal of an erase because the store cannot be trusted with it.
void refuseUnusableStore(const std::string &store, const std::string &why) {
  ZyLog::log(ZyLog::Terse,
             "The backup store '%s' cannot be used (%s). Nothing was erased: the block on the "
             "controller is as it was.",
             escapedText(store).c_str(), escapedText(why).c_str());
  ZyLog::log(ZyLog::Terse, "Put the store right, or give a folder of your own that only you can "
                           "write with --backup-dir DIR, and write again.");
}
} // namespace

PortNames PortNames::of(const std::string &port) {
  PortNames names;
  names.given = port;
  // A port across the network is also known by the address it resolves to.
  std::string key = networkPortKey(port);
  if (!key.empty()) {
    names.real = key;
    return names;
  }
  names.real = realPathOf(port);
  if (DIR *dir = opendir(BY_ID)) {
    while (struct dirent *entry = readdir(dir)) {
      if (entry->d_name[0] == '.')
        continue;
      std::string link = std::string(BY_ID) + "/" + entry->d_name;
      if (realPathOf(link) == names.real) {
        names.byId = link;
        break;
      }
    }
    closedir(dir);
  }
  return names;
}

bool PortNames::matches(const JournalBegin &entry) const {
  for (const std::string *mine : {&given, &real, &byId})
    for (const std::string *theirs : {&entry.port, &entry.portPath, &entry.portById})
      if (!mine->empty() && *mine == *theirs)
        return true;
  return false;
}

DurableWrite::DurableWrite(const std::string &storeDirectory, const std::string &port)
    : myStore(storeDirectory), myJournal(myStore.journalPath()), myPort(PortNames::of(port)) {}

void DurableWrite::loadJournal() {
  if (myLoaded)
    return;
  myLoaded = true;
  std::string error;
  bool unsafe = false;
  // A check looks; any other run puts the store's folder right as it goes.
  if (!myStore.open(myCheckOnly ? BackupStore::Access::Look : BackupStore::Access::Tighten, &error,
                    &unsafe)) {
    myJournalError = error;
  } else if (myStore.isOpen()) {
    myJournal.setFolder(myStore.fd());
    myJournal.setMayTighten(!myCheckOnly);
    if (!myJournal.read(&myOpen, &error))
      myJournalError = error;
  }
  if (myJournalError.empty())
    return;
  ZyLog::log(ZyLog::Terse, "Warning: the write journal was not read: %s.",
             escapedText(myJournalError).c_str());
  if (!myCheckOnly)
    ZyLog::log(ZyLog::Terse, "No write to the parameter block is made until that is put right.");
}

std::vector<JournalBegin> DurableWrite::unfinishedHere(bool uploads) {
  loadJournal();
  std::vector<JournalBegin> here;
  for (const JournalBegin &entry : myOpen)
    if ((entry.kind == "upload") == uploads && myPort.matches(entry))
      here.push_back(entry);
  return here;
}

bool DurableWrite::close(const std::string &id, const std::string &outcome, std::string *error,
                         int blocksWritten) {
  auto entry = std::find_if(myOpen.begin(), myOpen.end(),
                            [&id](const JournalBegin &open) { return open.id == id; });
  if (entry != myOpen.end())
    myOpen.erase(entry);
  return myCheckOnly || myJournal.end(id, outcome, -1, error, blocksWritten);
}

void DurableWrite::settle(const std::string &sha) {
  std::vector<JournalBegin> pending = unfinishedHere(false);
  if (pending.empty() || sha.empty())
    return;
  bool asBefore = sha == pending.front().oldSha256;
  std::string error;
  for (const JournalBegin &entry : pending)
    if ((asBefore || sha == entry.intendedSha256) && !close(entry.id, "superseded", &error))
      ZyLog::log(ZyLog::Terse, "Warning: could not close the unfinished write in the journal (%s).",
                 escapedText(error).c_str());
}

void DurableWrite::checkDismissesNothing() {
  if (mySaidCheckDismisses)
    return;
  mySaidCheckDismisses = true;
  ZyLog::log(ZyLog::Terse, "A check dismisses nothing: the journal is left as it is "
                           "(--dismiss-unfinished closes an entry in a run without --check).");
}

bool DurableWrite::beforeErase(const unsigned char *old, const unsigned char *intended,
                               WriteKind kind) {
  if (myCheckOnly)
    return false;
  if (myAsk) {
    ZyLog::log(ZyLog::Normal, "The block on the controller may be erased or partly written by "
                              "the write that did not finish (see above).");
    ZyLog::log(ZyLog::Normal, "Write over it anyway? y/(n)?");
    if (!answeredYes()) {
      ZyLog::log(ZyLog::Normal, "Nothing written.");
      return false;
    }
    myAsk = false;
  }
  myBackup.clear();
  // The journal must be readable before anything is saved: a store that
  // cannot be trusted is no safeguard.
  loadJournal();
  std::string error;
  bool unsafe = false;
  if (!myJournalError.empty() ||
      (!myStore.open(BackupStore::Access::Make, &error, &unsafe) && unsafe)) {
    refuseUnusableStore(myStore.directory(), myJournalError.empty() ? error : myJournalError);
    return false;
  }
  std::string oldSha = sha256Hex(old, BLOCK_SIZE);
  if (oldSha.empty())
    error = "the SHA-256 of the block could not be computed";
  JournalBegin entry;
  entry.id = WriteJournal::newId();
  entry.time = utcTimeText();
  entry.port = myPort.given;
  entry.portPath = myPort.real;
  entry.portById = myPort.byId;
  entry.version = ZYLA_VERSION;
  // The backup's line in its folder's index says where it came from.
  BackupIndexEntry about;
  about.time = entry.time;
  about.port = entry.port;
  about.portPath = entry.portPath;
  about.portById = entry.portById;
  about.id = entry.id;
  about.version = entry.version;
  if (!error.empty() || !myStore.save(old, BLOCK_SIZE, oldSha, about, &myBackup, &error)) {
    ZyLog::log(ZyLog::Terse,
               "Could not save a backup of the FLASH parameter block in '%s' (%s). Nothing was "
               "erased: the block on the controller is as it was.",
               escapedText(myStore.directory()).c_str(), escapedText(error).c_str());
    ZyLog::log(ZyLog::Terse, "Free some space, or give a folder you can write to with "
                             "--backup-dir DIR, and write again.");
    myBackup.clear();
    return false;
  }
  myJournal.setFolder(myStore.fd());
  entry.name = nameOf(old);
  entry.serial = serialOf(old);
  entry.intendedName = nameOf(intended);
  entry.intendedSerial = serialOf(intended);
  entry.intendedKnown = true;
  entry.backup = myBackup;
  entry.oldSha256 = oldSha;
  entry.intendedSha256 = sha256Hex(intended, BLOCK_SIZE);
  // What the write changes, for the history: the block written is not
  // kept, only the one before it.
  entry.changes = diffParamSets(paramSetFromBlock(old, BLOCK_SIZE, "old"),
                                paramSetFromBlock(intended, BLOCK_SIZE, "intended"))
                      .changes;
  entry.changesKnown = true;
  entry.wholeBlock = kind == WriteKind::WholeBlock;
  if (!myJournal.begin(entry, &error)) {
    ZyLog::log(ZyLog::Terse,
               "Could not record the write in the journal (%s). Nothing was erased: the block on "
               "the controller is as it was.",
               escapedText(error).c_str());
    ZyLog::log(ZyLog::Terse, "Free some space, or give a folder you can write to with "
                             "--backup-dir DIR, and write again.");
    return false;
  }
  // Backup and journal line are on the disk: the operator learns where the
  // block as it was went, without a report.
  ZyLog::log(ZyLog::Normal, "Saved the block as it was to '%s'.", escapedText(myBackup).c_str());
  myOpen.push_back(entry);
  myId = entry.id;
  myKind = kind;
  myIntendedSha = entry.intendedSha256;
  myIntendedName = entry.intendedName;
  myIntendedSerial = entry.intendedSerial;
  memcpy(myIntended.data(), intended, BLOCK_SIZE);
  return true;
}

RescueFiles DurableWrite::afterWrite(bool verified) {
  RescueFiles rescue;
  if (myId.empty())
    return rescue;
  std::string id = myId;
  myId.clear();
  std::string error;
  if (!verified) {
    // The parameters as edited are kept beside the run; a whole block
    // image is still in its own file.
    if (myKind == WriteKind::Parameters)
      rescue = saveRescueImage(myIntended.data());
    // The block may now be erased or partly written: the entry stays open
    // for the next run to judge by what it reads.
    const char *text = !rescue.image.empty() ? "rescued" : "failed";
    for (JournalBegin &entry : myOpen)
      if (entry.id == id)
        entry.failed = text;
    if (!myJournal.fail(id, text, EXIT_FLASH_WRITE, &error))
      ZyLog::log(ZyLog::Terse,
                 "Warning: could not record the failure of the write in the journal (%s); the "
                 "next run will report the write as unfinished all the same.",
                 escapedText(error).c_str());
    if (!myBackup.empty())
      ZyLog::log(ZyLog::Terse, "The block as it was before this write is saved in '%s'.",
                 escapedText(myBackup).c_str());
    return rescue;
  }
  auto own = std::find_if(myOpen.begin(), myOpen.end(),
                          [&id](const JournalBegin &open) { return open.id == id; });
  if (own != myOpen.end())
    myOpen.erase(own);
  if (!myJournal.end(id, "verified", 0, &error))
    ZyLog::log(ZyLog::Terse,
               "Warning: could not record the end of the write in the journal (%s); the next "
               "run will report the write as unfinished.",
               escapedText(error).c_str());
  // The controller now holds the block written.
  myReadName = myIntendedName;
  myReadSerial = myIntendedSerial;
  if (myKind == WriteKind::WholeBlock) {
    // A whole block written back and read back as written: the block is
    // known, whatever the writes before it left.
    for (const JournalBegin &entry : unfinishedHere(false))
      if (!close(entry.id, "superseded", &error))
        ZyLog::log(ZyLog::Terse,
                   "Warning: could not close the unfinished write in the journal (%s).",
                   escapedText(error).c_str());
  } else {
    settle(myIntendedSha);
  }
  myAsk = false;
  return rescue;
}

void DurableWrite::showRecovery(const JournalBegin &entry) {
  std::string backup = entry.backup;
  std::string why;
  BackupStore::BackupCheck check = BackupStore::checkBackup(backup, entry.oldSha256, &why);
  bool offered = check == BackupStore::BackupCheck::Good;
  if (!offered) {
    std::string shown = escapedText(backup);
    if (check == BackupStore::BackupCheck::Missing)
      ZyLog::log(ZyLog::Terse,
                 "The backup of the block as it was before that write, '%s', is "
                 "missing.",
                 shown.c_str());
    else if (check == BackupStore::BackupCheck::Altered)
      ZyLog::log(ZyLog::Terse,
                 "The backup of the block as it was before that write, '%s', is not the one "
                 "saved (%s); it is not offered.",
                 shown.c_str(), why.c_str());
    else
      ZyLog::log(ZyLog::Terse,
                 "The backup of the block as it was before that write, '%s', cannot be checked: "
                 "the journal holds no SHA-256 for it (an older version wrote it), so it is not "
                 "offered.",
                 shown.c_str());
    std::string other =
        myStore.sameBlockBackup(entry.name, entry.serial, entry.oldSha256, entry.backup);
    if (!other.empty()) {
      ZyLog::log(ZyLog::Terse, "Another backup of that robot holds the same block: '%s'.",
                 escapedText(other).c_str());
      backup = other;
      offered = true;
    } else {
      ZyLog::log(ZyLog::Terse, "No checked backup of that block is left to offer: write back a "
                               "parameter file or a block image you trust (-r FILE or "
                               "-restoreBlock FILE).");
    }
  }
  if (!offered)
    return;
  std::string restore =
      shellCommand({"orvexconf", "-rp", myPort.given, "-b", "-restoreBlock", backup});
  std::string compare =
      shellCommand({"orvexconf", "-rp", myPort.given, "-b", "--check", "-restoreBlock", backup});
  if (restore.empty()) {
    ZyLog::log(ZyLog::Terse,
               "The backup of the block as it was before that write is '%s' (port '%s'); a "
               "character in that path or the port's name cannot be pasted into a shell, so no "
               "command is offered.",
               escapedText(backup).c_str(), escapedText(myPort.given).c_str());
    return;
  }
  ZyLog::log(ZyLog::Terse, "%s", restore.c_str());
  ZyLog::log(ZyLog::Terse, "The command above writes back the block as it was before that write, "
                           "from its backup.");
  ZyLog::log(ZyLog::Terse, "To compare the controller's block with that backup first, writing "
                           "nothing:");
  ZyLog::log(ZyLog::Terse, "%s", compare.c_str());
}

DurableWrite::Unfinished DurableWrite::checkUnfinished(const unsigned char *block, bool dismiss) {
  // The robot as read, for the journal's upload lines.
  myReadName = nameOf(block);
  myReadSerial = serialOf(block);
  std::vector<JournalBegin> pending = unfinishedHere(false);
  if (pending.empty())
    return Unfinished::None;

  // The oldest one is reported: its backup is the block before any of them.
  const JournalBegin first = pending.front();
  myNotice = "The last parameter write to this controller (robot '" + escapedText(first.name) +
             "', at " + escapedText(first.time) +
             ") did not finish: the block may be erased or partly written.";
  ZyLog::log(ZyLog::Terse, "%s", myNotice.c_str());

  // The block shows that the writes ended: it is the one from before the
  // first of them, or the one each was to write.
  std::string sha = sha256Hex(block, BLOCK_SIZE);
  std::vector<JournalBegin> still;
  bool asBefore = !sha.empty() && sha == first.oldSha256;
  for (const JournalBegin &entry : pending)
    if (!asBefore && (sha.empty() || sha != entry.intendedSha256))
      still.push_back(entry);
  std::string error;
  if (still.size() < pending.size()) {
    const char *outcome = asBefore ? "found-unchanged" : "found-written";
    for (const JournalBegin &entry : pending)
      if ((asBefore || sha == entry.intendedSha256) && !close(entry.id, outcome, &error))
        ZyLog::log(ZyLog::Terse,
                   "Warning: could not close the unfinished write in the journal (%s).",
                   escapedText(error).c_str());
  }
  if (still.empty()) {
    ZyLog::log(ZyLog::Terse, "The block as read is %s: that write did end. %s",
               asBefore ? "the one from before it, unchanged" : "the one it was to write",
               myCheckOnly ? "Going on (a check records nothing in the journal)."
                           : "Noted in the journal; going on.");
    return Unfinished::Closed;
  }
  const JournalBegin &oldest = still.front();

  if (dismiss && myCheckOnly) {
    checkDismissesNothing();
  } else if (dismiss) {
    ZyLog::log(ZyLog::Terse, "Closed in the journal without writing, as asked "
                             "(--dismiss-unfinished); the backup stays where it is.");
    for (const JournalBegin &entry : still)
      if (!close(entry.id, "dismissed", &error))
        ZyLog::log(ZyLog::Terse,
                   "Warning: could not close the unfinished write in the journal (%s).",
                   escapedText(error).c_str());
    return Unfinished::Dismissed;
  }

  // Another robot only when its serial number is none of those the open
  // writes read or meant to write.
  std::string serial = serialOf(block);
  bool known = blockErased(block, BLOCK_SIZE) || serialDamaged(block);
  for (const JournalBegin &entry : still)
    known =
        known || serial == entry.serial || (entry.intendedKnown && serial == entry.intendedSerial);
  if (!known) {
    std::string theirs = "'" + escapedText(oldest.serial) + "'";
    if (oldest.intendedKnown && oldest.intendedSerial != oldest.serial)
      theirs += " or '" + escapedText(oldest.intendedSerial) + "'";
    ZyLog::log(ZyLog::Terse,
               "The block as read belongs to another robot (serial number '%s', not %s); going "
               "on.",
               escapedText(serial).c_str(), theirs.c_str());
    return Unfinished::OtherRobot;
  }
  showRecovery(oldest);
  return Unfinished::Blocking;
}

bool DurableWrite::checkUnfinishedUploads(bool dismiss) {
  std::vector<JournalBegin> pending = unfinishedHere(true);
  if (pending.empty())
    return false;
  // The latest one names the file to upload again; the blocks are those
  // any of them may have left erased or half written.
  const JournalBegin &last = pending.back();
  std::vector<bool> touched(64, false);
  for (const JournalBegin &entry : pending)
    for (int block : entry.blocks)
      touched[block] = true;
  std::string blocks;
  int count = 0;
  for (int block = 0; block < 64; block++)
    if (touched[block]) {
      char name[16];
      snprintf(name, sizeof name, "%s0x%x", count++ == 0 ? "" : ", ", block);
      blocks += name;
    }
  std::string which = count == 0 ? "its blocks" : (count == 1 ? "block " : "blocks ") + blocks;
  std::string notice = "The last firmware upload to this controller ('" + escapedText(last.file) +
                       "', at " + escapedText(last.time) + ") did not finish: " + which +
                       " may be erased or partly written; upload the file again.";
  ZyLog::log(ZyLog::Terse, "%s", notice.c_str());
  myNotice += (myNotice.empty() ? "" : "\n") + notice;
  if (dismiss && myCheckOnly) {
    checkDismissesNothing();
  } else if (dismiss) {
    ZyLog::log(ZyLog::Terse, "Closed in the journal without uploading, as asked "
                             "(--dismiss-unfinished).");
    std::string error;
    for (const JournalBegin &entry : pending)
      if (!close(entry.id, "dismissed", &error, 0))
        ZyLog::log(ZyLog::Terse,
                   "Warning: could not close the unfinished upload in the journal (%s).",
                   escapedText(error).c_str());
  }
  return true;
}

void DurableWrite::beginUpload(const std::string &file, const std::string &sha256,
                               const std::vector<int> &blocks) {
  myUploadId.clear();
  if (myCheckOnly)
    return;
  loadJournal();
  JournalBegin entry;
  entry.kind = "upload";
  entry.id = WriteJournal::newId();
  entry.time = utcTimeText();
  entry.port = myPort.given;
  entry.portPath = myPort.real;
  entry.portById = myPort.byId;
  entry.file = file;
  entry.sha256 = sha256;
  entry.blocks = blocks;
  entry.version = ZYLA_VERSION;
  entry.name = myReadName;
  entry.serial = myReadSerial;
  std::string error = myJournalError;
  if (error.empty() && myStore.prepare(&error))
    myJournal.setFolder(myStore.fd());
  if (!error.empty() || !myJournal.begin(entry, &error)) {
    ZyLog::log(ZyLog::Terse,
               "Warning: could not record the upload in the journal (%s); the upload goes on, "
               "but if it is cut short the next run cannot tell (--backup-dir DIR gives a folder "
               "you can write to).",
               escapedText(error).c_str());
    return;
  }
  myOpen.push_back(entry);
  myUploadId = entry.id;
}

void DurableWrite::endUpload(const std::string &outcome, int blocksWritten, int status) {
  if (myUploadId.empty())
    return;
  std::string id = myUploadId;
  myUploadId.clear();
  auto own = std::find_if(myOpen.begin(), myOpen.end(),
                          [&id](const JournalBegin &open) { return open.id == id; });
  if (own != myOpen.end())
    myOpen.erase(own);
  std::string error;
  if (!myJournal.end(id, outcome, status, &error, blocksWritten))
    ZyLog::log(ZyLog::Terse,
               "Warning: could not record the end of the upload in the journal (%s); the next "
               "run will report the upload as unfinished.",
               escapedText(error).c_str());
  if (outcome != "verified" && outcome != "written")
    return;
  for (const JournalBegin &entry : unfinishedHere(true))
    if (!close(entry.id, "superseded", &error, 0))
      ZyLog::log(ZyLog::Terse,
                 "Warning: could not close the unfinished upload in the journal (%s).",
                 escapedText(error).c_str());
}

bool DurableWrite::upload(FirmwareDownload &download, const FirmwareImage &image, MonitorLink *link,
                          int failStatus) {
  if (link == nullptr)
    return download.downloadFirmware(link);
  beginUpload(image.source(), image.digest(), image.blocksToWrite());
  bool written = download.downloadFirmware(link);
  int sig = Zyla::stopRequest();
  if (download.stopped())
    endUpload("stopped", download.blocksWritten(), sig != 0 ? Zyla::exitStatusForSignal(sig) : -1);
  else if (!written)
    endUpload("failed", download.blocksWritten(), failStatus);
  else
    endUpload(download.verify() ? "verified" : "written", download.blocksWritten(),
              sig != 0 ? Zyla::exitStatusForSignal(sig) : (failStatus >= 0 ? 0 : -1));
  return written;
}

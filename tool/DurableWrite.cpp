// SPDX-License-Identifier: MIT
// The safeguard of the parameter block write: backup and journal before
// the erase, the outcome after it, and the report of a write that never
// finished.
#include "DurableWrite.h"

#include "ConnectOptions.h"
#include "InputLine.h"
#include "ZyLog.h"
#include "ZyVersion.h"
#include "Zyla.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>

namespace {
const int BLOCK_SIZE = FLASH_BLOCK_SIZE;
const int NAME_OFFSET = 141;
const int NAME_SIZE = 19;
const int SERIAL_OFFSET = 64;
const int SERIAL_SIZE = 31;
const char *const BY_ID = "/dev/serial/by-id";

std::string realPathOf(const std::string &path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool allErased(const unsigned char *block) {
  for (int i = 0; i < BLOCK_SIZE; i++)
    if (block[i] != 0xFF)
      return false;
  return true;
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

bool DurableWrite::beforeErase(const unsigned char *old, const unsigned char *intended) {
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
  std::string error;
  std::string oldSha = sha256Hex(old, BLOCK_SIZE);
  myBackup.clear();
  if (oldSha.empty())
    error = "the SHA-256 of the block could not be computed";
  if (!error.empty() || !myStore.prepare(&error) ||
      !myStore.save(old, BLOCK_SIZE, oldSha, &myBackup, &error)) {
    ZyLog::log(ZyLog::Terse,
               "Could not save a backup of the FLASH parameter block in '%s' (%s). Nothing was "
               "erased: the block on the controller is as it was.",
               myStore.directory().c_str(), error.c_str());
    ZyLog::log(ZyLog::Terse, "Free some space, or give a folder you can write to with "
                             "--backup-dir DIR, and write again.");
    myBackup.clear();
    return false;
  }
  JournalBegin entry;
  entry.id = WriteJournal::newId();
  entry.time = utcTimeText();
  entry.port = myPort.given;
  entry.portPath = myPort.real;
  entry.portById = myPort.byId;
  entry.name = blockText(old, NAME_OFFSET, NAME_SIZE);
  entry.serial = blockText(old, SERIAL_OFFSET, SERIAL_SIZE);
  entry.backup = myBackup;
  entry.oldSha256 = oldSha;
  entry.intendedSha256 = sha256Hex(intended, BLOCK_SIZE);
  entry.version = ZYLA_VERSION;
  if (!myJournal.begin(entry, &error)) {
    ZyLog::log(ZyLog::Terse,
               "Could not record the write in the journal (%s). Nothing was erased: the block on "
               "the controller is as it was.",
               error.c_str());
    ZyLog::log(ZyLog::Terse, "Free some space, or give a folder you can write to with "
                             "--backup-dir DIR, and write again.");
    return false;
  }
  myId = entry.id;
  return true;
}

void DurableWrite::afterWrite(WriteOutcome outcome) {
  const char *text = outcome == WriteOutcome::Verified  ? "verified"
                     : outcome == WriteOutcome::Rescued ? "rescued"
                                                        : "failed";
  std::string error;
  if (!myId.empty() &&
      !myJournal.end(myId, text, outcome == WriteOutcome::Verified ? 0 : 8, &error))
    ZyLog::log(ZyLog::Terse,
               "Warning: could not record the end of the write in the journal (%s); the next "
               "run will report the write as unfinished.",
               error.c_str());
  myId.clear();
  if (outcome == WriteOutcome::Verified)
    closePending("superseded");
  else if (!myBackup.empty())
    ZyLog::log(ZyLog::Terse, "The block as it was before this write is saved in '%s'.",
               myBackup.c_str());
}

void DurableWrite::closePending(const std::string &outcome) {
  std::string error;
  for (const std::string &id : myPending)
    if (!myJournal.end(id, outcome, -1, &error))
      ZyLog::log(ZyLog::Terse, "Warning: could not close the unfinished write in the journal (%s).",
                 error.c_str());
  myPending.clear();
  myAsk = false;
}

std::vector<JournalBegin> DurableWrite::unfinishedHere(bool uploads) const {
  std::vector<JournalBegin> here;
  for (const JournalBegin &entry : myJournal.unfinished())
    if ((entry.kind == "upload") == uploads && myPort.matches(entry))
      here.push_back(entry);
  return here;
}

DurableWrite::Unfinished DurableWrite::checkUnfinished(const unsigned char *block, bool dismiss) {
  std::vector<JournalBegin> pending = unfinishedHere(false);
  myPending.clear();
  if (pending.empty())
    return Unfinished::None;
  for (const JournalBegin &entry : pending)
    myPending.push_back(entry.id);

  // The oldest one is reported: its backup is the block before any of them.
  const JournalBegin &first = pending.front();
  myNotice = "The last parameter write to this controller (robot '" + first.name + "', at " +
             first.time + ") did not finish: the block may be erased or partly written.";
  ZyLog::log(ZyLog::Terse, "%s", myNotice.c_str());
  ZyLog::log(ZyLog::Terse, "%s", first.backup.c_str());
  ZyLog::log(ZyLog::Terse, "orvexconf -rp %s -restoreBlock %s", shellWord(myPort.given).c_str(),
             shellWord(first.backup).c_str());
  ZyLog::log(ZyLog::Terse, "The file above is the block as it was before that write; the command "
                           "above writes it back.");

  std::string sha = sha256Hex(block, BLOCK_SIZE);
  for (const JournalBegin &entry : pending) {
    if (sha == entry.oldSha256 || sha == entry.intendedSha256) {
      ZyLog::log(ZyLog::Terse,
                 "The block as read is %s: that write did end. Noted in the journal; going on.",
                 sha == entry.intendedSha256 ? "the one it was to write"
                                             : "the one from before it, unchanged");
      closePending(sha == entry.intendedSha256 ? "found-written" : "found-unchanged");
      return Unfinished::Closed;
    }
  }
  if (dismiss) {
    ZyLog::log(ZyLog::Terse, "Closed in the journal without writing, as asked "
                             "(--dismiss-unfinished); the backup stays where it is.");
    closePending("dismissed");
    return Unfinished::Dismissed;
  }
  std::string serial = blockText(block, SERIAL_OFFSET, SERIAL_SIZE);
  if (allErased(block) || serial == first.serial)
    return Unfinished::Blocking;
  ZyLog::log(ZyLog::Terse,
             "The block as read belongs to another robot (serial number '%s', not '%s'); going "
             "on.",
             serial.c_str(), first.serial.c_str());
  myPending.clear();
  return Unfinished::OtherRobot;
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
  std::string notice = "The last firmware upload to this controller ('" + last.file + "', at " +
                       last.time + ") did not finish: " + which +
                       " may be erased or partly written; upload the file again.";
  ZyLog::log(ZyLog::Terse, "%s", notice.c_str());
  myNotice += (myNotice.empty() ? "" : "\n") + notice;
  if (dismiss) {
    ZyLog::log(ZyLog::Terse, "Closed in the journal without uploading, as asked "
                             "(--dismiss-unfinished).");
    std::string error;
    for (const JournalBegin &entry : pending)
      if (!myJournal.end(entry.id, "dismissed", -1, &error, 0))
        ZyLog::log(ZyLog::Terse,
                   "Warning: could not close the unfinished upload in the journal (%s).",
                   error.c_str());
  }
  return true;
}

void DurableWrite::beginUpload(const std::string &file, const std::string &sha256,
                               const std::vector<int> &blocks) {
  myUploadId.clear();
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
  std::string error;
  if (!myStore.prepare(&error) || !myJournal.begin(entry, &error)) {
    ZyLog::log(ZyLog::Terse,
               "Warning: could not record the upload in the journal (%s); the upload goes on, "
               "but if it is cut short the next run cannot tell (--backup-dir DIR gives a folder "
               "you can write to).",
               error.c_str());
    return;
  }
  myUploadId = entry.id;
}

void DurableWrite::endUpload(const std::string &outcome, int blocksWritten, int status) {
  if (myUploadId.empty())
    return;
  std::string error;
  if (!myJournal.end(myUploadId, outcome, status, &error, blocksWritten))
    ZyLog::log(ZyLog::Terse,
               "Warning: could not record the end of the upload in the journal (%s); the next "
               "run will report the upload as unfinished.",
               error.c_str());
  myUploadId.clear();
  if (outcome != "verified" && outcome != "written")
    return;
  for (const JournalBegin &entry : unfinishedHere(true))
    if (!myJournal.end(entry.id, "superseded", -1, &error, 0))
      ZyLog::log(ZyLog::Terse,
                 "Warning: could not close the unfinished upload in the journal (%s).",
                 error.c_str());
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

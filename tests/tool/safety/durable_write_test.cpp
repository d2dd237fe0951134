// SPDX-License-Identifier: MIT
// The safeguard of the parameter block write, below the driver: where the
// backup store is, the backups it keeps, the write journal (appended only,
// bad lines skipped), refusals that leave nothing half written, and what a
// run makes of a write that never finished.
#include "BackupStore.h"
#include "ChildProcess.h"
#include "DurableWrite.h"
#include "FirmwareFiles.h"
#include "FirmwareReader.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "ProcessRunner.h"
#include "ShellText.h"
#include "SimPty.h"
#include "TempFiles.h"
#include "WriteJournal.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {
const int BLOCK = 4096;

/// A block with Name and SerNum set and varied bytes elsewhere.
std::vector<unsigned char> robotBlock(const char *name, const char *serial, int seed = 1) {
  std::vector<unsigned char> block(BLOCK);
  for (int i = 0; i < BLOCK; i++)
    block[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
  memset(block.data() + 141, 0, 19);
  memcpy(block.data() + 141, name, strlen(name));
  memset(block.data() + 64, 0, 31);
  memcpy(block.data() + 64, serial, strlen(serial));
  return block;
}

std::vector<std::string> filesIn(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.')
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

std::string fileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int modeOf(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 0777) : -1;
}

/// Sets or unsets an environment variable for one scope.
class EnvScope {
public:
  EnvScope(const char *name, const char *value) : myName(name) {
    const char *old = getenv(name);
    myHad = old != nullptr;
    if (myHad)
      myOld = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvScope() {
    if (myHad)
      setenv(myName.c_str(), myOld.c_str(), 1);
    else
      unsetenv(myName.c_str());
  }

private:
  std::string myName, myOld;
  bool myHad = false;
};
} // namespace

TEST(BackupStore, DefaultLocationFollowsTheBaseDirectoryRules) {
  struct passwd *me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  struct Case {
    const char *state, *home, *expected;
  } cases[] = {
      {"/x/state", "/h", "/x/state/orvexconf"},
      {"relative", "/h", "/h/.local/state/orvexconf"}, // a relative one is not used
      {nullptr, "/h/", "/h/.local/state/orvexconf"},
      {nullptr, nullptr, nullptr}, // the password entry's home
  };
  for (const Case &c : cases) {
    EnvScope state("XDG_STATE_HOME", c.state);
    EnvScope home("HOME", c.home);
    std::string expected =
        c.expected != nullptr ? c.expected : std::string(me->pw_dir) + "/.local/state/orvexconf";
    EXPECT_EQ(BackupStore::defaultDirectory(), expected) << (c.state ? c.state : "-");
  }
}

TEST(BackupStore, BackupsAreWholePrivateAndNamedByRobotTimeAndHash) {
  EXPECT_EQ(sha256Hex(reinterpret_cast<const unsigned char *>("abc"), 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::vector<unsigned char> erased(BLOCK, 0xFF);
  EXPECT_EQ(blockText(erased.data(), 141, 19), std::string(19, '?'));
  EXPECT_EQ(blockText(robotBlock("Rover7", "").data(), 141, 19), "Rover7");
  TempDir dir;
  EnvScope state("XDG_STATE_HOME", dir.file("state").c_str());
  BackupStore store; // the default one, parents made as needed
  std::string error;
  ASSERT_TRUE(store.prepare(&error)) << error;
  EXPECT_EQ(store.directory(), dir.file("state/orvexconf"));
  EXPECT_EQ(modeOf(store.directory()), 0700);
  EXPECT_EQ(modeOf(store.directory() + "/backups"), 0700);

  struct Case {
    std::vector<unsigned char> block;
    const char *folder;
  } cases[] = {
      {robotBlock("simbot", "SIM-2024-0042"), "SIM-2024-0042"},
      {robotBlock("my robot/../x", "a b"), "a%20b"},
      {std::vector<unsigned char>(BLOCK, 0xFF), "unknown-serial"},
      {robotBlock("", "S1"), "S1"},
      {robotBlock("\x01\x7f", "S\xc3\xa9"), "S%3f%3f"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.folder);
    std::string sha = sha256Hex(c.block.data(), BLOCK);
    std::string path;
    ASSERT_TRUE(store.save(c.block.data(), BLOCK, sha, &path, &error)) << error;
    std::string folder = store.directory() + "/backups/" + c.folder;
    EXPECT_EQ(path.substr(0, folder.size() + 1), folder + "/");
    EXPECT_TRUE(std::regex_match(path.substr(folder.size() + 1),
                                 std::regex("[0-9]{8}T[0-9]{6}Z-" + sha.substr(0, 12) + "\\.blk")))
        << path;
    EXPECT_EQ(modeOf(folder), 0700);
    EXPECT_EQ(modeOf(path), 0600);
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::string(c.block.begin(), c.block.end()));
    // Saved again at once: the same file, nothing else beside it.
    std::string again;
    ASSERT_TRUE(store.save(c.block.data(), BLOCK, sha, &again, &error)) << error;
    size_t backups = 0;
    for (const std::string &name : filesIn(folder))
      backups += name.size() > 4 && name.compare(name.size() - 4, 4, ".blk") == 0 ? 1 : 0;
    EXPECT_TRUE(again == path || backups == 2u) << again;
    for (const std::string &name : filesIn(folder))
      EXPECT_EQ(name.find(".blk."), std::string::npos) << "no temporary file left: " << name;
  }
}

// One folder a controller: the one that already holds its SerNum's backups
// (an earlier version's <Name>-<SerNum> folder kept and tightened where it
// is), else one named by the SerNum alone; blocks without a SerNum share
// one. Each backup gets a line in its folder's index. Anything but a
// folder of the store's own at the folder's or the index's place is
// refused.
TEST(BackupStore, EachControllerKeepsOneFolderFoundByItsSerialNumber) {
  enum Setup {
    Nothing,
    Renamed,
    OldFolder,
    OldFolders,
    NameTaken,
    LinkThere,
    FileThere,
    IndexLink
  };
  std::vector<unsigned char> erased(BLOCK, 0xFF);
  struct Case {
    const char *what;
    Setup setup;
    std::vector<unsigned char> block;
    const char *folder;  // where the backup goes; nullptr: refused
    const char *refusal; // in the error
  } cases[] = {
      {"a new SerNum", Nothing, robotBlock("simbot", "S1"), "S1", nullptr},
      {"renamed since its last backup", Renamed, robotBlock("rover7", "S1"), "S1", nullptr},
      {"an earlier version's folder", OldFolder, robotBlock("rover7", "S1"), "simbot-S1", nullptr},
      {"the newest of the earlier folders", OldFolders, robotBlock("x", "S1"), "simbot-S1",
       nullptr},
      {"a SerNum spelt like another's folder", NameTaken, robotBlock("x", "simbot-S1"),
       "simbot-S1~2", nullptr},
      {"an erased SerNum", Nothing, erased, "unknown-serial", nullptr},
      {"an empty SerNum", Nothing, robotBlock("simbot", ""), "unknown-serial", nullptr},
      {"characters unsafe in a file name", Nothing, robotBlock("simbot", "../S 1%"),
       "%2e.%2fS%201%25", nullptr},
      {"the shared folder's name", Nothing, robotBlock("simbot", "unknown-serial"),
       "%75nknown-serial", nullptr},
      {"a link at the folder's place", LinkThere, robotBlock("simbot", "S1"), nullptr,
       "backups/S1' is a symbolic link"},
      {"a file at the folder's place", FileThere, robotBlock("simbot", "S1"), nullptr,
       "backups/S1': Not a directory"},
      {"a link at the index's place", IndexLink, robotBlock("simbot", "S1"), nullptr,
       "index.jsonl': it is a symbolic link"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    BackupStore store(dir.file("store"));
    std::string error;
    ASSERT_TRUE(store.prepare(&error)) << error;
    std::string backups = store.directory() + "/backups/";
    std::string elsewhere = dir.subdir("elsewhere");
    std::string victim = dir.write("victim", "keep");
    auto oldBackup = [&](const char *folder, const char *file, const char *serial) {
      mkdir((backups + folder).c_str(), 0755);
      auto block = robotBlock("simbot", serial, 3);
      return dir.write("store/backups/" + std::string(folder) + "/" + file,
                       std::string(block.begin(), block.end()));
    };
    std::string kept;
    int made = 0;
    switch (c.setup) {
    case Nothing:
      break;
    case Renamed: {
      auto first = robotBlock("simbot", "S1", 2);
      std::string path;
      made = store.save(first.data(), BLOCK, sha256Hex(first.data(), BLOCK), &path, &error) ? 0 : 1;
      break;
    }
    case OldFolders:
      oldBackup("other-S1", "20240101T000000Z-bbbbbbbbbbbb.blk", "S1");
      oldBackup("rover7-S2", "20260101T000000Z-cccccccccccc.blk", "S2");
      [[fallthrough]];
    case OldFolder:
    case NameTaken:
      kept = oldBackup("simbot-S1", "20250101T000000Z-aaaaaaaaaaaa.blk", "S1");
      break;
    case LinkThere:
      made = symlink(elsewhere.c_str(), (backups + "S1").c_str());
      break;
    case FileThere:
      dir.write("store/backups/S1", "x");
      break;
    case IndexLink:
      made = mkdir((backups + "S1").c_str(), 0700) |
             symlink(victim.c_str(), (backups + "S1/index.jsonl").c_str());
      break;
    }
    ASSERT_EQ(made, 0) << error << strerror(errno);
    std::string keptBytes = kept.empty() ? "" : fileBytes(kept);

    BackupIndexEntry about;
    about.time = "2026-12-07T11:30:00Z";
    about.port = "/dev/ttyS7";
    about.id = "w1";
    std::string sha = sha256Hex(c.block.data(), BLOCK);
    std::string path;
    bool saved = store.save(c.block.data(), BLOCK, sha, about, &path, &error);
    EXPECT_EQ(fileBytes(victim), "keep");
    EXPECT_TRUE(filesIn(elsewhere).empty()) << "nothing made through a link";
    if (c.folder == nullptr) {
      EXPECT_FALSE(saved) << path;
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(saved) << error;
    std::string folder = backups + c.folder;
    EXPECT_EQ(path.substr(0, folder.size() + 1), folder + "/") << path;
    EXPECT_EQ(modeOf(folder), 0700) << "tightened in place";
    if (!kept.empty()) {
      EXPECT_EQ(fileBytes(kept), keptBytes) << "an earlier backup stays as it is";
    }
    // The index's last line says what the backup is and where it came from.
    EXPECT_EQ(modeOf(folder + "/index.jsonl"), 0600);
    std::ifstream in(folder + "/index.jsonl");
    std::vector<int> skipped;
    std::vector<BackupIndexEntry> index = parseBackupIndex(in, &skipped);
    EXPECT_TRUE(skipped.empty());
    ASSERT_EQ(index.size(), c.setup == Renamed ? 2u : 1u);
    const BackupIndexEntry &entry = index.back();
    EXPECT_EQ(folder + "/" + entry.file, path);
    EXPECT_EQ(entry.name, blockText(c.block.data(), 141, 19));
    EXPECT_EQ(entry.serial, serialKnown(c.block.data()) ? blockText(c.block.data(), 64, 31) : "");
    EXPECT_EQ(entry.sha256, sha);
    EXPECT_EQ(entry.port, "/dev/ttyS7");
    EXPECT_EQ(entry.time, "2026-12-07T11:30:00Z");
    EXPECT_EQ(entry.id, "w1");
    // The next backup of the same controller finds the same folder.
    EXPECT_EQ(
        store.controllerFolder(blockText(c.block.data(), 64, 31), serialKnown(c.block.data())),
        c.folder);
  }
}

TEST(BackupStore, BackupDirMustHaveAParentThatCanBeWritten) {
  TempDir dir;
  std::string error;
  // A --backup-dir folder is made when its parent exists, no more.
  EXPECT_TRUE(BackupStore(dir.file("new")).prepare(&error)) << error;
  EXPECT_FALSE(BackupStore(dir.file("missing/new")).prepare(&error));
  EXPECT_NE(error.find("missing/new"), std::string::npos) << error;
  dir.write("plain", "x");
  EXPECT_FALSE(BackupStore(dir.file("plain")).prepare(&error));
  if (geteuid() != 0) { // root writes anywhere
    std::string locked = dir.subdir("locked");
    chmod(locked.c_str(), 0500);
    EXPECT_FALSE(BackupStore(locked + "/store").prepare(&error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    chmod(locked.c_str(), 0700);
  }
}

TEST(WriteJournal, BeginsWithoutEndsAreUnfinishedAndBadLinesAreSkipped) {
  TempDir dir;
  WriteJournal journal(dir.file("journal.jsonl"));
  std::string error;
  EXPECT_TRUE(journal.unfinished().empty()) << "no journal yet";
  JournalBegin a, b, c;
  a.id = WriteJournal::newId();
  b.id = WriteJournal::newId();
  c.id = WriteJournal::newId();
  EXPECT_NE(a.id, b.id);
  a.name = "first";
  b.name = "second\xff"; // not UTF-8: replaced, the line stays valid
  c.name = "third";
  b.port = "/dev/ttyS1";
  b.backup = "/store/backups/x.blk";
  ASSERT_TRUE(journal.begin(a, &error)) << error;
  ASSERT_TRUE(journal.begin(b, &error)) << error;
  ASSERT_TRUE(journal.end(a.id, "verified", 0, &error)) << error;
  // A line cut short (a full disk) and a line of rubbish.
  {
    std::ofstream out(dir.file("journal.jsonl"), std::ios::app);
    out << "not json\n{\"event\":\"begin\",\"id\":\"cut";
  }
  ASSERT_TRUE(journal.begin(c, &error)) << error;
  EXPECT_EQ(modeOf(dir.file("journal.jsonl")), 0600);

  LogCapture log;
  std::vector<JournalBegin> open = journal.unfinished();
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].id, b.id);
  EXPECT_EQ(open[0].port, "/dev/ttyS1");
  EXPECT_EQ(open[0].backup, "/store/backups/x.blk");
  EXPECT_EQ(open[0].line, 2);
  EXPECT_EQ(open[1].id, c.id) << "the line after the cut one is whole";
  std::string name = dir.file("journal.jsonl");
  EXPECT_TRUE(log.hasLine("Warning: line 4 of the write journal '" + name +
                          "' is not valid JSON; it is skipped."))
      << log.text();
  EXPECT_TRUE(log.hasLine("Warning: line 5 of the write journal '" + name +
                          "' is not valid JSON; it is skipped."))
      << log.text();
  // Every line was appended; none rewritten.
  std::ifstream in(name);
  std::string first;
  std::getline(in, first);
  EXPECT_NE(first.find("\"event\":\"begin\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"name\":\"first\""), std::string::npos) << first;
}

TEST(DurableWrite, RefusesTheEraseWhenNoBackupCanBeSaved) {
  TempDir dir;
  auto old = robotBlock("simbot", "S1");
  auto intended = robotBlock("other", "S1");
  {
    LogCapture log;
    DurableWrite missing(dir.file("missing/store"), "/dev/null");
    EXPECT_FALSE(missing.beforeErase(old.data(), intended.data(), WriteKind::Parameters));
    EXPECT_TRUE(log.contains("Could not save a backup of the FLASH parameter block in '" +
                             dir.file("missing/store") + "'"))
        << log.text();
    EXPECT_TRUE(log.contains("--backup-dir DIR")) << log.text();
    EXPECT_TRUE(log.contains("Nothing was erased")) << log.text();
  }
  // A file-size limit below a block: the backup fails, and neither it nor
  // a journal line is left behind.
  std::string store = dir.file("limited");
  ChildResult child = runInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    DurableWrite limited(store, "/dev/null");
    childMark(limited.beforeErase(old.data(), intended.data(), WriteKind::Parameters)
                  ? "allowed\n"
                  : "refused\n");
    fflush(stdout);
    _exit(0);
  });
  ASSERT_TRUE(child.exited) << child.output;
  EXPECT_NE(child.output.find("refused"), std::string::npos) << child.output;
  EXPECT_NE(child.output.find("File too large"), std::string::npos) << child.output;
  EXPECT_TRUE(filesIn(store + "/backups/S1").empty());
  EXPECT_FALSE(access((store + "/journal.jsonl").c_str(), F_OK) == 0);
}

TEST(DurableWrite, UnfinishedWritesAreReportedAndClosedByWhatTheBlockShows) {
  auto old = robotBlock("simbot", "S1", 1);
  auto intended = robotBlock("renamed", "S1", 1);
  auto partial = robotBlock("simbot", "S1", 7);
  std::vector<unsigned char> erased(BLOCK, 0xFF);
  auto other = robotBlock("simbot", "S2", 3);
  using U = DurableWrite::Unfinished;
  struct Case {
    const char *what;
    const std::vector<unsigned char> *block;
    bool dismiss;
    U expected;
    U afterwards; // a second run over the same block
  } cases[] = {
      {"intended", &intended, false, U::Closed, U::None},
      {"old", &old, false, U::Closed, U::None},
      {"erased", &erased, false, U::Blocking, U::Blocking},
      {"partly written", &partial, false, U::Blocking, U::Blocking},
      {"another robot", &other, false, U::OtherRobot, U::OtherRobot},
      {"dismissed", &erased, true, U::Dismissed, U::None},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string port = dir.write("port", "");
    {
      DurableWrite killed(dir.path(), port);
      ASSERT_TRUE(killed.beforeErase(old.data(), intended.data(), WriteKind::Parameters));
      // No afterWrite: the process died here.
    }
    LogCapture log;
    DurableWrite next(dir.path(), port);
    EXPECT_EQ(next.checkUnfinished(c.block->data(), c.dismiss), c.expected);
    std::vector<std::string> lines = log.lines();
    ASSERT_GE(lines.size(), 2u) << log.text();
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("The last parameter write to this controller \\(robot 'simbot', at "
                             "[0-9-]{10}T[0-9:]{8}Z\\) did not finish: the block may be erased or "
                             "partly written\\.")))
        << lines[0];
    // A command only where the block may be damaged: the backup's, then
    // the one that compares first.
    std::string restore = "orvexconf -rp " + port + " -b -restoreBlock ";
    if (c.expected == U::Blocking) {
      ASSERT_EQ(lines[1].rfind(restore + dir.path() + "/backups/S1/", 0), 0u) << lines[1];
      std::string backup = lines[1].substr(restore.size());
      EXPECT_TRUE(log.hasLine("orvexconf -rp " + port + " -b --check -restoreBlock " + backup))
          << log.text();
      // The backup named is the old block.
      std::ifstream in(backup, std::ios::binary);
      std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(content, std::string(old.begin(), old.end()));
    } else {
      EXPECT_FALSE(log.contains("orvexconf -rp")) << log.text();
    }
    log.clear();
    // The same port under another name (a link to it) finds it too.
    std::string link = dir.file("link");
    ASSERT_EQ(symlink(port.c_str(), link.c_str()), 0);
    DurableWrite again(dir.path(), link);
    EXPECT_EQ(again.checkUnfinished(c.block->data(), false), c.afterwards);
    // A write that ends closes its own entry, and supersedes the old one.
    if (c.afterwards == U::Blocking) {
      ASSERT_TRUE(again.beforeErase(c.block->data(), old.data(), WriteKind::Parameters));
      again.afterWrite(true);
      EXPECT_EQ(DurableWrite(dir.path(), port).checkUnfinished(c.block->data(), false), U::None);
    }
  }
}

TEST(DurableWrite, UnfinishedUploadsAreReportedApartFromWritesAndClosedByTheNextOne) {
  TempDir dir;
  std::string port = dir.write("port", "");
  std::string journalPath = dir.file("journal.jsonl");
  std::string sha(64, 'a');
  {
    DurableWrite killed(dir.path(), port);
    killed.beginUpload("new.mot", sha, {8, 9});
    // No endUpload: the process died here.
  }
  // The reader hands the upload's fields back, marked as an upload.
  std::vector<JournalBegin> open = WriteJournal(journalPath).unfinished();
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].kind, "upload");
  EXPECT_EQ(open[0].file, "new.mot");
  EXPECT_EQ(open[0].sha256, sha);
  EXPECT_EQ(open[0].blocks, (std::vector<int>{8, 9}));
  EXPECT_EQ(open[0].portPath, port);
  EXPECT_FALSE(open[0].version.empty());

  auto block = robotBlock("simbot", "S1");
  const std::regex notice("The last firmware upload to this controller \\('new\\.mot', at "
                          "[0-9-]{10}T[0-9:]{8}Z\\) did not finish: blocks 0x8, 0x9 may be "
                          "erased or partly written; upload the file again\\.");
  {
    LogCapture log;
    // Through a link to the port: the same controller.
    std::string link = dir.file("link");
    ASSERT_EQ(symlink(port.c_str(), link.c_str()), 0);
    DurableWrite next(dir.path(), link);
    EXPECT_EQ(next.checkUnfinished(block.data(), false), DurableWrite::Unfinished::None)
        << "an upload is no parameter write";
    EXPECT_TRUE(next.checkUnfinishedUploads(false));
    ASSERT_EQ(log.lines().size(), 1u) << log.text();
    EXPECT_TRUE(std::regex_match(log.lines()[0], notice)) << log.lines()[0];
    EXPECT_TRUE(std::regex_match(next.notice(), notice)) << next.notice();
    // Another port has nothing to report.
    EXPECT_FALSE(DurableWrite(dir.path(), dir.write("other", "")).checkUnfinishedUploads(false));

    // A failed upload ends its own entry but leaves the old one open.
    next.beginUpload("new.mot", sha, {8, 9});
    next.endUpload("failed", 1, 5);
    EXPECT_TRUE(DurableWrite(dir.path(), port).checkUnfinishedUploads(false));
    // A finished one, of any image, closes it.
    next.beginUpload("other.hex", std::string(64, 'b'), {0});
    next.endUpload("verified", 1, 0);
    EXPECT_FALSE(DurableWrite(dir.path(), port).checkUnfinishedUploads(false));
  }
  std::ifstream in(journalPath);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[0].find("\"kind\":\"upload\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"blocks\":[8,9]"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("\"outcome\":\"failed\""), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\"blocks_written\":1"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\"status\":5"), std::string::npos) << lines[2];
  EXPECT_NE(lines[5].find("\"outcome\":\"superseded\""), std::string::npos) << lines[5];
  EXPECT_NE(lines[5].find(open[0].id), std::string::npos) << lines[5];

  // --dismiss-unfinished closes it too, after saying so.
  {
    DurableWrite killed(dir.path(), port);
    killed.beginUpload("new.mot", sha, {10});
  }
  {
    LogCapture log;
    EXPECT_TRUE(DurableWrite(dir.path(), port).checkUnfinishedUploads(true));
    EXPECT_TRUE(log.contains("did not finish: block 0xa may be erased")) << log.text();
    EXPECT_TRUE(log.contains("--dismiss-unfinished")) << log.text();
  }
  EXPECT_FALSE(DurableWrite(dir.path(), port).checkUnfinishedUploads(false));

  // A journal that cannot be written warns in one line; the upload goes on.
  LogCapture log;
  DurableWrite unwritable(dir.file("missing/store"), port);
  unwritable.beginUpload("new.mot", sha, {8});
  unwritable.endUpload("verified", 1, 0);
  ASSERT_EQ(log.lines().size(), 1u) << log.text();
  EXPECT_EQ(log.lines()[0].rfind("Warning: could not record the upload in the journal (", 0), 0u)
      << log.lines()[0];
  EXPECT_TRUE(log.contains("the upload goes on")) << log.text();
}

namespace {
/// One write of a chain: the block read, the block written, what kind of
/// write, and how it ended (Cut: the process died before it ended).
enum class End { Cut, Verified, Rescued, Failed };
struct Write {
  const std::vector<unsigned char> *old, *intended;
  WriteKind kind;
  End end;
};

/// A failed write's rescue files go to the current folder: here the
/// store's, or (for a write that could not save them) a missing one.
void runWrite(const std::string &store, const std::string &port, const Write &w) {
  DurableWrite guard(store, port);
  LogCapture log;
  ASSERT_TRUE(guard.beforeErase(w.old->data(), w.intended->data(), w.kind));
  // The operator learns where the block went before anything is erased,
  // the path shown escaped.
  EXPECT_TRUE(
      log.hasLine("Saved the block as it was to '" + escapedText(guard.lastBackup()) + "'."))
      << log.text();
  if (w.end == End::Cut)
    return;
  char home[4096];
  ASSERT_NE(getcwd(home, sizeof home), nullptr);
  ASSERT_EQ(chdir(store.c_str()), 0);
  std::string gone = store + "/gone";
  if (w.end == End::Failed) {
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
  }
  RescueFiles rescue = guard.afterWrite(w.end == End::Verified);
  EXPECT_EQ(rescue.image.empty(), w.end != End::Rescued) << rescue.error;
  EXPECT_EQ(chdir(home), 0);
}

} // namespace

// An entry stays open until the block read is that write's intended block
// or the block from before the first open write, a whole block written
// back ends verified, or the operator dismisses it; the backup offered is
// always the block from before the first of them.
TEST(DurableWrite, OpenWritesProtectTheBlockUntilItIsKnownGood) {
  auto a = robotBlock("simbot", "S1", 1);
  auto x = robotBlock("renamed", "S1", 1);
  auto y = robotBlock("New", "SN-0099", 1); // changes the serial number
  auto z = robotBlock("other", "S7", 5);
  std::vector<unsigned char> erased(BLOCK, 0xFF);
  auto partial = erased; // the first three pieces of y written
  std::copy(y.begin(), y.begin() + 384, partial.begin());
  auto damagedX = robotBlock("renamed", "S1", 9);
  auto overDamaged = robotBlock("shell", "S1", 9);
  const WriteKind P = WriteKind::Parameters, W = WriteKind::WholeBlock;
  using U = DurableWrite::Unfinished;
  struct Case {
    const char *what;
    std::vector<Write> writes;
    const std::vector<unsigned char> *block;
    U expected;
  } cases[] = {
      {"restore cut at its erase",
       {{&a, &x, P, End::Cut}, {&erased, &a, W, End::Cut}},
       &erased,
       U::Blocking},
      {"restore cut twice",
       {{&a, &x, P, End::Cut}, {&erased, &a, W, End::Cut}, {&erased, &a, W, End::Cut}},
       &erased,
       U::Blocking},
      {"serial number changed by a write cut", {{&a, &y, P, End::Cut}}, &partial, U::Blocking},
      {"rescued write", {{&a, &x, P, End::Rescued}}, &damagedX, U::Blocking},
      {"failed write that did land", {{&a, &x, P, End::Failed}}, &x, U::Closed},
      {"whole block written back",
       {{&a, &x, P, End::Cut}, {&erased, &z, W, End::Verified}},
       &z,
       U::None},
      {"parameters written over a damaged block",
       {{&a, &x, P, End::Cut}, {&damagedX, &overDamaged, P, End::Verified}},
       &overDamaged,
       U::Blocking},
      {"old block written again",
       {{&a, &x, P, End::Cut}, {&damagedX, &a, P, End::Verified}},
       &a,
       U::None},
      {"another robot", {{&a, &y, P, End::Cut}}, &z, U::OtherRobot},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string port = dir.write("port", "");
    {
      LogCapture quiet;
      for (const Write &w : c.writes)
        runWrite(dir.path(), port, w);
    }
    LogCapture log;
    DurableWrite next(dir.path(), port);
    EXPECT_EQ(next.checkUnfinished(c.block->data(), false), c.expected) << log.text();
    std::string restore = "orvexconf -rp " + port + " -b -restoreBlock ";
    std::string offered;
    for (const std::string &line : log.lines())
      if (line.rfind(restore, 0) == 0)
        offered = line.substr(restore.size());
    if (c.expected == U::Blocking) {
      ASSERT_FALSE(offered.empty()) << log.text();
      EXPECT_EQ(fileBytes(offered), std::string(a.begin(), a.end())) << "the first backup";
    } else {
      EXPECT_TRUE(offered.empty()) << log.text();
    }
    // Still there for the run after, until something closes it.
    bool open = c.expected == U::Blocking || c.expected == U::OtherRobot;
    EXPECT_EQ(WriteJournal(dir.file("journal.jsonl")).unfinished().empty(), !open);
  }
}

// A check reads the journal and says what it finds, but writes nothing:
// no line closed, none dismissed, no store made or tightened.
TEST(DurableWrite, ACheckChangesNothingInTheStore) {
  auto a = robotBlock("simbot", "S1", 1);
  auto x = robotBlock("renamed", "S1", 1);
  std::vector<unsigned char> erased(BLOCK, 0xFF);
  TempDir dir;
  std::string port = dir.write("port", "");
  std::string store = dir.subdir("store");
  {
    LogCapture quiet;
    runWrite(store, port, {&a, &x, WriteKind::Parameters, End::Cut});
  }
  chmod(store.c_str(), 0755);
  std::string journal = fileBytes(store + "/journal.jsonl");
  using U = DurableWrite::Unfinished;
  for (auto [block, dismiss, expected] :
       {std::tuple{&x, false, U::Closed}, {&erased, true, U::Blocking}}) {
    LogCapture log;
    DurableWrite check(store, port);
    check.setCheckOnly(true);
    EXPECT_EQ(check.checkUnfinished(block->data(), dismiss), expected) << log.text();
    EXPECT_EQ(log.contains("A check dismisses nothing"), dismiss) << log.text();
    EXPECT_FALSE(check.beforeErase(a.data(), x.data(), WriteKind::Parameters));
    check.beginUpload("new.mot", std::string(64, 'a'), {8});
    check.endUpload("verified", 1, 0);
  }
  EXPECT_EQ(fileBytes(store + "/journal.jsonl"), journal);
  EXPECT_EQ(modeOf(store), 0755) << "not tightened";
  std::string missing = dir.file("missing");
  DurableWrite none(missing, port);
  none.setCheckOnly(true);
  EXPECT_EQ(none.checkUnfinished(erased.data(), true), U::None);
  EXPECT_NE(access(missing.c_str(), F_OK), 0) << "no store made";
}

// The backup is checked before it is named; another backup of the same
// block stands in for a missing or altered one; a path that cannot be
// pasted gets no command, one with blanks or quotes is quoted.
TEST(DurableWrite, TheBackupOfferedIsCheckedAndItsCommandQuoted) {
  auto a = robotBlock("simbot", "S1", 1);
  auto x = robotBlock("renamed", "S1", 1);
  std::vector<unsigned char> erased(BLOCK, 0xFF);
  enum Change { None, Remove, Alter, Twin, Link };
  struct Case {
    const char *what;
    const char *storeName;
    Change change;
    bool command;
    const char *line;
  } cases[] = {
      {"good", "store", None, true, nullptr},
      {"blanks and a quote", "robot's backups", None, true, nullptr},
      {"an escape in the path", "bad\x1b[2Jstore", None, false,
       "character in that path or the port's name cannot be pasted"},
      {"missing", "store", Remove, false, "is missing."},
      {"altered", "store", Alter, false, "is not the one saved (its SHA-256 is not the one "},
      {"a link", "store", Link, false, "is not the one saved (it is a symbolic link)"},
      {"missing, with a twin", "store", Twin, true, "Another backup of that robot holds"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string port = dir.write("port", "");
    std::string store = dir.file(c.storeName);
    {
      LogCapture quiet;
      runWrite(store, port, {&a, &x, WriteKind::Parameters, End::Cut});
    }
    std::vector<JournalBegin> open = WriteJournal(store + "/journal.jsonl").unfinished();
    ASSERT_EQ(open.size(), 1u);
    std::string backup = open[0].backup;
    EXPECT_EQ(backup.rfind(store + "/backups/S1/", 0), 0u) << "absolute: " << backup;
    if (c.change == Remove || c.change == Twin || c.change == Link) {
      if (c.change == Twin)
        ASSERT_EQ(rename(backup.c_str(), (backup + ".blk").c_str()), 0);
      else
        ASSERT_EQ(unlink(backup.c_str()), 0);
      if (c.change == Link) {
        std::string planted = dir.write("planted", std::string(a.begin(), a.end()));
        ASSERT_EQ(symlink(planted.c_str(), backup.c_str()), 0);
      }
    }
    if (c.change == Alter) {
      std::ofstream out(backup, std::ios::binary | std::ios::in | std::ios::out);
      out.put('\x42');
    }
    LogCapture log;
    EXPECT_EQ(DurableWrite(store, port).checkUnfinished(erased.data(), false),
              DurableWrite::Unfinished::Blocking);
    if (c.line != nullptr) {
      EXPECT_TRUE(log.contains(c.line)) << log.text();
    }
    EXPECT_FALSE(log.contains("\x1b")) << "shown escaped: " << log.text();
    std::string named = c.change == Twin ? backup + ".blk" : backup;
    std::string command = "orvexconf -rp " + port + " -b -restoreBlock " + shellQuote(named);
    EXPECT_EQ(log.hasLine(command), c.command) << command << "\n" << log.text();
    if (c.command) {
      // The shell gives back exactly the path shown quoted.
      RunResult echoed = runProgram("/bin/sh", {"-c", "printf %s " + shellQuote(named)});
      EXPECT_EQ(echoed.out, named);
      EXPECT_TRUE(
          log.hasLine("orvexconf -rp " + port + " -b --check -restoreBlock " + shellQuote(named)));
    }
  }
}

TEST(ShellText, QuotesLikeShlexAndEscapesWhatWouldNotShowAsItself) {
  struct Case {
    std::string text, quoted, shown;
    bool pasteable;
  } cases[] = {
      {"", "''", "", true},
      {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0", true},
      {"a-b_c.d:e,f@g%h+i=j", "a-b_c.d:e,f@g%h+i=j", "a-b_c.d:e,f@g%h+i=j", true},
      {"robot backups", "'robot backups'", "robot backups", true},
      {"it's", "'it'\"'\"'s'", "it's", true},
      {"x; rm -rf ~", "'x; rm -rf ~'", "x; rm -rf ~", true},
      {"a\\b", "'a\\b'", "a\\\\b", true},
      {"caf\xc3\xa9", "'caf\xc3\xa9'", "caf\xc3\xa9", true},
      {"esc\x1b[2J", "'esc\x1b[2J'", "esc\\x1b[2J", false},
      {"line\nbreak", "'line\nbreak'", "line\\x0abreak", false},
      {"bad\xff", "'bad\xff'", "bad\\xff", false},
      {"rtl\xe2\x80\xaegnp.exe", "'rtl\xe2\x80\xaegnp.exe'", "rtl\\xe2\\x80\\xaegnp.exe", false},
      {"overlong\xc0\xaf", "'overlong\xc0\xaf'", "overlong\\xc0\\xaf", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(shellQuote(c.text), c.quoted);
    EXPECT_EQ(escapedText(c.text), c.shown);
    EXPECT_EQ(pasteable(c.text), c.pasteable);
    EXPECT_EQ(shellCommand({"orvexconf", "-restoreBlock", c.text}).empty(), !c.pasteable);
  }
}

// The store is its user's alone: nothing in it is followed through a link
// or waited on, a store of another user's is not used, and one others can
// write is tightened. A refused store erases nothing (the write is refused
// before its erase) and names the path.
TEST(DurableWrite, AStoreThatIsNotTheUsersAloneIsRefusedWithNothingErased) {
  auto a = robotBlock("simbot", "S1", 1);
  auto x = robotBlock("renamed", "S1", 1);
  enum Setup {
    StoreLink,
    JournalLink,
    RobotFolderLink,
    JournalFolder,
    JournalPipe,
    OpenToAll,
    OtherOwner,
    JournalFull
  };
  struct Case {
    const char *what;
    Setup setup;
    bool allowed;
    const char *line; // in the log
  } cases[] = {
      {"the store a link", StoreLink, false, "/store' is a symbolic link"},
      {"the journal a link", JournalLink, false, "journal.jsonl' is a symbolic link"},
      {"a robot's folder a link", RobotFolderLink, false, "backups/S1' is a symbolic link"},
      {"the journal a folder", JournalFolder, false, "it is a folder, not a file"},
      {"the journal a named pipe", JournalPipe, false, "it is not a regular file"},
      {"a store of mode 0777", OpenToAll, true, nullptr},
      {"another user's store", OtherOwner, false, "belongs to another user"},
      {"a journal line that cannot be written", JournalFull, false,
       "Could not record the write in the journal"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string port = dir.write("port", "");
    std::string store = dir.file("store");
    std::string elsewhere = dir.subdir("elsewhere");
    std::string victim = dir.write("victim", "keep");
    if (c.setup != StoreLink && c.setup != OtherOwner)
      dir.subdir("store");
    int made = 0;
    switch (c.setup) {
    case StoreLink:
      made = symlink(elsewhere.c_str(), store.c_str());
      break;
    case JournalLink:
      made = symlink(victim.c_str(), (store + "/journal.jsonl").c_str());
      break;
    case RobotFolderLink:
      made = mkdir((store + "/backups").c_str(), 0700) |
             symlink(elsewhere.c_str(), (store + "/backups/S1").c_str());
      break;
    case JournalFolder:
      made = mkdir((store + "/journal.jsonl").c_str(), 0700);
      break;
    case JournalPipe:
      made = mkfifo((store + "/journal.jsonl").c_str(), 0600);
      break;
    case OpenToAll:
      made = chmod(store.c_str(), 0777);
      break;
    case OtherOwner:
      // A folder of root's as the store of a user; as root, one given away.
      store = geteuid() != 0 ? "/" : dir.subdir("store");
      made = geteuid() != 0 ? 0 : chown(store.c_str(), 65534, 65534);
      break;
    case JournalFull:
      // Lines a file-size limit leaves no room after (set in the child).
      dir.write("store/journal.jsonl", std::string(8000, '\n'));
      break;
    }
    ASSERT_EQ(made, 0) << strerror(errno);
    // In a child: a run that waits (on a pipe) is ended, and the limit
    // stays there.
    ChildResult child = runInChild([&] {
      if (c.setup == JournalFull) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {BLOCK, BLOCK};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      DurableWrite guard(store, port);
      guard.checkUnfinished(a.data(), false);
      bool allowed = guard.beforeErase(a.data(), x.data(), WriteKind::Parameters);
      childMark(allowed ? "allowed\n" : "refused\n");
      _exit(0);
    });
    ASSERT_TRUE(child.finished) << "the run waited: " << child.output;
    EXPECT_NE(child.output.find(c.allowed ? "allowed" : "refused"), std::string::npos)
        << child.output;
    if (c.line != nullptr) {
      EXPECT_NE(child.output.find(c.line), std::string::npos) << child.output;
      EXPECT_NE(child.output.find("Nothing was erased"), std::string::npos) << child.output;
    }
    EXPECT_EQ(filesIn(elsewhere).size(), 0u) << "nothing made through a link";
    EXPECT_EQ(fileBytes(victim), "keep");
    if (c.setup == OpenToAll) {
      EXPECT_EQ(modeOf(store), 0700) << "tightened";
      EXPECT_EQ(modeOf(store + "/journal.jsonl"), 0600);
    }
    if (c.setup == JournalFolder || c.setup == JournalPipe) {
      EXPECT_NE(access((store + "/backups").c_str(), F_OK), 0) << "refused before any backup";
    }
  }
}

// An upload without read-back (--no-verify) that ends closes the earlier
// unfinished uploads to the port, as a verified one does: the next run
// has nothing to report, and the journal holds the closing line.
TEST(DurableWrite, AnUploadWithoutReadBackClosesEarlierUnfinishedOnes) {
  TempDir dir;
  SimSession sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::string port = sim.slavePath();
  {
    DurableWrite killed(dir.path(), port);
    killed.beginUpload("old.mot", std::string(64, 'a'), {8});
  }
  std::string file =
      dir.write("new.mot", records::lines({records::dataRecord('2', 0x8000, records::bytes(16))}));
  FirmwareImage image;
  ASSERT_TRUE(loadFirmwareFile(file.c_str(), NO_BASE_ADDRESS, image));
  FirmwareDownload download(image);
  download.setVerify(false);
  ZySerialConnection serial;
  serial.setBaud(115200);
  ASSERT_EQ(serial.open(port.c_str()), 0);
  MonitorLink link(&serial);
  {
    LogCapture quiet;
    DurableWrite run(dir.path(), port);
    ASSERT_TRUE(run.upload(download, image, &link, 5));
  }
  LogCapture log;
  EXPECT_FALSE(DurableWrite(dir.path(), port).checkUnfinishedUploads(false)) << log.text();
  std::string journal = fileBytes(dir.file("journal.jsonl"));
  EXPECT_NE(journal.find("\"outcome\":\"written\""), std::string::npos) << journal;
  EXPECT_NE(journal.find("\"outcome\":\"superseded\""), std::string::npos) << journal;
}

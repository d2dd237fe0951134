// SPDX-License-Identifier: MIT
// The safeguard of the parameter block write, below the driver: where the
// backup store is, the backups it keeps, the write journal (appended only,
// bad lines skipped), refusals that leave nothing half written, and what a
// run makes of a write that never finished.
#include "BackupStore.h"
#include "ChildProcess.h"
#include "DurableWrite.h"
#include "LogCapture.h"
#include "TempFiles.h"
#include "WriteJournal.h"

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
      {robotBlock("simbot", "SIM-2024-0042"), "simbot-SIM-2024-0042"},
      {robotBlock("my robot/../x", "a b"), "myrobot..x-ab"},
      {std::vector<unsigned char>(BLOCK, 0xFF), "unnamed"},
      {robotBlock("", "S1"), "unnamed-S1"},
      {robotBlock("\x01\x7f", "S\xc3\xa9"), "unnamed-S"},
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
    EXPECT_TRUE(again == path || filesIn(folder).size() == 2u) << again;
    for (const std::string &name : filesIn(folder))
      EXPECT_EQ(name.find(".blk."), std::string::npos) << "no temporary file left: " << name;
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
    EXPECT_FALSE(missing.beforeErase(old.data(), intended.data()));
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
    childMark(limited.beforeErase(old.data(), intended.data()) ? "allowed\n" : "refused\n");
    fflush(stdout);
    _exit(0);
  });
  ASSERT_TRUE(child.exited) << child.output;
  EXPECT_NE(child.output.find("refused"), std::string::npos) << child.output;
  EXPECT_NE(child.output.find("File too large"), std::string::npos) << child.output;
  EXPECT_TRUE(filesIn(store + "/backups/simbot-S1").empty());
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
      ASSERT_TRUE(killed.beforeErase(old.data(), intended.data()));
      // No afterWrite: the process died here.
    }
    LogCapture log;
    DurableWrite next(dir.path(), port);
    EXPECT_EQ(next.checkUnfinished(c.block->data(), c.dismiss), c.expected);
    std::vector<std::string> lines = log.lines();
    ASSERT_GE(lines.size(), 3u) << log.text();
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("The last parameter write to this controller \\(robot 'simbot', at "
                             "[0-9-]{10}T[0-9:]{8}Z\\) did not finish: the block may be erased or "
                             "partly written\\.")))
        << lines[0];
    EXPECT_EQ(lines[1].rfind(dir.path() + "/backups/simbot-S1/", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "orvexconf -rp " + port + " -restoreBlock " + lines[1]);
    // The backup named is the old block.
    std::ifstream in(lines[1], std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::string(old.begin(), old.end()));
    log.clear();
    // The same port under another name (a link to it) finds it too.
    std::string link = dir.file("link");
    ASSERT_EQ(symlink(port.c_str(), link.c_str()), 0);
    DurableWrite again(dir.path(), link);
    EXPECT_EQ(again.checkUnfinished(c.block->data(), false), c.afterwards);
    // A write that ends closes its own entry, and supersedes the old one.
    if (c.afterwards == U::Blocking) {
      ASSERT_TRUE(again.beforeErase(c.block->data(), old.data()));
      again.afterWrite(WriteOutcome::Verified);
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

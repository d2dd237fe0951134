// SPDX-License-Identifier: MIT
// The history of the backup store from a hand-written journal whose lines
// come from every version (the first begin lines without the intended
// Name and SerNum, uploads without the robot, lines that list their
// changes), with backups in an earlier version's folder and in a
// controller folder with its index: which controller each write belongs
// to, what each changed and how that is known, the queries by SerNum, by
// any Name had and by folder, the lines printed and the report's JSON.
#include "BackupStore.h"
#include "HistoryOutput.h"
#include "ReportCheck.h"
#include "RunReport.h"
#include "TempFiles.h"
#include "WriteHistory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace {
const int BLOCK = 4096;

/// A block of one robot: Name, SerNum and JoyVelMax (offset 296, most
/// significant byte first) set, the same other bytes for every seed.
std::string robotBlock(const char *name, const char *serial, int joyVelMax) {
  std::string block(BLOCK, '\0');
  for (int i = 0; i < BLOCK; i++)
    block[i] = static_cast<char>((i * 31 + 1) & 0xFF);
  memset(&block[141], 0, 19);
  memcpy(&block[141], name, strlen(name));
  memset(&block[64], 0, 31);
  memcpy(&block[64], serial, strlen(serial));
  block[296] = static_cast<char>(joyVelMax >> 8);
  block[297] = static_cast<char>(joyVelMax & 0xFF);
  return block;
}

std::string shaOf(const std::string &block) {
  return sha256Hex(reinterpret_cast<const unsigned char *>(block.data()), block.size());
}

bool hasLine(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines)
    text += line + "\n";
  return text;
}

/// The store of the test: its journal's lines in the order of the
/// versions that wrote them.
struct HandWrittenStore {
  TempDir dir;
  std::string store = dir.subdir("store");
  std::string a = robotBlock("simbot", "S1", 400);
  std::string b = robotBlock("alpha", "S1", 650);
  std::string c = robotBlock("alpha", "S1", 700);
  std::string erased = std::string(BLOCK, '\xff');
  std::string oldBackup, backupB, erasedBackup;

  HandWrittenStore() {
    chmod(store.c_str(), 0755);
    dir.subdir("store/backups");
    dir.subdir("store/backups/simbot-S1");
    dir.subdir("store/backups/S1");
    dir.subdir("store/backups/unknown-serial");
    erasedBackup = dir.write("store/backups/unknown-serial/20250501T000000Z-" +
                                 shaOf(erased).substr(0, 12) + ".blk",
                             erased);
    oldBackup =
        dir.write("store/backups/simbot-S1/20250101T000000Z-" + shaOf(a).substr(0, 12) + ".blk", a);
    std::string fileB = "20250301T000000Z-" + shaOf(b).substr(0, 12) + ".blk";
    backupB = dir.write("store/backups/S1/" + fileB, b);
    dir.write("store/backups/S1/index.jsonl",
              "{\"file\":\"" + fileB + "\",\"name\":\"alpha\",\"serial\":\"S1\",\"sha256\":\"" +
                  shaOf(b) + "\",\"time\":\"2025-03-01T00:00:00Z\",\"port\":\"/dev/ttyS0\"}\n");
    std::string port = "\"port\":\"/dev/ttyS0\",\"port_path\":\"/dev/ttyS0\",\"port_by_id\":\"\"";
    std::string lines[] = {
        // The first version: no intended Name or SerNum, no changes.
        "{\"event\":\"begin\",\"id\":\"w1\",\"time\":\"2025-01-01T00:00:00Z\"," + port +
            ",\"name\":\"simbot\",\"serial\":\"S1\",\"backup\":\"" + oldBackup +
            "\",\"old_sha256\":\"" + shaOf(a) + "\",\"intended_sha256\":\"" + shaOf(b) +
            "\",\"version\":\"1.0\"}",
        "{\"event\":\"end\",\"id\":\"w1\",\"outcome\":\"verified\",\"status\":0}",
        // An upload of a version that did not record the robot.
        "{\"event\":\"begin\",\"kind\":\"upload\",\"id\":\"u1\",\"time\":\"2025-02-01T00:00:"
        "00Z\"," +
            port + ",\"file\":\"new.mot\",\"sha256\":\"" + std::string(64, 'a') +
            "\",\"blocks\":[8,9],\"version\":\"1.1\"}",
        "{\"event\":\"end\",\"kind\":\"upload\",\"id\":\"u1\",\"outcome\":\"verified\","
        "\"blocks_written\":2,\"status\":0}",
        "not json",
        // The intended Name and SerNum, no changes; the backup named where
        // the store was before it moved, and the block written in no backup.
        "{\"event\":\"begin\",\"id\":\"w3\",\"time\":\"2025-03-01T00:00:00Z\"," + port +
            ",\"name\":\"alpha\",\"serial\":\"S1\",\"intended_name\":\"alpha\","
            "\"intended_serial\":\"S1\",\"backup\":\"/moved/store/backups/S1/" +
            backupB.substr(backupB.rfind('/') + 1) + "\",\"old_sha256\":\"" + shaOf(b) +
            "\",\"intended_sha256\":\"" + shaOf(c) + "\",\"version\":\"1.2\"}",
        "{\"event\":\"failed\",\"id\":\"w3\",\"outcome\":\"rescued\",\"status\":8}",
        "{\"event\":\"end\",\"id\":\"w3\",\"outcome\":\"found-written\"}",
        // This version: the changes listed; the backup gone; never ended.
        "{\"event\":\"begin\",\"id\":\"w4\",\"time\":\"2025-04-01T00:00:00Z\"," + port +
            ",\"name\":\"alpha\",\"serial\":\"S1\",\"intended_name\":\"alpha\","
            "\"intended_serial\":\"S1\",\"backup\":\"" +
            store + "/backups/S1/gone.blk\",\"old_sha256\":\"" + shaOf(c) +
            "\",\"intended_sha256\":\"" + std::string(64, 'b') +
            "\",\"version\":\"2.0\",\"changes\":[{\"keyword\":\"JoyVelMax\",\"table\":\"robot\","
            "\"before\":\"700\",\"after\":\"650\",\"text\":false}]}",
        // Another controller that was once named simbot too.
        "{\"event\":\"begin\",\"id\":\"w5\",\"time\":\"2025-04-15T00:00:00Z\"," + port +
            ",\"name\":\"simbot\",\"serial\":\"S2\",\"intended_name\":\"beta\","
            "\"intended_serial\":\"S2\",\"backup\":\"\",\"version\":\"2.0\",\"changes\":[]}",
        "{\"event\":\"end\",\"id\":\"w5\",\"outcome\":\"verified\",\"status\":0}",
        // A block image written over an erased block: S1's by the block it
        // wrote, its backup among those without a SerNum.
        "{\"event\":\"begin\",\"id\":\"w6\",\"time\":\"2025-05-01T00:00:00Z\"," + port +
            ",\"name\":\"???\",\"serial\":\"" + std::string(31, '?') +
            "\",\"intended_name\":\"alpha\",\"intended_serial\":\"S1\",\"backup\":\"" +
            erasedBackup + "\",\"old_sha256\":\"" + shaOf(erased) +
            "\",\"version\":\"2.0\",\"whole_block\":true,\"changes\":[]}",
        "{\"event\":\"end\",\"id\":\"w6\",\"outcome\":\"verified\",\"status\":0}",
        // An upload that records the robot, never ended.
        "{\"event\":\"begin\",\"kind\":\"upload\",\"id\":\"u2\",\"time\":\"2025-06-01T00:00:"
        "00Z\"," +
            port +
            ",\"name\":\"alpha\",\"serial\":\"S1\",\"file\":\"b.hex\",\"sha256\":\"x\","
            "\"blocks\":[10],\"version\":\"2.0\"}",
    };
    std::string journal;
    for (const std::string &line : lines)
      journal += line + "\n";
    dir.write("store/journal.jsonl", journal);
    chmod(dir.file("store/journal.jsonl").c_str(), 0644);
  }
};

std::vector<std::string> idsOf(const StoreHistory &history, const ControllerHistory &matched) {
  std::vector<std::string> ids;
  for (size_t index : matched.events)
    ids.push_back(history.events[index].id);
  return ids;
}

const HistoryEvent &eventNamed(const StoreHistory &history, const std::string &id) {
  static const HistoryEvent none;
  for (const HistoryEvent &event : history.events)
    if (event.id == id)
      return event;
  ADD_FAILURE() << "no event " << id;
  return none;
}
} // namespace

TEST(WriteHistory, QueriesMatchASerialNumberAnyNameHadOrAFolder) {
  HandWrittenStore made;
  StoreHistory history = readStoreHistory(made.store);
  EXPECT_EQ(history.error, "");
  ASSERT_EQ(history.warnings.size(), 1u);
  EXPECT_EQ(history.warnings[0], "Warning: line 5 of the write journal '" + made.store +
                                     "/journal.jsonl' is not valid JSON; it is skipped.");
  struct Case {
    const char *query;
    std::vector<std::string> serials;
    bool byName;
    std::vector<std::string> ids;
  } cases[] = {
      {"S1", {"S1"}, false, {"u2", "w6", "w4", "w3", "w1"}},
      {"S2", {"S2"}, false, {"w5"}},
      {"simbot", {"S1", "S2"}, true, {"u2", "w6", "w5", "w4", "w3", "w1"}},
      {"beta", {"S2"}, true, {"w5"}},
      {"ALPHA", {"S1"}, true, {"u2", "w6", "w4", "w3", "w1"}},
      {"simbot-S1", {"S1"}, false, {"u2", "w6", "w4", "w3", "w1"}},
      {"unknown-serial", {""}, false, {"u1"}},
      {"nobody", {}, false, {}},
      {"", {}, false, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.query);
    ControllerHistory matched = historyOf(history, c.query);
    EXPECT_EQ(matched.serials, c.serials);
    EXPECT_EQ(matched.byName, c.byName);
    EXPECT_EQ(idsOf(history, matched), c.ids);
  }
  // The old upload, which names no robot, is the controllers' without one.
  std::vector<std::string> serials;
  for (const ControllerEntry &entry : history.controllers)
    serials.push_back(entry.serial);
  EXPECT_EQ(serials, (std::vector<std::string>{"S1", "S2", ""}));
  EXPECT_EQ(history.controllers[0].names, (std::vector<std::string>{"alpha", "simbot"}));
  EXPECT_EQ(history.controllers[1].names, (std::vector<std::string>{"beta", "simbot"}));
  // Reading changed nothing: the store is neither tightened nor written.
  struct stat info;
  ASSERT_EQ(stat(made.store.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  ASSERT_EQ(stat((made.store + "/journal.jsonl").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(WriteHistory, EachWriteSaysHowItEndedAndWhatItChangedAndHowThatIsKnown) {
  HandWrittenStore made;
  StoreHistory history = readStoreHistory(made.store);
  struct Case {
    const char *id;
    const char *kind;
    const char *outcome;     // outcomeText
    const char *backupState; // "" for an upload or a write that names none
    const char *changesFrom; // "" not known
    std::vector<std::string> changes;
  } cases[] = {
      // The first version's line: both blocks found among the backups.
      {"w1",
       "write",
       "verified",
       "good",
       "backups",
       {"Name: 'simbot' -> 'alpha'", "JoyVelMax: 400 -> 650"}},
      {"u1", "upload", "verified", "", "", {}},
      // Its backup found in this store, though the journal names it where
      // the store was; the block it wrote is in no backup.
      {"w3",
       "write",
       "failed, rescue files saved, then found written by a later run",
       "good",
       "",
       {}},
      {"w4",
       "write",
       "did not finish, still open",
       "missing",
       "journal",
       {"JoyVelMax: 700 -> 650"}},
      {"w5", "write", "verified", "", "journal", {}},
      {"w6", "block", "verified", "good", "journal", {}},
      {"u2", "upload", "did not finish, still open", "", "", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    const HistoryEvent &event = eventNamed(history, c.id);
    EXPECT_EQ(event.kind, c.kind);
    EXPECT_EQ(outcomeText(event), c.outcome);
    EXPECT_EQ(event.backupState, c.backupState);
    EXPECT_EQ(event.changesFrom, c.changesFrom);
    std::vector<std::string> changes;
    for (const ParamChange &change : event.changes)
      changes.push_back(changeLine(change));
    EXPECT_EQ(changes, c.changes);
  }
  EXPECT_EQ(eventNamed(history, "w3").backup, made.backupB);
  EXPECT_EQ(eventNamed(history, "w3").changesWhy, "no backup holds the block it wrote");
  EXPECT_EQ(eventNamed(history, "w6").serials, (std::vector<std::string>{"S1"}));
  EXPECT_EQ(eventNamed(history, "u1").serials, (std::vector<std::string>{""}));
}

TEST(WriteHistory, LinesAndReportJsonOfTheControllersAndOfOne) {
  HandWrittenStore made;
  StoreHistory history = readStoreHistory(made.store);
  std::vector<std::string> list = controllerListLines(history);
  EXPECT_TRUE(hasLine(list, "3 controllers in the backup store '" + made.store +
                                "', the last written first:"))
      << joined(list);
  EXPECT_TRUE(hasLine(list, "'S1': Name 'alpha' (before: 'simbot'); 4 writes, 1 upload; last "
                            "2025-06-01T00:00:00Z on '/dev/ttyS0', did not finish, still open; 2 "
                            "still open; 2 backups in 'S1', 'simbot-S1'"))
      << joined(list);
  EXPECT_TRUE(hasLine(list, "(no serial number): 0 writes, 1 upload; last 2025-02-01T00:00:00Z on "
                            "'/dev/ttyS0', verified; 1 backup in 'unknown-serial'"))
      << joined(list);

  ControllerHistory one = historyOf(history, "simbot-S1");
  std::vector<std::string> lines = controllerHistoryLines(history, one);
  for (const char *line : {
           "The controller with the serial number 'S1', Name 'alpha' (before: 'simbot'): its "
           "writes and uploads, the newest first:",
           "2025-06-01T00:00:00Z  firmware upload of 'b.hex' (block 0xa) to 'alpha': did not "
           "finish, still open; port '/dev/ttyS0'; orvexconf 2.0",
           "2025-01-01T00:00:00Z  parameter write to 'simbot': verified; port '/dev/ttyS0'; "
           "orvexconf 1.0",
           "  Changed 2 parameters:",
           "    Name: 'simbot' -> 'alpha'",
           "    JoyVelMax: 400 -> 650",
           "  Was to change 1 parameter:",
           "    JoyVelMax: 700 -> 650",
           "  What it changed is not known: no backup holds the block it wrote.",
       })
    EXPECT_TRUE(hasLine(lines, line)) << line << "\n" << joined(lines);
  EXPECT_TRUE(hasLine(lines, "  Backup of the block before it: '" + made.store +
                                 "/backups/S1/gone.blk' (missing)"))
      << joined(lines);
  ControllerHistory two = historyOf(history, "simbot");
  lines = controllerHistoryLines(history, two);
  EXPECT_EQ(lines.at(1), "The name 'simbot' was had by 2 controllers: 'S1', 'S2'. Their writes "
                         "and uploads, the newest first:");
  EXPECT_TRUE(hasLine(lines, "2025-04-15T00:00:00Z  parameter write to 'simbot' (SerNum 'S2'): "
                             "verified; port '/dev/ttyS0'; orvexconf 2.0"))
      << joined(lines);
  EXPECT_EQ(controllerHistoryLines(history, historyOf(history, "nobody")).back(),
            "No controller known to the backup store '" + made.store +
                "' has the serial number or the name 'nobody'.");

  // The report of a run with each: valid by the schema, its members as read.
  const ControllerHistory *both[] = {&two, nullptr};
  for (const ControllerHistory *matched : both) {
    nlohmann::json report = nlohmann::json::parse(
        reportJson(RunRecord(), 0, "2025-07-01T00:00:00Z", "2025-07-01T00:00:01Z", 1.0));
    report["history"] = historyJson(history, matched);
    std::string path = made.dir.write("report.json", report.dump(2));
    nlohmann::json checked = checkedReport(path);
    ASSERT_TRUE(checked.is_object());
    const nlohmann::json &h = checked["history"];
    EXPECT_EQ(h["controllers"].size(), matched != nullptr ? 2u : 3u);
    EXPECT_EQ(h["events"].size(), matched != nullptr ? 6u : 0u);
    if (matched != nullptr) {
      EXPECT_EQ(h["query"], "simbot");
      EXPECT_EQ(h["events"][0]["kind"], "upload");
      EXPECT_EQ(h["events"][0]["sha256"], nullptr) << "not a SHA-256";
      const nlohmann::json &first = h["events"].back();
      EXPECT_EQ(first["changesFrom"], "backups");
      EXPECT_EQ(
          first["changes"][1],
          (nlohmann::json{
              {"keyword", "JoyVelMax"}, {"table", "robot"}, {"before", "400"}, {"after", "650"}}));
      EXPECT_EQ(first["intendedSerialNumber"], nullptr) << "not recorded";
    } else {
      EXPECT_EQ(h["query"], nullptr);
    }
  }
}

// SPDX-License-Identifier: MIT
// RunOutcome: the exit status a run's record gives (which cause wins over
// which), a record read while another thread fills it, the logged lines
// it keeps for the report, and the report's JSON.
#include "BackupStore.h"
#include "RunOutcome.h"
#include "RunReport.h"
#include "ZyLog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <thread>

namespace {
struct StatusCase {
  const char *name;
  std::function<void(RunRecord &)> facts;
  int status;
};

TEST(RunOutcome, ExitStatusFollowsThePrecedenceOfCauses) {
  const StatusCase cases[] = {
      {"nothing happened", [](RunRecord &) {}, 0},
      {"signal wins over everything",
       [](RunRecord &r) {
         r.run.stopSignal = 15;
         r.run.endedWith = EXIT_FLASH_READ;
         r.files.saveFailed = true;
       },
       143},
      {"a step's own status wins over the batch end",
       [](RunRecord &r) {
         r.run.batch = true;
         r.run.endedWith = EXIT_UPLOAD;
         r.block.refused = {"x"};
       },
       5},
      {"batch: refused wins over a failed write",
       [](RunRecord &r) {
         r.run.batch = true;
         r.block.refused = {"x"};
         r.block.flashWriteFailed = true;
       },
       7},
      {"interactive: refused texts do not count", [](RunRecord &r) { r.block.refused = {"x"}; }, 0},
      {"failed write wins over failed save",
       [](RunRecord &r) {
         r.block.flashWriteFailed = true;
         r.files.saveFailed = true;
       },
       8},
      {"failed save", [](RunRecord &r) { r.files.saveFailed = true; }, 9},
      {"check that would change",
       [](RunRecord &r) { r.run.check = r.run.batch = r.block.changed = true; }, 10},
      {"check: a failure keeps its status",
       [](RunRecord &r) {
         r.run.check = r.run.batch = r.block.changed = true;
         r.run.endedWith = EXIT_NO_CONNECTION;
       },
       2},
      {"check: refused arguments win",
       [](RunRecord &r) {
         r.run.check = r.run.batch = r.block.changed = true;
         r.block.refused = {"x"};
       },
       7},
      {"check without changes", [](RunRecord &r) { r.run.check = r.run.batch = true; }, 0},
      {"check: firmware blocks that differ",
       [](RunRecord &r) {
         r.run.check = r.run.batch = true;
         r.firmware.resize(2);
         r.firmware[1].blocksDiffering = {8};
       },
       10},
      {"firmware blocks differing count only in a check",
       [](RunRecord &r) {
         r.run.batch = true;
         r.firmware.resize(1);
         r.firmware[0].blocksDiffering = {8};
       },
       0},
  };
  for (const StatusCase &c : cases) {
    RunOutcome outcome;
    outcome.update(c.facts);
    EXPECT_EQ(outcome.exitStatus(), c.status) << c.name;
    RunRecord copy = outcome.snapshot();
    EXPECT_EQ(exitStatusOf(copy), c.status) << c.name;
  }
}

TEST(RunOutcome, ACopyTakenWhileAnotherThreadFillsItIsWhole) {
  RunOutcome outcome;
  const int rounds = 2000;
  std::thread filler([&outcome] {
    for (int i = 0; i < rounds; i++)
      outcome.update([](RunRecord &r) {
        r.block.refused.push_back("word");
        r.block.refused.push_back("value");
      });
  });
  // Every copy holds whole pairs: never a half-done change.
  for (int i = 0; i < rounds; i++)
    ASSERT_EQ(outcome.snapshot().block.refused.size() % 2, 0U);
  filler.join();
  EXPECT_EQ(outcome.snapshot().block.refused.size(), 2U * rounds);
}

TEST(RunOutcome, KeepsTheFirstTerseLinesLoggedWhileTheLogIsHeard) {
  RunOutcome outcome;
  // A log type that writes nowhere but is not silenced.
  ZyLog::init(ZyLog::Tessel, ZyLog::Normal, "", false, false, false);
  {
    LoggedMessages messages(outcome);
    ZyLog::log(ZyLog::Terse, "Could not process: %s %s\n", "Foo", "3");
    ZyLog::log(ZyLog::Normal, "Entering batch mode.");
    ZyLog::log(ZyLog::Normal, "Caution: 'x.rop' changes the robot's identity (Name).");
    ZyLog::log(ZyLog::Terse, " \t");
    ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
    ZyLog::log(ZyLog::Terse, "Could not connect, no robot responding.");
    ZyLog::log(ZyLog::Terse, "Warning: a line nobody was shown.");
    ZyLog::init(ZyLog::Tessel, ZyLog::Normal, "", false, false, false);
    for (int i = 0; i < 250; i++)
      ZyLog::log(ZyLog::Terse, "line %d", i);
  }
  ZyLog::log(ZyLog::Terse, "after the run");
  // A text of several lines shown to the operator gives one entry a line.
  RunOutcome shown;
  shown.update(
      [](RunRecord &r) { addMessage(r, "Port 'x': busy.\n  Close it. \n\nThen retry.\n"); });
  EXPECT_EQ(shown.snapshot().log.messages,
            (std::vector<std::string>{"Port 'x': busy.", "  Close it.", "Then retry."}));
  ZyLog::init(ZyLog::StdOut, ZyLog::Normal, "", false, false, false);

  RunRecord record = outcome.snapshot();
  ASSERT_EQ(record.log.messages.size(), MAX_MESSAGES);
  EXPECT_EQ(record.log.messages[0], "Could not process: Foo 3");
  EXPECT_EQ(record.log.messages[1], "line 0");
  EXPECT_EQ(record.log.messages.back(), "line 198");
  EXPECT_EQ(record.log.messagesNotKept, 51);
  // The warnings and cautions shown, whatever their level.
  EXPECT_EQ(record.log.warnings,
            std::vector<std::string>{"Caution: 'x.rop' changes the robot's identity (Name)."});
  // The report names the cut after the lines kept.
  nlohmann::json report = nlohmann::json::parse(reportJson(record, 7, "s", "e", 0), nullptr, false);
  ASSERT_EQ(report["messages"].size(), MAX_MESSAGES + 1);
  EXPECT_EQ(report["messages"][0], "Could not process: Foo 3");
  EXPECT_EQ(report["messages"].back(), "(51 more lines were logged and are not kept here.)");
}
} // namespace

TEST(RunReport, StatusNamesDigestsAndAReportOfAnyRecord) {
  const char *names[] = {"ok",           "options",     "no-connection",  "flash-read",
                         "image-upload", "upload",      "wrong-firmware", "bad-arguments",
                         "flash-write",  "save-failed", "would-change"};
  for (int status = 0; status <= EXIT_WOULD_CHANGE; status++)
    EXPECT_STREQ(exitStatusName(status), names[status]) << status;
  EXPECT_STREQ(exitStatusName(130), "signal");
  // The SHA-256 of "abc" as published for the algorithm.
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(sha256Hex(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // A name from the controller that is not UTF-8 still gives a report.
  RunRecord record;
  record.block.flashRead = true;
  record.controller.robotName = "R\xff";
  record.block.changes.push_back({"Name", "robot", "R1", "R\xff", true});
  std::string text = reportJson(record, 0, "2026-01-01T00:00:00.000Z", "x", 0.5);
  nlohmann::json report = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << text;
  EXPECT_EQ(report["schema"], "orvexconf-report/1");
  EXPECT_EQ(report["changes"][0]["before"], "R1");
  EXPECT_EQ(report["mode"], "interactive");
  EXPECT_EQ(report["messages"], nlohmann::json::array());
}

// What the report says of the block: written by a keyword write or a block
// image, the name as read and the one written beside it.
TEST(RunReport, TheBlockAsReadAndAsWritten) {
  struct Case {
    const char *what;
    std::function<void(RunRecord &)> facts;
    bool written;
    nlohmann::json intended;
  } cases[] = {
      {"read only", [](RunRecord &) {}, false, nullptr},
      {"keywords written",
       [](RunRecord &r) {
         r.block.flashWritten = true;
         r.controller.intendedName = "New";
         r.controller.intendedKnown = true;
       },
       true, "New"},
      {"a block image written",
       [](RunRecord &r) {
         r.block.rescuedFrom = "b.blk";
         r.controller.intendedName = "Blocky";
         r.controller.intendedKnown = true;
       },
       true, "Blocky"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunRecord record;
    record.block.flashRead = true;
    record.controller.robotName = "Old";
    c.facts(record);
    nlohmann::json report = nlohmann::json::parse(reportJson(record, 0, "s", "e", 0));
    EXPECT_EQ(report["block"]["written"], c.written);
    EXPECT_EQ(report["block"]["verified"], c.written);
    EXPECT_EQ(report["controller"]["robotName"], "Old");
    EXPECT_EQ(report["controller"]["intendedRobotName"], c.intended);
  }
}

// RunOutcome: the exit status a run's record gives (which cause wins over
// which), and a record read while another thread fills it.
#include "RunOutcome.h"

#include <gtest/gtest.h>

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
         r.stopSignal = 15;
         r.endedWith = EXIT_FLASH_READ;
         r.saveFailed = true;
       },
       143},
      {"a step's own status wins over the batch end",
       [](RunRecord &r) {
         r.batch = true;
         r.endedWith = EXIT_UPLOAD;
         r.refused = {"x"};
       },
       5},
      {"batch: refused wins over a failed write",
       [](RunRecord &r) {
         r.batch = true;
         r.refused = {"x"};
         r.flashWriteFailed = true;
       },
       7},
      {"interactive: refused texts do not count", [](RunRecord &r) { r.refused = {"x"}; }, 0},
      {"failed write wins over failed save",
       [](RunRecord &r) {
         r.flashWriteFailed = true;
         r.saveFailed = true;
       },
       8},
      {"failed save", [](RunRecord &r) { r.saveFailed = true; }, 9},
      {"check that would change", [](RunRecord &r) { r.check = r.batch = r.changed = true; }, 10},
      {"check: a failure keeps its status",
       [](RunRecord &r) {
         r.check = r.batch = r.changed = true;
         r.endedWith = EXIT_NO_CONNECTION;
       },
       2},
      {"check: refused arguments win",
       [](RunRecord &r) {
         r.check = r.batch = r.changed = true;
         r.refused = {"x"};
       },
       7},
      {"check without changes", [](RunRecord &r) { r.check = r.batch = true; }, 0},
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
        r.refused.push_back("word");
        r.refused.push_back("value");
      });
  });
  // Every copy holds whole pairs: never a half-done change.
  for (int i = 0; i < rounds; i++)
    ASSERT_EQ(outcome.snapshot().refused.size() % 2, 0U);
  filler.join();
  EXPECT_EQ(outcome.snapshot().refused.size(), 2U * rounds);
}
} // namespace

// SPDX-License-Identifier: MIT
// Tests of the synchronous task tree: which tasks run and in what order,
// the tree print, searching, detaching and deleting, states kept by the
// creator, and the long-task warning.
#include "LogCapture.h"
#include "ZyFunctor.h"
#include "ZySyncTask.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A leaf's work: appends its mark to a shared trail.
struct Mark {
  std::string *trail;
  char c;
  void hit() { trail->push_back(c); }
};

struct Marks {
  std::string trail;
  std::vector<Mark> marks;
  std::vector<ZyFunctorC<Mark>> functors;
  explicit Marks(const std::string &letters) {
    marks.reserve(letters.size());
    functors.reserve(letters.size());
    for (char c : letters) {
      marks.push_back(Mark{&trail, c});
      functors.emplace_back(&marks.back(), &Mark::hit);
    }
  }
  ZyFunctor *operator[](size_t i) { return &functors[i]; }
};

struct Settings {
  unsigned int warningTime = 0;
  bool exempt = false;
  unsigned int getWarningTime() { return warningTime; }
  bool getExempt() { return exempt; }
};

} // namespace

TEST(SyncTask, PriorityOrderWithEqualPrioritiesInReverseOrderOfAdding) {
  Marks m("abcde");
  ZySyncTask root("root");
  root.addNewLeaf("low", 10, m[0]);
  root.addNewLeaf("first of 50", 50, m[1]);
  root.addNewLeaf("second of 50", 50, m[2]);
  root.addNewLeaf("high", 90, m[3]);
  root.addNewLeaf("third of 50", 50, m[4]);
  root.run();
  EXPECT_EQ(m.trail, "decba");
  root.run();
  EXPECT_EQ(m.trail, "decbadecba");
}

TEST(SyncTask, StoppedTasksAndTheirChildrenDoNotRun) {
  Marks m("abcd");
  ZySyncTask root("root");
  root.addNewBranch("branch", 50);
  ZySyncTask *branch = root.findNonRecursive("branch");
  ASSERT_NE(branch, nullptr);
  branch->addNewLeaf("under branch", 10, m[0]);
  root.addNewLeaf("beside", 40, m[1]);
  ZySyncTask *beside = root.findNonRecursive("beside");
  ASSERT_NE(beside, nullptr);

  for (int state : {ZySyncTask::SUSPEND, ZySyncTask::SUCCESS, ZySyncTask::FAILURE}) {
    m.trail.clear();
    branch->setState(state);
    beside->setState(state);
    root.run();
    EXPECT_EQ(m.trail, "") << "state " << state;
  }
  // Every other state runs, a creator's own numbers included.
  for (int state :
       std::vector<int>{ZySyncTask::INIT, ZySyncTask::RESUME, ZySyncTask::ACTIVE, 7, -2}) {
    m.trail.clear();
    branch->setState(state);
    beside->setState(state);
    root.run();
    EXPECT_EQ(m.trail, "ab") << "state " << state;
  }
  // A suspended root stops the whole tree.
  m.trail.clear();
  root.setState(ZySyncTask::SUSPEND);
  root.run();
  EXPECT_EQ(m.trail, "");
}

TEST(SyncTask, StateLivesInTheCreatorsVariableWhenGiven) {
  int state = 42;
  ZySyncTask root("root");
  root.addNewLeaf("leaf", 1, nullptr, &state);
  EXPECT_EQ(state, ZySyncTask::INIT); // a new task starts in INIT
  ZySyncTask *leaf = root.find("leaf");
  ASSERT_NE(leaf, nullptr);
  state = ZySyncTask::SUSPEND;
  EXPECT_EQ(leaf->getState(), ZySyncTask::SUSPEND);
  leaf->setState(ZySyncTask::ACTIVE);
  EXPECT_EQ(state, ZySyncTask::ACTIVE);
  EXPECT_EQ(root.getState(), ZySyncTask::INIT);
}

TEST(SyncTask, PrintShowsTheTreeInRunOrderWithStateTexts) {
  LogCapture log;
  ZySyncTask root("SyncTasks");
  root.setState(7);
  root.print(0);
  ASSERT_EQ(log.lines(), std::vector<std::string>{"SyncTasks (7, running)"});

  log.clear();
  root.setState(ZySyncTask::INIT);
  root.addNewLeaf("low", 10, nullptr);
  root.addNewBranch("mid", 50);
  root.addNewLeaf("high", 90, nullptr);
  ZySyncTask *mid = root.find("mid");
  ASSERT_NE(mid, nullptr);
  mid->addNewLeaf("done", 5, nullptr);
  mid->addNewLeaf("failed", 6, nullptr);
  mid->addNewLeaf("resumed", 7, nullptr);
  mid->addNewLeaf("active", 8, nullptr);
  mid->setState(ZySyncTask::SUSPEND);
  root.find("done")->setState(ZySyncTask::SUCCESS);
  root.find("failed")->setState(ZySyncTask::FAILURE);
  root.find("resumed")->setState(ZySyncTask::RESUME);
  root.find("active")->setState(ZySyncTask::ACTIVE);
  root.print(0);
  const std::vector<std::string> expected = {
      "SyncTasks (INIT, running)",       "\thigh (INIT, running)",
      "\tmid (SUSPEND, NOT running)",    "\t\tactive (ACTIVE, running)",
      "\t\tresumed (RESUME, running)",   "\t\tfailed (FAILURE, NOT running)",
      "\t\tdone (SUCCESS, NOT running)", "\tlow (INIT, running)"};
  EXPECT_EQ(log.lines(), expected);
}

TEST(SyncTask, FindSearchesDepthFirstInRunOrder) {
  Marks m("abc");
  ZySyncTask root("root");
  root.addNewBranch("early", 80);
  root.addNewLeaf("twin", 10, m[0]);
  ZySyncTask *early = root.findNonRecursive("early");
  ASSERT_NE(early, nullptr);
  early->addNewLeaf("twin", 1, m[1]);
  early->addNewLeaf("deep", 2, m[2]);

  // The twin under the earlier branch is met first.
  ASSERT_NE(root.find("twin"), nullptr);
  EXPECT_EQ(root.find("twin")->getFunctor(), m[1]);
  EXPECT_EQ(root.find("root"), &root);
  EXPECT_EQ(root.find(m[2])->getName(), std::string("deep"));
  EXPECT_EQ(root.find("nobody"), nullptr);
  EXPECT_EQ(root.find(static_cast<const char *>(nullptr)), nullptr);
  EXPECT_EQ(root.find(static_cast<ZyFunctor *>(nullptr)), nullptr);

  // The non-recursive forms look at the direct children only.
  EXPECT_EQ(root.findNonRecursive("deep"), nullptr);
  EXPECT_EQ(root.findNonRecursive(m[2]), nullptr);
  ASSERT_NE(root.findNonRecursive("twin"), nullptr);
  EXPECT_EQ(root.findNonRecursive("twin")->getFunctor(), m[0]);
  EXPECT_EQ(root.findNonRecursive(m[0])->getName(), std::string("twin"));
}

TEST(SyncTask, RemoveDetachesAndDeletingTakesATaskOffItsParent) {
  Marks m("ab");
  ZySyncTask root("root");
  root.addNewLeaf("kept", 1, m[0]);
  root.addNewBranch("detached", 2);
  ZySyncTask *detached = root.findNonRecursive("detached");
  ASSERT_NE(detached, nullptr);
  detached->addNewLeaf("child", 1, m[1]);

  root.remove(detached);
  EXPECT_EQ(root.getNumChildren(), 1u);
  EXPECT_EQ(detached->getParent(), nullptr);
  root.run();
  EXPECT_EQ(m.trail, "a");
  detached->run(); // still whole, with its child
  EXPECT_EQ(m.trail, "ab");
  delete detached; // deletes its child too; the old parent is not touched

  ZySyncTask *kept = root.findNonRecursive("kept");
  ASSERT_NE(kept, nullptr);
  delete kept;
  EXPECT_EQ(root.getNumChildren(), 0u);
  m.trail.clear();
  root.run();
  EXPECT_EQ(m.trail, "");
}

TEST(SyncTask, ATaskRemovedDuringAPassDoesNotRunInIt) {
  // The first leaf deletes a sibling that would run after it and adds one.
  struct Gardener {
    ZySyncTask *root;
    std::string *trail;
    ZyFunctor *lateWork;
    void work() {
      trail->push_back('g');
      delete root->findNonRecursive("victim");
      root->addNewLeaf("late", 1, lateWork);
    }
  };
  Marks m("vl");
  ZySyncTask root("root");
  Gardener g{&root, &m.trail, m[1]};
  ZyFunctorC<Gardener> gardener(&g, &Gardener::work);
  root.addNewLeaf("gardener", 20, &gardener);
  root.addNewLeaf("victim", 10, m[0]);
  root.run();
  EXPECT_EQ(m.trail, "g"); // the victim is gone, the newcomer waits a pass
  EXPECT_EQ(root.findNonRecursive("victim"), nullptr);
  ASSERT_NE(root.findNonRecursive("late"), nullptr);
  delete root.findNonRecursive("gardener");
  m.trail.clear();
  root.run();
  EXPECT_EQ(m.trail, "l");
}

TEST(SyncTask, SlowLeavesAreWarnedAboutUnlessTheCycleIsExempt) {
  LogCapture log;
  Settings settings;
  ZyRetFunctorC<unsigned int, Settings> warningTime(&settings, &Settings::getWarningTime);
  ZyRetFunctorC<bool, Settings> exempt(&settings, &Settings::getExempt);
  struct Slow {
    void work() { usleep(30 * 1000); }
  } slow;
  ZyFunctorC<Slow> slowWork(&slow, &Slow::work);

  ZySyncTask root("root");
  root.setWarningTimeCB(&warningTime);
  root.setNoTimeWarningCB(&exempt);
  root.addNewBranch("branch", 1); // inherits both functors at creation
  ZySyncTask *branch = root.findNonRecursive("branch");
  ASSERT_NE(branch, nullptr);
  EXPECT_EQ(branch->getWarningTimeCB(), &warningTime);
  EXPECT_EQ(branch->getNoTimeWarningCB(), &exempt);
  branch->addNewLeaf("slowpoke", 1, &slowWork);

  settings.warningTime = 5;
  root.run();
  ASSERT_EQ(log.lines().size(), 1u);
  const std::string &line = log.lines()[0];
  EXPECT_EQ(line.rfind("Warning: Task 'slowpoke' took ", 0), 0u) << line;
  EXPECT_NE(line.find(" ms to run (longer than the 5 warning time)"), std::string::npos) << line;

  log.clear();
  settings.exempt = true;
  root.run();
  settings.exempt = false;
  settings.warningTime = 0; // 0 turns the warning off
  root.run();
  settings.warningTime = 10000;
  root.run();
  EXPECT_TRUE(log.lines().empty());

  // Without the functors there is nothing to warn with.
  settings.warningTime = 5;
  root.setWarningTimeCB(nullptr);
  EXPECT_EQ(root.find("slowpoke")->getWarningTimeCB(), nullptr);
  root.run();
  EXPECT_TRUE(log.lines().empty());
}

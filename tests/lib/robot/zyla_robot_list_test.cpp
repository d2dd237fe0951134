// SPDX-License-Identifier: MIT
// Tests of the library's robot list: robots register themselves at
// construction, are found by name, and leave the list when destroyed.
#include "ZyRobot.h"
#include "Zyla.h"

#include <gtest/gtest.h>

TEST(ZylaRobotList, RobotsAreFoundByNameWhileTheyLive) {
  EXPECT_EQ(Zyla::findRobot("wheels"), nullptr);
  EXPECT_EQ(Zyla::findRobot(nullptr), nullptr);
  {
    ZyRobot wheels("wheels", true, true, true, false);
    ZyRobot arm("arm", true, true, true, false);
    EXPECT_EQ(Zyla::findRobot("wheels"), &wheels);
    EXPECT_EQ(Zyla::findRobot("arm"), &arm);
    EXPECT_EQ(Zyla::findRobot("Wheels"), nullptr) << "names are compared exactly";
    EXPECT_EQ(Zyla::getRobotList()->size(), 2u);
  }
  EXPECT_EQ(Zyla::findRobot("wheels"), nullptr);
  EXPECT_TRUE(Zyla::getRobotList()->empty());
}

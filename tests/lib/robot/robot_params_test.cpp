// SPDX-License-Identifier: MIT
// Tests of robot parameter sets: the values of a fresh set, the sections and
// keys a set file holds, the IRUnit and SonarUnit line parsers and writers
// with their refusals, the built-in catalogue and saving into the library
// directory.
#include "LogCapture.h"
#include "TempFiles.h"
#include "ZyRobotParams.h"
#include "ZyRobotTypes.h"
#include "Zyla.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readFile(const std::string &file) {
  std::ifstream in(file);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool hasLine(const std::string &text, const std::string &line) {
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l))
    if (l == line)
      return true;
  return false;
}

int countOf(const LogCapture &log, const std::string &line) {
  int n = 0;
  for (const auto &l : log.lines())
    n += l == line;
  return n;
}

} // namespace

TEST(RobotParams, AFreshSetHoldsTheDocumentedValues) {
  ZyRobotGeneric p;
  EXPECT_STREQ(p.getClassName(), "Marlock");
  EXPECT_STREQ(p.getSubClassName(), "");
  EXPECT_EQ(p.getRobotRadius(), 250);
  EXPECT_EQ(p.getRobotDiagonal(), 120);
  EXPECT_EQ(p.getRobotWidth(), 400);
  EXPECT_EQ(p.getRobotLength(), 500);
  EXPECT_TRUE(p.isHolonomic());
  EXPECT_TRUE(p.hasMoveCommand());
  EXPECT_EQ(p.getAbsoluteMaxRotVelocity(), 0);
  EXPECT_EQ(p.getAbsoluteMaxVelocity(), 0);
  EXPECT_FALSE(p.getRequestIOPackets());
  EXPECT_FALSE(p.getRequestEncoderPackets());
  EXPECT_EQ(p.getSwitchToBaudRate(), 38400);
  EXPECT_DOUBLE_EQ(p.getAngleConvFactor(), 0.001534);
  EXPECT_DOUBLE_EQ(p.getDistConvFactor(), 0.0);
  EXPECT_DOUBLE_EQ(p.getVelConvFactor(), 1.0);
  EXPECT_DOUBLE_EQ(p.getRangeConvFactor(), 0.0);
  EXPECT_DOUBLE_EQ(p.getVel2Divisor(), 20);
  EXPECT_DOUBLE_EQ(p.getGyroScaler(), 1.626);
  EXPECT_FALSE(p.haveTableSensingIR());
  EXPECT_FALSE(p.haveNewTableSensingIR());
  EXPECT_FALSE(p.haveFrontBumpers());
  EXPECT_FALSE(p.haveRearBumpers());
  EXPECT_EQ(p.numFrontBumpers(), 5);
  EXPECT_EQ(p.numRearBumpers(), 5);
  EXPECT_EQ(p.getNumIR(), 0);
  EXPECT_EQ(p.getNumSonar(), 0);
  EXPECT_FALSE(p.haveSonar(0));
  EXPECT_FALSE(p.getLaserPossessed());
  EXPECT_FALSE(p.getLaserFlipped());
  EXPECT_TRUE(p.getLaserPowerControlled());
  EXPECT_STREQ(p.getLaserPort(), "COM3");
  EXPECT_EQ(p.getLaserX(), 0);
  EXPECT_EQ(p.getLaserY(), 0);
  EXPECT_EQ(p.getLaserTh(), 0.0);
  EXPECT_STREQ(p.getLaserIgnore(), "");
  EXPECT_TRUE(p.hasSettableVelMaxes());
  EXPECT_TRUE(p.hasSettableAccsDecs());
  EXPECT_EQ(p.getTransVelMax(), 0);
  EXPECT_EQ(p.getRotVelMax(), 0);
  EXPECT_EQ(p.getTransAccel(), 0);
  EXPECT_EQ(p.getTransDecel(), 0);
  EXPECT_EQ(p.getRotAccel(), 0);
  EXPECT_EQ(p.getRotDecel(), 0);
}

TEST(RobotParams, KeysLiveInTheirSectionsWithTheirPriorities) {
  ZyRobotGeneric p;
  struct Key {
    const char *section;
    const char *name;
    ZyConfigArg::Priority priority;
  };
  const Key keys[] = {
      {"General settings", "Class", ZyConfigArg::DETAILED},
      {"General settings", "RobotRadius", ZyConfigArg::NORMAL},
      {"General settings", "SwitchToBaudRate", ZyConfigArg::IMPORTANT},
      {"Conversion factors", "DistConvFactor", ZyConfigArg::IMPORTANT},
      {"Conversion factors", "DiffConvFactor", ZyConfigArg::DETAILED},
      {"Accessories the robot has", "RearBumpers", ZyConfigArg::IMPORTANT},
      {"IR parameters", "IRUnit", ZyConfigArg::DETAILED},
      {"Sonar parameters", "SonarNum", ZyConfigArg::NORMAL},
      {"Laser parameters", "LaserIgnore", ZyConfigArg::NORMAL},
      {"Movement control parameters", "RotAccel", ZyConfigArg::NORMAL},
      {"Movement control parameters", "RotDecel", ZyConfigArg::IMPORTANT},
  };
  for (const Key &k : keys) {
    ZyConfigArg *arg = p.findParam(k.section, k.name);
    ASSERT_NE(arg, nullptr) << k.name;
    EXPECT_EQ(arg->getPriority(), k.priority) << k.name;
  }
  EXPECT_EQ(p.findParam("General settings", "IRUnit"), nullptr);
  EXPECT_EQ(p.findParam("IR parameters", "IRUnit")->getType(), ZyConfigArg::FUNCTOR);
  EXPECT_STREQ(p.findParam("Laser parameters", "LaserIgnore")->getDescription(),
               "Readings within a degree of the listed degrees (seperated by a space) will be "
               "ignored");
  ZyConfigSection *movement = p.findSection("Movement control parameters");
  ASSERT_NE(movement, nullptr);
  EXPECT_STREQ(movement->getComment(), "if these are 0 the parameters from robot flash will be "
                                       "used, otherwise these values will be used");
  // The sections follow one another in the documented order.
  std::vector<std::string> names;
  for (ZyConfigSection *s : *p.getSections())
    names.push_back(s->getName());
  const std::vector<std::string> expected = {"",
                                             "General settings",
                                             "Conversion factors",
                                             "Accessories the robot has",
                                             "IR parameters",
                                             "Sonar parameters",
                                             "Laser parameters",
                                             "Movement control parameters"};
  EXPECT_EQ(names, expected);
}

TEST(RobotParams, UnitLinesAreReadAndWrittenInUnitOrder) {
  TempDir dir;
  std::string file = dir.write("units.p", "Section IR parameters\n"
                                          "IRNum 2\n"
                                          "IRUnit 1 0 2 -100 50\n"
                                          "IRUnit 0 1 3 120 -40\n"
                                          "Section Sonar parameters\n"
                                          "SonarNum 2\n"
                                          "SonarUnit 1 10 -20 -90\n"
                                          "SonarUnit 0 30 40 90\n");
  ZyRobotGeneric p;
  ASSERT_TRUE(p.parseFile(file.c_str()));
  EXPECT_EQ(p.getNumIR(), 2);
  EXPECT_EQ(p.getIRX(1), -100);
  EXPECT_EQ(p.getIRY(1), 50);
  EXPECT_EQ(p.getIRType(1), 0);
  EXPECT_EQ(p.getIRCycles(1), 2);
  EXPECT_EQ(p.getIRType(0), 1);
  EXPECT_EQ(p.getSonarX(1), 10);
  EXPECT_EQ(p.getSonarY(1), -20);
  EXPECT_EQ(p.getSonarTh(1), -90);
  EXPECT_EQ(p.getSonarTh(0), 90);

  std::string out = dir.path() + "/out.p";
  ASSERT_TRUE(p.writeFile(out.c_str()));
  std::string text = readFile(out);
  size_t ir0 = text.find("IRUnit 0 1 3 120 -40");
  size_t ir1 = text.find("IRUnit 1 0 2 -100 50");
  size_t so0 = text.find("SonarUnit 0 30 40 90");
  size_t so1 = text.find("SonarUnit 1 10 -20 -90");
  ASSERT_NE(ir0, std::string::npos) << text;
  ASSERT_NE(ir1, std::string::npos);
  ASSERT_NE(so0, std::string::npos);
  ASSERT_NE(so1, std::string::npos);
  EXPECT_LT(ir0, ir1);
  EXPECT_LT(ir1, so0);
  EXPECT_LT(so0, so1);

  // What was written reads back into an equal set.
  ZyRobotGeneric q;
  ASSERT_TRUE(q.parseFile(out.c_str()));
  EXPECT_EQ(q.getIRX(0), 120);
  EXPECT_EQ(q.getSonarY(1), -20);
  EXPECT_EQ(q.getNumSonar(), 2);
}

TEST(RobotParams, MalformedUnitLinesAreRefusedAndTheRestIsRead) {
  TempDir dir;
  std::string file = dir.write("bad.p", "Section IR parameters\n"
                                        "IRUnit 1 2 3\n"
                                        "IRUnit 2 0 1 5 6\n"
                                        "Section Sonar parameters\n"
                                        "SonarUnit 0 1 two 3\n"
                                        "SonarUnit 1 1 2 3 4\n"
                                        "SonarNum 9\n");
  LogCapture log;
  ZyRobotGeneric p;
  EXPECT_FALSE(p.parseFile(file.c_str(), true));
  EXPECT_EQ(countOf(log, "ZyRobotParams: IRUnit parameters invalid"), 1);
  EXPECT_EQ(countOf(log, "ZyRobotParams: SonarUnit parameters invalid"), 2);
  EXPECT_FALSE(p.haveIR(1));
  EXPECT_TRUE(p.haveIR(2));
  EXPECT_FALSE(p.haveSonar(0));
  EXPECT_FALSE(p.haveSonar(1));
  EXPECT_EQ(p.getNumSonar(), 9);
}

TEST(RobotParams, CatalogueMatchesSubtypesExactly) {
  bool known = false;
  std::unique_ptr<ZyRobotParams> p(createRobotParams("compact", &known));
  EXPECT_TRUE(known);
  EXPECT_STREQ(p->getSubClassName(), "compact");
  EXPECT_GT(p->getAbsoluteMaxVelocity(), 0);
  EXPECT_EQ(p->getNumSonar(), 8);
  for (int i = 0; i < p->getNumSonar(); i++)
    EXPECT_TRUE(p->haveSonar(i)) << i;
  for (const char *name : {"standard", "heavy"}) {
    std::unique_ptr<ZyRobotParams> q(createRobotParams(name, &known));
    EXPECT_TRUE(known) << name;
    EXPECT_STREQ(q->getSubClassName(), name);
    for (int i = 0; i < q->getNumSonar(); i++)
      EXPECT_TRUE(q->haveSonar(i)) << name << " " << i;
  }
  p.reset(createRobotParams("Compact", &known));
  EXPECT_FALSE(known);
  EXPECT_STREQ(p->getSubClassName(), "");
  EXPECT_EQ(p->getAbsoluteMaxVelocity(), 0);
  p.reset(createRobotParams(nullptr, &known));
  EXPECT_FALSE(known);
}

TEST(RobotParams, SaveWritesTheSubclassFileIntoTheLibraryParamsDirectory) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir.path() + "/params").c_str(), 0700), 0);
  std::string old = Zyla::getDirectory();
  Zyla::setDirectory(dir.path().c_str());
  ZyRobotHeavy p;
  EXPECT_TRUE(p.save());
  Zyla::setDirectory(old.empty() ? "./" : old.c_str());
  std::string text = readFile(dir.path() + "/params/heavy.p");
  EXPECT_TRUE(hasLine(text, "Section General settings")) << text;
  EXPECT_NE(text.find("Subclass heavy"), std::string::npos);
  EXPECT_NE(text.find("LaserPossessed true"), std::string::npos);
  EXPECT_NE(text.find("SonarUnit 7 147 -136 -90"), std::string::npos);
  // No blank line between parameters.
  EXPECT_EQ(text.find("Subclass heavy        ; specific type of robot\n\n"), std::string::npos);
}

// Counts from a file are held to what a robot can have; the refused line is
// named and the set keeps the count it had.
TEST(RobotParams, CountsBeyondWhatARobotCanHaveAreRefused) {
  struct Case {
    const char *section;
    const char *key;
    const char *value;
    int (ZyRobotParams::*get)() const;
  };
  const Case cases[] = {
      {"Sonar parameters", "SonarNum", "2000000000", &ZyRobotParams::getNumSonar},
      {"IR parameters", "IRNum", "-3", &ZyRobotParams::getNumIR},
      {"Accessories the robot has", "NumFrontBumpers", "257", &ZyRobotParams::numFrontBumpers},
      {"Accessories the robot has", "NumRearBumpers", "99999", &ZyRobotParams::numRearBumpers},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.key);
    TempDir dir;
    std::string file = dir.write("many.p", std::string("Section ") + c.section + "\n; a comment\n" +
                                               c.key + " " + c.value + "\n");
    LogCapture log;
    ZyRobotCompact p;
    const int before = (p.*c.get)();
    EXPECT_FALSE(p.parseFile(file.c_str(), true));
    EXPECT_EQ((p.*c.get)(), before);
    EXPECT_TRUE(log.hasLine(std::string("ZyRobotParams: ") + c.key + " " + c.value +
                            " on line 3 of file '" + file +
                            "' is out of range (a robot has 0 to 256); refused, " + c.key +
                            " stays " + std::to_string(before) + "."));
  }
  // The bound itself is accepted.
  TempDir dir;
  std::string file = dir.write("most.p", "Section Sonar parameters\nSonarNum 256\n");
  ZyRobotGeneric p;
  EXPECT_TRUE(p.parseFile(file.c_str()));
  EXPECT_EQ(p.getNumSonar(), ZyRobotParams::MAX_UNITS);
}

// The parameter files shipped for the project's own robots read without an
// error and are exactly what the library writes for them.
TEST(RobotParams, ShippedParameterFilesAreInTheLibrarysOwnFormat) {
  for (const std::string subtype : {"marlock-sim", "marlock3"}) {
    SCOPED_TRACE(subtype);
    const std::string shipped = std::string(ORVEX_SOURCE_DIR) + "/params/" + subtype + ".p";
    LogCapture log;
    ZyRobotGeneric p;
    ASSERT_TRUE(p.parseFile(shipped.c_str()));
    EXPECT_STREQ(p.getSubClassName(), subtype.c_str());
    EXPECT_GT(p.getAbsoluteMaxVelocity(), 0);
    EXPECT_GT(p.getNumSonar(), 0);
    for (int i = 0; i < p.getNumSonar(); i++)
      EXPECT_TRUE(p.haveSonar(i)) << i;
    // What the utility's road depends on stays as with no file at all:
    // no IO or encoder requests, the generic set's speed switch.
    ZyRobotGeneric generic;
    EXPECT_FALSE(p.getRequestIOPackets());
    EXPECT_FALSE(p.getRequestEncoderPackets());
    EXPECT_EQ(p.getSwitchToBaudRate(), generic.getSwitchToBaudRate());
    TempDir dir;
    ASSERT_EQ(mkdir((dir.path() + "/params").c_str(), 0700), 0);
    std::string old = Zyla::getDirectory();
    Zyla::setDirectory((dir.path() + "/").c_str());
    EXPECT_TRUE(p.save());
    Zyla::setDirectory(old.empty() ? "./" : old.c_str());
    EXPECT_EQ(readFile(dir.path() + "/params/" + subtype + ".p"), readFile(shipped));
  }
}

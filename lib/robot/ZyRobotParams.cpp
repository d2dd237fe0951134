// SPDX-License-Identifier: MIT
// Registration of the robot parameter keys in their sections, the values of
// a fresh set, and the IRUnit and SonarUnit line parsers and writers.
#include "ZyRobotParams.h"

#include "ZyArgumentBuilder.h"
#include "ZyLog.h"
#include "Zyla.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {
const char GENERAL[] = "General settings";
const char CONVERSION[] = "Conversion factors";
const char ACCESSORIES[] = "Accessories the robot has";
const char IR[] = "IR parameters";
const char SONAR[] = "Sonar parameters";
const char LASER[] = "Laser parameters";
const char MOVEMENT[] = "Movement control parameters";

// Reads exactly count integers from the builder into values.
bool readInts(ZyArgumentBuilder *builder, int *values, size_t count) {
  if (builder == nullptr || builder->getArgc() != count)
    return false;
  for (size_t i = 0; i < count; i++) {
    if (!builder->isInt(i))
      return false;
    values[i] = builder->asInt(i);
  }
  return true;
}
} // namespace

ZyRobotParams::ZyRobotParams()
    : ZyConfig(nullptr, true, false, false, true),
      myIRUnitSetFunctor(this, &ZyRobotParams::parseIRUnit),
      myIRUnitGetFunctor(this, &ZyRobotParams::getIRUnits),
      mySonarUnitSetFunctor(this, &ZyRobotParams::parseSonarUnit),
      mySonarUnitGetFunctor(this, &ZyRobotParams::getSonarUnits) {
  setText(myClass, "Marlock");
  setText(mySubClass, "");
  myRobotRadius = 250;
  myRobotDiagonal = 120;
  myRobotWidth = 400;
  myRobotLength = 500;
  myHolonomic = true;
  myAbsoluteMaxRVelocity = 0;
  myAbsoluteMaxVelocity = 0;
  myHaveMoveCommand = true;
  myRequestIOPackets = false;
  myRequestEncoderPackets = false;
  mySwitchToBaudRate = 38400;

  myAngleConvFactor = 0.001534;
  myDistConvFactor = 0.0;
  myVelConvFactor = 1.0;
  myRangeConvFactor = 0.0;
  // Not part of a fresh set's documented values; 0 until a built-in set or
  // a file gives one.
  myDiffConvFactor = 0.0;
  myVel2Divisor = 20;
  myGyroScaler = 1.626;

  myTableSensingIR = false;
  myNewTableSensingIR = false;
  myFrontBumpers = false;
  myNumFrontBumpers = 5;
  myRearBumpers = false;
  myNumRearBumpers = 5;

  myNumIR = 0;
  myNumSonar = 0;

  myLaserPossessed = false;
  setText(myLaserPort, "COM3");
  myLaserFlipped = false;
  myLaserPowerControlled = true;
  myLaserX = 0;
  myLaserY = 0;
  myLaserTh = 0.0;
  setText(myLaserIgnore, "");

  mySettableVelMaxes = true;
  myTransVelMax = 0;
  myRotVelMax = 0;
  mySettableAccsDecs = true;
  myTransAccel = 0;
  myTransDecel = 0;
  myRotAccel = 0;
  myRotDecel = 0;

  const ZyConfigArg::Priority important = ZyConfigArg::IMPORTANT;
  const ZyConfigArg::Priority normal = ZyConfigArg::NORMAL;
  const ZyConfigArg::Priority detailed = ZyConfigArg::DETAILED;

  addComment("Robot parameter file", "", normal);

  addParam(ZyConfigArg("Class", myClass, "general type of robot", sizeof(myClass)), GENERAL,
           detailed);
  addParam(ZyConfigArg("Subclass", mySubClass, "specific type of robot", sizeof(mySubClass)),
           GENERAL, detailed);
  addParam(ZyConfigArg("RobotRadius", &myRobotRadius, "radius in mm"), GENERAL, normal);
  addParam(ZyConfigArg("RobotDiagonal", &myRobotDiagonal, "half-height to diagonal of octagon"),
           GENERAL, detailed);
  addParam(ZyConfigArg("RobotWidth", &myRobotWidth, "width in mm"), GENERAL, normal);
  addParam(ZyConfigArg("RobotLength", &myRobotLength, "length in mm"), GENERAL, normal);
  addParam(ZyConfigArg("Holonomic", &myHolonomic, "turns in own radius"), GENERAL, detailed);
  addParam(ZyConfigArg("MaxRVelocity", &myAbsoluteMaxRVelocity, "absolute maximum degrees / sec"),
           GENERAL, detailed);
  addParam(ZyConfigArg("MaxVelocity", &myAbsoluteMaxVelocity, "absolute maximum mm / sec"), GENERAL,
           detailed);
  addParam(ZyConfigArg("HasMoveCommand", &myHaveMoveCommand, "has built in move command"), GENERAL,
           detailed);
  addParam(ZyConfigArg("RequestIOPackets", &myRequestIOPackets, "automatically request IO packets"),
           GENERAL, normal);
  addParam(ZyConfigArg("RequestEncoderPackets", &myRequestEncoderPackets,
                       "automatically request encoder packets"),
           GENERAL, normal);
  addParam(ZyConfigArg("SwitchToBaudRate", &mySwitchToBaudRate,
                       "switch to this baud if non-0 and supported on robot"),
           GENERAL, important);

  addParam(
      ZyConfigArg("AngleConvFactor", &myAngleConvFactor, "radians per angular unit (2PI/4096)"),
      CONVERSION, detailed);
  addParam(ZyConfigArg("DistConvFactor", &myDistConvFactor, "multiplier to mm from robot units"),
           CONVERSION, important);
  addParam(ZyConfigArg("VelConvFactor", &myVelConvFactor, "multiplier to mm/sec from robot units"),
           CONVERSION, normal);
  addParam(ZyConfigArg("RangeConvFactor", &myRangeConvFactor, "multiplier to mm from sonar units"),
           CONVERSION, detailed);
  addParam(ZyConfigArg("DiffConvFactor", &myDiffConvFactor,
                       "ratio of angular velocity to wheel velocity"),
           CONVERSION, detailed);
  addParam(ZyConfigArg("Vel2Divisor", &myVel2Divisor, "divisor for VEL2 commands"), CONVERSION,
           detailed);
  addParam(ZyConfigArg("GyroScaler", &myGyroScaler, "Scaling factor for gyro readings"), CONVERSION,
           important);

  addParam(ZyConfigArg("TableSensingIR", &myTableSensingIR,
                       "if robot has upwards facing table sensing IR"),
           ACCESSORIES, detailed);
  addParam(ZyConfigArg("NewTableSensingIR", &myNewTableSensingIR,
                       "if table sensing IR are sent in IO packet"),
           ACCESSORIES, detailed);
  addParam(ZyConfigArg("FrontBumpers", &myFrontBumpers, "if robot has a front bump ring"),
           ACCESSORIES, important);
  addParam(
      ZyConfigArg("NumFrontBumpers", &myNumFrontBumpers, "number of front bumpers on the robot"),
      ACCESSORIES, detailed);
  addParam(ZyConfigArg("RearBumpers", &myRearBumpers, "if the robot has a rear bump ring"),
           ACCESSORIES, important);
  addParam(ZyConfigArg("NumRearBumpers", &myNumRearBumpers, "number of rear bumpers on the robot"),
           ACCESSORIES, detailed);

  addParam(ZyConfigArg("IRNum", &myNumIR, "number of IRs on the robot"), IR, normal);
  addParam(ZyConfigArg("IRUnit", &myIRUnitSetFunctor, &myIRUnitGetFunctor,
                       "IRUnit <IR Number> <IR Type> <Persistance, cycles> <x position, mm> <y "
                       "position, mm>"),
           IR, detailed);

  addParam(ZyConfigArg("SonarNum", &myNumSonar, "number of sonar on the robot"), SONAR, normal);
  addParam(ZyConfigArg("SonarUnit", &mySonarUnitSetFunctor, &mySonarUnitGetFunctor,
                       "SonarUnit <sonarNumber> <x position, mm> <y position, mm> <heading of "
                       "disc, degrees>"),
           SONAR, detailed);

  addParam(ZyConfigArg("LaserPossessed", &myLaserPossessed, "if there is a laser on the robot"),
           LASER, important);
  addParam(ZyConfigArg("LaserPort", myLaserPort, "port the laser is on", sizeof(myLaserPort)),
           LASER, normal);
  addParam(ZyConfigArg("LaserFlipped", &myLaserFlipped, "if the laser is upside-down or not"),
           LASER, normal);
  addParam(ZyConfigArg("LaserPowerControlled", &myLaserPowerControlled,
                       "if the power to the laser is controlled by serial"),
           LASER, detailed);
  addParam(ZyConfigArg("LaserX", &myLaserX, "x location of laser, mm"), LASER, normal);
  addParam(ZyConfigArg("LaserY", &myLaserY, "y location of laser, mm"), LASER, normal);
  addParam(ZyConfigArg("LaserTh", &myLaserTh, "rotation of laser, deg"), LASER, normal);
  addParam(ZyConfigArg("LaserIgnore", myLaserIgnore,
                       "Readings within a degree of the listed degrees (seperated by a space) "
                       "will be ignored",
                       sizeof(myLaserIgnore)),
           LASER, normal);

  addSection(MOVEMENT, "if these are 0 the parameters from robot flash will be used, otherwise "
                       "these values will be used");
  addParam(ZyConfigArg("SettableVelMaxes", &mySettableVelMaxes,
                       "if TransVelMax and RotVelMax can be set"),
           MOVEMENT, detailed);
  addParam(ZyConfigArg("TransVelMax", &myTransVelMax,
                       "maximum desired translational velocity for the robot"),
           MOVEMENT, important);
  addParam(
      ZyConfigArg("RotVelMax", &myRotVelMax, "maximum desired rotational velocity for the robot"),
      MOVEMENT, important);
  addParam(ZyConfigArg("SettableAccsDecs", &mySettableAccsDecs,
                       "if the accel and decel parameters can be set"),
           MOVEMENT, detailed);
  addParam(ZyConfigArg("TransAccel", &myTransAccel, "translational acceleration"), MOVEMENT,
           important);
  addParam(ZyConfigArg("TransDecel", &myTransDecel, "translational deceleration"), MOVEMENT,
           important);
  addParam(ZyConfigArg("RotAccel", &myRotAccel, "rotational acceleration"), MOVEMENT, normal);
  addParam(ZyConfigArg("RotDecel", &myRotDecel, "rotational deceleration"), MOVEMENT, important);
}

ZyRobotParams::~ZyRobotParams() {
  clearBuilders(myIRUnitBuilders);
  clearBuilders(mySonarUnitBuilders);
}

void ZyRobotParams::setText(char *field, const char *text) {
  snprintf(field, TEXT_SIZE, "%s", text != nullptr ? text : "");
}

void ZyRobotParams::internalSetIR(int number, int type, int cycles, int x, int y) {
  myIRUnits[number] = IRUnit{x, y, type, cycles};
}

void ZyRobotParams::internalSetSonar(int number, int x, int y, int th) {
  mySonarUnits[number] = SonarUnit{x, y, th};
}

int ZyRobotParams::getIRX(int number) const {
  auto it = myIRUnits.find(number);
  return it == myIRUnits.end() ? 0 : it->second.x;
}

int ZyRobotParams::getIRY(int number) const {
  auto it = myIRUnits.find(number);
  return it == myIRUnits.end() ? 0 : it->second.y;
}

int ZyRobotParams::getIRType(int number) const {
  auto it = myIRUnits.find(number);
  return it == myIRUnits.end() ? 0 : it->second.type;
}

int ZyRobotParams::getIRCycles(int number) const {
  auto it = myIRUnits.find(number);
  return it == myIRUnits.end() ? 0 : it->second.cycles;
}

int ZyRobotParams::getSonarX(int number) const {
  auto it = mySonarUnits.find(number);
  return it == mySonarUnits.end() ? 0 : it->second.x;
}

int ZyRobotParams::getSonarY(int number) const {
  auto it = mySonarUnits.find(number);
  return it == mySonarUnits.end() ? 0 : it->second.y;
}

int ZyRobotParams::getSonarTh(int number) const {
  auto it = mySonarUnits.find(number);
  return it == mySonarUnits.end() ? 0 : it->second.th;
}

bool ZyRobotParams::parseIRUnit(ZyArgumentBuilder *builder) {
  int v[5];
  if (!readInts(builder, v, 5)) {
    ZyLog::log(ZyLog::Terse, "ZyRobotParams: IRUnit parameters invalid");
    return false;
  }
  internalSetIR(v[0], v[1], v[2], v[3], v[4]);
  return true;
}

bool ZyRobotParams::parseSonarUnit(ZyArgumentBuilder *builder) {
  int v[4];
  if (!readInts(builder, v, 4)) {
    ZyLog::log(ZyLog::Terse, "ZyRobotParams: SonarUnit parameters invalid");
    return false;
  }
  internalSetSonar(v[0], v[1], v[2], v[3]);
  return true;
}

void ZyRobotParams::clearBuilders(std::list<ZyArgumentBuilder *> &builders) {
  for (ZyArgumentBuilder *builder : builders)
    delete builder;
  builders.clear();
}

const std::list<ZyArgumentBuilder *> *ZyRobotParams::getIRUnits() {
  clearBuilders(myIRUnitBuilders);
  for (const auto &unit : myIRUnits) {
    ZyArgumentBuilder *builder = new ZyArgumentBuilder;
    builder->addFormatted("%d %d %d %d %d", unit.first, unit.second.type, unit.second.cycles,
                          unit.second.x, unit.second.y);
    myIRUnitBuilders.push_back(builder);
  }
  return &myIRUnitBuilders;
}

const std::list<ZyArgumentBuilder *> *ZyRobotParams::getSonarUnits() {
  clearBuilders(mySonarUnitBuilders);
  for (const auto &unit : mySonarUnits) {
    ZyArgumentBuilder *builder = new ZyArgumentBuilder;
    builder->addFormatted("%d %d %d %d", unit.first, unit.second.x, unit.second.y, unit.second.th);
    mySonarUnitBuilders.push_back(builder);
  }
  return &mySonarUnitBuilders;
}

bool ZyRobotParams::save() {
  char dir[2048];
  snprintf(dir, sizeof dir, "%sparams/", Zyla::getDirectory());
  setBaseDirectory(dir);
  char file[2048];
  snprintf(file, sizeof file, "%s.p", getSubClassName());
  return writeFile(file, false);
}

void ZyRobotParams::counts(Count *out) {
  out[0] = Count{"IRNum", &myNumIR};
  out[1] = Count{"SonarNum", &myNumSonar};
  out[2] = Count{"NumFrontBumpers", &myNumFrontBumpers};
  out[3] = Count{"NumRearBumpers", &myNumRearBumpers};
}

bool ZyRobotParams::parseFile(const char *fileName, bool continueOnErrors,
                              bool noFileNotFoundMessage, char *errorBuffer,
                              size_t errorBufferSize) {
  Count all[NUM_COUNTS];
  counts(all);
  for (int i = 0; i < NUM_COUNTS; i++)
    myCountsBefore[i] = *all[i].value;
  return ZyConfig::parseFile(fileName, continueOnErrors, noFileNotFoundMessage, errorBuffer,
                             errorBufferSize);
}

bool ZyRobotParams::processFile() {
  Count all[NUM_COUNTS];
  counts(all);
  bool ok = true;
  for (int i = 0; i < NUM_COUNTS; i++) {
    int value = *all[i].value;
    if (value >= 0 && value <= MAX_UNITS)
      continue;
    int kept = myCountsBefore[i] >= 0 && myCountsBefore[i] <= MAX_UNITS ? myCountsBefore[i] : 0;
    ZyLog::log(
        ZyLog::Terse,
        "ZyRobotParams: %s %d on line %d of file '%s' is out of range (a robot has 0 to %d); "
        "refused, %s stays %d.",
        all[i].key, value, lineOf(all[i].key), getFileName(), MAX_UNITS, all[i].key, kept);
    *all[i].value = kept;
    ok = false;
  }
  return ok;
}

int ZyRobotParams::lineOf(const char *key) const {
  // Read again only when a count was refused, to name its line.
  FILE *file = fopen(getFileName(), "r");
  if (file == nullptr)
    return 0;
  char line[4096];
  int number = 0;
  int found = 0;
  const size_t keyLength = strlen(key);
  while (fgets(line, sizeof line, file) != nullptr) {
    number++;
    const char *p = line;
    while (*p == ' ' || *p == '\t')
      p++;
    if (strncasecmp(p, key, keyLength) == 0 &&
        (p[keyLength] == '\0' || isspace(static_cast<unsigned char>(p[keyLength]))))
      found = number;
  }
  fclose(file);
  return found;
}

// SPDX-License-Identifier: MIT
// ZyRobotParams: the parameter set that describes one kind of robot
// (geometry, conversion factors, accessories, IR and sonar placement, laser
// and movement limits). It is a configuration registry whose parameters are
// registered in fixed sections, so a set is read from and written to a robot
// parameter file (".p").
#ifndef ZYROBOTPARAMS_H
#define ZYROBOTPARAMS_H

#include "ZyConfig.h"
#include "ZyFunctor.h"

#include <list>
#include <map>

class ZyArgumentBuilder;

class ZyRobotParams : public ZyConfig {
public:
  /// Capacity of the text parameters, terminator included.
  static const size_t TEXT_SIZE = 1025;
  /// Most units of a kind (IRNum, SonarNum, NumFrontBumpers,
  /// NumRearBumpers) a set may count: the controller numbers its units in
  /// one byte, so no robot reports more, and the largest built-in set has
  /// 16 sonar. A file asking for more is refused, so that a typo cannot
  /// make the robot allocate a place for every count.
  static constexpr int MAX_UNITS = 256;

  ZyRobotParams();
  ~ZyRobotParams() override;

  // General settings
  const char *getClassName() const { return myClass; }
  const char *getSubClassName() const { return mySubClass; }
  double getRobotRadius() const { return myRobotRadius; }
  double getRobotDiagonal() const { return myRobotDiagonal; }
  double getRobotWidth() const { return myRobotWidth; }
  double getRobotLength() const { return myRobotLength; }
  bool isHolonomic() const { return myHolonomic; }
  /// MaxRVelocity: absolute maximum rotational velocity, degrees / sec.
  int getAbsoluteMaxRotVelocity() const { return myAbsoluteMaxRVelocity; }
  /// MaxVelocity: absolute maximum translational velocity, mm / sec.
  int getAbsoluteMaxVelocity() const { return myAbsoluteMaxVelocity; }
  bool hasMoveCommand() const { return myHaveMoveCommand; }
  bool getRequestIOPackets() const { return myRequestIOPackets; }
  bool getRequestEncoderPackets() const { return myRequestEncoderPackets; }
  int getSwitchToBaudRate() const { return mySwitchToBaudRate; }

  // Conversion factors
  double getAngleConvFactor() const { return myAngleConvFactor; }
  double getDistConvFactor() const { return myDistConvFactor; }
  double getVelConvFactor() const { return myVelConvFactor; }
  double getRangeConvFactor() const { return myRangeConvFactor; }
  double getDiffConvFactor() const { return myDiffConvFactor; }
  double getVel2Divisor() const { return myVel2Divisor; }
  double getGyroScaler() const { return myGyroScaler; }

  // Accessories
  bool haveTableSensingIR() const { return myTableSensingIR; }
  bool haveNewTableSensingIR() const { return myNewTableSensingIR; }
  bool haveFrontBumpers() const { return myFrontBumpers; }
  int numFrontBumpers() const { return myNumFrontBumpers; }
  bool haveRearBumpers() const { return myRearBumpers; }
  int numRearBumpers() const { return myNumRearBumpers; }

  // IR units
  int getNumIR() const { return myNumIR; }
  bool haveIR(int number) const { return myIRUnits.count(number) != 0; }
  int getIRX(int number) const;
  int getIRY(int number) const;
  int getIRType(int number) const;
  int getIRCycles(int number) const;

  // Sonar units
  int getNumSonar() const { return myNumSonar; }
  bool haveSonar(int number) const { return mySonarUnits.count(number) != 0; }
  int getSonarX(int number) const;
  int getSonarY(int number) const;
  int getSonarTh(int number) const;

  // Laser
  bool getLaserPossessed() const { return myLaserPossessed; }
  const char *getLaserPort() const { return myLaserPort; }
  bool getLaserFlipped() const { return myLaserFlipped; }
  bool getLaserPowerControlled() const { return myLaserPowerControlled; }
  int getLaserX() const { return myLaserX; }
  int getLaserY() const { return myLaserY; }
  double getLaserTh() const { return myLaserTh; }
  const char *getLaserIgnore() const { return myLaserIgnore; }

  // Movement control; 0 means the controller's own values are used.
  bool hasSettableVelMaxes() const { return mySettableVelMaxes; }
  int getTransVelMax() const { return myTransVelMax; }
  int getRotVelMax() const { return myRotVelMax; }
  bool hasSettableAccsDecs() const { return mySettableAccsDecs; }
  int getTransAccel() const { return myTransAccel; }
  int getTransDecel() const { return myTransDecel; }
  int getRotAccel() const { return myRotAccel; }
  int getRotDecel() const { return myRotDecel; }

  /// Writes the set into the library directory's "params/", named by
  /// Subclass with ".p".
  bool save();

  /// ZyConfig's file read; the counts before it are kept, so that a count
  /// out of range is refused and the set keeps the one it had.
  bool parseFile(const char *fileName, bool continueOnErrors = false,
                 bool noFileNotFoundMessage = false, char *errorBuffer = nullptr,
                 size_t errorBufferSize = 0);
  /// Refuses counts outside 0 to MAX_UNITS with a message naming the file
  /// and the line; false when one was refused.
  bool processFile() override;

  /// Set functors of the unit lists: one file line each.
  bool parseIRUnit(ZyArgumentBuilder *builder);
  bool parseSonarUnit(ZyArgumentBuilder *builder);
  /// Get functors of the unit lists: one builder per unit, ascending.
  const std::list<ZyArgumentBuilder *> *getIRUnits();
  const std::list<ZyArgumentBuilder *> *getSonarUnits();

  ZyRobotParams(const ZyRobotParams &) = delete;
  ZyRobotParams &operator=(const ZyRobotParams &) = delete;

protected:
  struct IRUnit {
    int x;
    int y;
    int type;
    int cycles;
  };
  struct SonarUnit {
    int x;
    int y;
    int th;
  };

  /// For the built-in sets: text parameters are copied bounded.
  void setText(char *field, const char *text);
  void internalSetIR(int number, int type, int cycles, int x, int y);
  void internalSetSonar(int number, int x, int y, int th);

  char myClass[TEXT_SIZE];
  char mySubClass[TEXT_SIZE];
  double myRobotRadius;
  double myRobotDiagonal;
  double myRobotWidth;
  double myRobotLength;
  bool myHolonomic;
  int myAbsoluteMaxRVelocity;
  int myAbsoluteMaxVelocity;
  bool myHaveMoveCommand;
  bool myRequestIOPackets;
  bool myRequestEncoderPackets;
  int mySwitchToBaudRate;

  double myAngleConvFactor;
  double myDistConvFactor;
  double myVelConvFactor;
  double myRangeConvFactor;
  double myDiffConvFactor;
  double myVel2Divisor;
  double myGyroScaler;

  bool myTableSensingIR;
  bool myNewTableSensingIR;
  bool myFrontBumpers;
  int myNumFrontBumpers;
  bool myRearBumpers;
  int myNumRearBumpers;

  int myNumIR;
  std::map<int, IRUnit> myIRUnits;
  int myNumSonar;
  std::map<int, SonarUnit> mySonarUnits;

  bool myLaserPossessed;
  char myLaserPort[TEXT_SIZE];
  bool myLaserFlipped;
  bool myLaserPowerControlled;
  int myLaserX;
  int myLaserY;
  double myLaserTh;
  char myLaserIgnore[TEXT_SIZE];

  bool mySettableVelMaxes;
  int myTransVelMax;
  int myRotVelMax;
  bool mySettableAccsDecs;
  int myTransAccel;
  int myTransDecel;
  int myRotAccel;
  int myRotDecel;

private:
  void clearBuilders(std::list<ZyArgumentBuilder *> &builders);
  /// The counts a file may set, with their keys.
  struct Count {
    const char *key;
    int *value;
  };
  static const int NUM_COUNTS = 4;
  void counts(Count *out);
  /// Number of the last line of the file read whose keyword is key, or 0.
  int lineOf(const char *key) const;

  // The counts before the file being read; valid once parseFile ran.
  int myCountsBefore[NUM_COUNTS] = {0, 0, 0, 0};

  ZyRetFunctor1C<bool, ZyRobotParams, ZyArgumentBuilder *> myIRUnitSetFunctor;
  ZyRetFunctorC<const std::list<ZyArgumentBuilder *> *, ZyRobotParams> myIRUnitGetFunctor;
  ZyRetFunctor1C<bool, ZyRobotParams, ZyArgumentBuilder *> mySonarUnitSetFunctor;
  ZyRetFunctorC<const std::list<ZyArgumentBuilder *> *, ZyRobotParams> mySonarUnitGetFunctor;
  std::list<ZyArgumentBuilder *> myIRUnitBuilders;
  std::list<ZyArgumentBuilder *> mySonarUnitBuilders;
};

#endif

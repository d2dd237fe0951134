// SPDX-License-Identifier: MIT
// Values of the built-in robot parameter sets and the subtype catalogue.
#include "ZyRobotTypes.h"

#include <cstring>

ZyRobotCompact::ZyRobotCompact() {
  setText(myClass, "Marlock");
  setText(mySubClass, "compact");
  myRobotRadius = 190;
  myRobotDiagonal = 110;
  myRobotWidth = 380;
  myRobotLength = 410;
  myAbsoluteMaxRVelocity = 360;
  myAbsoluteMaxVelocity = 1000;
  mySwitchToBaudRate = 38400;
  myDistConvFactor = 0.485;
  myRangeConvFactor = 0.268;
  myDiffConvFactor = 0.0056;
  myNumSonar = 8;
  const int sonar[8][3] = {{69, 136, 90},   {114, 119, 50},  {148, 78, 30},    {166, 27, 10},
                           {166, -27, -10}, {148, -78, -30}, {114, -119, -50}, {69, -136, -90}};
  for (int i = 0; i < 8; i++)
    internalSetSonar(i, sonar[i][0], sonar[i][1], sonar[i][2]);
}

ZyRobotStandard::ZyRobotStandard() {
  setText(myClass, "Marlock");
  setText(mySubClass, "standard");
  myRobotRadius = 250;
  myRobotDiagonal = 120;
  myRobotWidth = 425;
  myRobotLength = 511;
  myAbsoluteMaxRVelocity = 500;
  myAbsoluteMaxVelocity = 2200;
  mySwitchToBaudRate = 38400;
  myDistConvFactor = 0.5;
  myRangeConvFactor = 0.268;
  myDiffConvFactor = 0.0056;
  myFrontBumpers = true;
  myRearBumpers = true;
  myNumSonar = 16;
  const int sonar[16][3] = {
      {115, 130, 90},    {155, 115, 50},     {190, 80, 30},     {210, 25, 10},
      {210, -25, -10},   {190, -80, -30},    {155, -115, -50},  {115, -130, -90},
      {-115, -130, -90}, {-155, -115, -130}, {-190, -80, -150}, {-210, -25, -170},
      {-210, 25, 170},   {-190, 80, 150},    {-155, 115, 130},  {-115, 130, 90}};
  for (int i = 0; i < 16; i++)
    internalSetSonar(i, sonar[i][0], sonar[i][1], sonar[i][2]);
}

ZyRobotHeavy::ZyRobotHeavy() {
  setText(myClass, "Marlock");
  setText(mySubClass, "heavy");
  myRobotRadius = 400;
  myRobotDiagonal = 200;
  myRobotWidth = 720;
  myRobotLength = 820;
  myAbsoluteMaxRVelocity = 140;
  myAbsoluteMaxVelocity = 1200;
  mySwitchToBaudRate = 38400;
  myDistConvFactor = 0.38;
  myRangeConvFactor = 0.268;
  myDiffConvFactor = 0.00375;
  myFrontBumpers = true;
  myNumFrontBumpers = 7;
  myLaserPossessed = true;
  myLaserX = 160;
  myNumSonar = 8;
  const int sonar[8][3] = {{147, 136, 90},  {193, 119, 50},  {227, 79, 30},    {245, 27, 10},
                           {245, -27, -10}, {227, -79, -30}, {193, -119, -50}, {147, -136, -90}};
  for (int i = 0; i < 8; i++)
    internalSetSonar(i, sonar[i][0], sonar[i][1], sonar[i][2]);
}

ZyRobotParams *createRobotParams(const char *subtype, bool *known) {
  if (known != nullptr)
    *known = true;
  if (subtype != nullptr) {
    if (strcmp(subtype, "compact") == 0)
      return new ZyRobotCompact;
    if (strcmp(subtype, "standard") == 0)
      return new ZyRobotStandard;
    if (strcmp(subtype, "heavy") == 0)
      return new ZyRobotHeavy;
  }
  if (known != nullptr)
    *known = false;
  return new ZyRobotGeneric;
}

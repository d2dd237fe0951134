// SPDX-License-Identifier: MIT
// The built-in robot parameter sets: the generic set, which keeps every
// value of a fresh ZyRobotParams, and one set per known controller subtype.
#ifndef ZYROBOTTYPES_H
#define ZYROBOTTYPES_H

#include "ZyRobotParams.h"

/// The generic set: exactly the values of a fresh parameter set. A new
/// robot starts with it and an unknown subtype gets it.
class ZyRobotGeneric : public ZyRobotParams {
public:
  ZyRobotGeneric() = default;
};

/// A small indoor base with a front sonar ring.
class ZyRobotCompact : public ZyRobotParams {
public:
  ZyRobotCompact();
};

/// A mid-sized base with front and rear sonar rings and bump rings.
class ZyRobotStandard : public ZyRobotParams {
public:
  ZyRobotStandard();
};

/// A large skid-steered outdoor base with a laser.
class ZyRobotHeavy : public ZyRobotParams {
public:
  ZyRobotHeavy();
};

/// The built-in set for a controller subtype, compared exactly (the
/// handshake lower-cases subtypes, so the catalogue names are lower case).
/// An unknown subtype gives the generic set and sets *known to false.
ZyRobotParams *createRobotParams(const char *subtype, bool *known = nullptr);

#endif

// SPDX-License-Identifier: MIT
// ZyRobotHandshake: the robot's SYNC handshake, one step per call. It owns
// the handshake's state (the SYNC exchange, configuration, baud switch and
// stabilizing), its counters and its times; the robot it belongs to owns
// the device, the sender and receiver, the parameter set and the
// transitions (made, failed) that the steps lead to.
#ifndef ZYROBOTHANDSHAKE_H
#define ZYROBOTHANDSHAKE_H

#include "ZyTime.h"

class ZyRobot;
class ZyRobotPacket;

class ZyRobotHandshake {
public:
  /// Where the handshake stands; the next step acts on it.
  enum class State {
    START,       ///< open the device, reset, drain
    SYNC0,       ///< SYNC exchange, first packet
    SYNC1,       ///< SYNC exchange, second packet
    SYNC2,       ///< SYNC exchange, third packet (identity in the reply)
    CONFIG,      ///< waiting for the CONFIG packet
    BAUD_SWITCH, ///< switching the serial speed
    STABILIZING  ///< connection made, settling before it counts
  };

  explicit ZyRobotHandshake(ZyRobot &robot);

  /// The next step starts a new handshake.
  void restart() { myState = State::START; }
  State getState() const { return myState; }
  /// One step: a ZyRobot::ConnectResult value.
  int step(bool tryHarder);
  /// The serial speed before a baud switch, to go back to on disconnect.
  int getStartBaud() const { return myStartBaud; }
  /// Noted by the robot when it begins stabilizing.
  void stabilizingBegan() { myStabilizingStart.setToNow(); }

  ZyRobotHandshake(const ZyRobotHandshake &) = delete;
  ZyRobotHandshake &operator=(const ZyRobotHandshake &) = delete;

private:
  int startStep();
  /// One SYNC exchange (states SYNC0 to SYNC2).
  int syncStep(bool tryHarder);
  /// The reply to SYNC was silence.
  int silentStep();
  /// After the SYNC2 reply: identity, OPEN, parameter set.
  int madeConnection(bool tryHarder, ZyRobotPacket *packet);
  /// State CONFIG; true when it moved on to BAUD_SWITCH.
  bool configStep();
  /// State BAUD_SWITCH; *goOn is set when STABILIZING follows in the same
  /// step.
  int baudStep(bool *goOn);
  int stabilizeStep();
  /// Receives waiting packets until none comes or the step's drain window
  /// ends; with dispatch they are offered to the packet handlers, else
  /// dropped.
  void drainPackets(bool dispatch);
  /// The 0-based index of the SYNC packet sent in the current state.
  int syncNumber() const;

  ZyRobot &myRobot;
  State myState = State::START;
  bool mySentBaudChange = false;
  int myStartBaud = 0;
  int myNoPacketCount = 0;
  int mySyncTries = 0;
  ZyTime myDrainDeadline;
  ZyTime myBaudSwitchTime;
  ZyTime myStabilizingStart;
  ZyTime myStartedConnection;
};

#endif

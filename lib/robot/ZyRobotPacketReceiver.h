// SPDX-License-Identifier: MIT
// ZyRobotPacketReceiver: hunts for the sync bytes in the incoming byte
// stream, reads one robot packet and checks its checksum.
#ifndef ZYROBOTPACKETRECEIVER_H
#define ZYROBOTPACKETRECEIVER_H

#include "ZyRobotPacket.h"

#include <cstdint>

class ZyDeviceConnection;

class ZyRobotPacketReceiver {
public:
  /// A packet body that stalls longer than this many ms is abandoned; the
  /// same limit bounds the wait for sync2 and the count once the caller's
  /// deadline has passed.
  static const int INACTIVITY_LIMIT_MS = 100;

  ZyRobotPacketReceiver(bool allocatePackets = false, uint8_t sync1 = 0xfa, uint8_t sync2 = 0xfb);
  ZyRobotPacketReceiver(ZyDeviceConnection *deviceConnection, bool allocatePackets = false,
                        uint8_t sync1 = 0xfa, uint8_t sync2 = 0xfb);

  void setDeviceConnection(ZyDeviceConnection *deviceConnection) {
    myDeviceConn = deviceConnection;
  }
  ZyDeviceConnection *getDeviceConnection() const { return myDeviceConn; }

  /// The next packet with a good checksum, or nullptr when none began
  /// within msWait ms. Without allocation the result is the receiver's own
  /// packet, valid until the next call; with allocation the caller owns it.
  ZyRobotPacket *receivePacket(unsigned int msWait = 0);

  ZyRobotPacketReceiver(const ZyRobotPacketReceiver &) = delete;
  ZyRobotPacketReceiver &operator=(const ZyRobotPacketReceiver &) = delete;

private:
  ZyRobotPacket *receiveInto(ZyRobotPacket *packet, unsigned int msWait);

  ZyDeviceConnection *myDeviceConn;
  bool myAllocatePackets;
  ZyRobotPacket myPacket;
  uint8_t mySync1;
  uint8_t mySync2;
};

#endif

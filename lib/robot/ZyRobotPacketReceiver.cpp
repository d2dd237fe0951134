// SPDX-License-Identifier: MIT
// Sync hunt, body read and checksum test of incoming robot packets.
#include "ZyRobotPacketReceiver.h"

#include "ZyDeviceConnection.h"
#include "ZyLog.h"
#include "ZyTime.h"

ZyRobotPacketReceiver::ZyRobotPacketReceiver(bool allocatePackets, uint8_t sync1, uint8_t sync2)
    : myDeviceConn(nullptr), myAllocatePackets(allocatePackets), myPacket(sync1, sync2),
      mySync1(sync1), mySync2(sync2) {}

ZyRobotPacketReceiver::ZyRobotPacketReceiver(ZyDeviceConnection *deviceConnection,
                                             bool allocatePackets, uint8_t sync1, uint8_t sync2)
    : myDeviceConn(deviceConnection), myAllocatePackets(allocatePackets), myPacket(sync1, sync2),
      mySync1(sync1), mySync2(sync2) {}

ZyRobotPacket *ZyRobotPacketReceiver::receivePacket(unsigned int msWait) {
  if (myDeviceConn == nullptr || myDeviceConn->status() != ZyDeviceConnection::STATUS_OPEN)
    return nullptr;
  if (!myAllocatePackets)
    return receiveInto(&myPacket, msWait);
  ZyRobotPacket *packet = new ZyRobotPacket(mySync1, mySync2);
  ZyRobotPacket *result = receiveInto(packet, msWait);
  if (result == nullptr)
    delete packet;
  return result;
}

ZyRobotPacket *ZyRobotPacketReceiver::receiveInto(ZyRobotPacket *packet, unsigned int msWait) {
  enum State { WAIT_SYNC1, WAIT_SYNC2, WAIT_COUNT };
  State state = WAIT_SYNC1;
  ZyTime deadline;
  deadline.addMsec(static_cast<long>(msWait));
  // Time of the last byte of the packet being read; once the deadline has
  // passed, sync2 and the count byte get this much longer to arrive.
  ZyTime lastByte;
  char body[255];

  for (;;) {
    long remaining = deadline.msTo();
    if (remaining < 0)
      remaining = 0;
    long wait = remaining;
    if (state != WAIT_SYNC1) {
      long grace = INACTIVITY_LIMIT_MS - lastByte.msSince();
      if (grace > wait)
        wait = grace;
    }
    char c;
    int got = myDeviceConn->read(&c, 1, static_cast<unsigned int>(wait));
    if (got <= 0) {
      // A device that stopped working (-1) yields nothing more.
      if (state == WAIT_SYNC1 || got < 0)
        return nullptr;
      if (deadline.msTo() < 0 && lastByte.msSince() > INACTIVITY_LIMIT_MS)
        return nullptr;
      continue;
    }
    unsigned char byte = static_cast<unsigned char>(c);
    switch (state) {
    case WAIT_SYNC1:
      if (byte == mySync1) {
        packet->clear();
        packet->setLength(0);
        packet->uint8ToBuf(byte);
        packet->setReceivedTime(myDeviceConn->readTimeStamp(0));
        lastByte.setToNow();
        state = WAIT_SYNC2;
      }
      break;
    case WAIT_SYNC2:
      if (byte == mySync2) {
        packet->uint8ToBuf(byte);
        lastByte.setToNow();
        state = WAIT_COUNT;
      } else {
        // The stray byte is dropped, not tested as a new sync1.
        state = WAIT_SYNC1;
      }
      break;
    case WAIT_COUNT: {
      packet->uint8ToBuf(byte);
      int count = byte;
      int have = 0;
      ZyTime lastActivity;
      while (have < count) {
        int n = myDeviceConn->read(body + have, static_cast<unsigned int>(count - have), 1);
        if (n > 0) {
          have += n;
          lastActivity.setToNow();
        } else if (n < 0 || lastActivity.msSince() > INACTIVITY_LIMIT_MS) {
          return nullptr;
        }
      }
      packet->dataToBuf(body, count);
      if (packet->checksumOk()) {
        packet->rewindRead();
        return packet;
      }
      ZyLog::log(ZyLog::Normal, "ZyRobotPacketReceiver::receivePacket: bad packet, bad checksum");
      state = WAIT_SYNC1;
      break;
    }
    }
    if (state == WAIT_SYNC1 && deadline.msTo() < 0)
      return nullptr;
  }
}

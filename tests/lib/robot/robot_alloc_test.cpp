// SPDX-License-Identifier: MIT
// Shows that the robot packet path allocates nothing per packet, from the
// sender and receiver up to the robot cycle's dispatch: global operator new
// is replaced by a counting one, and only allocations made on the test's own
// thread are counted.
#include "CountAllocations.h"
#include "LogCapture.h"
#include "PtyPair.h"
#include "RobotPeer.h"
#include "ZyRobot.h"
#include "ZyRobotPacket.h"
#include "ZyRobotPacketReceiver.h"
#include "ZyRobotPacketSender.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

namespace {

const int PACKETS = 100;
} // namespace

TEST(RobotPacketPath, SendingAndReceivingAllocateNothingPerPacket) {
  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  ZyRobotPacketSender sender(&port);
  ZyRobotPacketReceiver receiver(&port, false);

  // The controller's side: a burst of status packets, written before
  // counting starts.
  std::string burst;
  const std::string status("\xFA\xFB\x03\x32\x00\x32", 6);
  for (int i = 0; i < PACKETS; i++)
    burst += status;
  pty.write(burst);

  long sendAllocations;
  {
    CountAllocations counting;
    for (int i = 0; i < PACKETS; i++) {
      ASSERT_TRUE(sender.comInt(1, static_cast<int16_t>(i - 50)));
      ASSERT_TRUE(sender.comStr(2, "hello"));
    }
    sendAllocations = counting.count();
  }
  EXPECT_EQ(sendAllocations, 0);
  EXPECT_EQ(pty.read(PACKETS * (9 + 14), 2000).size(), static_cast<size_t>(PACKETS * (9 + 14)));

  int received = 0;
  long receiveAllocations;
  {
    CountAllocations counting;
    while (receiver.receivePacket(200) != nullptr)
      received++;
    receiveAllocations = counting.count();
  }
  EXPECT_EQ(received, PACKETS);
  EXPECT_EQ(receiveAllocations, 0);
}

TEST(RobotPacketPath, AnAllocatingReceiverAllocatesOnePacketPerCall) {
  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  ZyRobotPacketReceiver receiver(&port, true);
  pty.write(std::string("\xFA\xFB\x03\x32\x00\x32\xFA\xFB\x03\x33\x00\x33", 12));
  long allocations;
  {
    CountAllocations counting;
    std::unique_ptr<ZyRobotPacket> a(receiver.receivePacket(200));
    std::unique_ptr<ZyRobotPacket> b(receiver.receivePacket(200));
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    // A call that finds nothing frees what it allocated.
    EXPECT_EQ(receiver.receivePacket(0), nullptr);
    allocations = counting.count();
  }
  // The packet object and its buffer, for each of the three calls.
  EXPECT_EQ(allocations, 6);
}

// The robot cycle's packet handler task reads the waiting status packets and
// hands each to the handler list; once a first pass has set up the task
// tree's bookkeeping, passes allocate nothing however many packets they take.
TEST(RobotPacketPath, TheCycleDispatchesPacketsWithoutAllocating) {
  LogCapture log;
  PtyPair pty;
  ZySerialConnection port;
  port.setPortName(pty.slavePath().c_str());
  ZyRobot robot("allocRobot", true, false, true, false);
  robot.setDeviceConnection(&port);
  Peer peer(pty, syncingController("Bobby", "Marlock", "compact", configPacket(0)));
  ASSERT_TRUE(robot.blockingConnect());
  struct Tally {
    int n = 0;
    bool take(ZyRobotPacket *p) {
      if (p->getID() != 0x32)
        return false;
      n++;
      return true;
    }
  } tally;
  ZyRetFunctor1C<bool, Tally, ZyRobotPacket *> tallyCB(&tally, &Tally::take);
  robot.addPacketHandler(&tallyCB, ZyRobot::FIRST);
  robot.loopOnce(); // first pass: the tree's run lists are made

  std::string burst;
  for (int i = 0; i < PACKETS; i++)
    burst += frame(0x32, std::string("\x01\x02", 2));
  pty.write(burst);
  usleep(100 * 1000);
  long allocations;
  int passes = 0;
  {
    CountAllocations counting;
    ZyTime start;
    while (tally.n < PACKETS && start.msSince() < 5000) {
      robot.loopOnce();
      passes++;
    }
    allocations = counting.count();
  }
  EXPECT_EQ(tally.n, PACKETS);
  EXPECT_GE(passes, 1);
  EXPECT_EQ(allocations, 0);
  EXPECT_FALSE(log.contains("No packet handler"));
  robot.cancelConnection();
}

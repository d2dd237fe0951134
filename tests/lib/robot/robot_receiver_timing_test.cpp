// SPDX-License-Identifier: MIT
// Tests of the robot packet receiver's time limits on a scripted line and a
// simulated clock: a packet that stalls too long is abandoned, one that
// pauses within the limit is read, and a quiet line ends the wait on time.
#include "ScriptedDevice.h"
#include "ZyRobotPacket.h"
#include "ZyRobotPacketReceiver.h"

#include <gtest/gtest.h>

#include <string>

namespace {
const long kLimit = ZyRobotPacketReceiver::INACTIVITY_LIMIT_MS;

class ReceiverTiming : public ::testing::Test {
protected:
  void SetUp() override { SimulatedClock::install(); }
  void TearDown() override { SimulatedClock::uninstall(); }

  /// A packet of the given ID and data bytes, as on the wire.
  static std::string packet(unsigned char id, const std::string &data) {
    ZyRobotPacket p;
    p.setID(id);
    p.dataToBuf(data.data(), static_cast<int>(data.size()));
    p.finishPacket();
    return std::string(p.getBuf(), p.getLength());
  }
};
} // namespace

TEST_F(ReceiverTiming, PausesInsideAPacketWithinTheLimitAreWaitedFor) {
  std::string wire = packet(0x32, "abcdef");
  std::string script = ScriptedDevice::escape(wire.substr(0, 5)) + ScriptedDevice::pause(90) +
                       ScriptedDevice::escape(wire.substr(5));
  ScriptedDevice device(reinterpret_cast<const uint8_t *>(script.data()), script.size());
  ZyRobotPacketReceiver receiver(&device);
  ZyRobotPacket *got = receiver.receivePacket(10);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->getID(), 0x32);
  EXPECT_EQ(got->getLength(), wire.size());
}

TEST_F(ReceiverTiming, AStalledPacketIsAbandonedAndTheNextOneRead) {
  std::string first = packet(0x20, "stalls here");
  std::string second = packet(0x32, "xy");
  std::string script = ScriptedDevice::escape(first.substr(0, 6)) + ScriptedDevice::pause(1000) +
                       ScriptedDevice::escape(second);
  ScriptedDevice device(reinterpret_cast<const uint8_t *>(script.data()), script.size());
  ZyRobotPacketReceiver receiver(&device);
  long long start = SimulatedClock::now();
  EXPECT_EQ(receiver.receivePacket(0), nullptr);
  long long spent = SimulatedClock::now() - start;
  EXPECT_GT(spent, kLimit);
  EXPECT_LT(spent, 3 * kLimit);
  ZyRobotPacket *got = receiver.receivePacket(2000);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->getID(), 0x32);
}

TEST_F(ReceiverTiming, AQuietLineEndsTheWaitAtTheDeadline) {
  ScriptedDevice device(nullptr, 0);
  ZyRobotPacketReceiver receiver(&device);
  long long start = SimulatedClock::now();
  EXPECT_EQ(receiver.receivePacket(500), nullptr);
  EXPECT_GE(SimulatedClock::now() - start, 500);
  EXPECT_LE(SimulatedClock::now() - start, 510);
  EXPECT_GE(device.timeOuts(), 1);
}

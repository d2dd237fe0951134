// SPDX-License-Identifier: MIT
// Tests of the simulator's wire-time emulation: with pacing on, nothing is
// answered before the command's last byte would have arrived, and replies
// come no faster than the line carries them (10 bits a byte). Only lower
// bounds are asserted; how close the pacing comes to the line's own speed is
// measured by the wire benchmark.
#include "RawMonitorClient.h"
#include "SimPty.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

double byteMs(int baud) {
  return 10.0 * 1000.0 / baud;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

SimOptions paced(int baud) {
  SimOptions options;
  options.pace = true;
  options.baud = baud;
  return options;
}

} // namespace

TEST(SimPacingTest, ReplyTakesAtLeastItsWireTime) {
  SimSession sim(paced(115200));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::string command = RawMonitorClient::frame("m7000,FFF");

  Clock::time_point start = Clock::now();
  host.write(command);
  std::string ack = host.read(1, 2000);
  double ackMs = msSince(start);
  ASSERT_EQ("+", ack);
  // The "+" leaves after the command's last byte is in, and takes a byte time.
  EXPECT_GE(ackMs, (command.size() + 1) * byteMs(115200));

  // The reply's bytes come no faster than the line carries them.
  std::string reply;
  double halfMs = 0;
  while (reply.size() < 8196) {
    std::string part = host.read(8196 - reply.size(), 3000);
    if (part.empty())
      break;
    reply += part;
    if (halfMs == 0 && reply.size() >= 4000)
      halfMs = msSince(start);
  }
  double allMs = msSince(start);
  ASSERT_EQ(8196u, reply.size());
  EXPECT_EQ('$', reply[0]);
  EXPECT_GE(halfMs, (command.size() + 1 + 4000) * byteMs(115200));
  EXPECT_GE(allMs, (command.size() + 1 + 8196) * byteMs(115200));
  RecordProperty("elapsed_over_wire_time_permille",
                 static_cast<int>(1000 * allMs / ((command.size() + 1 + 8196) * byteMs(115200))));
  host.write("+");
}

TEST(SimPacingTest, SlowLineAtTheControllersSpeed) {
  SimSession sim(paced(9600));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path(), B9600);
  std::string command = RawMonitorClient::frame("F?0,0");
  Clock::time_point start = Clock::now();
  host.write(command);
  std::string ack = host.read(1, 2000);
  EXPECT_GE(msSince(start), (command.size() + 1) * byteMs(9600));
  std::string body, digits;
  ASSERT_EQ("+", ack);
  ASSERT_TRUE(host.readReply(body, digits));
  EXPECT_EQ("OK0", body);
  // command, "+", "$OK0#ca"
  EXPECT_GE(msSince(start), (command.size() + 1 + 7) * byteMs(9600));
}

TEST(SimPacingTest, CommandSentSlowlyIsAnsweredAfterItsLastByte) {
  SimSession sim(paced(115200));
  ASSERT_TRUE(sim.ok()) << sim.error();
  RawMonitorClient host(sim.path());
  std::string command = RawMonitorClient::frame("FE7");
  host.write(command.substr(0, 4));
  EXPECT_EQ("", host.read(1, 60));
  Clock::time_point start = Clock::now();
  host.write(command.substr(4));
  ASSERT_EQ("+", host.read(1, 1000));
  EXPECT_GE(msSince(start), (command.size() - 4 + 1) * byteMs(115200));
}

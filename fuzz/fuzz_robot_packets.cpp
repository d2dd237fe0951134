// SPDX-License-Identifier: MIT
// libFuzzer target for the robot packet receiver and the CONFIG packet
// reader: a scripted device plays the input's bytes and pauses on a
// simulated clock; every packet received must be whole and carry a good
// checksum, and each is offered to a CONFIG reader that has asked for one.
//
// Input: byte 0 picks the receiver's wait and whether it allocates its
// packets; the rest is the device's script.
#include "ScriptedDevice.h"
#include "ZyLog.h"
#include "ZyRobotConfigPacketReader.h"
#include "ZyRobotPacket.h"
#include "ZyRobotPacketReceiver.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
void check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_robot_packets: %s\n", what);
    abort();
  }
}

const unsigned int kWaits[4] = {0, 10, 100, 1000};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  (void)quiet;
  if (size < 1)
    return 0;
  SimulatedClock::install();
  ScriptedDevice device(data + 1, size - 1);
  bool allocate = (data[0] & 0x04) != 0;
  unsigned int wait = kWaits[data[0] & 3];
  ZyRobotPacketReceiver receiver(&device, allocate);
  ZyRobotConfigPacketReader config(nullptr, (data[0] & 0x08) != 0);

  // Each call reads at least one byte or lets time pass, so the script
  // runs out; the bound only guards this loop itself.
  for (int calls = 0; calls < 100000 && !device.exhausted(); ++calls) {
    long long start = SimulatedClock::now();
    size_t bytesBefore = device.bytesRead();
    long pausesBefore = device.pausesPlayed();
    ZyRobotPacket *packet = receiver.receivePacket(wait);
    // Quiet time beyond what the script asked for is bounded by the
    // caller's wait and the receiver's inactivity limit, per byte taken.
    long long spent = SimulatedClock::now() - start;
    long long quiet = spent - (device.pausesPlayed() - pausesBefore);
    check(quiet <= static_cast<long long>(wait) + 2 * ZyRobotPacketReceiver::INACTIVITY_LIMIT_MS +
                       static_cast<long long>(device.bytesRead() - bytesBefore),
          "the receiver waited on a quiet line beyond its limits");
    if (packet == nullptr) {
      // Nothing came: the caller would get on with other work and call
      // again later, so the rest of a long pause passes at once.
      if (device.bytesRead() == bytesBefore)
        device.skipPause();
      continue;
    }
    std::unique_ptr<ZyRobotPacket> owned(allocate ? packet : nullptr);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(packet->getBuf());
    int length = packet->getLength();
    check(length >= 3 && length <= 258, "packet length out of range");
    check(bytes[0] == 0xFA && bytes[1] == 0xFB, "packet without its sync bytes");
    check(bytes[2] == length - 3, "packet length does not match its count");
    check(packet->checksumOk(), "packet with a bad checksum delivered");

    config.requestConfig();
    if (config.packetHandler(packet)) {
      check(config.hasConfigArrived(), "CONFIG taken but not marked arrived");
      check(strlen(config.getType()) < 256 && strlen(config.getSubType()) < 256 &&
                strlen(config.getSerialNumber()) < 256 && strlen(config.getName()) < 256,
            "CONFIG text longer than its limit");
      config.printConfig();
    }
    check(packet->getReadLength() <= packet->getLength(), "read past the packet's end");
  }
  SimulatedClock::uninstall();
  return 0;
}

// SPDX-License-Identifier: MIT
// Benchmarks of the robot packet path: framing a command packet with its
// checksum, and sending commands and receiving status packets over a
// pseudo-terminal.
#include "ZyRobotPacket.h"
#include "ZyRobotPacketReceiver.h"
#include "ZyRobotPacketSender.h"
#include "ZySerialConnection.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// A raw pty; the benchmark plays the controller on the master side.
struct Pty {
  int master = -1;
  int keep = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      std::abort();
    slave = ptsname(master);
    keep = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    struct termios tio;
    tcgetattr(keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(keep, TCSANOW, &tio);
  }
  ~Pty() {
    ::close(keep);
    ::close(master);
  }
  void drain() {
    char buf[4096];
    struct pollfd pfd = {master, POLLIN, 0};
    while (poll(&pfd, 1, 0) > 0 && ::read(master, buf, sizeof buf) > 0) {
    }
  }
  void write(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0)
        done += static_cast<size_t>(n);
    }
  }
};

void BM_FinishCommandPacket(benchmark::State &state) {
  ZyRobotPacket packet;
  for (auto _ : state) {
    packet.clear();
    packet.setID(1);
    packet.uint8ToBuf(0x2B);
    packet.uint8ToBuf(200);
    for (int i = 0; i < 200; i++)
      packet.uint8ToBuf(static_cast<uint8_t>('a' + i % 26));
    packet.finishPacket();
    benchmark::DoNotOptimize(packet.checksumOk());
  }
}
BENCHMARK(BM_FinishCommandPacket);

void BM_SendCommands(benchmark::State &state) {
  Pty pty;
  ZySerialConnection port;
  if (port.open(pty.slave.c_str()) != 0)
    std::abort();
  ZyRobotPacketSender sender(&port);
  int n = 0;
  for (auto _ : state) {
    sender.comInt(1, static_cast<int16_t>(n));
    if (++n % 64 == 0)
      pty.drain();
  }
}
BENCHMARK(BM_SendCommands);

void BM_ReceiveStatusPackets(benchmark::State &state) {
  Pty pty;
  ZySerialConnection port;
  if (port.open(pty.slave.c_str()) != 0)
    std::abort();
  ZyRobotPacketReceiver receiver(&port, false);
  std::string status("\xFA\xFB\x0B\x32", 4);
  status += std::string(8, '\x01');
  status += std::string(2, '\0');
  // The checksum over the ID and the data.
  unsigned sum = 0;
  for (size_t i = 3; i + 1 < 12; i += 2)
    sum = (sum + ((static_cast<unsigned char>(status[i]) << 8) |
                  static_cast<unsigned char>(status[i + 1]))) &
          0xffff;
  sum ^= static_cast<unsigned char>(status[11]);
  status[12] = static_cast<char>((sum >> 8) & 0xff);
  status[13] = static_cast<char>(sum & 0xff);
  std::string burst;
  for (int i = 0; i < 64; i++)
    burst += status;
  for (auto _ : state) {
    state.PauseTiming();
    pty.write(burst);
    state.ResumeTiming();
    for (int i = 0; i < 64; i++)
      benchmark::DoNotOptimize(receiver.receivePacket(100));
  }
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ReceiveStatusPackets);

} // namespace

BENCHMARK_MAIN();

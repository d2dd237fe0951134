// SPDX-License-Identifier: MIT
// Wire-time benchmark: the tool's FLASH parameter transfer and a full
// firmware download through its monitor link, against the controller
// simulator pacing the line at 115200 bit/s. Each run reports its elapsed
// time over the wire-time floor: the bytes on the line in both directions,
// 10 bits each, at 115200 bit/s. The goal is a ratio of at most 1.05 (these
// operations have no fixed pauses); for the parameter write, which reads
// the block back to verify it before "FR" (erase, 32 pieces, their
// acknowledgements and replies, and the verify read with its confirming
// second read all count in its floor), at most 1.01; for the 64 KB upload
// without read-back (--no-verify), whose every command goes out as one
// write, at most 1.01; and at most 1.02 for a firmware download that reads
// each block back after writing it (the read-backs count in its floor).
// Every block read of the parameter block is confirmed by a second whole
// reply, so the read's floor holds two. The "goal" counter of each run
// shows its goal.
#include "FirmwareDownload.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "MonitorLink.h"
#include "ParameterBlockLink.h"
#include "SimPty.h"
#include "ZyLog.h"
#include "ZySerialConnection.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int BAUD = 115200;

/// Standard output to /dev/null while it lives: the tool's progress line
/// would otherwise mix with the benchmark's table.
class QuietStdout {
public:
  QuietStdout() {
    fflush(stdout);
    mySaved = dup(STDOUT_FILENO);
    int devNull = ::open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(mySaved, STDOUT_FILENO);
    ::close(mySaved);
  }

private:
  int mySaved;
};

/// A paced simulator with the tool's serial port and monitor link on it.
struct Bench {
  SimSession sim;
  ZySerialConnection port;
  MonitorLink link{&port};
  ParameterBlockLink blocks{link};
  ParamBlock block{}; ///< as last read

  Bench() : sim(pacedOptions()) {
    ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
    port.setBaud(BAUD);
    if (sim.ok())
      port.open(sim.slavePath().c_str());
  }
  bool ok() { return sim.ok() && port.status() == ZyDeviceConnection::STATUS_OPEN; }
  /// The confirmed read of the parameter block.
  bool readBlock() {
    BlockRead read = blocks.read();
    block = read.block;
    return read.ok;
  }
  /// The block written back whole, verified, as a write of unchanged
  /// parameters sends it.
  bool writeBlock() {
    return blocks.write(block, block, WriteKind::Parameters, nullptr).verified();
  }

  static SimOptions pacedOptions() {
    SimOptions options;
    options.pace = true;
    options.baud = BAUD;
    return options;
  }

  long lineBytes() {
    // The host's last "+" is still crossing the line when the tool returns.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    SimStats s = sim.controller().stats();
    return s.bytesReceived + s.bytesSent;
  }
};

/// Runs op once per iteration, timing it by hand, and reports the ratio of
/// elapsed time to the wire-time floor.
template <typename Op> void runPaced(benchmark::State &state, Bench &bench, Op op) {
  double elapsed = 0, floor = 0;
  long bytes = 0;
  for (auto _ : state) {
    long before = bench.lineBytes();
    auto start = std::chrono::steady_clock::now();
    bool done;
    {
      QuietStdout quiet;
      done = op();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (!done) {
      state.SkipWithError("the transfer failed");
      return;
    }
    long moved = bench.lineBytes() - before;
    bytes += moved;
    elapsed += seconds;
    floor += moved * 10.0 / BAUD;
  }
  state.counters["line_bytes"] = static_cast<double>(bytes) / state.iterations();
  state.counters["floor_s"] = floor / state.iterations();
  state.counters["over_floor"] = floor > 0 ? elapsed / floor : 0;
}

void BM_WriteParameterBlockPaced(benchmark::State &state) {
  Bench bench;
  if (!bench.ok() || !bench.readBlock()) {
    state.SkipWithError("no simulated controller, or the first read failed");
    return;
  }
  long readsBefore = bench.sim.controller().stats().reads;
  runPaced(state, bench, [&] { return bench.writeBlock(); });
  // Two reads back per write, the verify and its confirmation: both are
  // part of what is timed and of the floor.
  state.counters["verify_reads"] =
      static_cast<double>(bench.sim.controller().stats().reads - readsBefore) /
      static_cast<double>(state.iterations());
  state.counters["goal"] = 1.01;
  if (bench.sim.controller().block7() != SimMemory::freshParameterBlock())
    state.SkipWithError("the block written differs from the block read");
}
BENCHMARK(BM_WriteParameterBlockPaced)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ReadParameterBlockPaced(benchmark::State &state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("no simulated controller");
    return;
  }
  long readsBefore = bench.sim.controller().stats().reads;
  runPaced(state, bench, [&] { return bench.readBlock(); });
  // The read and its confirmation.
  state.counters["block_reads"] =
      static_cast<double>(bench.sim.controller().stats().reads - readsBefore) /
      static_cast<double>(state.iterations());
}
BENCHMARK(BM_ReadParameterBlockPaced)->UseManualTime()->Unit(benchmark::kMillisecond);

/// An S-record file covering every FLASH block, 32 bytes a record, from
/// 0x20 (a record at address 0 is refused) to the end of memory.
std::string writeFullImage() {
  std::string path = "/tmp/sim_wire_bench_" + std::to_string(getpid()) + ".mot";
  FILE *f = fopen(path.c_str(), "w");
  if (!f)
    return "";
  fprintf(f, "S00600004844521B\n");
  unsigned state = 12345;
  for (unsigned long address = 0x20; address < 0x40000; address += 32) {
    unsigned char data[32];
    unsigned sum = 36 + ((address >> 16) & 0xff) + ((address >> 8) & 0xff) + (address & 0xff);
    fprintf(f, "S224%06lX", address);
    for (unsigned char &b : data) {
      state = state * 1103515245u + 12345u;
      b = static_cast<unsigned char>(state >> 16);
      sum += b;
      fprintf(f, "%02X", b);
    }
    fprintf(f, "%02X\n", ~sum & 0xff);
  }
  fprintf(f, "S804000000FB\n");
  fclose(f);
  return path;
}

/// Downloads image through the paced simulator and checks that every block
/// it touches but the parameter block now holds it.
void downloadPaced(benchmark::State &state, Bench &bench, const FirmwareImage &image, bool verify) {
  FirmwareDownload download(image);
  download.setVerify(verify);
  long readsBefore = bench.sim.controller().stats().reads;
  runPaced(state, bench, [&] { return download.downloadFirmware(&bench.link); });
  state.counters["verify_reads"] =
      static_cast<double>(bench.sim.controller().stats().reads - readsBefore);
  for (int i : image.blocksToWrite()) {
    const FlashBlock &block = image.block(i);
    std::vector<uint8_t> held = bench.sim.controller().readMemory(block.start, block.size);
    if (memcmp(held.data(), image.memory() + block.start, held.size()) != 0) {
      state.SkipWithError("the controller's memory differs from the image");
      return;
    }
  }
}

void BM_DownloadFullFirmwarePaced(benchmark::State &state) {
  Bench bench;
  std::string path = writeFullImage();
  if (!bench.ok() || path.empty()) {
    state.SkipWithError("no simulated controller, or no image file");
    return;
  }
  FirmwareImage image;
  if (!loadFirmwareFile(path.c_str(), NO_BASE_ADDRESS, image)) {
    state.SkipWithError("the image did not load");
    return;
  }
  unlink(path.c_str());
  state.counters["goal"] = state.range(0) != 0 ? 1.02 : 1.05;
  downloadPaced(state, bench, image, state.range(0) != 0);
}
// Argument: 1 with the read-back, 0 without (--no-verify).
BENCHMARK(BM_DownloadFullFirmwarePaced)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

/// The 64 KB block 0x9 (0x10000 to 0x1ffff) filled whole: 512 commands of
/// 128 bytes, each written as one whole packet and answered.
void BM_Download64KPaced(benchmark::State &state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("no simulated controller");
    return;
  }
  static unsigned char data[0x10000];
  unsigned seed = 4321;
  for (unsigned char &b : data) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<unsigned char>(seed >> 16);
  }
  FirmwareImage image;
  image.store(0x10000, data, sizeof data);
  state.counters["goal"] = state.range(0) != 0 ? 1.02 : 1.01;
  downloadPaced(state, bench, image, state.range(0) != 0);
}
// Argument: 1 with the read-back, 0 without (--no-verify).
BENCHMARK(BM_Download64KPaced)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

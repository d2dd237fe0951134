// SPDX-License-Identifier: MIT
// The cost of the network: a firmware upload touching all 12 FLASH blocks,
// with its read-back, and a verified parameter write, through the monitor
// link against the simulator pacing the line at 115200 bit/s; once on the
// local pty (argument 0) and through ser2net in RFC 2217 mode on 127.0.0.1
// in front of the same pty, as ser2net comes (argument 1: it holds each
// answer back a little to gather more bytes, its chardelay) and with
// "chardelay: false" (argument 2), which the README advises for these
// many short answers. The network runs report their time over the local
// run's (vs_local; goal at most 1.05).
#include "FirmwareDownload.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "MonitorLink.h"
#include "ParameterBlockLink.h"
#include "SimPty.h"
#include "ZyLog.h"
#include "ZyNetConnection.h"
#include "ZySerialConnection.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

const int BAUD = 115200;
double localSeconds = 0;

/// Standard output to /dev/null while it lives (the link's progress).
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

int freePort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr *>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
  close(probe);
  return ntohs(address.sin_port);
}

/// ser2net in RFC 2217 mode in front of device on 127.0.0.1:port, stopped
/// by its process id.
class Ser2net {
public:
  Ser2net(const std::string &device, int port, bool charDelay) {
    myConfig = "/tmp/net_link_bench_" + std::to_string(getpid()) + ".yaml";
    FILE *f = fopen(myConfig.c_str(), "w");
    if (f == nullptr)
      return;
    fprintf(f,
            "connection: &robot\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
            "  connector: serialdev,%s,115200n81,local\n"
            "  options:\n    chardelay: %s\n",
            port, device.c_str(), charDelay ? "true" : "false");
    fclose(f);
    std::string pidFile = myConfig + ".pid";
    const char *argv[] = {"ser2net",        "-n",   "-u", "-P", pidFile.c_str(), "-c",
                          myConfig.c_str(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&myPid, "ser2net", &files, nullptr, const_cast<char **>(argv), environ) != 0)
      myPid = -1;
    posix_spawn_file_actions_destroy(&files);
    for (int i = 0; i < 500 && myPid > 0 && !myUp; i++) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      struct sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      myUp = connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
      close(s);
      if (!myUp)
        usleep(10000);
    }
  }
  ~Ser2net() {
    if (myPid > 0) {
      kill(myPid, SIGTERM);
      int status;
      waitpid(myPid, &status, 0);
    }
    unlink(myConfig.c_str());
  }
  bool up() const { return myUp; }

private:
  pid_t myPid = -1;
  bool myUp = false;
  std::string myConfig;
};

/// An S-record file with 4 KB at the start of each of the 12 FLASH blocks
/// (the parameter block's part is read and never written).
std::string writeImage() {
  std::string path = "/tmp/net_link_bench_" + std::to_string(getpid()) + ".mot";
  FILE *f = fopen(path.c_str(), "w");
  if (!f)
    return "";
  const unsigned long starts[12] = {0x20,   0x1000, 0x2000,  0x3000,  0x4000,  0x5000,
                                    0x6000, 0x7000, 0x08000, 0x10000, 0x20000, 0x30000};
  unsigned state = 4321;
  for (unsigned long start : starts)
    for (unsigned long address = start; address < start + 0x1000 - 0x20; address += 32) {
      unsigned sum = 36 + ((address >> 16) & 0xff) + ((address >> 8) & 0xff) + (address & 0xff);
      fprintf(f, "S224%06lX", address);
      for (int i = 0; i < 32; i++) {
        state = state * 1103515245u + 12345u;
        unsigned char b = static_cast<unsigned char>(state >> 16);
        sum += b;
        fprintf(f, "%02X", b);
      }
      fprintf(f, "%02X\n", ~sum & 0xff);
    }
  fprintf(f, "S804000000FB\n");
  fclose(f);
  return path;
}

void BM_UploadAndParameterWritePaced(benchmark::State &state) {
  bool network = state.range(0) != 0;
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  SimOptions options;
  options.pace = true;
  options.baud = BAUD;
  SimSession sim(options);
  std::string path = writeImage();
  FirmwareImage image;
  if (!sim.ok() || path.empty() || !loadFirmwareFile(path.c_str(), NO_BASE_ADDRESS, image)) {
    state.SkipWithError("no simulated controller, or no image");
    return;
  }
  unlink(path.c_str());
  std::unique_ptr<Ser2net> server;
  std::unique_ptr<ZyDeviceConnection> device;
  if (network) {
    int port = freePort();
    server = std::make_unique<Ser2net>(sim.slavePath(), port, state.range(0) == 1);
    std::string error;
    std::unique_ptr<ZyNetConnection> net =
        ZyNetConnection::create("rfc2217://127.0.0.1:" + std::to_string(port), &error);
    if (!server->up() || net == nullptr) {
      state.SkipWithError("ser2net did not start (is it installed?)");
      return;
    }
    device = std::move(net);
  } else {
    device = std::make_unique<ZySerialConnection>();
    static_cast<ZySerialConnection *>(device.get())->setPortName(sim.slavePath().c_str());
  }
  device->setBaud(BAUD);
  if (!device->openDefault()) {
    state.SkipWithError("the port did not open");
    return;
  }
  MonitorLink link(device.get());
  ParameterBlockLink blocks(link);
  BlockRead read = blocks.read();
  if (!read.ok) {
    state.SkipWithError("the first block read failed");
    return;
  }
  double elapsed = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    bool done;
    {
      QuietStdout quiet;
      FirmwareDownload download(image);
      done = download.downloadFirmware(&link) &&
             blocks.write(read.block, read.block, WriteKind::Parameters, nullptr).verified();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    elapsed += seconds;
    if (!done) {
      state.SkipWithError("the upload or the write failed");
      return;
    }
  }
  double perRun = elapsed / static_cast<double>(state.iterations());
  if (!network)
    localSeconds = perRun;
  else if (localSeconds > 0) {
    state.counters["vs_local"] = perRun / localSeconds;
    state.counters["goal"] = 1.05;
  }
  device->close();
}
// Argument: 0 the local pty, 1 RFC 2217 through ser2net on loopback, 2 the
// same with ser2net's chardelay off.
BENCHMARK(BM_UploadAndParameterWritePaced)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

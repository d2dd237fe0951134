// SPDX-License-Identifier: MIT
// Benchmarks of the monitor wire path over a pseudo-terminal: writing the
// 4096-byte FLASH parameter block in 128-byte packets, and reading it back as
// one reply of 8192 hexadecimal digits. A minimal monitor answers on the
// master side from a thread of its own.
#include "MonitorLink.h"
#include "ZySerialConnection.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::string frame(const std::string &body) {
  unsigned int sum = 0;
  for (unsigned char c : body)
    sum += c;
  char tail[4];
  snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
  return "$" + body + tail;
}

class Monitor {
public:
  Monitor() {
    myMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (myMaster < 0 || grantpt(myMaster) != 0 || unlockpt(myMaster) != 0)
      std::abort();
    mySlave = ptsname(myMaster);
    struct termios tio;
    int keep = ::open(mySlave.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(keep, TCSANOW, &tio);
    myKeep = keep;
    std::string digits;
    for (int i = 0; i < 4096; i++) {
      char two[3];
      snprintf(two, sizeof two, "%02x", (i * 7) & 0xFF);
      digits += two;
    }
    myBlockReply = "+" + frame(digits);
    myThread = std::thread([this] { run(); });
  }
  ~Monitor() {
    myStop = true;
    myThread.join();
    ::close(myKeep);
    ::close(myMaster);
  }
  const char *slave() const { return mySlave.c_str(); }

private:
  int readByte() {
    struct pollfd pfd = {myMaster, POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0)
      return -1;
    unsigned char c;
    return ::read(myMaster, &c, 1) == 1 ? c : -1;
  }
  void send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size() && !myStop) {
      ssize_t n = ::write(myMaster, bytes.data() + done, bytes.size() - done);
      if (n > 0)
        done += static_cast<size_t>(n);
    }
  }
  void run() {
    std::string text;
    while (!myStop) {
      int c = readByte();
      if (c != '$')
        continue;
      text.clear();
      while ((c = readByte()) >= 0 && c != '#')
        text.push_back(static_cast<char>(c));
      readByte();
      readByte();
      if (text == "m7000,FFF")
        send(myBlockReply);
      else if (text.compare(0, 2, "FW") == 0)
        send("+" + frame("OK0"));
      else
        send("+");
    }
  }

  int myMaster = -1;
  int myKeep = -1;
  std::string mySlave;
  std::string myBlockReply;
  std::atomic<bool> myStop{false};
  std::thread myThread;
};

void BM_WriteFlashBlock(benchmark::State &state) {
  Monitor monitor;
  ZySerialConnection port;
  port.open(monitor.slave());
  MonitorLink link(&port);
  static unsigned char block[4096];
  // The progress line goes to /dev/null while the loop runs.
  fflush(stdout);
  int savedStdout = dup(STDOUT_FILENO);
  int devNull = ::open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  for (auto _ : state)
    if (!link.writeFlash(block, 4096, 0x7000))
      state.SkipWithError("write failed");
  fflush(stdout);
  dup2(savedStdout, STDOUT_FILENO);
  ::close(savedStdout);
  ::close(devNull);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_WriteFlashBlock)->Unit(benchmark::kMillisecond);

void BM_ReadFlashBlock(benchmark::State &state) {
  Monitor monitor;
  ZySerialConnection port;
  port.open(monitor.slave());
  MonitorLink link(&port);
  static unsigned char block[4096];
  for (auto _ : state) {
    link.sendCommand("m7000,FFF");
    if (!link.readBinaryPacket(block, 4096, 2000))
      state.SkipWithError("read failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_ReadFlashBlock)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

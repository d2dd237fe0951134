// SPDX-License-Identifier: MIT
// SimController: the simulated robot controller on the master side of a
// pseudo-terminal. A thread of its own moves bytes between the pty and
// whichever of the firmware (SimFirmware, robot protocol) and the resident
// monitor (SimMonitor) holds the line, emulates the serial line (speed
// mismatch turns bytes into noise; optionally, wire time at the line's
// speed) and keeps the memory in its state file.
#ifndef SIMCONTROLLER_H
#define SIMCONTROLLER_H

#include "SimFirmware.h"
#include "SimMemory.h"
#include "SimMonitor.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimOptions {
  /// The resident monitor's speed in bit/s.
  int baud = 115200;
  /// The controller runs its ORVEX firmware beside the monitor: it speaks
  /// the robot protocol at robotBaud, hands the line to the monitor on
  /// command 255 and takes it back after "FK". When false, the firmware
  /// never answers: the monitor holds the line from start to end.
  bool robotProtocol = false;
  /// With robotProtocol: start in the monitor (as just after command 255)
  /// instead of the firmware.
  bool startInMonitor = false;
  /// The firmware's host speed at start and whenever it takes the line
  /// back, in bit/s: 9600, 19200, 38400, 57600 or 115200.
  int robotBaud = 9600;
  /// The CONFIG packet tells the host that it may change the speed
  /// (ResetBaud 2); otherwise ResetBaud is 0 and the host keeps it.
  bool resetBaud = false;
  /// The controller's speed on the line at start.
  int startBaud() const { return robotProtocol && !startInMonitor ? robotBaud : baud; }
  /// Emulate wire time: 10 bits per byte at the line's speed in both
  /// directions.
  bool pace = false;
  /// Make a log of what is received and answered (see setLogSink).
  bool verbose = false;
  SimIdentity identity;
  SimFaults faults;
  /// File that keeps the memory between runs; empty for none. A missing
  /// file is created from a fresh memory.
  std::string stateFile;
};

class SimController {
public:
  using LogSink = std::function<void(const std::string &line)>;

  explicit SimController(const SimOptions &options = SimOptions());
  /// Stops the thread and saves the memory.
  ~SimController();

  /// Starts serving the pty master (not owned; non-blocking mode is set).
  /// The host's speed is read from termiosFd (a slave fd kept open by the
  /// caller, or -1 to read it through the master). The first start loads
  /// the state file; false with error set when it cannot be read.
  bool start(int masterFd, int termiosFd = -1, std::string *error = nullptr);
  /// Stops the thread (within about 100 ms) and saves the memory when it
  /// changed. Bytes not yet sent are dropped. Safe to call more than once.
  void stop();
  bool running() const { return myThread.joinable(); }

  /// Consumer of log lines (when verbose); called on the controller's
  /// thread. Set before start.
  void setLogSink(LogSink sink) { myLogSink = std::move(sink); }

  /// The memory itself: use only while stopped.
  SimMemory &memory() { return myMemory; }
  /// Copies of memory, safe while running.
  std::vector<uint8_t> readMemory(uint32_t address, size_t length) const;
  std::array<uint8_t, SimMemory::PARAM_SIZE> block7() const;

  /// The controller's counters: bytes received and sent, noise and power
  /// cover firmware and monitor alike; the rest are the monitor's.
  SimStats stats() const;
  /// The monitor's command texts.
  std::vector<std::string> commandLog() const;
  /// The firmware's counters and the robot packets it received.
  SimRobotStats robotStats() const;
  std::vector<std::vector<uint8_t>> robotPacketLog() const;
  /// True while the resident monitor holds the line, false while the
  /// firmware does.
  bool inMonitor() const;
  /// The controller's speed on the line now, in bit/s.
  int lineBaud() const;
  /// The log lines made so far (the most recent 10000), when verbose.
  std::vector<std::string> logLines() const;
  /// Writes the memory to the state file now; true when there is none.
  bool saveState(std::string *error = nullptr);

  /// The speed a termios speed code stands for, in bit/s (0 for unknown).
  static int baudOf(unsigned speedCode);
  /// The termios speed code of a rate in bit/s, or 0 when there is none.
  static unsigned speedCodeOf(int baud);

  SimController(const SimController &) = delete;
  SimController &operator=(const SimController &) = delete;

private:
  void run();
  int hostBaud() const;
  void readFromHost(int64_t now);
  void dropFlushedOutput(int64_t now);
  void watchHost();
  void hostGone();
  void writeDueBytes(int64_t now);
  void queueOutput(const uint8_t *bytes, size_t length);
  void addLogLine(const std::string &line);
  void saveIfIdle(int64_t now);
  int currentBaud() const { return myInMonitor ? myOptions.baud : myFirmware.rate(); }
  void handOver(bool toMonitor);
  int64_t tickFirmware(int64_t now);

  SimOptions myOptions;
  SimMemory myMemory;
  SimMonitor myMonitor;
  SimFirmware myFirmware;
  bool myInMonitor = true;
  LogSink myLogSink;
  mutable std::mutex myMutex; // guards the monitor, memory and log while running
  std::thread myThread;
  std::atomic<bool> myStopping{false};
  int myMaster = -1;
  int myTermiosFd = -1;
  int myWakeFd = -1;
  int mySlaveFd = -1;
  int myWatchFd = -1;
  int myHostOpens = 0;
  bool myStateLoaded = false;
  int64_t myStartNs = 0;

  static constexpr size_t RING = 65536;
  // When the line from the host is free again (pacing).
  int64_t myRxLineFree = 0;
  // Bytes to send, with the time at which each has fully crossed the line.
  std::vector<uint8_t> myTxBytes;
  std::vector<int64_t> myTxDue;
  std::vector<int> myTxBaud; // the controller's speed when the byte was sent
  size_t myTxHead = 0, myTxCount = 0;
  int64_t myTxLineFree = 0;
  int64_t myTxHold = 0; // no byte leaves before this time (a paused reply)
  int64_t myNow = 0;    // time of the byte being handled
  bool myTxBlocked = false;
  int64_t myLastActivity = 0;
  long myTxDropped = 0;
  uint32_t myNoiseState = 0x9e3779b9u;
  int myLastHostBaud = -1;
  int myLastLineBaud = -1;

  std::vector<std::string> myLogLines;
  size_t myLogNext = 0;
};

#endif

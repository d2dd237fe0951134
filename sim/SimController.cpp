// SPDX-License-Identifier: MIT
// The simulated controller's thread: pty input and output, the hand-over of
// the line between firmware and monitor, line emulation (speed mismatch,
// wire time) and the state file.
#include "SimController.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const int64_t MS = 1000000;
// Longest sleep of the thread, so that a stop is seen quickly.
const int64_t MAX_WAIT = 50 * MS;
// The memory is saved after the line has been quiet this long.
const int64_t SAVE_AFTER_IDLE = 300 * MS;
// Output the host does not take for this long is dropped, as bytes sent to
// a port nobody reads are lost.
const int64_t OUTPUT_STALL_LIMIT = 500 * MS;
// How long a hung-up master is left alone before it is polled again.
const int64_t HANGUP_PAUSE = 20 * MS;
const size_t LOG_LINES_KEPT = 10000;
// With pacing, bytes from the host are read this long before the line is
// free again, so their arrival times are known in good time.
const int64_t READ_AHEAD = MS / 5;

int64_t nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/// Wire time of one byte (start bit, 8 data bits, stop bit) at the rate.
int64_t byteTime(int baud) {
  return baud > 0 ? 10 * 1000000000LL / baud : 0;
}

const struct {
  speed_t code;
  int baud;
} SPEEDS[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
              {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
              {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
              {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
              {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};

} // namespace

int SimController::baudOf(unsigned speedCode) {
  for (const auto &s : SPEEDS)
    if (s.code == speedCode)
      return s.baud;
  return 0;
}

unsigned SimController::speedCodeOf(int baud) {
  for (const auto &s : SPEEDS)
    if (s.baud == baud)
      return s.code;
  return 0;
}

SimController::SimController(const SimOptions &options)
    : myOptions(options), myMonitor(&myMemory, options.identity, options.faults),
      myFirmware(&myMemory, options.robotBaud, options.faults.silent, options.resetBaud),
      myInMonitor(!options.robotProtocol || options.startInMonitor) {
  myMonitor.setOutput([this](const uint8_t *bytes, size_t length) { queueOutput(bytes, length); });
  myMonitor.setPause([this](int ms) {
    // Bytes sent from now on leave the controller only after the pause.
    int64_t from = std::max(std::max(nowNs(), myNow), std::max(myTxLineFree, myTxHold));
    myTxHold = from + static_cast<int64_t>(ms) * MS;
    if (myOptions.pace)
      myTxLineFree = myTxHold;
  });
  myFirmware.setOutput([this](const uint8_t *bytes, size_t length) {
    myMonitor.countFirmwareOutput(length);
    queueOutput(bytes, length);
  });
}

SimController::~SimController() {
  stop();
}

bool SimController::start(int masterFd, int termiosFd, std::string *error) {
  if (running()) {
    if (error)
      *error = "The simulator is already running; stop it first";
    return false;
  }
  if (masterFd < 0) {
    if (error)
      *error = "No pty master to serve";
    return false;
  }
  if (!myStateLoaded && !myOptions.stateFile.empty()) {
    if (access(myOptions.stateFile.c_str(), F_OK) == 0) {
      if (!myMemory.loadFile(myOptions.stateFile, error))
        return false;
    } else if (!myMemory.saveFile(myOptions.stateFile, error)) {
      return false;
    }
  }
  myStateLoaded = true;

  myWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (myWakeFd < 0) {
    if (error)
      *error = std::string("Cannot make the simulator's wake-up event: ") + strerror(errno);
    return false;
  }
  myMaster = masterFd;
  mySlaveFd = termiosFd;
  myTermiosFd = termiosFd >= 0 ? termiosFd : masterFd;
  // Opens and closes of the slave by the host are watched, so that output
  // nobody is there to read is dropped as a line would drop it.
  myHostOpens = 0;
  myWatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  char slaveName[256];
  if (myWatchFd >= 0 && (ptsname_r(masterFd, slaveName, sizeof(slaveName)) != 0 ||
                         inotify_add_watch(myWatchFd, slaveName, IN_OPEN | IN_CLOSE) < 0)) {
    ::close(myWatchFd);
    myWatchFd = -1;
  }
  fcntl(myMaster, F_SETFL, fcntl(myMaster, F_GETFL) | O_NONBLOCK);
  int packetMode = 1;
  if (ioctl(myMaster, TIOCPKT, &packetMode) != 0) {
    if (error)
      *error = std::string("Cannot put the pty master in packet mode: ") + strerror(errno);
    ::close(myWakeFd);
    myWakeFd = -1;
    return false;
  }
  if (myTxBytes.empty()) {
    myTxBytes.resize(RING);
    myTxDue.resize(RING);
    myTxBaud.resize(RING);
  }
  myTxHead = myTxCount = 0;
  myRxLineFree = myTxLineFree = 0;
  myTxBlocked = false;
  myStartNs = nowNs();
  myLastActivity = myStartNs;

  if (myOptions.verbose) {
    myMonitor.setLogSink([this](const std::string &line) { addLogLine(line); });
    myFirmware.setLogSink([this](const std::string &line) { addLogLine(line); });
  }
  myStopping = false;
  myThread = std::thread([this] { run(); });
  return true;
}

void SimController::stop() {
  if (myThread.joinable()) {
    myStopping = true;
    uint64_t one = 1;
    if (::write(myWakeFd, &one, sizeof(one)) < 0) {
      // The thread still sees the flag within its longest sleep.
    }
    myThread.join();
  }
  if (myWakeFd >= 0) {
    ::close(myWakeFd);
    myWakeFd = -1;
  }
  if (myWatchFd >= 0) {
    ::close(myWatchFd);
    myWatchFd = -1;
  }
  {
    std::lock_guard<std::mutex> lock(myMutex);
    myMonitor.flushLog();
    myFirmware.flushLog();
  }
  if (myMonitor.memoryDirty()) {
    std::string error;
    if (saveState(&error))
      myMonitor.clearDirty();
    else
      addLogLine("** " + error);
  }
}

std::vector<uint8_t> SimController::readMemory(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lock(myMutex);
  std::vector<uint8_t> out(length);
  if (!myMemory.read(address, out.data(), length))
    out.clear();
  return out;
}

std::array<uint8_t, SimMemory::PARAM_SIZE> SimController::block7() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return myMemory.block7();
}

SimStats SimController::stats() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return myMonitor.stats();
}

std::vector<std::string> SimController::commandLog() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return myMonitor.commandLog();
}

SimRobotStats SimController::robotStats() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return myFirmware.stats();
}

std::vector<std::vector<uint8_t>> SimController::robotPacketLog() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return myFirmware.packetLog();
}

bool SimController::inMonitor() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return myInMonitor;
}

int SimController::lineBaud() const {
  std::lock_guard<std::mutex> lock(myMutex);
  return currentBaud();
}

// Called with the mutex held, right after the byte that asked for it.
void SimController::handOver(bool toMonitor) {
  myMonitor.flushLog();
  myFirmware.flushLog();
  myInMonitor = toMonitor;
  myMonitor.resetLine();
  if (toMonitor) {
    if (myOptions.verbose)
      addLogLine("   the resident monitor holds the line at " + std::to_string(myOptions.baud) +
                 " bit/s");
  } else {
    myFirmware.restart(myOptions.robotBaud);
    if (myOptions.verbose)
      addLogLine("   the firmware holds the line again at " + std::to_string(myOptions.robotBaud) +
                 " bit/s, waiting for SYNC0");
  }
}

int64_t SimController::tickFirmware(int64_t now) {
  if (!myOptions.robotProtocol)
    return INT64_MAX;
  std::lock_guard<std::mutex> lock(myMutex);
  if (myInMonitor || myMonitor.poweredOff())
    return INT64_MAX;
  // Status packets nobody has the port open for are lost on the line.
  bool listening = myWatchFd < 0 || myHostOpens > 0;
  myNow = now;
  return myFirmware.tick(now, listening);
}

std::vector<std::string> SimController::logLines() const {
  std::lock_guard<std::mutex> lock(myMutex);
  std::vector<std::string> out;
  if (myLogLines.size() < LOG_LINES_KEPT)
    return myLogLines;
  for (size_t i = 0; i < myLogLines.size(); i++)
    out.push_back(myLogLines[(myLogNext + i) % myLogLines.size()]);
  return out;
}

bool SimController::saveState(std::string *error) {
  if (myOptions.stateFile.empty())
    return true;
  std::lock_guard<std::mutex> lock(myMutex);
  return myMemory.saveFile(myOptions.stateFile, error);
}

// Called with the mutex held, or after the thread has ended.
void SimController::addLogLine(const std::string &line) {
  char stamp[32];
  snprintf(stamp, sizeof(stamp), "[%9.3f] ", static_cast<double>(nowNs() - myStartNs) / 1e9);
  std::string full = stamp + line;
  if (myLogSink)
    myLogSink(full);
  if (myLogLines.size() < LOG_LINES_KEPT) {
    myLogLines.push_back(full);
  } else {
    myLogLines[myLogNext] = full;
    myLogNext = (myLogNext + 1) % LOG_LINES_KEPT;
  }
}

int SimController::hostBaud() const {
  struct termios tio;
  if (tcgetattr(myTermiosFd, &tio) != 0)
    return 0;
  return baudOf(static_cast<unsigned>(cfgetospeed(&tio)));
}

void SimController::run() {
  if (myOptions.pace) {
    // Wake-ups a few microseconds late would add up over thousands of
    // turn-arounds; ask for tight timers on this thread.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  }
  int64_t hangupUntil = 0;
  int64_t stalledSince = 0;
  while (!myStopping) {
    int64_t now = nowNs();
    // While the line is still carrying bytes already read, more bytes from
    // the host can only arrive after them: reading them later changes
    // nothing and saves a wake-up per byte.
    bool lineBusy = myRxLineFree - READ_AHEAD > now;
    if (now >= hangupUntil && !lineBusy)
      readFromHost(now);
    size_t before = myTxCount;
    int64_t nextStatus = tickFirmware(nowNs());
    writeDueBytes(nowNs());
    now = nowNs();
    if (myTxBlocked && myTxCount == before) {
      if (stalledSince == 0)
        stalledSince = now;
      else if (now - stalledSince > OUTPUT_STALL_LIMIT) {
        std::lock_guard<std::mutex> lock(myMutex);
        if (myOptions.verbose)
          addLogLine("-> host is not reading: " + std::to_string(myTxCount) +
                     " byte(s) of output dropped");
        myTxDropped += static_cast<long>(myTxCount);
        myTxCount = 0;
        myTxBlocked = false;
        stalledSince = 0;
      }
    } else {
      stalledSince = 0;
    }
    saveIfIdle(now);

    int64_t next = std::min(now + MAX_WAIT, nextStatus);
    lineBusy = myRxLineFree - READ_AHEAD > now;
    if (lineBusy)
      next = std::min(next, myRxLineFree - READ_AHEAD);
    if (myTxCount > 0 && !myTxBlocked)
      next = std::min(next, myTxDue[myTxHead]);
    if (myTxBlocked)
      next = std::min(next, now + 10 * MS);
    int64_t wait = std::max<int64_t>(0, next - now);

    struct pollfd fds[3];
    short events = 0;
    if (!lineBusy)
      events |= POLLIN;
    if (myTxBlocked)
      events |= POLLOUT;
    fds[0].fd = (now >= hangupUntil && events != 0) ? myMaster : -1;
    fds[0].events = events;
    fds[0].revents = 0;
    fds[1].fd = myWakeFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    fds[2].fd = myWatchFd;
    fds[2].events = POLLIN;
    fds[2].revents = 0;
    struct timespec ts = {static_cast<time_t>(wait / 1000000000),
                          static_cast<long>(wait % 1000000000)};
    int ready = ppoll(fds, 3, &ts, nullptr);
    if (ready > 0 && (fds[2].revents & POLLIN))
      watchHost();
    if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
      // Nobody holds the slave open: nothing to do until someone does.
      hangupUntil = nowNs() + HANGUP_PAUSE;
    }
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      uint64_t value;
      if (::read(myWakeFd, &value, sizeof(value)) < 0) {
        // Nothing to clear.
      }
    }
  }
}

void SimController::readFromHost(int64_t now) {
  // In packet mode every read starts with a status byte: 0 before data, or
  // flags such as "the host flushed its input".
  uint8_t packet[4097];
  ssize_t got = ::read(myMaster, packet, sizeof(packet));
  if (got <= 0)
    return;
  if (packet[0] != TIOCPKT_DATA) {
    if (packet[0] & TIOCPKT_FLUSHREAD)
      dropFlushedOutput(now);
    return;
  }
  const uint8_t *buffer = packet + 1;
  ssize_t n = got - 1;
  if (n <= 0)
    return;
  int host = hostBaud();
  int64_t perByte = byteTime(host > 0 ? host : myOptions.baud);
  // Each byte is handled at once, stamped with the time its last bit
  // arrives: the answer is timed from that stamp, never from the moment it
  // was handled, so handling early changes no timing.
  std::lock_guard<std::mutex> lock(myMutex);
  for (ssize_t i = 0; i < n && !myMonitor.poweredOff(); i++) {
    // The controller's speed can change with any byte (command 255, a host
    // baud change, "FK"), so each byte is judged by the speed it meets.
    int line = currentBaud();
    bool mismatch = host != line;
    if (host != myLastHostBaud || line != myLastLineBaud) {
      myLastHostBaud = host;
      myLastLineBaud = line;
      if (myOptions.verbose) {
        myMonitor.flushLog();
        myFirmware.flushLog();
        char text[160];
        snprintf(text, sizeof(text), "   host port at %d bit/s, %s at %d bit/s%s", host,
                 myInMonitor ? "monitor" : "firmware", line,
                 mismatch ? ": the bytes arrive as noise" : "");
        addLogLine(text);
      }
    }
    myNow = now;
    if (myOptions.pace) {
      myNow = std::max(now, myRxLineFree) + perByte;
      myRxLineFree = myNow;
    }
    uint8_t byte = mismatch ? SimMonitor::noiseByte(myNoiseState) : buffer[i];
    if (myInMonitor) {
      myMonitor.receive(byte, mismatch);
      if (myMonitor.takeLeaveRequest() && myOptions.robotProtocol)
        handOver(false);
    } else {
      myFirmware.receive(byte, mismatch, myNow);
      myMonitor.countFirmwareByte(mismatch);
      if (myFirmware.takeHandOver())
        handOver(true);
    }
    if (myMonitor.poweredOff()) {
      // Power is gone: what was still on its way out is lost.
      myTxCount = 0;
      myTxBlocked = false;
    }
  }
  myLastActivity = now;
}

void SimController::watchHost() {
  alignas(struct inotify_event) char events[4096];
  for (int rounds = 0; rounds < 64; rounds++) {
    ssize_t n = ::read(myWatchFd, events, sizeof(events));
    if (n <= 0)
      return;
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event *e = reinterpret_cast<const struct inotify_event *>(events + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      if (e->mask & IN_OPEN) {
        myHostOpens++;
        if (myOptions.verbose && myHostOpens == 1) {
          std::lock_guard<std::mutex> lock(myMutex);
          myMonitor.flushLog();
          addLogLine("   host opened the port");
        }
      } else if (e->mask & IN_CLOSE) {
        if (myHostOpens > 0)
          myHostOpens--;
        if (myHostOpens == 0)
          hostGone();
      }
    }
  }
}

void SimController::hostGone() {
  // Nobody listens: what is on its way out, or waiting unread in the
  // port, is lost.
  std::lock_guard<std::mutex> lock(myMutex);
  size_t dropped = myTxCount;
  myTxCount = 0;
  myTxBlocked = false;
  if (mySlaveFd >= 0)
    tcflush(mySlaveFd, TCIFLUSH);
  if (myOptions.verbose) {
    myMonitor.flushLog();
    addLogLine(
        "   host closed the port" +
        (dropped > 0 ? ": " + std::to_string(dropped) + " byte(s) of output lost" : std::string()));
  }
}

void SimController::dropFlushedOutput(int64_t now) {
  // Whatever would have reached the host by now is gone with its flush;
  // bytes still on their way (when pacing) arrive after it, as on a line.
  std::lock_guard<std::mutex> lock(myMutex);
  size_t dropped = 0;
  while (myTxCount > 0 && myTxDue[myTxHead] <= now) {
    myTxHead = (myTxHead + 1) % RING;
    myTxCount--;
    dropped++;
  }
  myTxBlocked = false;
  if (myOptions.verbose) {
    myMonitor.flushLog();
    addLogLine(
        "   host flushed its input" +
        (dropped > 0 ? ": " + std::to_string(dropped) + " byte(s) of output gone" : std::string()));
  }
}

// Called by the monitor or the firmware, with the mutex held, for every
// byte it sends.
void SimController::queueOutput(const uint8_t *bytes, size_t length) {
  int baud = currentBaud();
  int64_t perByte = byteTime(baud);
  for (size_t i = 0; i < length; i++) {
    if (myTxCount >= RING) {
      myTxDropped++;
      continue;
    }
    size_t slot = (myTxHead + myTxCount) % RING;
    int64_t due = 0;
    if (myOptions.pace) {
      // A byte leaves once the line is free and has fully arrived one byte
      // time later; the reply to a packet starts when its last byte is in.
      due = std::max(myNow, myTxLineFree) + perByte;
      myTxLineFree = due;
    }
    if (due < myTxHold)
      due = myTxHold;
    myTxBytes[slot] = bytes[i];
    myTxDue[slot] = due;
    myTxBaud[slot] = baud;
    myTxCount++;
  }
}

void SimController::writeDueBytes(int64_t now) {
  if (myTxCount == 0)
    return;
  uint8_t buffer[4096];
  size_t count = 0;
  while (count < sizeof(buffer) && count < myTxCount) {
    size_t slot = (myTxHead + count) % RING;
    if (myTxDue[slot] > now)
      break;
    buffer[count++] = myTxBytes[slot];
  }
  if (count == 0)
    return;
  // A byte sent at another speed than the host listens at arrives as noise.
  int host = hostBaud();
  for (size_t i = 0; i < count; i++)
    if (myTxBaud[(myTxHead + i) % RING] != host)
      buffer[i] = SimMonitor::noiseByte(myNoiseState);
  ssize_t n = ::write(myMaster, buffer, count);
  if (n < 0) {
    myTxBlocked = (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    if (!myTxBlocked) {
      // The pty is gone (EIO): the bytes are lost as on a dead line.
      myTxDropped += static_cast<long>(count);
      myTxHead = (myTxHead + count) % RING;
      myTxCount -= count;
    }
    return;
  }
  myTxHead = (myTxHead + static_cast<size_t>(n)) % RING;
  myTxCount -= static_cast<size_t>(n);
  myTxBlocked = static_cast<size_t>(n) < count;
  myLastActivity = now;
}

void SimController::saveIfIdle(int64_t now) {
  if (myOptions.stateFile.empty() || myTxCount > 0 || now - myLastActivity < SAVE_AFTER_IDLE)
    return;
  std::lock_guard<std::mutex> lock(myMutex);
  if (!myMonitor.memoryDirty())
    return;
  std::string error;
  if (myMemory.saveFile(myOptions.stateFile, &error)) {
    myMonitor.clearDirty();
    if (myOptions.verbose)
      addLogLine("   memory saved to " + myOptions.stateFile);
  } else {
    addLogLine("** " + error);
    myLastActivity = now; // try again after the next quiet spell
  }
}

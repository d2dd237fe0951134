// SPDX-License-Identifier: MIT
// libFuzzer target for the simulator's readers of what the host sends: the
// resident monitor's command decoder and commands, the firmware's robot
// packet decoder and handshake, and the program's command line. Whatever
// comes in, what the simulator sends back must stay well framed: monitor
// replies decode as "+", "-" or reply packets with a good checksum, and
// every firmware packet carries a good checksum.
//
// Input: byte 0 picks the reader and its settings; the rest is the bytes
// from the host (or the command line, arguments separated by NUL).
#include "SimCommandLine.h"
#include "SimFirmware.h"
#include "SimFraming.h"
#include "SimMemory.h"
#include "SimMonitor.h"
#include "SimRobotFraming.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
void check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_sim_readers: %s\n", what);
    abort();
  }
}

SimMemory &memory() {
  static SimMemory m;
  return m;
}

// A monitor and a firmware are large (rings of past commands and packets),
// too large to build for every input. One of each kind serves every
// input: what they act on is put back first (memory, line state, the
// clock), and what they keep besides (counters, logs of past commands and
// packets) does not change how they answer. Faults that fire on every
// matching command do not depend on those counters either; only the
// power loss after a number of bytes needs a monitor of its own.
SimFaults faultsFor(uint8_t control) {
  SimFaults faults;
  if (control & 0x02) {
    if (control & 0x04)
      faults.dropAck.parse("FW:*");
    if (control & 0x08)
      faults.refuse.parse("FE:*");
  }
  return faults;
}

SimMonitor &sharedMonitor(uint8_t control) {
  static SimMonitor monitors[4] = {
      {&memory(), SimIdentity(), faultsFor(0x00)},
      {&memory(), SimIdentity(), faultsFor(0x06)},
      {&memory(), SimIdentity(), faultsFor(0x0A)},
      {&memory(), SimIdentity(), faultsFor(0x0E)},
  };
  return monitors[(control & 0x02) ? (control >> 2) & 3 : 0];
}

SimFirmware &plainFirmware(bool resetBaud) {
  static SimFirmware keep(&memory(), 9600, false, false);
  static SimFirmware reset(&memory(), 9600, false, true);
  return resetBaud ? reset : keep;
}

void runMonitor(SimMonitor &monitor, uint8_t control, const uint8_t *data, size_t size) {
  CommandDecoder replies;
  long events = 0;
  monitor.setOutput([&](const uint8_t *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      CommandDecoder::Event e = replies.feed(bytes[i]);
      check(e == CommandDecoder::NONE || e == CommandDecoder::COMMAND ||
                e == CommandDecoder::PLUS || e == CommandDecoder::MINUS,
            "monitor sent a malformed reply");
      events += e != CommandDecoder::NONE;
    }
  });
  size_t lines = 0;
  if (control & 0x20)
    monitor.setLogSink([&](const std::string &) { ++lines; });
  else
    monitor.setLogSink(nullptr);
  long received = monitor.stats().bytesReceived;
  for (size_t i = 0; i < size; ++i) {
    monitor.receive(data[i], (control & 0x40) != 0 && data[i] == 0x00);
    if (monitor.takeLeaveRequest())
      monitor.resetLine();
  }
  monitor.flushLog();
  check(!replies.inPacket(), "monitor left a reply unfinished");
  // Each reply answers a command or a byte of one.
  check(events <= static_cast<long>(2 * size), "monitor sent more replies than it had bytes");
  check(monitor.stats().bytesReceived - received <= static_cast<long>(size),
        "monitor counted unseen bytes");
  monitor.setOutput(nullptr);
  monitor.setLogSink(nullptr);
}

// A fresh memory for every input, copied rather than generated anew.
void freshMemory() {
  static const SimMemory fresh;
  memory() = fresh;
}

void monitor(uint8_t control, const uint8_t *data, size_t size) {
  freshMemory();
  if ((control & 0x12) != 0x12) {
    SimMonitor &m = sharedMonitor(control);
    m.resetLine();
    m.takeLeaveRequest();
    m.clearDirty();
    runMonitor(m, control, data, size);
    return;
  }
  SimFaults faults = faultsFor(control);
  faults.dieAfterBytes = static_cast<long>(size / 2);
  SimMonitor m(&memory(), SimIdentity(), faults);
  runMonitor(m, control, data, size);
}

void firmware(uint8_t control, const uint8_t *data, size_t size) {
  static const int rates[4] = {9600, 19200, 38400, 115200};
  freshMemory();
  SimFirmware &fw = plainFirmware((control & 0x04) != 0);
  fw.restart(rates[(control >> 1) & 1]);
  RobotPacketDecoder sent;
  fw.setOutput([&](const uint8_t *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      RobotPacketDecoder::Event e = sent.feed(bytes[i]);
      check(e == RobotPacketDecoder::NONE || e == RobotPacketDecoder::PACKET,
            "firmware sent a malformed packet");
    }
  });
  size_t lines = 0;
  if (control & 0x20)
    fw.setLogSink([&](const std::string &) { ++lines; });
  else
    fw.setLogSink(nullptr);
  // Bytes arrive 1 ms apart; a byte 0x00 with bit 0x10 set stands for a
  // second's silence, so status packets and time-outs come into play. The
  // clock only goes forward, and each input starts a minute after the last.
  static int64_t now = 1000000000LL;
  now += 60 * 1000000000LL;
  for (size_t i = 0; i < size; ++i) {
    if ((control & 0x10) && data[i] == 0x00) {
      now += 1000000000LL;
      fw.tick(now, true);
      continue;
    }
    now += 1000000LL;
    fw.receive(data[i], (control & 0x40) != 0 && data[i] == 0xFF, now);
    fw.tick(now, (control & 0x08) == 0);
    if (fw.takeHandOver())
      fw.restart(rates[0]);
  }
  fw.flushLog();
  check(!sent.inPacket(), "firmware left a packet unfinished");
  fw.setOutput(nullptr);
  fw.setLogSink(nullptr);
}

void commandLine(const uint8_t *data, size_t size) {
  std::vector<std::string> words(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      words.emplace_back();
    else
      words.back() += static_cast<char>(data[i]);
  }
  std::vector<const char *> argv;
  for (const std::string &w : words)
    argv.push_back(w.c_str());
  argv.push_back(nullptr);
  SimCommandLine line;
  std::string error;
  if (!parseSimCommandLine(static_cast<int>(words.size()), argv.data(), line, error))
    check(!error.empty(), "command line refused without saying why");
  // A trigger that parses is switched on, and its plain form
  // "PREFIX:N" or "PREFIX:*" parses to the same trigger.
  SimFaultTrigger trigger;
  if (trigger.parse(words[0])) {
    check(trigger.enabled(), "a parsed fault trigger is off");
    SimFaultTrigger again;
    std::string count = trigger.occurrence == SimFaultTrigger::EVERY
                            ? std::string("*")
                            : std::to_string(trigger.occurrence);
    check(again.parse(trigger.prefix + ":" + count) && again.prefix == trigger.prefix &&
              again.occurrence == trigger.occurrence,
          "a fault trigger's plain form parses to another trigger");
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  switch (data[0] >> 7 | (data[0] & 0x01) << 1) {
  case 0:
  case 1:
    monitor(data[0], data + 1, size - 1);
    break;
  case 2:
    firmware(data[0], data + 1, size - 1);
    break;
  default:
    commandLine(data + 1, size - 1);
    break;
  }
  return 0;
}

// SPDX-License-Identifier: MIT
// libFuzzer target for the monitor link's readers: reply packets, binary
// replies, the acknowledgement of a command and the replies of a FLASH
// write, all reading from a scripted device whose bytes and pauses come
// from the input, on a simulated clock.
//
// Input: byte 0 picks four operations (two bits each), byte 1 the buffer
// lengths, byte 2 the caller's wait; the rest is the device's script.
#include "MonitorLink.h"
#include "ScriptedDevice.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {
void check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_monitor_link: %s\n", what);
    abort();
  }
}

const int kTextLengths[8] = {0, 1, 2, 3, 8, 33, 255, MonitorLink::MAX_REPLY_TEXT};
const int kBinaryLengths[8] = {0, 1, 2, 5, 16, 128, 2048, MonitorLink::MAX_PACKET_TEXT / 2};
const char *const kCommands[4] = {"V", "FE3", "FR3000,80", "a$b#c}d"};

// The packet a command goes out as: "$", the text with "$", "#" and "}"
// escaped, "#", two lower-case checksum digits.
std::string frame(const char *text) {
  std::string body;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '$' || *p == '#' || *p == '}') {
      body += '}';
      body += static_cast<char>(*p ^ 0x20);
    } else {
      body += *p;
    }
  }
  unsigned sum = 0;
  for (char c : body)
    sum += static_cast<unsigned char>(c);
  char digits[3];
  snprintf(digits, sizeof digits, "%02x", sum & 0xFF);
  return "$" + body + "#" + digits;
}

// A reader may spend the caller's wait, the quiet time the script asked
// for, a bounded time per byte it took and, at most, one per-character
// wait (taken as at most 100 ms) for each position its reply buffers have
// room for; a line gone quiet must end the read within that.
void checkTime(long long start, const ScriptedDevice &device, size_t bytesBefore, long pausesBefore,
               long msWait, long positions) {
  long long spent = SimulatedClock::now() - start;
  long long allowed = msWait + 5000 + (device.pausesPlayed() - pausesBefore) +
                      100LL * static_cast<long long>(device.bytesRead() - bytesBefore) +
                      100LL * (positions + 4);
  check(spent <= allowed, "a read waited far longer than the line was quiet");
}

// Only acknowledgements answer a reply.
void checkAnswer(const std::string &written) {
  check(written.size() <= 1, "more than one byte sent to answer a reply");
  check(written.empty() || written == "+" || written == "-", "a reply answered with a non-ack");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
    // writeFlash reports its progress on standard output.
    return freopen("/dev/null", "w", stdout) != nullptr;
  }();
  (void)ready;
  if (size < 3)
    return 0;
  SimulatedClock::install();
  ScriptedDevice device(data + 3, size - 3);
  // The link holds 19 KB of buffers; on the heap, so overruns are caught.
  std::unique_ptr<MonitorLink> link(new MonitorLink(&device));
  int textLength = kTextLengths[data[1] & 7];
  int binaryLength = kBinaryLengths[(data[1] >> 3) & 7];
  long msWait = data[2] < 0xF0 ? data[2] * 10L : 0;

  for (int k = 0; k < 4 && !device.exhausted(); ++k) {
    int op = (data[0] >> (2 * k)) & 3;
    long long start = SimulatedClock::now();
    size_t bytesBefore = device.bytesRead();
    // Bytes the link has taken: read from the device and not still held
    // in its read-ahead.
    size_t takenBefore = bytesBefore - static_cast<size_t>(link->bufferedInput());
    long pausesBefore = device.pausesPlayed();
    long allowance = msWait;
    long positions = 0;
    device.clearWritten();
    switch (op) {
    case 0: {
      // A guard after the buffer catches a write past maxLength + 1.
      std::unique_ptr<char[]> buffer(new char[textLength + 1 + 8]);
      memset(buffer.get(), 0x55, textLength + 1 + 8);
      bool ok = link->readPacket(buffer.get(), textLength, static_cast<int>(msWait));
      positions = textLength;
      check(strnlen(buffer.get(), textLength + 1) <= static_cast<size_t>(textLength),
            "reply not terminated within the buffer");
      for (int i = textLength + 1; i < textLength + 1 + 8; ++i)
        check(buffer[i] == 0x55, "reply written past its buffer");
      checkAnswer(device.written());
      if (device.written() == "-")
        check(!ok, "a reply answered with '-' was taken as good");
      break;
    }
    case 1: {
      std::unique_ptr<unsigned char[]> buffer(new unsigned char[binaryLength + 1]);
      (void)link->readBinaryPacket(buffer.get(), binaryLength, static_cast<int>(msWait));
      positions = 2L * binaryLength;
      checkAnswer(device.written());
      break;
    }
    case 2: {
      const char *text = kCommands[(data[1] >> 6) & 3];
      bool ok = link->sendCommand(text);
      check(device.written() == frame(text), "command framed wrongly");
      check(device.writes() == 1, "command not written at once");
      // An acknowledgement is a "+" that arrived; one was taken for it.
      if (ok)
        check(device.bytesRead() - static_cast<size_t>(link->bufferedInput()) > takenBefore,
              "command taken as acknowledged with no reply");
      allowance = 1000;
      break;
    }
    case 3: {
      unsigned char image[300];
      for (size_t i = 0; i < sizeof image; ++i)
        image[i] = static_cast<unsigned char>(i * 7);
      int length = 1 + data[1];
      (void)link->writeFlash(image, length, 0x1000);
      // Each piece of at most 128 bytes: one framed command, written at
      // once, and its answer.
      check(device.written().size() <= static_cast<size_t>(3 * 280),
            "FLASH write sent more than its pieces");
      check(device.writes() <= 3 * 2, "FLASH write piece not written at once");
      allowance = 3 * 2000L; // an acknowledgement and a reply per piece
      positions = 3L * MonitorLink::MAX_REPLY_TEXT;
      break;
    }
    }
    checkTime(start, device, bytesBefore, pausesBefore, allowance, positions);
  }
  SimulatedClock::uninstall();
  return 0;
}

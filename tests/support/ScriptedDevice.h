// SPDX-License-Identifier: MIT
// ScriptedDevice: an in-memory device connection that plays a script of
// incoming bytes, with pauses between them, on a simulated clock. Nothing
// really waits: a read that would time out moves the clock on by its wait
// and returns at once. Fuzz targets and tests of the readers use it where
// speed matters more than a real serial line.
//
// Script: every byte is delivered as it is, except PAUSE (0x7E):
//   PAUSE PAUSE  one byte 0x7E
//   PAUSE n      the line stays quiet before the next byte: n ms for n up
//                to 0x7F, (n - 0x7F) * 50 ms above (50 ms to 6.4 s)
//   a PAUSE that ends the script is one byte 0x7E.
// Once the script is played the line stays quiet for ever.
#ifndef SCRIPTEDDEVICE_H
#define SCRIPTEDDEVICE_H

#include "ZyDeviceConnection.h"
#include "ZyTime.h"

#include <cstddef>
#include <cstdint>
#include <string>

/// The simulated clock every ZyTime reads once installed.
class SimulatedClock {
public:
  /// Makes ZyTime read this clock; restarts it at a fixed time.
  static void install() {
    nowMs() = START_MS;
    ZyTime::setClock(&read);
  }
  /// Goes back to the time of day.
  static void uninstall() { ZyTime::setClock(nullptr); }
  static void advance(long ms) { nowMs() += ms; }
  static long long now() { return nowMs(); }

private:
  static constexpr long long START_MS = 1700000000000LL;
  static long long &nowMs() {
    static long long ms = START_MS;
    return ms;
  }
  static void read(time_t *sec, long *msec) {
    *sec = static_cast<time_t>(nowMs() / 1000);
    *msec = static_cast<long>(nowMs() % 1000);
  }
};

class ScriptedDevice : public ZyDeviceConnection {
public:
  static const unsigned char PAUSE = 0x7E;

  /// The script is not copied: it must outlive the device.
  ScriptedDevice(const uint8_t *script, size_t length) : myScript(script), myLength(length) {}

  /// The script form of the given bytes: every PAUSE doubled.
  static std::string escape(const std::string &bytes) {
    std::string out;
    for (char c : bytes) {
      out += c;
      if (static_cast<unsigned char>(c) == PAUSE)
        out += c;
    }
    return out;
  }
  /// The script form of a quiet stretch of ms milliseconds (rounded up to
  /// what the script can express).
  static std::string pause(long ms) {
    std::string out;
    while (ms > 0) {
      unsigned char n;
      if (ms <= 0x7F) {
        n = static_cast<unsigned char>(ms);
        ms = 0;
      } else {
        long steps = (ms + 49) / 50;
        if (steps > 0x80)
          steps = 0x80;
        n = static_cast<unsigned char>(0x7F + steps);
        ms -= steps * 50;
      }
      out += static_cast<char>(PAUSE);
      out += static_cast<char>(n);
    }
    return out;
  }

  int read(char *buffer, unsigned int size, unsigned int msWait = 0) override {
    if (!myOpen)
      return -1;
    if (size == 0)
      return 0;
    takePauses();
    // A read costs at least a millisecond, so a loop polling a quiet line
    // sees time pass as it would on a real one.
    long wait = msWait == 0 ? 1 : static_cast<long>(msWait);
    if (myPos >= myLength || myPauseLeft > wait) {
      SimulatedClock::advance(wait);
      if (myPos < myLength) {
        myPauseLeft -= wait;
        myPausesPlayed += wait;
      }
      ++myTimeOuts;
      return 0;
    }
    SimulatedClock::advance(myPauseLeft);
    myPausesPlayed += myPauseLeft;
    myPauseLeft = 0;
    unsigned int got = 0;
    while (got < size && myPos < myLength) {
      unsigned char c = myScript[myPos];
      if (c == PAUSE && myPos + 1 < myLength) {
        if (myScript[myPos + 1] != PAUSE)
          break;
        ++myPos;
      }
      buffer[got++] = static_cast<char>(c);
      ++myPos;
    }
    myBytesRead += got;
    return static_cast<int>(got);
  }

  int write(const char *buffer, unsigned int size) override {
    if (!myOpen)
      return -1;
    if (size > myWriteLimit)
      size = myWriteLimit;
    myWritten.append(buffer, size);
    ++myWrites;
    return static_cast<int>(size);
  }
  int status() override { return myOpen ? STATUS_OPEN : STATUS_CLOSED_NORMALLY; }
  bool openDefault() override {
    myOpen = true;
    return true;
  }
  bool close() override {
    myOpen = false;
    return true;
  }
  const char *openErrorText(int) override { return "scripted device"; }
  ZyTime readTimeStamp(int) override { return ZyTime(); }
  bool timeStampingOn() override { return false; }

  /// The whole script has been delivered.
  bool exhausted() {
    takePauses();
    return myPos >= myLength;
  }
  /// Lets the quiet time before the next byte pass at once, as for a
  /// caller that does something else until the line speaks again.
  void skipPause() {
    takePauses();
    SimulatedClock::advance(myPauseLeft);
    myPausesPlayed += myPauseLeft;
    myPauseLeft = 0;
  }
  /// Bytes delivered so far, quiet time the script asked for so far, and
  /// reads that timed out.
  size_t bytesRead() const { return myBytesRead; }
  long pausesPlayed() const { return myPausesPlayed; }
  long timeOuts() const { return myTimeOuts; }
  /// Everything written to the device, and the writes it came in;
  /// clearWritten empties both.
  const std::string &written() const { return myWritten; }
  size_t writes() const { return myWrites; }
  /// Each write takes at most limit bytes (0: none) and says how many.
  void setWriteLimit(unsigned int limit) { myWriteLimit = limit; }
  void clearWritten() {
    myWritten.clear();
    myWrites = 0;
  }

private:
  // Turns the pause markers at the read position into quiet time.
  void takePauses() {
    while (myPos + 1 < myLength && myScript[myPos] == PAUSE && myScript[myPos + 1] != PAUSE) {
      unsigned char n = myScript[myPos + 1];
      myPauseLeft += n <= 0x7F ? n : (n - 0x7F) * 50L;
      myPos += 2;
    }
  }

  const uint8_t *myScript;
  size_t myLength;
  size_t myPos = 0;
  long myPauseLeft = 0;
  bool myOpen = true;
  size_t myBytesRead = 0;
  long myPausesPlayed = 0;
  long myTimeOuts = 0;
  std::string myWritten;
  size_t myWrites = 0;
  unsigned int myWriteLimit = ~0u;
};

#endif

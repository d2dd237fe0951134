// SPDX-License-Identifier: MIT
// ZyTime: a wall-clock time stamp in seconds and milliseconds, with which
// every time-out of the library and the utility is measured.
#ifndef ZYTIME_H
#define ZYTIME_H

#include <ctime>

class ZyTime {
public:
  /// A stamp of the current time.
  ZyTime() { setToNow(); }
  /// Sets the stamp to the current time of day.
  void setToNow();
  /// Moves the stamp by ms milliseconds (negative moves it back).
  void addMsec(long ms);
  /// Milliseconds from this stamp to now (positive when the stamp is past).
  long msSince() const;
  /// Milliseconds from now to this stamp (positive when it lies ahead).
  long msTo() const;
  /// Milliseconds from this stamp to the other one.
  long msUntil(const ZyTime &other) const;

  /// A source of the current time: seconds and milliseconds.
  using Clock = void (*)(time_t *sec, long *msec);
  /// Makes setToNow (and so every time-out) read the given clock instead of
  /// the time of day; nullptr goes back to the time of day. For fuzz
  /// targets that run time-outs on a simulated clock; set it before any
  /// thread measures time.
  static void setClock(Clock clock);

  time_t getSec() const { return mySec; }
  long getMSec() const { return myMSec; }
  void setSec(time_t sec) { mySec = sec; }
  void setMSec(long msec) { myMSec = msec; }

private:
  time_t mySec = 0;
  long myMSec = 0;
};

#endif

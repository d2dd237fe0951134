// SPDX-License-Identifier: MIT
// Wall-clock time stamps and millisecond arithmetic for time-outs.
#include "ZyTime.h"

#include "ZyLog.h"

#include <cstdint>
#include <sys/time.h>

namespace {
// Differences are formed in 32-bit wrap-around arithmetic, which is exact
// for stamps less than about 24 days apart.
long diffMs(time_t fromSec, long fromMs, time_t toSec, long toMs) {
  uint32_t from = static_cast<uint32_t>(fromSec) * 1000u + static_cast<uint32_t>(fromMs);
  uint32_t to = static_cast<uint32_t>(toSec) * 1000u + static_cast<uint32_t>(toMs);
  return static_cast<long>(static_cast<int32_t>(to - from));
}

ZyTime::Clock theClock = nullptr;
} // namespace

void ZyTime::setClock(Clock clock) {
  theClock = clock;
}

void ZyTime::setToNow() {
  if (theClock != nullptr) {
    theClock(&mySec, &myMSec);
    return;
  }
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    ZyLog::log(ZyLog::Terse, "ZyTime::setToNow: invalid return from gettimeofday.\n");
    return;
  }
  mySec = tv.tv_sec;
  myMSec = tv.tv_usec / 1000;
}

void ZyTime::addMsec(long ms) {
  long long total = static_cast<long long>(mySec) * 1000LL + myMSec;
  if (ms < 0 && -static_cast<long long>(ms) > total) {
    ZyLog::log(ZyLog::Terse, "ZyTime::addMsec: tried to subtract too many milliseconds, would "
                             "result in a negative time.");
    mySec = 0;
    myMSec = 0;
    return;
  }
  total += ms;
  mySec = static_cast<time_t>(total / 1000);
  myMSec = static_cast<long>(total % 1000);
}

long ZyTime::msSince() const {
  ZyTime now;
  return diffMs(mySec, myMSec, now.mySec, now.myMSec);
}

long ZyTime::msTo() const {
  ZyTime now;
  return diffMs(now.mySec, now.myMSec, mySec, myMSec);
}

long ZyTime::msUntil(const ZyTime &other) const {
  return diffMs(mySec, myMSec, other.mySec, other.myMSec);
}

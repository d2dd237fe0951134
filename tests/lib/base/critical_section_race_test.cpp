// SPDX-License-Identifier: MIT
// Stress test of signal deferral racing the close of a critical section: a
// signal must be acted on exactly once, either by the caller of deferSignal
// (false) or by the closing of the section (true), never by both.
#include "ZyCriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace {
std::mutex gActedLock;
std::set<int> gActedBySection;

void recordAction(int signal) {
  std::lock_guard<std::mutex> guard(gActedLock);
  gActedBySection.insert(signal);
}
} // namespace

TEST(ZyCriticalSection, DeferredSignalIsActedOnByExactlyOneSide) {
  ZyCriticalSection::setDeferredAction(recordAction);
  std::atomic<bool> stop{false};
  std::thread sections([&] {
    while (!stop.load()) {
      ZyCriticalSection section;
    }
  });

  std::set<int> actedByCaller;
  std::set<int> deferred;
  for (int signal = 1; signal <= 200000; ++signal) {
    if (ZyCriticalSection::deferSignal(signal))
      deferred.insert(signal);
    else
      actedByCaller.insert(signal);
  }
  stop = true;
  sections.join();
  // A record left behind by the last round is acted on by one more close.
  { ZyCriticalSection last; }
  ZyCriticalSection::setDeferredAction(nullptr);

  std::lock_guard<std::mutex> guard(gActedLock);
  for (int signal : gActedBySection) {
    EXPECT_EQ(actedByCaller.count(signal), 0u) << "signal " << signal << " acted on twice";
    EXPECT_EQ(deferred.count(signal), 1u) << signal;
  }
  EXPECT_EQ(ZyCriticalSection::pendingSignal(), 0);
  EXPECT_FALSE(ZyCriticalSection::isActive());
}

TEST(ZyCriticalSection, SignalOutsideASectionIsNotDeferred) {
  EXPECT_FALSE(ZyCriticalSection::deferSignal(2));
  EXPECT_EQ(ZyCriticalSection::pendingSignal(), 0);
  std::set<int> acted;
  static std::set<int> *sink = nullptr;
  sink = &acted;
  ZyCriticalSection::setDeferredAction([](int signal) { sink->insert(signal); });
  {
    ZyCriticalSection outer;
    {
      ZyCriticalSection inner;
      EXPECT_TRUE(ZyCriticalSection::deferSignal(15));
      EXPECT_TRUE(ZyCriticalSection::deferSignal(2)); // the first one wins
    }
    EXPECT_TRUE(acted.empty());
    EXPECT_EQ(ZyCriticalSection::pendingSignal(), 15);
  }
  EXPECT_EQ(acted, std::set<int>{15});
  EXPECT_EQ(ZyCriticalSection::pendingSignal(), 0);
  ZyCriticalSection::setDeferredAction(nullptr);
}

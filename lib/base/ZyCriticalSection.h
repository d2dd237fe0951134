// SPDX-License-Identifier: MIT
// ZyCriticalSection: marks a stretch of work that a terminating signal must
// not cut short, such as erasing and rewriting a FLASH block of the
// controller. While any section is open, the library's signal reaction only
// records the signal; when the last section closes, the recorded signal is
// acted on. Sections nest and may be opened from any thread.
#ifndef ZYCRITICALSECTION_H
#define ZYCRITICALSECTION_H

class ZyCriticalSection {
public:
  /// Opens a section for the lifetime of the object.
  ZyCriticalSection() { begin(); }
  ~ZyCriticalSection() { end(); }
  ZyCriticalSection(const ZyCriticalSection &) = delete;
  ZyCriticalSection &operator=(const ZyCriticalSection &) = delete;

  static void begin();
  /// Closes a section; when it was the last and a signal was recorded, runs
  /// the deferred action with that signal number.
  static void end();
  /// Called by a signal reaction: when a section is open, records the
  /// signal (the first one wins) and returns true; otherwise false.
  static bool deferSignal(int signal);
  /// The action run for a recorded signal when the last section closes.
  static void setDeferredAction(void (*action)(int signal));
  static bool isActive();
  /// The recorded signal, or 0.
  static int pendingSignal();
};

#endif

// SPDX-License-Identifier: MIT
// PtyPair: a pseudo-terminal for tests that talk to a device over a serial
// line. The slave side's path is opened by the code under test; the test's
// peer reads and writes the master side with bounded waits.
#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <string>
#include <vector>

class PtyPair {
public:
  /// Opens a pty in raw mode; the test fails (gtest ADD_FAILURE) if it cannot.
  PtyPair();
  ~PtyPair();
  int master() const { return myMaster; }
  /// The test's own descriptor of the slave side (to look at its state).
  int slave() const { return mySlaveKeep; }
  /// The slave's device path, for ZySerialConnection::setPortName.
  const std::string &slavePath() const { return mySlavePath; }
  /// Writes all bytes to the master side.
  void write(const std::string &bytes);
  /// Reads from the master until count bytes arrived or msWait passed.
  std::string read(size_t count, int msWait);
  /// Reads until the text ends with terminator or msWait passed.
  std::string readUntil(const std::string &terminator, int msWait);
  /// Everything that arrives until the line is quiet for quietMs.
  std::string drain(int quietMs = 50);

  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

private:
  int myMaster = -1;
  int mySlaveKeep = -1; // keeps the slave alive while the code under test reopens it
  std::string mySlavePath;
};

#endif

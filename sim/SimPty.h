// SPDX-License-Identifier: MIT
// SimPty: the pseudo-terminal the simulated controller sits behind, with an
// optional symbolic link to its slave, claimed for as long as the pty is
// open; SimSession: a pty with a running simulator, for tests and
// benchmarks that need a controller at a path.
#ifndef SIMPTY_H
#define SIMPTY_H

#include "SimController.h"

#include <memory>
#include <string>

class SimPty {
public:
  SimPty() = default;
  ~SimPty() { close(); }

  /// Opens a pty whose slave starts raw at the given speed, and keeps a
  /// slave descriptor open so the master never sees a hang-up while the
  /// host closes and reopens the port. With linkPath, also makes a symbolic
  /// link there to the slave (an existing symbolic link is replaced; any
  /// other file is left alone and the open fails). The link is claimed by
  /// an advisory lock on the file linkPath + ".lock", which holds the
  /// claimant's process number: a link that another running simulator
  /// claims is left alone and the open fails, naming that process.
  bool open(int baud, const std::string &linkPath, std::string *error);
  /// Removes the link (when it still points to this pty) and closes.
  void close();

  int master() const { return myMaster; }
  /// The kept slave descriptor: for reading the host's settings only.
  int slaveKeep() const { return mySlave; }
  const std::string &slavePath() const { return mySlavePath; }
  const std::string &linkPath() const { return myLinkPath; }

  SimPty(const SimPty &) = delete;
  SimPty &operator=(const SimPty &) = delete;

private:
  /// Takes the link's lock file; false with the error when another running
  /// simulator holds it or it cannot be made.
  bool claimLink(const std::string &linkPath, std::string *error);
  void releaseLink();

  int myMaster = -1;
  int mySlave = -1;
  std::string mySlavePath;
  std::string myLinkPath;
  int myLinkLock = -1;
  std::string myLinkLockPath;
};

class SimSession {
public:
  /// Opens a pty and starts a simulator on it; check ok().
  explicit SimSession(const SimOptions &options = SimOptions(), const std::string &linkPath = "");
  /// Stops the simulator, then closes the pty.
  ~SimSession();

  bool ok() const { return myOk; }
  const std::string &error() const { return myError; }
  /// The path the host opens: the link when one was asked for, else the
  /// slave device.
  const std::string &path() const;
  const std::string &slavePath() const { return myPty.slavePath(); }
  SimController &controller() { return *myController; }
  SimPty &pty() { return myPty; }

  SimSession(const SimSession &) = delete;
  SimSession &operator=(const SimSession &) = delete;

private:
  SimPty myPty;
  std::unique_ptr<SimController> myController;
  bool myOk = false;
  std::string myError;
};

#endif

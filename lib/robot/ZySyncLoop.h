// SPDX-License-Identifier: MIT
// ZySyncLoop: the thread that drives a robot's cycle. Each cycle it does the
// robot's bookkeeping under the robot lock, runs the robot's task tree once,
// warns about cycles that take too long, and sleeps out the rest of the
// cycle time. Leaving the loop wakes the threads waiting for the run to end
// and calls the robot's run-exit callbacks.
#ifndef ZYSYNCLOOP_H
#define ZYSYNCLOOP_H

#include "ZyASyncTask.h"

#include <atomic>

class ZyRobot;

class ZySyncLoop : public ZyASyncTask {
public:
  ZySyncLoop();
  ~ZySyncLoop() override;

  void setRobot(ZyRobot *robot) { myRobot = robot; }
  ZyRobot *getRobot() const { return myRobot; }
  /// With the flag set the loop ends after a cycle that leaves the robot
  /// not connected.
  void stopRunIfNotConnected(bool stop) { myStopRunIfNotConnected = stop; }
  bool getStopRunIfNotConnected() const { return myStopRunIfNotConnected; }

  void *runThread(void *arg) override;

  /// Claims the loop for a run; false when a run is already under way.
  bool claimRun();
  /// True from a successful claimRun until the loop has been left.
  bool isInRun() const { return myInRun; }
  /// Starts a claimed run in a new joinable thread; 0 or a ZyThread status
  /// code (the claim is given up on failure).
  int startAsync();
  /// Runs a claimed run in the calling thread until it ends.
  void runHere();
  /// Joins the thread of an earlier asynchronous run once it has ended, so
  /// that its resources are given back; a call from that very thread
  /// detaches it instead. Nothing when there is no such thread.
  void reapThread();
  /// True when called from the thread of the current asynchronous run.
  bool isLoopThread() const;

private:
  /// Marks the run as ended and hands the ending to the robot.
  void endRun(bool callCallbacks);

  ZyRobot *myRobot = nullptr;
  std::atomic<bool> myStopRunIfNotConnected{false};
  std::atomic<bool> myInRun{false};
  // The last run had a thread of its own that has not been joined yet.
  std::atomic<bool> myHaveAsyncThread{false};
  // The thread running the loop, recorded by the loop itself.
  std::atomic<pthread_t> myLoopThread{};
  std::atomic<bool> myLoopThreadKnown{false};
};

#endif

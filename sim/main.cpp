// SPDX-License-Identifier: MIT
// orvexsim: a simulated robot controller on a pseudo-terminal, so that the
// configuration tool can be tried, demonstrated and tested without a robot.
#include "SimCommandLine.h"
#include "SimPty.h"

#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>

int main(int argc, char **argv) {
  SimCommandLine cmd;
  std::string error;
  if (!parseSimCommandLine(argc - 1, argv + 1, cmd, error)) {
    fprintf(stderr, "orvexsim: %s\nTry 'orvexsim --help'.\n", error.c_str());
    return 1;
  }
  if (cmd.help) {
    fputs(simUsage(), stdout);
    return 0;
  }

  // Termination signals are taken by sigwait below; the simulator's thread
  // inherits the blocked mask and never sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  SimPty pty;
  if (!pty.open(cmd.options.startBaud(), cmd.linkPath, &error)) {
    fprintf(stderr, "orvexsim: %s\n", error.c_str());
    return 1;
  }
  SimController controller(cmd.options);
  std::mutex stderrLock;
  controller.setLogSink([&stderrLock](const std::string &line) {
    std::lock_guard<std::mutex> lock(stderrLock);
    fprintf(stderr, "%s\n", line.c_str());
  });
  if (!controller.start(pty.master(), pty.slaveKeep(), &error)) {
    fprintf(stderr, "orvexsim: %s\n", error.c_str());
    return 1;
  }

  printf("%s\n", pty.slavePath().c_str());
  fflush(stdout);
  {
    std::lock_guard<std::mutex> lock(stderrLock);
    const SimOptions &o = cmd.options;
    char who[160];
    if (!o.robotProtocol)
      snprintf(who, sizeof(who), "monitor alone at %d bit/s (the firmware never answers)", o.baud);
    else if (o.startInMonitor)
      snprintf(who, sizeof(who), "monitor at %d bit/s (firmware at %d bit/s after FK)", o.baud,
               o.robotBaud);
    else
      snprintf(who, sizeof(who), "firmware at %d bit/s (monitor at %d bit/s after command 255)",
               o.robotBaud, o.baud);
    fprintf(stderr, "orvexsim: controller with %s on %s%s%s; start the tool with -rp %s\n", who,
            pty.slavePath().c_str(), cmd.linkPath.empty() ? "" : ", linked from ",
            cmd.linkPath.c_str(),
            cmd.linkPath.empty() ? pty.slavePath().c_str() : cmd.linkPath.c_str());
    if (!cmd.options.stateFile.empty())
      fprintf(stderr, "orvexsim: memory kept in %s\n", cmd.options.stateFile.c_str());
  }

  int signal = 0;
  sigwait(&signals, &signal);
  controller.stop();
  SimStats stats = controller.stats();
  SimRobotStats robot = controller.robotStats();
  fprintf(stderr,
          "orvexsim: stopped by signal %d after %ld robot packet(s), %ld monitor command(s), "
          "%ld byte(s) in, %ld out\n",
          signal, robot.packets, stats.commands, stats.bytesReceived, stats.bytesSent);
  pty.close();
  return 0;
}

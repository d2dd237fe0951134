// SPDX-License-Identifier: MIT
// End-to-end tests of the orvexsim program: started as a person would start
// it, talked to through the path it prints or the link it makes, and ended
// with a signal.
#include "RawMonitorClient.h"
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

/// A running orvexsim with its standard output and error on pipes.
class SimProcess {
public:
  explicit SimProcess(const std::vector<std::string> &args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    myPid = fork();
    if (myPid == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      ::close(out[0]);
      ::close(err[0]);
      std::vector<char *> argv;
      std::string program = std::string(ORVEX_BIN_DIR) + "/orvexsim";
      argv.push_back(const_cast<char *>(program.c_str()));
      for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    myOut = out[0];
    myErr = err[0];
  }

  ~SimProcess() {
    if (myPid > 0 && !myDone) {
      kill(myPid, SIGKILL);
      waitpid(myPid, nullptr, 0);
    }
    if (myOut >= 0)
      ::close(myOut);
    if (myErr >= 0)
      ::close(myErr);
  }

  /// The first line of standard output (without its newline).
  std::string firstLine(int msWait) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
      struct pollfd pfd = {myOut, POLLIN, 0};
      if (poll(&pfd, 1, msWait) <= 0)
        break;
      char buf[256];
      ssize_t n = ::read(myOut, buf, sizeof(buf));
      if (n <= 0)
        break;
      line.append(buf, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }

  /// Sends the signal (unless 0) and waits up to msWait for the exit
  /// status; -1 when the program did not end.
  int finish(int signal, int msWait) {
    if (signal != 0)
      kill(myPid, signal);
    for (int waited = 0; waited <= msWait; waited += 10) {
      int status = 0;
      if (waitpid(myPid, &status, WNOHANG) == myPid) {
        myDone = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

  pid_t pid() const { return myPid; }
  /// All of standard error (after the program ended).
  std::string errorText() { return readAll(myErr); }
  std::string outputText() { return readAll(myOut); }

private:
  static std::string readAll(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
      struct pollfd pfd = {fd, POLLIN, 0};
      if (poll(&pfd, 1, 1000) <= 0)
        break;
      ssize_t n = ::read(fd, buf, sizeof(buf));
      if (n <= 0)
        break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

  pid_t myPid = -1;
  int myOut = -1, myErr = -1;
  bool myDone = false;
};

} // namespace

TEST(OrvexsimE2eTest, ServesThroughItsLinkAndEndsOnSignal) {
  std::string link = tempPath("orvexsim_link");
  std::string state = tempPath("orvexsim_state");
  unlink(link.c_str());
  unlink(state.c_str());
  {
    SimProcess sim(
        {"-v", "--monitor", "--link", link, "--state", state, "--firmware-version", "2.9"});
    std::string path = sim.firstLine(5000);
    ASSERT_EQ(0u, path.find("/dev/pts/")) << path;
    char target[256] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(path, target);

    // A second simulator given the same link leaves it to the running one.
    {
      SimProcess second({"--monitor", "--link", link});
      EXPECT_EQ(1, second.finish(0, 5000));
      EXPECT_EQ(0u, second.errorText().find("orvexsim: the link '" + link +
                                            "' belongs to a running simulator (process " +
                                            std::to_string(sim.pid()) + ")."));
      char still[256] = {0};
      ASSERT_GT(readlink(link.c_str(), still, sizeof(still) - 1), 0);
      EXPECT_EQ(path, still);
    }

    {
      RawMonitorClient host(link);
      std::string identity = host.command("V");
      ASSERT_GE(identity.size(), 29u);
      EXPECT_EQ('9', identity[28]);
      EXPECT_EQ("OK0", host.command("FE7"));
      EXPECT_EQ("OK0", host.command("FW7000,00"));
    }
    // The tool's second run finds the controller still there.
    RawMonitorClient again(path);
    EXPECT_EQ("00ff", again.command("m7000,1"));
    again.close();

    EXPECT_EQ(0, sim.finish(SIGTERM, 5000));
    std::string err = sim.errorText();
    EXPECT_NE(std::string::npos, err.find("start the tool with -rp " + link)) << err;
    EXPECT_NE(std::string::npos, err.find("controller with monitor at 115200 bit/s")) << err;
    EXPECT_NE(std::string::npos, err.find("<- command \"FE7\"")) << err;
    EXPECT_NE(std::string::npos, err.find("-> reply \"OK0\" checksum ca: erased block 7")) << err;
    EXPECT_NE(std::string::npos, err.find("host closed the port")) << err;
    EXPECT_NE(std::string::npos, err.find("orvexsim: stopped by signal")) << err;
  }
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "link left behind";
  EXPECT_NE(0, lstat((link + ".lock").c_str(), &st)) << "lock file left behind";

  // The next run starts from the memory the last one left.
  {
    SimProcess sim({"--state", state, "--no-robot"});
    std::string path = sim.firstLine(5000);
    ASSERT_EQ(0u, path.find("/dev/pts/")) << path;
    RawMonitorClient host(path);
    EXPECT_EQ("00ff", host.command("m7000,1"));
    host.close();
    EXPECT_EQ(0, sim.finish(SIGINT, 5000));
  }
  unlink(state.c_str());
}

TEST(OrvexsimE2eTest, StartsInTheFirmwareAndHandsOverToTheMonitor) {
  SimProcess sim({"-v", "--robot-baud", "19200"});
  std::string path = sim.firstLine(5000);
  ASSERT_EQ(0u, path.find("/dev/pts/")) << path;
  {
    RawMonitorClient host(path, B19200);
    const char sync0[] = {'\xFA', '\xFB', 3, 0, 0, 0};
    host.write(std::string(sync0, 6));
    EXPECT_EQ(std::string(sync0, 6), host.read(6, 1000));
    const char sync1[] = {'\xFA', '\xFB', 3, 1, 0, 1};
    host.write(std::string(sync1, 6));
    EXPECT_EQ(std::string(sync1, 6), host.read(6, 1000));
    host.write(std::string("\xFA\xFB\x03\x02\x00\x02", 6));
    EXPECT_NE(std::string::npos, host.drain(200).find("simbot"));
    host.write(std::string("\xFA\xFB\x03\xFF\x00\xFF", 6));
    host.drain(100);
    ASSERT_TRUE(host.setSpeed(B115200));
    EXPECT_EQ("OK0", host.command("F?0,0"));
    host.write(RawMonitorClient::frame("FK"));
    EXPECT_EQ("+", host.read(1, 1000));
  }
  EXPECT_EQ(0, sim.finish(SIGTERM, 5000));
  std::string err = sim.errorText();
  EXPECT_NE(std::string::npos,
            err.find("controller with firmware at 19200 bit/s (monitor at 115200 bit/s after "
                     "command 255)"))
      << err;
  for (const char *line : {"<- SYNC2, answered with name \"simbot\", type \"Marlock\"",
                           "<- command 255: the resident monitor takes the line",
                           "the resident monitor holds the line at 115200 bit/s",
                           "the firmware holds the line again at 19200 bit/s",
                           "after 4 robot packet(s), 2 monitor command(s)"})
    EXPECT_NE(std::string::npos, err.find(line)) << line << "\n" << err;
}

TEST(OrvexsimE2eTest, BadOptionsAndHelp) {
  {
    SimProcess sim({"--bogus"});
    EXPECT_EQ(1, sim.finish(0, 5000));
    EXPECT_EQ("orvexsim: Unknown option '--bogus'\nTry 'orvexsim --help'.\n", sim.errorText());
  }
  {
    SimProcess sim({"--state", "/nonexistent-dir/state"});
    EXPECT_EQ(1, sim.finish(0, 5000));
    std::string err = sim.errorText();
    EXPECT_NE(std::string::npos, err.find("orvexsim: Cannot create state file")) << err;
  }
  {
    SimProcess sim({"--help"});
    EXPECT_EQ(0, sim.finish(0, 5000));
    EXPECT_EQ(0u, sim.outputText().find("Usage: orvexsim [options]"));
  }
  {
    SimProcess sim({"--robot-baud", "4800"});
    EXPECT_EQ(1, sim.finish(0, 5000));
    EXPECT_EQ(0u, sim.errorText().find("orvexsim: Option --robot-baud: '4800' is not a serial "
                                       "speed; use one of 9600, 19200, 38400, 57600, 115200"));
  }
}

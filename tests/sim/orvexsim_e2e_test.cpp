// End-to-end tests of the orvexsim program: started as a person would start
// it, talked to through the path it prints or the link it makes, and ended
// with a signal.
#include "RawMonitorClient.h"

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

std::string tempPath(const char *name) {
  return std::string(testing::TempDir()) + "/" + name + "_" + std::to_string(getpid());
}

} // namespace

TEST(OrvexsimE2eTest, ServesThroughItsLinkAndEndsOnSignal) {
  std::string link = tempPath("orvexsim_link");
  std::string state = tempPath("orvexsim_state");
  unlink(link.c_str());
  unlink(state.c_str());
  {
    SimProcess sim({"-v", "--link", link, "--state", state, "--firmware-version", "2.9"});
    std::string path = sim.firstLine(5000);
    ASSERT_EQ(0u, path.find("/dev/pts/")) << path;
    char target[256] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(path, target);

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
    EXPECT_NE(std::string::npos, err.find("<- command \"FE7\"")) << err;
    EXPECT_NE(std::string::npos, err.find("-> reply \"OK0\" checksum ca: erased block 7")) << err;
    EXPECT_NE(std::string::npos, err.find("host closed the port")) << err;
    EXPECT_NE(std::string::npos, err.find("orvexsim: stopped by signal")) << err;
  }
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "link left behind";

  // The next run starts from the memory the last one left.
  {
    SimProcess sim({"--state", state});
    std::string path = sim.firstLine(5000);
    ASSERT_EQ(0u, path.find("/dev/pts/")) << path;
    RawMonitorClient host(path);
    EXPECT_EQ("00ff", host.command("m7000,1"));
    host.close();
    EXPECT_EQ(0, sim.finish(SIGINT, 5000));
  }
  unlink(state.c_str());
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
}

// SPDX-License-Identifier: MIT
// End-to-end runs of orvexconf across the network, through the real port
// servers users run, started here on 127.0.0.1 and stopped by process id:
// ser2net in RFC 2217 mode (plain and TLS) in front of the simulator, and
// socat as a raw TCP bridge. The main jobs, the speeds the simulator saw,
// a subset of the fault matrix, the server killed in mid-write with the
// next run's warning and the restore, certificates refused before anything
// is sent, and the fixed-speed bridge that cannot reach a controller in
// its firmware.
#include "FirmwareFiles.h"
#include "ProcessRunner.h"
#include "SimCommandLine.h"
#include "SimPty.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {
using namespace records;

const std::map<std::string, std::string> kCleanEnv = {
    {"ZYLAARGS", ""}, {"ZYLOG_LEVEL", ""}, {"ZYLA_SIGHANDLE_METHOD", ""}, {"ZYLA", ""}};

/// A TCP port on 127.0.0.1 that nothing listens on now.
int freePort() {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr *>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
  close(probe);
  return ntohs(address.sin_port);
}

/// True when something listens on the port of 127.0.0.1, from the kernel's
/// table: connecting to find out would make a bridge that forks (socat)
/// open the device for a client that goes at once, and that child would
/// read the controller's answers meant for the next.
bool listening(int port) {
  FILE *table = fopen("/proc/net/tcp", "re");
  if (table == nullptr)
    return false;
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof line, table) != nullptr) {
    unsigned int address = 0, localPort = 0, state = 0;
    if (sscanf(line, " %*d: %x:%x %*x:%*x %x", &address, &localPort, &state) == 3)
      found = static_cast<int>(localPort) == port && state == 0x0A; // LISTEN
  }
  fclose(table);
  return found;
}

/// A port server run in the background, its output in a file, stopped by
/// its process id (SIGTERM, or SIGKILL for a server that dies).
class Server {
public:
  Server(const std::vector<std::string> &args, const std::string &log, int port) {
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    if (posix_spawnp(&myPid, argv[0], &files, nullptr, argv.data(), environ) != 0)
      myPid = -1;
    posix_spawn_file_actions_destroy(&files);
    myUp = myPid > 0 && waitFor([port] { return listening(port); }, 10000);
  }
  ~Server() { stop(SIGTERM); }
  bool up() const { return myUp; }
  void stop(int signal) {
    if (myPid <= 0)
      return;
    kill(myPid, signal);
    int status;
    waitpid(myPid, &status, 0);
    myPid = -1;
  }

private:
  pid_t myPid = -1;
  bool myUp = false;
};

/// ser2net in front of a pty: RFC 2217 on a port of 127.0.0.1, in TLS
/// with key and certificate when given.
std::unique_ptr<Server> ser2net(const TempDir &dir, const std::string &device, int port,
                                const std::string &key = "", const std::string &cert = "") {
  std::string accepter = "telnet(rfc2217),";
  if (!key.empty())
    accepter += "ssl(key=" + key + ",cert=" + cert + "),";
  accepter += "tcp,127.0.0.1," + std::to_string(port);
  std::string config = dir.write("ser2net-" + std::to_string(port) + ".yaml",
                                 "connection: &robot\n  accepter: " + accepter +
                                     "\n  connector: serialdev," + device + ",9600n81,local\n");
  return std::make_unique<Server>(
      std::vector<std::string>{"ser2net", "-n", "-d", "-u", "-P",
                               dir.file("ser2net-" + std::to_string(port) + ".pid"), "-c", config},
      dir.file("ser2net-" + std::to_string(port) + ".log"), port);
}

SimOptions simulator(const std::vector<std::string> &args = {}) {
  std::vector<const char *> argv;
  for (const std::string &a : args)
    argv.push_back(a.c_str());
  SimCommandLine line;
  std::string error;
  EXPECT_TRUE(parseSimCommandLine(static_cast<int>(argv.size()), argv.data(), line, error))
      << error;
  line.options.verbose = true;
  return line.options;
}

RunResult runTool(const std::vector<std::string> &args, const TempDir &dir) {
  std::map<std::string, std::string> env = kCleanEnv;
  env["XDG_STATE_HOME"] = dir.file("state");
  return runProgram(binPath("orvexconf"), args, "", env, dir.path(), 120000);
}

bool hasLine(const std::string &out, const std::string &line) {
  for (const std::string &l : splitLines(out))
    if (l == line)
      return true;
  return false;
}

/// The speeds the simulator logged for the host's port, in order, without
/// repeats.
std::vector<int> hostSpeeds(SimSession &sim) {
  std::vector<int> speeds;
  for (const std::string &line : sim.controller().logLines()) {
    size_t at = line.find("host port at ");
    if (at == std::string::npos)
      continue;
    int speed = atoi(line.c_str() + at + 13);
    if (speeds.empty() || speeds.back() != speed)
      speeds.push_back(speed);
  }
  return speeds;
}

std::string field(const std::array<uint8_t, SimMemory::PARAM_SIZE> &block, size_t offset,
                  size_t size) {
  std::string text(reinterpret_cast<const char *>(block.data()) + offset, size);
  return text.substr(0, strnlen(text.c_str(), size));
}

std::string fileEndingIn(const std::string &dir, const std::string &start, const std::string &end) {
  std::string found;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.rfind(start, 0) == 0 && name.size() > end.size() &&
          name.compare(name.size() - end.size(), end.size(), end) == 0)
        found = dir + "/" + name;
    }
    closedir(d);
  }
  return found;
}
} // namespace

TEST(NetworkPorts, MainJobsThroughSer2netInRfc2217ModeCarryEverySpeedChange) {
  REQUIRE_TOOL("ser2net", "ser2net");
  TempDir dir;
  SimSession sim(simulator({"--robot-baud", "38400"}));
  ASSERT_TRUE(sim.ok()) << sim.error();
  int port = freePort();
  auto server = ser2net(dir, sim.slavePath(), port);
  ASSERT_TRUE(server->up()) << readFile(dir.file("ser2net-" + std::to_string(port) + ".log"));
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);

  // A write with its verify, a saved file and a report naming the URL.
  RunResult r = runTool({"-rp", url, "-rb", "38400", "-b", "Name", "Net7", "-s", "net7.rop",
                         "--report", "report.json"},
                        dir);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "FLASH parameters written to the controller.")) << r.out;
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Net7");
  EXPECT_NE(readFile(dir.file("report.json")).find("\"port\": \"" + url + "\""), std::string::npos);
  // The client connection at 38400, the monitor at 115200, each carried to
  // the pty; the controller heard no byte at a wrong speed.
  std::vector<int> speeds = hostSpeeds(sim);
  ASSERT_GE(speeds.size(), 2u);
  EXPECT_EQ(speeds[0], 38400);
  EXPECT_EQ(speeds[1], 115200);
  EXPECT_EQ(sim.controller().stats().noiseReceived, 0);
  EXPECT_EQ(sim.controller().robotStats().noiseReceived, 0);

  // --check, then -r, then -restoreBlock, each on the same URL.
  r = runTool({"-rp", url, "-rb", "38400", "-b", "--check", "Name", "Net7"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "No parameter would change.")) << r.out;
  auto block = sim.controller().block7();
  std::string image(reinterpret_cast<const char *>(block.data()), block.size());
  image.replace(141, 6, std::string("Block\0", 6));
  dir.write("block.blk", image);
  r = runTool({"-rp", url, "-rb", "38400", "-b", "-restoreBlock", "block.blk"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Block");
  r = runTool({"-rp", url, "-rb", "38400", "-b", "-r", "net7.rop"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Net7");

  // Uploads with their read-back, in each image format.
  // Counting up from 0x5a, the image holds 0xFF, which crosses the telnet
  // layer doubled. Each format goes to a block of its own.
  auto data = bytes(300, 0x5A);
  dir.write("image.mot", srecordFile(0x8000, data));
  dir.write("image.hex", hexFile(0x10000, data));
  dir.write("image.bin", binaryFile(data));
  for (const std::vector<std::string> &upload : {std::vector<std::string>{"-u", "image.mot"},
                                                 {"-u", "image.hex"},
                                                 {"-u", "image.bin", "--base", "0x20000"}}) {
    std::vector<std::string> args = {"-rp", url, "-rb", "38400", "-b"};
    args.insert(args.end(), upload.begin(), upload.end());
    r = runTool(args, dir);
    EXPECT_EQ(r.status, 0) << upload[1] << "\n" << r.out;
  }
  for (uint32_t address : {0x8000u, 0x10000u, 0x20000u})
    EXPECT_EQ(sim.controller().readMemory(address, data.size()),
              std::vector<uint8_t>(data.begin(), data.end()))
        << std::hex << address;
  speeds = hostSpeeds(sim);
  EXPECT_TRUE(
      std::all_of(speeds.begin(), speeds.end(), [](int s) { return s == 38400 || s == 115200; }));
}

TEST(NetworkPorts, FaultsAcrossTheNetworkEndAsOnALocalPort) {
  REQUIRE_TOOL("ser2net", "ser2net");
  struct Case {
    const char *what;
    std::vector<std::string> simArgs;
    int status;
    const char *line;
  } cases[] = {
      {"refused erase", {"--refuse", "FE:*"}, 8, ""},
      {"lost acknowledgement",
       {"--drop-ack", "FE"},
       0,
       "FLASH parameters written to the controller."},
      {"changed byte", {"--flip-byte", "FW:3"}, 0, "FLASH parameters written to the controller."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    SimSession sim(simulator(c.simArgs));
    ASSERT_TRUE(sim.ok()) << sim.error();
    int port = freePort();
    auto server = ser2net(dir, sim.slavePath(), port);
    ASSERT_TRUE(server->up());
    auto before = sim.controller().block7();
    RunResult r =
        runTool({"-rp", "rfc2217://127.0.0.1:" + std::to_string(port), "-b", "Name", "Fault"}, dir);
    EXPECT_EQ(r.status, c.status) << r.out;
    if (*c.line != '\0') {
      EXPECT_TRUE(hasLine(r.out, c.line)) << r.out;
    }
    if (c.status == 0)
      EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Fault");
    else
      EXPECT_EQ(sim.controller().block7(), before); // every erase was refused
  }
}

TEST(NetworkPorts, WritesCutInMidWayAreAccountedForAndFoundOnTheSameUrl) {
  REQUIRE_TOOL("ser2net", "ser2net");
  TempDir dir;
  int port = freePort();
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port) + "?timeout=2";
  const std::string state = dir.file("robot.mem");
  std::array<uint8_t, SimMemory::PARAM_SIZE> before;
  // The server dies once the controller has taken the 10th piece (sigkill
  // false), or the tool does (sigkill true).
  auto cutRun = [&](bool killTool, const std::string &name) {
    SimSession sim(simulator({"--stall", "FW:10", "--state", state}));
    EXPECT_TRUE(sim.ok()) << sim.error();
    before = sim.controller().block7();
    auto server = ser2net(dir, sim.slavePath(), port);
    EXPECT_TRUE(server->up());
    std::map<std::string, std::string> env = kCleanEnv;
    env["XDG_STATE_HOME"] = dir.file("state");
    std::function<bool()> stalled = [&sim] { return sim.controller().stats().stalled; };
    std::thread killer;
    if (!killTool)
      killer = std::thread([&] {
        if (waitFor(stalled, 60000))
          server->stop(SIGKILL);
      });
    RunResult r = runProgram(binPath("orvexconf"), {"-rp", url, "-b", "Name", name}, "", env,
                             dir.path(), 120000, killTool ? stalled : nullptr);
    if (killer.joinable())
      killer.join();
    return r;
  };

  // The connection drops: the run ends as on a port that vanished, with
  // status 8, the rescue files and the journal's entry for the URL.
  RunResult r = cutRun(false, "Lost");
  EXPECT_EQ(r.status, 8) << r.out;
  std::string rescue = fileEndingIn(dir.path(), "orvexconf-rescue-", ".blk");
  ASSERT_NE(rescue, "") << r.out;
  std::string journal = readFile(dir.file("state/orvexconf/journal.jsonl"));
  EXPECT_NE(journal.find("\"port\":\"" + url + "\""), std::string::npos) << journal;
  EXPECT_NE(journal.find("\"port_path\":\"rfc2217://127.0.0.1:" + std::to_string(port) + "\""),
            std::string::npos)
      << journal;
  EXPECT_NE(journal.find("\"outcome\":\"rescued\""), std::string::npos) << journal;
  {
    SimSession sim(simulator({"--state", state}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    auto server = ser2net(dir, sim.slavePath(), port);
    ASSERT_TRUE(server->up());
    r = runTool({"-rp", url, "-b", "-restoreBlock", rescue}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    // The cut write stayed open in the journal: this run was told of it.
    EXPECT_NE(r.out.find(") did not finish: the block may be erased or partly written."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Lost");
  }

  // The tool dies in mid-write: the next run, on the same port spelt
  // another way, warns of the write that never finished and names the
  // backup; writing it back restores the block as it was.
  r = cutRun(true, "Again");
  EXPECT_EQ(r.signal, SIGKILL);
  SimSession sim(simulator({"--state", state}));
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto server = ser2net(dir, sim.slavePath(), port);
  ASSERT_TRUE(server->up());
  const std::string respelt = "rfc2217://localhost:" + std::to_string(port) + "?timeout=2.0";
  r = runTool({"-rp", respelt, "-b", "--check"}, dir);
  std::string backup;
  std::vector<std::string> lines = splitLines(r.out);
  for (size_t i = 0; i + 2 < lines.size(); i++)
    if (lines[i].find(") did not finish: the block may be erased or partly written.") !=
        std::string::npos) {
      // The URL holds a '?': the command to run is quoted for the shell.
      const std::string command = "orvexconf -rp '" + respelt + "' -b -restoreBlock ";
      EXPECT_EQ(lines[i + 1].compare(0, command.size(), command), 0) << lines[i + 1];
      if (lines[i + 1].size() > command.size())
        backup = lines[i + 1].substr(command.size());
    }
  ASSERT_NE(backup, "") << r.out;
  r = runTool({"-rp", respelt, "-b", "-restoreBlock", backup}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(sim.controller().block7(), before);
}

TEST(NetworkPorts, TlsChecksTheServerBeforeSendingAnything) {
  REQUIRE_TOOL("ser2net", "ser2net");
  REQUIRE_TOOL("openssl", "openssl");
  TempDir dir;
  // A throwaway authority and a server certificate for 127.0.0.1 signed by
  // it; a second authority that signed nothing of this server.
  const std::string d = dir.path() + "/";
  for (const std::string authority : {"ca", "other"})
    ASSERT_EQ(runOnPath({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                         d + authority + ".key", "-out", d + authority + ".pem", "-days", "2",
                         "-subj", "/CN=Test " + authority}),
              0);
  dir.write("ext.cnf", "subjectAltName=IP:127.0.0.1\n");
  ASSERT_EQ(runOnPath({
                "openssl",
                "req",
                "-newkey",
                "rsa:2048",
                "-nodes",
                "-keyout",
                d + "server.key",
                "-out",
                d + "server.csr",
                "-subj",
                "/CN=127.0.0.1",
            }),
            0);
  ASSERT_EQ(runOnPath({"openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem",
                       "-CAkey", d + "ca.key", "-CAcreateserial", "-out", d + "server.pem", "-days",
                       "2", "-extfile", d + "ext.cnf"}),
            0);
  SimSession sim(simulator());
  ASSERT_TRUE(sim.ok()) << sim.error();
  int port = freePort();
  auto server = ser2net(dir, sim.slavePath(), port, d + "server.key", d + "server.pem");
  ASSERT_TRUE(server->up());
  const std::string base = "://127.0.0.1:" + std::to_string(port);

  struct Case {
    std::string url;
    const char *reason;
  } refused[] = {
      {"rfc2217s" + base + "?cafile=" + d + "other.pem", "(unable to get local issuer"},
      {"rfc2217s://localhost:" + std::to_string(port) + "?cafile=" + d + "ca.pem",
       "(hostname mismatch)"},
      {"rfc2217s" + base, "(unable to get local issuer"}, // not in the system's store
  };
  for (const Case &c : refused) {
    auto start = std::chrono::steady_clock::now();
    RunResult r = runTool({"-rp", c.url, "-b", "Name", "Tls"}, dir);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(r.err.find("the server's certificate was refused " + std::string(c.reason)),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("so nothing was sent"), std::string::npos) << r.err;
  }
  EXPECT_EQ(sim.controller().stats().bytesReceived, 0);

  RunResult r =
      runTool({"-rp", "rfc2217s" + base + "?cafile=" + d + "ca.pem", "-b", "Name", "Tls"}, dir);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Tls");
}

TEST(NetworkPorts, RawBridgeReachesAMonitorAndStopsSoonBeforeAFirmware) {
  REQUIRE_TOOL("socat", "socat");
  TempDir dir;
  for (bool inMonitor : {true, false}) {
    SCOPED_TRACE(inMonitor ? "controller in its monitor" : "controller in its firmware");
    SimSession sim(
        simulator(inMonitor ? std::vector<std::string>{"--monitor"} : std::vector<std::string>{}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    int port = freePort();
    Server socat({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                  "FILE:" + sim.slavePath() + ",raw,echo=0,b115200"},
                 dir.file("socat.log"), port);
    ASSERT_TRUE(socat.up());
    const std::string url = "socket://127.0.0.1:" + std::to_string(port);
    auto start = std::chrono::steady_clock::now();
    RunResult r = runTool({"-rp", url, "-b", "Name", "Raw"}, dir);
    auto took = std::chrono::steady_clock::now() - start;
    if (inMonitor) {
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_TRUE(hasLine(r.out, "Trying direct connection...")) << r.out;
      EXPECT_EQ(field(sim.controller().block7(), 141, 19), "Raw");
      continue;
    }
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(hasLine(r.out, "Could not connect with controller.")) << r.out;
    EXPECT_NE(r.out.find("Port '" + url +
                         "' carries the line at one fixed speed (115200 bit/s) "
                         "and cannot change speed"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("rfc2217://HOST:PORT"), std::string::npos) << r.out;
    // Nothing listens on this port any more: refused at once, naming it.
    socat.stop(SIGTERM);
    start = std::chrono::steady_clock::now();
    r = runTool({"-rp", url, "-b"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(r.err.find("Port '" + url + "': could not connect to 127.0.0.1 port " +
                         std::to_string(port) + ": the connection was refused"),
              std::string::npos)
        << r.err;
  }
}

// SPDX-License-Identifier: MIT
// Whole runs of orvexconf without a controller (-n -b): editing a parameter
// file (with and without a run report) and checking a firmware image. With no controller there is
// nothing to wait for, so a run should take milliseconds, not the two half-second end-of-run pauses
// a controller is given.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {
/// Runs the built orvexconf with output discarded; true on status 0.
bool runTool(const std::vector<std::string> &args) {
  std::string program = std::string(ORVEX_BIN_DIR) + "/orvexconf";
  std::vector<char *> argv{const_cast<char *>(program.c_str())};
  for (const auto &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void runOffline(benchmark::State &state, const std::vector<std::string> &args) {
  for (auto _ : state) {
    if (!runTool(args)) {
      state.SkipWithError("orvexconf failed");
      return;
    }
  }
}

/// A scratch file removed at the end of the benchmark.
struct ScratchFile {
  std::string path;
  explicit ScratchFile(const char *suffix) {
    char name[] = "/tmp/orvexbench_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
      close(fd);
    unlink(name);
    path = std::string(name) + suffix;
  }
  ~ScratchFile() { unlink(path.c_str()); }
};

void BM_OfflineEditParameterFile(benchmark::State &state) {
  ScratchFile out(".rop");
  runOffline(state, {"-n", "-b", "-r", std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop",
                     "HostBaud", "4", "-s", out.path});
}
BENCHMARK(BM_OfflineEditParameterFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same run writing a report: the difference to the run above is what
// --report costs (goal: under 5 ms).
void BM_OfflineEditParameterFileWithReport(benchmark::State &state) {
  ScratchFile out(".rop");
  ScratchFile report(".json");
  runOffline(state, {"-n", "-b", "-r", std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop",
                     "HostBaud", "4", "-s", out.path, "--report", report.path});
}
BENCHMARK(BM_OfflineEditParameterFileWithReport)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OfflineCheckFirmwareImage(benchmark::State &state) {
  ScratchFile image(".mot");
  FILE *f = fopen(image.path.c_str(), "w");
  if (f == nullptr) {
    state.SkipWithError("cannot write the image");
    return;
  }
  // One data record of four bytes at 0x1000, then the end record.
  fputs("S1071000DEADBEEFB0\nS9030000FC\n", f);
  fclose(f);
  runOffline(state, {"-n", "-b", "-u", image.path});
}
BENCHMARK(BM_OfflineCheckFirmwareImage)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace

BENCHMARK_MAIN();

// Loading a nearly full 256 KB S-record firmware image (made by objcopy from
// random data) into the firmware image, next to objcopy converting the same
// file back to binary, measured in the same run. The loader should be no
// slower than objcopy.
#include "FirmwareImage.h"
#include "ZyLog.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Address 0 is refused as a record address, so the image starts just above
// it and runs to the top of memory.
const unsigned long kImageStart = 0x100;
const size_t kImageSize = FirmwareImage::MEMORY_SIZE - kImageStart;

/// Runs a program found on the PATH; true when it exited with status 0.
bool run(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const auto &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/// The scratch directory with in.bin, the image as S-records in image.mot,
/// and room for objcopy's out.bin; made once per run.
class Files {
public:
  Files() {
    char pattern[] = "/tmp/srecbenchXXXXXX";
    if (mkdtemp(pattern) == nullptr)
      return;
    myDir = pattern;
    std::mt19937 generator(42);
    std::vector<unsigned char> data(kImageSize);
    for (auto &b : data)
      b = static_cast<unsigned char>(generator());
    FILE *f = fopen(binary().c_str(), "wb");
    if (f == nullptr)
      return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    char offset[32];
    snprintf(offset, sizeof(offset), "0x%lx", kImageStart);
    myReady = run(
        {"objcopy", "-I", "binary", "-O", "srec", "--change-addresses", offset, binary(), mot()});
  }
  ~Files() {
    if (!myDir.empty()) {
      unlink(binary().c_str());
      unlink(mot().c_str());
      unlink(output().c_str());
      rmdir(myDir.c_str());
    }
  }
  bool ready() const { return myReady; }
  std::string binary() const { return myDir + "/in.bin"; }
  std::string mot() const { return myDir + "/image.mot"; }
  std::string output() const { return myDir + "/out.bin"; }

private:
  std::string myDir;
  bool myReady = false;
};

Files &files() {
  static Files instance;
  return instance;
}

void BM_FirmwareImageLoad(benchmark::State &state) {
  if (!files().ready()) {
    state.SkipWithError("objcopy could not make the S-record file (install binutils)");
    return;
  }
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  FirmwareImage image;
  std::string path = files().mot();
  for (auto _ : state) {
    bool ok = image.downloadFirmware(nullptr, path.c_str());
    if (!ok) {
      state.SkipWithError("the image did not load");
      break;
    }
    benchmark::DoNotOptimize(image.memory());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kImageSize));
}
BENCHMARK(BM_FirmwareImageLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ObjcopySrecToBinary(benchmark::State &state) {
  if (!files().ready()) {
    state.SkipWithError("objcopy could not make the S-record file (install binutils)");
    return;
  }
  std::vector<std::string> command = {"objcopy", "-I",          "srec",          "-O",
                                      "binary",  files().mot(), files().output()};
  for (auto _ : state) {
    if (!run(command)) {
      state.SkipWithError("objcopy failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kImageSize));
}
BENCHMARK(BM_ObjcopySrecToBinary)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

// SPDX-License-Identifier: MIT
// Loading a nearly full 256 KB firmware image (made by objcopy from random
// data) in each format, S-records, Intel HEX and raw binary, into the
// firmware image, next to objcopy converting the same file to binary,
// measured in the same run. Each reader should be no slower than objcopy.
#include "FirmwareImage.h"
#include "FirmwareReader.h"
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
    myReady = run({"objcopy", "-I", "binary", "-O", "srec", "--change-addresses", offset, binary(),
                   file(0)}) &&
              run({"objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", offset, binary(),
                   file(1)});
  }
  ~Files() {
    if (!myDir.empty()) {
      unlink(binary().c_str());
      unlink(file(0).c_str());
      unlink(file(1).c_str());
      unlink(output().c_str());
      rmdir(myDir.c_str());
    }
  }
  bool ready() const { return myReady; }
  std::string binary() const { return myDir + "/in.bin"; }
  /// The image in format 0 (S-records), 1 (Intel HEX) or 2 (raw binary).
  std::string file(int format) const {
    return format == 0 ? myDir + "/image.mot" : format == 1 ? myDir + "/image.hex" : binary();
  }
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
  int format = static_cast<int>(state.range(0));
  std::string path = files().file(format);
  long base = format == 2 ? static_cast<long>(kImageStart) : NO_BASE_ADDRESS;
  for (auto _ : state) {
    bool ok = loadFirmwareFile(path.c_str(), base, image);
    if (!ok) {
      state.SkipWithError("the image did not load");
      break;
    }
    benchmark::DoNotOptimize(image.memory());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kImageSize));
}
// Argument: 0 S-records, 1 Intel HEX, 2 raw binary.
BENCHMARK(BM_FirmwareImageLoad)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ObjcopyToBinary(benchmark::State &state) {
  if (!files().ready()) {
    state.SkipWithError("objcopy could not make the S-record file (install binutils)");
    return;
  }
  static const char *const kFormats[] = {"srec", "ihex", "binary"};
  int format = static_cast<int>(state.range(0));
  std::vector<std::string> command = {
      "objcopy", "-I", kFormats[format], "-O", "binary", files().file(format), files().output()};
  for (auto _ : state) {
    if (!run(command)) {
      state.SkipWithError("objcopy failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kImageSize));
}
BENCHMARK(BM_ObjcopyToBinary)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

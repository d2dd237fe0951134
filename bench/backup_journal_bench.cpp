// SPDX-License-Identifier: MIT
// What the backup and the write journal add to a parameter write: the
// backup of the block (written, flushed, renamed, folder flushed), the
// journal's begin and end lines (each appended and flushed), and the next
// run's look through the journal for an unfinished write. The goal is at
// most 50 ms a run, against the seconds the write itself takes on the line.
// The store lies beside the build's bin directory, on the disk the build
// uses (a RAM file system would hide the cost of the flushes).
#include "DurableWrite.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {
const int BLOCK = 4096;

std::string storeDir() {
  std::string dir = std::string(ORVEX_BIN_DIR) + "/../bench-store";
  std::string command = "rm -rf '" + dir + "'";
  if (system(command.c_str()) != 0)
    return dir;
  return dir;
}

std::vector<unsigned char> block(int seed) {
  std::vector<unsigned char> b(BLOCK);
  for (int i = 0; i < BLOCK; i++)
    b[i] = static_cast<unsigned char>(i * 7 + seed);
  return b;
}

/// One write's safeguard: backup and begin before the erase, end after.
void BM_BackupAndJournalOfOneWrite(benchmark::State &state) {
  std::string dir = storeDir();
  DurableWrite guard(dir, "/dev/null");
  int seed = 0;
  for (auto _ : state) {
    std::vector<unsigned char> old = block(seed++);
    std::vector<unsigned char> intended = block(seed);
    if (!guard.beforeErase(old.data(), intended.data(), WriteKind::Parameters)) {
      state.SkipWithError("the store refused the backup");
      break;
    }
    guard.afterWrite(true);
  }
}
BENCHMARK(BM_BackupAndJournalOfOneWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The next run's check, over a journal of range(0) finished writes.
void BM_UnfinishedCheckOverALongJournal(benchmark::State &state) {
  std::string dir = storeDir();
  {
    DurableWrite guard(dir, "/dev/null");
    for (int64_t i = 0; i < state.range(0); i++) {
      std::vector<unsigned char> b = block(static_cast<int>(i));
      guard.beforeErase(b.data(), b.data(), WriteKind::Parameters);
      guard.afterWrite(true);
    }
  }
  std::vector<unsigned char> now = block(-1);
  for (auto _ : state) {
    DurableWrite next(dir, "/dev/null");
    benchmark::DoNotOptimize(next.checkUnfinished(now.data(), false));
  }
}
BENCHMARK(BM_UnfinishedCheckOverALongJournal)
    ->Arg(500)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);
} // namespace

BENCHMARK_MAIN();

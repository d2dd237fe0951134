// SPDX-License-Identifier: MIT
// Benchmarks of the robot cycle's own overhead: one pass of the robot's task
// tree with a number of user tasks, and handing a status packet to the
// packet handler list.
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZyRobot.h"
#include "ZyRobotPacket.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

struct Work {
  long n = 0;
  void hit() { n++; }
};

// A pass of the tree: packet handler task (not connected), lock, sensor
// branch, action and state leaves, the user tasks and unlock.
void BM_TaskTreePass(benchmark::State &state) {
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  ZyRobot robot("bench", true, false, true, false);
  const int tasks = static_cast<int>(state.range(0));
  std::vector<Work> work(static_cast<size_t>(tasks));
  std::vector<ZyFunctorC<Work>> functors;
  functors.reserve(work.size());
  for (int i = 0; i < tasks; i++) {
    functors.emplace_back(&work[static_cast<size_t>(i)], &Work::hit);
    robot.addUserTask(("task" + std::to_string(i)).c_str(), i % 7, &functors.back());
  }
  for (auto _ : state)
    robot.loopOnce();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TaskTreePass)->Arg(0)->Arg(8)->Arg(64);

// Dispatch of a motor status packet: the robot lock, the received time and
// the first handler of the list.
void BM_HandleStatusPacket(benchmark::State &state) {
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  ZyRobot robot("bench", true, false, true, false);
  ZyRobotPacket packet;
  packet.setID(0x32);
  for (int i = 0; i < 20; i++)
    packet.uint8ToBuf(static_cast<uint8_t>(i));
  packet.finishPacket();
  for (auto _ : state) {
    packet.rewindRead();
    benchmark::DoNotOptimize(robot.handlePacket(&packet));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleStatusPacket);

} // namespace

BENCHMARK_MAIN();

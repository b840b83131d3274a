// Costs of the dispatch layer on the paths later subsystems use: posting to and pumping the main
// queue, the matcher's two-task group on the global queue, and formatting a log line.
#include <benchmark/benchmark.h>

#include "kivo/dispatch.h"
#include "kivo/format.h"

namespace {

using kivo::dispatch::Group;
using kivo::dispatch::MainQueue;
using kivo::dispatch::Queue;
using kivo::dispatch::Semaphore;

void BM_MainQueuePostAndPump(benchmark::State& state) {
  const auto batch = state.range(0);
  int64_t ran = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < batch; ++i) Queue::main().async([&ran] { ++ran; });
    MainQueue::pump();
  }
  benchmark::DoNotOptimize(ran);
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_MainQueuePostAndPump)->Arg(1)->Arg(64);

// Two concurrent tasks on the global queue, joined, then one completion: one local match's shape.
void BM_GlobalGroupOfTwoRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    Group group;
    Semaphore done;
    group.async(Queue::global(), [] {});
    group.async(Queue::global(), [] {});
    group.notify(Queue::global(), [done] { done.signal(); });
    done.wait();
  }
}
BENCHMARK(BM_GlobalGroupOfTwoRoundTrip)->UseRealTime();

void BM_SerialQueueHop(benchmark::State& state) {
  Queue queue = Queue::serial("kivo-bench");
  for (auto _ : state) {
    Semaphore done;
    queue.async([done] { done.signal(); });
    done.wait();
  }
}
BENCHMARK(BM_SerialQueueHop)->UseRealTime();

void BM_FormatLogLine(benchmark::State& state) {
  const std::string reason = "AudioQueueStart failed";
  for (auto _ : state) benchmark::DoNotOptimize(kivo::format("KIVOError: Posting error code %d reason [%@]", 501, reason));
}
BENCHMARK(BM_FormatLogLine);

}  // namespace

// Capture costs: how long a captured buffer takes from the device side of the capture source to the
// block handler on the main queue, the CPU each 64 ms buffer costs, and the CPU share of listening
// in real time (a source paced by the system clock, 2048 bytes every 64 ms, as a microphone).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <semaphore>
#include <thread>

#include "capture/file_capture_source.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/audio_recorder.h"
#include "kivo/dispatch.h"

namespace {

using Clock = std::chrono::steady_clock;
using kivo::Bytes;
using kivo::KIVOAudioQueueRecorder;
using kivo::KIVOAudioRecorder;
using kivo::dispatch::MainQueue;

// A source whose device side is the benchmark itself.
struct PushSource final : kivo::CaptureSource {
  std::atomic<kivo::CaptureSink*>* sink;
  explicit PushSource(std::atomic<kivo::CaptureSink*>* s) : sink(s) {}
  int open() override { return 0; }
  int start(kivo::CaptureSink& s) override {
    sink->store(&s);
    return 0;
  }
  void stop() override { sink->store(nullptr); }
  bool isStreaming() const override { return sink->load() != nullptr; }
};

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void startAndWait(KIVOAudioRecorder& facade) {
  facade.start();
  while (!facade.isRecording()) MainQueue::pump();
}

// One buffer written on the device side until its block runs in the handler on the main queue
// (blocks of one buffer, so every buffer is the last one of its block). The main queue is pumped
// without pause, so this is the library's hand-off, not a host's event-loop delay.
void BM_CaptureToMainLatency(benchmark::State& state) {
  std::atomic<kivo::CaptureSink*> sink{nullptr};
  KIVOAudioQueueRecorder recorder;
  recorder.setCaptureSourceFactory([&](const std::string&) { return std::make_unique<PushSource>(&sink); });
  KIVOAudioRecorder facade(recorder);
  facade.setRequiredBufferSize(2048);
  Clock::time_point arrived;
  bool delivered = false;
  facade.setBufferHandler([&](Bytes) {
    arrived = Clock::now();
    delivered = true;
  });
  startAndWait(facade);
  const Bytes buffer(2048, 1);
  for (auto _ : state) {
    delivered = false;
    const auto sent = Clock::now();
    sink.load()->write(buffer.data(), buffer.size());
    while (!delivered) MainQueue::pump();
    state.SetIterationTime(std::chrono::duration<double>(arrived - sent).count());
  }
  facade.stop();
}
BENCHMARK(BM_CaptureToMainLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Process CPU per 2048-byte buffer with the default 104,000-byte blocks, the benchmark thread
// blocked while the capture thread works; cpu_share is that cost over the buffer's 64 ms.
void BM_CaptureCpuPerBuffer(benchmark::State& state) {
  std::atomic<kivo::CaptureSink*> sink{nullptr};
  KIVOAudioQueueRecorder recorder;
  recorder.setCaptureSourceFactory([&](const std::string&) { return std::make_unique<PushSource>(&sink); });
  KIVOAudioRecorder facade(recorder);
  std::binary_semaphore handled(0);
  facade.setRawBufferHandler([&](const uint8_t*, uint64_t) { handled.release(); });
  size_t blocks = 0;
  facade.setBufferHandler([&](Bytes) { ++blocks; });
  startAndWait(facade);
  const Bytes buffer(2048, 1);
  const double cpuBefore = processCpuSeconds();
  for (auto _ : state) {
    sink.load()->write(buffer.data(), buffer.size());
    handled.acquire();
    MainQueue::pump();
  }
  const double cpu = processCpuSeconds() - cpuBefore;
  facade.stop();
  state.counters["cpu_share"] = cpu / double(state.iterations()) / 0.064;
  benchmark::DoNotOptimize(blocks);
}
BENCHMARK(BM_CaptureCpuPerBuffer)->Unit(benchmark::kMicrosecond);

// Two seconds of real-time listening: a source paced by the system clock delivers a buffer every
// 64 ms; cpu_share is the process CPU over the wall time (the main queue is run, not spun).
void BM_IdleListeningCpuShare(benchmark::State& state) {
  KIVOAudioQueueRecorder recorder;
  recorder.setCaptureSourceFactory([](const std::string&) {
    return std::make_unique<kivo::capture::FileCaptureSource>(Bytes(32000 * 4, 0));
  });
  KIVOAudioRecorder facade(recorder);
  size_t blocks = 0;
  facade.setBufferHandler([&](Bytes) { ++blocks; });
  double share = 0;
  for (auto _ : state) {
    startAndWait(facade);
    const double cpuBefore = processCpuSeconds();
    const auto wallBefore = Clock::now();
    auto stop = kivo::dispatch::Timer::after(kivo::dispatch::Queue::main(), std::chrono::seconds(2),
                                             [] { MainQueue::stop(); });
    MainQueue::run();
    share = (processCpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - wallBefore).count();
    facade.stop();
  }
  state.counters["cpu_share"] = share;
  benchmark::DoNotOptimize(blocks);
}
BENCHMARK(BM_IdleListeningCpuShare)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

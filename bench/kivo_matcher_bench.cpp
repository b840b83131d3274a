// One matchDoublePCM call (a 104,000-byte block: two windows and the block fingerprinted and
// searched in parallel, the block verified, then answered on the main queue) against reference
// sets of 1, 10 and 100 hours, beside the two windows alone as matchDoublePCM did them before the
// verification (fingerprints and searches in parallel, agreement on the main queue).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <thread>

#include "kivo/afp_generator.h"
#include "kivo/dispatch.h"
#include "kivo/kivo_matcher.h"

namespace {

constexpr size_t kWordsPerTrack = 3 * 60 * 32;  // three-minute references

// Reference fingerprints with the bit density of real ones (about 30 % set).
std::shared_ptr<kivo::KIVOMatcher> matcherOf(int hours) {
  static std::map<int, std::shared_ptr<kivo::KIVOMatcher>> cache;
  auto& m = cache[hours];
  if (m) return m;
  m = kivo::KIVOMatcher::create();
  std::mt19937_64 rng{uint64_t(hours)};
  const size_t tracks = size_t(hours) * 3600 * 32 / kWordsPerTrack;
  nlohmann::json media = nlohmann::json::object();
  m->beginAdd();
  for (size_t t = 0; t < tracks; ++t) {
    kivo::Bytes afp(kWordsPerTrack * 8);
    for (size_t w = 0; w < kWordsPerTrack; ++w) {
      const uint64_t word = rng() & rng() & (rng() | rng());
      std::memcpy(afp.data() + w * 8, &word, 8);
    }
    const std::string id = "track" + std::to_string(t);
    m->audioPackRetrieveAFPData({id, 0, std::move(afp)});
    media[id] = {{"type", "cf"}, {"title", id}};
  }
  m->audioPackFinishLoadWithMetaData({{"media", media}});
  m->finishAdd();
  return m;
}

kivo::Bytes block() {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> noise(-2000, 2000);
  kivo::Bytes pcm(104000);
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    const auto s = int16_t(6000 * std::sin(2 * std::numbers::pi * (300 + double(i % 16000) / 40) * double(i) / 16000) +
                           noise(rng));
    std::memcpy(pcm.data() + 2 * i, &s, 2);
  }
  return pcm;
}

void BM_MatchDoublePCM(benchmark::State& state) {
  const auto matcher = matcherOf(int(state.range(0)));
  const kivo::Bytes pcm = block();
  for (auto _ : state) {
    bool done = false;
    matcher->matchDoublePCM(pcm, [&done](std::optional<kivo::KIVOMatchResult>) { done = true; });
    while (!done)
      if (kivo::dispatch::MainQueue::pump() == 0) std::this_thread::yield();
  }
  state.counters["hours"] = double(state.range(0));
}
BENCHMARK(BM_MatchDoublePCM)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TwoWindowsOnly(benchmark::State& state) {
  const auto matcher = matcherOf(int(state.range(0)));
  const kivo::Bytes pcm = block();
  for (auto _ : state) {
    struct Job {
      kivo::KIVOMatcher::Results first, second;
    };
    auto job = std::make_shared<Job>();
    auto run = [&pcm, matcher](size_t start, kivo::KIVOMatcher::Results& out) {
      auto afp = kivo::AFPFromSample(reinterpret_cast<const int16_t*>(pcm.data() + start), 68000);
      if (afp) out = matcher->matchAFP(afp).value_or(kivo::KIVOMatcher::Results{});
    };
    bool done = false;
    kivo::dispatch::Group group;
    group.async(kivo::dispatch::Queue::global(), [run, job] { run(0, job->first); });
    group.async(kivo::dispatch::Queue::global(), [run, job] { run(36000, job->second); });
    group.notify(kivo::dispatch::Queue::main(), [&done, job, matcher] {
      benchmark::DoNotOptimize(matcher->matchingKeyFromResults(job->first, job->second));
      done = true;
    });
    while (!done)
      if (kivo::dispatch::MainQueue::pump() == 0) std::this_thread::yield();
  }
  state.counters["hours"] = double(state.range(0));
}
BENCHMARK(BM_TwoWindowsOnly)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// Audio database: a full reader walk, and one writer batch of adds while readers walk.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kivo/audio_db.h"

namespace {

constexpr int kEntries = 10000;
constexpr int kBatch = 1000;

AudioEntry makeEntry(const std::string& name) {
  const uint64_t words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  AudioEntry entry;
  adb_entry_init(&entry, 1);
  adb_entry_set_name(&entry, name.c_str());
  adb_entry_init_buffer(&entry, words, sizeof words);
  return entry;
}

// Adds entries in one write; the database takes over their names and buffers.
void addEntries(AudioDB* db, const std::vector<AudioEntry>& entries) {
  std::vector<AudioAddCtx> adds(entries.size());
  AudioWriter wrr;
  adb_writer_start(&wrr, db);
  for (size_t i = 0; i < entries.size(); ++i) {
    adb_add_preswap(&adds[i], &wrr, &entries[i]);
  }
  adb_writer_swap(&wrr);
  for (AudioAddCtx& ctx : adds) {
    adb_add_postswap(&ctx);
  }
  adb_writer_end(&wrr);
}

std::vector<AudioEntry> makeEntries(const std::string& prefix, int count) {
  std::vector<AudioEntry> entries;
  entries.reserve(count);
  for (int i = 0; i < count; ++i) {
    entries.push_back(makeEntry(prefix + std::to_string(i)));
  }
  return entries;
}

// Deletes the first count entries in one write.
void deleteHead(AudioDB* db, int count) {
  std::vector<AudioChangeCtx> dels(count);
  AudioWriter wrr;
  adb_writer_start(&wrr, db);
  for (AudioChangeCtx& ctx : dels) {
    adb_delete_preswap(&ctx, &wrr, nullptr);
  }
  adb_writer_swap(&wrr);
  for (AudioChangeCtx& ctx : dels) {
    adb_delete_postswap(&ctx);
  }
  adb_writer_end(&wrr);
}

// The work of a reader per entry: what a search filter looks at first.
uint64_t walk(AudioDB* db) {
  uint64_t sum = 0;
  AudioReader rdr;
  adb_reader_start(&rdr, db);
  while (const AudioEntry* e = adb_reader_next(&rdr)) {
    sum += e->name.hash + e->size + e->mask;
  }
  adb_reader_end(&rdr);
  return sum;
}

void BM_ReaderWalk(benchmark::State& state) {
  AudioDB db;
  adb_init(&db);
  addEntries(&db, makeEntries("media-", kEntries));
  for (auto _ : state) {
    benchmark::DoNotOptimize(walk(&db));
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  adb_free(&db);
}
BENCHMARK(BM_ReaderWalk);

// One write of 1,000 adds (preswap, swap, postswap) on a database of 10,000 entries while
// state.range(0) reader threads walk it continuously. Building the entries and removing them
// again between iterations are not timed.
void BM_WriterBatchOfAdds(benchmark::State& state) {
  AudioDB db;
  adb_init(&db);
  addEntries(&db, makeEntries("media-", kEntries));
  std::atomic<bool> running{true};
  std::atomic<long> walks{0};
  std::vector<std::thread> readers;
  for (int64_t i = 0; i < state.range(0); ++i) {
    readers.emplace_back([&] {
      while (running.load(std::memory_order_relaxed)) {
        benchmark::DoNotOptimize(walk(&db));
        walks.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (auto _ : state) {
    state.PauseTiming();
    const std::vector<AudioEntry> batch = makeEntries("new-", kBatch);
    state.ResumeTiming();
    addEntries(&db, batch);
    state.PauseTiming();
    deleteHead(&db, kBatch);
    state.ResumeTiming();
  }
  running = false;
  for (std::thread& r : readers) {
    r.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["reader_walks"] = static_cast<double>(walks.load());
  adb_free(&db);
}
BENCHMARK(BM_WriterBatchOfAdds)->Arg(0)->Arg(1)->ArgName("readers")->UseRealTime();

}  // namespace

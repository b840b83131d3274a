// Speed of the matcher search: one 48-word query window against synthetic reference databases
// of 10 and 100 hours (32 words per second), on every scan kernel of this processor, beside the
// single-core memory read bandwidth of the same machine.
//
//   matcher_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// "GB/s" is reference bytes in the database (10^9 bytes) per second of search.
#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audiodb/matcher_internal.h"
#include "kivo/matcher.h"

namespace {

constexpr uint32_t kMaxCandidates = 10;  // the facade's result list size
constexpr int kQueryWords = 48;
constexpr uint64_t kWordsPerSecond = 32;

// A database of `hours` of random reference audio in entries of 1 to 10 minutes, masks 0 to 4,
// with queries cut from it at random steps with about one bit in 16 flipped.
class SyntheticDB {
 public:
  explicit SyntheticDB(int hours) {
    adb_init(&db_);
    std::mt19937_64 rng(static_cast<uint64_t>(hours));
    const uint64_t total = static_cast<uint64_t>(hours) * 3600 * kWordsPerSecond;
    AudioWriter wrr;
    adb_writer_start(&wrr, &db_);
    std::vector<AudioAddCtx> adds;
    adds.reserve(total / (60 * kWordsPerSecond) + 1);
    std::vector<std::vector<uint64_t>> sources;
    for (uint64_t added = 0; added < total;) {
      const uint64_t words = std::min(total - added, (60 + rng() % 541) * kWordsPerSecond);
      std::vector<uint64_t> afp(words);
      for (uint64_t& w : afp) w = rng();
      AudioEntry entry;
      adb_entry_init(&entry, static_cast<uint8_t>(adds.size() % 5));
      adb_entry_set_name(&entry, ("media" + std::to_string(adds.size())).c_str());
      adb_entry_init_buffer(&entry, afp.data(), words * 8);
      adds.emplace_back();
      adb_add_preswap(&adds.back(), &wrr, &entry);
      if (sources.size() < 16) sources.push_back(std::move(afp));
      added += words;
    }
    adb_writer_swap(&wrr);
    for (AudioAddCtx& ctx : adds) adb_add_postswap(&ctx);
    adb_writer_end(&wrr);
    bytes_ = total * 8;
    for (const std::vector<uint64_t>& afp : sources) {
      const uint64_t step = rng() % ((afp.size() - kQueryWords) / 2);
      std::vector<uint64_t> query(afp.begin() + static_cast<long>(2 * step),
                                  afp.begin() + static_cast<long>(2 * step + kQueryWords));
      for (uint64_t& w : query) w ^= rng() & rng() & rng() & rng();
      queries_.push_back(std::move(query));
    }
  }
  ~SyntheticDB() { adb_free(&db_); }
  SyntheticDB(const SyntheticDB&) = delete;
  SyntheticDB& operator=(const SyntheticDB&) = delete;

  AudioDB* db() { return &db_; }
  uint64_t bytes() const { return bytes_; }
  const std::vector<std::vector<uint64_t>>& queries() const { return queries_; }

  static SyntheticDB& of(int hours) {
    static std::map<int, std::unique_ptr<SyntheticDB>> built;
    std::unique_ptr<SyntheticDB>& db = built[hours];
    if (!db) db = std::make_unique<SyntheticDB>(hours);
    return *db;
  }

 private:
  AudioDB db_;
  uint64_t bytes_ = 0;
  std::vector<std::vector<uint64_t>> queries_;
};

const char* path_name(kivo::scan::Path path) {
  switch (path) {
    case kivo::scan::Path::portable:
      return "portable";
    case kivo::scan::Path::avx2:
      return "avx2";
    case kivo::scan::Path::avx512:
      return "avx512";
  }
  return "?";
}

// Args: hours of reference, scan path (0 portable, 1 avx2, 2 avx512, 3 the one match() uses).
void BM_Match(benchmark::State& state) {
  const kivo::scan::Kernel* kernel =
      state.range(1) == 3 ? kivo::scan::best_kernel()
                          : kivo::scan::kernel_for(static_cast<kivo::scan::Path>(state.range(1)));
  if (kernel == nullptr) {
    state.SkipWithError("scan path not supported on this processor");
    return;
  }
  SyntheticDB& synthetic = SyntheticDB::of(static_cast<int>(state.range(0)));
  const auto& queries = synthetic.queries();
  size_t next = 0;
  for (auto _ : state) {
    Candidates result;
    init_candidates(&result, kMaxCandidates);
    kivo::scan::match_on(kernel, synthetic.db(), queries[next].data(), kQueryWords, &result, kMaxCandidates,
                         nullptr);
    benchmark::DoNotOptimize(result.items);
    if (result.count == 0 || result.items[0].score > (48LL << 24) * 8) state.SkipWithError("query not found");
    free_candidates(&result);
    next = (next + 1) % queries.size();
  }
  state.SetLabel(path_name(kernel->path));
  state.counters["GB/s"] = benchmark::Counter(static_cast<double>(synthetic.bytes()) * 1e-9,
                                              benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Match)
    ->ArgNames({"hours", "path"})
    ->ArgsProduct({{10, 100}, {3, 0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

// Sums a buffer with four independent accumulators: the single-core read bandwidth.
#if defined(__x86_64__)
__attribute__((target("avx2"))) uint64_t read_all_avx2(const uint64_t* words, size_t count) {
  __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  for (size_t i = 0; i + 16 <= count; i += 16) {
    for (int k = 0; k < 4; ++k) {
      acc[k] = _mm256_add_epi64(acc[k], _mm256_load_si256(reinterpret_cast<const __m256i*>(words + i + 4 * k)));
    }
  }
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes),
                      _mm256_add_epi64(_mm256_add_epi64(acc[0], acc[1]), _mm256_add_epi64(acc[2], acc[3])));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

__attribute__((target("avx512f"))) uint64_t read_all_avx512(const uint64_t* words, size_t count) {
  __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
  for (size_t i = 0; i + 32 <= count; i += 32) {
    for (int k = 0; k < 4; ++k) acc[k] = _mm512_add_epi64(acc[k], _mm512_load_si512(words + i + 8 * k));
  }
  uint64_t lanes[8];
  _mm512_storeu_si512(lanes, _mm512_add_epi64(_mm512_add_epi64(acc[0], acc[1]), _mm512_add_epi64(acc[2], acc[3])));
  uint64_t sum = 0;
  for (uint64_t lane : lanes) sum += lane;
  return sum;
}
#endif

uint64_t read_all_portable(const uint64_t* words, size_t count) {
  uint64_t acc[4] = {0, 0, 0, 0};
  for (size_t i = 0; i + 4 <= count; i += 4) {
    for (int k = 0; k < 4; ++k) acc[k] += words[i + k];
  }
  return acc[0] + acc[1] + acc[2] + acc[3];
}

// One pass over 512 MiB, far beyond the caches.
void BM_MemoryReadBandwidth(benchmark::State& state) {
  constexpr size_t kBytes = size_t{512} << 20;
  uint64_t* words = static_cast<uint64_t*>(std::aligned_alloc(64, kBytes));
  std::memset(words, 0x5A, kBytes);
  const size_t count = kBytes / 8;
  for (auto _ : state) {
    benchmark::DoNotOptimize(words);
#if defined(__x86_64__)
    // The widest loads this processor has.
    const uint64_t sum = __builtin_cpu_supports("avx512f") ? read_all_avx512(words, count)
                         : __builtin_cpu_supports("avx2")  ? read_all_avx2(words, count)
                                                            : read_all_portable(words, count);
#else
    const uint64_t sum = read_all_portable(words, count);
#endif
    benchmark::DoNotOptimize(sum);
  }
  std::free(words);
  state.counters["GB/s"] = benchmark::Counter(static_cast<double>(kBytes) * 1e-9,
                                              benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MemoryReadBandwidth)->Unit(benchmark::kMillisecond);

}  // namespace

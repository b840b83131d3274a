// Pack loading at start-up: the plain stream into an empty database, and a pack file (the local
// dump) through the reader, for 500 fingerprints of 15 s each (about 1.9 MB).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "audiopack/audio_pack_dumper.h"
#include "audiopack/audio_pack_reader.h"
#include "kivo/audio_pack.h"

namespace {

constexpr int kEntries = 500;
constexpr size_t kAfpBytes = 480 * 8;  // 15 s at 32 words per second

kivo::Bytes fingerprint(int i) {
  kivo::Bytes afp(kAfpBytes);
  for (size_t k = 0; k < afp.size(); ++k) afp[k] = uint8_t(k * 131 + size_t(i) * 7);
  return afp;
}

kivo::Bytes makeStream() {
  AudioDB db;
  adb_init(&db);
  AudioWriter wrr;
  adb_writer_start(&wrr, &db);
  std::vector<AudioAddCtx> adds(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    AudioEntry entry;
    adb_entry_init(&entry, 1);
    adb_entry_set_name(&entry, ("media-" + std::to_string(i)).c_str());
    const kivo::Bytes afp = fingerprint(i);
    adb_entry_init_buffer(&entry, afp.data(), afp.size());
    adb_add_preswap(&adds[size_t(i)], &wrr, &entry);
  }
  adb_writer_swap(&wrr);
  for (auto& add : adds) adb_add_postswap(&add);
  adb_writer_end(&wrr);
  uint8_t* data = nullptr;
  int length = 0;
  apack_dump_to_string(&db, APACK_OP_ADD, &data, &length);
  kivo::Bytes stream(data, data + length);
  std::free(data);
  adb_free(&db);
  return stream;
}

void BM_StreamLoadIntoEmptyDatabase(benchmark::State& state) {
  const kivo::Bytes stream = makeStream();
  for (auto _ : state) {
    AudioDB db;
    adb_init(&db);
    if (apack_load_from_string(&db, stream.data(), int(stream.size())) != APACK_OK) state.SkipWithError("load failed");
    adb_free(&db);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(BM_StreamLoadIntoEmptyDatabase)->Unit(benchmark::kMillisecond);

class Counting : public kivo::KIVOAudioPackDelegate {
 public:
  void audioPackRetrieveAFPData(kivo::KIVOAudioPackAFPData afp) override { bytes += afp.afp.size(); }
  void audioPackDeleteIfAny(const std::string&) override {}
  void audioPackFinishLoadWithMetaData(const nlohmann::json&) override {}
  size_t bytes = 0;
};

void BM_PackFileRead(benchmark::State& state) {
  const auto path = std::filesystem::temp_directory_path() / ("kivo-bench-" + std::to_string(::getpid()) + ".pack");
  nlohmann::json media = nlohmann::json::object();
  {
    auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(path);
    for (int i = 0; i < kEntries; ++i) {
      const std::string id = "media-" + std::to_string(i);
      dumper->addAFP({id, 1, fingerprint(i)});
      media[id] = {{"type", "cf"}, {"title", "Title " + id}};
    }
    dumper->finishWithMetadata({{"media", media}});
  }
  const auto size = std::filesystem::file_size(path);
  for (auto _ : state) {
    Counting delegate;
    if (!kivo::KIVOAudioPack::loadPath(path, &delegate)) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(delegate.bytes);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
  std::filesystem::remove(path);
}
BENCHMARK(BM_PackFileRead)->Unit(benchmark::kMillisecond);

}  // namespace

// Preparation for IAR from prepareWithType to status completed, against a local HTTPS console:
// with 1, 10 and 100 hours of fingerprints in the local dump (load, authenticate, nothing new),
// and with an update of 1 and 10 hours downloaded, loaded and dumped on top of an empty database.
// Real time: the work runs on the global queue, the network thread and the main queue.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "audiopack/audio_pack_dumper.h"
#include "common/main_queue_wait.h"
#include "common/temp_dir.h"
#include "common/test_http_server.h"
#include "kivo/data_directory.h"
#include "kivo/http.h"
#include "kivo/log.h"
#include "kivo/manager.h"

namespace {

constexpr size_t kEntryWords = 3 * 60 * 32;  // one 3-minute piece of audio
constexpr int kEntriesPerHour = 20;

void writeHours(const std::filesystem::path& path, int hours) {
  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(path);
  nlohmann::json media = nlohmann::json::object();
  kivo::Bytes afp(kEntryWords * 8);
  uint64_t x = 88172645463325252ull;
  for (int i = 0; i < hours * kEntriesPerHour; ++i) {
    for (size_t k = 0; k < afp.size(); k += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(&afp[k], &x, 8);
    }
    const std::string id = "media-" + std::to_string(i);
    dumper->addAFP({id, 0, afp});
    media[id] = {{"type", "cf"}, {"title", id}};
  }
  dumper->finishWithMetadata({{"media", media}});
}

struct Console {
  kivo::test::TestHTTPServer server{kivo::test::TestHTTPServer::Scheme::kHTTPS, true};
  std::mutex mutex;
  std::string answer;
  std::string pack;
  Console() {
    server.on("/api/auth", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex);
      res.set_content(answer, "application/json");
    });
    server.on("/pack", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex);
      res.set_content(pack, "application/octet-stream");
    });
    kivo::KIVOHTTP::setDefaultCertificateAuthorityFile(kivo::test::TestCertificates::shared().caFile);
  }
};

Console& console() {
  static auto* instance = new Console;  // lives for the run
  return *instance;
}

std::shared_ptr<kivo::KIVOManager> makeManager() {
  kivo::setLogSink([](std::string_view) {});
  auto manager = kivo::KIVOManager::makeIndependent();
  manager->setApiEndpoint(console().server.url("/api"));
  manager->setApplicationID("bench");
  manager->setSecretKey("bench");
  return manager;
}

bool prepareOnce(kivo::KIVOManager& manager) {
  manager.prepareWithType(kivo::KIVOManagerDetectTypeIAR);
  return kivo::test::pumpMainUntil([&] { return manager.prepared(); }, std::chrono::minutes(5));
}

void BM_PrepareFromLocalDump(benchmark::State& state) {
  const int hours = int(state.range(0));
  kivo::test::TempDir dir;
  kivo::setDataDirectory(dir.path());
  writeHours(dir.path() / "KIVOAudioDB.pack", hours);
  {
    std::lock_guard lock(console().mutex);
    console().answer = R"({"token":"t","updated":0})";
  }
  auto manager = makeManager();
  for (auto _ : state) {
    if (!prepareOnce(*manager)) state.SkipWithError("not prepared");
    state.PauseTiming();
    manager->stop();
    state.ResumeTiming();
  }
  state.counters["entries"] = double(hours * kEntriesPerHour);
  state.counters["dump_MB"] = double(std::filesystem::file_size(dir.path() / "KIVOAudioDB.pack")) / 1e6;
  manager.reset();
  kivo::setDataDirectory({});
}
BENCHMARK(BM_PrepareFromLocalDump)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PrepareWithDownload(benchmark::State& state) {
  const int hours = int(state.range(0));
  kivo::test::TempDir dir;
  kivo::setDataDirectory(dir.path());
  writeHours(dir.path() / "update.bin", hours);
  {
    std::ifstream in(dir.path() / "update.bin", std::ios::binary);
    std::lock_guard lock(console().mutex);
    console().pack.assign(std::istreambuf_iterator<char>(in), {});
    console().answer =
        R"({"token":"t","updated":1,"v":"20250301000000","url":")" + console().server.url("/pack") + "\"}";
  }
  auto manager = makeManager();
  for (auto _ : state) {
    if (!prepareOnce(*manager)) state.SkipWithError("not prepared");
    state.PauseTiming();
    manager->stop();
    std::filesystem::remove(dir.path() / "KIVOAudioDB.pack");
    state.ResumeTiming();
  }
  state.counters["pack_MB"] = double(console().pack.size()) / 1e6;
  manager.reset();
  kivo::setDataDirectory({});
}
BENCHMARK(BM_PrepareWithDownload)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

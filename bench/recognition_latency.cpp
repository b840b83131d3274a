// Recognition latency and CPU share while listening, in real time: a distorted recording plays
// through the recorder's file source into the manager (repeat on, every block a hit), against an
// in-process kivo-console on 127.0.0.1. Latency is the time from the capture of a block's last
// sample to the recognition handler. Run by hand:
//   build/bench/recognition_latency [--hours H] [--type iar|cloud] [--seconds S]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "audiopack/audio_pack_dumper.h"
#include "capture/file_capture_source.h"
#include "common/main_queue_wait.h"
#include "common/signals.h"
#include "common/temp_dir.h"
#include "kivo/afp_generator.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/audio_recorder.h"
#include "kivo/continuous_hit_manager.h"
#include "kivo/data_directory.h"
#include "kivo/http.h"
#include "kivo/log.h"
#include "kivo/log_store.h"
#include "kivo/manager.h"
#include "server/catalogue.h"
#include "server/console_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kRate = 16000;
constexpr size_t kChunk = 2048;
constexpr size_t kBlockChunks = (104000 + kChunk - 1) / kChunk;  // a block is whole capture buffers

kivo::Bytes pcmOf(const std::vector<float>& x) {
  const auto pcm = kivo::test::toPcm(x);
  kivo::Bytes out(pcm.size() * 2);
  std::memcpy(out.data(), pcm.data(), out.size());
  return out;
}

// Fingerprints of eight more 3-minute pieces: the material the reference hours are made of.
const std::vector<kivo::Bytes>& fillerSources() {
  static const auto sources = [] {
    std::vector<kivo::Bytes> out;
    for (uint32_t seed = 101; seed <= 108; ++seed) out.push_back(*kivo::AFPFromPCM(pcmOf(kivo::test::music(180 * kRate, seed))));
    return out;
  }();
  return sources;
}

// A pack of the three pieces and `hours` of other music-like fingerprints (3-minute entries, each
// one of the filler sources with its bands rotated, its time reversed or shifted: no two alike).
void writePack(const std::filesystem::path& path, int hours, const std::vector<kivo::Bytes>& pieces) {
  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(path);
  nlohmann::json media = nlohmann::json::object();
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string id = "m" + std::to_string(i + 1);
    dumper->addAFP({id, 0, *kivo::AFPFromPCM(pieces[i])});
    media[id] = {{"type", "cf"}, {"title", id}, {"_id", id}};
  }
  for (int i = 0; i < hours * 20; ++i) {
    const auto& source = fillerSources()[size_t(i) % 8];
    const size_t words = source.size() / 8;
    const unsigned rotate = 1 + unsigned(i / 8) % 63;
    const bool reverse = (i / 504) % 2 == 1;
    const size_t shift = size_t(i / 1008) * 997 % words;
    kivo::Bytes afp(source.size());
    for (size_t k = 0; k < words; ++k) {
      uint64_t w;
      std::memcpy(&w, &source[((reverse ? words - 1 - k : k) + shift) % words * 8], 8);
      w = (w << rotate) | (w >> (64 - rotate));
      std::memcpy(&afp[k * 8], &w, 8);
    }
    const std::string id = "filler-" + std::to_string(i);
    dumper->addAFP({id, 0, afp});
    media[id] = {{"type", "cf"}, {"title", id}, {"_id", id}};
  }
  if (!dumper->finishWithMetadata({{"media", media}})) std::abort();
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int hours = 1;
  double seconds = 60;
  std::string type = "iar";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--hours") hours = std::atoi(argv[i + 1]);
    else if (arg == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (arg == "--type") type = argv[i + 1];
  }
  const bool cloud = type == "cloud";
  kivo::setLogSink([](std::string_view) {});
  kivo::test::TempDir dir;
  kivo::setDataDirectory(dir.path() / "device");

  std::vector<kivo::Bytes> pieces;
  for (uint32_t seed = 1; seed <= 3; ++seed) pieces.push_back(pcmOf(kivo::test::music(40 * kRate, seed)));
  const auto built = Clock::now();
  writePack(dir.path() / "small.pack", 0, pieces);
  if (!cloud) writePack(dir.path() / "big.pack", hours, pieces);
  std::fprintf(stderr, "packs written in %.1f s\n", std::chrono::duration<double>(Clock::now() - built).count());

  // The console holds the pieces (and, for cloud, the hours of reference too).
  if (cloud && hours > 0) writePack(dir.path() / "small.pack", hours, pieces);
  {
    std::ofstream(dir.path() / "seed.json") << nlohmann::json{
        {"applications", {{{"app_id", "demo"}, {"secret_key", "s3cret"}, {"pack", "default"}}}},
        {"packs", {{{"name", "default"}, {"file", "small.pack"}}}}}.dump();
  }
  kivo::console::ConsoleOptions options;
  options.dataDir = dir.path() / "console";
  options.selfSigned = true;
  options.rateLimit = 0;
  kivo::console::ConsoleServer console(options);
  kivo::console::seedStore(console.store(), dir.path() / "seed.json", std::chrono::system_clock::now());
  console.start();
  kivo::KIVOHTTP::setDefaultCertificateAuthorityFile(options.dataDir / "self-signed.pem");

  // The recording: the pieces in turn from 5 s, half volume, white noise 20 dB down.
  kivo::Bytes recording;
  for (size_t k = 0; recording.size() < size_t(seconds * kRate * 2); ++k) {
    const auto& p = pieces[k % 3];
    const auto noise = kivo::test::noise(30 * kRate, 1.0f, uint32_t(k + 9));
    std::vector<float> part(30 * kRate);
    for (size_t i = 0; i < part.size(); ++i) {
      int16_t s;
      std::memcpy(&s, p.data() + (5 * kRate + i) * 2, 2);
      part[i] = 0.5f * float(s) / 32768.0f + 0.016f * noise[i];
    }
    const auto bytes = pcmOf(part);
    recording.insert(recording.end(), bytes.begin(), bytes.end());
  }

  kivo::KIVOAudioQueueRecorder queueRecorder;
  queueRecorder.setCaptureSourceFactory([&](const std::string&) -> std::unique_ptr<kivo::CaptureSource> {
    return std::make_unique<kivo::capture::FileCaptureSource>(recording);
  });
  kivo::KIVOAudioRecorder recorder(queueRecorder);
  auto manager = kivo::KIVOManager::makeIndependent();
  manager->setAudioRecorder(&recorder);
  manager->setApiEndpoint(console.baseURL());
  manager->setApplicationID("demo");
  manager->setSecretKey("s3cret");
  manager->setActivityLogStore(kivo::KIVOLogStore::create(manager->consoleConfiguration()));
  manager->hitManager()->setPolicy(kivo::KIVOContinuousHitPolicyAlways);
  if (!cloud) manager->setBarrierBundlePath(dir.path() / "big.pack");

  const int32_t detect = cloud ? kivo::KIVOManagerDetectTypeCloud : kivo::KIVOManagerDetectTypeIAR;
  const auto preparing = Clock::now();
  manager->prepareWithType(detect);
  if (!kivo::test::pumpMainUntil([&] { return manager->prepared(); }, std::chrono::minutes(20))) {
    std::fprintf(stderr, "preparation did not complete (status %d)\n", manager->prepareStatus());
    return 1;
  }
  std::fprintf(stderr, "prepared in %.1f s\n", std::chrono::duration<double>(Clock::now() - preparing).count());

  // Capture time of each block's last buffer, and the handler times.
  std::vector<std::atomic<int64_t>> blockEnds(size_t(seconds / 3.0) + 8);
  std::atomic<size_t> chunks{0};
  const auto origin = Clock::now();
  manager->setRawBufferHandler([&](const uint8_t*, uint64_t) {
    const size_t n = ++chunks;
    if (n % kBlockChunks == 0 && n / kBlockChunks - 1 < blockEnds.size())
      blockEnds[n / kBlockChunks - 1].store((Clock::now() - origin).count());
  });
  std::vector<double> latencies;
  size_t recognised = 0;
  const double cpuBefore = cpuSeconds();
  const auto listening = Clock::now();
  manager->startWithType(detect, true, [&](std::optional<nlohmann::json> result, std::optional<kivo::Error>) {
    if (!result) return;
    ++recognised;
    const auto now = (Clock::now() - origin).count();
    // The newest block that had ended: a block is handled well before the next one ends.
    const size_t ended = chunks.load() / kBlockChunks;
    if (ended == 0) return;
    latencies.push_back(double(now - blockEnds[ended - 1].load()) / 1e6);
  });
  kivo::test::pumpMainUntil([] { return false; }, std::chrono::milliseconds(int64_t(seconds * 1000)));
  const double wall = std::chrono::duration<double>(Clock::now() - listening).count();
  const double cpu = cpuSeconds() - cpuBefore;
  manager->stop();
  console.stop();

  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[size_t(q * double(latencies.size() - 1))]; };
  std::printf("%s, %d h of reference: %zu blocks, %zu recognised; latency ms median %.0f, p90 %.0f, max %.0f; "
              "CPU %.1f%% of one core over %.0f s\n",
              type.c_str(), hours, chunks.load() / kBlockChunks, recognised, at(0.5), at(0.9), at(1.0),
              100.0 * cpu / wall, wall);
  return 0;
}

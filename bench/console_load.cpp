// Cloud queries per second against an in-process kivo-console holding HOURS of reference, with 1
// and 8 concurrent clients on keep-alive connections; median and 99th-percentile latency.
// The reference is synthetic: random AFP words in 10-minute entries (matching cost depends on the
// number of words, not on what they hold); each query is 3.25 s (104 words) cut from a random
// entry at a random step with 5% of its bits flipped.
//   console_load [--hours 100] [--queries 400]
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audiopack/audio_pack_dumper.h"
#include "kivo/http.h"
#include "server/catalogue.h"
#include "server/console_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kEntryWords = 10 * 60 * 32;  // ten minutes
constexpr size_t kQueryWords = 104;            // 3.25 s

long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

uint64_t word(size_t entry, size_t index) {
  uint64_t x = (uint64_t(entry) << 32) ^ index ^ 0x9E3779B97F4A7C15ull;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 100;
  size_t queries = 400;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--hours")) hours = std::stod(argv[i + 1]);
    if (!std::strcmp(argv[i], "--queries")) queries = std::stoul(argv[i + 1]);
  }
  const size_t entries = std::max<size_t>(1, size_t(hours * 6));
  const auto dir = std::filesystem::temp_directory_path() / ("kivo-console-load-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  auto t0 = Clock::now();
  {
    auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(dir / "ref.pack");
    nlohmann::json media = nlohmann::json::object();
    kivo::Bytes afp(kEntryWords * 8);
    for (size_t e = 0; e < entries; ++e) {
      for (size_t w = 0; w < kEntryWords; ++w) {
        const uint64_t v = word(e, w);
        std::memcpy(afp.data() + w * 8, &v, 8);
      }
      const std::string id = "r" + std::to_string(e);
      dumper->addAFP({id, 0, afp});
      media[id] = {{"type", "cf"}, {"title", id}};
    }
    if (!dumper->finishWithMetadata({{"media", media}})) return 1;
  }
  std::printf("reference: %zu entries, %.1f hours, %.1f MiB pack, built in %.1f s\n", entries,
              double(entries * kEntryWords) / 32 / 3600,
              double(std::filesystem::file_size(dir / "ref.pack")) / (1 << 20),
              std::chrono::duration<double>(Clock::now() - t0).count());

  kivo::console::ConsoleOptions o;
  o.dataDir = dir / "data";
  o.rateLimit = 0;
  o.keepAliveSeconds = 1;
  o.matchTimeout = std::chrono::seconds(120);
  kivo::console::ConsoleServer server(o);
  server.store().putApplication({"bench", "bench", "default"}, "key");
  kivo::console::publishPack(server.store(), dir / "ref.pack", "default", false, std::chrono::system_clock::now());
  server.start();

  const std::string boundary = kivo::KIVOHTTP::makeBoundary();
  const std::string type = kivo::KIVOHTTP::stringOfMultipartFormDataWithBoundary(boundary);
  auto body = [&](std::mt19937_64& random) {
    // Queries start on a whole step (two words), as fingerprints of captured audio do.
    const size_t e = random() % entries, start = (random() % (kEntryWords - kQueryWords)) & ~size_t{1};
    kivo::Bytes afp(kQueryWords * 8);
    for (size_t w = 0; w < kQueryWords; ++w) {
      uint64_t v = word(e, start + w);
      for (int b = 0; b < 64; ++b) {
        if (random() % 20 == 0) v ^= uint64_t{1} << b;
      }
      std::memcpy(afp.data() + w * 8, &v, 8);
    }
    const kivo::Bytes bytes = kivo::KIVOHTTP::bodyDataWithBoundary(
        boundary, {{"session", "bench"}, {"cutoff", -25}}, std::string("afp"), std::string("q.afp"),
        std::string("application/octet-stream"), afp);
    return std::make_pair("r" + std::to_string(e), std::string(bytes.begin(), bytes.end()));
  };
  const httplib::Headers headers = {{"X-Kivo-Application-Id", "bench"}, {"X-Kivo-Secret-Key", "key"}};

  const long rssBefore = rssKiB();
  t0 = Clock::now();
  {
    std::mt19937_64 random(1);
    httplib::Client c("127.0.0.1", server.port());
    c.set_read_timeout(120, 0);
    auto res = c.Post("/api/query", headers, body(random).second, type.c_str());
    if (!res || res->status != 200) return std::fprintf(stderr, "warm-up query failed\n"), 1;
  }
  std::printf("first query (loads the pack): %.2f s; resident memory %+.0f MiB (now %.0f MiB)\n",
              std::chrono::duration<double>(Clock::now() - t0).count(), double(rssKiB() - rssBefore) / 1024,
              double(rssKiB()) / 1024);

  for (size_t clients : {size_t{1}, size_t{8}}) {
    std::vector<std::vector<double>> latencies(clients);
    std::vector<size_t> right(clients, 0);
    const size_t each = std::max<size_t>(1, queries / clients);
    t0 = Clock::now();
    std::vector<std::thread> threads;
    for (size_t t = 0; t < clients; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 random(100 + t);
        httplib::Client c("127.0.0.1", server.port());
        c.set_read_timeout(120, 0);
        c.set_keep_alive(true);
        c.set_tcp_nodelay(true);
        for (size_t q = 0; q < each; ++q) {
          auto [want, payload] = body(random);
          const auto start = Clock::now();
          auto res = c.Post("/api/query", headers, payload, type.c_str());
          latencies[t].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
          if (res && res->status == 200) {
            const auto answer = nlohmann::json::parse(res->body, nullptr, false);
            right[t] += answer.is_object() && answer.value("success", 0) == 1 && answer["result"]["_id"] == want;
          }
        }
      });
    }
    for (auto& th : threads) th.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<double> all;
    size_t correct = 0;
    for (size_t t = 0; t < clients; ++t) {
      all.insert(all.end(), latencies[t].begin(), latencies[t].end());
      correct += right[t];
    }
    std::sort(all.begin(), all.end());
    std::printf("%zu client(s): %zu queries in %.1f s = %.1f queries/s; latency median %.1f ms, p99 %.1f ms; "
                "%zu right\n",
                clients, all.size(), seconds, double(all.size()) / seconds, all[all.size() / 2],
                all[std::min(all.size() - 1, size_t(double(all.size()) * 0.99))], correct);
  }
  server.stop();
  std::filesystem::remove_all(dir);
  return 0;
}

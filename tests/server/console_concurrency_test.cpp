// kivo-console under concurrent use: matches on the worker pool while a new pack version is
// published, and many clients recording at once.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <thread>

#include "audiopack/audio_pack_dumper.h"
#include "common/temp_dir.h"
#include "server/catalogue.h"
#include "server/console_server.h"
#include "server/matching_pool.h"

namespace {

using kivo::Bytes;
namespace console = kivo::console;

Bytes words(uint32_t seed, size_t count) {
  Bytes b(count * 8);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::memcpy(b.data() + i * 8, &x, 8);
  }
  return b;
}

void writePack(const std::filesystem::path& path, uint32_t entries) {
  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(path);
  nlohmann::json media = nlohmann::json::object();
  for (uint32_t i = 0; i < entries; ++i) {
    dumper->addAFP({"e" + std::to_string(i), 0, words(i, 2000)});
    media["e" + std::to_string(i)] = {{"type", "cf"}};
  }
  ASSERT_TRUE(dumper->finishWithMetadata({{"media", media}}));
}

TEST(ConsoleConcurrency, MatchesRunBesidePublishingAndRecording) {
  kivo::test::TempDir dir;
  writePack(dir / "a.pack", 4);
  writePack(dir / "b.pack", 6);
  console::ConsoleOptions o;
  o.dataDir = dir / "data";
  o.rateLimit = 0;
  o.keepAliveSeconds = 1;
  o.matchWorkers = 2;
  console::ConsoleServer server(o);
  server.store().putApplication({"app", "app", "p"}, "key");
  console::publishPack(server.store(), dir / "a.pack", "p", false, std::chrono::system_clock::now());
  server.store().putCampaign({{"_id", "c"}, {"items", {{{"_id", "c-1"}, {"type", "simple"}}}}});
  server.start();

  const httplib::Headers creds = {{"X-Kivo-Application-Id", "app"}, {"X-Kivo-Secret-Key", "key"}};
  std::atomic<int> right{0}, recorded{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      httplib::Client c("127.0.0.1", server.port());
      for (int i = 0; i < 8; ++i) {
        const int entry = (t + i) % 4;
        const Bytes q = words(uint32_t(entry), 2000);
        const std::string afp(q.begin() + 800, q.begin() + 800 + 104 * 8);
        const std::string body = "--b\r\nContent-Disposition: form-data; name=\"session\"\r\n\r\ns" +
                                 std::to_string(t) +
                                 "\r\n--b\r\nContent-Disposition: form-data; name=\"afp\"; filename=\"q\"\r\n\r\n" +
                                 afp + "\r\n--b--\r\n";
        auto res = c.Post("/api/query", creds, body, "multipart/form-data; boundary=b");
        if (res && res->status == 200 &&
            nlohmann::json::parse(res->body)["result"]["_id"] == "e" + std::to_string(entry)) {
          ++right;
        }
        const std::string mark =
            "--b\r\nContent-Disposition: form-data; name=\"session\"\r\n\r\ns" + std::to_string(t) +
            "\r\n--b\r\nContent-Disposition: form-data; name=\"item_id\"\r\n\r\nc-1\r\n--b--\r\n";
        res = c.Post("/api/bookmark", creds, mark, "multipart/form-data; boundary=b");
        recorded += res && res->status == 200;
      }
    });
  }
  // A new version while queries run: later queries load it, earlier ones finish on the old one.
  console::publishPack(server.store(), dir / "b.pack", "p", false, std::chrono::system_clock::now());
  for (auto& c : clients) c.join();
  EXPECT_EQ(right, 48);
  EXPECT_EQ(recorded, 48);
  EXPECT_EQ(server.store().count("bookmarks"), 48);
}

TEST(ConsoleConcurrency, AFullMatchQueueAnswersBusy) {
  kivo::test::TempDir dir;
  writePack(dir / "a.pack", 1);
  console::MatchingPool pool(1, 0);
  const console::PackVersion v{"p", "20260101000000", dir / "a.pack", false};
  EXPECT_EQ(pool.match(v, words(0, 104), std::chrono::seconds(5)).status, console::MatchingPool::Status::kBusy);
  console::MatchingPool open(2, 8);
  EXPECT_EQ(open.match(v, words(0, 104), std::chrono::seconds(30)).status, console::MatchingPool::Status::kMatched);
  const console::PackVersion missing{"p", "20260101000001", dir / "missing.pack", false};
  EXPECT_EQ(open.match(missing, words(0, 104), std::chrono::seconds(30)).status,
            console::MatchingPool::Status::kNoPack);
}

}  // namespace

// cpp-httplib comes uninstrumented, so ThreadSanitizer cannot see its own synchronisation between
// the server's connection threads; reports inside it are not about the console's code.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libcpp-httplib.so\ncalled_from_lib:libcpp-httplib.so\n";
}

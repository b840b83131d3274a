// The activity log: report items, the immediate path, and the queued path's persisted list
// through faults and a restart, against a raw local server.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/log_capture.h"
#include "common/main_queue_wait.h"
#include "common/temp_dir.h"
#include "common/test_http_server.h"
#include "common/virtual_time.h"
#include "common/wire_request.h"
#include "kivo/log_store.h"
#include "kivo/network_reachability.h"

namespace kivo {
namespace {

using nlohmann::json;
using test::httpAnswer;
using test::parseWire;
using test::RawHTTPServer;

// Flags the test sets; changes reach the monitor through reachabilityChanged().
struct FixedSource : ReachabilitySource {
  explicit FixedSource(uint32_t initial) : flags(initial) {}
  std::optional<uint32_t> currentFlags() override { return flags; }
  void start(std::function<void(uint32_t)>) override {}
  void stop() override {}
  uint32_t flags;
};

std::shared_ptr<KIVONetworkReachability> reachability(bool reachable) {
  auto monitor = KIVONetworkReachability::create(
      std::make_shared<FixedSource>(reachable ? kKIVONetworkReachabilityFlagsReachable : 0));
  monitor->prepare();
  return monitor;
}

KIVOLogItem item(const json& id) {
  return KIVOLogItem(json{{"result", {{"_id", id}, {"items", json::array({{{"_id", "it"}}})}}}});
}

json materialOf(const std::string& raw) {
  const json document = json::parse(parseWire(raw).body);
  return document.contains("data") ? document["data"]["material_id"] : document["material_id"];
}

TEST(KIVOLogItem, FieldsFromTheHitDictionary) {
  struct Case {
    json media;
    std::optional<std::string> mediaID, itemID;
    bool warns;
  };
  const std::vector<Case> cases = {
      {{{"result", {{"_id", "m"}, {"items", json::array({{{"_id", "i"}}, {{"_id", "j"}}})}}}}, "m", "i", false},
      {{{"result", {{"_id", "m"}, {"items", json::array()}}}}, "m", "(Unknown Item ID)", false},
      {{{"result", {{"_id", "m"}}}}, "m", std::nullopt, true},
      {{{"result", {{"_id", 42}, {"items", "x"}}}}, "42", std::nullopt, true},
      {{{"result", {{"_id", true}, {"items", json::array({7})}}}}, std::nullopt, std::nullopt, false},
      {{{"result", "m"}}, std::nullopt, std::nullopt, true},
      {json::array(), std::nullopt, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.media.dump());
    test::LogCapture log;
    KIVOLogItem logItem(c.media);
    EXPECT_EQ(logItem.mediaID, c.mediaID);
    EXPECT_EQ(logItem.itemID, c.itemID);
    EXPECT_EQ(log.contains("WARN: there's no item for logging"), c.warns);
  }
  using std::chrono::milliseconds;
  EXPECT_EQ(KIVOLogItem::createdFromDate(Date(milliseconds(1000001))), 1001);
  EXPECT_EQ(KIVOLogItem::createdFromDate(Date(milliseconds(1000000))), 1000);

  KIVOLogItem full = item("m");
  full.key = "k";
  full.created = 5;
  full.location = Location{37.5, 127.0, 5, {}};
  full.setUserDataWithUserName("Ann");
  EXPECT_EQ(full.description(),
            R"({ KIVOLogItem k {"created":5,"item_id":"it","loc":"127.00000000, 37.50000000","media_id":"m",)"
            R"("userdata":"{\"name\":\"Ann\"}"} })");
  full.setUserDataWithUserName(std::nullopt);
  EXPECT_FALSE(full.userData);
}

class LogStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { KIVOHTTP::setDefaultAllowsInsecureHTTP(true); }
  static void TearDownTestSuite() { KIVOHTTP::setDefaultAllowsInsecureHTTP(false); }

  void serve(RawHTTPServer::Answer answer) {
    server_ = std::make_unique<RawHTTPServer>(std::move(answer));
    configuration_->setApiEndpoint(server_->url("/api"));
  }
  std::shared_ptr<KIVOLogStore> store(bool reachable = true, size_t bound = 1000,
                                      std::shared_ptr<KIVONetworkReachability> monitor = nullptr) {
    KIVOLogStoreOptions options;
    options.directory = directory_.path();
    options.reachability = monitor ? monitor : reachability(reachable);
    options.sessionID = [] { return std::string("TID"); };
    options.maximumPendingItems = bound;
    options.requestTimeout = 0.3;
    options.resourceTimeout = 0.3;
    return KIVOLogStore::create(configuration_, options);
  }
  std::string pendingFile() const {
    std::ifstream in(directory_ / std::string(KIVOLogStore::kPendingFileName));
    return {std::istreambuf_iterator<char>(in), {}};
  }

  test::TempDir directory_;
  std::shared_ptr<ConsoleConfiguration> configuration_ = [] {
    auto configuration = ConsoleConfiguration::create();
    configuration->setApplicationID("app");
    configuration->setSecretKey("secret");
    configuration->setToken("t1");
    return configuration;
  }();
  std::unique_ptr<RawHTTPServer> server_;
};

TEST_F(LogStoreTest, ImmediatePathPassesOnlyAnObjectAnswer) {
  struct Case {
    const char* name;
    std::string answer;
    std::optional<json> expected;
  };
  const std::vector<Case> cases = {
      {"campaign", httpAnswer(200, R"({"campaign":{"a":1}})"), json{{"campaign", {{"a", 1}}}}},
      {"204 empty", httpAnswer(204, ""), std::nullopt},
      {"500", httpAnswer(500, R"({"campaign":1})"), std::nullopt},
      {"a list", httpAnswer(200, "[1]"), std::nullopt},
      {"not JSON", httpAnswer(200, "nope"), std::nullopt},
      {"dropped", "RESET", std::nullopt},
  };
  std::vector<std::string> answers;
  for (const auto& c : cases) answers.push_back(c.answer);
  serve([answers](size_t index, const std::string&) { return index < answers.size() ? answers[index] : "RESET"; });
  const auto logStore = store();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    std::optional<std::optional<json>> got;
    logStore->sendActivityImmediatelyWithLogItem(item(i == 0 ? json(7) : json("m")),
                                                 [&](std::optional<json> answer) { got = answer; });
    ASSERT_TRUE(test::pumpMainUntil([&] { return got.has_value(); }));
    EXPECT_EQ(*got, cases[i].expected);
  }
  const auto first = parseWire(server_->requests()[0]);
  EXPECT_EQ(first.line, "POST /api/activity/ HTTP/1.1");
  EXPECT_EQ(first.header("authorization"), "Bearer t1");
  EXPECT_EQ(first.header("content-type"), "application/json");
  EXPECT_EQ(json::parse(first.body), (json{{"type", "material"}, {"material_id", 7}}));

  // A new token reaches the next request; without one, or without a media id, nothing is sent
  // and the completion still gets nothing.
  configuration_->setToken("t2");
  bool done = false;
  logStore->sendActivityImmediatelyWithLogItem(item("m"), [&](auto) { done = true; });
  ASSERT_TRUE(test::pumpMainUntil([&] { return done; }));
  EXPECT_EQ(parseWire(server_->requests().back()).header("authorization"), "Bearer t2");
  const size_t sent = server_->requests().size();
  configuration_->setToken(std::nullopt);
  int nothing = 0;
  logStore->sendActivityImmediatelyWithLogItem(item("m"), [&](auto answer) { nothing += !answer; });
  configuration_->setToken("t3");
  logStore->sendActivityImmediatelyWithLogItem(KIVOLogItem(json::object()), [&](auto answer) { nothing += !answer; });
  ASSERT_TRUE(test::pumpMainUntil([&] { return nothing == 2; }));
  EXPECT_EQ(server_->requests().size(), sent);
}

TEST_F(LogStoreTest, QueuedReportsSurviveFaultsAndARestartAndArriveAtLeastOnce) {
  test::VirtualTime time;
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  // Per connection: dropped, 500, answered after the client gave up, then malformed and good 200s.
  serve([&](size_t index, const std::string&) -> std::string {
    switch (index) {
      case 0: return "RESET";
      case 1: return httpAnswer(500, "{}");
      case 2: {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
        return httpAnswer(200, "{}");
      }
      case 3: return httpAnswer(200, "{not json");
      default: return httpAnswer(200, "{}");
    }
  });
  auto first = store();
  first->sendActivityWithLogItem(item("m0"));
  first->sendActivityWithLogItem(item(1));
  first->sendActivityWithLogItem(item("m2"));
  time.settle();
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  cv.notify_all();
  ASSERT_EQ(first->pendingItems().size(), 3u);
  EXPECT_EQ(pendingFile().find("secret"), std::string::npos);
  EXPECT_EQ(pendingFile().find("t1"), std::string::npos);
  first.reset();

  // A new process: the list comes back from the file, and the retry runs on the store's own queue
  // although the thread that made the store is gone.
  std::shared_ptr<KIVOLogStore> second;
  std::thread([&] { second = store(); }).join();
  ASSERT_EQ(second->pendingItems().size(), 3u);
  EXPECT_EQ(second->pendingItems()[1].mediaID, "1");
  time.advance(std::chrono::seconds(29));
  EXPECT_EQ(server_->requests().size(), 3u);
  time.advance(std::chrono::seconds(1));
  EXPECT_TRUE(second->pendingItems().empty());
  std::vector<json> materials;
  for (const auto& raw : server_->requests()) materials.push_back(materialOf(raw));
  // Each report again exactly once after its failed try: only unanswered tries give duplicates.
  EXPECT_EQ(materials, (std::vector<json>{"m0", 1, "m2", "m0", 1, "m2"}));
  const auto wire = parseWire(server_->requests()[3]);
  EXPECT_EQ(json::parse(wire.body), (json{{"app_id", "app"},
                                          {"secret_key", "secret"},
                                          {"session", "TID"},
                                          {"data", {{"material_id", "m0"}}}}));
  EXPECT_EQ(wire.header("authorization"), "Bearer t1");
  EXPECT_EQ(json::parse(pendingFile())["items"], json::array());
}

TEST_F(LogStoreTest, OfflineReportsWaitForTheTickAndTheOldestGoFirstWhenFull) {
  test::VirtualTime time;
  serve([](size_t, const std::string&) { return httpAnswer(200, "{}"); });
  test::LogCapture log;
  const auto monitor = reachability(false);
  const auto logStore = store(false, 2, monitor);
  for (const char* id : {"a", "b", "c"}) logStore->sendActivityWithLogItem(item(id));
  logStore->sendActivityWithLogItem(KIVOLogItem(json::object()));  // no media id: dropped
  time.settle();
  ASSERT_EQ(logStore->pendingItems().size(), 2u);
  EXPECT_EQ(logStore->pendingItems()[0].mediaID, "b");
  EXPECT_TRUE(log.contains("[WARN] KIVOLogStore: pending list is full, dropped the oldest item a"));
  time.advance(std::chrono::seconds(30));
  EXPECT_EQ(server_->requests().size(), 0u);  // still offline
  monitor->reachabilityChanged(kKIVONetworkReachabilityFlagsReachable);
  time.advance(std::chrono::seconds(29));
  EXPECT_EQ(server_->requests().size(), 0u);  // not at the moment it comes back
  time.advance(std::chrono::seconds(1));
  ASSERT_EQ(server_->requests().size(), 2u);
  EXPECT_EQ(materialOf(server_->requests()[0]), "b");
  EXPECT_TRUE(logStore->pendingItems().empty());
  // A damaged list file is set aside without harm on the next start.
  std::ofstream(directory_ / std::string(KIVOLogStore::kPendingFileName)) << "[[[";
  const auto online = store(true);
  EXPECT_TRUE(online->pendingItems().empty());
  EXPECT_TRUE(log.contains("[WARN] KIVOLogStore: discarded a damaged file of pending items"));
}

TEST_F(LogStoreTest, HostThreadsSendWhileTheTokenChanges) {
  test::VirtualTime time;
  serve([](size_t, const std::string&) { return httpAnswer(200, "{}"); });
  const auto logStore = store();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        logStore->sendActivityWithLogItem(item(t * 10 + i));
        logStore->sendActivityImmediatelyWithLogItem(item("x"), {});
        configuration_->setToken("t" + std::to_string(i));
        logStore->sendPendingItems();
        (void)logStore->pendingItems();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(test::pumpMainUntil([&] { return server_->requests().size() >= 40; }));
  time.settle();
  EXPECT_TRUE(logStore->pendingItems().empty());
}

}  // namespace
}  // namespace kivo

// The console's wire forms, read byte for byte from what a real local server received, and the
// delegate rules of KIVONetwork and DOQueryService.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/main_queue_wait.h"
#include "common/test_http_server.h"
#include "common/wire_request.h"
#include "kivo/network.h"
#include "kivo/query_service.h"
#include "network/console_endpoints.h"

namespace kivo {
namespace {

using test::httpAnswer;
using test::parseWire;
using test::RawHTTPServer;
using Fields = std::vector<std::pair<std::string, std::string>>;

const std::string kAFP("\x00\x01\xff\r\n--\x7f", 8);

Location fix() {
  Location location{37.5, 127.0, 65.0, std::chrono::system_clock::time_point(std::chrono::hours(24 * 20149))};
  return location;
}

struct Record {
  std::string callback;
  std::optional<std::string> first, second;
  bool error = false;
  friend bool operator==(const Record&, const Record&) = default;
};

void PrintTo(const Record& r, std::ostream* os) {
  *os << r.callback << "(" << r.first.value_or("<none>") << ", " << r.second.value_or("<none>") << ", "
      << (r.error ? "error" : "no error") << ")";
}

struct Recorder : KIVONetworkDelegate, DOQueryServiceDelegate {
  std::vector<Record> records;
  void networkPromotions(KIVONetwork&, const std::optional<std::string>& text,
                         const std::optional<Error>& error) override {
    records.push_back({"promotions", text, {}, error.has_value()});
  }
  void networkFinishPromotionID(KIVONetwork&, const std::optional<std::string>& id,
                                const std::optional<std::string>& text, const std::optional<Error>& error) override {
    records.push_back({"promotion", id, text, error.has_value()});
  }
  void networkFinishBookmarkID(KIVONetwork&, const std::optional<std::string>& bookmark,
                               const std::optional<std::string>& id, const std::optional<Error>& error) override {
    records.push_back({"bookmark", bookmark, id, error.has_value()});
  }
  void networkFinishDeleteBookmarkID(KIVONetwork&, const std::optional<std::string>& bookmark,
                                     const std::optional<std::string>& id,
                                     const std::optional<Error>& error) override {
    records.push_back({"deleteBookmark", bookmark, id, error.has_value()});
  }
  void networkFinishGetAppliedPromotionItemID(KIVONetwork&, const std::optional<std::string>& id,
                                              const std::optional<std::string>& text,
                                              const std::optional<Error>& error) override {
    records.push_back({"applied", id, text, error.has_value()});
  }
  void queryServiceAfpResult(DOQueryService&, const std::optional<std::string>& text,
                             const std::optional<Error>& error, const std::any& userData) override {
    records.push_back({"query", text, std::any_cast<std::string>(userData), error.has_value()});
  }
};

class ConsoleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { KIVOHTTP::setDefaultAllowsInsecureHTTP(true); }
  static void TearDownTestSuite() { KIVOHTTP::setDefaultAllowsInsecureHTTP(false); }

  void serve(RawHTTPServer::Answer answer) {
    server_ = std::make_unique<RawHTTPServer>(std::move(answer));
    configuration_->setApiEndpoint(server_->url("/api"));
  }
  std::shared_ptr<KIVONetwork> network() {
    auto network = KIVONetwork::create(configuration_, "app", "secret", "console.example");
    network->setDelegate(recorder_);
    return network;
  }
  std::shared_ptr<DOQueryService> service() {
    return DOQueryService::create(configuration_, "console.example", "/v1/query", "app", "secret", recorder_);
  }
  bool waitForRecords(size_t count) {
    return test::pumpMainUntil([&] { return recorder_->records.size() >= count; });
  }

  std::shared_ptr<ConsoleConfiguration> configuration_ = ConsoleConfiguration::create();
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::unique_ptr<RawHTTPServer> server_;
};

enum class Credentials { kNone, kApplication, kToken };

struct WireCase {
  const char* name;
  std::function<void(ConsoleTest&, const std::shared_ptr<KIVONetwork>&, const std::shared_ptr<DOQueryService>&,
                     const std::string& endpoint)>
      start;
  std::string line;
  Credentials credentials;
  Fields fields;
  bool afp = false;
};

void sendRow(const console::Request& request, Credentials credentials, const std::string& endpoint) {
  HTTPHeaders headers;
  if (credentials == Credentials::kToken) headers = {{"authorization", "tok"}};
  KIVOHTTP http(headers);
  console::send(http, endpoint, request, {});
}

TEST_F(ConsoleTest, EveryMultipartAndGetRowGoesOnTheWireByteForByte) {
  const std::vector<WireCase> cases = {
      {"1 auth", [](auto&, auto&, auto&, const std::string& e) {
         sendRow(console::auth("app", "secret", "TID", std::nullopt), Credentials::kNone, e); },
       "POST /api/auth HTTP/1.1", Credentials::kNone,
       {{"app_id", "app"}, {"secret_key", "secret"}, {"session_id", "TID"}, {"v", "19990101000000"}}},
      {"3 update", [](auto&, auto&, auto&, const std::string& e) {
         sendRow(console::updateAFP("TID"), Credentials::kToken, e); },
       "POST /api/v1_prefix/update_afp HTTP/1.1", Credentials::kToken, {{"session", "TID"}}},
      {"4 cloud", [](auto&, auto&, auto&, const std::string& e) {
         sendRow(console::cloudQuery("TID", -7.9, fix(), Bytes(kAFP.begin(), kAFP.end())), Credentials::kToken, e); },
       "POST /api/query HTTP/1.1", Credentials::kToken,
       {{"session", "TID"}, {"cutoff", "-7"},
        {"loc", "<+37.50000000,+127.00000000> +/- 65.00m (speed -1.00 mps / course -1.00) @ 2025-03-02T00:00:00+0000"}},
       true},
      {"5 live", [](auto&, auto&, auto&, const std::string& e) {
         sendRow(console::liveQuery("TID", Bytes(kAFP.begin(), kAFP.end())), Credentials::kToken, e); },
       "POST /api/query HTTP/1.1", Credentials::kToken,
       {{"SilenceRate", "0.05"}, {"SilenceThreshold", "0.2"}, {"session_id", "TID"}}, true},
      {"6 query with location", [](auto&, auto&, auto& s, auto&) {
         s->sendData(Bytes(kAFP.begin(), kAFP.end()), "TID", -3, std::string("u"), fix()); },
       "POST /api/query HTTP/1.1", Credentials::kApplication,
       {{"session", "TID"}, {"cutoff", "-3"}, {"loc", "37.50000000,127.00000000"}}, true},
      {"6 query", [](auto&, auto&, auto& s, auto&) {
         s->sendData(Bytes(kAFP.begin(), kAFP.end()), "TID", 12, std::string("u")); },
       "POST /api/query HTTP/1.1", Credentials::kApplication, {{"session", "TID"}, {"cutoff", "12"}}, true},
      {"7 full", [](auto&, auto& n, auto&, auto&) { n->postPromotionWithSession("TID", "P1", "M1", "{}", "A", true); },
       "POST /api/promotion HTTP/1.1", Credentials::kApplication,
       {{"session", "TID"}, {"userdata", "{}"}, {"answer", "A"}, {"is_correct", "1"}, {"promo_id", "P1"},
        {"media_id", "M1"}}},
      {"7 wrong answer", [](auto&, auto& n, auto&, auto&) {
         n->postPromotionWithSession("TID", "P1", std::nullopt, std::nullopt, std::nullopt, false); },
       "POST /api/promotion HTTP/1.1", Credentials::kApplication, {{"session", "TID"}, {"promo_id", "P1"}}},
      {"7 short", [](auto&, auto& n, auto&, auto&) { n->postPromotionWithSession("TID", "P1", "M1"); },
       "POST /api/promotion HTTP/1.1", Credentials::kApplication,
       {{"session", "TID"}, {"promo_id", "P1"}, {"media_id", "M1"}}},
      {"8 list", [](auto&, auto& n, auto&, auto&) { n->getPromotionsWithSession("a b&c+d/é", -5, -1); },
       "GET /api/promotion?session=a%20b%26c%2Bd/%C3%A9&size=-5&offset=-1 HTTP/1.1", Credentials::kApplication, {}},
      {"9 applied", [](auto&, auto& n, auto&, auto&) { n->getAppliedPromotionWithSession("I2024", "i/1?x#"); },
       "GET /api/promotion/i%2F1%3Fx%23?session=I2024 HTTP/1.1", Credentials::kApplication, {}},
      {"10 bookmark", [](auto&, auto& n, auto&, auto&) { n->postBookmarkWithSession("TID", "P1", "u"); },
       "POST /api/bookmark HTTP/1.1", Credentials::kApplication,
       {{"session", "TID"}, {"userdata", "u"}, {"item_id", "P1"}}},
      {"11 delete bookmark", [](auto&, auto& n, auto&, auto&) { n->deleteBookmarkWithSession("TID", "b 1%", "P1"); },
       "DELETE /api/bookmark/b%201%25 HTTP/1.1", Credentials::kApplication, {{"session", "TID"}}},
      {"12 delete state", [](auto&, auto& n, auto&, auto&) { n->deleteStateWithSession("TID"); },
       "DELETE /api/state HTTP/1.1", Credentials::kApplication, {{"session", "TID"}}},
  };
  serve([](size_t, const std::string&) { return httpAnswer(200, "{}"); });
  const auto net = network();
  const auto query = service();
  for (size_t i = 0; i < cases.size(); ++i) {
    const WireCase& c = cases[i];
    SCOPED_TRACE(c.name);
    c.start(*this, net, query, configuration_->apiEndpoint());
    ASSERT_TRUE(test::pumpMainUntil([&] { return server_->requests().size() > i; }));
    const auto wire = parseWire(server_->requests()[i]);
    EXPECT_EQ(wire.line, c.line);
    EXPECT_EQ(wire.header("x-kivo-application-id"), c.credentials == Credentials::kApplication ? "app" : "");
    EXPECT_EQ(wire.header("x-kivo-secret-key"), c.credentials == Credentials::kApplication ? "secret" : "");
    EXPECT_EQ(wire.header("authorization"), c.credentials == Credentials::kToken ? "tok" : "");
    if (c.line.starts_with("GET")) {
      EXPECT_EQ(wire.body, "");
      EXPECT_EQ(wire.header("content-type"), "");
      continue;
    }
    const std::string boundary = wire.boundary();
    EXPECT_EQ(boundary.size(), 54u);
    EXPECT_EQ(wire.header("content-type"), "multipart/form-data; charset=utf-8; boundary=" + boundary);
    EXPECT_EQ(wire.body, test::multipartBody(boundary, c.fields, c.afp ? &kAFP : nullptr));
    EXPECT_EQ(wire.header("content-length"), std::to_string(wire.body.size()));
  }
}

TEST_F(ConsoleTest, DelegatesGetOneCallbackJudgedByStatusAndType) {
  struct Case {
    const char* name;
    std::string answer;  // "RESET" drops the connection
    std::function<void(KIVONetwork&)> start;
    Record expected;
  };
  const std::vector<Case> cases = {
      {"200 gives the text", httpAnswer(200, "ok"), [](auto& n) { n.postPromotionWithSession("S", "P", {}, {}, {}, false); },
       {"promotion", "P", "ok", false}},
      {"500 gives nothing and no error", httpAnswer(500, "boom"),
       [](auto& n) { n.postPromotionWithSession("S", "P", {}, {}, {}, false); }, {"promotion", "P", {}, false}},
      {"201 is a failure", httpAnswer(201, "x"), [](auto& n) { n.getPromotionsWithSession("S", 1, 0); },
       {"promotions", {}, {}, false}},
      {"a dropped connection is an error", "RESET", [](auto& n) { n.getPromotionsWithSession("S", 1, 0); },
       {"promotions", {}, {}, true}},
      {"non UTF-8 text is nothing", httpAnswer(200, "\xff\xfe"),
       [](auto& n) { n.getAppliedPromotionWithSession("S", "I"); }, {"applied", "I", {}, false}},
      {"a string bookmark", httpAnswer(200, R"({"bookmark":"b7"})"),
       [](auto& n) { n.postBookmarkWithSession("S", "P", {}); }, {"bookmark", "b7", "P", false}},
      {"a number bookmark", httpAnswer(200, R"({"bookmark":42})"),
       [](auto& n) { n.postBookmarkWithSession("S", "P", {}); }, {"bookmark", "42", "P", false}},
      {"a list answer", httpAnswer(200, R"([{"bookmark":"b"}])"),
       [](auto& n) { n.postBookmarkWithSession("S", "P", {}); }, {"bookmark", {}, "P", false}},
      {"a boolean bookmark", httpAnswer(200, R"({"bookmark":true})"),
       [](auto& n) { n.postBookmarkWithSession("S", "P", {}); }, {"bookmark", {}, "P", false}},
      {"too deep", httpAnswer(200, std::string(5000, '[') + std::string(5000, ']')),
       [](auto& n) { n.postBookmarkWithSession("S", "P", {}); }, {"bookmark", {}, "P", false}},
      {"delete bookmark", httpAnswer(200, ""), [](auto& n) { n.deleteBookmarkWithSession("S", "B", "P"); },
       {"deleteBookmark", "B", "P", false}},
  };
  std::vector<std::string> answers;
  for (const auto& c : cases) answers.push_back(c.answer);
  serve([answers](size_t index, const std::string&) { return index < answers.size() ? answers[index] : "RESET"; });
  const auto net = network();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    cases[i].start(*net);
    ASSERT_TRUE(waitForRecords(i + 1));
    EXPECT_EQ(recorder_->records[i], cases[i].expected);
  }
  test::pumpMainUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(recorder_->records.size(), cases.size());  // one callback each
}

TEST_F(ConsoleTest, MissingOrUnsafeArgumentsFailWithoutARequest) {
  serve([](size_t, const std::string&) { return httpAnswer(200, "{}"); });
  const auto net = network();
  const auto query = service();
  net->postPromotionWithSession(std::nullopt, "P", {}, {}, {}, true);
  net->postPromotionWithSession("S", "", {}, {}, {}, true);
  net->getPromotionsWithSession("", 1, 1);
  net->postBookmarkWithSession("S", std::nullopt, "u");
  net->deleteBookmarkWithSession("S", std::nullopt, "P");
  net->getAppliedPromotionWithSession("a b", "I");  // a space cannot go into the query as it is
  net->getAppliedPromotionWithSession("a&size=1", "I");
  query->sendData(Bytes{1}, std::nullopt, 1, std::string("tag"));
  net->postPromotionWithSession(std::nullopt, "P", "M");  // no callback rows
  net->deleteStateWithSession(std::nullopt);
  ASSERT_TRUE(waitForRecords(8));
  const std::vector<Record> expected = {
      {"promotion", "P", {}, false},    {"promotion", "", {}, false},  {"promotions", {}, {}, false},
      {"bookmark", {}, {}, false},      {"deleteBookmark", {}, "P", false}, {"applied", "I", {}, false},
      {"applied", "I", {}, false},      {"query", {}, "tag", false},
  };
  EXPECT_EQ(recorder_->records, expected);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(ConsoleTest, QueryServiceHandsOnAnyStatusWithItsOpaqueValue) {
  serve([](size_t index, const std::string&) { return index == 0 ? httpAnswer(500, "<html>down</html>") : "RESET"; });
  const auto query = service();
  query->sendData(Bytes{1, 2}, "S", 1, std::string("first"));
  ASSERT_TRUE(waitForRecords(1));
  query->sendData(Bytes{1, 2}, "S", 1, std::string("second"));
  ASSERT_TRUE(waitForRecords(2));
  const std::vector<Record> expected = {{"query", "<html>down</html>", "first", false}, {"query", {}, "second", true}};
  EXPECT_EQ(recorder_->records, expected);
}

TEST_F(ConsoleTest, ReleasedClientsAndDelegatesAreNeverCalled) {
  std::mutex mutex;
  std::condition_variable cv;
  bool go = false;
  serve([&](size_t, const std::string&) {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return go; });
    return httpAnswer(200, R"({"bookmark":"b"})");
  });
  auto net = network();
  net->postBookmarkWithSession("S", "P", {});
  auto query = service();
  query->sendData(Bytes{1}, "S", 1, std::string("x"));
  auto otherDelegate = std::make_shared<Recorder>();
  auto keptService = DOQueryService::create(configuration_, "h", "/p", "app", "secret", otherDelegate);
  keptService->sendData(Bytes{1}, "S", 1, std::string("y"));
  ASSERT_TRUE(test::pumpMainUntil([&] { return server_->requests().size() >= 1; }));
  net.reset();
  query.reset();
  std::weak_ptr<Recorder> gone = otherDelegate;
  otherDelegate.reset();
  {
    std::lock_guard lock(mutex);
    go = true;
  }
  cv.notify_all();
  ASSERT_TRUE(test::pumpMainUntil([&] { return server_->requests().size() >= 3; }));
  test::pumpMainUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(recorder_->records.empty());
  EXPECT_TRUE(gone.expired());
}

TEST_F(ConsoleTest, ClientsUsedFromManyThreadsWhileTheEndpointChanges) {
  serve([](size_t, const std::string&) { return httpAnswer(200, R"({"bookmark":"b"})"); });
  const auto net = network();
  const auto query = service();
  const std::string endpoint = configuration_->apiEndpoint();
  constexpr int kThreads = 4, kEach = 5;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (t % 2) {
          net->postBookmarkWithSession("S", "P" + std::to_string(i), {});
        } else {
          query->sendData(Bytes{uint8_t(i)}, "S", i, std::string("q"));
        }
        configuration_->setApiEndpoint(endpoint);
        net->setDelegate(recorder_);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(waitForRecords(kThreads * kEach));
  EXPECT_EQ(server_->requests().size(), size_t(kThreads * kEach));
}

TEST(ConsoleValues, CoercionsAndTextsTable) {
  using nlohmann::json;
  const std::vector<std::pair<json, int64_t>> integers = {
      {1, 1}, {1.9, 1}, {-1.9, -1}, {true, 1}, {false, 0}, {" +12x", 12}, {"-7", -7}, {"x1", 0},
      {nullptr, 0}, {json::array({1}), 0}, {json::object(), 0}, {1e30, INT64_MAX}, {"99999999999999999999", INT64_MAX}};
  for (const auto& [value, expected] : integers) EXPECT_EQ(console::integerValue(value), expected) << value;
  const std::vector<std::pair<json, std::optional<std::string>>> ids = {
      {"a", "a"}, {42, "42"}, {42.0, "42"}, {42.5, std::nullopt}, {true, std::nullopt}, {nullptr, std::nullopt},
      {json::array(), std::nullopt}};
  for (const auto& [value, expected] : ids) EXPECT_EQ(console::identifierValue(value), expected) << value;
  EXPECT_EQ(console::integerText(NAN), "0");
  EXPECT_EQ(console::integerText(-1e20), "-9223372036854775808");
  EXPECT_EQ(console::integerText(3.99), "3");
  EXPECT_EQ(console::floatText(0.05f), "0.05");
  EXPECT_EQ(DOQueryService::locationText(fix()), "37.50000000,127.00000000");
  EXPECT_EQ(DOQueryService::basicParametersWithSession("S"), (FormParameters{{"session", "S"}}));
  EXPECT_FALSE(KIVONetwork::parseJSONString("{"));
  EXPECT_EQ(KIVONetwork::parseJSONString(R"({"a":1})"), (json{{"a", 1}}));
}

}  // namespace
}  // namespace kivo

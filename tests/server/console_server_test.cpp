// kivo-console end to end on 127.0.0.1: the library's HTTP client sends the console's wire forms
// and the library's campaign models read the answers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstring>
#include <fstream>

#include "audiopack/audio_pack_dumper.h"
#include "common/main_queue_wait.h"
#include "common/signals.h"
#include "common/temp_dir.h"
#include "kivo/afp_generator.h"
#include "kivo/console_configuration.h"
#include "kivo/http.h"
#include "kivo/log_store.h"
#include "kivo/network.h"
#include "kivo/promotion.h"
#include "kivo/state.h"
#include "server/catalogue.h"
#include "server/console_server.h"

namespace {

using kivo::Bytes;
using nlohmann::json;
namespace console = kivo::console;

const std::string kAfpName = "c773393c-87d3-4663-b592-269737c847b9.afp";

Bytes pcmOf(const std::vector<float>& x) {
  const auto pcm = kivo::test::toPcm(x);
  Bytes out(pcm.size() * 2);
  std::memcpy(out.data(), pcm.data(), out.size());
  return out;
}

// 3.25 s of track seed from second `from`, quieter and with noise added: a phone in a room.
Bytes distortedExcerpt(uint32_t seed, size_t from) {
  auto x = kivo::test::music(320000, seed);
  std::vector<float> cut(x.begin() + long(from * 16000), x.begin() + long(from * 16000 + 52000));
  const auto noise = kivo::test::noise(cut.size(), 0.05f, seed + 100);
  for (size_t i = 0; i < cut.size(); ++i) cut[i] = cut[i] * 0.6f + noise[i];
  return *kivo::AFPFromPCM(pcmOf(cut));
}

// A pack of four 20-second tracks m1..m4 and a seed file with one application and two campaigns.
std::filesystem::path writeSeed(const std::filesystem::path& dir) {
  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(dir / "ref.pack");
  json media = json::object();
  for (uint32_t i = 1; i <= 4; ++i) {
    const std::string id = "m" + std::to_string(i);
    dumper->addAFP({id, 0, *kivo::AFPFromPCM(pcmOf(kivo::test::music(320000, i)))});
    media[id] = {{"type", "cf"}, {"title", "Track " + std::to_string(i)}, {"_id", id}};
  }
  EXPECT_TRUE(dumper->finishWithMetadata({{"media", media}}));
  const json seed = {
      {"applications", {{{"app_id", "demo"}, {"secret_key", "s3cret"}, {"pack", "default"}}}},
      {"packs", {{{"name", "default"}, {"file", "ref.pack"}}}},
      {"media", {{"m3", {{"channel", "Radio 3"}}}}},
      {"campaigns",
       {{{"_id", "c1"},
         {"media_id", "m2"},
         {"name", "Quiz night"},
         {"end_date", "2099-01-01T00:00:00+0000"},
         {"items",
          {{{"_id", "c1-quiz"}, {"type", "quiz"}, {"rel", "main"}, {"question", "Which?"}, {"answer", 2},
            {"answer_list", {"a", "b"}}},
           {{"_id", "c1-url"}, {"type", "url"}, {"url", "https://example.invalid/"}}}}},
        {{"_id", "c2"},
         {"media_id", "m3"},
         {"name", "Free coffee"},
         {"items", {{{"_id", "c2-voucher"}, {"type", "voucher"}, {"rel", "main"}, {"required", {"email"}}}}}}}}};
  std::ofstream(dir / "seed.json") << seed.dump();
  return dir / "seed.json";
}

struct Reply {
  long status = 0;
  std::string body;
  std::optional<kivo::Error> error;
  json object() const { return json::parse(body, nullptr, false); }
};

// Starts a request with a completion and pumps the main queue until it arrives.
Reply await(const std::function<void(kivo::DataCompletion)>& start) {
  auto reply = std::make_shared<std::optional<Reply>>();
  start([reply](std::optional<Bytes> body, std::optional<kivo::HTTPResponse> response, std::optional<kivo::Error> e) {
    Reply r;
    if (response) r.status = response->statusCode;
    if (body) r.body.assign(body->begin(), body->end());
    r.error = std::move(e);
    *reply = std::move(r);
  });
  EXPECT_TRUE(kivo::test::pumpMainUntil([&] { return reply->has_value(); }));
  return reply->value_or(Reply{});
}

std::unique_ptr<kivo::KIVOHTTP> client(kivo::HTTPHeaders headers = {}) {
  auto http = std::make_unique<kivo::KIVOHTTP>(std::move(headers));
  http->allowsInsecureHTTP = true;
  return http;
}

kivo::HTTPHeaders credentials() { return {{"X-Kivo-Application-Id", "demo"}, {"X-Kivo-Secret-Key", "s3cret"}}; }

class Console : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kivo::KIVOHTTP::setDefaultAllowsInsecureHTTP(true);  // for the log store's own client
    dir = new kivo::test::TempDir;
    console::ConsoleOptions o;
    o.dataDir = dir->path() / "data";
    o.now = [] { return clock.load(); };
    o.maxBodyBytes = 1 << 20;
    o.rateLimit = 0;
    o.keepAliveSeconds = 1;
    server = new console::ConsoleServer(o);
    console::seedStore(server->store(), writeSeed(dir->path()), std::chrono::system_clock::now());
    server->start();
  }
  static void TearDownTestSuite() {
    delete server;
    delete dir;
    kivo::KIVOHTTP::setDefaultAllowsInsecureHTTP(false);
  }

  static std::string url(const std::string& suffix) { return server->baseURL() + suffix; }

  static std::string authenticate(const std::string& session) {
    auto http = client();
    const Reply r = await([&](auto done) {
      http->postWithURL(url("/auth"), {{"app_id", "demo"}, {"secret_key", "s3cret"}, {"session_id", session}},
                        done);
    });
    return r.object().value("token", "");
  }

  static Reply query(kivo::KIVOHTTP& http, const kivo::FormParameters& fields, const Bytes& afp) {
    return await([&](auto done) {
      http.postWithURL(url("/query"), fields, std::string("afp"), kAfpName, std::string("application/octet-stream"),
                       afp, done);
    });
  }

  static inline kivo::test::TempDir* dir = nullptr;
  static inline console::ConsoleServer* server = nullptr;
  static inline std::atomic<int64_t> clock{1'800'000'000};
};

TEST_F(Console, AuthenticateDownloadAndRecogniseADistortedExcerpt) {
  auto auth = client();
  const Reply first = await([&](auto done) {
    auth->postWithURL(url("/auth"),
                      {{"app_id", "demo"}, {"secret_key", "s3cret"}, {"session_id", "I1"}, {"v", "19990101000000"}},
                      done);
  });
  ASSERT_EQ(first.status, 200) << first.body;
  const json a = first.object();
  ASSERT_TRUE(a["token"].is_string());
  EXPECT_EQ(a["updated"], 1);
  EXPECT_EQ(a["force_update"], 0);
  ASSERT_EQ(a["v"].get<std::string>().size(), 14u);

  auto download = client();
  std::optional<std::filesystem::path> saved;
  download->downloadWithURL(a["url"], dir->path() / (a["v"].get<std::string>() + ".pack"),
                            [&](auto location, auto, auto) { saved = location.value_or("failed"); });
  ASSERT_TRUE(kivo::test::pumpMainUntil([&] { return saved.has_value(); }));
  std::ifstream got(*saved, std::ios::binary), want(dir->path() / "ref.pack", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), std::string(std::istreambuf_iterator<char>(want), {}));

  const Reply again = await([&](auto done) {
    auth->postWithURL(url("/auth"), {{"app_id", "demo"}, {"secret_key", "s3cret"}, {"session_id", "I1"}, {"v", a["v"]}},
                      done);
  });
  EXPECT_EQ(again.object()["updated"], 0);
  EXPECT_TRUE(again.object()["url"].is_null());

  // Cloud with the token, query service with the credentials, live: the same media.
  auto withToken = client({{"authorization", a["token"]}});
  const Reply cloud = query(*withToken, {{"session", "I1"}, {"cutoff", -25}}, distortedExcerpt(2, 6));
  ASSERT_EQ(cloud.status, 200) << cloud.body;
  const json answer = cloud.object();
  EXPECT_EQ(answer["success"], 1);
  EXPECT_EQ(answer["result"]["_id"], "m2");
  EXPECT_NEAR(answer["position"].get<double>(), 6.0, 0.1);
  const kivo::KIVOPromotion promotion(answer);
  EXPECT_EQ(promotion.mediaID, "m2");
  EXPECT_EQ(promotion.promotionID, "c1");
  EXPECT_EQ(promotion.type, kivo::KIVOPromotionTypeMultipleOptionQuiz);

  auto withCredentials = client(credentials());
  EXPECT_EQ(query(*withCredentials, {{"session", "I1"}, {"cutoff", 0}, {"loc", "37.50000000,127.00000000"}},
                  distortedExcerpt(4, 12)).object()["result"]["_id"], "m4");
  const json live = query(*withToken, {{"SilenceRate", 0.05}, {"SilenceThreshold", 0.2}, {"session_id", "I1"}},
                          distortedExcerpt(3, 2)).object();
  EXPECT_EQ(live["result"]["_id"], "m3");
  EXPECT_EQ(live["channel"], "Radio 3");
  EXPECT_EQ(live["result"]["title"], "Track 3");
  EXPECT_EQ(query(*withToken, {{"session", "I1"}}, distortedExcerpt(9, 4)).object()["success"], 0);

  const Reply update = await([&](auto done) { withToken->postWithURL(url("/v1_prefix/update_afp"), {{"session", "I1"}}, done); });
  EXPECT_EQ(update.body.rfind(server->baseURL() + "/packs/default/" + a["v"].get<std::string>() + ".pack?token=", 0), 0u);
}

// Records every delegate callback of a KIVONetwork.
struct Recorder : kivo::KIVONetworkDelegate {
  struct Call {
    std::optional<std::string> id, text;
    bool error = false;
  };
  std::vector<Call> calls;
  void networkPromotions(kivo::KIVONetwork&, const std::optional<std::string>& text,
                         const std::optional<kivo::Error>& e) override {
    calls.push_back({{}, text, e.has_value()});
  }
  void networkFinishPromotionID(kivo::KIVONetwork&, const std::optional<std::string>& id,
                                const std::optional<std::string>& text, const std::optional<kivo::Error>& e) override {
    calls.push_back({id, text, e.has_value()});
  }
  void networkFinishBookmarkID(kivo::KIVONetwork&, const std::optional<std::string>& bookmark,
                               const std::optional<std::string>& promotion, const std::optional<kivo::Error>& e) override {
    calls.push_back({bookmark, promotion, e.has_value()});
  }
  void networkFinishDeleteBookmarkID(kivo::KIVONetwork&, const std::optional<std::string>& bookmark,
                                     const std::optional<std::string>& promotion,
                                     const std::optional<kivo::Error>& e) override {
    calls.push_back({bookmark, promotion, e.has_value()});
  }
  void networkFinishGetAppliedPromotionItemID(kivo::KIVONetwork&, const std::optional<std::string>& id,
                                              const std::optional<std::string>& text,
                                              const std::optional<kivo::Error>& e) override {
    calls.push_back({id, text, e.has_value()});
  }
  // Pumps the main queue until the next callback, and returns it.
  Call next() {
    const size_t before = calls.size();
    EXPECT_TRUE(kivo::test::pumpMainUntil([&] { return calls.size() > before; }));
    return calls.size() > before ? calls.back() : Call{};
  }
};

TEST_F(Console, PromotionsApplicationsBookmarksStatesAndActivity) {
  auto configuration = kivo::ConsoleConfiguration::create();
  configuration->setApiEndpoint(server->baseURL());
  auto network = kivo::KIVONetwork::create(configuration, "demo", "s3cret", "127.0.0.1");
  network->http()->allowsInsecureHTTP = true;
  auto recorder = std::make_shared<Recorder>();
  network->setDelegate(recorder);
  const std::string s = "I2 with space";
  auto list = [&] {
    network->getPromotionsWithSession(s, 10, 0);
    return json::parse(recorder->next().text.value_or(""), nullptr, false);
  };
  json promotions = list();
  ASSERT_EQ(promotions["promotions"].size(), 2u);
  EXPECT_EQ(promotions["total"], 2);
  kivo::KIVOPromotion entry;
  entry.setPropertiesFromEntriedDictionary(promotions["promotions"][1]);
  EXPECT_EQ(entry.promotionItemID, "c2-voucher");
  EXPECT_EQ(entry.requiredFields, 2);

  network->postPromotionWithSession(s, "c1-quiz", "m2", std::nullopt, "b", true);
  EXPECT_TRUE(recorder->next().text.has_value());
  network->postPromotionWithSession(s, "c2-voucher", std::nullopt, std::nullopt, std::nullopt, false);
  EXPECT_FALSE(recorder->next().text.has_value());  // 400: the e-mail is required
  network->postPromotionWithSession(s, "c2", std::nullopt, R"({"email":"a@b.c"})", std::nullopt, false);
  kivo::KIVOState won(json::parse(recorder->next().text.value_or("{}")));
  EXPECT_TRUE(won.hasVoucher);
  EXPECT_TRUE(won.win());

  const std::string plain = "I2";  // the applied-state row sends its session unencoded
  network->postPromotionWithSession(plain, "c1-quiz", "m2", std::nullopt, "a", false);
  recorder->next();
  network->getAppliedPromotionWithSession(plain, "c1-quiz");
  kivo::KIVOState applied;
  applied.setGETPromotionsJSONObject(json::parse(recorder->next().text.value_or("{}")));
  EXPECT_TRUE(applied.lose());
  EXPECT_EQ(applied.promotionItemID, "c1-quiz");

  network->postBookmarkWithSession(s, "c1", std::nullopt);
  const auto bookmark = recorder->next();
  ASSERT_TRUE(bookmark.id.has_value());
  promotions = list();
  EXPECT_EQ(promotions["promotions"][0]["bookmark"], *bookmark.id);
  EXPECT_EQ(promotions["promotions"][0]["state"]["state"], "win");
  network->deleteBookmarkWithSession(s, bookmark.id, "c1");
  EXPECT_FALSE(recorder->next().error);
  EXPECT_EQ(server->store().count("bookmarks"), 0);
  network->deleteStateWithSession(s);
  network->deleteStateWithSession(plain);
  EXPECT_TRUE(kivo::test::pumpMainUntil([&] { return server->store().count("applied") == 0; }));
  EXPECT_TRUE(list()["promotions"][0]["state"].is_null());

  // Activity through the library's log store: the immediate report answers the media's campaign,
  // the queued document is accepted.
  auto activity = kivo::ConsoleConfiguration::create();
  activity->setApiEndpoint(server->baseURL());
  activity->setApplicationID("demo");
  activity->setSecretKey("s3cret");
  activity->setToken(authenticate(plain));
  kivo::KIVOLogStoreOptions options;
  options.directory = dir->path() / "activity";
  std::filesystem::create_directories(*options.directory);
  options.sessionID = [] { return std::string("I2"); };
  auto store = kivo::KIVOLogStore::create(activity, options);
  std::optional<std::optional<json>> answer;
  store->sendActivityImmediatelyWithLogItem(kivo::KIVOLogItem(json{{"result", {{"_id", "m2"}, {"items", json::array()}}}}),
                                            [&](std::optional<json> a) { answer = std::move(a); });
  ASSERT_TRUE(kivo::test::pumpMainUntil([&] { return answer.has_value(); }));
  ASSERT_TRUE(answer->has_value());
  EXPECT_EQ((**answer)["campaign"]["_id"], "c1");
  EXPECT_TRUE(store->sendItemToConsole(kivo::KIVOLogItem(json{{"result", {{"_id", "m1"}}}})));
  EXPECT_EQ(server->store().count("activity"), 2);
}

TEST_F(Console, BadRequestsGetAClearStatusAndAJSONError) {
  const std::string token = authenticate("I3");
  httplib::Client raw("127.0.0.1", server->port());
  const std::string mp = "multipart/form-data; boundary=b";
  auto field = [](const std::string& name, const std::string& value) {
    return "--b\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  };
  auto afp = [&](size_t bytes) {
    return field("session", "I3") + "--b\r\nContent-Disposition: form-data; name=\"afp\"; filename=\"q.afp\"\r\n\r\n" +
           std::string(bytes, '\x5a') + "\r\n--b--\r\n";
  };
  const httplib::Headers creds = {{"X-Kivo-Application-Id", "demo"}, {"X-Kivo-Secret-Key", "s3cret"}};
  const httplib::Headers bearer = {{"authorization", token}};
  struct Case {
    std::string method, path;
    httplib::Headers headers;
    std::string type, body;
    int status;
  };
  const std::string auth = field("app_id", "demo") + field("session_id", "I3");
  const std::vector<Case> cases = {
      {"POST", "/auth", {}, mp, auth + field("secret_key", "wrong") + "--b--", 401},
      {"POST", "/auth", {}, mp, auth + "--b--", 400},
      {"POST", "/auth", {}, mp, auth + field("secret_key", "s3cret") + field("v", "../../x") + "--b--", 400},
      {"POST", "/auth", {}, mp, auth + "--b\r\nbroken", 400},
      {"POST", "/query", {}, mp, afp(8), 401},
      {"POST", "/query", {{"authorization", "nope"}}, mp, afp(8), 401},
      {"POST", "/query", bearer, mp, afp(12), 400},
      {"POST", "/query", bearer, mp, afp(0), 400},
      {"POST", "/query", bearer, mp, afp(128 * 1024), 413},
      {"POST", "/query", bearer, mp, afp(2 << 20), 413},  // beyond the body cap
      {"POST", "/query", bearer, mp, field("session", "I3") + "--b--", 400},
      {"POST", "/query", bearer, mp, field("session", "I3") + field("cutoff", "1.5") + "--b--", 400},
      {"POST", "/promotion", creds, mp, field("session", "I3") + field("promo_id", "nope") + "--b--", 404},
      {"POST", "/promotion", creds, mp, field("session", "I3") + field("promo_id", "c1") + field("userdata", "[") + "--b--", 400},
      {"POST", "/bookmark", creds, mp, field("session", "I3") + field("item_id", "nope") + "--b--", 404},
      {"GET", "/promotion?session=I3&size=-1&offset=0", creds, "", "", 400},
      {"GET", "/promotion/nope?session=I3", creds, "", "", 404},
      {"GET", "/promotion?session=I3", {}, "", "", 401},
      {"POST", "/activity/", bearer, "application/json", "{\"type\":\"material\"", 400},
      {"POST", "/activity/", bearer, "application/json", "{\"type\":\"material\",\"material_id\":\"zz\"}", 404},
      {"GET", "/packs/default/19990101000000.pack?token=" + token, {}, "", "", 404},
      {"GET", "/nowhere", {}, "", "", 404},
  };
  for (const auto& c : cases) {
    auto res = c.method == "GET" ? raw.Get(("/api" + c.path).c_str(), c.headers)
                                 : raw.Post(("/api" + c.path).c_str(), c.headers, c.body, c.type.c_str());
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 80) << " -> " << res->body;
    const json error = json::parse(res->body, nullptr, false);
    EXPECT_TRUE(error.is_object() && error["error"].is_string()) << res->body;
  }

  // A token stops working when it expires.
  auto http = client({{"authorization", token}});
  EXPECT_EQ(query(*http, {{"session", "I3"}}, distortedExcerpt(1, 3)).status, 200);
  clock += 24 * 3600;
  EXPECT_EQ(query(*http, {{"session", "I3"}}, distortedExcerpt(1, 3)).status, 401);
}

TEST(ConsoleRestart, EveryRecordSurvivesARestart) {
  kivo::test::TempDir dir;
  console::ConsoleOptions o;
  o.dataDir = dir.path() / "data";
  o.keepAliveSeconds = 1;
  std::string token, bookmark;
  {
    console::ConsoleServer first(o);
    console::seedStore(first.store(), writeSeed(dir.path()), std::chrono::system_clock::now());
    first.start();
    auto http = client(credentials());
    const Reply r = await([&](auto done) {
      http->postWithURL(first.baseURL() + "/auth", {{"app_id", "demo"}, {"secret_key", "s3cret"}, {"session_id", "I4"}},
                        done);
    });
    token = r.object()["token"];
    bookmark = await([&](auto done) {
                 http->postWithURL(first.baseURL() + "/bookmark", {{"session", "I4"}, {"item_id", "c1-url"}}, done);
               }).object()["bookmark"];
    await([&](auto done) {
      http->postWithURL(first.baseURL() + "/promotion", {{"session", "I4"}, {"promo_id", "c1-quiz"}}, done);
    });
    first.store().addActivity("demo", "I4", "m1", "immediate", "2026-01-01T00:00:00+0000");
  }
  console::ConsoleServer second(o);
  second.start();
  for (const char* table : {"applications", "tokens", "pack_versions", "media", "campaigns", "bookmarks", "applied",
                            "activity"}) {
    EXPECT_GE(second.store().count(table), 1) << table;
  }
  auto http = client({{"authorization", token}});
  const Reply q = await([&](auto done) {
    http->postWithURL(second.baseURL() + "/query", {{"session", "I4"}}, std::string("afp"), kAfpName,
                      std::string("application/octet-stream"), distortedExcerpt(1, 5), done);
  });
  EXPECT_EQ(q.object()["result"]["_id"], "m1");
  auto creds = client(credentials());
  EXPECT_EQ(await([&](auto done) {
              creds->getWithURL(second.baseURL() + "/promotion/c1-quiz?session=I4", done);
            }).object()["state"], "lose");
  EXPECT_EQ(await([&](auto done) {
              creds->deleteWithURL(second.baseURL() + "/bookmark/" + bookmark, {{"session", "I4"}}, {}, {}, {}, {}, done);
            }).status, 200);
}

TEST(ConsoleFaults, SwitchesRateLimitAndSelfSignedHTTPS) {
  kivo::test::TempDir dir;
  console::ConsoleOptions o;
  o.dataDir = dir.path() / "data";
  o.selfSigned = true;
  o.keepAliveSeconds = 1;
  o.rateLimit = 0.001;
  o.rateBurst = 6;
  std::string error;
  ASSERT_TRUE(o.faults.add("query:status=503", &error));
  ASSERT_TRUE(o.faults.add("promotion:malformed", &error));
  ASSERT_TRUE(o.faults.add("bookmark:drop", &error));
  EXPECT_FALSE(o.faults.add("nowhere:drop", &error));
  EXPECT_FALSE(o.faults.add("auth:status=99", &error));
  console::ConsoleServer server(o);
  console::seedStore(server.store(), writeSeed(dir.path()), std::chrono::system_clock::now());
  server.start();
  ASSERT_TRUE(server.https());

  auto http = std::make_unique<kivo::KIVOHTTP>(credentials());
  http->certificateAuthorityFile = o.dataDir / "self-signed.pem";
  const Reply q = await([&](auto done) {
    http->postWithURL(server.baseURL() + "/query", {{"session", "I5"}}, std::string("afp"), kAfpName,
                      std::string("application/octet-stream"), distortedExcerpt(1, 3), done);
  });
  EXPECT_EQ(q.status, 503);
  const Reply p = await([&](auto done) { http->getWithURL(server.baseURL() + "/promotion?session=I5", done); });
  EXPECT_EQ(p.status, 200);
  EXPECT_TRUE(p.object().is_discarded());
  const Reply b = await([&](auto done) {
    http->postWithURL(server.baseURL() + "/bookmark", {{"session", "I5"}, {"item_id", "c1"}}, done);
  });
  EXPECT_TRUE(b.error.has_value());
  // Six requests in a burst, then the seventh waits its turn.
  int limited = 0;
  for (int i = 0; i < 4 && !limited; ++i) {
    limited = await([&](auto done) { http->getWithURL(server.baseURL() + "/promotion/c1?session=I5", done); }).status == 429;
  }
  EXPECT_TRUE(limited);
}

}  // namespace


namespace {

TEST(ConsoleCatalogue, BadSeedsAndPacksChangeNothing) {
  kivo::test::TempDir dir;
  console::ConsoleStore store(dir / "data");
  const auto now = std::chrono::system_clock::now();
  std::ofstream(dir / "not.pack") << "not a pack";
  EXPECT_THROW(console::publishPack(store, dir / "not.pack", "p", false, now), std::runtime_error);
  writeSeed(dir.path());
  EXPECT_THROW(console::publishPack(store, dir / "ref.pack", "../up", false, now), std::runtime_error);
  const std::vector<std::string> seeds = {
      "[]",
      R"({"applications": [{"app_id": "a"}]})",
      R"({"applications": [{"app_id": "a", "secret_key": "k", "pack": "a/b"}]})",
      R"({"applications": [{"app_id": "a", "secret_key": "k"}], "campaigns": [{"name": "no id"}]})",
      R"({"applications": [{"app_id": "a", "secret_key": "k"}], "media": {"m": 1}})",
      R"({"applications": [{"app_id": "a", "secret_key": "k"}], "packs": [{"name": "p", "file": "missing.pack"}]})",
      std::string(200, '[') + std::string(200, ']'),
  };
  for (const auto& text : seeds) {
    std::ofstream(dir / "bad.json") << text;
    EXPECT_THROW(console::seedStore(store, dir / "bad.json", now), std::runtime_error) << text;
    EXPECT_EQ(store.count("applications"), 0) << text;
  }
  // Publishing twice in one second still gives two ordered versions.
  const auto first = console::publishPack(store, dir / "ref.pack", "p", false, now);
  const auto second = console::publishPack(store, dir / "ref.pack", "p", true, now);
  EXPECT_LT(first.version, second.version);
  EXPECT_TRUE(store.newestVersion("p")->force);
}

}  // namespace

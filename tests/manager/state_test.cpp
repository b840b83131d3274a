// The manager's state, its small operations and the local side of preparation.
#include <gtest/gtest.h>

#include "console_fixture.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/http.h"
#include "kivo/kivo_matcher.h"
#include "manager/auth_answer.h"
#include "platform/user_defaults.h"
#include "support/settings.h"

namespace kivo::test {
namespace {

using namespace std::chrono_literals;

TEST(KIVOManagerState, NamesConstantsAndDefaults) {
  const std::pair<int32_t, const char*> names[] = {{0, "UNKNOWN"}, {1, "CLOUD"}, {2, "IAR"},
                                                   {3, "LIVE"},    {4, "Unknown Type"}, {-1, "Unknown Type"}};
  for (const auto& [type, name] : names) EXPECT_EQ(NSStringFromKIVOManagerDetectType(type), name);
  EXPECT_EQ(KIVOManagerRetryLimitCount, 5);
  EXPECT_EQ(KIVOManagerRetryWaitingTimeout, 5000000000u);

  SettingsSandbox sandbox;
  const auto manager = KIVOManager::makeIndependent();
  EXPECT_FALSE(manager->prepared() || manager->running() || manager->barrierBundlePath());
  EXPECT_TRUE(manager->audioRecordingPermitted());
  struct Undecided final : RecordPermissionProvider {
    void requestRecordPermission(std::function<void(bool)>) override {}
  };
  KIVOAudioQueueRecorder::sharedRecorder().setRecordPermissionProvider(std::make_shared<Undecided>());
  EXPECT_FALSE(manager->audioRecordingPermitted());
  KIVOAudioQueueRecorder::sharedRecorder().setRecordPermissionProvider(nullptr);
  EXPECT_EQ(manager->filePathURLForAudioPackName("x.pack"), sandbox.path() / "x.pack");

  // The cut-off reaches the current matcher, not the one made after stop.
  manager->setCutoff(-30.0);
  EXPECT_EQ(manager->matcher()->cutoff(), -30.0);
  manager->stop();
  EXPECT_EQ(manager->matcher()->cutoff(), 0.0);

  VirtualTime time;
  manager->setNextUpdateDate(time.clock().now() - 1s);
  EXPECT_FALSE(manager->nextUpdateDate());
  manager->setNextUpdateDate(time.clock().now() + 1s);
  EXPECT_TRUE(manager->nextUpdateDate());
}

TEST(KIVOManagerState, SharedClientsFollowTheTokenAndCredentials) {
  SettingsSandbox sandbox;
  const auto manager = KIVOManager::makeIndependent();
  EXPECT_EQ(manager->http(), nullptr);
  UserDefaults::standard()->set(std::string(settings::kTokenKey), "t1");
  const auto withToken = KIVOManager::makeIndependent();
  const auto client = withToken->http();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->commonHeaders(), (HTTPHeaders{{"authorization", "t1"}}));
  EXPECT_EQ(withToken->http(), client);
  withToken->setApiVersion(1);
  withToken->setApplicationID("a");
  EXPECT_EQ(withToken->http()->commonHeaders(),
            (HTTPHeaders{{"X-Kivo-Application-Id", "a"}, {"X-Kivo-Secret-Key", ""}}));
  const auto legacy = withToken->legacyHTTP();
  EXPECT_EQ(withToken->legacyHTTP(), legacy);
  withToken->setSecretKey("s");
  EXPECT_NE(withToken->legacyHTTP(), legacy);
}

TEST(KIVOManagerState, AuthAnswersAreReadWithTypeChecks) {
  using manager::readAuthAnswer;
  const auto read = [](const std::string& text) { return readAuthAnswer(Bytes(text.begin(), text.end())); };
  EXPECT_FALSE(read("<html>").parsed);
  EXPECT_FALSE(read("[1,2]").parsed);
  EXPECT_FALSE(read(std::string(1000, '[') + std::string(1000, ']')).parsed);

  auto a = read(R"({"token":"a\r\nX-Evil: 1","error":7,"v":"2025","updated":"2","url":"https://cdn.example/p"})");
  EXPECT_FALSE(a.token);
  EXPECT_EQ(a.errorReason, "unknown");
  EXPECT_FALSE(a.version);
  EXPECT_EQ(a.rejectedVersion, "2025");
  EXPECT_EQ(a.updated, 2);
  EXPECT_EQ(a.urlState, manager::AuthAnswer::URL::kAccepted);
  a = read(R"({"token":"t","v":"20250101000000","force_update":1.9,"url":"HTTPS://x/y"})");
  EXPECT_EQ(a.token, "t");
  EXPECT_EQ(a.version, "20250101000000");
  EXPECT_TRUE(a.force);
  EXPECT_EQ(a.urlState, manager::AuthAnswer::URL::kAccepted);
  a = read(R"({"error":"bad key","updated":0,"url":"https://x/y"})");
  EXPECT_EQ(a.errorReason, "bad key");
  EXPECT_EQ(a.urlState, manager::AuthAnswer::URL::kNone);

  const std::pair<nlohmann::json, int64_t> integers[] = {
      {1, 1}, {1.9, 1}, {-2.5, -2}, {true, 1}, {" +7x", 7}, {"x", 0}, {nullptr, 0}, {nlohmann::json::array(), 0},
      {1e300, INT64_MAX}, {"-99999999999999999999", INT64_MIN}};
  for (const auto& [value, expected] : integers) EXPECT_EQ(manager::integerValue(value), expected) << value;
  for (const char* url : {"https://h/p", "https://127.0.0.1:8443/x?y=1"}) EXPECT_TRUE(manager::isSecureURL(url)) << url;
  for (const char* url : {"http://h/p", "file:///etc/passwd", "https://", "https:///p", "https://h/a b", "ftp://h",
                          "https://h/\n"})
    EXPECT_FALSE(manager::isSecureURL(url)) << url;
}

TEST_F(ManagerTest, ABrokenLocalDumpWipesWhatWasLearntAndAuthenticatesAfresh) {
  Bytes garbage(300);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 37);
  writeFile(dataFile("KIVOAudioDB.pack"), garbage);
  UserDefaults::standard()->set(std::string(settings::kTokenKey), "old");
  UserDefaults::standard()->set(std::string(settings::kLastVersionKey), "20200101000000");
  UserDefaults::standard()->set(std::string(settings::kUserDefaultKey), PropertyDictionary{{"tid", "I1"}});
  UserDefaults::standard()->set(std::string(settings::kUserKey), PropertyDictionary{{"name", "Ann"}});
  manager = KIVOManager::makeIndependent(network);
  manager->setApiEndpoint(server->url("/api"));
  manager->setApplicationID("app");
  manager->setSecretKey("secret");
  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_TRUE(log->contains("KIVO will reset internal states because it failed to load the local audiopacks."));
  EXPECT_FALSE(std::filesystem::exists(dataFile("KIVOAudioDB.pack")));
  EXPECT_FALSE(stored(settings::kLastVersionKey));
  EXPECT_FALSE(UserDefaults::standard()->object(settings::kUserKey));
  EXPECT_EQ(authForm(0)["v"], "19990101000000");
  EXPECT_EQ(stored(settings::kTokenKey), "tok");
}

TEST_F(ManagerTest, BarrierAndClearingFailuresAreOrderly) {
  manager->setBarrierBundlePath(dataFile("missing.pack"));
  try {
    manager->prepareWithType(KIVOManagerDetectTypeIAR);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load barrier bundle because the file(barrierBundlePath) not exists.");
  }
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusIdle);

  // Clearing: a missing barrier reports false and leaves no load counted; none gives an empty IDB.
  std::atomic<int> results{0};
  manager->clearIDBWithCompletionHandler([&](bool ok) { results += ok ? 10 : 1; });
  manager->setBarrierBundlePath(std::nullopt);
  writePack(dataFile("x.pack"), {"x"});
  EXPECT_TRUE(manager->loadAudioPackPaths({dataFile("x.pack")}));
  manager->clearIDBWithCompletionHandler([&](bool ok) { results += ok ? 10 : 1; });
  EXPECT_TRUE(pumpMainUntil([&] { return results == 11; }));
  EXPECT_TRUE(log->contains("FailedClearIDB: Failed to clear IDB because barrier bundle file is not exists"));
  EXPECT_FALSE(manager->loadingAudioPacks());
  EXPECT_EQ(manager->matcher()->count(), 0u);
}

TEST_F(ManagerTest, CustomPacksAuthenticateWithoutDownloading) {
  writePack(dataFile("c.pack"), {"c1"});
  writeFile(dataFile("bad.pack"), Bytes(40, 0x61));
  auth = [&](size_t) { return ConsoleAnswer{200, answer("tok", 1, "20250101000000", packURL())}; };
  manager->prepareWithCustomAudioPackPaths({dataFile("bad.pack")});
  const std::string failed = "ERROR: Failed to load audio pack paths: [\"" + dataFile("bad.pack").string() + "\"]";
  EXPECT_TRUE(pumpMainUntil([&] { return log->contains(failed); }));
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusLoadingCustomAudioPacks);

  manager->prepareWithCustomAudioPackPaths({dataFile("c.pack")});
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_EQ(packCount(), 0u);
  EXPECT_EQ(identifiers(*manager->matcher()), std::vector<std::string>{"c1"});
  manager->checkUpdateAudioPacks();
  EXPECT_TRUE(log->contains("Cannot check update because you are using custom audio packs."));
}

TEST_F(ManagerTest, RecentPackURLsMustBeHTTPS) {
  std::vector<std::optional<std::string>> got;
  manager->checkRecentAudioPack([&](std::optional<std::string> url) { got.push_back(url); });  // no token: no call
  manager->prepareWithType(KIVOManagerDetectTypeLive);
  EXPECT_TRUE(manager->prepared());
  UserDefaults::standard()->set(std::string(settings::kTokenKey), "t");
  manager = KIVOManager::makeIndependent(network);
  manager->setApiEndpoint(server->url("/api"));
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"https://cdn/p.pack", "https://cdn/p.pack"},
      {"file:///x", std::nullopt},
      {"https://cdn/p.pack\n", std::nullopt}};
  for (const auto& [body, expected] : cases) {
    {
      std::lock_guard lock(mutex);
      recent = body;
    }
    got.clear();
    manager->checkRecentAudioPack([&](std::optional<std::string> url) { got.push_back(url); });
    EXPECT_TRUE(pumpMainUntil([&] { return got.size() == 1; }));
    EXPECT_EQ(got.at(0), expected);
  }
}

}  // namespace
}  // namespace kivo::test

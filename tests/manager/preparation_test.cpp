// The preparation chain end to end against a scripted local console, on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "console_fixture.h"
#include "kivo/kivo_matcher.h"
#include "kivo/kivo_notification.h"
#include "platform/user_defaults.h"
#include "support/settings.h"

namespace kivo::test {
namespace {

using namespace std::chrono_literals;

TEST_F(ManagerTest, FirstRunWithoutUpdateLoadsTheBarrierOnlyAndDumpsNothing) {
  writePack(dataFile("barrier.pack"), {"b1", "b2"});
  manager->setBarrierBundlePath(dataFile("barrier.pack"));
  std::vector<int64_t> loaded;
  ScopedObserver observer(NotificationCenter::defaultCenter(),
                          std::string(KIVONotification::audiopackLoadedNotificationName()),
                          [&](const Notification& n) { loaded.push_back(n.userInfo["afpCount"].get<int64_t>()); });

  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusLoadingAudioPacks);
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_TRUE(manager->prepared());
  EXPECT_EQ(identifiers(*manager->matcher()), (std::vector<std::string>{"b1", "b2"}));
  EXPECT_EQ(loaded, std::vector<int64_t>{2});
  EXPECT_TRUE(log->contains("INFO: No dumped audiopacks. If this is first run, it is not error"));
  EXPECT_FALSE(std::filesystem::exists(dataFile("KIVOAudioDB.pack")));
  EXPECT_FALSE(stored(settings::kLastVersionKey));
  EXPECT_EQ(stored(settings::kTokenKey), "tok");
  EXPECT_EQ(manager->consoleConfiguration()->token(), "tok");  // every console client follows it
  const auto form = authForm(0);
  const std::map<std::string, std::string> expected = {
      {"app_id", "app"}, {"secret_key", "secret"}, {"session_id", manager->sessionID()}, {"v", "19990101000000"}};
  EXPECT_EQ(form, expected);

  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  EXPECT_TRUE(log->contains("Preparation skipped: currently progressing preparation (5)"));
}

TEST_F(ManagerTest, AnUpdateIsDownloadedLoadedDumpedAndRecorded) {
  writePack(dataFile("barrier.pack"), {"b1"});
  writePack(dataFile("20240101000000.pack"), {"old"});  // an earlier download, now in the dump
  manager->setBarrierBundlePath(dataFile("barrier.pack"));
  writePack(dataFile("new.bin"), {"n1", "n2"}, 7);
  pack = readFile(dataFile("new.bin"));
  // One answer names the version, one leaves it to the time of authentication, one tries to
  // name a file outside the data directory.
  struct Case {
    std::string v;
    std::string expected;
  } cases[] = {{"20250301120000", "20250301120000"}, {"", "20250302000000"}, {"../../x", "20250302000000"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v);
    auth = [&](size_t) { return ConsoleAnswer{200, answer("tok", 1, c.v, packURL())}; };
    const size_t before = authCount();
    manager->stop();
    manager->prepareWithType(KIVOManagerDetectTypeIAR);
    waitFor(KIVOPrepareStatusCompleted, before + 1);
    EXPECT_EQ(stored(settings::kLastVersionKey), c.expected);
    EXPECT_EQ(identifiers(*manager->matcher()), (std::vector<std::string>{"b1", "n1", "n2"}));
    // The dump holds everything; downloaded packs are gone once it is written.
    auto reread = KIVOMatcher::create();
    reread->beginAdd();
    EXPECT_TRUE(reread->addAudioPackWithPath(dataFile("KIVOAudioDB.pack")));
    reread->finishAdd();
    EXPECT_EQ(identifiers(*reread), (std::vector<std::string>{"b1", "n1", "n2"}));
    EXPECT_FALSE(std::filesystem::exists(dataFile(c.expected + ".pack")));
    EXPECT_FALSE(std::filesystem::exists(dataFile("20240101000000.pack")));
  }
  EXPECT_EQ(authForm(1)["v"], "20250301120000");
}

TEST_F(ManagerTest, AForcedUpdateKeepsOnlyTheBarrierBeneathTheNewPack) {
  writePack(dataFile("barrier.pack"), {"b1"});
  writePack(dataFile("KIVOAudioDB.pack"), {"b1", "stale"});
  manager->setBarrierBundlePath(dataFile("barrier.pack"));
  writePack(dataFile("new.bin"), {"n1"}, 5);
  pack = readFile(dataFile("new.bin"));
  auth = [&](size_t) { return ConsoleAnswer{200, R"({"token":"t","force_update":"1","url":")" + packURL() + "\"}"}; };
  manager->setDebugMode(true);
  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  waitFor(KIVOPrepareStatusCompleted, 1);
  manager->setDebugMode(false);
  EXPECT_EQ(identifiers(*manager->matcher()), (std::vector<std::string>{"b1", "n1"}));
  EXPECT_TRUE(log->contains("Complete to clear IDB. Calling completion handler..."));
  EXPECT_FALSE(manager->loadingAudioPacks());
}

TEST_F(ManagerTest, RefusedURLsAndBrokenPacksLeaveTheDumpAndVersionAlone) {
  writePack(dataFile("KIVOAudioDB.pack"), {"d1"});
  const Bytes dump = readFile(dataFile("KIVOAudioDB.pack"));
  writePack(dataFile("good.bin"), {"g1", "g2", "g3"});
  const Bytes good = readFile(dataFile("good.bin"));
  Bytes huge = good;
  huge[25] = 0x7F;  // the first record's declared size becomes about 2 GiB
  huge[26] = 0xFF;
  Bytes random(4096);
  for (size_t i = 0; i < random.size(); ++i) random[i] = uint8_t(i * 2654435761u >> 13);
  struct Case {
    std::string url;  // JSON text of "url"
    Bytes served;
    size_t downloads;
  } cases[] = {
      {R"("file:///etc/passwd")", good, 0},
      {"42", good, 0},
      {R"("ftp://127.0.0.1/x.pack")", good, 0},
      {"\"" + server->url("/pack").replace(0, 5, "http") + "\"", good, 0},
      {"null", good, 0},
      {"\"" + server->url("/redirect") + "\"", good, 1},  // to plain http
      {"\"" + packURL() + "\"", Bytes(good.begin(), good.begin() + long(good.size() / 2)), 1},
      {"\"" + packURL() + "\"", random, 1},
      {"\"" + packURL() + "\"", huge, 1},
  };
  size_t downloads = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    pack = c.served;
    const std::string body = R"({"token":"t","updated":1,"v":"20250101000000","url":)" + c.url + "}";
    auth = [&](size_t) { return ConsoleAnswer{200, body}; };
    const size_t before = authCount();
    manager->stop();
    manager->prepareWithType(KIVOManagerDetectTypeIAR);
    waitFor(KIVOPrepareStatusCompleted, before + 1);
    downloads += c.downloads;
    EXPECT_EQ(packCount(), downloads);
    EXPECT_EQ(readFile(dataFile("KIVOAudioDB.pack")), dump);
    EXPECT_FALSE(stored(settings::kLastVersionKey));
    EXPECT_EQ(identifiers(*manager->matcher()), std::vector<std::string>{"d1"});
    EXPECT_FALSE(std::filesystem::exists(dataFile("20250101000000.pack")));
  }
  EXPECT_TRUE(log->contains("[WARN] downloadable url was responsed with null."));
  EXPECT_TRUE(log->contains("[WARN] downloadable url was rejected: file:///etc/passwd"));
}

TEST_F(ManagerTest, AFailedDownloadCompletesAndTheNextCheckDownloadsAgain) {
  writePack(dataFile("new.bin"), {"n1"});
  auth = [&](size_t n) {
    return ConsoleAnswer{200, answer("tok", 1, "20250301000000", n == 0 ? server->url("/missing") : packURL())};
  };
  pack = readFile(dataFile("new.bin"));
  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_EQ(errorCodes(), std::vector<int64_t>{504});
  EXPECT_FALSE(stored(settings::kLastVersionKey));

  manager->checkUpdateAudioPacks();
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthenticating);
  waitFor(KIVOPrepareStatusCompleted, 2);
  EXPECT_EQ(stored(settings::kLastVersionKey), "20250301000000");
  EXPECT_EQ(identifiers(*manager->matcher()), std::vector<std::string>{"n1"});
}

TEST_F(ManagerTest, AFailingUpdateCheckReturnsToCompletedWithoutRetrying) {
  manager->prepareWithType(KIVOManagerDetectTypeIAR);
  waitFor(KIVOPrepareStatusCompleted, 1);
  for (const ConsoleAnswer& failure : {ConsoleAnswer{500, ""}, ConsoleAnswer{200, "<html>portal</html>"}}) {
    auth = [&](size_t) { return failure; };
    const size_t before = authCount();
    manager->checkUpdateAudioPacks();
    waitFor(KIVOPrepareStatusCompleted, before + 1);
    time->advance(60s);
    EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusCompleted);
  }
  EXPECT_EQ(errorCodes(), (std::vector<int64_t>{401, 503}));
}

TEST_F(ManagerTest, RetriesComeAtTheirTimesAndBackOffWhileATokenIsHeld) {
  // Failed requests and answers that are no JSON object are retried alike.
  auth = [](size_t n) { return n % 2 ? ConsoleAnswer{200, "<html>portal</html>"} : ConsoleAnswer{500, ""}; };
  // Without a token: the first try and five retries 5 s apart, then the chain rests.
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  waitFor(KIVOPrepareStatusAuthFailed, 1);
  for (size_t n = 2; n <= 6; ++n) {
    time->advance(4999ms);
    EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthFailed);
    time->advance(1ms);
    EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthenticating);
    waitFor(KIVOPrepareStatusAuthFailed, n);
  }
  time->advance(1h);
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthFailed);
  EXPECT_TRUE(log->contains("Retry limit exceeded. Skipping retryPrepareAuth"));
  EXPECT_EQ(errorCodes(), (std::vector<int64_t>{401, 503, 401, 503, 401, 503}));

  // With a token: after the first series each wait doubles, up to five minutes.
  manager.reset();
  UserDefaults::standard()->set(std::string(settings::kTokenKey), "held");
  manager = KIVOManager::makeIndependent(network);
  manager->setApiEndpoint(server->url("/api"));
  manager->setApplicationID("app");
  manager->setSecretKey("secret");
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  size_t n = 7;
  waitFor(KIVOPrepareStatusAuthFailed, n);
  for (auto wait : {5s, 5s, 5s, 5s, 5s, 10s, 20s, 40s, 80s, 160s, 300s, 300s}) {
    time->advance(wait - 1ms);
    EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthFailed) << wait.count();
    time->advance(1ms);
    waitFor(KIVOPrepareStatusAuthFailed, ++n);
  }
}

TEST_F(ManagerTest, TheNetworkReturningResumesAWaitingPreparationButNotAStoppedOne) {
  network->set(false);
  ASSERT_TRUE(pumpMainUntil([&] { return !manager->reachability()->reachable(); }));
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthFailed);
  EXPECT_TRUE(log->contains("KIVO Authentication Failure: network not reachable."));
  network->set(true);
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_EQ(errorCodes(), std::vector<int64_t>{400});

  manager.reset();
  UserDefaults::standard()->remove(std::string(settings::kTokenKey));
  manager = KIVOManager::makeIndependent(network);
  manager->setApiEndpoint(server->url("/api"));
  network->set(false);
  ASSERT_TRUE(pumpMainUntil([&] { return !manager->reachability()->reachable(); }));
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusAuthFailed);
  manager->stop();
  network->set(true);
  EXPECT_FALSE(pumpMainUntil([&] { return authCount() > 1; }, 200ms));
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusIdle);
}

TEST_F(ManagerTest, AChainEndedInTheMiddleOfAStepChangesNothing) {
  writePack(dataFile("KIVOAudioDB.pack"), {"d1"});
  const Bytes dump = readFile(dataFile("KIVOAudioDB.pack"));
  writePack(dataFile("new.bin"), {"n1"});
  pack = readFile(dataFile("new.bin"));
  auth = [&](size_t) { return ConsoleAnswer{200, answer("fresh", 1, "20250301000000", packURL())}; };
  using End = std::function<void(KIVOManager&)>;
  const std::pair<const char*, End> ends[] = {
      {"stop", [](KIVOManager& m) { m.stop(); }},
      {"removeAllAudioPacks", [](KIVOManager& m) { m.removeAllAudioPacks(); }},
      {"reset", [](KIVOManager& m) { m.reset(); }},
  };
  for (const auto& [name, end] : ends) {
    for (int32_t step :
         {KIVOPrepareStatusLoadingAudioPacks, KIVOPrepareStatusAuthenticating, KIVOPrepareStatusDownloading}) {
      SCOPED_TRACE(std::string(name) + " at " + std::to_string(step));
      manager->stop();
      if (step == KIVOPrepareStatusAuthenticating) authGate.close();
      if (step == KIVOPrepareStatusDownloading) packGate.close();
      const size_t requests = server->requestCount();
      manager->prepareWithType(KIVOManagerDetectTypeIAR);
      if (step != KIVOPrepareStatusLoadingAudioPacks) {
        ASSERT_TRUE(pumpMainUntil([&] { return server->requestCount() == requests + (step == 4 ? 2 : 1); }));
      }
      EXPECT_EQ(manager->prepareStatus(), step);
      end(*manager);
      EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusIdle);
      const char* what = step == 1   ? "local audiopack load"
                         : step == 3 ? "authentication answer"
                                     : "download completion";
      const std::string stale = std::string("[INFO] ") + what + " ignored: its preparation was ended";
      const auto seen = [&] {
        const auto lines = log->lines();
        return size_t(std::count(lines.begin(), lines.end(), stale));
      };
      const size_t before = seen();
      authGate.open();
      packGate.open();
      EXPECT_TRUE(pumpMainUntil([&] { return seen() > before; }));
      time->settle();
      EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusIdle);
      if (std::string(name) == "reset") {
        EXPECT_FALSE(std::filesystem::exists(dataFile("KIVOAudioDB.pack")));
        EXPECT_FALSE(stored(settings::kTokenKey));
        writeFile(dataFile("KIVOAudioDB.pack"), dump);
      } else {
        EXPECT_EQ(readFile(dataFile("KIVOAudioDB.pack")), dump);
      }
      EXPECT_FALSE(stored(settings::kLastVersionKey));
    }
  }
}

}  // namespace
}  // namespace kivo::test

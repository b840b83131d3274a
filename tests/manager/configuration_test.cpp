#include "kivo/manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "common/log_capture.h"
#include "kivo/log.h"

namespace {

using kivo::KIVOManager;

TEST(KIVOManagerConfiguration, ThreadsRacingForTheSingletonGetOneInstance) {
  std::atomic<KIVOManager*> seen[2] = {nullptr, nullptr};
  std::latch start(2);
  std::thread a([&] { start.arrive_and_wait(); seen[0] = &KIVOManager::sharedManager(); });
  std::thread b([&] { start.arrive_and_wait(); seen[1] = &KIVOManager::sharedManager(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0].load(), seen[1].load());
}

TEST(KIVOManagerConfiguration, AFreshManagerHasTheDefaults) {
  const auto fresh = KIVOManager::makeIndependent();
  const KIVOManager& manager = *fresh;
  EXPECT_EQ(manager.apiVersion(), 3);
  EXPECT_FALSE(manager.debugMode());
  EXPECT_FALSE(manager.applicationID());
  EXPECT_FALSE(manager.secretKey());
  EXPECT_EQ(manager.apiEndpoint(), "https://console.invalid/api");
}

TEST(KIVOManagerConfiguration, URLsAreTheEndpointFollowedByTheSuffix) {
  KIVOManager& manager = KIVOManager::sharedManager();
  const std::string saved = manager.apiEndpoint();
  struct Case {
    const char* endpoint;
    const char* suffix;
    const char* url;
  } cases[] = {
      {"https://console.example.com/api", "/query", "https://console.example.com/api/query"},
      {"https://console.example.com/api/", "/query", "https://console.example.com/api//query"},
      {"https://console.example.com/api", "/promotion?id=a b", "https://console.example.com/api/promotion?id=a b"},
      {"https://console.example.com/api", "", "https://console.example.com/api"},
  };
  for (const auto& c : cases) {
    manager.setApiEndpoint(c.endpoint);
    EXPECT_EQ(manager.apiURLWithSuffix(c.suffix), c.url);
  }
  manager.setApiEndpoint(saved);
}

TEST(KIVOManagerConfiguration, DebugModeGatesDebugLines) {
  KIVOManager& manager = KIVOManager::sharedManager();
  kivo::test::LogCapture log;
  kivo::logDebugLine("hidden");
  manager.setDebugMode(true);
  kivo::logDebugLine("shown");
  EXPECT_TRUE(kivo::debugLinesEnabled());
  manager.setDebugMode(false);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"shown"});
}

TEST(KIVOManagerConfiguration, FieldsReadFromOtherThreadsAreNeverTorn) {
  KIVOManager& manager = KIVOManager::sharedManager();
  const std::string a(300, 'a'), b(300, 'b');
  std::atomic<bool> done{false}, torn{false};
  manager.setApiEndpoint(a);
  manager.setSecretKey(a);
  std::thread reader([&] {
    while (!done) {
      std::string endpoint = manager.apiEndpoint();
      auto key = manager.secretKey();
      if ((endpoint != a && endpoint != b) || !key || (*key != a && *key != b)) torn = true;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    manager.setApiEndpoint(i % 2 ? a : b);
    manager.setSecretKey(i % 2 ? b : a);
    manager.setApiVersion(i);
  }
  done = true;
  reader.join();
  EXPECT_FALSE(torn);
  manager.setApiEndpoint(std::string(KIVOManager::kDefaultAPIEndpoint));
  manager.setSecretKey(std::nullopt);
  manager.setApiVersion(3);
}

}  // namespace

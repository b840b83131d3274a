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

TEST(KIVOManagerConfiguration, AccessorsForwardToTheConsoleConfiguration) {
  EXPECT_EQ(KIVOManager::sharedManager().consoleConfiguration(), kivo::ConsoleConfiguration::shared());
  const auto manager = KIVOManager::makeIndependent();
  const auto& configuration = manager->consoleConfiguration();
  ASSERT_TRUE(configuration);
  EXPECT_NE(configuration, kivo::ConsoleConfiguration::shared());
  manager->setApplicationID("app");
  manager->setSecretKey("secret");
  manager->setApiEndpoint("https://console.example.com/api");
  manager->setApiVersion(1);
  EXPECT_EQ(configuration->applicationID(), "app");
  EXPECT_EQ(configuration->secretKey(), "secret");
  EXPECT_EQ(configuration->apiVersion(), 1);
  configuration->setApiEndpoint("https://other.example.com/api");
  EXPECT_EQ(manager->apiURLWithSuffix("/query"), "https://other.example.com/api/query");
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

}  // namespace

#include "kivo/console_configuration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using kivo::ConsoleConfiguration;

TEST(ConsoleConfiguration, URLsAreTheEndpointFollowedByTheSuffix) {
  const auto configuration = ConsoleConfiguration::create();
  ConsoleConfiguration& manager = *configuration;
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
}

TEST(ConsoleConfiguration, CredentialChangesMoveTheVersionAndAnEmptyTokenIsNone) {
  const auto configuration = ConsoleConfiguration::create();
  EXPECT_FALSE(configuration->token());
  uint64_t version = configuration->credentialsVersion();
  const auto moved = [&] {
    const uint64_t now = configuration->credentialsVersion();
    const bool result = now != version;
    version = now;
    return result;
  };
  configuration->setToken("t1");
  EXPECT_TRUE(moved());
  configuration->setApplicationID("a");
  EXPECT_TRUE(moved());
  configuration->setSecretKey("s");
  EXPECT_TRUE(moved());
  configuration->setApiEndpoint("https://x.example/api");
  configuration->setApiVersion(1);
  EXPECT_FALSE(moved());
  configuration->setToken("");
  EXPECT_TRUE(moved());
  EXPECT_FALSE(configuration->token());
}

TEST(ConsoleConfiguration, FieldsReadFromOtherThreadsAreNeverTorn) {
  const auto configuration = ConsoleConfiguration::create();
  ConsoleConfiguration& manager = *configuration;
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
}

}  // namespace

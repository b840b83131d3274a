#include "kivo/user_default.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "common/settings_sandbox.h"
#include "common/time_zone.h"
#include "common/virtual_time.h"
#include "platform/user_defaults.h"

namespace {

using namespace std::chrono;
using kivo::DOUserDefault;
using kivo::PropertyDictionary;
using kivo::PropertyList;
using kivo::UserDefaults;

TEST(DOUserDefault, TheInstallationIdentifierIsTheLocalTimeOfItsMakingAndIsMadeOnce) {
  struct Case {
    const char* zone;
    hours offset;
  } cases[] = {{"JST-9", hours(9)}, {"PST8", hours(-8)}, {"UTC0", hours(0)}};
  for (const auto& c : cases) {
    kivo::test::SettingsSandbox sandbox;
    kivo::test::ScopedTimeZone tz(c.zone);
    // 09:05:03.007 on 2 March 2025, local time.
    kivo::test::VirtualTime time(sys_days{year{2025} / 3 / 2} + 9h + 5min + 3s + 7ms - c.offset);
    DOUserDefault defaults;
    EXPECT_EQ(defaults.getTID(), "I20250302090503007") << c.zone;
    time.advance(1h);
    EXPECT_EQ(defaults.getTID(), "I20250302090503007");
    EXPECT_EQ(defaults.initialSessionId(), "I20250302090503007");
    sandbox.reopen();  // a later process
    EXPECT_EQ(DOUserDefault().getTID(), "I20250302090503007");
    EXPECT_EQ(UserDefaults::standard()->object("DOUserDefault"),
              PropertyList(PropertyDictionary{{"tid", "I20250302090503007"}}));
  }
}

TEST(DOUserDefault, AHostSessionIdWinsUnlessEmptyAndIsReadAfreshEachTime) {
  kivo::test::SettingsSandbox sandbox;
  kivo::test::VirtualTime time;
  DOUserDefault defaults;
  const std::string tid = defaults.getTID();
  EXPECT_EQ(defaults.sessionId(), tid);
  EXPECT_FALSE(defaults.getSessionId());
  defaults.saveDict("", "sessionId");
  EXPECT_EQ(defaults.sessionId(), tid);
  EXPECT_EQ(defaults.getSessionId(), "");
  defaults.saveDict("host-session", "sessionId");
  EXPECT_EQ(defaults.sessionId(), "host-session");
  defaults.saveDict(42, "sessionId");  // not text: ignored
  EXPECT_EQ(defaults.sessionId(), tid);
}

TEST(DOUserDefault, LoadDictCreatesTheDictionaryOnlyWhenGivenAKey) {
  kivo::test::SettingsSandbox sandbox;
  kivo::test::VirtualTime time;
  DOUserDefault reader;  // construction makes the installation identifier
  UserDefaults::standard()->remove("DOUserDefault");
  EXPECT_FALSE(reader.loadDict(std::nullopt));
  EXPECT_FALSE(UserDefaults::standard()->object("DOUserDefault"));
  EXPECT_FALSE(reader.loadDict("missing"));
  EXPECT_EQ(UserDefaults::standard()->object("DOUserDefault"), PropertyList(PropertyDictionary{}));
}

TEST(DOUserDefault, AResetMakesANewIdentifierAndBadStoredTypesAreReplaced) {
  kivo::test::SettingsSandbox sandbox;
  kivo::test::VirtualTime time;
  DOUserDefault defaults;
  const std::string first = defaults.getTID();
  UserDefaults::standard()->remove("DOUserDefault");  // what the manager's reset does
  time.advance(1s);
  const std::string second = defaults.getTID();
  EXPECT_NE(first, second);
  EXPECT_EQ(second.size(), 18u);
  UserDefaults::standard()->set("DOUserDefault", "not a dictionary");
  defaults.saveDict(PropertyList(kivo::Bytes{1, 2}), "blob");
  EXPECT_EQ(defaults.loadDict("blob"), PropertyList(kivo::Bytes{1, 2}));
  defaults.saveDict(7, "tid");  // a tid that is not text is remade
  time.advance(1s);
  EXPECT_EQ(defaults.getTID().size(), 18u);
}

TEST(DOUserDefault, ConcurrentWritersAndFirstReadersShareOneIdentifierAndLoseNoEntry) {
  kivo::test::SettingsSandbox sandbox;
  constexpr int kThreads = 8, kEntries = 20;
  std::vector<std::string> tids(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      DOUserDefault defaults;
      tids[t] = defaults.getTID();
      for (int i = 0; i < kEntries; ++i) defaults.saveDict(i, "k" + std::to_string(t) + "." + std::to_string(i));
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(tids, std::vector<std::string>(kThreads, tids[0]));
  sandbox.reopen();
  DOUserDefault reader;
  EXPECT_EQ(reader.getTID(), tids[0]);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEntries; ++i)
      EXPECT_EQ(reader.loadDict("k" + std::to_string(t) + "." + std::to_string(i)), PropertyList(i));
}

}  // namespace

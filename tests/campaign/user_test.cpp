#include "kivo/user.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "common/log_capture.h"
#include "common/settings_sandbox.h"
#include "common/virtual_time.h"
#include "kivo/log.h"
#include "kivo/user_default.h"
#include "platform/user_defaults.h"

namespace {

using namespace std::chrono_literals;
using kivo::KIVOUser;
using kivo::KIVOUserInfoMaskFromRequiredArray;
using nlohmann::json;

TEST(KIVOUser, SessionIDIsFixedOnFirstReadAndMadeFromTheInstallationIdentifier) {
  kivo::test::SettingsSandbox sandbox;
  kivo::test::VirtualTime time;
  KIVOUser user;
  const std::string first = user.sessionID();
  EXPECT_EQ(first.size(), 18u);
  EXPECT_EQ(first[0], 'I');
  EXPECT_EQ(user.getTID(), first);
  user.saveDict("host-session", "sessionId");
  EXPECT_EQ(user.sessionID(), first);  // fixed for the life of the instance
  sandbox.reopen();
  KIVOUser nextProcess;
  EXPECT_EQ(nextProcess.sessionID(), "host-session");
  EXPECT_EQ(nextProcess.getTID(), first);
  nextProcess.saveDict("", "sessionId");
  EXPECT_EQ(KIVOUser().sessionID(), first);  // an empty sessionId is ignored
}

TEST(KIVOUser, TwoThreadsReadingSessionIDFirstGetTheStoredValue) {
  for (int round = 0; round < 20; ++round) {
    kivo::test::SettingsSandbox sandbox;
    KIVOUser user;
    std::string seen[2];
    std::latch start(2);
    std::thread a([&] { start.arrive_and_wait(); seen[0] = user.sessionID(); });
    std::thread b([&] { start.arrive_and_wait(); seen[1] = kivo::DOUserDefault().getTID(); });
    a.join();
    b.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(user.sessionID(), *user.loadDict("tid")->get<std::string>());
  }
}

TEST(KIVOUser, SaveAndLoadKeepExactlyThePresentFields) {
  kivo::test::SettingsSandbox sandbox;
  const auto birthday = kivo::KIVOUser::Date(std::chrono::sys_days{std::chrono::year{1990} / 7 / 14});
  KIVOUser user;
  user.setName("Aiko");
  user.setEmail("aiko@example.com");
  user.setBirthday(birthday);
  user.setMobile("+81 90 0000 0000");
  user.setAddress("");
  user.setGender("f");
  user.save();
  EXPECT_EQ(kivo::UserDefaults::standard()->object("dcuser"),
            kivo::PropertyList(kivo::PropertyDictionary{{"dcuname", "Aiko"},
                                                        {"dcuemail", "aiko@example.com"},
                                                        {"birthday", birthday},
                                                        {"dcumobile", "+81 90 0000 0000"},
                                                        {"dcuaddress", ""},
                                                        {"gender", "f"}}));
  user.setEmail(std::nullopt);
  user.save();
  sandbox.reopen();
  KIVOUser loaded;
  loaded.setEmail("stale@example.com");
  loaded.load();
  EXPECT_EQ(loaded.name(), "Aiko");
  EXPECT_EQ(loaded.email(), std::nullopt);
  EXPECT_EQ(loaded.birthday(), birthday);
  EXPECT_EQ(loaded.mobile(), "+81 90 0000 0000");
  EXPECT_EQ(loaded.address(), "");
  EXPECT_EQ(loaded.gender(), "f");
}

TEST(KIVOUser, CheckRequiredFields) {
  KIVOUser user;
  EXPECT_TRUE(user.checkRequiredFields(0));
  EXPECT_TRUE(user.checkRequiredFields(32));  // gender takes no part
  EXPECT_FALSE(user.checkRequiredFields(1));
  user.setAddress("");
  EXPECT_FALSE(user.checkRequiredFields(16));
  user.setBirthday(KIVOUser::Date{});
  EXPECT_TRUE(user.checkRequiredFields(4));
  user.setName("n");
  user.setEmail("e");
  user.setMobile("m");
  user.setAddress("a");
  for (int64_t mask = 0; mask < 64; ++mask) EXPECT_TRUE(user.checkRequiredFields(mask)) << mask;
  user.setMobile("");
  for (int64_t mask = 0; mask < 64; ++mask) EXPECT_EQ(user.checkRequiredFields(mask), !(mask & 8)) << mask;
}

TEST(KIVOUserInfoMask, FromTheConsolesFieldNames) {
  struct Case {
    json list;
    int64_t mask;
  } cases[] = {
      {json::array({"name", "phone", "Email"}), 9},
      {json::array({"name", "email", "birth", "phone", "address", "gender"}), 63},
      {json::array({"gender", "gender", "address"}), 48},
      {json::array({"birth", 4, nullptr, json::object()}), 4},
      {json::array(), 0},
      {nullptr, 0},
      {"name", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(KIVOUserInfoMaskFromRequiredArray(c.list), c.mask) << c.list.dump();
}

TEST(KIVOUserInfoMask, LogsEachBitInDebugModeOnly) {
  {
    kivo::test::LogCapture quiet;
    KIVOUserInfoMaskFromRequiredArray(json::array({"name"}));
    EXPECT_TRUE(quiet.lines().empty());
  }
  kivo::setDebugLinesEnabled(true);
  kivo::test::LogCapture log;
  EXPECT_EQ(KIVOUserInfoMaskFromRequiredArray(json::array({"phone", "name", "x"})), 9);
  kivo::setDebugLinesEnabled(false);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Creating mask from array: [\"phone\",\"name\",\"x\"]",
                                                   "Appending mobile mask", "Appending name mask"}));
}

}  // namespace

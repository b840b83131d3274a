#include "kivo/application_request.h"

#include <gtest/gtest.h>

#include "campaign_summary.h"
#include "common/log_capture.h"
#include "common/settings_sandbox.h"
#include "common/time_zone.h"
#include "kivo/manager.h"
#include "kivo/user.h"

namespace {

using kivo::KIVOApplicationRequest;
using kivo::KIVOUser;
using kivo::test::ScopedTimeZone;
using kivo::test::utcDate;
using nlohmann::json;

class ApplicationRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVOUser saved;
    saved.setName("Aiko Tanaka");
    saved.setBirthday(utcDate("1990-04-30T15:00:00Z"));
    saved.setGender("");
    saved.save();
  }
  void TearDown() override { kivo::KIVOManager::sharedManager().setDebugMode(false); }

  static std::string session() { return KIVOUser::currentUser().sessionID(); }

  kivo::test::SettingsSandbox sandbox_;
};

TEST_F(ApplicationRequest, FormFields) {
  KIVOApplicationRequest quiz("item-1", "media-1", 0);
  EXPECT_EQ(quiz.params(), (json{{"session", session()}, {"promo_id", "item-1"}, {"media_id", "media-1"}}));
  quiz.answer = "Tagus";
  quiz.quizCorrection = true;
  EXPECT_EQ(quiz.params(), (json{{"session", session()}, {"promo_id", "item-1"}, {"media_id", "media-1"},
                                 {"is_correct", "1"}, {"answer", "Tagus"}}));
  quiz.quizCorrection = false;
  EXPECT_FALSE(quiz.params().contains("is_correct"));
  quiz.quizCorrection.reset();
  EXPECT_FALSE(quiz.params().contains("is_correct"));

  KIVOApplicationRequest bare(std::nullopt, std::nullopt, 63);
  ScopedTimeZone tz("JST-9");
  const json fields = bare.params();
  EXPECT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields["session"], session());
  EXPECT_EQ(json::parse(fields["userdata"].get<std::string>()),
            (json{{"name", "Aiko Tanaka"}, {"birth", "1990-05-01T00:00:00+0900"}, {"gender", ""}}));
}

TEST_F(ApplicationRequest, UserdataUsesTheSavedFieldsAndTheDeviceZone) {
  KIVOUser& user = KIVOUser::currentUser();
  user.setEmail("unsaved@example.com");  // discarded by the reload
  KIVOApplicationRequest request("item-1", "media-1", 63);
  struct Case {
    const char* zone;
    const char* birth;
  } zones[] = {{"JST-9", "1990-05-01T00:00:00+0900"}, {"PST8", "1990-04-30T07:00:00-0800"},
               {"IST-5:30", "1990-04-30T20:30:00+0530"}, {"UTC0", "1990-04-30T15:00:00+0000"}};
  for (const auto& z : zones) {
    ScopedTimeZone tz(z.zone);
    EXPECT_EQ(json::parse(*request.userdata()), (json{{"name", "Aiko Tanaka"}, {"birth", z.birth}, {"gender", ""}}))
        << z.zone;
  }
  EXPECT_EQ(user.email(), std::nullopt);
  request.userInfoMask = 2 | 8 | 16;  // none of them saved
  EXPECT_EQ(request.userdata(), std::nullopt);
  request.userInfoMask = 0;
  EXPECT_EQ(request.userdata(), std::nullopt);
}

TEST_F(ApplicationRequest, DebugLinesOnlyInDebugMode) {
  KIVOApplicationRequest request("item-1", std::nullopt, 1);
  {
    kivo::test::LogCapture quiet;
    EXPECT_EQ(request.userdata(), "{\"name\":\"Aiko Tanaka\"}");
    request.userInfoMask = 8;
    EXPECT_EQ(request.userdata(), std::nullopt);
    EXPECT_TRUE(quiet.lines().empty());
  }
  kivo::KIVOManager::sharedManager().setDebugMode(true);
  kivo::test::LogCapture log;
  request.userInfoMask = 1;
  request.userdata();
  request.userInfoMask = 8;
  request.userdata();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Creating userdata with mask 1",
                                                   "Userdata Dictionary: {\"name\":\"Aiko Tanaka\"}",
                                                   "Creating userdata with mask 8", "No user data. skip."}));
}

TEST_F(ApplicationRequest, TextThatIsNotUTF8IsLoggedAndNotSent) {
  KIVOUser saved;
  saved.load();
  saved.setName(std::string("Ai\xffko"));
  saved.save();
  KIVOApplicationRequest request("item-1", std::nullopt, 1 | 32);
  kivo::test::LogCapture log;
  EXPECT_EQ(request.userdata(), std::nullopt);
  EXPECT_FALSE(request.params().contains("userdata"));
  const std::vector<std::string> lines = log.lines();
  ASSERT_FALSE(lines.empty());
  const std::string& line = lines.front();
  EXPECT_EQ(line.rfind("Failed to create json\n- error: ", 0), 0u) << line;
  EXPECT_NE(line.find("\n- source: {\"gender\":\"\",\"name\":\"Ai\xEF\xBF\xBDko\"}"), std::string::npos) << line;
}

}  // namespace

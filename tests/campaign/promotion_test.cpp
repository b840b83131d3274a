#include "kivo/promotion.h"

#include <gtest/gtest.h>

#include "campaign_summary.h"
#include "common/settings_sandbox.h"
#include "common/time_zone.h"
#include "common/virtual_time.h"

namespace {

using namespace std::chrono_literals;
using kivo::KIVOPromotion;
using kivo::KIVOUser;
using kivo::test::ScopedTimeZone;
using kivo::test::utcDate;
using nlohmann::json;

json setWithItems(json items, json extra = json::object()) {
  json set = {{"_id", "set"}, {"name", "Set"}, {"items", std::move(items)}};
  set.update(extra);
  return set;
}

TEST(KIVOPromotion, PositionOfTheMediaDictionary) {
  struct Case {
    json media;
    double position;
  } cases[] = {
      {{{"position", 734.25}}, 734.25},
      {{{"position", 12}}, 12.0},
      {{{"position", -3}}, -3.0},
      {{{"position", nullptr}}, -1.0},
      {json::object(), 0.0},
      {{{"position", "98.5"}}, 98.5},
      {{{"position", "  +7e1xyz"}}, 70.0},
      {{{"position", "-2.5"}}, -2.5},
      {{{"position", "nan"}}, 0.0},
      {{{"position", "1e999"}}, 0.0},
      {{{"position", ""}}, 0.0},
      {{{"position", "+-1"}}, 0.0},
      {{{"position", false}}, 0.0},
      {{{"position", json::array({1.5})}}, 0.0},
  };
  for (const auto& c : cases) {
    KIVOPromotion promotion;
    promotion.position = 55.0;
    promotion.setPropertiesFromDictionary(c.media);
    EXPECT_EQ(promotion.position, c.position) << c.media.dump();
  }
  EXPECT_EQ(KIVOPromotion(json(nullptr)).position, 0.0);  // no dictionary: nothing read
}

TEST(KIVOPromotion, QuizAnswerCountsFromOneAndAcceptsNumbersAndNumericText) {
  struct Case {
    json answer;
    int64_t index;
  } cases[] = {
      {1, 0},
      {4, 3},
      {0, -1},
      {"2", 1},
      {"  +3 (Bea)", 2},
      {2.9, 1},
      {-0.5, -1},
      {1e30, INT64_MAX - 1},
      {"99999999999999999999", INT64_MAX - 1},
      {"-99999999999999999999", INT64_MIN},
      {18446744073709551615u, INT64_MAX - 1},
      {nullptr, 0},
      {true, 0},
      {"two", 0},
      {json::array({2}), 0},
  };
  for (const auto& c : cases) {
    KIVOPromotion promotion;
    promotion.setPropertiesFromEntriedDictionary(
        setWithItems(json::array({{{"type", "quiz"}, {"answer", c.answer}, {"answer_list", {"A", "B"}}}})));
    ASSERT_TRUE(promotion.multipleOptionQuiz);
    EXPECT_EQ(promotion.multipleOptionQuiz->resolutionIndex, c.index) << c.answer.dump();
  }
}

TEST(KIVOPromotion, TypeDescriptions) {
  const std::pair<int64_t, const char*> table[] = {
      {1, "Default Simple Promotion"},
      {2, "Promotion for Voucher"},
      {3, "Promotion with Direct Link"},
      {4, "Promotion with Short Answer Form"},
      {5, "Promotion with Multiple Option Quizzes Form"},
      {6, "Promotion with SMS Text Message"},
      {7, "Promotion with App Installation"},
      {8, "Promotion with Post Back Form"},
      {9, "Promotion with Web View URL"},
      {10, "Promotion with Reminder"},
  };
  for (const auto& [code, text] : table) EXPECT_EQ(KIVOPromotion::typeDescription(code), text);
  for (int64_t code : {int64_t{0}, int64_t{11}, int64_t{12}, int64_t{13}, int64_t{14}, int64_t{-1}, INT64_MAX})
    EXPECT_EQ(KIVOPromotion::typeDescription(code), "Unknown Promotion Type") << code;
}

TEST(KIVOPromotion, DatesKeepPositiveOffsetsAndReadNoOffsetAsUTC) {
  struct Case {
    const char* text;
    std::optional<const char*> utc;
  } cases[] = {
      {"2024-01-31T10:00:00", "2024-01-31T10:00:00Z"},
      {"2024-01-31T10:00:00+0900", "2024-01-31T01:00:00Z"},
      {"2024-01-31T10:00:00+09:00", "2024-01-31T01:00:00Z"},
      {"2024-01-31T10:00:00+0000", "2024-01-31T10:00:00Z"},
      {"2024-01-31T10:00:00-0500", std::nullopt},
      {"2024-01-31T10:00:00Z", std::nullopt},
      {"31/01/2024 10:00", std::nullopt},
  };
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    for (const auto& c : cases) {
      KIVOPromotion promotion;
      promotion.setPropertiesFromEntriedDictionary(
          setWithItems(json::array({{{"type", "reminder"}, {"rel", "main"}, {"start_date", c.text}}}),
                       {{"start_date", c.text}, {"end_date", c.text}}));
      auto want = c.utc ? std::optional(utcDate(*c.utc)) : std::nullopt;
      EXPECT_EQ(promotion.startDate, want) << c.text << " in " << zone;
      EXPECT_EQ(promotion.endDate, want) << c.text << " in " << zone;
      ASSERT_TRUE(promotion.reminder);
      EXPECT_EQ(promotion.reminder->startAt, want) << c.text << " in " << zone;
    }
  }
}

TEST(KIVOPromotion, ExpiresOnlyAfterItsEndDate) {
  kivo::test::VirtualTime time(utcDate("2024-02-29T12:59:59Z"));
  KIVOPromotion promotion;
  promotion.setPropertiesFromEntriedDictionary(setWithItems(json::array(), {{"end_date", "2024-02-29T22:00:00+0900"}}));
  EXPECT_FALSE(promotion.expired());
  time.advance(1s);  // exactly the end date
  EXPECT_FALSE(promotion.expired());
  time.advance(1ms);
  EXPECT_TRUE(promotion.expired());
  promotion.endDate.reset();  // no end date: never expires
  time.advance(24h * 3650);
  EXPECT_FALSE(promotion.expired());
}

TEST(KIVOPromotion, SetJsonStringKeepsTheTextForm) {
  KIVOPromotion promotion;
  promotion.setJsonString("{\"already\": \"text\"}");
  EXPECT_EQ(promotion.jsonString, "{\"already\": \"text\"}");
  promotion.setJsonString(json{{"b", 1}, {"a", json::array({true, nullptr})}});
  EXPECT_EQ(promotion.jsonString, "{\"a\":[true,null],\"b\":1}");
}

class PromotionUserdata : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVOUser saved;
    saved.setName("Aiko Tanaka");
    saved.setEmail("aiko@example.com");
    saved.setBirthday(utcDate("1990-04-30T15:00:00Z"));
    saved.setAddress("");  // present, though empty
    saved.save();
  }
  kivo::test::SettingsSandbox sandbox_;
};

TEST_F(PromotionUserdata, SendsTheRequiredFieldsTheUserSaved) {
  ScopedTimeZone tz("JST-9");
  KIVOPromotion promotion;
  KIVOUser user;
  struct Case {
    int64_t mask;
    std::optional<json> document;
  } cases[] = {
      {0, std::nullopt},
      {4, json{{"birth", "1990-05-01T00:00:00+0900"}}},
      {1 | 2, json{{"name", "Aiko Tanaka"}, {"email", "aiko@example.com"}}},
      {16, json{{"address", ""}}},
      {8 | 32, std::nullopt},  // neither phone nor gender saved: skipped, not null
      {63, json{{"name", "Aiko Tanaka"}, {"email", "aiko@example.com"}, {"birth", "1990-05-01T00:00:00+0900"},
                {"address", ""}}},
  };
  for (const auto& c : cases) {
    promotion.requiredFields = c.mask;
    auto text = promotion.userdata(user);
    ASSERT_EQ(text.has_value(), c.document.has_value()) << c.mask;
    if (text) {
      EXPECT_EQ(json::parse(*text), *c.document) << c.mask;
      EXPECT_EQ(json::parse(*text).dump(), *text) << "compact";
    }
  }
}

TEST_F(PromotionUserdata, ReloadsTheSavedFieldsFirst) {
  ScopedTimeZone tz("PST8");
  KIVOUser user;
  user.setMobile("+1 555 0100");  // not saved: discarded by the reload
  user.setName("Unsaved");
  KIVOPromotion promotion;
  promotion.requiredFields = 1 | 4 | 8;
  EXPECT_EQ(json::parse(*promotion.userdata(user)),
            (json{{"name", "Aiko Tanaka"}, {"birth", "1990-04-30T07:00:00-0800"}}));
  EXPECT_EQ(user.mobile(), std::nullopt);
  EXPECT_EQ(user.name(), "Aiko Tanaka");
}

TEST_F(PromotionUserdata, TextThatIsNotUTF8GivesNothing) {
  KIVOUser saved;
  saved.load();
  saved.setName(std::string("Ai\xff\xfeko"));
  saved.save();
  KIVOUser user;
  KIVOPromotion promotion;
  promotion.requiredFields = 1;
  EXPECT_EQ(promotion.userdata(user), std::nullopt);
  promotion.requiredFields = 2;
  EXPECT_EQ(promotion.userdata(user), "{\"email\":\"aiko@example.com\"}");
}

TEST(KIVOPromotion, DescriptionOfAnEmptyPromotion) {
  EXPECT_EQ(KIVOPromotion().description(),
            "-----\n<KIVOPromotion Information>\n- mediaID:(null)\n- position:0.000000\n- type:Unknown Promotion Type\n"
            "- title:(null)\n- imageURL:(null)\n- subtitle:(null)\n- startDate:(null)\n- endDate:(null)\n"
            "- promotionID:(null)\n- promotionItemID:(null)\n- requiredFields:0\n- termsURL:(null)\n-----\n");
}

TEST(KIVOPromotion, DescriptionOfEveryItemInOrder) {
  KIVOPromotion p;
  p.mediaID = "m-1";
  p.position = -1.0;
  p.type = kivo::KIVOPromotionTypeMultipleOptionQuiz;
  p.title = "Lisbon";
  p.imageURL = kivo::URL("https://cdn.example.com/l.jpg");
  p.startDate = utcDate("2024-01-29T00:00:00Z");
  p.promotionID = "set-1";
  p.promotionItemID = "item-1";
  p.requiredFields = 11;
  p.termsURL = kivo::URL("https://example.com/terms");
  p.voucher.emplace().name = "Latte";
  p.directLink.emplace().url = kivo::URL("https://example.com/go");
  p.shortAnswerForm.emplace().question = "Why?";
  auto& quiz = p.multipleOptionQuiz.emplace();
  quiz.question = "River?";
  quiz.answers = {"Douro", "Tagus"};
  quiz.resolutionIndex = 1;
  p.sms.emplace().smsNumber = "40404";
  p.app.emplace().appScheme = "app://";
  auto& reminder = p.reminder.emplace();
  reminder.name = "Draw";
  reminder.endAt = utcDate("2024-02-05T04:00:00Z");
  reminder.allDay = true;
  p.onlineStore.emplace();
  p.nearStore.emplace().keyword = "cafe";
  p.directCall.emplace().number = "112";
  auto& sub = p.subpromotions.emplace();
  sub.url = kivo::URL("https://example.com/sub");
  sub.useLBS = true;
  sub.reminderLocation = {37.5, 127.25};
  sub.reminderStartAt = utcDate("2024-02-05T03:00:00Z");
  auto& state = p.state.emplace();
  state.state = kivo::KIVOStateCodeLose;
  p.bookmarkID = "not described";
  ScopedTimeZone tz("JST-9");  // dates print in UTC whatever the zone
  EXPECT_EQ(p.description(),
            "-----\n<KIVOPromotion Information>\n- mediaID:m-1\n- position:-1.000000\n"
            "- type:Promotion with Multiple Option Quizzes Form\n- title:Lisbon\n- imageURL:https://cdn.example.com/l.jpg\n"
            "- subtitle:(null)\n- startDate:2024-01-29 00:00:00 +0000\n- endDate:(null)\n- promotionID:set-1\n"
            "- promotionItemID:item-1\n- requiredFields:11\n- termsURL:https://example.com/terms\n-----\n"
            "<KIVOPromotionVoucher>\n- name:Latte\n-----\n"
            "<KIVOPromotionDirectLink>\n- url:https://example.com/go\n-----\n"
            "<KIVOPromotionSurvey>\n- question:Why?\n-----\n"
            "<KIVOPromotionQuiz>\n- question:River?\n- answers:[\"Douro\",\"Tagus\"]\n- resolutionIndex:1\n-----\n"
            "<KIVOPromotionSMS>\n- smsNumber:40404\n- smsContent:(null)\n-----\n"
            "<KIVOPromotionApp>\n- iosAppURL:(null)\n- androidAppURL:(null)\n- appScheme:app://\n-----\n"
            "<KIVOPromotionReminder>\n- name:Draw\n- startAt:(null)\n- endAt:2024-02-05 04:00:00 +0000\n-----\n"
            "<KIVOPromotionOnlineStore>\n- url:(null)\n-----\n"
            "<KIVOPromotionNearStore>\n- keyword:cafe\n-----\n"
            "<KIVOPromotionDirectCall>\n- number:112\n-----\n"
            "<KIVOSubpromotions>\n- [URL] urlItemID:(null)\n- [URL] url:https://example.com/sub\n"
            "- [APP] appItemID:(null)\n- [APP] iosAppURL:(null)\n- [APP] androidAppURL:(null)\n- [APP] appScheme:(null)\n"
            "- [SHP] shopURLItemID:(null)\n- [SHP] shopURL:(null)\n- [CAL] useCalendar:NO\n- [LBS] useLBS:YES\n"
            "- [LBS] lbsItemID:(null)\n- [LBS] lbsKeyword:(null)\n- [RMD] useReminder:NO\n- [RMD] reminderItemID:(null)\n"
            "- [RMD] reminderName:(null)\n- [RMD] reminderLocation:(37.500000, 127.250000)\n"
            "- [RMD] reminderStartAt:2024-02-05 03:00:00 +0000\n- [RMD] reminderEndAt:(null)\n"
            "- [RMD] reminderAllDay:NO\n- [CLL] useCall:NO\n- [CLL] callItemID:(null)\n- [CLL] callNumber:(null)\n-----\n"
            "<KIVOState Object Presentation>\n- promotionItemID: (null)\n- created: (null)\n- state: lose\n"
            "- hasVoucher: NO\n");
}

}  // namespace

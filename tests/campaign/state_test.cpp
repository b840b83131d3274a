#include "kivo/state.h"

#include <gtest/gtest.h>

#include "campaign_summary.h"
#include "common/time_zone.h"

namespace {

using kivo::KIVOState;
using kivo::test::ScopedTimeZone;
using kivo::test::summary;
using kivo::test::utcDate;
using nlohmann::json;

TEST(KIVOState, StateCodesAndTheirTexts) {
  const std::pair<const char*, int32_t> words[] = {
      {"win", 2}, {"lose", 3}, {"unknown", 1}, {"Win", 0}, {"won", 0}, {"", 0}, {"lose ", 0}, {"pending", 0}};
  for (const auto& [word, code] : words) EXPECT_EQ(KIVOState::typeFromStateString(word), code) << word;
  const std::pair<int32_t, const char*> texts[] = {
      {0, "(NOT ASSIGNED)"}, {1, "unknown"}, {2, "win"}, {3, "lose"}, {4, "(NOT ASSIGNED)"}, {-1, "(NOT ASSIGNED)"}};
  for (const auto& [code, text] : texts) EXPECT_EQ(KIVOState::stringFromType(code), text) << code;
  KIVOState state;
  EXPECT_FALSE(state.win() || state.lose());
  state.state = 2;
  EXPECT_TRUE(state.win());
  state.state = 3;
  EXPECT_TRUE(state.lose());
}

TEST(KIVOState, AVoucherMakesAnyStateAWin) {
  const json voucher = {{"code", "LATTE-42"}, {"start_date", "2024-02-03T00:00:00+0900"}, {"where", "Bean Street"}};
  KIVOState state;
  state.setGETPromotionsJSONObject({{"target", {{"_id", "item-1"}}}, {"state", "lose"}, {"voucher", voucher}});
  EXPECT_EQ(summary(state), (json{{"promotionItemID", "item-1"},
                                  {"state", 2},
                                  {"hasVoucher", true},
                                  {"voucher", {{"code", "LATTE-42"}, {"startDate", "2024-02-02T15:00:00Z"},
                                               {"where", "Bean Street"}}}}));

  // The applied-promotion answer: only its voucher is read.
  KIVOState applied(json{{"state", "lose"}, {"created", "2024-02-03T00:00:00"}, {"voucher", voucher}});
  EXPECT_EQ(applied.state, kivo::KIVOStateCodeWin);
  EXPECT_EQ(applied.created, std::nullopt);
  EXPECT_TRUE(applied.hasVoucher);
  EXPECT_EQ(applied.voucher->code, "LATTE-42");
}

TEST(KIVOState, MissingNullAndWronglyTypedValues) {
  struct Case {
    json object;
    json expect;
  } cases[] = {
      {{{"state", "win"}, {"voucher", nullptr}}, {{"state", 2}}},
      {{{"state", "lose"}, {"voucher", "CODE-1"}}, {{"state", 3}}},
      {{{"state", 3}, {"target", "item-1"}, {"created", 1706700000}}, {{"state", 0}}},
      {{{"target", {{"_id", 12}}}, {"voucher", json::array({{{"code", "x"}}})}}, {{"state", 0}}},
      {{{"target", nullptr}, {"state", nullptr}, {"created", nullptr}}, {{"state", 0}}},
      {{{"voucher", {{"code", 5}, {"start_date", "2024-02-03T00:00:00Z"}, {"how", nullptr}}}},
       {{"state", 2}, {"hasVoucher", true}, {"voucher", json::object()}}},
      {json::array({"win"}), {{"state", 0}}},
      {"win", {{"state", 0}}},
  };
  for (const auto& c : cases) {
    KIVOState state;
    state.setGETPromotionsJSONObject(c.object);
    EXPECT_EQ(summary(state), c.expect) << c.object.dump();
    KIVOState applied(c.object);
    EXPECT_EQ(applied.hasVoucher, c.expect.contains("voucher")) << c.object.dump();
  }
  KIVOState state;
  state.setJSONVoucherObject("not an object");
  EXPECT_EQ(state, KIVOState());
}

TEST(KIVOState, CreatedDatesInZonesEastAndWestOfUTC) {
  const std::pair<const char*, std::optional<const char*>> cases[] = {
      {"2024-01-31T10:00:00", "2024-01-31T10:00:00Z"},
      {"2024-01-31T10:00:00+0900", "2024-01-31T01:00:00Z"},
      {"2024-01-31T10:00:00-0800", std::nullopt},
      {"2024-01-31T10:00:00Z", std::nullopt},
  };
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    for (const auto& [text, utc] : cases) {
      KIVOState state;
      state.setGETPromotionsJSONObject({{"created", text}, {"voucher", {{"end_date", text}}}});
      auto want = utc ? std::optional(utcDate(*utc)) : std::nullopt;
      EXPECT_EQ(state.created, want) << text << " in " << zone;
      EXPECT_EQ(state.voucher->endDate, want) << text << " in " << zone;
    }
  }
}

TEST(KIVOState, Description) {
  KIVOState state;
  EXPECT_EQ(state.description(),
            "<KIVOState Object Presentation>\n- promotionItemID: (null)\n- created: (null)\n- state: (NOT ASSIGNED)\n"
            "- hasVoucher: NO\n");
  state.setGETPromotionsJSONObject({{"target", {{"_id", "item-9"}}},
                                    {"created", "2024-02-03T08:15:00+0900"},
                                    {"voucher", {{"code", "BEAN-7Q2X"}, {"end_date", "2024-02-29T22:00:00+0900"},
                                                 {"how", "Show this code"}}}});
  EXPECT_EQ(state.description(),
            "<KIVOState Object Presentation>\n- promotionItemID: item-9\n- created: 2024-02-02 23:15:00 +0000\n"
            "- state: win\n- hasVoucher: YES\n<KIVOState.KIVOVoucher Object Presentation>\n- code: BEAN-7Q2X\n"
            "- startDate: (null)\n- endDate: 2024-02-29 13:00:00 +0000\n- where: (null)\n- how: Show this code");
}

TEST(KIVOState, JSONStringIsTheObjectsTextForm) {
  KIVOState state;
  state.setJSONString(json{{"state", "win"}});
  EXPECT_EQ(state.JSONString(), "{\"state\":\"win\"}");
  state.setJSONString("raw answer");
  EXPECT_EQ(state.JSONString(), "raw answer");
}

}  // namespace

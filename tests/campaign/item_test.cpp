#include "kivo/item.h"

#include <gtest/gtest.h>

#include "campaign_summary.h"
#include "common/time_zone.h"

namespace {

using kivo::KIVOItem;
using kivo::test::utcDate;
using nlohmann::json;

TEST(KIVOItem, WrapsTheResultOfARecognitionOrTheEntryItself) {
  const json media = kivo::test::loadCampaignDocument("media_dictionaries.json")[0]["media"];
  KIVOItem result = KIVOItem::initWithDictionary(media);
  EXPECT_EQ(*result.identifier(), "65b9c1f2e4b0a1d2c3f4a501");
  EXPECT_EQ(*result.title(), "Morning Drive with Ana");
  ASSERT_EQ(result.subitems().size(), 2u);
  EXPECT_EQ(*result.subitems()[0].name(), "Win a weekend in Lisbon");

  const json entry = kivo::test::loadCampaignDocument("promotion_list.json")["items"][0];
  KIVOItem set = KIVOItem::initWithDictionary(entry);
  EXPECT_EQ(set.dictionary(), entry);
  EXPECT_EQ(*set.subname(), "Show the code at the counter");
  EXPECT_EQ(set.imageURL(), kivo::URL("https://cdn.example.com/campaigns/bean-street/cover.png"));
  EXPECT_EQ(set.startDate(), utcDate("2024-01-31T22:00:00Z"));
  EXPECT_EQ(set.endDate(), utcDate("2024-02-29T13:00:00Z"));
  ASSERT_EQ(set.subitems().size(), 4u);
  EXPECT_EQ(*set.subitems()[3].type(), "near");
  EXPECT_EQ(*set.subitems()[3].objectForKey("keyword"), "bean street cafe");

  // initWithResultDictionary never unwraps; a "result" that is not an object is not unwrapped.
  EXPECT_EQ(KIVOItem::initWithResultDictionary(media).dictionary(), media);
  const json nullResult = {{"result", nullptr}, {"_id", "outer"}};
  EXPECT_EQ(*KIVOItem::initWithDictionary(nullResult).identifier(), "outer");
  EXPECT_EQ(*KIVOItem::initWithDictionary({{"result", "text"}, {"_id", "outer"}}).identifier(), "outer");
}

TEST(KIVOItem, ValuesAsStoredAndConvertedValues) {
  KIVOItem item = KIVOItem::initWithResultDictionary({{"title", nullptr},
                                                      {"name", 42},
                                                      {"image", ""},
                                                      {"start_date", ""},
                                                      {"end_date", "2024-01-31T10:00:00"},
                                                      {"link", "https://example.com"},
                                                      {"when", "2024-01-31T10:00:00+0900"},
                                                      {"bad_url", 5},
                                                      {"bad_date", json::array()}});
  ASSERT_NE(item.title(), nullptr);
  EXPECT_TRUE(item.title()->is_null());  // a JSON null is returned as such
  EXPECT_EQ(*item.name(), 42);           // no type check on values as stored
  EXPECT_EQ(*item.stringForKey("name"), 42);
  EXPECT_EQ(item.dictionaryForKey("missing"), nullptr);
  EXPECT_EQ(item.identifier(), nullptr);
  EXPECT_EQ(item.imageURL(), std::nullopt);
  EXPECT_EQ(item.startDate(), std::nullopt);
  EXPECT_EQ(item.endDate(), utcDate("2024-01-31T10:00:00Z"));
  EXPECT_EQ(item.urlForKey("link"), kivo::URL("https://example.com"));
  EXPECT_EQ(item.dateForKey("when"), utcDate("2024-01-31T01:00:00Z"));
  EXPECT_EQ(item.urlForKey("bad_url"), std::nullopt);
  EXPECT_EQ(item.dateForKey("bad_date"), std::nullopt);
  EXPECT_EQ(item.urlForKey("title"), std::nullopt);
}

TEST(KIVOItem, MainPromotionItem) {
  struct Case {
    json items;
    std::optional<const char*> main;
  } cases[] = {
      {json::array({{{"_id", "a"}, {"rel", "main"}}, {{"_id", "b"}, {"rel", "main"}}}), "a"},
      {json::array({{{"_id", "a"}, {"rel", "Main"}}, {{"_id", "b"}}}), std::nullopt},
      {json::array({{{"_id", "a"}, {"rel", json::array({"main"})}}, {{"_id", "b"}, {"rel", "main"}}}), "b"},
      {json::array({"main", nullptr, {{"_id", "c"}, {"rel", "main"}}}), "c"},
      {json::array(), std::nullopt},
      {json::object({{"rel", "main"}}), std::nullopt},
      {"items", std::nullopt},
  };
  for (const auto& c : cases) {
    KIVOItem set = KIVOItem::initWithDictionary({{"items", c.items}});
    auto main = set.mainPromotionItem();
    ASSERT_EQ(main.has_value(), c.main.has_value()) << c.items.dump();
    if (main) {
      EXPECT_EQ(*main->identifier(), *c.main);
      EXPECT_TRUE(main->isMainPromotionItem());
    }
  }
  EXPECT_TRUE(KIVOItem::initWithDictionary(json::object()).subitems().empty());
  EXPECT_TRUE(KIVOItem::initWithDictionary(json::array({1, 2})).subitems().empty());
}

TEST(KIVOItem, SubitemsAreBuiltOnceAndOutliveTheirParent) {
  std::optional<KIVOItem> parent = KIVOItem::initWithDictionary(
      {{"items", json::array({{{"_id", "a"}, {"items", json::array({{{"_id", "deep"}}})}}, {{"_id", "b"}}})}});
  const std::vector<KIVOItem>* first = &parent->subitems();
  EXPECT_EQ(&parent->subitems(), first);
  KIVOItem copy = *parent;
  EXPECT_EQ(&copy.subitems(), first);  // copies share the list
  KIVOItem child = parent->subitems()[0];
  parent.reset();
  copy = KIVOItem::initWithDictionary(json::object());
  // The child keeps the document alive.
  EXPECT_EQ(*child.identifier(), "a");
  EXPECT_EQ(*child.subitems().at(0).identifier(), "deep");
}

}  // namespace

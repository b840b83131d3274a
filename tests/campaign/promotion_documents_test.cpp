// Campaign documents as the console sends them, read in zones east and west of UTC: every case
// must give exactly its expected fields, whatever is damaged around them.
#include <gtest/gtest.h>

#include "campaign_summary.h"
#include "common/time_zone.h"
#include "kivo/item.h"
#include "kivo/promotion.h"
#include "kivo/state.h"

namespace {

using kivo::KIVOPromotion;
using kivo::KIVOState;
using kivo::test::loadCampaignDocument;
using kivo::test::ScopedTimeZone;
using kivo::test::summary;
using nlohmann::json;

// Each case holds "media" (a media dictionary) or "entry" (a promotion set), and "expect".
void expectCases(const std::string& file) {
  const json cases = loadCampaignDocument(file);
  ASSERT_FALSE(cases.empty());
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    for (const json& c : cases) {
      KIVOPromotion promotion;
      if (c.contains("media")) {
        promotion = KIVOPromotion(c["media"]);
      } else {
        promotion.setPropertiesFromEntriedDictionary(c["entry"]);
      }
      EXPECT_EQ(summary(promotion), c["expect"]) << file << ": " << c["name"] << " in " << zone << "\n  got "
                                                 << summary(promotion).dump();
    }
  }
}

TEST(PromotionDocuments, EveryKindOfMainItem) { expectCases("main_items.json"); }
TEST(PromotionDocuments, SubFeaturesOfEveryType) { expectCases("subfeatures.json"); }
TEST(PromotionDocuments, MediaDictionariesOfRecognitionResults) { expectCases("media_dictionaries.json"); }
TEST(PromotionDocuments, DamagedDocumentsKeepEveryReadableField) { expectCases("damaged.json"); }

TEST(PromotionDocuments, PromotionListWithSeveralSets) {
  const json list = loadCampaignDocument("promotion_list.json");
  const json expected = loadCampaignDocument("promotion_list.expected.json");
  // Seen through KIVOItem, the entries marked "main" (the first of two in set 1).
  const json markedMain[] = {nullptr, "65c0a1e2f1b2c3d4e5f60211", "65c0a1e2f1b2c3d4e5f60312", nullptr, nullptr};
  ASSERT_EQ(list["items"].size(), expected.size());
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    for (size_t i = 0; i < expected.size(); ++i) {
      KIVOPromotion promotion;
      promotion.setPropertiesFromEntriedDictionary(list["items"][i]);
      EXPECT_EQ(summary(promotion), expected[i]) << "set " << i << " in " << zone << "\n  got " << summary(promotion).dump();
      auto item = kivo::KIVOItem::initWithDictionary(list["items"][i]);
      EXPECT_EQ(item.subitems().size(), list["items"][i]["items"].size());
      auto main = item.mainPromotionItem();
      EXPECT_EQ(main ? *main->identifier() : json(), markedMain[i]) << i;
    }
  }
}

TEST(PromotionDocuments, PromotionListStates) {
  const json list = loadCampaignDocument("promotion_states.json");
  const json expected = loadCampaignDocument("promotion_states.expected.json");
  ASSERT_EQ(list["items"].size(), expected.size());
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    for (size_t i = 0; i < expected.size(); ++i) {
      KIVOState state;
      state.setGETPromotionsJSONObject(list["items"][i]);
      EXPECT_EQ(summary(state), expected[i]) << "state " << i << " in " << zone << "\n  got " << summary(state).dump();
    }
  }
}

// Replacing any one value of a real document by a value of every other JSON type never crashes
// and never disturbs the fields read from elsewhere in the document.
TEST(PromotionDocuments, AnyValueOfAnyTypeAnywhere) {
  const json list = loadCampaignDocument("promotion_list.json");
  const json replacements[] = {nullptr, true, 0, -1, 2.5, "", "text", json::array(), json::array({1, "a"}),
                               json::object(), json::object({{"_id", "x"}})};
  const json document = list["items"][3];
  const json flat = document.flatten();
  for (const auto& entry : flat.items()) {
    const std::string& pointer = entry.key();
    for (const json& value : replacements) {
      json changed = document;
      changed[json::json_pointer(pointer)] = value;
      KIVOPromotion promotion;
      promotion.setPropertiesFromEntriedDictionary(changed);
      json media = {{"position", value}, {"result", {{"_id", value}, {"items", json::array({changed})}}}};
      KIVOPromotion fromMedia(media);
      KIVOState state;
      state.setGETPromotionsJSONObject(changed);
      auto item = kivo::KIVOItem::initWithDictionary(changed);
      for (const auto& sub : item.subitems()) (void)sub.startDate();
      // The set's name is read whatever happened to the other values.
      if (pointer != "/name") {
        EXPECT_EQ(promotion.title, document["name"].get<std::string>()) << pointer;
        EXPECT_EQ(fromMedia.title, promotion.title) << pointer;
      }
    }
  }
}

}  // namespace

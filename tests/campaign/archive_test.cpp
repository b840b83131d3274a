#include "kivo/archive.h"

#include <gtest/gtest.h>

#include <random>

#include "campaign_summary.h"
#include "kivo/promotion.h"

namespace {

using kivo::Bytes;
using kivo::Error;
using kivo::KIVOArchiver;
using kivo::KIVOPromotion;
using kivo::KIVOState;
using kivo::KIVOUnarchiver;
using kivo::URL;
using kivo::test::utcDate;
using nlohmann::json;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string text(const Bytes& data) { return std::string(data.begin(), data.end()); }

kivo::KIVOVoucher fullVoucher() {
  kivo::KIVOVoucher v;
  v.code = "BEAN-7Q2X-19";
  v.startDate = utcDate("2024-02-02T15:00:00Z");
  v.endDate = utcDate("2024-02-29T13:00:00Z") + std::chrono::nanoseconds(123456789);
  v.where = "Any Bean Street cafe";
  v.how = "Show this code before paying";
  return v;
}

KIVOState fullState() {
  KIVOState s;
  s.promotionItemID = "item-1";
  s.created = utcDate("1969-07-20T20:17:40Z");  // before 1970
  s.state = kivo::KIVOStateCodeLose;
  s.hasVoucher = true;
  s.voucher = fullVoucher();
  s.jsonString = "{\"state\":\"lose\"}";
  return s;
}

// A promotion with every field set, each item with every field set.
KIVOPromotion fullPromotion() {
  KIVOPromotion p;
  p.mediaID = "65b9c1f2e4b0a1d2c3f4a501";
  p.position = 734.25;
  p.type = kivo::KIVOPromotionTypeDirectCall;
  p.title = "Win a weekend in Lisbon";
  p.imageURL = URL("https://cdn.example.com/l.jpg");
  p.subtitle = "Café ☕";
  p.startDate = utcDate("2024-01-29T00:00:00Z");
  p.endDate = utcDate("2024-02-04T14:59:59Z");
  p.promotionID = "set-1";
  p.promotionItemID = "item-1";
  p.requiredFields = 63;
  p.termsURL = URL("https://example.com/terms");
  p.voucher.emplace().name = "Latte";
  p.directLink.emplace().url = URL("https://example.com/go");
  p.shortAnswerForm.emplace().question = "Why?";
  auto& quiz = p.multipleOptionQuiz.emplace();
  quiz.question = "River?";
  quiz.answers = {"Douro", "Tagus", "Mondego"};
  quiz.resolutionIndex = -1;
  auto& sms = p.sms.emplace();
  sms.smsNumber = "40404";
  sms.smsContent = "JOIN";
  auto& app = p.app.emplace();
  app.iosAppURL = URL("https://apps.example.com/ios");
  app.androidAppURL = URL("");
  app.appScheme = "app://";
  auto& reminder = p.reminder.emplace();
  reminder.name = "Draw";
  reminder.startAt = utcDate("2024-02-05T03:00:00Z");
  reminder.endAt = utcDate("2024-02-05T04:00:00Z");
  reminder.allDay = true;
  p.onlineStore.emplace().url = URL("https://shop.example.com");
  p.nearStore.emplace().keyword = "cafe";
  p.directCall.emplace().number = "112";
  auto& s = p.subpromotions.emplace();
  s.urlItemID = "u";
  s.url = URL("https://example.com/u");
  s.appItemID = "a";
  s.iosAppURL = URL("https://apps.example.com/i");
  s.androidAppURL = URL("https://apps.example.com/a");
  s.appScheme = "sub://";
  s.shopURLItemID = "s";
  s.shopURL = URL("https://shop.example.com/s");
  s.useCalendar = true;
  s.useLBS = true;
  s.lbsItemID = "l";
  s.lbsKeyword = "gate";
  s.useReminder = true;
  s.reminderItemID = "r";
  s.reminderName = "Gates open";
  s.reminderLocation = {37.5, 127.0};
  s.reminderStartAt = utcDate("2024-07-01T14:00:00Z");
  s.reminderEndAt = utcDate("2024-07-01T21:00:00Z");
  s.reminderAllDay = true;
  s.useCall = true;
  s.callItemID = "c";
  s.callNumber = "+49 30 000000";
  p.bookmarkID = "bookmark-1";
  p.state = fullState();
  p.useTestServer = true;
  p.jsonString = "{\"source\":true}";
  return p;
}

// What an archive keeps of p: everything but the fields left out of archives.
KIVOPromotion archivedPart(KIVOPromotion p) {
  p.position = 0.0;
  p.useTestServer = false;
  p.jsonString.reset();
  if (p.subpromotions) {
    p.subpromotions->useCalendar = false;
    p.subpromotions->reminderLocation = {};
  }
  if (p.state) p.state->jsonString.reset();
  return p;
}

template <class T>
std::optional<T> roundTrip(const T& object) {
  Error error;
  auto decoded = KIVOUnarchiver::unarchivedObjectOfClass<T>(KIVOArchiver::archivedDataWithRootObject(object), &error);
  EXPECT_TRUE(decoded) << error.description();
  return decoded;
}

TEST(CampaignArchive, PromotionKeepsEveryArchivedFieldAndDropsTheOthers) {
  const KIVOPromotion full = fullPromotion();
  auto decoded = roundTrip(full);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, archivedPart(full)) << kivo::test::summary(*decoded).dump(1);
  EXPECT_NE(*decoded, full);
  EXPECT_EQ(roundTrip(KIVOPromotion()), KIVOPromotion());
  // Each optional part on its own, so a field lost by one coder cannot hide behind another.
  KIVOPromotion single;
  single.state = fullState();
  EXPECT_EQ(roundTrip(single), archivedPart(single));
}

TEST(CampaignArchive, EveryClassOnItsOwn) {
  const KIVOPromotion p = archivedPart(fullPromotion());
  EXPECT_EQ(roundTrip(*p.voucher), p.voucher);
  EXPECT_EQ(roundTrip(*p.directLink), p.directLink);
  EXPECT_EQ(roundTrip(*p.shortAnswerForm), p.shortAnswerForm);
  EXPECT_EQ(roundTrip(*p.multipleOptionQuiz), p.multipleOptionQuiz);
  EXPECT_EQ(roundTrip(*p.sms), p.sms);
  EXPECT_EQ(roundTrip(*p.app), p.app);
  EXPECT_EQ(roundTrip(*p.reminder), p.reminder);
  EXPECT_EQ(roundTrip(*p.onlineStore), p.onlineStore);
  EXPECT_EQ(roundTrip(*p.nearStore), p.nearStore);
  EXPECT_EQ(roundTrip(*p.directCall), p.directCall);
  EXPECT_EQ(roundTrip(*p.subpromotions), p.subpromotions);
  EXPECT_EQ(roundTrip(*p.state), p.state);
  EXPECT_EQ(roundTrip(fullVoucher()), fullVoucher());
  EXPECT_EQ(roundTrip(kivo::KIVOPromotionMultipleOptionQuizForm()), kivo::KIVOPromotionMultipleOptionQuizForm());
}

TEST(CampaignArchive, ParsedDocumentsRoundTrip) {
  for (const char* file : {"main_items.json", "subfeatures.json", "damaged.json"}) {
    for (const json& c : kivo::test::loadCampaignDocument(file)) {
      KIVOPromotion promotion;
      if (c.contains("media")) promotion = KIVOPromotion(c["media"]);
      else promotion.setPropertiesFromEntriedDictionary(c["entry"]);
      EXPECT_EQ(roundTrip(promotion), archivedPart(promotion)) << file << ": " << c["name"];
    }
  }
}

TEST(CampaignArchive, WorkedExampleOfTheContainer) {
  kivo::KIVOVoucher v;
  v.code = "A";
  v.startDate = kivo::Date(std::chrono::seconds(1));
  const Bytes archive = KIVOArchiver::archivedDataWithRootObject(v);
  EXPECT_EQ(text(archive),
            R"({"kivo-archive":1,"class":"KIVOVoucher","fields":{"code":["string","A"],"startDate":["date",1000000000]}})");
  EXPECT_EQ(archive.size(), 105u);
  KIVOState s;
  s.state = 3;
  s.voucher = v;
  EXPECT_EQ(text(KIVOArchiver::archivedDataWithRootObject(s)),
            R"({"kivo-archive":1,"class":"KIVOState","fields":{"state":["integer",3],"hasVoucher":["bool",false],)"
            R"("voucher":["object",{"class":"KIVOVoucher","fields":{"code":["string","A"],)"
            R"("startDate":["date",1000000000]}}]}})");
}

TEST(CampaignArchive, DamagedOrWrongShapedArchivesAreRejected) {
  using enum kivo::KIVOArchiveErrorCode;
  struct Case {
    std::string data;
    kivo::KIVOArchiveErrorCode code;
  } cases[] = {
      {"", KIVOArchiveErrorCodeDamaged},
      {"{", KIVOArchiveErrorCodeDamaged},
      {"bplist00", KIVOArchiveErrorCodeDamaged},
      {"{\"kivo-archive\":1,\"class\":\"KIVOPromotion\",\"fields\":{\"title\":[\"string\",\"\xff\"]}}",
       KIVOArchiveErrorCodeDamaged},
      {"{\"kivo-archive\":1,\"class\":\"KIVOPromotion\",\"fields\":{}} trailing", KIVOArchiveErrorCodeDamaged},
      {"[]", KIVOArchiveErrorCodeNotAnArchive},
      {"\"KIVOPromotion\"", KIVOArchiveErrorCodeNotAnArchive},
      {"{}", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-user-defaults":1,"values":{}})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":"1","class":"KIVOPromotion","fields":{}})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1.0,"class":"KIVOPromotion","fields":{}})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1,"fields":{}})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1,"class":7,"fields":{}})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1,"class":"KIVOPromotion"})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1,"class":"KIVOPromotion","fields":[]})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":2,"class":"KIVOPromotion","fields":{}})", KIVOArchiveErrorCodeUnsupportedVersion},
      {R"({"kivo-archive":0,"class":"KIVOPromotion","fields":{}})", KIVOArchiveErrorCodeUnsupportedVersion},
      {R"({"kivo-archive":18446744073709551615,"class":"KIVOPromotion","fields":{}})", KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1,"class":"KIVOState","fields":{}})", KIVOArchiveErrorCodeWrongClass},
      {R"({"kivo-archive":1,"class":"kivopromotion","fields":{}})", KIVOArchiveErrorCodeWrongClass},
      {std::string(100000, '[') + std::string(100000, ']'), KIVOArchiveErrorCodeNotAnArchive},
      {R"({"kivo-archive":1,"class":"KIVOPromotion","fields":{"title":)" + std::string(100000, '[') +
           std::string(100000, ']') + "}}",
       KIVOArchiveErrorCodeNotAnArchive},
  };
  for (const auto& c : cases) {
    Error error;
    EXPECT_EQ(KIVOUnarchiver::unarchivedObjectOfClass<KIVOPromotion>(bytes(c.data), &error), std::nullopt)
        << c.data.substr(0, 80);
    EXPECT_EQ(error.domain, kivo::KIVOArchiveErrorDomain);
    EXPECT_EQ(error.code, c.code) << c.data.substr(0, 80) << ": " << error.description();
    EXPECT_TRUE(error.localizedDescription && !error.localizedDescription->empty());
  }
  EXPECT_EQ(KIVOUnarchiver::unarchivedObjectOfClass<KIVOState>(bytes("{")), std::nullopt);  // no error asked for
}

TEST(CampaignArchive, EveryTruncationIsRejectedAsDamaged) {
  const Bytes archive = KIVOArchiver::archivedDataWithRootObject(fullPromotion());
  for (size_t length = 0; length < archive.size(); ++length) {
    Error error;
    auto decoded = KIVOUnarchiver::unarchivedObjectOfClass<KIVOPromotion>(
        std::span<const uint8_t>(archive.data(), length), &error);
    ASSERT_EQ(decoded, std::nullopt) << length;
    ASSERT_EQ(error.code, kivo::KIVOArchiveErrorCodeDamaged) << length;
  }
}

TEST(CampaignArchive, RandomCorruptionNeverCrashes) {
  const Bytes archive = KIVOArchiver::archivedDataWithRootObject(fullPromotion());
  std::mt19937 random(20240131);
  size_t decoded = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = archive;
    int edits = 1 + int(random() % 4);
    for (int e = 0; e < edits && !damaged.empty(); ++e) {
      size_t at = random() % damaged.size();
      switch (random() % 3) {
        case 0: damaged[at] = uint8_t(random()); break;
        case 1: damaged.erase(damaged.begin() + long(at)); break;
        default: damaged.insert(damaged.begin() + long(at), uint8_t("[]{}\",:0-e\\"[random() % 11])); break;
      }
    }
    Error error;
    auto promotion = KIVOUnarchiver::unarchivedObjectOfClass<KIVOPromotion>(damaged, &error);
    if (promotion) {
      ++decoded;
      (void)promotion->description();
    } else {
      EXPECT_FALSE(error.localizedDescription->empty());
    }
  }
  EXPECT_GT(decoded, 0u);  // some edits (inside texts) still leave a readable archive
}

TEST(CampaignArchive, WronglyTypedValuesReadAsAbsent) {
  json document = json::parse(text(KIVOArchiver::archivedDataWithRootObject(fullPromotion())));
  json& f = document["fields"];
  f["title"] = {"integer", 5};                    // wrong tag for the key
  f["subtitle"] = {"string", 5};                  // tag and payload disagree
  f["type"] = {"integer", 4294967296};            // beyond 32 bits
  f["requiredFields"] = {"string", "63"};
  f["startDate"] = {"date", "2024-01-29"};
  f["endDate"] = {"date", 18446744073709551615u};  // beyond signed 64 bits
  f["imageURL"] = {"url"};                         // not a pair
  f["termsURL"] = {"hyperlink", "https://example.com"};  // a tag this reader does not know
  f["voucher"] = {"object", {{"class", "KIVOPromotionDirectLink"}, {"fields", {{"url", {"url", "x"}}}}}};
  f["directLink"] = {"object", {{"class", "KIVOPromotionDirectLink"}, {"fields", json::array()}}};
  f["sms"] = "KIVOPromotionSMS";
  f["multipleOptionQuiz"][1]["fields"]["answers"] = {"array", {{"string", "A"}, {"integer", 2}}};
  f["state"][1]["fields"]["hasVoucher"] = {"bool", 1};
  f["state"][1]["fields"]["voucher"][1]["fields"]["code"] = nullptr;
  f["addedByALaterVersion"] = {"string", "ignored"};
  Error error;
  auto decoded = KIVOUnarchiver::unarchivedObjectOfClass<KIVOPromotion>(bytes(document.dump()), &error);
  ASSERT_TRUE(decoded) << error.description();

  KIVOPromotion expected = archivedPart(fullPromotion());
  expected.title.reset();
  expected.subtitle.reset();
  expected.type = kivo::KIVOPromotionTypeNone;
  expected.requiredFields = 0;
  expected.startDate.reset();
  expected.endDate.reset();
  expected.imageURL.reset();
  expected.termsURL.reset();
  expected.voucher.reset();
  expected.directLink.reset();
  expected.sms.reset();
  expected.multipleOptionQuiz->answers.clear();
  expected.state->hasVoucher = false;
  expected.state->voucher->code.reset();
  EXPECT_EQ(*decoded, expected) << kivo::test::summary(*decoded).dump(1);
}

TEST(CampaignArchive, TextThatIsNotUTF8IsArchivedReadably) {
  KIVOPromotion p;
  p.title = std::string("Caf\xe9");
  auto decoded = roundTrip(p);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->title, "Caf\xEF\xBF\xBD");
}

}  // namespace

// KIVOPromotion: the campaign content the console attaches to a media item, built by the host
// from a recognition result's media dictionary or from an entry of the promotion list. One main
// item of a known kind plus optional sub-features; a description, archiving, expiry and the
// "userdata" text of the user fields the promotion requires.
//
// A value type. Parsing never fails: a missing, null or wrongly typed value leaves its field
// empty. Not thread-safe: confine an instance to one thread or guard it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/archive.h"
#include "kivo/dates.h"
#include "kivo/export.h"
#include "kivo/promotion_items.h"
#include "kivo/state.h"
#include "kivo/subpromotions.h"
#include "kivo/url.h"
#include "kivo/user.h"

namespace kivo {

// Promotion kinds, with the main item's JSON "type".
enum KIVOPromotionType : int32_t {
  KIVOPromotionTypeNone = 0,
  KIVOPromotionTypeSimple = 1,              // "simple"
  KIVOPromotionTypeVoucher = 2,             // "voucher"
  KIVOPromotionTypeDirectLink = 3,          // "url"
  KIVOPromotionTypeShortAnswerForm = 4,     // "short_answer"
  KIVOPromotionTypeMultipleOptionQuiz = 5,  // "quiz"
  KIVOPromotionTypeSMS = 6,                 // "sms"
  KIVOPromotionTypeApp = 7,                 // "app"
  KIVOPromotionTypePostBackForm = 8,        // "postback_form"
  KIVOPromotionTypeWebViewURL = 9,          // "webview_url"
  KIVOPromotionTypeReminder = 10,           // "reminder"
  KIVOPromotionTypeOnlineStore = 11,        // "shop_url"
  KIVOPromotionTypeNearStore = 12,          // "near" or "local"
  KIVOPromotionTypeDirectCall = 13,         // "call"
};

class KIVO_API KIVOPromotion {
 public:
  static constexpr std::string_view kArchiveClassName = "KIVOPromotion";

  // An empty promotion: type 0, position 0.0.
  KIVOPromotion() = default;
  // initWithMediaDictionary: an empty promotion, then setPropertiesFromDictionary unless the
  // dictionary is JSON null.
  explicit KIVOPromotion(const nlohmann::json& mediaDictionary);
  // Restores the archived fields; position, jsonString and useTestServer keep their defaults.
  explicit KIVOPromotion(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;

  // A media dictionary (a recognised media item): "position" (null gives -1.0, a missing key 0.0,
  // a number or numeric text its value), "result"."_id" as mediaID and the first promotion set of
  // "result"."items".
  void setPropertiesFromDictionary(const nlohmann::json& mediaDictionary);
  // One promotion set (an entry of the promotion list).
  void setPropertiesFromEntriedDictionary(const nlohmann::json& promotionSet);
  // jsonString = object's text: a JSON string as its text, anything else as compact JSON.
  void setJsonString(const nlohmann::json& object);

  // The description of a kind; "Unknown Promotion Type" for 11 to 13 and any code outside 1 to 10.
  static std::string typeDescription(int64_t code);
  // True only when endDate is set and the library's clock reads later than it.
  bool expired() const;
  // Reloads user's stored fields, then the compact JSON of the fields requiredFields names and
  // the user has (birth in isoFormatFromDate form); nothing when there is none or the text cannot
  // be serialised (not UTF-8).
  std::optional<std::string> userdata(KIVOUser& user) const;
  // The multi-line presentation: the promotion's fields, each item present, the state.
  std::string description() const;

  friend bool operator==(const KIVOPromotion&, const KIVOPromotion&) = default;

  std::optional<std::string> mediaID;
  double position = 0.0;  // seconds into the media; -1.0 for a null position
  KIVOPromotionType type = KIVOPromotionTypeNone;
  std::optional<std::string> title;     // the set's "name"
  std::optional<URL> imageURL;          // the set's "image"
  std::optional<std::string> subtitle;  // the set's "subname"
  std::optional<Date> startDate;
  std::optional<Date> endDate;
  std::optional<std::string> promotionID;      // the set's "_id"
  std::optional<std::string> promotionItemID;  // the main item's "_id"
  int64_t requiredFields = 0;                  // KIVOUserInfoMask bits
  std::optional<URL> termsURL;
  std::optional<KIVOPromotionVoucher> voucher;
  std::optional<KIVOPromotionDirectLink> directLink;
  std::optional<KIVOPromotionShortAnswerForm> shortAnswerForm;
  std::optional<KIVOPromotionMultipleOptionQuizForm> multipleOptionQuiz;
  std::optional<KIVOPromotionSMS> sms;
  std::optional<KIVOPromotionApp> app;
  std::optional<KIVOPromotionReminder> reminder;
  std::optional<KIVOPromotionOnlineStore> onlineStore;
  std::optional<KIVOPromotionNearStore> nearStore;
  std::optional<KIVOPromotionDirectCall> directCall;
  std::optional<KIVOSubpromotions> subpromotions;
  std::optional<std::string> bookmarkID;  // set by the host after bookmarking
  std::optional<KIVOState> state;
  bool useTestServer = false;             // carried, not archived
  std::optional<std::string> jsonString;  // not archived

 private:
  void extractPromotionSet(const nlohmann::json& set);
  static bool hasMainPromotion(const nlohmann::json& items);
  static bool canBeMainPromotion(const nlohmann::json& item);
  void extractProperty(const nlohmann::json& item, bool mainPromotion);
  void extractDefault(const nlohmann::json& item);
  void extractQuiz(const nlohmann::json& item);
  void extractSurvey(const nlohmann::json& item);
  void extractCoupon(const nlohmann::json& item);
  void extractTextMessage(const nlohmann::json& item);
  void extractDirectLink(const nlohmann::json& item);
  void extractApp(const nlohmann::json& item);
  void extractReminder(const nlohmann::json& item);
  void extractShopURL(const nlohmann::json& item);
  void extractLBS(const nlohmann::json& item);
  void extractCall(const nlohmann::json& item);
  void extractSubfeature(const nlohmann::json& item);
};

}  // namespace kivo

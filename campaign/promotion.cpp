#include "kivo/promotion.h"

#include "campaign/json_access.h"
#include "campaign/user_data.h"
#include "kivo/campaign_values.h"
#include "kivo/format.h"
#include "platform/clock.h"

namespace kivo {

using campaign::boolValue;
using campaign::dateDescription;
using campaign::member;
using nlohmann::json;

namespace {

// The item's "type" text, when it has one.
const std::string* itemType(const json& item) {
  const json& type = member(item, "type");
  return type.is_string() ? &type.get_ref<const std::string&>() : nullptr;
}

bool isMainRel(const json& item) {
  const json& rel = member(item, "rel");
  return rel.is_string() && rel.get_ref<const std::string&>() == "main";
}

}  // namespace

KIVOPromotion::KIVOPromotion(const json& mediaDictionary) {
  if (!mediaDictionary.is_null()) setPropertiesFromDictionary(mediaDictionary);
}

void KIVOPromotion::setPropertiesFromDictionary(const json& mediaDictionary) {
  if (const json* value = campaign::find(mediaDictionary, "position"))
    position = value->is_null() ? -1.0 : campaign::doubleValue(*value).value_or(0.0);
  else
    position = 0.0;
  const json* result = objectFromObject(member(mediaDictionary, "result"));
  if (!result) return;
  mediaID = stringFromString(member(*result, "_id"));
  const json& items = member(*result, "items");
  if (items.is_array() && !items.empty() && items.front().is_object()) extractPromotionSet(items.front());
}

void KIVOPromotion::setPropertiesFromEntriedDictionary(const json& promotionSet) {
  if (promotionSet.is_object()) extractPromotionSet(promotionSet);
}

void KIVOPromotion::setJsonString(const json& object) { jsonString = format("%@", object); }

void KIVOPromotion::extractPromotionSet(const json& set) {
  type = KIVOPromotionTypeNone;
  subtitle = stringFromString(member(set, "subname"));
  title = stringFromString(member(set, "name"));
  imageURL = urlFromString(member(set, "image"));
  promotionID = stringFromString(member(set, "_id"));
  startDate = dateFromISOFormat(member(set, "start_date"));
  endDate = dateFromISOFormat(member(set, "end_date"));

  const json& items = member(set, "items");
  if (!items.is_array() || items.empty()) return;
  if (hasMainPromotion(items)) {
    for (const json& item : items) extractProperty(item, isMainRel(item));
    return;
  }
  bool mainTaken = false;
  for (const json& item : items) {
    bool main = !mainTaken && canBeMainPromotion(item);
    mainTaken = mainTaken || main;
    extractProperty(item, main);
  }
}

bool KIVOPromotion::hasMainPromotion(const json& items) {
  for (const json& item : items)
    if (isMainRel(item)) return true;
  return false;
}

bool KIVOPromotion::canBeMainPromotion(const json& item) {
  const std::string* type = itemType(item);
  if (!type) return false;
  for (const char* accepted : {"simple", "quiz", "short_answer", "voucher", "sms", "url", "app"})
    if (*type == accepted) return true;
  return false;
}

void KIVOPromotion::extractProperty(const json& item, bool mainPromotion) {
  const std::string* typeText = itemType(item);
  if (!typeText) return;
  const std::string& kind = *typeText;
  if (!mainPromotion) {
    if (kind == "simple" || kind == "postback_form" || kind == "webview_url") return;
    if (kind == "quiz") extractQuiz(item);
    else if (kind == "short_answer") extractSurvey(item);
    else if (kind == "voucher") extractCoupon(item);
    else extractSubfeature(item);
    return;
  }
  extractDefault(item);
  if (kind == "simple") {
    type = KIVOPromotionTypeSimple;
  } else if (kind == "postback_form") {
    type = KIVOPromotionTypePostBackForm;
  } else if (kind == "webview_url") {
    type = KIVOPromotionTypeWebViewURL;
  } else if (kind == "quiz") {
    type = KIVOPromotionTypeMultipleOptionQuiz;
    extractQuiz(item);
  } else if (kind == "short_answer") {
    type = KIVOPromotionTypeShortAnswerForm;
    extractSurvey(item);
  } else if (kind == "voucher") {
    type = KIVOPromotionTypeVoucher;
    extractCoupon(item);
  } else if (kind == "sms") {
    type = KIVOPromotionTypeSMS;
    extractTextMessage(item);
  } else if (kind == "url") {
    type = KIVOPromotionTypeDirectLink;
    extractDirectLink(item);
  } else if (kind == "app") {
    type = KIVOPromotionTypeApp;
    extractApp(item);
  } else if (kind == "reminder") {
    type = KIVOPromotionTypeReminder;
    extractReminder(item);
  } else if (kind == "shop_url") {
    type = KIVOPromotionTypeOnlineStore;
    extractShopURL(item);
  } else if (kind == "near" || kind == "local") {
    type = KIVOPromotionTypeNearStore;
    extractLBS(item);
  } else if (kind == "call") {
    type = KIVOPromotionTypeDirectCall;
    extractCall(item);
  } else {
    extractSubfeature(item);
  }
}

void KIVOPromotion::extractDefault(const json& item) {
  promotionItemID = stringFromString(member(item, "_id"));
  termsURL = urlFromString(member(item, "terms"));
  const json& required = member(item, "required");
  if (required.is_array() && !required.empty()) requiredFields = KIVOUserInfoMaskFromRequiredArray(required);
}

void KIVOPromotion::extractQuiz(const json& item) {
  KIVOPromotionMultipleOptionQuizForm& quiz = multipleOptionQuiz.emplace();
  if (auto answer = campaign::integerValue(member(item, "answer")))
    quiz.resolutionIndex = *answer == INT64_MIN ? INT64_MIN : *answer - 1;
  const json& list = member(item, "answer_list");
  if (list.is_array())
    for (const json& option : list)
      if (option.is_string() && !option.get_ref<const std::string&>().empty())
        quiz.answers.push_back(option.get<std::string>());
  quiz.question = stringFromString(member(item, "question"));
}

void KIVOPromotion::extractSurvey(const json& item) {
  shortAnswerForm.emplace().question = stringFromString(member(item, "question"));
}

void KIVOPromotion::extractCoupon(const json& item) {
  if (!voucher) voucher.emplace();
  voucher->name = stringFromString(member(item, "name"));
}

void KIVOPromotion::extractTextMessage(const json& item) {
  promotionItemID = stringFromString(member(item, "_id"));
  KIVOPromotionSMS& message = sms.emplace();
  message.smsNumber = stringFromString(member(item, "number"));
  message.smsContent = stringFromString(member(item, "content"));
}

void KIVOPromotion::extractDirectLink(const json& item) {
  directLink.emplace().url = urlFromString(member(item, "url"));
}

void KIVOPromotion::extractApp(const json& item) {
  KIVOPromotionApp& install = app.emplace();
  install.iosAppURL = urlFromString(member(item, "ios_install"));
  install.androidAppURL = urlFromString(member(item, "android_install"));
  install.appScheme = stringFromString(member(item, "custom_schema"));
}

void KIVOPromotion::extractReminder(const json& item) {
  KIVOPromotionReminder& note = reminder.emplace();
  note.name = stringFromString(member(item, "name"));
  note.startAt = dateFromISOFormat(member(item, "start_date"));
  note.endAt = dateFromISOFormat(member(item, "end_date"));
  note.allDay = boolValue(member(item, "allday"));
}

void KIVOPromotion::extractShopURL(const json& item) {
  onlineStore.emplace().url = urlFromString(member(item, "url"));
}

void KIVOPromotion::extractLBS(const json& item) {
  nearStore.emplace().keyword = stringFromString(member(item, "keyword"));
}

void KIVOPromotion::extractCall(const json& item) {
  directCall.emplace().number = stringFromString(member(item, "number"));
}

void KIVOPromotion::extractSubfeature(const json& item) {
  if (!subpromotions) subpromotions.emplace();
  KIVOSubpromotions& sub = *subpromotions;
  const std::string& kind = *itemType(item);
  auto text = [&](const char* key) { return stringFromString(member(item, key)); };
  auto url = [&](const char* key) { return urlFromString(member(item, key)); };
  if (kind == "app") {
    sub.appItemID = text("_id");
    sub.iosAppURL = url("ios_install");
    sub.androidAppURL = url("android_install");
    sub.appScheme = text("custom_schema");
  } else if (kind == "near" || kind == "local") {
    sub.useLBS = true;
    sub.lbsItemID = text("_id");
    sub.lbsKeyword = text("keyword");
  } else if (kind == "shop_url") {
    sub.shopURLItemID = text("_id");
    sub.shopURL = url("url");
  } else if (kind == "call") {
    sub.useCall = true;
    sub.callItemID = text("_id");
    sub.callNumber = text("number");
  } else if (kind == "url") {
    sub.urlItemID = text("_id");
    sub.url = url("url");
  } else if (kind == "reminder") {
    sub.useReminder = true;
    sub.reminderItemID = text("_id");
    sub.reminderName = text("name");
    sub.reminderStartAt = dateFromISOFormat(member(item, "start_date"));
    sub.reminderEndAt = dateFromISOFormat(member(item, "end_date"));
    sub.reminderAllDay = boolValue(member(item, "allday"));
  }
}

std::string KIVOPromotion::typeDescription(int64_t code) {
  switch (code) {
    case KIVOPromotionTypeSimple: return "Default Simple Promotion";
    case KIVOPromotionTypeVoucher: return "Promotion for Voucher";
    case KIVOPromotionTypeDirectLink: return "Promotion with Direct Link";
    case KIVOPromotionTypeShortAnswerForm: return "Promotion with Short Answer Form";
    case KIVOPromotionTypeMultipleOptionQuiz: return "Promotion with Multiple Option Quizzes Form";
    case KIVOPromotionTypeSMS: return "Promotion with SMS Text Message";
    case KIVOPromotionTypeApp: return "Promotion with App Installation";
    case KIVOPromotionTypePostBackForm: return "Promotion with Post Back Form";
    case KIVOPromotionTypeWebViewURL: return "Promotion with Web View URL";
    case KIVOPromotionTypeReminder: return "Promotion with Reminder";
    default: return "Unknown Promotion Type";
  }
}

bool KIVOPromotion::expired() const { return endDate && now() > *endDate; }

std::optional<std::string> KIVOPromotion::userdata(KIVOUser& user) const {
  user.load();
  json dictionary = campaign::userDataDictionary(user, requiredFields);
  if (dictionary.empty()) return std::nullopt;
  return campaign::serializeUserData(dictionary);
}

std::string KIVOPromotion::description() const {
  std::string text = format(
      "-----\n<KIVOPromotion Information>\n- mediaID:%@\n- position:%f\n- type:%@\n- title:%@\n- imageURL:%@\n"
      "- subtitle:%@\n- startDate:%@\n- endDate:%@\n- promotionID:%@\n- promotionItemID:%@\n"
      "- requiredFields:%ld\n- termsURL:%@\n-----\n",
      mediaID, position, typeDescription(type), title, imageURL, subtitle, dateDescription(startDate),
      dateDescription(endDate), promotionID, promotionItemID, requiredFields, termsURL);
  auto append = [&text](const auto& item) {
    if (item) text += item->description();
  };
  append(voucher);
  append(directLink);
  append(shortAnswerForm);
  append(multipleOptionQuiz);
  append(sms);
  append(app);
  append(reminder);
  append(onlineStore);
  append(nearStore);
  append(directCall);
  append(subpromotions);
  append(state);
  return text;
}

KIVOPromotion::KIVOPromotion(const KIVOUnarchiver& coder)
    : mediaID(coder.decodeString("mediaID")),
      type(KIVOPromotionType(coder.decodeInt32("type"))),
      title(coder.decodeString("title")),
      imageURL(coder.decodeURL("imageURL")),
      subtitle(coder.decodeString("subtitle")),
      startDate(coder.decodeDate("startDate")),
      endDate(coder.decodeDate("endDate")),
      promotionID(coder.decodeString("promotionID")),
      promotionItemID(coder.decodeString("promotionItemID")),
      requiredFields(coder.decodeInteger("requiredFields")),
      termsURL(coder.decodeURL("termsURL")),
      voucher(coder.decodeObject<KIVOPromotionVoucher>("voucher")),
      directLink(coder.decodeObject<KIVOPromotionDirectLink>("directLink")),
      shortAnswerForm(coder.decodeObject<KIVOPromotionShortAnswerForm>("shortAnswerForm")),
      multipleOptionQuiz(coder.decodeObject<KIVOPromotionMultipleOptionQuizForm>("multipleOptionQuiz")),
      sms(coder.decodeObject<KIVOPromotionSMS>("sms")),
      app(coder.decodeObject<KIVOPromotionApp>("app")),
      reminder(coder.decodeObject<KIVOPromotionReminder>("reminder")),
      onlineStore(coder.decodeObject<KIVOPromotionOnlineStore>("onlineStore")),
      nearStore(coder.decodeObject<KIVOPromotionNearStore>("nearStore")),
      directCall(coder.decodeObject<KIVOPromotionDirectCall>("directCall")),
      subpromotions(coder.decodeObject<KIVOSubpromotions>("subpromotions")),
      bookmarkID(coder.decodeString("bookmarkID")),
      state(coder.decodeObject<KIVOState>("state")) {}

void KIVOPromotion::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("mediaID", mediaID);
  coder.encodeInteger("type", type);
  coder.encodeString("title", title);
  coder.encodeURL("imageURL", imageURL);
  coder.encodeString("subtitle", subtitle);
  coder.encodeDate("startDate", startDate);
  coder.encodeDate("endDate", endDate);
  coder.encodeString("promotionID", promotionID);
  coder.encodeString("promotionItemID", promotionItemID);
  coder.encodeInteger("requiredFields", requiredFields);
  coder.encodeURL("termsURL", termsURL);
  coder.encodeObject("voucher", voucher);
  coder.encodeObject("directLink", directLink);
  coder.encodeObject("shortAnswerForm", shortAnswerForm);
  coder.encodeObject("multipleOptionQuiz", multipleOptionQuiz);
  coder.encodeObject("sms", sms);
  coder.encodeObject("app", app);
  coder.encodeObject("reminder", reminder);
  coder.encodeObject("onlineStore", onlineStore);
  coder.encodeObject("nearStore", nearStore);
  coder.encodeObject("directCall", directCall);
  coder.encodeObject("subpromotions", subpromotions);
  coder.encodeString("bookmarkID", bookmarkID);
  coder.encodeObject("state", state);
}

}  // namespace kivo

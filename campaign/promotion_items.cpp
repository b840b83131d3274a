#include "kivo/promotion_items.h"

#include "campaign/json_access.h"
#include "kivo/format.h"

namespace kivo {

using campaign::dateDescription;

KIVOPromotionVoucher::KIVOPromotionVoucher(const KIVOUnarchiver& coder) : name(coder.decodeString("name")) {}

void KIVOPromotionVoucher::encodeWithCoder(KIVOArchiver& coder) const { coder.encodeString("name", name); }

std::string KIVOPromotionVoucher::description() const {
  return format("<KIVOPromotionVoucher>\n- name:%@\n-----\n", name);
}

KIVOPromotionDirectLink::KIVOPromotionDirectLink(const KIVOUnarchiver& coder) : url(coder.decodeURL("url")) {}

void KIVOPromotionDirectLink::encodeWithCoder(KIVOArchiver& coder) const { coder.encodeURL("url", url); }

std::string KIVOPromotionDirectLink::description() const {
  return format("<KIVOPromotionDirectLink>\n- url:%@\n-----\n", url);
}

KIVOPromotionShortAnswerForm::KIVOPromotionShortAnswerForm(const KIVOUnarchiver& coder)
    : question(coder.decodeString("question")) {}

void KIVOPromotionShortAnswerForm::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("question", question);
}

std::string KIVOPromotionShortAnswerForm::description() const {
  return format("<KIVOPromotionSurvey>\n- question:%@\n-----\n", question);
}

KIVOPromotionMultipleOptionQuizForm::KIVOPromotionMultipleOptionQuizForm(const KIVOUnarchiver& coder)
    : question(coder.decodeString("question")),
      answers(coder.decodeStrings("answers")),
      resolutionIndex(coder.decodeInteger("resolutionIndex")) {}

void KIVOPromotionMultipleOptionQuizForm::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("question", question);
  coder.encodeStrings("answers", answers);
  coder.encodeInteger("resolutionIndex", resolutionIndex);
}

std::string KIVOPromotionMultipleOptionQuizForm::description() const {
  return format("<KIVOPromotionQuiz>\n- question:%@\n- answers:%@\n- resolutionIndex:%ld\n-----\n", question,
                nlohmann::json(answers), resolutionIndex);
}

KIVOPromotionSMS::KIVOPromotionSMS(const KIVOUnarchiver& coder)
    : smsNumber(coder.decodeString("smsNumber")), smsContent(coder.decodeString("smsContent")) {}

void KIVOPromotionSMS::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("smsNumber", smsNumber);
  coder.encodeString("smsContent", smsContent);
}

std::string KIVOPromotionSMS::description() const {
  return format("<KIVOPromotionSMS>\n- smsNumber:%@\n- smsContent:%@\n-----\n", smsNumber, smsContent);
}

KIVOPromotionApp::KIVOPromotionApp(const KIVOUnarchiver& coder)
    : iosAppURL(coder.decodeURL("iosAppURL")),
      androidAppURL(coder.decodeURL("androidAppURL")),
      appScheme(coder.decodeString("appScheme")) {}

void KIVOPromotionApp::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeURL("iosAppURL", iosAppURL);
  coder.encodeURL("androidAppURL", androidAppURL);
  coder.encodeString("appScheme", appScheme);
}

std::string KIVOPromotionApp::description() const {
  return format("<KIVOPromotionApp>\n- iosAppURL:%@\n- androidAppURL:%@\n- appScheme:%@\n-----\n", iosAppURL,
                androidAppURL, appScheme);
}

KIVOPromotionReminder::KIVOPromotionReminder(const KIVOUnarchiver& coder)
    : name(coder.decodeString("name")),
      startAt(coder.decodeDate("startAt")),
      endAt(coder.decodeDate("endAt")),
      allDay(coder.decodeBool("allDay")) {}

void KIVOPromotionReminder::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("name", name);
  coder.encodeDate("startAt", startAt);
  coder.encodeDate("endAt", endAt);
  coder.encodeBool("allDay", allDay);
}

std::string KIVOPromotionReminder::description() const {
  return format("<KIVOPromotionReminder>\n- name:%@\n- startAt:%@\n- endAt:%@\n-----\n", name,
                dateDescription(startAt), dateDescription(endAt));
}

KIVOPromotionOnlineStore::KIVOPromotionOnlineStore(const KIVOUnarchiver& coder) : url(coder.decodeURL("url")) {}

void KIVOPromotionOnlineStore::encodeWithCoder(KIVOArchiver& coder) const { coder.encodeURL("url", url); }

std::string KIVOPromotionOnlineStore::description() const {
  return format("<KIVOPromotionOnlineStore>\n- url:%@\n-----\n", url);
}

KIVOPromotionNearStore::KIVOPromotionNearStore(const KIVOUnarchiver& coder)
    : keyword(coder.decodeString("keyword")) {}

void KIVOPromotionNearStore::encodeWithCoder(KIVOArchiver& coder) const { coder.encodeString("keyword", keyword); }

std::string KIVOPromotionNearStore::description() const {
  return format("<KIVOPromotionNearStore>\n- keyword:%@\n-----\n", keyword);
}

KIVOPromotionDirectCall::KIVOPromotionDirectCall(const KIVOUnarchiver& coder)
    : number(coder.decodeString("number")) {}

void KIVOPromotionDirectCall::encodeWithCoder(KIVOArchiver& coder) const { coder.encodeString("number", number); }

std::string KIVOPromotionDirectCall::description() const {
  return format("<KIVOPromotionDirectCall>\n- number:%@\n-----\n", number);
}

}  // namespace kivo

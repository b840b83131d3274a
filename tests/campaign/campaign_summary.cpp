#include "campaign_summary.h"

#include <fstream>
#include <stdexcept>

namespace kivo::test {
namespace {

using nlohmann::json;

std::string dateText(Date date) { return formatDate(date, "yyyy-MM-dd'T'HH:mm:ssZZZZZ", DateZone::UTC); }

// Collects the present fields of one object.
class Fields {
 public:
  Fields& text(const char* key, const std::optional<std::string>& value) {
    if (value) out_[key] = *value;
    return *this;
  }
  Fields& url(const char* key, const std::optional<URL>& value) {
    if (value) out_[key] = value->absoluteString();
    return *this;
  }
  Fields& date(const char* key, const std::optional<Date>& value) {
    if (value) out_[key] = dateText(*value);
    return *this;
  }
  Fields& flag(const char* key, bool value) {
    if (value) out_[key] = true;
    return *this;
  }
  Fields& number(const char* key, int64_t value) {
    if (value != 0) out_[key] = value;
    return *this;
  }
  Fields& strings(const char* key, const std::vector<std::string>& value) {
    if (!value.empty()) out_[key] = value;
    return *this;
  }
  template <class T, class F>
  Fields& object(const char* key, const std::optional<T>& value, F fill) {
    if (value) {
      Fields inner;
      fill(inner, *value);
      out_[key] = inner.out_;
    }
    return *this;
  }
  json& out() { return out_; }

 private:
  json out_ = json::object();
};

}  // namespace

json loadCampaignDocument(const std::string& name) {
  std::ifstream in(std::string(KIVO_TEST_DATA_DIR) + "/campaign/" + name);
  if (!in) throw std::runtime_error("missing test document " + name);
  return json::parse(in);
}

Date utcDate(const std::string& text) {
  auto date = dateFromISOFormat(text.back() == 'Z' ? text.substr(0, text.size() - 1) : text);
  if (!date) throw std::invalid_argument("bad date " + text);
  return *date;
}

json summary(const KIVOState& state) {
  Fields f;
  f.text("promotionItemID", state.promotionItemID).date("created", state.created);
  f.out()["state"] = state.state;
  f.flag("hasVoucher", state.hasVoucher).object("voucher", state.voucher, [](Fields& v, const KIVOVoucher& x) {
    v.text("code", x.code).date("startDate", x.startDate).date("endDate", x.endDate).text("where", x.where);
    v.text("how", x.how);
  });
  return f.out();
}

json summary(const KIVOPromotion& p) {
  Fields f;
  f.text("mediaID", p.mediaID);
  f.out()["position"] = p.position;
  f.out()["type"] = int(p.type);
  f.text("title", p.title).url("imageURL", p.imageURL).text("subtitle", p.subtitle);
  f.date("startDate", p.startDate).date("endDate", p.endDate).text("promotionID", p.promotionID);
  f.text("promotionItemID", p.promotionItemID).number("requiredFields", p.requiredFields).url("termsURL", p.termsURL);
  f.object("voucher", p.voucher, [](Fields& o, const auto& x) { o.text("name", x.name); });
  f.object("directLink", p.directLink, [](Fields& o, const auto& x) { o.url("url", x.url); });
  f.object("shortAnswerForm", p.shortAnswerForm, [](Fields& o, const auto& x) { o.text("question", x.question); });
  f.object("multipleOptionQuiz", p.multipleOptionQuiz, [](Fields& o, const auto& x) {
    o.text("question", x.question).strings("answers", x.answers).number("resolutionIndex", x.resolutionIndex);
  });
  f.object("sms", p.sms, [](Fields& o, const auto& x) { o.text("smsNumber", x.smsNumber).text("smsContent", x.smsContent); });
  f.object("app", p.app, [](Fields& o, const auto& x) {
    o.url("iosAppURL", x.iosAppURL).url("androidAppURL", x.androidAppURL).text("appScheme", x.appScheme);
  });
  f.object("reminder", p.reminder, [](Fields& o, const auto& x) {
    o.text("name", x.name).date("startAt", x.startAt).date("endAt", x.endAt).flag("allDay", x.allDay);
  });
  f.object("onlineStore", p.onlineStore, [](Fields& o, const auto& x) { o.url("url", x.url); });
  f.object("nearStore", p.nearStore, [](Fields& o, const auto& x) { o.text("keyword", x.keyword); });
  f.object("directCall", p.directCall, [](Fields& o, const auto& x) { o.text("number", x.number); });
  f.object("subpromotions", p.subpromotions, [](Fields& o, const KIVOSubpromotions& s) {
    o.text("urlItemID", s.urlItemID).url("url", s.url);
    o.text("appItemID", s.appItemID).url("iosAppURL", s.iosAppURL).url("androidAppURL", s.androidAppURL);
    o.text("appScheme", s.appScheme).text("shopURLItemID", s.shopURLItemID).url("shopURL", s.shopURL);
    o.flag("useCalendar", s.useCalendar).flag("useLBS", s.useLBS).text("lbsItemID", s.lbsItemID);
    o.text("lbsKeyword", s.lbsKeyword).flag("useReminder", s.useReminder).text("reminderItemID", s.reminderItemID);
    o.text("reminderName", s.reminderName).date("reminderStartAt", s.reminderStartAt);
    o.date("reminderEndAt", s.reminderEndAt).flag("reminderAllDay", s.reminderAllDay).flag("useCall", s.useCall);
    o.text("callItemID", s.callItemID).text("callNumber", s.callNumber);
    if (s.reminderLocation != KIVOSubpromotions::Coordinate{})
      o.out()["reminderLocation"] = {s.reminderLocation.latitude, s.reminderLocation.longitude};
  });
  f.text("bookmarkID", p.bookmarkID);
  if (p.state) f.out()["state"] = summary(*p.state);
  f.flag("useTestServer", p.useTestServer).text("jsonString", p.jsonString);
  return f.out();
}

}  // namespace kivo::test

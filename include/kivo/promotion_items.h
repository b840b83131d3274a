// The main items a KIVOPromotion can hold, one class per kind. Value types: plain fields, set by
// the promotion's parser or by the host; archived under the keys named at each field. Not
// thread-safe: confine an instance to one thread or guard it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/archive.h"
#include "kivo/dates.h"
#include "kivo/export.h"
#include "kivo/url.h"

namespace kivo {

// Kind "voucher".
struct KIVO_API KIVOPromotionVoucher {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionVoucher";
  KIVOPromotionVoucher() = default;
  explicit KIVOPromotionVoucher(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;  // "<KIVOPromotionVoucher>\n- name:...\n-----\n"
  friend bool operator==(const KIVOPromotionVoucher&, const KIVOPromotionVoucher&) = default;

  std::optional<std::string> name;  // "name"
};

// Kind "url".
struct KIVO_API KIVOPromotionDirectLink {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionDirectLink";
  KIVOPromotionDirectLink() = default;
  explicit KIVOPromotionDirectLink(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionDirectLink&, const KIVOPromotionDirectLink&) = default;

  std::optional<URL> url;  // "url"
};

// Kind "short_answer" (described as "KIVOPromotionSurvey").
struct KIVO_API KIVOPromotionShortAnswerForm {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionShortAnswerForm";
  KIVOPromotionShortAnswerForm() = default;
  explicit KIVOPromotionShortAnswerForm(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionShortAnswerForm&, const KIVOPromotionShortAnswerForm&) = default;

  std::optional<std::string> question;  // "question"
};

// Kind "quiz". resolutionIndex is the console's 1-based "answer" minus 1, taken literally: it
// indexes the options as the console listed them, before empty options were left out of answers.
struct KIVO_API KIVOPromotionMultipleOptionQuizForm {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionMultipleOptionQuizForm";
  KIVOPromotionMultipleOptionQuizForm() = default;
  explicit KIVOPromotionMultipleOptionQuizForm(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;  // answers print as a JSON list
  friend bool operator==(const KIVOPromotionMultipleOptionQuizForm&,
                         const KIVOPromotionMultipleOptionQuizForm&) = default;

  std::optional<std::string> question;  // "question"
  std::vector<std::string> answers;     // "answers"
  int64_t resolutionIndex = 0;          // "resolutionIndex"
};

// Kind "sms".
struct KIVO_API KIVOPromotionSMS {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionSMS";
  KIVOPromotionSMS() = default;
  explicit KIVOPromotionSMS(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionSMS&, const KIVOPromotionSMS&) = default;

  std::optional<std::string> smsNumber;   // "smsNumber"
  std::optional<std::string> smsContent;  // "smsContent"
};

// Kind "app".
struct KIVO_API KIVOPromotionApp {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionApp";
  KIVOPromotionApp() = default;
  explicit KIVOPromotionApp(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionApp&, const KIVOPromotionApp&) = default;

  std::optional<URL> iosAppURL;          // "iosAppURL"
  std::optional<URL> androidAppURL;      // "androidAppURL"
  std::optional<std::string> appScheme;  // "appScheme"
};

// Kind "reminder".
struct KIVO_API KIVOPromotionReminder {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionReminder";
  KIVOPromotionReminder() = default;
  explicit KIVOPromotionReminder(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionReminder&, const KIVOPromotionReminder&) = default;

  std::optional<std::string> name;  // "name"
  std::optional<Date> startAt;      // "startAt"
  std::optional<Date> endAt;        // "endAt"
  bool allDay = false;              // "allDay"
};

// Kind "shop_url".
struct KIVO_API KIVOPromotionOnlineStore {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionOnlineStore";
  KIVOPromotionOnlineStore() = default;
  explicit KIVOPromotionOnlineStore(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionOnlineStore&, const KIVOPromotionOnlineStore&) = default;

  std::optional<URL> url;  // "url"
};

// Kinds "near" and "local".
struct KIVO_API KIVOPromotionNearStore {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionNearStore";
  KIVOPromotionNearStore() = default;
  explicit KIVOPromotionNearStore(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionNearStore&, const KIVOPromotionNearStore&) = default;

  std::optional<std::string> keyword;  // "keyword"
};

// Kind "call".
struct KIVO_API KIVOPromotionDirectCall {
  static constexpr std::string_view kArchiveClassName = "KIVOPromotionDirectCall";
  KIVOPromotionDirectCall() = default;
  explicit KIVOPromotionDirectCall(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;
  std::string description() const;
  friend bool operator==(const KIVOPromotionDirectCall&, const KIVOPromotionDirectCall&) = default;

  std::optional<std::string> number;  // "number"
};

}  // namespace kivo

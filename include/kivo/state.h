// KIVOState: the console's applied state of one promotion item (won, lost, when, and a winner's
// voucher), and KIVOVoucher, the voucher it may carry. Value types built from the console's JSON
// and archived under fixed keys; not thread-safe: confine an instance to one thread or guard it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/archive.h"
#include "kivo/dates.h"
#include "kivo/export.h"

namespace kivo {

// The result codes of a state.
enum KIVOStateCode : int32_t {
  KIVOStateCodeNotAssigned = 0,  // any text other than the three below
  KIVOStateCodeUnknown = 1,      // "unknown"
  KIVOStateCodeWin = 2,          // "win"
  KIVOStateCodeLose = 3,         // "lose"
};

struct KIVO_API KIVOVoucher {
  static constexpr std::string_view kArchiveClassName = "KIVOVoucher";
  KIVOVoucher() = default;
  explicit KIVOVoucher(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;  // "code", "startDate", "endDate", "where", "how"
  friend bool operator==(const KIVOVoucher&, const KIVOVoucher&) = default;

  std::optional<std::string> code;
  std::optional<Date> startDate;
  std::optional<Date> endDate;
  std::optional<std::string> where;  // where to use it
  std::optional<std::string> how;    // how to use it
};

struct KIVO_API KIVOState {
  static constexpr std::string_view kArchiveClassName = "KIVOState";

  // An empty state: code 0, no voucher, no text.
  KIVOState() = default;
  // initWithStateDictionary: an empty state, then setPromotionJSONObject when object is a JSON
  // object (anything else is taken as no object).
  explicit KIVOState(const nlohmann::json& stateDictionary);
  // Reads "promotionItemID", "created", "state", "hasVoucher", "voucher"; jsonString stays empty.
  explicit KIVOState(const KIVOUnarchiver& coder);
  void encodeWithCoder(KIVOArchiver& coder) const;

  // An applied-promotion answer: reads only its "voucher" object (see setJSONVoucherObject).
  void setPromotionJSONObject(const nlohmann::json& object);
  // A promotion-list state: "target"."_id", "created", "state", then "voucher", which makes the
  // state a win whatever "state" said.
  void setGETPromotionsJSONObject(const nlohmann::json& object);
  // A voucher object: hasVoucher, a new voucher of its "code", "start_date", "end_date", "where",
  // "how", and code 2 (win). Anything but a JSON object changes nothing.
  void setJSONVoucherObject(const nlohmann::json& voucherObject);
  // jsonString = object's text: a JSON string as its text, anything else as compact JSON.
  void setJSONString(const nlohmann::json& object);
  const std::optional<std::string>& JSONString() const { return jsonString; }

  // "win" 2, "lose" 3, "unknown" 1 (exact comparison), anything else 0.
  static int32_t typeFromStateString(std::string_view text);
  // The texts of codes 1 to 3; "(NOT ASSIGNED)" for any other code.
  static std::string stringFromType(int32_t code);
  bool win() const { return state == KIVOStateCodeWin; }
  bool lose() const { return state == KIVOStateCodeLose; }

  // "<KIVOState Object Presentation>\n- promotionItemID: ..." and, with a voucher, its fields.
  std::string description() const;

  friend bool operator==(const KIVOState&, const KIVOState&) = default;

  std::optional<std::string> promotionItemID;
  std::optional<Date> created;
  int32_t state = KIVOStateCodeNotAssigned;
  bool hasVoucher = false;
  std::optional<KIVOVoucher> voucher;
  std::optional<std::string> jsonString;  // never archived
};

}  // namespace kivo

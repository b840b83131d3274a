#include "kivo/state.h"

#include "campaign/json_access.h"
#include "kivo/campaign_values.h"
#include "kivo/format.h"

namespace kivo {

using campaign::dateDescription;
using campaign::member;

KIVOVoucher::KIVOVoucher(const KIVOUnarchiver& coder)
    : code(coder.decodeString("code")),
      startDate(coder.decodeDate("startDate")),
      endDate(coder.decodeDate("endDate")),
      where(coder.decodeString("where")),
      how(coder.decodeString("how")) {}

void KIVOVoucher::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("code", code);
  coder.encodeDate("startDate", startDate);
  coder.encodeDate("endDate", endDate);
  coder.encodeString("where", where);
  coder.encodeString("how", how);
}

KIVOState::KIVOState(const nlohmann::json& stateDictionary) {
  if (stateDictionary.is_object()) setPromotionJSONObject(stateDictionary);
}

KIVOState::KIVOState(const KIVOUnarchiver& coder)
    : promotionItemID(coder.decodeString("promotionItemID")),
      created(coder.decodeDate("created")),
      state(coder.decodeInt32("state")),
      hasVoucher(coder.decodeBool("hasVoucher")),
      voucher(coder.decodeObject<KIVOVoucher>("voucher")) {}

void KIVOState::encodeWithCoder(KIVOArchiver& coder) const {
  coder.encodeString("promotionItemID", promotionItemID);
  coder.encodeDate("created", created);
  coder.encodeInteger("state", state);
  coder.encodeBool("hasVoucher", hasVoucher);
  coder.encodeObject("voucher", voucher);
}

void KIVOState::setPromotionJSONObject(const nlohmann::json& object) {
  if (const nlohmann::json* voucherObject = objectFromObject(member(object, "voucher")))
    setJSONVoucherObject(*voucherObject);
}

void KIVOState::setGETPromotionsJSONObject(const nlohmann::json& object) {
  if (const nlohmann::json* target = objectFromObject(member(object, "target")))
    promotionItemID = stringFromString(member(*target, "_id"));
  created = dateFromISOFormat(member(object, "created"));
  if (auto text = stringFromString(member(object, "state"))) state = typeFromStateString(*text);
  if (const nlohmann::json* voucherObject = objectFromObject(member(object, "voucher")))
    setJSONVoucherObject(*voucherObject);
}

void KIVOState::setJSONVoucherObject(const nlohmann::json& voucherObject) {
  if (!voucherObject.is_object()) return;
  hasVoucher = true;
  KIVOVoucher& v = voucher.emplace();
  v.code = stringFromString(member(voucherObject, "code"));
  v.startDate = dateFromISOFormat(member(voucherObject, "start_date"));
  v.endDate = dateFromISOFormat(member(voucherObject, "end_date"));
  v.where = stringFromString(member(voucherObject, "where"));
  v.how = stringFromString(member(voucherObject, "how"));
  state = KIVOStateCodeWin;
}

void KIVOState::setJSONString(const nlohmann::json& object) { jsonString = format("%@", object); }

int32_t KIVOState::typeFromStateString(std::string_view text) {
  if (text == "win") return KIVOStateCodeWin;
  if (text == "lose") return KIVOStateCodeLose;
  if (text == "unknown") return KIVOStateCodeUnknown;
  return KIVOStateCodeNotAssigned;
}

std::string KIVOState::stringFromType(int32_t code) {
  switch (code) {
    case KIVOStateCodeUnknown: return "unknown";
    case KIVOStateCodeWin: return "win";
    case KIVOStateCodeLose: return "lose";
    default: return "(NOT ASSIGNED)";
  }
}

std::string KIVOState::description() const {
  std::string text = format(
      "<KIVOState Object Presentation>\n- promotionItemID: %@\n- created: %@\n- state: %@\n- hasVoucher: %@\n",
      promotionItemID, dateDescription(created), stringFromType(state), hasVoucher);
  if (voucher)
    text += format(
        "<KIVOState.KIVOVoucher Object Presentation>\n- code: %@\n- startDate: %@\n- endDate: %@\n- where: %@\n"
        "- how: %@",
        voucher->code, dateDescription(voucher->startDate), dateDescription(voucher->endDate), voucher->where,
        voucher->how);
  return text;
}

}  // namespace kivo

#include "kivo/match_result.h"

#include "kivo/format.h"

namespace kivo {

int KIVOMatchResultTypeFromString(std::optional<std::string_view> type) {
  if (type == "cf") return KIVOMatchResultTypeCF;
  if (type == "pg") return KIVOMatchResultTypePG;
  return KIVOMatchResultTypeUnknown;
}

std::optional<std::string> NSStringFromKIVOMatchResultType(int type) {
  switch (type) {
    case KIVOMatchResultTypeCF: return "cf";
    case KIVOMatchResultTypePG: return "pg";
    default: return std::nullopt;
  }
}

KIVOMatchResult::KIVOMatchResult(std::string name, double score, uint64_t position, double duration, Metadata metadata)
    : name_(std::move(name)), position_(position), score_(score), metadata_(std::move(metadata)), duration_(duration) {}

const nlohmann::json& KIVOMatchResult::metadata() const {
  static const nlohmann::json empty = nlohmann::json::object();
  return metadata_ ? *metadata_ : empty;
}

std::string KIVOMatchResult::description() const {
  return format("<KIVOMatchResult %@ score %.2f position %lld / %lf>", name_, score_, position_, duration_);
}

std::string DOAFPModel::description() const {
  return format("<DOAFPModel %@ channel:%@> score:%f", type, channel, score);
}

}  // namespace kivo

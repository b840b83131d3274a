#include "kivo/match_result.h"

#include <charconv>

namespace kivo {
namespace {

// Fixed-point text of value, independent of the process locale.
std::string fixed(double value, int precision) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision).ptr;
  return std::string(buffer, end);
}

const std::string& orNull(const std::optional<std::string>& text) {
  static const std::string null = "(null)";
  return text ? *text : null;
}

}  // namespace

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
  return "<KIVOMatchResult " + name_ + " score " + fixed(score_, 2) + " position " + std::to_string(position_) +
         " / " + fixed(duration_, 6) + ">";
}

std::string DOAFPModel::description() const {
  return "<DOAFPModel " + orNull(type) + " channel:" + orNull(channel) + "> score:" + fixed(score, 6);
}

}  // namespace kivo

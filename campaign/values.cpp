#include "kivo/campaign_values.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "campaign/json_access.h"

namespace kivo {

std::optional<std::string> stringFromString(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  return value.get_ref<const std::string&>();
}

const nlohmann::json* objectFromObject(const nlohmann::json& value) { return value.is_object() ? &value : nullptr; }

std::optional<URL> urlFromString(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  return URL(value.get_ref<const std::string&>());
}

std::string isoFormatFromDate(Date date) { return formatDate(date, "yyyy-MM-dd'T'HH:mm:ssZZZ", DateZone::Local); }

namespace campaign {
namespace {

// text without leading white space and without one leading '+', which from_chars does not take.
std::string_view leadingNumber(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\n\r\f\v");
  if (start == std::string_view::npos) return {};
  text.remove_prefix(start);
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  return text;
}

}  // namespace

const nlohmann::json& member(const nlohmann::json& object, std::string_view key) {
  static const nlohmann::json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

const nlohmann::json* find(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string dateDescription(const std::optional<Date>& date) {
  return date ? formatDate(*date, "yyyy-MM-dd HH:mm:ss ZZZ", DateZone::UTC) : std::string("(null)");
}

std::optional<double> doubleValue(const nlohmann::json& value) {
  if (value.is_number()) {
    double number = value.get<double>();
    return std::isfinite(number) ? std::optional(number) : std::nullopt;
  }
  if (!value.is_string()) return std::nullopt;
  std::string_view text = leadingNumber(value.get_ref<const std::string&>());
  double number = 0.0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number, std::chars_format::general);
  if (ec != std::errc() || end == text.data() || !std::isfinite(number)) return std::nullopt;
  return number;
}

std::optional<int64_t> integerValue(const nlohmann::json& value) {
  constexpr double kLimit = 9223372036854775807.0;
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<int64_t>();
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    return number > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(number);
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (std::isnan(number)) return std::nullopt;
    if (number >= kLimit) return INT64_MAX;
    if (number <= -kLimit) return INT64_MIN;
    return static_cast<int64_t>(number);
  }
  if (!value.is_string()) return std::nullopt;
  std::string_view text = leadingNumber(value.get_ref<const std::string&>());
  int64_t number = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec == std::errc::result_out_of_range) return text.front() == '-' ? INT64_MIN : INT64_MAX;
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return number;
}

bool boolValue(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0.0;
  return false;
}

}  // namespace campaign
}  // namespace kivo

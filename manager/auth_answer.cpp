// The authentication answer's fields.
#include "manager/auth_answer.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "platform/json_depth.h"

namespace kivo::manager {

namespace {

bool hasControlCharacter(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

std::optional<std::string> textOf(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

int64_t integerOfText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    const int digit = text[i] - '0';
    if (value > (kMax - digit) / 10) return negative ? std::numeric_limits<int64_t>::min() : kMax;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace

int64_t integerValue(const nlohmann::json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto u = value.get<uint64_t>();
      return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(u);
    }
    return value.get<int64_t>();
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return int64_t(d);
  }
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_string()) return integerOfText(value.get_ref<const std::string&>());
  return 0;
}

bool isVersionString(std::string_view text) {
  if (text.size() != 14) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool isSecureURL(std::string_view text) {
  constexpr std::string_view kScheme = "https://";
  if (text.size() <= kScheme.size() || hasControlCharacter(text)) return false;
  for (size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != kScheme[i]) return false;
  for (char c : text)
    if (c == ' ') return false;
  const char first = text[kScheme.size()];
  return first != '/' && first != '?' && first != '#' && first != '@' && first != ':';
}

AuthAnswer readAuthAnswer(const Bytes& body) {
  AuthAnswer answer;
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (!jsonDepthWithin(text)) {
    answer.parseError = "nesting too deep";
    return answer;
  }
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded()) {
    answer.parseError = "not JSON";
    return answer;
  }
  if (!json.is_object()) {
    answer.parseError = "not a JSON object";
    return answer;
  }
  answer.parsed = true;

  if (const auto force = json.find("force_update"); force != json.end()) answer.force = integerValue(*force) == 1;
  if (auto v = textOf(json, "v"); v && !v->empty()) {
    if (isVersionString(*v))
      answer.version = std::move(v);
    else
      answer.rejectedVersion = std::move(v);
  }
  if (auto token = textOf(json, "token"); token && !hasControlCharacter(*token)) answer.token = std::move(token);
  if (!answer.token) answer.errorReason = textOf(json, "error").value_or("unknown");
  if (const auto updated = json.find("updated"); updated != json.end()) answer.updated = integerValue(*updated);

  if (answer.updated != 0 || answer.force) {
    const auto url = json.find("url");
    if (url == json.end()) {
      answer.urlState = AuthAnswer::URL::kNone;
    } else if (url->is_null()) {
      answer.urlState = AuthAnswer::URL::kNull;
    } else if (url->is_string() && isSecureURL(url->get_ref<const std::string&>())) {
      answer.urlState = AuthAnswer::URL::kAccepted;
      answer.url = url->get<std::string>();
    } else {
      answer.urlState = AuthAnswer::URL::kRejected;
      answer.url = url->is_string() ? url->get<std::string>() : url->dump();
    }
  }
  return answer;
}

}  // namespace kivo::manager

#include "network/http_log.h"

#include "kivo/format.h"
#include "network/http_url.h"

namespace kivo::net {
namespace {

bool isCredentialHeader(std::string_view name) {
  return equalsIgnoringCase(name, "X-Kivo-Secret-Key") || equalsIgnoringCase(name, "authorization");
}

bool isCredentialMember(std::string_view name) { return name == "secret_key" || name == "token"; }

void redact(nlohmann::ordered_json& value) {
  if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      if (isCredentialMember(key))
        member = kRedacted;
      else
        redact(member);
    }
  } else if (value.is_array()) {
    for (auto& element : value) redact(element);
  }
}

}  // namespace

std::string describeRequest(const std::string& url) { return format("{ URL: %@ }", url); }

std::string headersForLog(const HTTPHeaders& headers) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const auto& [name, value] : headers) object[name] = isCredentialHeader(name) ? std::string(kRedacted) : value;
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

FormParameters redactedParameters(const FormParameters& parameters) {
  FormParameters copy = parameters;
  for (auto& [name, value] : copy)
    if (name == "secret_key") value = kRedacted;
  return copy;
}

std::optional<std::string> bodyTextForLog(std::span<const uint8_t> body) {
  std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (!isValidUtf8(text)) return std::nullopt;
  auto json = nlohmann::ordered_json::parse(text, nullptr, false);
  if (json.is_discarded() || !(json.is_object() || json.is_array())) return std::string(text);
  redact(json);
  return json.dump();
}

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t point = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, point = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, point = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, point = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace kivo::net

// Texts of the HTTP client's verbose lines, with credentials written as "<redacted>": the headers
// "X-Kivo-Secret-Key" and "authorization" (any case), the form field "secret_key", and JSON members
// "secret_key" and "token" at any depth. Thread-safe; called only when a verbose flag is on.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kivo/http.h"

namespace kivo::net {

inline constexpr std::string_view kRedacted = "<redacted>";

// "{ URL: <url> }".
std::string describeRequest(const std::string& url);
// The header fields as one JSON object.
std::string headersForLog(const HTTPHeaders& headers);
// parameters with the values of credential fields replaced.
FormParameters redactedParameters(const FormParameters& parameters);
// The bytes as text (JSON redacted), or nothing when they are not UTF-8.
std::optional<std::string> bodyTextForLog(std::span<const uint8_t> body);

bool isValidUtf8(std::string_view text);

}  // namespace kivo::net

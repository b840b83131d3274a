// Reading the console's authentication answer, with every value type-checked: a value of the wrong
// JSON type counts as absent, so no answer can crash or steer the preparation outside its rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"

namespace kivo::manager {

struct AuthAnswer {
  // False when the body is not a JSON object; parseError then says why.
  bool parsed = false;
  std::string parseError;
  // "token" when it is text without control characters (it becomes a header value).
  std::optional<std::string> token;
  // Why there is no token: "error" when it is text, else "unknown".
  std::string errorReason;
  // "v" when it is exactly 14 ASCII digits; rejectedVersion holds any other non-empty "v" text.
  std::optional<std::string> version;
  std::optional<std::string> rejectedVersion;
  int64_t updated = 0;  // integer value of "updated"
  bool force = false;   // integer value of "force_update" is 1
  // The download URL, read only when updated is non-zero or force is set.
  enum class URL { kNone, kNull, kRejected, kAccepted } urlState = URL::kNone;
  std::string url;  // the accepted URL, or the refused value's text
};

AuthAnswer readAuthAnswer(const Bytes& body);

// The integer value of a JSON value: integers as they are, other numbers truncated toward zero
// (saturating), booleans 1 and 0, text its leading sign and digits after whitespace, else 0.
int64_t integerValue(const nlohmann::json& value);
// Exactly 14 ASCII digits: the only version text that may name a file.
bool isVersionString(std::string_view text);
// An absolute https URL with a host and no whitespace or control characters.
bool isSecureURL(std::string_view text);

}  // namespace kivo::manager

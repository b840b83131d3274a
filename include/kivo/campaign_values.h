// Conversions of console JSON values into the typed fields of the campaign classes. A value of the
// wrong JSON type counts as missing, like a JSON null. Dates are read by dateFromISOFormat
// (kivo/dates.h). Thread-safe.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kivo/dates.h"
#include "kivo/export.h"
#include "kivo/url.h"

namespace kivo {

// The text of a JSON string; nothing for anything else (null, numbers, objects...).
KIVO_API std::optional<std::string> stringFromString(const nlohmann::json& value);

// value itself when it is a JSON object; null for anything else. The pointer is into value.
KIVO_API const nlohmann::json* objectFromObject(const nlohmann::json& value);

// A URL made from a JSON string, kept as it is (also when empty); nothing for anything else.
KIVO_API std::optional<URL> urlFromString(const nlohmann::json& value);

// date as "yyyy-MM-dd'T'HH:mm:ssZZZ" in the process's local zone, e.g. 1990-05-01T00:00:00+0900.
KIVO_API std::string isoFormatFromDate(Date date);

}  // namespace kivo

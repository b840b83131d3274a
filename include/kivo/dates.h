// Date texts with fixed formats: the pack version string, the console's ISO time stamps, and the
// patterns of time stamps and identifiers. Always ASCII digits and the proleptic Gregorian
// calendar, whatever the host's locale; the local zone is the process's TZ. Thread-safe.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/export.h"

namespace kivo {

using Date = std::chrono::system_clock::time_point;

enum class DateZone { UTC, Local };

// Formats date in zone with a pattern of these fields: yyyy (year, at least 4 digits), MM, dd,
// HH (00-23), mm, ss, SSS (milliseconds), ZZZ (offset +hhmm/-hhmm), ZZZZZ (offset +hh:mm/-hh:mm,
// or "Z" at zero offset); 'text' in single quotes is copied; any other character is copied.
KIVO_API std::string formatDate(Date date, std::string_view pattern, DateZone zone);

// The pack version string: "yyyyMMddHHmmss" in UTC, e.g. "19990101000000".
KIVO_API std::string VersionStringFromDate(Date date);

// Reads a console time stamp "yyyy-MM-dd'T'HH:mm:ss" + offset "+hhmm" (or "+hh:mm"). A text
// without any "+" is read with "+0000" appended, so a time without offset is UTC, while one ending
// in "Z" or a negative offset gives nothing. JSON null, a non-string value, and a text that does
// not match (fractional seconds, out-of-range fields) give nothing.
KIVO_API std::optional<Date> dateFromISOFormat(const nlohmann::json& value);

}  // namespace kivo

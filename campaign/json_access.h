// Typed reads of console JSON for the campaign classes. Every read checks the JSON type: a value
// of the wrong type counts as missing (so does a lookup in something that is not an object).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kivo/dates.h"

namespace kivo::campaign {

// object's value under key; JSON null when missing or when object is not an object.
const nlohmann::json& member(const nlohmann::json& object, std::string_view key);
// object's value under key, or null when missing (a stored JSON null is returned as such).
const nlohmann::json* find(const nlohmann::json& object, std::string_view key);

// A finite number, or the leading number of a text (after white space; "12.5 s" gives 12.5).
std::optional<double> doubleValue(const nlohmann::json& value);
// An integer, a real truncated toward zero, or the leading integer of a text; saturated to 64 bits.
std::optional<int64_t> integerValue(const nlohmann::json& value);
// A JSON boolean, or a number other than 0; false for anything else.
bool boolValue(const nlohmann::json& value);

// A date as formatted lines print it: "2024-01-31 10:00:00 +0000" (UTC), or "(null)".
std::string dateDescription(const std::optional<Date>& date);

}  // namespace kivo::campaign

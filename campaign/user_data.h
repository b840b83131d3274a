// The "userdata" document of promotion applications: the user fields a mask requires.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kivo/user.h"

namespace kivo::campaign {

// The fields of user that mask names and user has (an empty text counts as present), under the
// console's names: "address", "birth" (isoFormatFromDate), "email", "gender", "phone", "name".
nlohmann::json userDataDictionary(const KIVOUser& user, int64_t mask);

// dictionary as compact UTF-8 JSON text; nothing, with *error set, when a text is not UTF-8.
std::optional<std::string> serializeUserData(const nlohmann::json& dictionary, std::string* error = nullptr);

}  // namespace kivo::campaign

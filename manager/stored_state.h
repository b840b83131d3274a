// The manager's persisted settings and files, read and removed by key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/settings.h"

namespace kivo::manager {

// The text stored under key, or nothing (also when the value is not text).
std::optional<std::string> storedText(std::string_view key);
void storeText(std::string_view key, const std::string& value);
void removeStored(std::string_view key);

}  // namespace kivo::manager

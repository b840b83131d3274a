// The persisted keys and the shared "DOUserDefault" dictionary, kept in the standard settings
// store (platform/user_defaults.h). Every function is thread-safe; each change of the dictionary is
// one read-modify-write under the store's lock, so concurrent writers lose no entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kivo/property_list.h"

namespace kivo::settings {

inline constexpr std::string_view kTokenKey = "com.tarnvale.kivo.token";
inline constexpr std::string_view kLastVersionKey = "com.tarnvale.kivo.lastversion";
inline constexpr std::string_view kUserDefaultKey = "DOUserDefault";
inline constexpr std::string_view kUserKey = "dcuser";

// Stores value under key inside "DOUserDefault" (created when missing) and writes the store.
void saveUserDefaultEntry(const std::string& key, PropertyList value);
// The entry under key inside "DOUserDefault", or nothing. Creates an empty "DOUserDefault" when
// there is none; with no key it does nothing and returns nothing.
std::optional<PropertyList> loadUserDefaultEntry(const std::optional<std::string>& key);
// The "sessionId" entry when it is text.
std::optional<std::string> storedSessionId();
// The installation identifier: the stored "tid", or a new one ("I" + local "yyyyMMddHHmmssSSS"
// of the current time) stored in the same critical section, so only one is ever made.
std::string installationID();
// The session identifier: a non-empty "sessionId", else installationID().
std::string sessionIdentifier();

}  // namespace kivo::settings

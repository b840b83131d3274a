// The settings file's text form (docs/user-defaults.md): typed JSON that keeps every
// property-list type, dates and byte data included.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kivo/property_list.h"

namespace kivo {

std::string encodeUserDefaults(const PropertyDictionary& values);
// The values of a file's text, or nothing when it is not a well-formed file of this format;
// error then says why.
std::optional<PropertyDictionary> decodeUserDefaults(std::string_view text, std::string& error);

}  // namespace kivo

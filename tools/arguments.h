// Strict parsing of numeric command-line values: the whole text must be the number, in range.
// Failures throw std::invalid_argument with a one-line message naming the option and the value.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::tool {

// A whole decimal number from min to max (no sign, no spaces, no trailing characters).
uint64_t countArgument(const std::string& option, const std::string& text, uint64_t min, uint64_t max);

// A finite decimal number (no nan, no inf, no trailing characters).
double numberArgument(const std::string& option, const std::string& text);

}  // namespace kivo::tool

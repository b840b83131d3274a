#include "tools/arguments.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace kivo::tool {

uint64_t countArgument(const std::string& option, const std::string& text, uint64_t min, uint64_t max) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value < min || value > max)
    throw std::invalid_argument(option + " needs a whole number from " + std::to_string(min) + " to " +
                                std::to_string(max) + ", not '" + text + "'");
  return value;
}

double numberArgument(const std::string& option, const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || !std::isfinite(value))
    throw std::invalid_argument(option + " needs a number, not '" + text + "'");
  return value;
}

}  // namespace kivo::tool

// URL pieces the HTTP client judges: scheme and origin checks, redirect targets. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

namespace kivo::net {

struct ParsedURL {
  std::string scheme;  // lower case
  std::string host;    // lower case
  std::string port;    // the scheme's default when the URL names none
  auto origin() const { return std::tie(scheme, host, port); }
};

// Nothing when text is not an absolute URL of a scheme libcurl speaks.
std::optional<ParsedURL> parseURL(const std::string& text);
// location (absolute or relative) resolved against base, or nothing.
std::optional<std::string> resolveURL(const std::string& base, const std::string& location);

bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace kivo::net

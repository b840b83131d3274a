// printf-style formatting of the library's fixed texts, type-safe and independent of the host's
// locale (ASCII digits, '.' as decimal point). Thread-safe; allocates only the result.
//
// Directives: %[flags][width][.precision][length]conversion with flags "-+ 0", length modifiers
// (hh h l ll q z j t L) accepted and ignored, and conversions
//   d i      signed integer          u x X o  unsigned integer (decimal, hex, octal)
//   f F e E g G  real number (default precision 6)
//   @ s      text: strings as they are, JSON values as compact JSON (a JSON string without quotes),
//            an empty optional or a JSON null as "(null)", booleans as "YES"/"NO"
//   c        one character            %%       a literal '%'
// Each argument is rendered from its own type: an integer under %f prints as a real, a real under
// %d is truncated, text under a numeric conversion prints as text. A directive without an argument
// prints nothing; surplus arguments are ignored; an unknown conversion is copied literally.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "kivo/export.h"

namespace kivo {

// One argument of format(), already reduced to a printable kind.
struct FormatArg {
  enum class Kind { Signed, Unsigned, Real, Text };
  Kind kind = Kind::Text;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0.0;
  std::string text;
};

KIVO_API std::string formatArgs(std::string_view format, std::span<const FormatArg> args);

namespace detail {

template <class T>
concept HasDescription = requires(const T& v) {
  { v.description() } -> std::convertible_to<std::string>;
};

template <class T>
FormatArg toFormatArg(const T& value) {
  using V = std::remove_cvref_t<T>;
  FormatArg arg;
  if constexpr (std::is_same_v<V, bool>) {
    arg.text = value ? "YES" : "NO";
  } else if constexpr (std::is_same_v<V, char>) {
    arg.kind = FormatArg::Kind::Signed;
    arg.i = static_cast<unsigned char>(value);
  } else if constexpr (std::is_enum_v<V>) {
    return toFormatArg(static_cast<std::underlying_type_t<V>>(value));
  } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
    arg.kind = FormatArg::Kind::Signed;
    arg.i = value;
  } else if constexpr (std::is_integral_v<V>) {
    arg.kind = FormatArg::Kind::Unsigned;
    arg.u = value;
  } else if constexpr (std::is_floating_point_v<V>) {
    arg.kind = FormatArg::Kind::Real;
    arg.d = static_cast<double>(value);
  } else if constexpr (std::is_same_v<V, nlohmann::json>) {
    if (value.is_string())
      arg.text = value.template get_ref<const std::string&>();
    else if (value.is_null())
      arg.text = "(null)";
    else
      arg.text = value.dump();
  } else if constexpr (std::is_same_v<V, std::filesystem::path>) {
    arg.text = value.string();
  } else if constexpr (std::is_pointer_v<V> && std::is_convertible_v<V, const char*>) {
    arg.text = value ? value : "(null)";
  } else if constexpr (std::is_convertible_v<const V&, std::string_view>) {
    arg.text = std::string(std::string_view(value));
  } else if constexpr (HasDescription<V>) {
    arg.text = value.description();
  } else {
    static_assert(!sizeof(V*), "kivo::format: unsupported argument type");
  }
  return arg;
}

template <class T>
FormatArg toFormatArg(const std::optional<T>& value) {
  if (value) return toFormatArg(*value);
  FormatArg arg;
  arg.text = "(null)";
  return arg;
}

}  // namespace detail

// Fills format with args (see above). Example: format("code %d reason [%@]", 501, reason).
template <class... Args>
std::string format(std::string_view format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return formatArgs(format, {});
  } else {
    const FormatArg converted[] = {detail::toFormatArg(args)...};
    return formatArgs(format, converted);
  }
}

}  // namespace kivo

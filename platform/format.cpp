#include "kivo/format.h"

#include <charconv>
#include <cmath>

namespace kivo {
namespace {

struct Directive {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  char conversion = 0;
};

std::string integerDigits(uint64_t magnitude, int base, bool upper) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, base);
  std::string digits(buffer, result.ptr);
  if (upper)
    for (char& c : digits) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  return digits;
}

std::string realDigits(double value, char conversion, int precision) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return "inf";
  std::chars_format style = std::chars_format::fixed;
  if (conversion == 'e' || conversion == 'E') style = std::chars_format::scientific;
  if (conversion == 'g' || conversion == 'G') style = std::chars_format::general;
  // Grows until the digits fit: a fixed rendering of 1e300 with 300 decimals needs over 600 bytes.
  std::string digits(64, '\0');
  for (;;) {
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), std::fabs(value), style,
                                      precision < 0 ? 6 : precision);
    if (result.ec == std::errc()) {
      digits.resize(size_t(result.ptr - digits.data()));
      break;
    }
    digits.resize(digits.size() * 2);
  }
  if (conversion == 'E' || conversion == 'G')
    for (char& c : digits) c = c == 'e' ? 'E' : c;
  return digits;
}

// Pads a rendered number (sign separate) or a text to the directive's width.
void appendPadded(std::string& out, const Directive& directive, std::string_view sign, std::string_view body,
                  bool numeric) {
  size_t length = sign.size() + body.size();
  size_t pad = directive.width > 0 && static_cast<size_t>(directive.width) > length ? directive.width - length : 0;
  if (directive.left) {
    out.append(sign).append(body).append(pad, ' ');
  } else if (directive.zero && numeric) {
    out.append(sign).append(pad, '0').append(body);
  } else {
    out.append(pad, ' ').append(sign).append(body);
  }
}

void appendArg(std::string& out, const Directive& directive, const FormatArg& arg) {
  char conv = directive.conversion;
  bool realConv = conv == 'f' || conv == 'F' || conv == 'e' || conv == 'E' || conv == 'g' || conv == 'G';
  bool unsignedConv = conv == 'u' || conv == 'x' || conv == 'X' || conv == 'o';
  bool textConv = conv == '@' || conv == 's';

  if (arg.kind == FormatArg::Kind::Text || textConv) {
    std::string text;
    if (arg.kind == FormatArg::Kind::Text) {
      text = arg.text;
    } else {
      Directive plain;
      plain.conversion = arg.kind == FormatArg::Kind::Real ? 'g' : 'd';
      appendArg(text, plain, arg);
    }
    std::string_view view = text;
    if (directive.precision >= 0 && static_cast<size_t>(directive.precision) < view.size())
      view = view.substr(0, directive.precision);
    appendPadded(out, directive, "", view, false);
    return;
  }
  if (conv == 'c') {
    char c = static_cast<char>(arg.kind == FormatArg::Kind::Real ? static_cast<int64_t>(arg.d)
                               : arg.kind == FormatArg::Kind::Signed ? arg.i
                                                                     : static_cast<int64_t>(arg.u));
    appendPadded(out, directive, "", std::string_view(&c, 1), false);
    return;
  }

  bool negative = false;
  std::string body;
  if (realConv) {
    double value = arg.kind == FormatArg::Kind::Real     ? arg.d
                   : arg.kind == FormatArg::Kind::Signed ? static_cast<double>(arg.i)
                                                         : static_cast<double>(arg.u);
    negative = std::signbit(value) && !std::isnan(value);
    body = realDigits(value, realConv ? conv : 'g', directive.precision);
  } else {
    uint64_t magnitude = 0;
    if (arg.kind == FormatArg::Kind::Signed) {
      if (unsignedConv) {
        magnitude = static_cast<uint64_t>(arg.i);
      } else {
        negative = arg.i < 0;
        magnitude = negative ? 0 - static_cast<uint64_t>(arg.i) : static_cast<uint64_t>(arg.i);
      }
    } else if (arg.kind == FormatArg::Kind::Unsigned) {
      magnitude = arg.u;
    } else if (std::isfinite(arg.d) && std::fabs(arg.d) < 9.2e18) {
      auto truncated = static_cast<int64_t>(arg.d);
      negative = truncated < 0 && !unsignedConv;
      magnitude = negative ? 0 - static_cast<uint64_t>(truncated) : static_cast<uint64_t>(truncated);
    }
    int base = conv == 'x' || conv == 'X' ? 16 : conv == 'o' ? 8 : 10;
    body = integerDigits(magnitude, base, conv == 'X');
    if (directive.precision >= 0 && body.size() < static_cast<size_t>(directive.precision))
      body.insert(0, directive.precision - body.size(), '0');
  }
  std::string_view sign = negative ? "-" : directive.plus ? "+" : directive.space ? " " : "";
  appendPadded(out, directive, sign, body, true);
}

bool isConversion(char c) {
  switch (c) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G':
    case 's': case '@': case 'c':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string formatArgs(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  size_t next = 0;
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t start = i++;
    if (i < format.size() && format[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    Directive directive;
    for (; i < format.size(); ++i) {
      char f = format[i];
      if (f == '-') directive.left = true;
      else if (f == '+') directive.plus = true;
      else if (f == ' ') directive.space = true;
      else if (f == '0') directive.zero = true;
      else if (f == '#') continue;
      else break;
    }
    while (i < format.size() && format[i] >= '0' && format[i] <= '9')
      directive.width = std::min(directive.width * 10 + (format[i++] - '0'), 4096);
    if (i < format.size() && format[i] == '.') {
      directive.precision = 0;
      ++i;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9')
        directive.precision = std::min(directive.precision * 10 + (format[i++] - '0'), 300);
    }
    while (i < format.size() && std::string_view("hlqzjtL").find(format[i]) != std::string_view::npos) ++i;
    if (i >= format.size() || !isConversion(format[i])) {
      out.append(format.substr(start, i - start));
      continue;
    }
    directive.conversion = format[i++];
    if (next < args.size()) appendArg(out, directive, args[next++]);
  }
  return out;
}

}  // namespace kivo

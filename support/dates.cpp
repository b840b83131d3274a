#include "kivo/dates.h"

#include <time.h>

#include <cstdio>

namespace kivo {
namespace {

using namespace std::chrono;

struct CivilTime {
  int64_t year;
  unsigned month, day, hour, minute, second, millisecond;
  long offsetSeconds;  // east of UTC
};

CivilTime civilTime(Date date, DateZone zone) {
  auto ms = floor<milliseconds>(date);
  auto secs = floor<seconds>(ms);
  unsigned millisecond = static_cast<unsigned>((ms - secs).count());
  if (zone == DateZone::Local) {
    time_t t = static_cast<time_t>(secs.time_since_epoch().count());
    tm local{};
    if (localtime_r(&t, &local)) {
      return CivilTime{int64_t{local.tm_year} + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday),
                       unsigned(local.tm_hour), unsigned(local.tm_min), unsigned(local.tm_sec), millisecond,
                       local.tm_gmtoff};
    }
  }
  auto day = floor<days>(secs);
  year_month_day ymd{day};
  hh_mm_ss<seconds> clock{secs - day};
  return CivilTime{int{ymd.year()}, unsigned{ymd.month()}, unsigned{ymd.day()},
                   unsigned(clock.hours().count()), unsigned(clock.minutes().count()),
                   unsigned(clock.seconds().count()), millisecond, 0};
}

void appendNumber(std::string& out, int64_t value, int width) {
  char buffer[32];
  int n = std::snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(value));
  out.append(buffer, n);
}

void appendOffset(std::string& out, long offset, bool colon) {
  if (colon && offset == 0) {
    out.push_back('Z');
    return;
  }
  out.push_back(offset < 0 ? '-' : '+');
  long magnitude = offset < 0 ? -offset : offset;
  appendNumber(out, magnitude / 3600, 2);
  if (colon) out.push_back(':');
  appendNumber(out, magnitude / 60 % 60, 2);
}

// Reads exactly count ASCII digits at text[at].
std::optional<unsigned> digits(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return std::nullopt;
  unsigned value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + unsigned(text[i] - '0');
  }
  return value;
}

std::optional<Date> parseISO(std::string_view text) {
  // yyyy-MM-ddTHH:mm:ss is 19 characters; the offset follows.
  if (text.size() < 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':')
    return std::nullopt;
  auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  char sign = text[19];
  auto oh = digits(text, 20, 2);
  std::optional<unsigned> om;
  if (text.size() == 24)
    om = digits(text, 22, 2);
  else if (text.size() == 25 && text[22] == ':')
    om = digits(text, 23, 2);
  if (!y || !mo || !d || !h || !mi || !s || !oh || !om || (sign != '+' && sign != '-')) return std::nullopt;
  year_month_day ymd{year(int(*y)), month(*mo), day(*d)};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 59 || *oh > 23 || *om > 59) return std::nullopt;
  auto offset = hours(*oh) + minutes(*om);
  auto local = sys_days(ymd) + hours(*h) + minutes(*mi) + seconds(*s);
  return Date(sign == '+' ? local - offset : local + offset);
}

}  // namespace

std::string formatDate(Date date, std::string_view pattern, DateZone zone) {
  const CivilTime t = civilTime(date, zone);
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    char c = pattern[i];
    size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c) ++run;
    if (c == '\'') {
      size_t end = pattern.find('\'', i + 1);
      if (end == std::string_view::npos) end = pattern.size();
      out.append(pattern.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    switch (c) {
      case 'y': appendNumber(out, t.year, int(run)); break;
      case 'M': appendNumber(out, t.month, int(run)); break;
      case 'd': appendNumber(out, t.day, int(run)); break;
      case 'H': appendNumber(out, t.hour, int(run)); break;
      case 'm': appendNumber(out, t.minute, int(run)); break;
      case 's': appendNumber(out, t.second, int(run)); break;
      case 'S': appendNumber(out, t.millisecond, int(run)); break;
      case 'Z': appendOffset(out, t.offsetSeconds, run >= 5); break;
      default: out.append(run, c); break;
    }
    i += run;
  }
  return out;
}

std::string VersionStringFromDate(Date date) { return formatDate(date, "yyyyMMddHHmmss", DateZone::UTC); }

std::optional<Date> dateFromISOFormat(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  std::string text = value.get<std::string>();
  if (text.find('+') == std::string::npos) text += "+0000";
  return parseISO(text);
}

}  // namespace kivo

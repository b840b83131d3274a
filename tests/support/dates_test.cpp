#include "kivo/dates.h"

#include <gtest/gtest.h>

#include <random>

#include "common/time_zone.h"

namespace {

using namespace std::chrono;
using kivo::Date;
using kivo::DateZone;
using kivo::dateFromISOFormat;
using kivo::formatDate;
using kivo::test::ScopedTimeZone;

Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
  return sys_days{year{y} / month{mo} / day{d}} + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms);
}

TEST(Dates, VersionStringIsUTCInEveryZone) {
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    EXPECT_EQ(kivo::VersionStringFromDate(utc(1999, 1, 1, 0, 0, 0)), "19990101000000") << zone;
    EXPECT_EQ(kivo::VersionStringFromDate(utc(2024, 1, 31, 23, 59, 59, 999)), "20240131235959") << zone;
    EXPECT_EQ(kivo::VersionStringFromDate(utc(1969, 12, 31, 23, 59, 59, 500)), "19691231235959") << zone;
  }
}

TEST(Dates, LocalPatternsFollowTheZone) {
  const Date instant = utc(2024, 1, 31, 23, 59, 59, 123);
  struct Case {
    const char* zone;
    const char* debugStamp;  // yyyy-MM-dd'T'HH:mm:ssZZZZZ
    const char* iso;         // yyyy-MM-dd'T'HH:mm:ssZZZ
  } cases[] = {
      {"JST-9", "2024-02-01T08:59:59+09:00", "2024-02-01T08:59:59+0900"},
      {"PST8", "2024-01-31T15:59:59-08:00", "2024-01-31T15:59:59-0800"},
      {"IST-5:30", "2024-02-01T05:29:59+05:30", "2024-02-01T05:29:59+0530"},
      {"UTC0", "2024-01-31T23:59:59Z", "2024-01-31T23:59:59+0000"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone tz(c.zone);
    EXPECT_EQ(formatDate(instant, "yyyy-MM-dd'T'HH:mm:ssZZZZZ", DateZone::Local), c.debugStamp);
    EXPECT_EQ(formatDate(instant, "yyyy-MM-dd'T'HH:mm:ssZZZ", DateZone::Local), c.iso);
  }
  EXPECT_EQ(formatDate(instant, "yyyyMMddHHmmssSSS", DateZone::UTC), "20240131235959123");
}

TEST(Dates, ISOParsingRules) {
  const Date expected = utc(2024, 1, 31, 14, 59, 59);
  struct Case {
    nlohmann::json input;
    std::optional<Date> want;
  } cases[] = {
      {"2024-01-31T23:59:59+0900", expected},
      {"2024-01-31T23:59:59+09:00", expected},  // colon in the offset is read too
      {"2024-01-31T14:59:59", expected},        // no offset: UTC
      {"2024-01-31T14:59:59+0000", expected},
      {"2024-01-31T20:29:59+0530", expected},
      {"2024-01-31T09:59:59-0500", std::nullopt},  // "+0000" appended: no longer matches
      {"2024-01-31T14:59:59Z", std::nullopt},
      {"2024-01-31T14:59:59.250+0000", std::nullopt},
      {"2024-02-30T00:00:00+0000", std::nullopt},
      {"2024-01-31T24:00:00+0000", std::nullopt},
      {"2024-1-31T14:59:59+0000", std::nullopt},
      {"2024-01-31 14:59:59+0000", std::nullopt},
      {"2024-01-31T14:59:59+0000 ", std::nullopt},
      {"2024-01-31T14:59:59+09", std::nullopt},
      {"", std::nullopt},
      {nullptr, std::nullopt},
      {1706713199, std::nullopt},
      {nlohmann::json::array({"2024-01-31T14:59:59"}), std::nullopt},
  };
  for (const char* zone : kivo::test::kTestZones) {
    ScopedTimeZone tz(zone);
    for (const auto& c : cases) EXPECT_EQ(dateFromISOFormat(c.input), c.want) << c.input.dump() << " in " << zone;
  }
}

TEST(Dates, LocalISOStampsReadBackExactlyEastOfUTC) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<int64_t> seconds(-2000000000, 4000000000);
  for (const char* zone : {"JST-9", "IST-5:30", "UTC0", "PST8"}) {
    ScopedTimeZone tz(zone);
    for (int i = 0; i < 500; ++i) {
      Date date{std::chrono::seconds(seconds(random))};
      std::string text = formatDate(date, "yyyy-MM-dd'T'HH:mm:ssZZZ", DateZone::Local);
      if (std::string(zone) == "PST8")
        EXPECT_EQ(dateFromISOFormat(text), std::nullopt) << text;  // negative offsets never parse
      else
        EXPECT_EQ(dateFromISOFormat(text), date) << text;
    }
  }
}

}  // namespace

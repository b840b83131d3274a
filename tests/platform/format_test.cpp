#include "kivo/format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <locale>
#include <optional>

namespace {

using kivo::format;

TEST(Format, DirectivesRenderLikePrintfInTheCLocale) {
  struct Case {
    std::string got;
    std::string want;
  };
  const std::optional<std::string> none;
  const Case cases[] = {
      {format("KIVOError: Posting error code %d reason [%@]", 501, std::string("queue start")),
       "KIVOError: Posting error code 501 reason [queue start]"},
      {format("%ld|%lu|%u|%lld", -7L, 7UL, 4000000000U, -9000000000LL), "-7|7|4000000000|-9000000000"},
      {format("%.2f|%f|%1.8lf", 3.14159, 0.5, -12.25), "3.14|0.500000|-12.25000000"},
      {format("%5d|%-5d|%05d|%+d|%x|%X|%o", 42, 42, -42, 42, 255, 255, 8), "   42|42   |-0042|+42|ff|FF|10"},
      {format("%e|%g|%G", 12345.678, 0.0001, 1e20), "1.234568e+04|0.0001|1E+20"},
      {format("%@ and %s", "text", std::string_view("view")), "text and view"},
      {format("%@|%@|%@", nlohmann::json{{"a", 1}}, nlohmann::json("plain"), nlohmann::json()),
       "{\"a\":1}|plain|(null)"},
      {format("%@|%@|%@", none, std::optional<int>(3), true), "(null)|3|YES"},
      {format("%.3s|%6s|%-6s|", "abcdef", "ab", "ab"), "abc|    ab|ab    |"},
      {format("%c%c", 'o', 'k'), "ok"},
      {format("100%% sure"), "100% sure"},
      {format("%d apples", 2.9), "2 apples"},          // a real under %d is truncated
      {format("%.1f", 3), "3.0"},                      // an integer under %f prints as a real
      {format("%d", "text"), "text"},                  // text under a numeric conversion stays text
      {format("missing [%d] [%@]", 1), "missing [1] []"},
      {format("surplus %d", 1, 2, 3), "surplus 1"},
      {format("odd %k and trailing %", 1), "odd %k and trailing %"},
      {format("%d|%u", INT64_MIN, UINT64_MAX), "-9223372036854775808|18446744073709551615"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

// Wide renderings agree with the C library's, however many digits they take.
TEST(Format, WideRealsMatchSnprintf) {
  for (const char* directive : {"%.300f", "%.17e", "%400.2f", "%.200g"}) {
    for (double value : {1e300, -1e-300, 0.1, 123456789.0}) {
      char want[2048];
      std::snprintf(want, sizeof want, directive, value);
      EXPECT_EQ(format(directive, value), want) << directive << " of " << value;
    }
  }
}

struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(Format, IgnoresTheHostsGlobalLocale) {
  std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  std::string got = format("%1.8lf,%1.8lf %d", 35.5, 139.25, 1234567);
  std::locale::global(previous);
  EXPECT_EQ(got, "35.50000000,139.25000000 1234567");
}

}  // namespace

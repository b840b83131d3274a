#include "kivo/match_result.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

using kivo::KIVOMatchResult;

TEST(MatchResultType, MapsExactStringsOnly) {
  const std::pair<std::optional<std::string_view>, int> cases[] = {
      {"cf", 2}, {"pg", 4}, {"CF", 0}, {"cf ", 0}, {"", 0}, {std::nullopt, 0}};
  for (const auto& [text, number] : cases) EXPECT_EQ(kivo::KIVOMatchResultTypeFromString(text), number);
  EXPECT_EQ(kivo::NSStringFromKIVOMatchResultType(2), "cf");
  EXPECT_EQ(kivo::NSStringFromKIVOMatchResultType(4), "pg");
  EXPECT_EQ(kivo::NSStringFromKIVOMatchResultType(1), std::nullopt);
  EXPECT_EQ(kivo::NSStringFromKIVOMatchResultType(0), std::nullopt);
}

TEST(MatchResult, DescriptionIsFixedWhateverTheLocale) {
  auto metadata = std::make_shared<const nlohmann::json>(nlohmann::json{{"type", "cf"}, {"title", "Song"}});
  const KIVOMatchResult result("m1", 1.234, 1500, 30.0, metadata);
  EXPECT_EQ(result.type(), 0);  // not derived from the metadata
  EXPECT_EQ(result.metadata()["title"], "Song");
  EXPECT_EQ(result.description(), "<KIVOMatchResult m1 score 1.23 position 1500 / 30.000000>");
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    EXPECT_EQ(result.description(), "<KIVOMatchResult m1 score 1.23 position 1500 / 30.000000>");
    std::setlocale(LC_NUMERIC, "C");
  }
  EXPECT_TRUE(KIVOMatchResult("x", 0, 0, 0, nullptr).metadata().empty());
}

TEST(DOAFPModel, DescriptionNamesTypeChannelAndScore) {
  kivo::DOAFPModel model;
  model.type = "cf";
  model.score = 0.5;
  EXPECT_EQ(model.description(), "<DOAFPModel cf channel:(null)> score:0.500000");
  model.channel = "ch7";
  EXPECT_EQ(model.description(), "<DOAFPModel cf channel:ch7> score:0.500000");
  const kivo::DODetectorModel detector;
  EXPECT_FALSE(detector.event);
  EXPECT_FALSE(detector.title.has_value());
}

}  // namespace

#include "platform/json_depth.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JsonDepth, CountsNestingOutsideStringsOnly) {
  struct Case {
    std::string text;
    size_t depth;  // the least bound the text passes
  } cases[] = {
      {"", 0},
      {"42", 0},
      {"[]", 1},
      {R"({"a": [1, {"b": []}], "c": {}})", 4},
      {R"(["[[[", "{{", "]]]"])", 1},
      {R"(["\"[[", "\\", [[]]])", 3},
      {"]]]]{", 1},  // closing more than was opened never counts below zero
      {std::string(128, '[') + std::string(128, ']'), 128},
      {std::string(100000, '{'), 100000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_TRUE(kivo::jsonDepthWithin(c.text, c.depth));
    if (c.depth > 0) {
      EXPECT_FALSE(kivo::jsonDepthWithin(c.text, c.depth - 1));
    }
  }
  EXPECT_TRUE(kivo::jsonDepthWithin(std::string(128, '[')));
  EXPECT_FALSE(kivo::jsonDepthWithin(std::string(129, '[')));
}

}  // namespace

#include "platform/assert.h"

#include <gtest/gtest.h>

namespace {

int checkedHalf(int n) {
  KIVO_ASSERT("matcher", n % 2 == 0);
  return n / 2;
}

TEST(AssertDeathTest, BrokenPreconditionNamesFunctionModuleAndCondition) {
  EXPECT_EQ(checkedHalf(4), 2);
  EXPECT_DEATH(checkedHalf(3), "Assertion failed: \\(n % 2 == 0\\), function checkedHalf, file matcher\\.");
}

}  // namespace

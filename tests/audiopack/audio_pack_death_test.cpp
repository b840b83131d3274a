#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/db_helpers.h"
#include "kivo/audio_pack.h"

namespace {

using kivo::test::ScopedDB;

std::string report(const std::string& condition, const std::string& function) {
  const std::string text = "Assertion failed: (" + condition + "), function " + function + ", file audio_pack.";
  std::string pattern;
  for (const char c : text) {
    if (std::string("()[].*+?{}|^$\\").find(c) != std::string::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

int noWrite(const void*, int count, void*) { return count; }
int noRead(void*, int, void*) { return 0; }

TEST(AudioPackDeathTest, BrokenPreconditionsStopWithFunctionFileAndCondition) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* condition;
    const char* function;
    std::function<void()> misuse;
  };
  const Case cases[] = {
      {"op == APACK_OP_ADD || op == APACK_OP_DEL_IF_ANY || op == APACK_OP_TEST_MATCH", "apack_dump",
       [] {
         ScopedDB t;
         apack_dump(&t.db, 0x62, noWrite, nullptr);
       }},
      {"db != NULL", "apack_dump", [] { apack_dump(nullptr, APACK_OP_ADD, noWrite, nullptr); }},
      {"write != NULL", "apack_dump",
       [] {
         ScopedDB t;
         apack_dump(&t.db, APACK_OP_ADD, nullptr, nullptr);
       }},
      {"db != NULL", "apack_load", [] { apack_load(nullptr, noRead, nullptr); }},
      {"read != NULL", "apack_load",
       [] {
         ScopedDB t;
         apack_load(&t.db, nullptr, nullptr);
       }},
      {"data != NULL || length <= 0", "apack_load_from_string",
       [] {
         ScopedDB t;
         apack_load_from_string(&t.db, nullptr, 4);
       }},
      {"data != NULL || length <= 0", "adler32", [] { adler32(nullptr, 1); }},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(c.misuse(), report(c.condition, c.function)) << c.function;
  }
}

}  // namespace

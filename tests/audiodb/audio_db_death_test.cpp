#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/db_helpers.h"
#include "kivo/audio_db.h"

namespace {

using kivo::test::fill;

// The exact report of a failed assertion in audio_db, as a regular expression.
std::string report(const std::string& condition, const std::string& function) {
  std::string text = "Assertion failed: (" + condition + "), function " + function + ", file audio_db.";
  std::string pattern;
  for (const char c : text) {
    if (std::string("()[].*+?{}|^$\\").find(c) != std::string::npos) {
      pattern += '\\';
    }
    pattern += c;
  }
  return pattern;
}

TEST(AudioDBDeathTest, BrokenPreconditionsStopWithFunctionFileAndCondition) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* condition;
    const char* function;
    std::function<void()> misuse;
  };
  const Case cases[] = {
      {"db != NULL", "adb_init", [] { adb_init(nullptr); }},
      {"other != NULL", "hstr_eq",
       [] {
         const HashedStr h = hstr_from_str("a");
         hstr_eq(&h, nullptr);
       }},
      {"entry != NULL", "adb_entry_init_buffer", [] { adb_entry_init_buffer(nullptr, "x", 1); }},
      {"rdr != NULL && rdr->db != NULL", "adb_reader_restart",
       [] {
         AudioDB db;
         adb_init(&db);
         AudioReader rdr;
         adb_reader_start(&rdr, &db);
         adb_reader_end(&rdr);
         adb_reader_restart(&rdr);
       }},
      {"wrr != NULL && wrr->db != NULL && !wrr->swapped", "adb_writer_swap",
       [] {
         AudioDB db;
         adb_init(&db);
         AudioWriter wrr;
         adb_writer_start(&wrr, &db);
         adb_writer_swap(&wrr);
         adb_writer_swap(&wrr);
       }},
      {"wrr != NULL && !wrr->swapped", "adb_writer_set_head_preswap",
       [] {
         AudioDB db;
         adb_init(&db);
         AudioWriter wrr;
         adb_writer_start(&wrr, &db);
         adb_writer_swap(&wrr);
         adb_writer_set_head_preswap(&wrr, nullptr);
       }},
      {"wrr != NULL && wrr->db != NULL && wrr->swapped", "adb_add_postswap",
       [] {
         AudioDB db;
         adb_init(&db);
         AudioWriter wrr;
         adb_writer_start(&wrr, &db);
         AudioEntry e;
         adb_entry_init(&e, 0);
         AudioAddCtx ctx;
         adb_add_preswap(&ctx, &wrr, &e);
         adb_add_postswap(&ctx);
       }},
      {"cur != NULL", "adb_delete_preswap",
       [] {
         AudioDB db;
         adb_init(&db);
         AudioWriter wrr;
         adb_writer_start(&wrr, &db);
         AudioChangeCtx ctx;
         adb_delete_preswap(&ctx, &wrr, nullptr);
       }},
      {"cur != NULL", "adb_replace_get_copy",
       [] {
         AudioDB db;
         adb_init(&db);
         fill(&db, {"only"});
         AudioWriter wrr;
         adb_writer_start(&wrr, &db);
         AudioEntry copy;
         adb_replace_get_copy(&wrr, &copy, adb_writer_get_head(&wrr));
       }},
      {"cur->next[0] == cur->next[1]", "adb_free",
       [] {
         AudioDB db;
         adb_init(&db);
         fill(&db, {"a", "b"});
         AudioWriter wrr;
         adb_writer_start(&wrr, &db);
         AudioChangeCtx ctx;
         adb_delete_preswap(&ctx, &wrr, adb_writer_get_head(&wrr));
         adb_writer_end(&wrr);  // edits made but never swapped
         adb_free(&db);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    EXPECT_DEATH(c.misuse(), report(c.condition, c.function));
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/matcher.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

// Database entries in list order, read once.
std::vector<const AudioEntry*> entries_of(AudioDB* db) {
  std::vector<const AudioEntry*> entries;
  ScopedReader reader(db);
  while (const AudioEntry* e = adb_reader_next(reader.get())) entries.push_back(e);
  return entries;
}

TEST(ConfirmTest, BestWithinBoundAndClearOfTheRunnerUp) {
  TestDB db;
  db.add({{"x", {1}}, {"y", {2}}});
  const std::vector<const AudioEntry*> e = entries_of(db.get());
  const int length = 48;  // h = 24
  struct Case {
    const char* what;
    std::vector<std::pair<int64_t, int>> items;  // score, entry index
    int64_t a, b;
    int expected;
  } cases[] = {
      {"empty list", {}, 100, 1, 0},
      {"best above h * a", {{25, 0}}, 1, -1, 0},
      {"best at h * a, no margin asked", {{24, 0}, {24, 1}}, 1, -1, 1},
      {"only one entry", {{10, 0}, {11, 0}}, 1, 5, 1},
      {"runner-up clear by more than h * b", {{10, 0}, {11, 0}, {59, 1}}, 1, 2, 1},
      {"runner-up at exactly h * b", {{10, 0}, {58, 1}}, 1, 2, 0},
      {"margin overflow counts as clear", {{-10, 0}, {INT64_MAX, 1}}, 1, 2, 1},
      {"huge bound saturates", {{INT64_MAX - 1, 0}}, INT64_MAX, -1, 1},
  };
  for (const Case& c : cases) {
    CandidateList list(10);
    for (const auto& [score, index] : c.items) check_candidates(list.get(), 10, score, 0, e[static_cast<size_t>(index)]);
    EXPECT_EQ(confirm_result_from_candidates(length, list.get(), c.a, c.b), c.expected) << c.what;
  }
}

TEST(ConfirmTest, OwnedCopiesAllCountAsOtherEntries) {
  TestDB db;
  db.add({{"x", {1}}});
  const std::vector<const AudioEntry*> e = entries_of(db.get());
  CandidateList list(10);
  check_candidates(list.get(), 10, 20, 0, e[0]);
  check_candidates(list.get(), 10, 10, 0, e[0]);
  EXPECT_EQ(confirm_result_from_candidates(2, list.get(), 100, 5), 1);  // no other entry
  own_candidates(list.get());
  EXPECT_EQ(confirm_result_from_candidates(2, list.get(), 100, 5), 1);   // 20 - 10 > 5
  EXPECT_EQ(confirm_result_from_candidates(2, list.get(), 100, 10), 0);  // not more than 10
}

TEST(CorrelationTest, SizeCountsPairs) {
  TestDB db;
  db.add({{"x", {1}}});
  const AudioEntry* e = entries_of(db.get())[0];
  const size_t expected[] = {0, 0, 1, 3, 6, 10};
  CandidateList list(10);
  for (size_t n = 0; n < 6; ++n) {
    EXPECT_EQ(correlation_size(list.get()), expected[n]) << n;
    check_candidates(list.get(), 10, static_cast<int64_t>(n), 0, e);
  }
}

TEST(CorrelationTest, PairsAreMeanDifferingBitsPerStep) {
  // Words with 0, 4 and 12 low bits set: pairwise 4, 12 and 8 differing bits per word.
  TestDB db;
  db.add({{"zero", std::vector<uint64_t>(10, 0)},
          {"four", std::vector<uint64_t>(10, 0xF)},
          {"twelve", std::vector<uint64_t>(12, 0xFFF)},
          {"short", std::vector<uint64_t>(5, 0)}});
  const std::vector<const AudioEntry*> e = entries_of(db.get());
  const struct {
    std::vector<int> entries;
    int length;
    std::vector<uint8_t> bytes;
    uint64_t counted;
  } cases[] = {
      // (1,0), (2,0), (2,1): 10 words of 4 bits over 5 steps gives 8.
      {{0, 1, 2}, 10, {8, 24, 16}, 30},
      // A buffer shorter than the length writes 0xFF and counts nothing.
      {{0, 1, 3}, 10, {8, 0xFF, 0xFF}, 10},
      // One word is no whole step: 0.
      {{2, 1}, 1, {0}, 1},
      {{0}, 10, {}, 0},
  };
  for (const auto& c : cases) {
    CandidateList list(10);
    int64_t score = 0;
    for (int index : c.entries) check_candidates(list.get(), 10, --score, 0, e[static_cast<size_t>(index)]);
    // Later offers of lower scores come first, so items follow c.entries reversed; undo that.
    std::vector<Candidate> items((*list).items, (*list).items + (*list).count);
    std::reverse(items.begin(), items.end());
    std::copy(items.begin(), items.end(), list.get()->items);
    std::vector<uint8_t> out(correlation_size(list.get()), 0x55);
    uint64_t counter = 0;
    ScopedReader reader(db.get());
    cross_correlate(reader.get(), list.get(), c.length, out.data(), &counter);
    EXPECT_EQ(out, c.bytes);
    EXPECT_EQ(counter, c.counted);
  }
}

// Owned copies get their buffers back by name, one candidate per database entry.
TEST(CorrelationTest, OwnedCandidatesFindBuffersByName) {
  TestDB db;
  db.add({{"zero", std::vector<uint64_t>(10, 0)}, {"four", std::vector<uint64_t>(10, 0xF)}});
  const std::vector<const AudioEntry*> e = entries_of(db.get());
  CandidateList list(10);
  check_candidates(list.get(), 10, 3, 0, e[0]);
  check_candidates(list.get(), 10, 2, 0, e[0]);
  check_candidates(list.get(), 10, 1, 0, e[1]);  // items: four, zero, zero
  own_candidates(list.get());
  std::vector<uint8_t> out(3);
  uint64_t counter = 0;
  {
    ScopedReader reader(db.get());
    cross_correlate(reader.get(), list.get(), 10, out.data(), &counter);
  }
  EXPECT_EQ(out, (std::vector<uint8_t>{8, 0xFF, 0xFF}));
  EXPECT_EQ(counter, 10u);
  cross_correlate(nullptr, list.get(), 10, out.data(), nullptr);
  EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace kivo::test

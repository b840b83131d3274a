#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "audiodb/matcher_internal.h"
#include "kivo/bit_score.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

constexpr uint64_t kA = KIVO_SCORE_WEIGHT_A;
constexpr uint64_t kB = 1ULL << 24;

std::vector<uint64_t> slice(const std::vector<uint64_t>& words, size_t from, size_t count) {
  return std::vector<uint64_t>(words.begin() + static_cast<long>(from), words.begin() + static_cast<long>(from + count));
}

// Every known-answer case runs on each scan kernel of this processor.
class SearchTest : public ::testing::TestWithParam<const scan::Kernel*> {
 protected:
  struct Outcome {
    std::vector<CandidateView> candidates;
    MatchStats stats{};
  };

  Outcome run(const std::vector<uint64_t>& query, uint32_t max_count = 10) {
    CandidateList result(max_count);
    Outcome out;
    scan::match_on(GetParam(), db.get(), query.data(), static_cast<int>(query.size()), result.get(), max_count,
                   &out.stats);
    out.candidates = view(*result, false);
    return out;
  }

  TestDB db;
  std::mt19937_64 rng{99};
};

TEST_P(SearchTest, CutQueryIsFoundAtItsEntryAndStepWithScoreZero) {
  std::vector<std::vector<uint64_t>> words;
  std::vector<TestEntry> entries;
  for (int i = 0; i < 5; ++i) {
    words.push_back(random_words(rng, 2000));
    entries.push_back({"media" + std::to_string(i), words.back(), static_cast<uint8_t>(i % 3)});
  }
  db.add(entries);
  for (size_t step : {0, 1, 2, 16, 37, 976}) {
    const Outcome out = run(slice(words[3], 2 * step, 48));
    ASSERT_FALSE(out.candidates.empty());
    EXPECT_EQ(out.candidates[0].name, "media3") << step;
    EXPECT_EQ(out.candidates[0].score, 0) << step;
    EXPECT_EQ(out.candidates[0].position, step * 1000 / 16) << step;
    EXPECT_EQ(out.candidates[0].size, 16000u);
  }
}

TEST_P(SearchTest, StepsAreReportedInMilliseconds) {
  const std::vector<uint64_t> words = random_words(rng, 200);
  db.add({{"clip", words}});
  const struct {
    size_t step;
    uint64_t ms;
  } cases[] = {{0, 0}, {1, 62}, {2, 125}, {16, 1000}, {75, 4687}};
  for (const auto& c : cases) EXPECT_EQ(run(slice(words, 2 * c.step, 48)).candidates.at(0).position, c.ms);
}

TEST_P(SearchTest, FlippedBitsScoreByTheirWeights) {
  const std::vector<uint64_t> words = random_words(rng, 600);
  db.add({{"clip", words}, {"other", random_words(rng, 600)}});
  std::vector<uint64_t> query = slice(words, 2 * 100, 48);
  // Set 5 query bits the reference lacks (A) in words 1, 6, ..., 21 and clear 3 it has (B) in
  // words 3, 8, 13: the lowest clear or set bit of each.
  for (size_t w = 1; w <= 21; w += 5) query[w] |= ~query[w] & (query[w] + 1);
  for (size_t w = 3; w <= 13; w += 5) query[w] &= query[w] - 1;
  const Outcome out = run(query);
  EXPECT_EQ(out.candidates.at(0).name, "clip");
  EXPECT_EQ(out.candidates.at(0).position, 6250u);
  EXPECT_EQ(static_cast<uint64_t>(out.candidates.at(0).score), 3 * kB + 5 * kA);
}

TEST_P(SearchTest, EntryAsLongAsTheQueryHasOneAlignment) {
  const std::vector<uint64_t> words = random_words(rng, 48);
  db.add({{"exact", words}});
  const Outcome out = run(words);
  ASSERT_EQ(out.candidates.size(), 1u);
  EXPECT_EQ(out.candidates[0].position, 0u);
  EXPECT_EQ(out.candidates[0].score, 0);
  EXPECT_EQ(out.stats.compared, 8u + 48u);  // quick: 8 words, full: the whole query
  EXPECT_EQ(out.stats.scanned, 2u * 48 * 8);
}

// A query under 8 words is scored in full by the quick stage; shorter entries and masks above 4
// are not scored, and only the former count as scanned.
TEST_P(SearchTest, ShortQueryCountsEveryWordOfEveryAlignment) {
  const std::vector<uint64_t> words = random_words(rng, 100);
  db.add({{"long", words, 1}, {"short", random_words(rng, 3), 0}, {"foreign", words, 9}, {"odd", words, 2, 5}});
  const std::vector<uint64_t> query = slice(words, 10, 4);
  CandidateList quick(10);
  MatchStats stats{};
  ScopedReader reader(db.get());
  scan::match_quick_on(GetParam(), reader.get(), query.data(), 4, quick.get(), 10, nullptr, &stats);
  // "long" and "odd" have 100 whole words: offsets 0, 2, ..., 96.
  EXPECT_EQ(stats.compared, 2u * 49 * 4);
  EXPECT_EQ(stats.scanned, 800u + 24u + 805u);
  ASSERT_GT((*quick).count, 0);
  EXPECT_EQ((*quick).items[0].score, 0);
  for (int i = 0; i < (*quick).count; ++i) {
    const Candidate& c = (*quick).items[i];
    const uint64_t offset = (c.position * 16 + 999) / 1000 * 2;  // step k reports floor(62.5 k) ms
    const uint64_t* ref = reinterpret_cast<const uint64_t*>(c.entry->buffer) + offset;
    EXPECT_EQ(static_cast<uint64_t>(c.score), block_score(query.data(), ref, 4));
    EXPECT_NE(std::string(c.entry->name.str), "foreign");
  }
}

TEST_P(SearchTest, FilterPassesByNameAndByMaskBits) {
  const std::vector<uint64_t> words = random_words(rng, 300);
  db.add({{"a", words, 1}, {"b", words, 2}, {"c", words, 3}, {"d", words, 4}});
  const std::vector<uint64_t> query = slice(words, 20, 48);
  const struct {
    AudioFilter filter;
    std::vector<std::string> names;
  } cases[] = {
      {{0, "b"}, {"b"}},
      {{2, nullptr}, {"b", "c"}},
      {{5, nullptr}, {"a", "c", "d"}},
      {{1, "b"}, {}},
      {{0, "zz"}, {}},
  };
  for (const auto& c : cases) {
    CandidateList quick(30);
    ScopedReader reader(db.get());
    scan::match_quick_on(GetParam(), reader.get(), query.data(), 48, quick.get(), 30, &c.filter, nullptr);
    std::vector<std::string> names;
    for (const CandidateView& v : view(*quick, false)) {
      if (v.score == 0) names.push_back(v.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.names) << c.filter.mask;
  }
}

// Masks above 4 cannot index a threshold: such entries are skipped by both stages, even when they
// carry the name of a candidate's entry.
TEST_P(SearchTest, EntriesWithMaskAboveFourAreSkipped) {
  const std::vector<uint64_t> words = random_words(rng, 400);
  std::vector<uint64_t> noisy = words;
  for (size_t i = 0; i < noisy.size(); i += 3) noisy[i] ^= 0x11;
  db.add({{"x", words, 9}, {"x", noisy, 1}, {"y", words, 255}, {"z", words, 5}});
  const Outcome out = run(slice(words, 40, 48));
  ASSERT_FALSE(out.candidates.empty());
  for (const CandidateView& c : out.candidates) EXPECT_EQ(c.mask, 1u) << c.name;
  EXPECT_EQ(out.candidates[0].position, 1250u);
  EXPECT_EQ(out.stats.scanned, 2u * 3200);  // only the mask-1 entry, once per stage
}

// The full stage scans every entry of a candidate's name, however many share it.
TEST_P(SearchTest, FullStageScansEveryEntryOfARepeatedName) {
  const std::vector<uint64_t> query = random_words(rng, 48);
  std::vector<uint64_t> longer = random_words(rng, 200);
  std::copy(query.begin(), query.end(), longer.begin() + 6);  // step 3
  db.add({{"x", query, 1}, {"x", longer, 2}, {"y", random_words(rng, 200), 2}});
  ScopedReader reader(db.get());
  CandidateList quick(10);
  const AudioFilter only_mask1 = {1, nullptr};
  scan::match_quick_on(GetParam(), reader.get(), query.data(), 48, quick.get(), 10, &only_mask1, nullptr);
  ASSERT_EQ((*quick).count, 1);  // the one alignment of the first "x"
  CandidateList result(10);
  MatchStats stats{};
  scan::match_full_on(GetParam(), reader.get(), query.data(), 48, quick.get(), result.get(), 10, &stats);
  const std::vector<CandidateView> found = view(*result, false);
  ASSERT_GE(found.size(), 2u);
  // Both entries named "x" score 0; the later one in list order was offered last and leads.
  EXPECT_EQ(found[0].score, 0);
  EXPECT_EQ(found[0].position, 187u);
  EXPECT_EQ(found[0].mask, 2u);
  EXPECT_EQ(found[1].score, 0);
  EXPECT_EQ(found[1].mask, 1u);
  EXPECT_EQ(stats.scanned, 48u * 8 + 200u * 8);
}

// With no threshold yet, a long block rejected by its pruning measure returns the rejected score,
// which must not be taken for a score within the open threshold.
TEST_P(SearchTest, RejectedScoreIsNeverAdmitted) {
  // All-ones queries against silence of the same length: one alignment, measure 72 per word
  // against the open limit 1048575.
  const struct {
    size_t words;
    bool found;
  } cases[] = {{14000, true}, {15000, false}};
  for (const auto& c : cases) {
    TestDB silence;
    silence.add({{"silence", std::vector<uint64_t>(c.words, 0)}});
    const std::vector<uint64_t> query(c.words, ~0ULL);
    CandidateList result(10);
    scan::match_on(GetParam(), silence.get(), query.data(), static_cast<int>(c.words), result.get(), 10, nullptr);
    ASSERT_EQ((*result).count, c.found ? 1 : 0) << c.words;
    if (c.found) {
      EXPECT_EQ(static_cast<uint64_t>((*result).items[0].score), c.words * 64 * kA);
    }
  }
}

TEST_P(SearchTest, NothingToFindLeavesTheResultEmpty) {
  const std::vector<uint64_t> query = random_words(rng, 48);
  EXPECT_TRUE(run(query).candidates.empty());  // empty database
  db.add({{"short", random_words(rng, 47)}, {"none", {}}});
  const Outcome out = run(query);
  EXPECT_TRUE(out.candidates.empty());
  EXPECT_EQ(out.stats.compared, 0u);
  EXPECT_EQ(out.stats.scanned, 47u * 8);  // shorter entries still count as scanned
  EXPECT_TRUE(run({}).candidates.empty());
}

// An entry whose buffer was freed keeps its size: it is counted as scanned but never read.
TEST_P(SearchTest, EntryWithoutBufferIsNotRead) {
  const std::vector<uint64_t> words = random_words(rng, 200);
  db.add({{"freed", words}, {"kept", words}});
  {
    ScopedReader reader(db.get());
    adb_entry_reset_buffer(const_cast<AudioEntry*>(adb_reader_next(reader.get())));
  }
  const Outcome out = run(slice(words, 20, 48));
  ASSERT_FALSE(out.candidates.empty());
  for (const CandidateView& c : out.candidates) EXPECT_EQ(c.name, "kept");
  EXPECT_EQ(out.stats.scanned, 1600u + 1600u + 1600u);  // both in the quick stage, "kept" in the full
}

INSTANTIATE_TEST_SUITE_P(Kernels, SearchTest, ::testing::ValuesIn(available_kernels()),
                         [](const auto& test) { return std::string(path_name(test.param->path)); });

TEST(SearchPositionTest, PositionsPastFourBillionMillisecondsDoNotWrap) {
  // 4294970 steps is about 74.6 hours, past the range of 32-bit milliseconds.
  constexpr size_t kStep = 4294970;
  std::mt19937_64 rng(5);
  std::vector<uint64_t> words = random_words(rng, 2 * kStep + 48);
  TestDB db;
  db.add({{"marathon", words}});
  words.clear();
  std::vector<uint64_t> query(48);
  {
    ScopedReader reader(db.get());
    const AudioEntry* entry = adb_reader_next(reader.get());
    const uint64_t* ref = reinterpret_cast<const uint64_t*>(entry->buffer);
    std::copy(ref + 2 * kStep, ref + 2 * kStep + 48, query.begin());
  }
  CandidateList result(10);
  match(db.get(), query.data(), 48, result.get(), 10, nullptr);
  ASSERT_GT((*result).count, 0);
  EXPECT_EQ((*result).items[0].score, 0);
  EXPECT_EQ((*result).items[0].position, 268435625u);  // 4294970 * 1000 / 16
}

TEST(SearchOwnershipTest, ResultsOutliveTheirEntries) {
  std::mt19937_64 rng(11);
  const std::vector<uint64_t> words = random_words(rng, 500);
  TestDB db;
  db.add({{"gone", words, 2}, {"kept", random_words(rng, 500)}});
  CandidateList result(10);
  match(db.get(), words.data() + 8, 48, result.get(), 10, nullptr);
  db.remove("gone");
  db.remove("kept");
  ASSERT_GT((*result).count, 0);
  for (int i = 0; i < (*result).count; ++i) EXPECT_EQ((*result).items[i].owned, 1u);
  EXPECT_STREQ((*result).items[0].entry->name.str, "gone");
  EXPECT_EQ((*result).items[0].entry->mask, 2u);
  EXPECT_EQ((*result).items[0].position, 250u);
}

TEST(SearchDeathTest, PreconditionsNameTheMatcher) {
  TestDB db;
  const uint64_t word = 0;
  Candidates result;
  init_candidates(&result, 4);
  EXPECT_DEATH(match(db.get(), nullptr, 8, &result, 4, nullptr),
               "Assertion failed: \\(query != NULL \\|\\| length < 1\\), function match, file matcher\\.");
  EXPECT_DEATH(match(db.get(), &word, 1, &result, 0, nullptr),
               "Assertion failed: \\(max_count > 0\\), function match, file matcher\\.");
  free_candidates(&result);
}

}  // namespace
}  // namespace kivo::test

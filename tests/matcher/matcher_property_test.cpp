// The optimised search against the reference stages, on random databases and queries, for every
// scan kernel of this processor: candidate lists (scores, positions, sizes, entries, order),
// thresholds and statistics must be identical.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "audiodb/matcher_internal.h"
#include "kivo/bit_score.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

constexpr int kSeeds = 400;

struct Scenario {
  std::vector<TestEntry> entries;
  std::vector<std::vector<uint64_t>> queries;
  uint32_t max_count;
  AudioFilter filter;
};

// Word styles that give unique scores, near ties and exact ties.
std::vector<uint64_t> styled_words(std::mt19937_64& rng, int style, size_t count) {
  const uint64_t alphabet[4] = {rng(), rng(), rng(), rng()};
  std::vector<uint64_t> words(count);
  for (uint64_t& w : words) {
    switch (style) {
      case 0:
        w = rng();
        break;
      case 1:
        w = rng() & rng() & rng();
        break;
      case 2:
        w = alphabet[rng() % 4];
        break;
      default:
        w = (rng() & 0xFF00FF00FF00FF00ULL) | 0x0101010101010101ULL;
        break;
    }
  }
  return words;
}

Scenario make_scenario(uint64_t seed) {
  std::mt19937_64 rng(seed);
  const int style = static_cast<int>(seed % 4);
  Scenario s;
  s.max_count = 1 + static_cast<uint32_t>(rng() % 12);
  static const char* const names[] = {"a", "b", "c", "d"};
  const int entries = 1 + static_cast<int>(rng() % 8);
  for (int i = 0; i < entries; ++i) {
    TestEntry e;
    const uint64_t pick = rng() % 10;
    if (pick < 6) {
      e.name = names[rng() % 4];  // repeated names
    } else if (pick < 9) {
      e.name = "unique" + std::to_string(i);
    }  // else unnamed
    const uint64_t length = rng() % 5 == 0 ? rng() % 60 : 60 + rng() % 500;
    e.words = styled_words(rng, style, length);
    e.mask = rng() % 12 == 0 ? static_cast<uint8_t>(5 + rng() % 251) : static_cast<uint8_t>(rng() % 5);
    e.extra_bytes = rng() % 6 == 0 ? 1 + rng() % 7 : 0;
    s.entries.push_back(std::move(e));
  }
  for (int q = 0; q < 3; ++q) {
    const int lengths[] = {1 + static_cast<int>(rng() % 7), 8, 9 + static_cast<int>(rng() % 60)};
    const size_t length = static_cast<size_t>(lengths[rng() % 3]);
    const TestEntry& source = s.entries[rng() % s.entries.size()];
    std::vector<uint64_t> query;
    if (rng() % 4 != 0 && source.words.size() >= length) {
      const size_t from = rng() % (source.words.size() - length + 1);
      query.assign(source.words.begin() + static_cast<long>(from),
                   source.words.begin() + static_cast<long>(from + length));
      const int flips = static_cast<int>(rng() % 20);
      for (int f = 0; f < flips; ++f) query[rng() % length] ^= 1ULL << (rng() % 64);
    } else {
      query = styled_words(rng, style, length);
    }
    s.queries.push_back(std::move(query));
  }
  s.filter = AudioFilter{rng() % 3 == 0 ? static_cast<uint32_t>(rng() % 8) : 0u,
                         rng() % 5 == 0 ? names[rng() % 4] : nullptr};
  return s;
}

void expect_same(const Candidates& got, const Candidates& want, bool with_entries, const std::string& where) {
  const std::vector<CandidateView> g = view(got, with_entries), w = view(want, with_entries);
  ASSERT_EQ(g, w) << where << "\n got  " << describe(g) << "\n want " << describe(w);
  ASSERT_EQ(thresholds(got), thresholds(want)) << where;
}

void expect_same_stats(const MatchStats& got, const MatchStats& want, const std::string& where) {
  ASSERT_EQ(got.compared, want.compared) << where;
  ASSERT_EQ(got.scanned, want.scanned) << where;
}

TEST(MatcherPropertyTest, OptimisedStagesReturnTheReferenceLists) {
  const std::vector<const scan::Kernel*> kernels = available_kernels();
  for (uint64_t seed = 0; seed < kSeeds; ++seed) {
    const Scenario s = make_scenario(seed);
    TestDB db;
    db.add(s.entries);
    for (size_t qi = 0; qi < s.queries.size(); ++qi) {
      const std::vector<uint64_t>& q = s.queries[qi];
      const int length = static_cast<int>(q.size());
      const uint32_t m = s.max_count;
      ScopedReader reader(db.get());

      CandidateList ref_quick(m), ref_filtered(m), ref_full(m), ref_whole(m);
      MatchStats ref_quick_stats{}, ref_filtered_stats{}, ref_full_stats{}, ref_whole_stats{};
      reference_match_quick(reader.get(), q.data(), length, ref_quick.get(), m, nullptr, &ref_quick_stats);
      reference_match_quick(reader.get(), q.data(), length, ref_filtered.get(), m, &s.filter, &ref_filtered_stats);
      reference_match_full(reader.get(), q.data(), length, ref_quick.get(), ref_full.get(), m, &ref_full_stats);
      reference_match(db.get(), q.data(), length, ref_whole.get(), m, &ref_whole_stats);

      for (const scan::Kernel* kernel : kernels) {
        const std::string where = "seed " + std::to_string(seed) + " query " + std::to_string(qi) + " (" +
                                  std::to_string(length) + " words, M " + std::to_string(m) + ") on " +
                                  path_name(kernel->path);
        CandidateList quick(m), filtered(m), full(m), whole(m);
        MatchStats quick_stats{}, filtered_stats{}, full_stats{}, whole_stats{};
        scan::match_quick_on(kernel, reader.get(), q.data(), length, quick.get(), m, nullptr, &quick_stats);
        expect_same(*quick, *ref_quick, true, "quick, " + where);
        expect_same_stats(quick_stats, ref_quick_stats, "quick, " + where);

        scan::match_quick_on(kernel, reader.get(), q.data(), length, filtered.get(), m, &s.filter, &filtered_stats);
        expect_same(*filtered, *ref_filtered, true, "filtered, " + where);
        expect_same_stats(filtered_stats, ref_filtered_stats, "filtered, " + where);

        scan::match_full_on(kernel, reader.get(), q.data(), length, ref_quick.get(), full.get(), m, &full_stats);
        expect_same(*full, *ref_full, true, "full, " + where);
        expect_same_stats(full_stats, ref_full_stats, "full, " + where);

        scan::match_on(kernel, db.get(), q.data(), length, whole.get(), m, &whole_stats);
        expect_same(*whole, *ref_whole, false, "match, " + where);
        expect_same_stats(whole_stats, ref_whole_stats, "match, " + where);
      }
    }
  }
}

// A vector kernel's scan against the scalar functions offset by offset: where it stops, the
// admitted offsets with their scores, and the words compared.
TEST(ScanKernelPropertyTest, ScansAgreeWithScalarScores) {
  std::mt19937_64 rng(31);
  for (const scan::Kernel* kernel : available_kernels()) {
    if (kernel->scan == nullptr) continue;
    const int lanes = kernel->lanes;
    for (int round = 0; round < 4000; ++round) {
      const int style = round % 4;
      // Mostly short scans; some cross the kernels' staging chunks or exceed their staged length.
      const int n = round % 5 == 0 ? 8 : round % 37 == 0 ? 250 + static_cast<int>(rng() % 20) : 1 + static_cast<int>(rng() % 70);
      const uint64_t batches = round % 11 == 0 ? 1 + rng() % 80 : 1 + rng() % 4;
      const std::vector<uint64_t> query = styled_words(rng, style, static_cast<size_t>(n));
      // Exactly the words a scan may read, so the address sanitizer sees any overread.
      const size_t size = static_cast<size_t>(2 * (lanes * batches - 1)) + static_cast<size_t>(n);
      std::vector<uint64_t> reference = styled_words(rng, style, size);
      if (rng() % 3 == 0) {
        std::copy(query.begin(), query.end(), reference.begin() + 2 * static_cast<long>(rng() % (lanes * batches)));
      }
      const int firsts[] = {0, n / 2, n};
      const int first = firsts[rng() % 3];
      const uint64_t full = block_score(query.data(), reference.data(), n);
      const uint64_t threshold = rng() % 10 == 0 ? KIVO_REJECTED_SCORE : rng() % (full + 2 * (1ULL << 24) + 1);
      const uint32_t limit = static_cast<uint32_t>(threshold >> 24);
      const int64_t bound = rng() % 2 == 0 ? static_cast<int64_t>(threshold) : static_cast<int64_t>(rng() % (full + 1));

      // Expected: scalar scores per offset, the first batch with an admitted offset.
      uint64_t want_stop = batches, want_compared = 0;
      scan::BatchHit want{};
      for (uint64_t b = 0; b < batches && want_stop == batches; ++b) {
        scan::BatchHit batch{};
        for (int j = 0; j < lanes; ++j) {
          const uint64_t* r = reference.data() + 2 * (static_cast<uint64_t>(lanes) * b + static_cast<uint64_t>(j));
          uint64_t words = 0, s;
          if (first == 0) {
            s = thresholded_block_score(query.data(), r, n, limit, &words);
          } else if (first < n) {
            s = semi_thresholded_block_score(query.data(), r, n, limit, &words);
          } else {
            s = block_score(query.data(), r, n);
            words = static_cast<uint64_t>(n);
          }
          batch.words[j] = words;
          batch.scores[j] = s;
          if (s < KIVO_REJECTED_SCORE && static_cast<int64_t>(s) <= bound) batch.admitted |= 1u << j;
        }
        if (batch.admitted != 0) {
          want_stop = b;
          want = batch;
        } else {
          for (int j = 0; j < lanes; ++j) want_compared += batch.words[j];
        }
      }

      uint64_t compared = 0;
      scan::BatchHit hit{};
      const uint64_t stop = kernel->scan(query.data(), reference.data(), n, first, limit, bound, batches, &compared, &hit);
      const std::string where = std::string(path_name(kernel->path)) + " round " + std::to_string(round) + " n " +
                                std::to_string(n) + " first " + std::to_string(first);
      ASSERT_EQ(stop, want_stop) << where;
      ASSERT_EQ(compared, want_compared) << where;
      if (stop == batches) continue;
      ASSERT_EQ(hit.admitted, want.admitted) << where;
      for (int j = 0; j < lanes; ++j) {
        if ((want.admitted >> j) & 1) {
          ASSERT_EQ(hit.scores[j], want.scores[j]) << where << " lane " << j;
        }
        ASSERT_EQ(hit.words[j], want.words[j]) << where << " lane " << j;
      }
    }
  }
}

}  // namespace
}  // namespace kivo::test

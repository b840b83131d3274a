// Searches running in parallel with each other and with a writer each see one consistent version
// of the database.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <random>
#include <thread>
#include <vector>

#include "kivo/matcher.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

std::vector<CandidateView> search(AudioDB* db, const std::vector<uint64_t>& query) {
  CandidateList result(10);
  match(db, query.data(), static_cast<int>(query.size()), result.get(), 10, nullptr);
  return view(*result, false);
}

TEST(MatcherConcurrencyTest, ParallelSearchesSeeWholeVersionsWhileAWriterWorks) {
  std::mt19937_64 rng(8);
  TestDB db;
  std::vector<TestEntry> entries;
  for (int i = 0; i < 6; ++i) {
    entries.push_back({"media" + std::to_string(i), random_words(rng, 3000), static_cast<uint8_t>(i % 5)});
  }
  db.add(entries);
  std::vector<std::vector<uint64_t>> queries;
  std::vector<uint64_t> extra = random_words(rng, 3000);
  for (int q = 0; q < 4; ++q) {
    const std::vector<uint64_t>& source = entries[static_cast<size_t>(q)].words;
    std::vector<uint64_t> query(source.begin() + 200 * q, source.begin() + 200 * q + 48);
    for (uint64_t& w : query) w ^= rng() & rng() & rng();
    std::copy(query.begin(), query.end(), extra.begin() + 400 * q + 2);  // a better copy in "extra"
    queries.push_back(query);
  }
  const TestEntry extra_entry{"extra", extra, 1};

  // The two versions readers may see.
  std::vector<std::vector<CandidateView>> without, with;
  for (const auto& q : queries) without.push_back(search(db.get(), q));
  db.add({extra_entry});
  for (const auto& q : queries) with.push_back(search(db.get(), q));
  db.remove("extra");
  for (size_t q = 0; q < queries.size(); ++q) ASSERT_NE(without[q], with[q]);

  constexpr int kReaders = 3;
  constexpr int kRounds = 20;
  std::barrier start(kReaders + 1);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; ++t) {
    readers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        const size_t q = static_cast<size_t>(round + t) % queries.size();
        const std::vector<CandidateView> got = search(db.get(), queries[q]);
        if (got != without[q] && got != with[q]) ++mismatches;
      }
    });
  }
  start.arrive_and_wait();
  for (int round = 0; round < kRounds; ++round) {
    db.add({extra_entry});
    db.remove("extra");
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace kivo::test

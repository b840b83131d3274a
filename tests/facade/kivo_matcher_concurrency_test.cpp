// Matches and walks while packs load on another thread: every pack is seen whole or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "kivo/kivo_matcher.h"

namespace {

using kivo::Bytes;
using kivo::KIVOMatcher;

constexpr int kPacks = 60;
constexpr int kPerPack = 4;

// A distinct random fingerprint of 200 words per (pack, entry).
Bytes fingerprint(int pack, int entry) {
  std::mt19937_64 rng{uint64_t(pack * 100 + entry + 1)};
  Bytes afp(200 * 8);
  for (size_t w = 0; w < 200; ++w) {
    const uint64_t word = rng();
    std::memcpy(afp.data() + 8 * w, &word, 8);
  }
  return afp;
}

std::string id(int pack, int entry) { return "p" + std::to_string(pack) + "-" + std::to_string(entry); }

TEST(KIVOMatcherConcurrency, MatchesSeeWholePacksWhileOthersLoad) {
  auto matcher = KIVOMatcher::create();
  std::atomic<int> loaded{0};
  std::atomic<bool> stop{false};
  std::atomic<int> searches{0}, walks{0};

  std::thread loader([&] {
    for (int p = 0; p < kPacks; ++p) {
      // Let the readers work between packs so loads and matches interleave.
      while (searches < 2 * p || walks < p) std::this_thread::yield();
      matcher->beginAdd();
      nlohmann::json media = nlohmann::json::object();
      for (int e = 0; e < kPerPack; ++e) {
        matcher->audioPackRetrieveAFPData({id(p, e), 0, fingerprint(p, e)});
        media[id(p, e)] = {{"type", "cf"}, {"title", id(p, e)}, {"pack", p}};
      }
      // Every third pack also deletes the first entry of the pack before it.
      if (p % 3 == 2) matcher->audioPackDeleteIfAny(id(p - 1, 0));
      matcher->audioPackFinishLoadWithMetaData({{"media", media}});
      matcher->finishAdd();
      loaded = p + 1;
    }
    stop = true;
  });

  auto walker = [&] {
    while (!stop) {
      std::map<int, int> perPack;
      matcher->forEachAudioPack([&](const kivo::KIVOAudioPackAFPData& d) {
        ASSERT_EQ(d.afp.size(), 200u * 8);
        ++perPack[std::stoi(d.identifier->substr(1))];
      });
      for (const auto& [pack, n] : perPack) {
        const int expected = (pack % 3 == 1 && n == kPerPack - 1) ? kPerPack - 1 : kPerPack;
        EXPECT_EQ(n, expected) << "pack " << pack;
      }
      ++walks;
    }
  };
  auto searcher = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop) {
      ++searches;
      const int have = loaded;
      if (have == 0) continue;
      const int p = int(rng() % unsigned(have)), e = 1 + int(rng() % (kPerPack - 1));
      const Bytes whole = fingerprint(p, e);
      const Bytes query(whole.begin() + 40 * 8, whole.begin() + 88 * 8);
      const auto results = matcher->matchAFP(query);  // none while a load is open
      if (results && !results->empty()) {
        EXPECT_EQ(results->front().name(), id(p, e));
        EXPECT_EQ(results->front().score(), 0.0);
        EXPECT_EQ(results->front().position(), 20u * 1000 / 16);
        EXPECT_EQ(results->front().metadata()["pack"], p);
      }
      (void)matcher->metadata();
      (void)matcher->count();
    }
  };
  std::thread w(walker), s1(searcher, 1), s2(searcher, 2);
  loader.join();
  w.join();
  s1.join();
  s2.join();
  EXPECT_EQ(matcher->count(), size_t(kPacks * kPerPack - kPacks / 3));
}

}  // namespace

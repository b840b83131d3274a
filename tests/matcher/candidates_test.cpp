#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "kivo/bit_score.h"
#include "kivo/matcher.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

constexpr uint64_t kOpen = KIVO_REJECTED_SCORE;

// Detached entries, one per mask 0 to 5, named "m<mask>".
class Entries {
 public:
  Entries() {
    for (uint8_t m = 0; m < entries_.size(); ++m) {
      adb_entry_init(&entries_[m], m);
      EXPECT_EQ(adb_entry_set_name(&entries_[m], ("m" + std::to_string(m)).c_str()), 1);
      entries_[m].size = 800 + m;
    }
  }
  ~Entries() {
    for (AudioEntry& e : entries_) adb_entry_reset(&e);
  }
  const AudioEntry* operator[](unsigned mask) const { return &entries_[mask]; }

 private:
  std::array<AudioEntry, 6> entries_;
};

struct Offer {
  int64_t score;
  unsigned mask;
};

void offer_all(CandidateList& list, const Entries& entries, const std::vector<Offer>& offers) {
  uint64_t position = 0;
  for (const Offer& o : offers) check_candidates(list.get(), list.max(), o.score, position++, entries[o.mask]);
}

std::vector<int64_t> scores(const Candidates& list) {
  std::vector<int64_t> s;
  for (int i = 0; i < list.count; ++i) s.push_back(list.items[i].score);
  return s;
}

TEST(CandidatesTest, InitialListIsEmptyWithOpenThresholds) {
  CandidateList list(10);
  EXPECT_EQ((*list).count, 0);
  EXPECT_EQ((*list).capacity, 11u);
  EXPECT_EQ(thresholds(*list), std::vector<uint64_t>(5, kOpen));
}

TEST(CandidatesTest, NewCandidateGoesBeforeOlderOfEqualScore) {
  Entries entries;
  CandidateList list(10);
  offer_all(list, entries, {{5, 0}, {3, 0}, {5, 0}, {1, 0}});
  ASSERT_EQ(scores(*list), (std::vector<int64_t>{1, 3, 5, 5}));
  // Positions count the offers: the later 5 (offer 2) precedes the earlier (offer 0).
  EXPECT_EQ((*list).items[2].position, 2u);
  EXPECT_EQ((*list).items[3].position, 0u);
  EXPECT_EQ((*list).items[0].size, 800u);
  EXPECT_EQ((*list).items[0].owned, 0u);
}

// Thresholds after each offer: until the list is full they follow its current worst score, so a
// class's threshold can loosen when another class's offer raises the worst item.
TEST(CandidatesTest, ThresholdsFollowWorstKeptScorePerClass) {
  Entries entries;
  CandidateList list(3);
  struct Step {
    Offer offer;
    std::vector<uint64_t> thresholds;
  } steps[] = {
      {{10, 1}, {kOpen, 10, kOpen, kOpen, kOpen}},
      {{30, 2}, {kOpen, 30, 30, kOpen, kOpen}},  // mask 1 loosens from 10 to 30
      {{20, 0}, {30, 30, 30, kOpen, kOpen}},     // full: the third best is 30
      {{5, 1}, {20, 20, 30, kOpen, kOpen}},      // mask 2 leaves the best 3 and stays as an extra
  };
  for (const Step& step : steps) {
    check_candidates(list.get(), list.max(), step.offer.score, 0, entries[step.offer.mask]);
    EXPECT_EQ(thresholds(*list), step.thresholds) << "after offering " << step.offer.score;
  }
  EXPECT_EQ(scores(*list), (std::vector<int64_t>{5, 10, 20, 30}));
}

TEST(CandidatesTest, KeepsBestMOfOneNonzeroMask) {
  Entries entries;
  CandidateList list(4);
  offer_all(list, entries, {{7, 2}, {3, 2}, {9, 2}, {1, 2}, {5, 2}, {8, 2}});
  EXPECT_EQ(scores(*list), (std::vector<int64_t>{1, 3, 5, 7}));
  EXPECT_EQ(thresholds(*list), (std::vector<uint64_t>{kOpen, kOpen, 7, kOpen, kOpen}));
}

TEST(CandidatesTest, KeepsBestOfAClassMissingFromTheBestM) {
  Entries entries;
  CandidateList list(3);
  offer_all(list, entries, {{1, 1}, {2, 1}, {3, 1}, {40, 2}});
  EXPECT_EQ(scores(*list), (std::vector<int64_t>{1, 2, 3, 40}));
  EXPECT_EQ((*list).thresholds[2], 40u);
  EXPECT_EQ((*list).thresholds[1], 3u);
}

TEST(CandidatesTest, AllMaskZeroKeepsOneExtra) {
  Entries entries;
  CandidateList list(3);
  offer_all(list, entries, {{6, 0}, {5, 0}, {4, 0}, {3, 0}, {2, 0}, {1, 0}});
  EXPECT_EQ(scores(*list), (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_EQ((*list).thresholds[0], 4u);
}

// Extras follow the bit rule: a mask sharing a bit with the seen set is dropped even when its
// class is absent from the best M (mask 3 overlaps mask 1).
TEST(CandidatesTest, ExtrasNeedBitsNotYetSeen) {
  Entries entries;
  CandidateList list(2);
  offer_all(list, entries, {{1, 1}, {2, 1}, {3, 3}, {4, 2}, {5, 4}, {6, 2}, {7, 0}, {8, 0}});
  EXPECT_EQ(scores(*list), (std::vector<int64_t>{1, 2, 4, 5, 7}));
  EXPECT_EQ(thresholds(*list), (std::vector<uint64_t>{7, 2, 4, kOpen, 5}));
}

TEST(CandidatesTest, ListGrowsByDoublingBeyondItsInitialCapacity) {
  Entries entries;
  CandidateList list(1);
  offer_all(list, entries, {{9, 1}, {8, 2}, {7, 4}, {6, 0}, {5, 0}, {4, 1}});
  // Best 1 (mask 1), then the best of masks 2, 4 and the best mask 0.
  EXPECT_EQ(scores(*list), (std::vector<int64_t>{4, 5, 7, 8}));
  EXPECT_EQ((*list).capacity, 8u);  // 2, 4, 8
}

TEST(CandidatesTest, OwnedCopiesKeepNameMaskAndSizeWithoutFingerprint) {
  std::vector<uint64_t> words = {1, 2, 3};
  AudioEntry entry;
  adb_entry_init(&entry, 3);
  ASSERT_EQ(adb_entry_set_name(&entry, "clip"), 1);
  ASSERT_EQ(adb_entry_init_buffer(&entry, words.data(), 24), 1);
  {
    CandidateList list(2);
    check_candidates(list.get(), 2, 11, 62, &entry);
    own_candidates(list.get());
    own_candidates(list.get());  // a second call changes nothing
    const Candidate& c = (*list).items[0];
    EXPECT_EQ(c.owned, 1u);
    EXPECT_NE(c.entry, &entry);
    EXPECT_STREQ(c.entry->name.str, "clip");
    EXPECT_NE(c.entry->name.str, entry.name.str);
    EXPECT_EQ(c.entry->mask, 3u);
    EXPECT_EQ(c.entry->buffer, nullptr);
    EXPECT_EQ(c.size, 24u);
    reset_candidate(&(*list).items[0]);
    EXPECT_EQ(c.entry, nullptr);
    EXPECT_EQ(c.size, 0u);
    EXPECT_EQ(c.owned, 0u);
    list.get()->count = 0;  // the list no longer holds the reset candidate
    check_candidates(list.get(), 2, 12, 0, &entry);
    own_candidates(list.get());
  }  // freeing releases the remaining copies (checked by the leak sanitizer)
  adb_entry_reset(&entry);
}

TEST(CandidatesDeathTest, PreconditionsNameTheMatcher) {
  Entries entries;
  CandidateList list(2);
  EXPECT_DEATH(check_candidates(list.get(), 2, 1, 0, entries[5]),
               "Assertion failed: \\(entry != NULL && entry->mask <= KIVO_MATCHER_MAX_MASK\\), function "
               "check_candidates, file matcher\\.");
  Candidates other;
  EXPECT_DEATH(init_candidates(&other, 0),
               "Assertion failed: \\(max_count > 0\\), function init_candidates, file matcher\\.");
}

}  // namespace
}  // namespace kivo::test

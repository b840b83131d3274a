// Candidate lists: sorted insertion, per-class thresholds and the extras kept beyond the best M.
#include <cstdlib>

#include "audiodb/matcher_internal.h"
#include "kivo/bit_score.h"
#include "kivo/matcher.h"
#include "platform/assert.h"

namespace {

void open_thresholds(Candidates *candidates) {
  for (uint64_t &threshold : candidates->thresholds) threshold = KIVO_REJECTED_SCORE;
}

void grow(Candidates *candidates) {
  const uint32_t capacity = candidates->capacity * 2;
  candidates->items = static_cast<Candidate *>(std::realloc(candidates->items, sizeof(Candidate) * static_cast<size_t>(capacity)));
  KIVO_ASSERT("matcher", candidates->items != NULL);
  candidates->capacity = capacity;
}

// The walk beyond the best max_count: items max_count ... last, best first; an item is kept when its
// mask brings bits not yet seen, or when it is the first mask-0 item of the walk.
void keep_extras(Candidates *candidates, uint32_t max_count, int last, uint32_t seen) {
  bool kept_mask0 = false;
  candidates->count = static_cast<int>(max_count);
  for (int i = static_cast<int>(max_count); i <= last; ++i) {
    Candidate item = candidates->items[i];
    const uint32_t mask = item.entry->mask;
    const bool keep = mask != 0 ? (mask & seen) == 0 : !kept_mask0;
    if (!keep) {
      reset_candidate(&candidates->items[i]);
      continue;
    }
    if (mask == 0) kept_mask0 = true;
    seen |= mask;
    candidates->thresholds[mask] = static_cast<uint64_t>(item.score);
    candidates->items[candidates->count++] = item;
  }
}

}  // namespace

namespace kivo::scan {

// An offer of score s lands at the first slot whose score is >= s. Beyond the best max_count, the walk
// drops it when its mask shares a bit with the masks seen before that slot (for mask 0: when a
// mask-0 extra precedes it); the walk then keeps every other item as before, so nothing changes.
// While the list grows (or is about to be reallocated) every admitted offer counts.
int64_t offer_bound(const Candidates *candidates, uint32_t max_count, unsigned mask) {
  const int64_t threshold = static_cast<int64_t>(candidates->thresholds[mask]);
  const uint32_t count = static_cast<uint32_t>(candidates->count);
  if (count < max_count || count == candidates->capacity) return threshold;
  uint32_t seen = 0;
  for (uint32_t i = 0; i < max_count; ++i) seen |= candidates->items[i].entry->mask;
  bool mask0 = false;
  for (uint32_t slot = max_count;; ++slot) {
    if (mask != 0 ? (mask & seen) != 0 : mask0) {
      const int64_t before = candidates->items[slot - 1].score;
      return before < threshold ? before : threshold;
    }
    if (slot == count) return threshold;
    const uint32_t extra = candidates->items[slot].entry->mask;
    seen |= extra;
    mask0 = mask0 || extra == 0;
  }
}

}  // namespace kivo::scan

extern "C" {

const AudioFilter empty_filter = {0, NULL};

void init_candidates(Candidates *candidates, uint32_t max_count) {
  KIVO_ASSERT("matcher", candidates != NULL);
  KIVO_ASSERT("matcher", max_count > 0);
  candidates->count = 0;
  candidates->capacity = max_count + 1;
  open_thresholds(candidates);
  candidates->items = static_cast<Candidate *>(std::malloc(sizeof(Candidate) * static_cast<size_t>(candidates->capacity)));
  KIVO_ASSERT("matcher", candidates->items != NULL);
}

void check_candidates(Candidates *candidates, uint32_t max_count, int64_t score, uint64_t position,
                      const AudioEntry *entry) {
  KIVO_ASSERT("matcher", candidates != NULL && candidates->items != NULL);
  KIVO_ASSERT("matcher", max_count > 0);
  KIVO_ASSERT("matcher", entry != NULL && entry->mask <= KIVO_MATCHER_MAX_MASK);
  if (static_cast<uint32_t>(candidates->count) == candidates->capacity) grow(candidates);

  const int n = candidates->count;
  int slot = n;
  while (slot > 0 && candidates->items[slot - 1].score >= score) {
    candidates->items[slot] = candidates->items[slot - 1];
    --slot;
  }
  candidates->items[slot] = Candidate{score, position, entry->size, 0, entry};
  candidates->count = n + 1;

  const uint32_t kept = static_cast<uint32_t>(n) + 1 < max_count ? static_cast<uint32_t>(n) + 1 : max_count;
  const uint64_t worst = static_cast<uint64_t>(candidates->items[kept - 1].score);
  open_thresholds(candidates);
  uint32_t seen = 0;
  for (uint32_t i = 0; i < kept; ++i) {
    const uint32_t mask = candidates->items[i].entry->mask;
    seen |= mask;
    candidates->thresholds[mask] = worst;
  }
  if (static_cast<uint32_t>(n) >= max_count) keep_extras(candidates, max_count, n, seen);
}

void reset_candidate(Candidate *candidate) {
  KIVO_ASSERT("matcher", candidate != NULL);
  if (candidate->owned && candidate->entry != NULL) {
    // An owned entry is the candidate's own heap block.
    AudioEntry *copy = const_cast<AudioEntry *>(candidate->entry);
    adb_entry_reset(copy);
    std::free(copy);
  }
  candidate->entry = NULL;
  candidate->size = 0;
  candidate->owned = 0;
}

void free_candidates(Candidates *candidates) {
  KIVO_ASSERT("matcher", candidates != NULL);
  for (int i = 0; i < candidates->count; ++i) reset_candidate(&candidates->items[i]);
  std::free(candidates->items);
  candidates->items = NULL;
  candidates->count = 0;
  candidates->capacity = 0;
}

void own_candidates(Candidates *candidates) {
  KIVO_ASSERT("matcher", candidates != NULL);
  for (int i = 0; i < candidates->count; ++i) {
    Candidate *candidate = &candidates->items[i];
    if (candidate->owned) continue;
    AudioEntry *copied = static_cast<AudioEntry *>(std::malloc(sizeof(AudioEntry)));
    KIVO_ASSERT("matcher", copied != NULL);
    // Field by field: a writer may be relinking the entry's next pointers while readers copy it.
    const AudioEntry *entry = candidate->entry;
    const int ret = hstr_init_from_other(&copied->name, &entry->name);
    KIVO_ASSERT("matcher", ret);
    copied->buffer = NULL;
    copied->size = 0;
    copied->reserved = entry->reserved;
    copied->mask = entry->mask;
    copied->flag = 0;
    copied->next[0] = NULL;
    copied->next[1] = NULL;
    candidate->entry = copied;
    candidate->owned = 1;
  }
}

}  // extern "C"

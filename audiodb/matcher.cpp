// The two search stages: every step-aligned offset of every entry, scored in batches by the
// scan kernel and offered to the candidate list in offset order.
//
// The kernel scores batches under the threshold and offer bound current at the first of them and
// stops at the first batch with an admitted offset. Until then nothing was offered, so nothing
// changed and its counts are exactly those of scoring offset by offset. The stopping batch is
// offered offset by offset; once an offer moves the threshold or the bound (an offer may tighten
// or loosen any class's threshold), the scan resumes at the next offset under the new ones.
// Offers that check_candidates would drop without any change are not made.
#include <cstring>

#include "audiodb/matcher_internal.h"
#include "kivo/bit_score.h"
#include "platform/assert.h"

namespace kivo::scan {

namespace {

// How one stage scores an alignment.
struct Stage {
  const uint64_t *query;
  int length;       // query words
  int words;        // words scored per alignment
  int first_tested; // pruning order position of the first limit test
  bool quick;
};

Stage quick_stage(const uint64_t *query, int length) {
  if (length < 8) return Stage{query, length, length, length, true};
  return Stage{query, length, 8, 4, true};
}

Stage full_stage(const uint64_t *query, int length) { return Stage{query, length, length, 0, false}; }

uint64_t position_of(uint64_t offset) { return (offset / 2 * 1000) >> 4; }

// The list as seen by the offers of one entry: its threshold and offer bound for the entry's
// mask, refreshed after every offer (nothing else changes the list during a scan).
struct Offers {
  Candidates *list;
  uint32_t max_count;
  const AudioEntry *entry;
  uint64_t threshold;
  int64_t bound;

  void refresh() {
    threshold = list->thresholds[entry->mask];
    bound = offer_bound(list, max_count, entry->mask);
  }
  uint32_t limit() const { return static_cast<uint32_t>(threshold >> 24); }
  // An admitted score above the bound would leave the list unchanged: no offer is needed.
  void offer(uint64_t score, uint64_t offset) {
    if (score >= KIVO_REJECTED_SCORE || static_cast<int64_t>(score) > bound) return;
    check_candidates(list, max_count, static_cast<int64_t>(score), position_of(offset), entry);
    refresh();
  }
};

// Scores one alignment with the stage's scalar function and offers it.
void offer_one(const Stage &stage, const uint64_t *reference, uint64_t offset, Offers &offers, uint64_t *compared) {
  const uint64_t *words = reference + offset;
  uint64_t score;
  if (!stage.quick) {
    score = thresholded_block_score(stage.query, words, stage.words, offers.limit(), compared);
  } else if (stage.words < 8) {
    score = block_score(stage.query, words, stage.words);
    *compared += static_cast<uint64_t>(stage.words);
  } else {
    score = semi_thresholded_block_score(stage.query, words, 8, offers.limit(), compared);
  }
  offers.offer(score, offset);
}

// Scores every step-aligned offset of entry, in batches where the kernel allows.
void scan_entry(const Kernel *kernel, const Stage &stage, const AudioEntry *entry, Candidates *list,
                uint32_t max_count, uint64_t *compared) {
  const uint64_t words = entry->size / 8;
  const uint64_t length = static_cast<uint64_t>(stage.length);
  if (entry->buffer == NULL || words < length) return;
  const uint64_t *reference = reinterpret_cast<const uint64_t *>(entry->buffer);
  const uint64_t last = words - length;  // last offset
  const bool batched = kernel->scan != nullptr && stage.words <= kMaxWords;
  const uint64_t span = 2 * static_cast<uint64_t>(kernel->lanes);
  Offers offers{list, max_count, entry, 0, 0};
  offers.refresh();
  uint64_t offset = 0;
  while (offset <= last) {
    const uint64_t batches = batched ? (last - offset + 2) / span : 0;
    if (batches == 0) {
      offer_one(stage, reference, offset, offers, compared);
      offset += 2;
      continue;
    }
    BatchHit hit;
    const uint64_t threshold = offers.threshold;
    const int64_t bound = offers.bound;
    const uint64_t done = kernel->scan(stage.query, reference + offset, stage.words, stage.first_tested,
                                       offers.limit(), bound, batches, compared, &hit);
    offset += done * span;
    if (done == batches) continue;
    // Offer the batch in offset order; once an offer has moved the threshold or the bound, the
    // scan goes on from the next offset under the new ones.
    for (int lane = 0; lane < kernel->lanes && offers.threshold == threshold && offers.bound == bound;
         ++lane, offset += 2) {
      *compared += hit.words[lane];
      if ((hit.admitted >> lane) & 1) offers.offer(hit.scores[lane], offset);
    }
  }
}

bool passes(const AudioFilter *filter, const AudioEntry *entry) {
  if (filter->name != NULL && (entry->name.str == NULL || std::strcmp(filter->name, entry->name.str) != 0)) {
    return false;
  }
  return filter->mask == 0 || (filter->mask & entry->mask) != 0;
}

// True when entry has the name of some candidate's entry.
bool named_like_candidate(const Candidates *quick, const AudioEntry *entry) {
  for (int i = 0; i < quick->count; ++i) {
    if (hstr_eq(&entry->name, &quick->items[i].entry->name)) return true;
  }
  return false;
}

void add_stats(MatchStats *stats, uint64_t compared, uint64_t scanned) {
  if (stats == NULL) return;
  stats->compared += compared;
  stats->scanned += scanned;
}

}  // namespace

void scan_entry_quick_on(const Kernel *kernel, const uint64_t *query, int length, const AudioEntry *entry,
                         Candidates *list, uint32_t max_count, uint64_t *compared) {
  if (length >= 1) scan_entry(kernel, quick_stage(query, length), entry, list, max_count, compared);
}

void scan_entry_full_on(const Kernel *kernel, const uint64_t *query, int length, const AudioEntry *entry,
                        Candidates *list, uint32_t max_count, uint64_t *compared) {
  if (length >= 1) scan_entry(kernel, full_stage(query, length), entry, list, max_count, compared);
}

void match_quick_on(const Kernel *kernel, AudioReader *reader, const uint64_t *query, int length,
                    Candidates *candidates, uint32_t max_count, const AudioFilter *filter, MatchStats *stats) {
  if (filter == NULL) filter = &empty_filter;
  const Stage stage = quick_stage(query, length);
  uint64_t compared = 0;
  uint64_t scanned = 0;
  adb_reader_restart(reader);
  while (const AudioEntry *entry = adb_reader_next(reader)) {
    if (entry->mask > KIVO_MATCHER_MAX_MASK || !passes(filter, entry)) continue;
    if (length >= 1) scan_entry(kernel, stage, entry, candidates, max_count, &compared);
    scanned += entry->size;
  }
  add_stats(stats, compared, scanned);
}

void match_full_on(const Kernel *kernel, AudioReader *reader, const uint64_t *query, int length,
                   const Candidates *quick, Candidates *result, uint32_t max_count, MatchStats *stats) {
  const Stage stage = full_stage(query, length);
  uint64_t compared = 0;
  uint64_t scanned = 0;
  // Entries are scored in list order as they are met, so repeated names need no bound.
  adb_reader_restart(reader);
  while (const AudioEntry *entry = adb_reader_next(reader)) {
    if (entry->mask > KIVO_MATCHER_MAX_MASK || !named_like_candidate(quick, entry)) continue;
    if (length >= 1) scan_entry(kernel, stage, entry, result, max_count, &compared);
    scanned += entry->size;
  }
  add_stats(stats, compared, scanned);
}

void match_on(const Kernel *kernel, AudioDB *db, const uint64_t *query, int length, Candidates *result,
              uint32_t max_count, MatchStats *stats) {
  Candidates quick;
  init_candidates(&quick, max_count);
  AudioReader reader;
  adb_reader_start(&reader, db);
  match_quick_on(kernel, &reader, query, length, &quick, max_count, NULL, stats);
  match_full_on(kernel, &reader, query, length, &quick, result, max_count, stats);
  free_candidates(&quick);
  own_candidates(result);
  adb_reader_end(&reader);
}

}  // namespace kivo::scan

// Preconditions shared by the exported stages, reported under the caller's name.
#define KIVO_CHECK_SEARCH(query, length, list, max_count)                         \
  do {                                                                             \
    KIVO_ASSERT("matcher", query != NULL || length < 1);                           \
    KIVO_ASSERT("matcher", list != NULL && list->items != NULL);                   \
    KIVO_ASSERT("matcher", max_count > 0);                                         \
  } while (0)

extern "C" {

void match_quick(AudioReader *reader, const uint64_t *query, int length, Candidates *candidates,
                 uint32_t max_count, const AudioFilter *filter, MatchStats *stats) {
  KIVO_ASSERT("matcher", reader != NULL && reader->db != NULL);
  KIVO_CHECK_SEARCH(query, length, candidates, max_count);
  kivo::scan::match_quick_on(kivo::scan::best_kernel(), reader, query, length, candidates, max_count, filter,
                             stats);
}

void match_full(AudioReader *reader, const uint64_t *query, int length, const Candidates *quick,
                Candidates *result, uint32_t max_count, MatchStats *stats) {
  KIVO_ASSERT("matcher", reader != NULL && reader->db != NULL);
  KIVO_ASSERT("matcher", quick != NULL);
  KIVO_CHECK_SEARCH(query, length, result, max_count);
  kivo::scan::match_full_on(kivo::scan::best_kernel(), reader, query, length, quick, result, max_count, stats);
}

void match(AudioDB *db, const uint64_t *query, int length, Candidates *result, uint32_t max_count,
           MatchStats *stats) {
  KIVO_ASSERT("matcher", db != NULL);
  KIVO_CHECK_SEARCH(query, length, result, max_count);
  kivo::scan::match_on(kivo::scan::best_kernel(), db, query, length, result, max_count, stats);
}

}  // extern "C"

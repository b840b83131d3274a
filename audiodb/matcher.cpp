// The two search stages: every step-aligned offset of every entry, scored in batches by the
// scan kernel and offered to the candidate list in offset order.
//
// A batch is scored under the threshold current at its first offset. When no offset of the batch
// is admitted, no offer was made, the threshold stayed the same throughout and the batch's
// counts are exactly those of scoring offset by offset. Otherwise the batch is replayed offset by
// offset, each under the threshold current at its own offer, since an offer can tighten or loosen
// any class's threshold.
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

bool admitted(uint64_t score, uint64_t threshold) {
  return score < KIVO_REJECTED_SCORE && static_cast<int64_t>(score) <= static_cast<int64_t>(threshold);
}

// Scores one alignment as the stage's scalar function does and offers it when admitted.
void offer_one(const Stage &stage, const uint64_t *reference, uint64_t offset, const AudioEntry *entry,
               Candidates *list, uint32_t max_count, uint64_t *compared) {
  const uint64_t threshold = list->thresholds[entry->mask];
  const uint32_t limit = static_cast<uint32_t>(threshold >> 24);
  const uint64_t *words = reference + offset;
  uint64_t score;
  if (!stage.quick) {
    score = thresholded_block_score(stage.query, words, stage.words, limit, compared);
  } else if (stage.words < 8) {
    score = block_score(stage.query, words, stage.words);
    *compared += static_cast<uint64_t>(stage.words);
  } else {
    score = semi_thresholded_block_score(stage.query, words, 8, limit, compared);
  }
  if (admitted(score, threshold)) {
    check_candidates(list, max_count, static_cast<int64_t>(score), position_of(offset), entry);
  }
}

// Scores every step-aligned offset of entry. Entries whose mask cannot index a threshold are
// never scored (the callers skip them).
void scan_entry(const Kernel *kernel, const Stage &stage, const AudioEntry *entry, Candidates *list,
                uint32_t max_count, uint64_t *compared) {
  const uint64_t words = entry->size / 8;
  const uint64_t length = static_cast<uint64_t>(stage.length);
  if (entry->buffer == NULL || words < length) return;
  const uint64_t *reference = reinterpret_cast<const uint64_t *>(entry->buffer);
  const uint64_t last = words - length;  // last offset
  const bool batched = kernel->batch != nullptr && stage.words <= kMaxWords;
  const uint64_t span = 2 * static_cast<uint64_t>(kernel->lanes);
  uint64_t offset = 0;
  while (offset <= last) {
    uint64_t end = offset + 2;
    if (batched && last - offset >= span - 2) {
      uint64_t counted = 0;
      const uint64_t threshold = list->thresholds[entry->mask];
      if (kernel->batch(stage.query, reference + offset, stage.words, stage.first_tested, threshold, &counted) == 0) {
        *compared += counted;
        offset += span;
        continue;
      }
      end = offset + span;
    }
    for (; offset < end; offset += 2) offer_one(stage, reference, offset, entry, list, max_count, compared);
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

/* Matcher search: finds the reference entries of an audio database, and the positions within
 * them, that best match a query AFP.
 *
 * An exhaustive two-stage search over every step-aligned offset (2 words, 62.5 ms) of every
 * entry: the quick stage scores the first 8 query words everywhere; the full stage re-scores
 * the whole query over the entries that produced a quick candidate. Scores are bit scores
 * (kivo/bit_score.h), lower is better; positions are milliseconds into the reference entry.
 *
 * Candidate lists are private to the calling thread. A search holds one database reader for
 * its whole run; any number of searches may run in parallel with each other and one writer.
 * Allocation failures of candidate arrays and entry copies stop the program by assertion. */
#ifndef KIVO_MATCHER_H
#define KIVO_MATCHER_H

#include <stddef.h>
#include <stdint.h>

#include "kivo/audio_db.h"
#include "kivo/export.h"

/* Number of per-class thresholds; entries whose mask is above KIVO_MATCHER_MAX_MASK are skipped
 * by the search. */
#define KIVO_MATCHER_CLASSES 5
#define KIVO_MATCHER_MAX_MASK 4

KIVO_EXTERN_C_BEGIN

/* One alignment of the query in a reference entry. */
typedef struct Candidate {
  int64_t score;            /* block score at this alignment; lower is better */
  uint64_t position;        /* offset into the reference in ms: floor(k * 1000 / 16) for step k */
  uint64_t size;            /* byte size of the reference entry's buffer */
  uint32_t owned;           /* 1 when entry is the candidate's own copy (name and mask only) */
  const AudioEntry *entry;  /* the database's entry, or the candidate's own copy */
} Candidate;

/* A list of candidates sorted by score, best first, with one admission threshold per entry
 * mask 0 to 4. A threshold of KIVO_REJECTED_SCORE means no limit for that mask. */
typedef struct Candidates {
  int count;
  uint32_t capacity;
  uint64_t thresholds[KIVO_MATCHER_CLASSES];
  Candidate *items;
} Candidates;

/* Entry filter of the quick stage: mask 0 passes every entry, else an entry passes when its mask
 * shares a bit with mask; a non-NULL name passes only the entry of exactly that name. */
typedef struct AudioFilter {
  uint32_t mask;
  const char *name;
} AudioFilter;

/* The all-pass filter. */
KIVO_API extern const AudioFilter empty_filter KIVO_SYMBOL(empty_filter);

/* Work counters a search adds to: word pairs compared and bytes of reference buffers visited. */
typedef struct MatchStats {
  uint64_t compared;
  uint64_t scanned;
} MatchStats;

/* Empty list for max_count (>= 1) best candidates: capacity max_count + 1, thresholds open. */
KIVO_API void init_candidates(Candidates *candidates, uint32_t max_count) KIVO_SYMBOL(init_candidates);

/* Offers one candidate: inserts it before every candidate of equal or worse score, keeps the best
 * max_count plus, beyond them, the best candidate of each mask class missing from them and the
 * best remaining mask-0 one, and sets every class's threshold. REQUIRES: entry's mask <= 4. */
KIVO_API void check_candidates(Candidates *candidates, uint32_t max_count, int64_t score, uint64_t position,
                               const AudioEntry *entry) KIVO_SYMBOL(check_candidates);

/* Frees the candidate's own entry copy if it has one; entry NULL, size 0, not owned. */
KIVO_API void reset_candidate(Candidate *candidate) KIVO_SYMBOL(reset_candidate);

/* Resets every held candidate and frees the items; the list is then empty with no capacity. */
KIVO_API void free_candidates(Candidates *candidates) KIVO_SYMBOL(free_candidates);

/* Gives every candidate that points into the database its own copy of the entry's name and mask
 * (no fingerprint), so the list stays valid after the reader ends and writers free entries. */
KIVO_API void own_candidates(Candidates *candidates) KIVO_SYMBOL(own_candidates);

/* Quick stage: offers, for every entry passing filter (NULL for all), the score of the first 8
 * query words (all words when length < 8) at every step-aligned offset. Restarts reader.
 * REQUIRES: reader started; candidates initialised with max_count. stats may be NULL. */
KIVO_API void match_quick(AudioReader *reader, const uint64_t *query, int length, Candidates *candidates,
                          uint32_t max_count, const AudioFilter *filter, MatchStats *stats) KIVO_SYMBOL(match_quick);

/* Full stage: offers to result the whole query's score at every step-aligned offset of every
 * entry named like the entry of some candidate of quick. Restarts reader. stats may be NULL. */
KIVO_API void match_full(AudioReader *reader, const uint64_t *query, int length, const Candidates *quick,
                         Candidates *result, uint32_t max_count, MatchStats *stats) KIVO_SYMBOL(match_full);

/* Whole search under one reader of db: quick stage, full stage into result, own_candidates.
 * REQUIRES: result initialised with max_count; the caller frees it with free_candidates. A query of
 * fewer than 1 word matches nothing. */
KIVO_API void match(AudioDB *db, const uint64_t *query, int length, Candidates *result, uint32_t max_count,
                    MatchStats *stats) KIVO_SYMBOL(match);

/* 1 when the best score is within (length / 2) * a and, unless b < 0, the first candidate on another
 * entry pointer is more than (length / 2) * b worse; else 0 (always 0 for an empty list). */
KIVO_API int confirm_result_from_candidates(int length, const Candidates *candidates, int64_t a, int64_t b)
    KIVO_SYMBOL(confirm_result_from_candidates);

/* Number of bytes cross_correlate writes: count * (count - 1) / 2. */
KIVO_API size_t correlation_size(const Candidates *candidates) KIVO_SYMBOL(correlation_size);

/* Writes, for each pair (i, j), j < i, in the order (1,0), (2,0), (2,1), (3,0), ..., the mean
 * number of differing bits per step over the first length words of both candidates' buffers (low 8
 * bits), or 0xFF when either buffer is unknown or shorter than length words. Buffers of owned
 * candidates are looked up by name through reader (restarted; NULL skips the lookup), one
 * candidate per database entry. Adds length to *counter (may be NULL) per pair compared. */
KIVO_API void cross_correlate(AudioReader *reader, const Candidates *candidates, int length, uint8_t *output,
                              uint64_t *counter) KIVO_SYMBOL(cross_correlate);

KIVO_EXTERN_C_END

#endif

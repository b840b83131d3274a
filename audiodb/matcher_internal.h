// The search stages on a chosen scan kernel, so tests can run every code path of this processor.
// The exported match_quick, match_full and match use scan::best_kernel().
#pragma once

#include "audiodb/scan_kernel.h"
#include "kivo/matcher.h"

namespace kivo::scan {

// The highest score an offer of an entry of mask can be admitted with and still change the list:
// at most thresholds[mask], lower when check_candidates would drop such an offer unchanged.
int64_t offer_bound(const Candidates *candidates, uint32_t max_count, unsigned mask);

void match_quick_on(const Kernel *kernel, AudioReader *reader, const uint64_t *query, int length,
                    Candidates *candidates, uint32_t max_count, const AudioFilter *filter, MatchStats *stats);

void match_full_on(const Kernel *kernel, AudioReader *reader, const uint64_t *query, int length,
                   const Candidates *quick, Candidates *result, uint32_t max_count, MatchStats *stats);

// The quick stage on one entry: the first 8 query words at every step-aligned offset.
void scan_entry_quick_on(const Kernel *kernel, const uint64_t *query, int length, const AudioEntry *entry,
                         Candidates *list, uint32_t max_count, uint64_t *compared);

// The full stage on one entry: the whole query at every step-aligned offset, offered to list.
void scan_entry_full_on(const Kernel *kernel, const uint64_t *query, int length, const AudioEntry *entry,
                        Candidates *list, uint32_t max_count, uint64_t *compared);

void match_on(const Kernel *kernel, AudioDB *db, const uint64_t *query, int length, Candidates *result,
              uint32_t max_count, MatchStats *stats);

}  // namespace kivo::scan

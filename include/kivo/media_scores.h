// Scores of one query in chosen media of an audio database: each media's best alignment, found by
// the full stage's scoring at every step-aligned offset, and the mean and spread of the query's
// scores at sampled offsets of the same entries. Raw bit scores (kivo/bit_score.h), lower is better.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivo/audio_db.h"
#include "kivo/export.h"

namespace kivo {

struct MediaScore {
  std::string name;
  int64_t score = 0;      // best alignment of the whole query
  uint64_t position = 0;  // its offset in ms (as a search candidate's)
  int64_t far = -1;       // best sampled score at least kFarSteps from the best alignment, -1 if none
};

struct MediaScores {
  std::vector<MediaScore> media;  // one per scored name, best first
  double mean = 0;                // of the scores at the sampled offsets
  double deviation = 0;           // their standard deviation
  uint64_t samples = 0;
};

// Distance in steps beyond which a sampled alignment counts as elsewhere in the media.
inline constexpr uint64_t kFarSteps = 32;

// Scores query (length words) in every entry whose name is in names (entries of a mask above
// KIVO_MATCHER_MAX_MASK are skipped, as by the search), sampling every sample_steps-th step for the
// spread. Holds one reader of db. A name held by several entries keeps its best. REQUIRES: length
// >= 1, sample_steps >= 1.
KIVO_API MediaScores score_media(AudioDB* db, const uint64_t* query, int length, const std::vector<std::string>& names,
                                 int sample_steps);

// The count media, other than those named in exclude, whose entries hold the best alignments of
// the query's first min(8, length) words (the quick stage's scoring, one best per entry), best
// first. Holds one reader of db. REQUIRES: length >= 1.
KIVO_API std::vector<std::string> best_quick_media(AudioDB* db, const uint64_t* query, int length,
                                                   const std::vector<std::string>& exclude, size_t count);

}  // namespace kivo

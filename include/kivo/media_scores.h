// Scores of one block in chosen media of an audio database, for its verification: each media's
// best alignment at every step-aligned offset, and the mean and spread of the block's scores at
// sampled offsets of the same entries. Lower is better.
//
// The verification weighs bit differences by how much they say under noise: a word's bits are the
// band levels "newest pair loudest" (even words, about 1 in 5 set) and "newest pair among the two
// loudest" (odd words, 2 in 5), and a set query bit the reference lacks (a) says more than the
// reverse (b), the more so for the sparser level. Scores are kEvenWeightB * b + kEvenWeightA * a
// over even words plus kOddWeightB * b + kOddWeightA * a over odd words (the log-likelihood
// weights of a true alignment under heavy noise, in whole numbers; docs/recognition.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivo/audio_db.h"
#include "kivo/export.h"

namespace kivo {

inline constexpr int64_t kEvenWeightA = 10, kEvenWeightB = 3, kOddWeightA = 7, kOddWeightB = 5;

// The verification's score of n words (n even) of query against reference.
KIVO_API int64_t verification_score(const uint64_t* query, const uint64_t* reference, int n);

// One fingerprint of the block: its words, and how many samples after the block's start its first
// step starts (the block fingerprinted from a later sample lines up with references differently).
struct BlockPhase {
  const uint64_t* words = nullptr;
  int length = 0;      // even, >= 2
  uint32_t shift = 0;  // samples, < 1000
};

struct MediaScore {
  std::string name;
  double score = 0;         // best alignment over the phases, per step (score / steps)
  uint64_t position = 0;    // where the block starts there, ms
  size_t phase = 0;         // the phase that scored it
  double far = -1;          // per step: best sampled score of phase 0 at least kFarSteps away, -1 if none
  double searchScore = 0;   // the search's normalised score (kivo/bit_score.h) of the best alignment
};

struct MediaScores {
  std::vector<MediaScore> media;  // one per scored name, best first
  double mean = 0;                // per step, of phase 0's scores at the sampled offsets
  double deviation = 0;           // their standard deviation
  uint64_t samples = 0;
};

// Distance in steps beyond which a sampled alignment counts as elsewhere in the media.
inline constexpr uint64_t kFarSteps = 32;

// Scores every phase in every entry whose name is in names (entries of a mask above
// KIVO_MATCHER_MAX_MASK are skipped, as by the search), sampling phase 0 every sample_steps-th
// step for the spread. Holds one reader of db. A name held by several entries keeps its best.
// REQUIRES: phases not empty, each of even length >= 2, sample_steps >= 1.
KIVO_API MediaScores score_media(AudioDB* db, const std::vector<BlockPhase>& phases,
                                 const std::vector<std::string>& names, int sample_steps);

// The scores of two calls over different names as one call over all of them gives them (the mean
// and spread up to rounding).
KIVO_API MediaScores merged_media_scores(const MediaScores& a, const MediaScores& b);

// The count media, other than those named in exclude, whose entries hold the best alignments of
// the query's first min(8, length) words (the quick stage's scoring, one best per entry), best
// first. Holds one reader of db. REQUIRES: length >= 1.
KIVO_API std::vector<std::string> best_quick_media(AudioDB* db, const uint64_t* query, int length,
                                                   const std::vector<std::string>& exclude, size_t count);

}  // namespace kivo

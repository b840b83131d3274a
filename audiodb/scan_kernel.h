// Batch scoring of consecutive step-aligned offsets with vector instructions, chosen at run time.
//
// A kernel scores `lanes` offsets 2 words apart exactly as thresholded_block_score does (n words
// in pruning order: odd-indexed words, then even-indexed ones), but tests the limit only from
// sequence position first_tested on: 0 gives thresholded_block_score, n / 2 gives
// semi_thresholded_block_score and n gives block_score. Results never depend on the kernel.
#pragma once

#include <cstdint>

namespace kivo::scan {

enum class Path { portable, avx2, avx512 };

// Scores the offsets j = 0 ... lanes - 1 at reference + 2j against query[0 .. n - 1] under
// threshold (limit threshold >> 24). Returns bit j set when offset j would be admitted: not
// rejected, below KIVO_REJECTED_SCORE and at most threshold (signed). Adds to *compared the word
// pairs the scalar functions would have compared. Reads reference[0 .. 2 * (lanes - 1) + n - 1].
// REQUIRES: 1 <= n <= kMaxWords.
using BatchFn = uint32_t (*)(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                             uint64_t threshold, uint64_t *compared);

struct Kernel {
  Path path;
  int lanes;
  BatchFn batch;  // NULL for the portable path, which scores offset by offset
};

// Longest block a vector kernel takes (keeps per-lane counts within 32 bits).
constexpr int kMaxWords = 1 << 24;

// The kernel of path, or NULL when this processor cannot run it.
const Kernel *kernel_for(Path path);

// The fastest kernel this processor runs; never NULL.
const Kernel *best_kernel();

// Kernels of the individual instruction sets (NULL when not built for this architecture).
extern const BatchFn avx2_batch;
extern const BatchFn avx512_batch;

}  // namespace kivo::scan

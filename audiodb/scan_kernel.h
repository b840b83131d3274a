// Batch scoring of consecutive step-aligned offsets with vector instructions, chosen at run time.
//
// A kernel scores offsets in batches of `lanes`, 2 words apart, exactly as the scalar scores do:
// n words in pruning order (odd-indexed words, then even-indexed ones), the measure tested
// against the limit from pruning position first_tested on. first_tested 0 gives
// thresholded_block_score, n / 2 semi_thresholded_block_score and n block_score. Results never
// depend on the kernel.
#pragma once

#include <cstdint>

namespace kivo::scan {

enum class Path { portable, avx2, avx512 };

constexpr int kMaxLanes = 8;

// The first batch of a scan with an admitted offset.
struct BatchHit {
  uint32_t admitted;           // bit j: offset j not rejected, below the rejected score, <= bound
  uint64_t scores[kMaxLanes];  // score of each admitted offset
  uint64_t words[kMaxLanes];   // word pairs each offset compared
};

// Scans batches b = 0 ... batches - 1; batch b holds the offsets reference + 2 * (lanes * b + j).
// Stops at the first batch with an admitted offset, fills *hit and returns its index; returns
// batches when none is admitted. Adds to *compared the word pairs of every batch before the one
// returned. Reads reference[0 .. 2 * (lanes * batches - 1) + n - 1].
// REQUIRES: 1 <= n <= kMaxWords, batches >= 1.
using ScanFn = uint64_t (*)(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                            uint32_t limit, int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit);

struct Kernel {
  Path path;
  int lanes;
  ScanFn scan;  // NULL for the portable path, which scores offset by offset
};

// Longest block a vector kernel takes (keeps per-lane counts within 32 bits).
constexpr int kMaxWords = 1 << 24;

// Words a scan asks for ahead of the batch it scores: it streams whole entries faster than the
// hardware prefetcher alone keeps up with.
constexpr uint64_t kPrefetchWords = 256;

// Asks for the cache lines of the count words that lie ahead words past from. The addresses may
// lie past the buffer (a prefetch never faults), so they are formed as integers.
inline void prefetch(const uint64_t *from, uint64_t ahead, int count) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(from) + ahead * sizeof(uint64_t);
  for (int word = 0; word < count; word += 8) {
    __builtin_prefetch(reinterpret_cast<const void *>(start + static_cast<uintptr_t>(word) * sizeof(uint64_t)));
  }
}

// The kernel of path, or NULL when this processor cannot run it.
const Kernel *kernel_for(Path path);

// The fastest kernel this processor runs; never NULL.
const Kernel *best_kernel();

// Kernels of the individual instruction sets (NULL when not built for this architecture).
extern const ScanFn avx2_scan;
extern const ScanFn avx512_scan;

}  // namespace kivo::scan

// Staged scoring shared by the vector scan kernels: the reference is copied chunk by chunk into a
// stream of its even words and one of its odd words, each word with its bit count, so that the
// words a lane compares in one pass are contiguous loads and reference bits are counted once.
#pragma once

#include <cstdint>

#include "audiodb/scan_kernel.h"

namespace kivo::scan {

// Blocks of up to kStagedWords words are scored from staged streams.
constexpr int kStagedWords = 256;

// Per pruning position p of a staged block: the query word and the test bound on Y = 17 D - R,
// where D counts the differing bits and R the reference bits so far. With Q the query bits so far,
// A = (D + Q - R) / 2 and B = D - A, so the measure A + A/8 + B is within limit exactly when
// 9A + 8B <= 8 limit + 7, that is when Y <= 16 limit + 14 - Q.
struct Positions {
  uint64_t word[kStagedWords];
  int64_t bound[kStagedWords];
  uint64_t query_bits;  // Q over the whole block
};

// REQUIRES: 1 <= n <= kStagedWords.
void prepare_positions(const uint64_t *query, int n, uint32_t limit, Positions &pos);

// A word adds at most 72 to the measure, so no test of a block before pruning position
// limit / 72 can fail: the first position worth testing, at least first_tested.
inline int first_failable(int n, int first_tested, uint32_t limit) {
  const uint32_t safe = limit / 72;
  if (safe <= static_cast<uint32_t>(first_tested)) return first_tested;
  return safe < static_cast<uint32_t>(n) ? static_cast<int>(safe) : n;
}

// Streams are staged in chunks of up to kChunk batches. A scan stages 2 batches first and doubles
// up to kChunk, so a scan stopping early (an admitted offset) has staged little past it.
constexpr int kChunk = 32;

// Batches of the chunk starting at batch b, of a scan of batches.
inline uint64_t chunk_size(uint64_t b, uint64_t batches) {
  const uint64_t want = b == 0 ? 2 : b < kChunk ? b : kChunk;
  return batches - b < want ? batches - b : want;
}

// Asks for the cache lines of batch b two chunks ahead: staging reads a chunk at a time, and
// asking for a whole chunk at once stalls on the processor's line fill buffers.
template <int kLanes>
inline void prefetch_batch(const uint64_t *reference, uint64_t b) {
  prefetch(reference + 2 * kLanes * b, 4 * kLanes * kChunk, 2 * kLanes);
}

// even[m] = reference[2m], odd[m] = reference[2m + 1], with the bit count of every word. Word 2k
// (2k + 1) of lane j is even[kLanes c + j + k] (odd[kLanes c + j + k]) for batch c of the chunk.
template <int kLanes>
struct Streams {
  static constexpr int kLength = kLanes * kChunk + kStagedWords / 2;
  alignas(64) uint64_t even[kLength];
  alignas(64) uint64_t odd[kLength];
  alignas(64) uint64_t even_bits[kLength];
  alignas(64) uint64_t odd_bits[kLength];
};

// The scalar rest of staging: even and odd words from on, up to evens and odds.
template <int kLanes>
inline void stage_rest(const uint64_t *reference, uint64_t from, uint64_t evens, uint64_t odds,
                       Streams<kLanes> &s) {
  for (uint64_t e = from; e < evens; ++e) {
    s.even[e] = reference[2 * e];
    s.even_bits[e] = static_cast<uint64_t>(__builtin_popcountll(s.even[e]));
  }
  for (uint64_t o = from; o < odds; ++o) {
    s.odd[o] = reference[2 * o + 1];
    s.odd_bits[o] = static_cast<uint64_t>(__builtin_popcountll(s.odd[o]));
  }
}

// Running bit counts of staged streams: even[m] (odd[m]) counts the bits of the first m even (odd)
// words; past the staged words of a stream they stay at its total.
template <int kLanes>
struct RunningBits {
  alignas(64) uint64_t even[Streams<kLanes>::kLength + 1];
  alignas(64) uint64_t odd[Streams<kLanes>::kLength + 1];
};

// Running counts of one stream's first count words, then its total up to length.
inline void run_stream(const uint64_t *bits, uint64_t count, uint64_t length, uint64_t *run) {
  uint64_t sum = 0;
  run[0] = 0;
  for (uint64_t m = 0; m < count; ++m) run[m + 1] = sum += bits[m];
  for (uint64_t m = count; m < length; ++m) run[m + 1] = sum;
}

template <int kLanes>
void run_bits(const Streams<kLanes> &s, uint64_t evens, uint64_t odds, RunningBits<kLanes> &run) {
  const uint64_t length = evens > odds ? evens : odds;
  run_stream(s.even_bits, evens, length, run.even);
  run_stream(s.odd_bits, odds, length, run.odd);
}

}  // namespace kivo::scan

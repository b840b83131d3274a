/* Bit scoring: how far a query AFP lies from a reference AFP at one alignment.
 *
 * For a query word q and a reference word r, A counts the bits set in q and clear in r,
 * B the bits set in r and clear in q. A block's score is the 64-bit fixed-point number
 * B * 2^24 + A * 19461570 (24 fractional bits; lower is better). The thresholded variants
 * prune on the measure A + A/8 + B against a limit and return KIVO_REJECTED_SCORE once it
 * is passed. Counts and scores are 64-bit, so long blocks never wrap.
 *
 * Pure functions on caller-owned word arrays: no state, no allocation, callable from any
 * thread. Word arrays must hold at least n words. */
#ifndef KIVO_BIT_SCORE_H
#define KIVO_BIT_SCORE_H

#include <stdint.h>

#include "kivo/export.h"

/* Score returned for a block that passed its limit (1048575 * 2^24); as a threshold it
 * means "no limit yet". */
#define KIVO_REJECTED_SCORE 0xFFFFF000000ULL
/* Weight of one A bit (query bit missing from the reference), about 1.16 * 2^24. */
#define KIVO_SCORE_WEIGHT_A 19461570ULL
/* Weight of one B bit (reference bit missing from the query), exactly 2^24. */
#define KIVO_SCORE_WEIGHT_B 16777216ULL

KIVO_EXTERN_C_BEGIN

/* Population count of every 16-bit value. */
KIVO_API extern const uint8_t bits_in_16bits[65536] KIVO_SYMBOL(bits_in_16bits);

/* Number of set bits of x. */
KIVO_API uint32_t bitcount(uint64_t x) KIVO_SYMBOL(bitcount);

/* Score of one word pair: B * 2^24 + A * 19461570. */
KIVO_API uint64_t score(uint64_t q, uint64_t r) KIVO_SYMBOL(score);

/* Score of n word pairs, no limit; 0 when n < 1. */
KIVO_API uint64_t block_score(const uint64_t *query, const uint64_t *reference, int n) KIVO_SYMBOL(block_score);

/* Score of n word pairs, odd-indexed words first, then even-indexed ones. After every word
 * the measure A + A/8 + B is tested against limit; once it is above, the words compared so
 * far are added to *counter and KIVO_REJECTED_SCORE is returned. On completion n is added.
 * counter may be NULL. */
KIVO_API uint64_t thresholded_block_score(const uint64_t *query, const uint64_t *reference, int n,
                                          uint32_t limit, uint64_t *counter) KIVO_SYMBOL(thresholded_block_score);

/* As thresholded_block_score, but the odd-indexed words are only accumulated: the limit is
 * tested after each even-indexed word, on totals that include every odd-indexed word. */
KIVO_API uint64_t semi_thresholded_block_score(const uint64_t *query, const uint64_t *reference, int n,
                                               uint32_t limit, uint64_t *counter)
    KIVO_SYMBOL(semi_thresholded_block_score);

KIVO_EXTERN_C_END

#endif

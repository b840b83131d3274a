/* Audio fingerprints (AFPs) from 16000 Hz mono signed 16-bit PCM.
 * An AFP is W unsigned 64-bit words in native byte order, two per 1000-sample step (32 per second):
 * bit 63 - b of a step's first word is set when band b's newest two-frame energy is the largest of
 * its ten-frame window, of its second word when it is at least the second largest.
 * Every function here is re-entrant and shares no state. */
#ifndef KIVO_AFP_H
#define KIVO_AFP_H

#include <stddef.h>
#include <stdint.h>

#include "kivo/export.h"

KIVO_EXTERN_C_BEGIN

/* The 64 bands as (centre frequency, width) pairs in Hz, band 0 first, for a 16000 Hz signal. */
KIVO_API extern const double AFPGeneratorBands[128] KIVO_SYMBOL(AFPGeneratorBands);

/* An AFP owned by the caller: count words at words (NULL when count is 0). Free with AFPRelease. */
typedef struct AFP {
  uint64_t *words;
  size_t count;
} AFP;

/* Fingerprints length bytes of samples (trailing bytes short of a whole 1000-sample frame are ignored).
 * Returns 1 and fills *afp (possibly with no words) when an AFP was made; returns 0 and leaves *afp
 * empty when there are fewer than 1000 samples (logging "Insufficient samples"), when more than 60 %
 * of the frames are silent, or when memory runs out. REQUIRES: afp not NULL. */
KIVO_API int AFPFromSample(const int16_t *samples, int32_t length, AFP *afp) KIVO_SYMBOL(AFPFromSample);

/* Frees afp's words and empties it. Accepts an empty AFP. */
KIVO_API void AFPRelease(AFP *afp) KIVO_SYMBOL(AFPRelease);

KIVO_EXTERN_C_END

#endif

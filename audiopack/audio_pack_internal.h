/* Shared by the pack stream sources. */
#ifndef KIVO_AUDIOPACK_AUDIO_PACK_INTERNAL_H
#define KIVO_AUDIOPACK_AUDIO_PACK_INTERNAL_H

#include <stdint.h>

/* Adler-32 of size bytes at data, for buffers of any size (adler32 takes an int count). */
uint32_t apack_checksum(const uint8_t *data, uint64_t size);

#endif

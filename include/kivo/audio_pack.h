/* Audio pack streams: an audio database serialised as a list of operations on named entries
 * (add with fingerprint bytes, delete if present, test for identical bytes), and applied back.
 *
 * Layout (big-endian, unaligned; docs/audio-pack.md has the grammar): optional 16-byte lead-in
 * blocks, APACK_HEADER, records, a 0x00 end byte, then optionally 0xFF padding to a multiple of 16
 * and APACK_FOOTER. Bytes travel through caller-supplied read and write functions; file and memory
 * back-ends are provided. No function keeps state between calls; contexts belong to one call.
 * Broken preconditions abort with "Assertion failed: (...), function F, file audio_pack." */
#ifndef KIVO_AUDIO_PACK_H
#define KIVO_AUDIO_PACK_H

#include <stdint.h>
#include <stdio.h>

#include "kivo/audio_db.h"
#include "kivo/export.h"

KIVO_EXTERN_C_BEGIN

/* Record operation codes, one byte in the stream. */
#define APACK_OP_ADD 0x61        /* 'a': name, type (u32, low 8 bits are the mask), size (u32), data */
#define APACK_OP_DEL_IF_ANY 0x64 /* 'd': name */
#define APACK_OP_TEST_MATCH 0x6D /* 'm': name, Adler-32 of the entry's bytes (u32) */

/* apack_dump flags: the low 8 bits are the op code of every record; this bit ends the stream
 * right after the end byte (no padding, no trailer). */
#define APACK_FLAG_NO_FOOTER 0x100

#define APACK_MAX_NAME 254        /* longest name in bytes; a length byte of 255 is invalid */
#define APACK_MAX_DATA 0x7FFFFF   /* largest data size of an add record */

/* Result codes of apack_load. */
enum {
  APACK_OK = 0,
  APACK_ERR_IO = 1,       /* the read function returned a negative count */
  APACK_ERR_FORMAT = 2,   /* malformed or truncated stream */
  APACK_ERR_NOMEM = 3,    /* out of memory, or a database operation failed */
  APACK_ERR_MISMATCH = 4  /* a test-match record failed */
};

/* 0xF7 "AudioPack1" 01 0D 0A 1A 0A, and the trailer: the same with 0xF1 first. */
KIVO_API extern const uint8_t APACK_HEADER[16] KIVO_SYMBOL(APACK_HEADER);
KIVO_API extern const uint8_t APACK_FOOTER[16] KIVO_SYMBOL(APACK_FOOTER);

/* Writes count bytes; returns the number written. Anything but count fails the dump. */
typedef int (*apack_write_fn)(const void *data, int count, void *context);
/* Reads up to count bytes; returns the number read (0 at end of data) or a negative error. */
typedef int (*apack_read_fn)(void *data, int count, void *context);

/* Writes db as a stream, every record with op code flags & 0xFF, holding a reader of db meanwhile.
 * Returns 0, or 1 when a write falls short or an entry cannot be written (no name, a name above
 * 254 bytes, or for adds data above APACK_MAX_DATA); bytes already written stay written.
 * REQUIRES: db and write not NULL; the op code is one of the three. */
KIVO_API int apack_dump(AudioDB *db, int flags, apack_write_fn write, void *context) KIVO_SYMBOL(apack_dump);

/* apack_dump to a stdio stream opened for binary writing. */
KIVO_API int apack_dump_to_file(AudioDB *db, int flags, FILE *file) KIVO_SYMBOL(apack_dump_to_file);

/* apack_dump into a new heap buffer. On 0, *data holds the stream (free it with free()) and *length
 * its size; on 1 both are left untouched. */
KIVO_API int apack_dump_to_string(AudioDB *db, int flags, uint8_t **data, int *length)
    KIVO_SYMBOL(apack_dump_to_string);

/* Parses a whole stream, then applies it to db in one write: readers see all of it or none.
 * Returns an APACK_ code; on any failure db is exactly as before (on both sides) and fit for the
 * next writer. Short reads are retried until the count, end of data or an error. Holds db's writer
 * only while applying. REQUIRES: db and read not NULL; the caller holds no reader of db. */
KIVO_API int apack_load(AudioDB *db, apack_read_fn read, void *context) KIVO_SYMBOL(apack_load);

/* apack_load from a stdio stream opened for binary reading; reads nothing past the trailer. */
KIVO_API int apack_load_from_file(AudioDB *db, FILE *file) KIVO_SYMBOL(apack_load_from_file);

/* apack_load over length bytes at data; a negative length counts as 0. */
KIVO_API int apack_load_from_string(AudioDB *db, const void *data, int length) KIVO_SYMBOL(apack_load_from_string);

/* Adler-32 (RFC 1950) of length bytes: (b << 16) | a. A negative length counts as 0. */
KIVO_API uint32_t adler32(const void *data, int length) KIVO_SYMBOL(adler32);

/* ---- Back-ends ---- */

/* context is a FILE*. fwrite of count bytes; a result of 0 is 0 at end-of-file, else -1. */
KIVO_API int apack_dump_callback_for_file(const void *data, int count, void *context)
    KIVO_SYMBOL(apack_dump_callback_for_file);

/* A growing heap buffer for apack_dump_callback_for_string; all zero at start. */
typedef struct ApackStringWriter {
  uint8_t *buffer;
  int used;
  int capacity;
} ApackStringWriter;

/* context is an ApackStringWriter. Grows the capacity to 1024, then by doubling, until the chunk
 * fits; returns -1 when the allocation fails or a capacity above 0x3FFFFFFF would have to grow
 * (so a stream holds at most 1 GiB). Otherwise appends the chunk and returns count. */
KIVO_API int apack_dump_callback_for_string(const void *data, int count, void *context)
    KIVO_SYMBOL(apack_dump_callback_for_string);

/* context is a FILE*. fread of up to count bytes; a result of 0 is 0 at end-of-file, else -1. */
KIVO_API int apack_load_callback_for_file(void *data, int count, void *context)
    KIVO_SYMBOL(apack_load_callback_for_file);

/* A memory range for apack_load_callback_for_string. */
typedef struct ApackStringReader {
  const uint8_t *cursor;
  const uint8_t *end;
} ApackStringReader;

/* context is an ApackStringReader. Copies min(count, bytes left), advances, returns that number. */
KIVO_API int apack_load_callback_for_string(void *data, int count, void *context)
    KIVO_SYMBOL(apack_load_callback_for_string);

KIVO_EXTERN_C_END

#endif

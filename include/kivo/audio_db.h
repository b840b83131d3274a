/* The audio database: a list of named reference fingerprints that any number of readers walk
 * while one writer prepares the next version.
 *
 * Every entry carries two links and the database two heads, so there are two lists over the
 * same entries: the reader side (db->side) and the writer side (1 - db->side). A writer edits
 * its side ("preswap"), flips the reader side ("swap", which then waits for the readers of the
 * old side to leave), and repeats the edits on the old side ("postswap"). Readers never see a
 * half-made change and never touch a freed entry.
 *
 * Plain records and functions. Every pointer argument is checked by assertion; allocation
 * failures are returned as 0. All functions may be called from any thread unless noted.
 * The header compiles as strict ISO C11 too. */
#ifndef KIVO_AUDIO_DB_H
#define KIVO_AUDIO_DB_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "kivo/export.h"

KIVO_EXTERN_C_BEGIN

/* A POSIX read/write lock. Strict ISO C hides pthread_rwlock_t; C callers then see storage of the
 * same size and alignment (the library itself always uses pthread_rwlock_t). */
#if defined(__cplusplus) || defined(__USE_XOPEN2K) || defined(__USE_UNIX98) || !defined(__SIZEOF_PTHREAD_RWLOCK_T)
typedef pthread_rwlock_t adb_rwlock_t;
#else
typedef union {
  char size[__SIZEOF_PTHREAD_RWLOCK_T];
  long int align;
} adb_rwlock_t;
#endif

/* A NUL-terminated string with its precomputed hash: owned (heap copy) unless it came from
 * hstr_from_str. hash is 0 when str is NULL. */
typedef struct HashedStr {
  char *str;
  uint32_t hash;
} HashedStr;

/* One reference fingerprint. name is the first field, so an entry may be passed wherever a
 * HashedStr is expected. The entry owns name.str and buffer. Outside a write next[0] == next[1]. */
typedef struct AudioEntry {
  HashedStr name;
  uint8_t *buffer;            /* AFP words (8 bytes each), or NULL */
  uint64_t size;              /* byte length of buffer */
  uint64_t reserved;          /* travels with the entry; no operation gives it another value */
  unsigned int mask : 8;      /* class bits of the entry */
  unsigned int flag : 1;      /* cleared whenever the buffer is allocated or freed */
  struct AudioEntry *next[2]; /* next[s] links the side-s list; NULL ends it */
} AudioEntry;

/* The database. Owns every entry in its list. Lock order: writer_lock, then side_lock, then
 * head_lock[...]; see adb_reader_start and adb_writer_swap. */
typedef struct AudioDB {
  int side;                     /* side readers use; written only by a writer under side_lock */
  AudioEntry *head[2];          /* first entry of each side's list; head[s] guarded by head_lock[s] */
  pthread_mutex_t writer_lock;  /* held by the one writer from start to end */
  adb_rwlock_t side_lock;       /* shared while a reader picks its side, exclusive for the flip */
  adb_rwlock_t head_lock[2];    /* shared by readers of side s, exclusive while the writer edits s */
} AudioDB;

/* A read cursor, kept on the reading thread's stack. */
typedef struct AudioReader {
  AudioDB *db;             /* NULL after adb_reader_end */
  const AudioEntry *cur;   /* entry the next adb_reader_next returns */
  int side;                /* side fixed at start */
} AudioReader;

/* The one writer, kept on the writing thread's stack. */
typedef struct AudioWriter {
  AudioDB *db;       /* NULL after the end */
  AudioEntry *cur;   /* entry last returned by adb_writer_next; NULL after start or restart */
  AudioEntry *next;  /* entry adb_writer_next returns next */
  int side;          /* reader side at writer start: edits 1 - side before the swap, side after */
  int swapped;       /* 0 before adb_writer_swap, 1 after */
} AudioWriter;

/* Change record of an add, filled by adb_add_preswap, consumed by adb_add_postswap. */
typedef struct AudioAddCtx {
  AudioWriter *wrr;
  AudioEntry *newentry;
} AudioAddCtx;

/* Change record of a replace or delete. prev is NULL when the head changed; newentry is the
 * replacement, or for a delete the successor of the deleted entry (or NULL). oldentry is the entry
 * taken out: the postswap operation frees it, or after adb_writer_force_copy_and_end the caller
 * frees it with adb_entry_free. */
typedef struct AudioChangeCtx {
  AudioWriter *wrr;
  AudioEntry *prev;
  AudioEntry *oldentry;
  AudioEntry *newentry;
} AudioChangeCtx;

/* ---- Strings ---- */

/* Borrows string (no copy) with its hash; a NULL string gives {NULL, 0}. The hash starts at
 * 15885588 and folds each byte b as h = h * 31 ^ (int8_t)b (sign-extended), modulo 2^32. */
KIVO_API HashedStr hstr_from_str(const char *string);

/* Stores a heap copy of string and its hash ({NULL, 0} for NULL); hname's old string is not freed.
 * Returns 1, or 0 when the copy cannot be allocated (hname then {NULL, 0}). */
KIVO_API int hstr_init_from_str(HashedStr *hname, const char *string);

/* Stores a heap copy of other's string (or NULL) and takes other's hash as is. Returns 1 or 0
 * (hname then {NULL, 0}). */
KIVO_API int hstr_init_from_other(HashedStr *hname, const HashedStr *other);

/* Replaces hname's string by a copy of string, which may be hname's own string. Returns 1, or 0
 * when the copy cannot be allocated; hname is then unchanged. */
KIVO_API int hstr_set_str(HashedStr *hname, const char *string);

/* Frees the string and sets {NULL, 0}; a NULL hname is ignored. */
KIVO_API void hstr_reset(HashedStr *hname);

/* True when the hashes are equal and the strings are the same pointer (both NULL included) or
 * byte-equal; always false when the hashes differ. */
KIVO_API bool hstr_eq(const HashedStr *hname, const HashedStr *other);

/* Compares strings only (no hash): same pointer is true, either NULL is false, else byte equality. */
KIVO_API bool hstr_eq_str(const HashedStr *hname, const char *string);

/* ---- Entries ---- */

/* Name {NULL, 0}, no buffer, size 0, reserved 0, mask set, flag cleared, both links NULL.
 * entry's previous contents are not freed. */
KIVO_API void adb_entry_init(AudioEntry *entry, uint8_t mask);

/* Detached copy of other without its fingerprint: new heap name, no buffer, size 0; reserved,
 * mask and both links copied; flag cleared. Returns 1, or 0 with entry untouched. */
KIVO_API int adb_entry_init_from_other(AudioEntry *entry, const AudioEntry *other);

/* Replaces the name by a copy of string (which may be the entry's own name). Returns 1, or 0 with
 * the name unchanged. */
KIVO_API int adb_entry_set_name(AudioEntry *entry, const char *string);

/* Frees the buffer, sets it NULL and clears flag; size is left as it was. */
KIVO_API void adb_entry_reset_buffer(AudioEntry *entry);

/* Reallocates the buffer to size bytes, keeping contents up to the smaller size (a grown tail is
 * zeroed). Size 0 frees the buffer. Returns 1 (size set, flag cleared), or 0 with entry unchanged. */
KIVO_API int adb_entry_resize_buffer(AudioEntry *entry, uint64_t size);

/* Frees any old buffer, then holds size bytes copied from source (zeroed when source is NULL);
 * size 0 leaves no buffer. Returns 1 (size set, flag cleared), or 0 with no buffer. */
KIVO_API int adb_entry_init_buffer(AudioEntry *entry, const void *source, uint64_t size);

/* Frees any old buffer, then fills size bytes with one read(2) from fd. Returns 1 (size set, flag
 * cleared); 0 with no buffer when the allocation fails, the read fails or delivers fewer bytes.
 * Size 0 reads nothing and leaves no buffer. */
KIVO_API int adb_entry_map_buffer(AudioEntry *entry, int fd, uint64_t size);

/* Frees name and buffer; name {NULL, 0}, no buffer, reserved, mask, flag 0, both links NULL.
 * size is not touched. */
KIVO_API void adb_entry_reset(AudioEntry *entry);

/* Resets an entry block the database allocated and frees the block. For entries no list reaches
 * any more: the oldentry of a change record once its write has swapped. */
KIVO_API void adb_entry_free(AudioEntry *entry);

/* ---- Database ---- */

/* Side 0, both heads NULL; initialises the four locks with default attributes. */
KIVO_API void adb_init(AudioDB *db);

/* Destroys the locks, asserts next[0] == next[1] for every entry, frees every entry; heads NULL.
 * REQUIRES: no reader or writer active. */
KIVO_API void adb_free(AudioDB *db);

/* ---- Reading ---- */

/* Starts a read of db's current side: waits only for the instant of a writer's flip, never for
 * its edits. Holds head_lock[side] shared until adb_reader_end, which must run on the same
 * thread. A thread holding a reader must not start a writer on the same db. */
KIVO_API void adb_reader_start(AudioReader *rdr, AudioDB *db);

/* Moves the cursor back to the first entry of the reader's side. REQUIRES: reader started. */
KIVO_API void adb_reader_restart(AudioReader *rdr);

/* Returns the entry at the cursor (NULL at the end) and advances along the reader's side. */
KIVO_API const AudioEntry *adb_reader_next(AudioReader *rdr);

/* Releases the reader's head lock; db and cur become NULL. REQUIRES: reader started. */
KIVO_API void adb_reader_end(AudioReader *rdr);

/* ---- Writing (one writer at a time; start, swap and end on the same thread) ---- */

/* Locks writer_lock (waiting for an earlier writer), fixes wrr->side = db->side, takes
 * head_lock[1 - side] exclusively, swapped = 0, and restarts the walk. */
KIVO_API void adb_writer_start(AudioWriter *wrr, AudioDB *db);

/* Restarts the walk at the writer side's own head, so it sees this writer's earlier edits:
 * cur = NULL, next = head[1 - wrr->side]. */
KIVO_API void adb_writer_restart(AudioWriter *wrr);

/* Returns the entry at next (NULL at the end); when there is one, cur = it and next = its
 * writer-side link. */
KIVO_API AudioEntry *adb_writer_next(AudioWriter *wrr);

/* Returns cur, the entry last returned by adb_writer_next: taken before the adb_writer_next that
 * finds a match, it is that match's predecessor (NULL for the head). */
KIVO_API AudioEntry *adb_writer_behind(AudioWriter *wrr);

/* Returns the writer side's first entry, head[1 - wrr->side]. */
KIVO_API AudioEntry *adb_writer_get_head(AudioWriter *wrr);

/* Returns cur's writer-side link. */
KIVO_API AudioEntry *adb_writer_get_next(AudioWriter *wrr, AudioEntry *cur);

/* Returns the writer-side entry whose successor is named hname (compared with hstr_eq); NULL when
 * hname is NULL, the list is empty, the head has that name or no entry has it. */
KIVO_API AudioEntry *adb_writer_get_prev(AudioWriter *wrr, const HashedStr *hname);

/* Raw link edits on the writer side (before the swap) or the old reader side (after it). */
KIVO_API void adb_writer_set_head_preswap(AudioWriter *wrr, AudioEntry *entry);
KIVO_API void adb_writer_set_next_preswap(AudioWriter *wrr, AudioEntry *cur, AudioEntry *entry);
KIVO_API void adb_writer_set_head_postswap(AudioWriter *wrr, AudioEntry *entry);
KIVO_API void adb_writer_set_next_postswap(AudioWriter *wrr, AudioEntry *cur, AudioEntry *entry);

/* Sets both links of cur, an entry that is in no list yet, to entry. */
KIVO_API void adb_writer_set_next_detached(AudioWriter *wrr, AudioEntry *cur, AudioEntry *entry);

/* Publishes the writer side to readers, then waits until every reader that started on the old
 * side has ended; afterwards the writer edits the old side (postswap). */
KIVO_API void adb_writer_swap(AudioWriter *wrr);

/* Releases the writer's head lock and writer_lock; db becomes NULL. A writer that made preswap
 * edits must swap (or force-copy) first; one that only looked may end directly. */
KIVO_API void adb_writer_end(AudioWriter *wrr);

/* Swaps, makes the old reader side a copy of the writer side, and ends: for writers that drop
 * their change records. Entries those edits unlinked are not freed: the caller frees them with
 * adb_entry_free afterwards. */
KIVO_API void adb_writer_force_copy_and_end(AudioWriter *wrr);

/* ---- Changes: preswap on a started writer before its swap, postswap after, in the same order ---- */

/* Moves entry's fields (all but links) into a new block that becomes the writer-side head, both
 * links on the old head; sets wrr->cur to it when cur is NULL. The database now owns entry's name
 * and buffer: the caller must not reset its copy. Returns 1, or 0 with nothing changed. */
KIVO_API int adb_add_preswap(AudioAddCtx *ctx, AudioWriter *wrr, const AudioEntry *entry);

/* Makes the added entry the head of the old reader side too. */
KIVO_API void adb_add_postswap(AudioAddCtx *ctx);

/* adb_entry_init_from_other(copied, prev's writer-side successor): the template of a replacement
 * that keeps the old entry's links. REQUIRES: prev has a successor. */
KIVO_API int adb_replace_get_copy(AudioWriter *wrr, AudioEntry *copied, AudioEntry *prev);

/* Moves all of entry's fields, links included, into a new block that takes the place of prev's
 * writer-side successor (of the head when prev is NULL). If wrr->cur is prev, wrr->next becomes the
 * new block. Ownership of entry's name and buffer passes as for adds. Returns 1, or 0 with nothing
 * changed. */
KIVO_API int adb_replace_preswap(AudioChangeCtx *ctx, AudioWriter *wrr, AudioEntry *prev,
                                 const AudioEntry *entry);

/* Links the replacement on the old reader side in the place and with the successor the old entry
 * has there by now (earlier postswaps included), then frees the old entry. */
KIVO_API void adb_replace_postswap(AudioChangeCtx *ctx);

/* Unlinks prev's writer-side successor (the head when prev is NULL) from the writer side; its own
 * links stay, so a reader standing on it moves on. If wrr->cur is prev, wrr->next becomes the
 * successor. REQUIRES: the entry exists. Returns 1. */
KIVO_API int adb_delete_preswap(AudioChangeCtx *ctx, AudioWriter *wrr, AudioEntry *prev);

/* Makes the same skip on the old reader side, then frees the deleted entry. */
KIVO_API void adb_delete_postswap(AudioChangeCtx *ctx);

KIVO_EXTERN_C_END

#endif

// apack_load: a pack stream parsed whole into pending operations, then applied in one write.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audiopack/audio_pack_internal.h"
#include "kivo/audio_pack.h"
#include "platform/assert.h"

namespace {

// A read function with the running stream position.
struct In {
  apack_read_fn read;
  void *context;
  uint64_t offset;
};

// Reads until count bytes, the end of data or an error. Returns the bytes read, or -1 on error
// (also when the read function claims more than it was asked for).
int get(In *in, void *data, int count) {
  int done = 0;
  while (done < count) {
    const int n = in->read(static_cast<uint8_t *>(data) + done, count - done, in->context);
    if (n < 0 || n > count - done) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += n;
  }
  in->offset += uint64_t(done);
  return done;
}

// APACK_OK when exactly count bytes arrived; a short read is a format error.
int get_exact(In *in, void *data, int count) {
  if (count == 0) {
    return APACK_OK;
  }
  const int n = get(in, data, count);
  if (n < 0) {
    return APACK_ERR_IO;
  }
  return n == count ? APACK_OK : APACK_ERR_FORMAT;
}

int get_u32(In *in, uint32_t *value) {
  uint8_t bytes[4];
  const int rc = get_exact(in, bytes, 4);
  *value = rc == APACK_OK ? uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3] : 0;
  return rc;
}

// One parsed record. Its entry holds the name (and for adds the data); an add's entry belongs to
// the record until adb_add_preswap moves it into the database.
struct Pending {
  int op;
  int applied;        // add: moved into the database; delete: an entry was unlinked
  uint32_t checksum;  // test-match: the expected Adler-32
  AudioEntry entry;
  union {
    AudioAddCtx add;
    AudioChangeCtx change;
  } ctx;
};

struct PendingList {
  Pending *items;
  size_t count;
  size_t capacity;
};

Pending *pending_push(PendingList *list, int op) {
  if (list->count == list->capacity) {
    const size_t capacity = list->capacity == 0 ? 16 : list->capacity * 2;
    Pending *grown = static_cast<Pending *>(std::realloc(list->items, capacity * sizeof(Pending)));
    if (grown == NULL) {
      return NULL;
    }
    list->items = grown;
    list->capacity = capacity;
  }
  Pending *p = &list->items[list->count++];
  std::memset(p, 0, sizeof *p);
  p->op = op;
  adb_entry_init(&p->entry, 0);
  return p;
}

// Frees the entries that never reached the database (all but applied adds), then the list.
void pending_release(PendingList *list) {
  for (size_t i = 0; i < list->count; ++i) {
    if (list->items[i].op != APACK_OP_ADD || !list->items[i].applied) {
      adb_entry_reset(&list->items[i].entry);
    }
  }
  std::free(list->items);
}

int find_header(In *in) {
  for (;;) {
    uint8_t block[16];
    const int n = get(in, block, 16);
    if (n < 0) {
      return APACK_ERR_IO;
    }
    if (n < 16) {
      return APACK_ERR_FORMAT;
    }
    if (std::memcmp(block, APACK_HEADER, 16) == 0) {
      return APACK_OK;
    }
  }
}

int read_name(In *in, char *name) {
  uint8_t length;
  int rc = get_exact(in, &length, 1);
  if (rc != APACK_OK) {
    return rc;
  }
  if (length > APACK_MAX_NAME) {
    return APACK_ERR_FORMAT;
  }
  rc = get_exact(in, name, length);
  if (rc != APACK_OK) {
    return rc;
  }
  if (std::memchr(name, 0, length) != NULL) {
    return APACK_ERR_FORMAT;
  }
  name[length] = '\0';
  return APACK_OK;
}

int read_add(In *in, Pending *p, const char *name) {
  uint32_t type;
  uint32_t size;
  int rc = get_u32(in, &type);
  if (rc == APACK_OK) {
    rc = get_u32(in, &size);
  }
  if (rc != APACK_OK) {
    return rc;
  }
  if (size > APACK_MAX_DATA) {
    return APACK_ERR_FORMAT;
  }
  p->entry.mask = type & 0xFF;
  if (!adb_entry_set_name(&p->entry, name) || !adb_entry_init_buffer(&p->entry, NULL, size)) {
    return APACK_ERR_NOMEM;
  }
  return get_exact(in, p->entry.buffer, int(size));
}

int read_records(In *in, PendingList *list) {
  for (;;) {
    uint8_t op;
    const int n = get(in, &op, 1);
    if (n < 0) {
      return APACK_ERR_IO;
    }
    if (n == 0) {
      return APACK_ERR_FORMAT;
    }
    if (op == 0x00) {
      return APACK_OK;
    }
    if (op != APACK_OP_ADD && op != APACK_OP_DEL_IF_ANY && op != APACK_OP_TEST_MATCH) {
      return APACK_ERR_FORMAT;
    }
    Pending *p = pending_push(list, op);
    if (p == NULL) {
      return APACK_ERR_NOMEM;
    }
    char name[APACK_MAX_NAME + 1];
    int rc = read_name(in, name);
    if (rc == APACK_OK && op == APACK_OP_ADD) {
      rc = read_add(in, p, name);
    } else if (rc == APACK_OK) {
      // The hashed copy serves every comparison of the apply phase.
      rc = adb_entry_set_name(&p->entry, name) ? APACK_OK : APACK_ERR_NOMEM;
      if (rc == APACK_OK && op == APACK_OP_TEST_MATCH) {
        rc = get_u32(in, &p->checksum);
      }
    }
    if (rc != APACK_OK) {
      return rc;
    }
  }
}

// After the end byte: nothing at all, or 0xFF padding up to a multiple of 16 and the trailer.
int check_end(In *in) {
  const int r = int(in->offset & 15);
  const int want = r == 0 ? 16 : 32 - r;
  uint8_t tail[32];
  const int n = get(in, tail, want);
  if (n < 0) {
    return APACK_ERR_IO;
  }
  if (n == 0) {
    return APACK_OK;
  }
  if (n != want) {
    return APACK_ERR_FORMAT;
  }
  const int padding = want - 16;
  for (int i = 0; i < padding; ++i) {
    if (tail[i] != 0xFF) {
      return APACK_ERR_FORMAT;
    }
  }
  return std::memcmp(tail + padding, APACK_FOOTER, 16) == 0 ? APACK_OK : APACK_ERR_FORMAT;
}

// Walks the writer side from its real head, so earlier records of the same pack are seen.
AudioEntry *find_on_writer_side(AudioWriter *wrr, const HashedStr *name, AudioEntry **prev) {
  AudioEntry *behind = NULL;
  for (AudioEntry *e = adb_writer_get_head(wrr); e != NULL; e = adb_writer_get_next(wrr, e)) {
    if (hstr_eq(&e->name, name)) {
      *prev = behind;
      return e;
    }
    behind = e;
  }
  return NULL;
}

int apply_one(AudioWriter *wrr, Pending *p) {
  AudioEntry *prev = NULL;
  switch (p->op) {
    case APACK_OP_ADD:
      if (!adb_add_preswap(&p->ctx.add, wrr, &p->entry)) {
        return APACK_ERR_NOMEM;
      }
      p->applied = 1;
      return APACK_OK;
    case APACK_OP_TEST_MATCH: {
      const AudioEntry *e = find_on_writer_side(wrr, &p->entry.name, &prev);
      if (e == NULL) {
        return APACK_ERR_MISMATCH;
      }
      const uint64_t size = e->buffer != NULL ? e->size : 0;
      return apack_checksum(e->buffer, size) == p->checksum ? APACK_OK : APACK_ERR_MISMATCH;
    }
    default: {
      AudioEntry *e = find_on_writer_side(wrr, &p->entry.name, &prev);
      if (e != NULL) {
        if (!adb_delete_preswap(&p->ctx.change, wrr, prev)) {
          return APACK_ERR_NOMEM;
        }
        p->applied = 1;
      }
      return APACK_OK;
    }
  }
}

// Undoes the preswap edits of a failed apply: the writer side becomes a copy of the reader side,
// which they never touched, and the blocks this pack added are freed (each once).
void roll_back(AudioWriter *wrr, PendingList *list) {
  AudioDB *db = wrr->db;
  const int s = wrr->side;
  adb_writer_set_head_preswap(wrr, db->head[s]);
  for (AudioEntry *e = db->head[s]; e != NULL; e = e->next[s]) {
    adb_writer_set_next_preswap(wrr, e, e->next[s]);
  }
  for (size_t i = 0; i < list->count; ++i) {
    Pending *p = &list->items[i];
    if (p->op == APACK_OP_ADD && p->applied) {
      adb_entry_free(p->ctx.add.newentry);
      p->applied = 0;
      adb_entry_init(&p->entry, 0);  // its name and buffer went with the block
    }
  }
}

int apply(AudioDB *db, PendingList *list) {
  AudioWriter wrr;
  adb_writer_start(&wrr, db);
  for (size_t i = 0; i < list->count; ++i) {
    const int rc = apply_one(&wrr, &list->items[i]);
    if (rc != APACK_OK) {
      roll_back(&wrr, list);
      adb_writer_end(&wrr);
      return rc;
    }
  }
  adb_writer_swap(&wrr);
  for (size_t i = 0; i < list->count; ++i) {
    Pending *p = &list->items[i];
    if (p->op == APACK_OP_ADD) {
      adb_add_postswap(&p->ctx.add);
    } else if (p->op == APACK_OP_DEL_IF_ANY && p->applied) {
      adb_delete_postswap(&p->ctx.change);
    }
  }
  adb_writer_end(&wrr);
  return APACK_OK;
}

}  // namespace

extern "C" {

int apack_load(AudioDB *db, apack_read_fn read, void *context) {
  KIVO_ASSERT("audio_pack", db != NULL);
  KIVO_ASSERT("audio_pack", read != NULL);
  In in = {read, context, 0};
  PendingList list = {NULL, 0, 0};
  int rc = find_header(&in);
  if (rc == APACK_OK) {
    rc = read_records(&in, &list);
  }
  if (rc == APACK_OK) {
    rc = check_end(&in);
  }
  if (rc == APACK_OK) {
    rc = apply(db, &list);
  }
  pending_release(&list);
  return rc;
}

int apack_load_from_file(AudioDB *db, FILE *file) {
  KIVO_ASSERT("audio_pack", file != NULL);
  return apack_load(db, apack_load_callback_for_file, file);
}

int apack_load_from_string(AudioDB *db, const void *data, int length) {
  KIVO_ASSERT("audio_pack", data != NULL || length <= 0);
  const uint8_t *begin = static_cast<const uint8_t *>(data);
  ApackStringReader in = {begin, length > 0 ? begin + length : begin};
  return apack_load(db, apack_load_callback_for_string, &in);
}

}  // extern "C"

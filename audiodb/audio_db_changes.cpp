// Adds, replaces and deletes: each edits the writer side before the swap and repeats the edit
// on the old reader side after it, from the change record the preswap step filled.
#include <cstdlib>

#include "kivo/audio_db.h"
#include "platform/assert.h"

namespace {

AudioEntry *new_block(const AudioEntry *entry) {
  AudioEntry *block = static_cast<AudioEntry *>(std::malloc(sizeof(AudioEntry)));
  if (block != NULL) {
    *block = *entry;
  }
  return block;
}

// The writer-side successor of prev, or the writer-side head when prev is NULL.
AudioEntry *writer_successor(const AudioWriter *wrr, const AudioEntry *prev) {
  const int w = 1 - wrr->side;
  return prev != NULL ? prev->next[w] : wrr->db->head[w];
}

// Links entry in place of prev's successor on side s (in place of the head when prev is NULL).
void link_after(AudioDB *db, int s, AudioEntry *prev, AudioEntry *entry) {
  if (prev != NULL) {
    prev->next[s] = entry;
  } else {
    db->head[s] = entry;
  }
}

}  // namespace

extern "C" {

int adb_add_preswap(AudioAddCtx *ctx, AudioWriter *wrr, const AudioEntry *entry) {
  KIVO_ASSERT("audio_db", ctx != NULL);
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && !wrr->swapped);
  KIVO_ASSERT("audio_db", entry != NULL);
  AudioEntry *block = new_block(entry);
  if (block == NULL) {
    return 0;
  }
  const int w = 1 - wrr->side;
  AudioEntry *head = wrr->db->head[w];
  block->next[0] = head;
  block->next[1] = head;
  wrr->db->head[w] = block;
  if (wrr->cur == NULL) {
    wrr->cur = block;
  }
  ctx->wrr = wrr;
  ctx->newentry = block;
  return 1;
}

void adb_add_postswap(AudioAddCtx *ctx) {
  KIVO_ASSERT("audio_db", ctx != NULL);
  AudioWriter *wrr = ctx->wrr;
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && wrr->swapped);
  AudioEntry *newentry = ctx->newentry;
  KIVO_ASSERT("audio_db", newentry != NULL);
  wrr->db->head[wrr->side] = newentry;
}

int adb_replace_get_copy(AudioWriter *wrr, AudioEntry *copied, AudioEntry *prev) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && !wrr->swapped);
  KIVO_ASSERT("audio_db", copied != NULL);
  KIVO_ASSERT("audio_db", prev != NULL);
  AudioEntry *cur = prev->next[1 - wrr->side];
  KIVO_ASSERT("audio_db", cur != NULL);
  return adb_entry_init_from_other(copied, cur);
}

int adb_replace_preswap(AudioChangeCtx *ctx, AudioWriter *wrr, AudioEntry *prev, const AudioEntry *entry) {
  KIVO_ASSERT("audio_db", ctx != NULL);
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && !wrr->swapped);
  KIVO_ASSERT("audio_db", entry != NULL);
  AudioEntry *cur = writer_successor(wrr, prev);
  KIVO_ASSERT("audio_db", cur != NULL);
  AudioEntry *block = new_block(entry);
  if (block == NULL) {
    return 0;
  }
  link_after(wrr->db, 1 - wrr->side, prev, block);
  if (wrr->cur == prev) {
    wrr->next = block;
  }
  ctx->wrr = wrr;
  ctx->prev = prev;
  ctx->oldentry = cur;
  ctx->newentry = block;
  return 1;
}

void adb_replace_postswap(AudioChangeCtx *ctx) {
  KIVO_ASSERT("audio_db", ctx != NULL);
  AudioWriter *wrr = ctx->wrr;
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && wrr->swapped);
  AudioEntry *oldentry = ctx->oldentry;
  AudioEntry *newentry = ctx->newentry;
  KIVO_ASSERT("audio_db", oldentry != NULL);
  KIVO_ASSERT("audio_db", newentry != NULL);
  // The block copied oldentry's links at preswap; an earlier edit of this write may since have
  // moved oldentry's successor, and its postswap has already updated oldentry on this side.
  newentry->next[wrr->side] = oldentry->next[wrr->side];
  link_after(wrr->db, wrr->side, ctx->prev, newentry);
  adb_entry_free(oldentry);
}

int adb_delete_preswap(AudioChangeCtx *ctx, AudioWriter *wrr, AudioEntry *prev) {
  KIVO_ASSERT("audio_db", ctx != NULL);
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && !wrr->swapped);
  AudioEntry *cur = writer_successor(wrr, prev);
  KIVO_ASSERT("audio_db", cur != NULL);
  AudioEntry *successor = cur->next[1 - wrr->side];
  link_after(wrr->db, 1 - wrr->side, prev, successor);
  if (wrr->cur == prev) {
    wrr->next = successor;
  }
  ctx->wrr = wrr;
  ctx->prev = prev;
  ctx->oldentry = cur;
  ctx->newentry = successor;
  return 1;
}

void adb_delete_postswap(AudioChangeCtx *ctx) {
  KIVO_ASSERT("audio_db", ctx != NULL);
  AudioWriter *wrr = ctx->wrr;
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && wrr->swapped);
  AudioEntry *oldentry = ctx->oldentry;
  KIVO_ASSERT("audio_db", oldentry != NULL);
  link_after(wrr->db, wrr->side, ctx->prev, ctx->newentry);
  adb_entry_free(oldentry);
}

}  // extern "C"

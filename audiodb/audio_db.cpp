// The database, its readers and its writer: the two-sided list and its locking protocol.
//
// Lock order: writer_lock, side_lock, head_lock[...]. A reader holds side_lock (shared) only
// while it takes head_lock[side] (shared). The writer holds head_lock[1 - side] exclusively
// while it edits the writer side, drops it before the flip under side_lock, then takes
// head_lock[side] exclusively, which waits for every reader of the old side.
#include <cstdlib>

#include "kivo/audio_db.h"
#include "platform/assert.h"

extern "C" {

void adb_init(AudioDB *db) {
  KIVO_ASSERT("audio_db", db != NULL);
  db->side = 0;
  db->head[0] = NULL;
  db->head[1] = NULL;
  pthread_mutex_init(&db->writer_lock, NULL);
  pthread_rwlock_init(&db->side_lock, NULL);
  pthread_rwlock_init(&db->head_lock[0], NULL);
  pthread_rwlock_init(&db->head_lock[1], NULL);
}

void adb_free(AudioDB *db) {
  KIVO_ASSERT("audio_db", db != NULL);
  pthread_mutex_destroy(&db->writer_lock);
  pthread_rwlock_destroy(&db->side_lock);
  pthread_rwlock_destroy(&db->head_lock[0]);
  pthread_rwlock_destroy(&db->head_lock[1]);
  const int side = db->side;
  AudioEntry *cur = db->head[side];
  while (cur != NULL) {
    KIVO_ASSERT("audio_db", cur->next[0] == cur->next[1]);
    AudioEntry *following = cur->next[side];
    adb_entry_free(cur);
    cur = following;
  }
  db->head[0] = NULL;
  db->head[1] = NULL;
}

void adb_reader_start(AudioReader *rdr, AudioDB *db) {
  KIVO_ASSERT("audio_db", rdr != NULL);
  KIVO_ASSERT("audio_db", db != NULL);
  pthread_rwlock_rdlock(&db->side_lock);
  const int side = db->side;
  pthread_rwlock_rdlock(&db->head_lock[side]);
  pthread_rwlock_unlock(&db->side_lock);
  rdr->db = db;
  rdr->side = side;
  adb_reader_restart(rdr);
}

void adb_reader_restart(AudioReader *rdr) {
  KIVO_ASSERT("audio_db", rdr != NULL && rdr->db != NULL);
  rdr->cur = rdr->db->head[rdr->side];
}

const AudioEntry *adb_reader_next(AudioReader *rdr) {
  KIVO_ASSERT("audio_db", rdr != NULL);
  const AudioEntry *entry = rdr->cur;
  if (entry != NULL) {
    rdr->cur = entry->next[rdr->side];
  }
  return entry;
}

void adb_reader_end(AudioReader *rdr) {
  KIVO_ASSERT("audio_db", rdr != NULL && rdr->db != NULL);
  pthread_rwlock_unlock(&rdr->db->head_lock[rdr->side]);
  rdr->db = NULL;
  rdr->cur = NULL;
}

void adb_writer_start(AudioWriter *wrr, AudioDB *db) {
  KIVO_ASSERT("audio_db", wrr != NULL);
  KIVO_ASSERT("audio_db", db != NULL);
  pthread_mutex_lock(&db->writer_lock);
  // Only writers change side, and they are serialised by writer_lock.
  wrr->side = db->side;
  pthread_rwlock_wrlock(&db->head_lock[1 - wrr->side]);
  wrr->db = db;
  wrr->swapped = 0;
  adb_writer_restart(wrr);
}

void adb_writer_restart(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL);
  wrr->cur = NULL;
  wrr->next = wrr->db->head[1 - wrr->side];
}

AudioEntry *adb_writer_next(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL);
  AudioEntry *entry = wrr->next;
  if (entry != NULL) {
    wrr->cur = entry;
    wrr->next = entry->next[1 - wrr->side];
  }
  return entry;
}

AudioEntry *adb_writer_behind(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL);
  return wrr->cur;
}

AudioEntry *adb_writer_get_head(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL);
  return wrr->db->head[1 - wrr->side];
}

AudioEntry *adb_writer_get_next(AudioWriter *wrr, AudioEntry *cur) {
  KIVO_ASSERT("audio_db", wrr != NULL);
  KIVO_ASSERT("audio_db", cur != NULL);
  return cur->next[1 - wrr->side];
}

AudioEntry *adb_writer_get_prev(AudioWriter *wrr, const HashedStr *hname) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL);
  if (hname == NULL) {
    return NULL;
  }
  const int w = 1 - wrr->side;
  AudioEntry *prev = wrr->db->head[w];
  if (prev == NULL || hstr_eq(&prev->name, hname)) {
    return NULL;
  }
  for (AudioEntry *cur = prev->next[w]; cur != NULL; prev = cur, cur = cur->next[w]) {
    if (hstr_eq(&cur->name, hname)) {
      return prev;
    }
  }
  return NULL;
}

void adb_writer_set_head_preswap(AudioWriter *wrr, AudioEntry *entry) {
  KIVO_ASSERT("audio_db", wrr != NULL && !wrr->swapped);
  wrr->db->head[1 - wrr->side] = entry;
}

void adb_writer_set_next_preswap(AudioWriter *wrr, AudioEntry *cur, AudioEntry *entry) {
  KIVO_ASSERT("audio_db", wrr != NULL && !wrr->swapped);
  KIVO_ASSERT("audio_db", cur != NULL);
  cur->next[1 - wrr->side] = entry;
}

void adb_writer_set_head_postswap(AudioWriter *wrr, AudioEntry *entry) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->swapped);
  wrr->db->head[wrr->side] = entry;
}

void adb_writer_set_next_postswap(AudioWriter *wrr, AudioEntry *cur, AudioEntry *entry) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->swapped);
  KIVO_ASSERT("audio_db", cur != NULL);
  cur->next[wrr->side] = entry;
}

void adb_writer_set_next_detached(AudioWriter *wrr, AudioEntry *cur, AudioEntry *entry) {
  (void)wrr;
  KIVO_ASSERT("audio_db", cur != NULL);
  cur->next[0] = entry;
  cur->next[1] = entry;
}

void adb_writer_swap(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && !wrr->swapped);
  AudioDB *db = wrr->db;
  pthread_rwlock_unlock(&db->head_lock[1 - wrr->side]);
  pthread_rwlock_wrlock(&db->side_lock);
  db->side = 1 - wrr->side;
  pthread_rwlock_unlock(&db->side_lock);
  // Waits for every reader that started on the old side.
  pthread_rwlock_wrlock(&db->head_lock[wrr->side]);
  wrr->swapped = 1;
}

void adb_writer_end(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL);
  AudioDB *db = wrr->db;
  pthread_rwlock_unlock(&db->head_lock[wrr->swapped ? wrr->side : 1 - wrr->side]);
  pthread_mutex_unlock(&db->writer_lock);
  wrr->db = NULL;
}

void adb_writer_force_copy_and_end(AudioWriter *wrr) {
  KIVO_ASSERT("audio_db", wrr != NULL && wrr->db != NULL && !wrr->swapped);
  adb_writer_swap(wrr);
  AudioDB *db = wrr->db;
  const int s = wrr->side;
  db->head[s] = db->head[1 - s];
  for (AudioEntry *cur = db->head[1 - s]; cur != NULL; cur = cur->next[1 - s]) {
    cur->next[s] = cur->next[1 - s];
  }
  adb_writer_end(wrr);
}

}  // extern "C"

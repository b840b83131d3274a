// Audio entries: a named fingerprint buffer with its mask and two list links.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "kivo/audio_db.h"
#include "platform/assert.h"

namespace {

void drop_buffer(AudioEntry *entry) {
  std::free(entry->buffer);
  entry->buffer = NULL;
  entry->flag = 0;
}

// A buffer of size bytes, or NULL when it cannot be allocated or does not fit in memory.
uint8_t *allocate(uint64_t size) {
  if (size > SIZE_MAX) {
    return NULL;
  }
  return static_cast<uint8_t *>(std::malloc(static_cast<size_t>(size)));
}

}  // namespace

extern "C" {

void adb_entry_init(AudioEntry *entry, uint8_t mask) {
  KIVO_ASSERT("audio_db", entry != NULL);
  entry->name.str = NULL;
  entry->name.hash = 0;
  entry->buffer = NULL;
  entry->size = 0;
  entry->reserved = 0;
  entry->mask = mask;
  entry->flag = 0;
  entry->next[0] = NULL;
  entry->next[1] = NULL;
}

int adb_entry_init_from_other(AudioEntry *entry, const AudioEntry *other) {
  KIVO_ASSERT("audio_db", entry != NULL);
  KIVO_ASSERT("audio_db", other != NULL);
  HashedStr name;
  if (!hstr_init_from_other(&name, &other->name)) {
    return 0;
  }
  entry->name = name;
  entry->buffer = NULL;
  entry->size = 0;
  entry->reserved = other->reserved;
  entry->mask = other->mask;
  entry->flag = 0;
  entry->next[0] = other->next[0];
  entry->next[1] = other->next[1];
  return 1;
}

int adb_entry_set_name(AudioEntry *entry, const char *string) {
  KIVO_ASSERT("audio_db", entry != NULL);
  return hstr_set_str(&entry->name, string);
}

void adb_entry_reset_buffer(AudioEntry *entry) {
  KIVO_ASSERT("audio_db", entry != NULL);
  drop_buffer(entry);
}

int adb_entry_resize_buffer(AudioEntry *entry, uint64_t size) {
  KIVO_ASSERT("audio_db", entry != NULL);
  if (size == 0) {
    // realloc(p, 0) may free p and return NULL: release explicitly instead.
    drop_buffer(entry);
    entry->size = 0;
    return 1;
  }
  if (size > SIZE_MAX) {
    return 0;
  }
  uint8_t *grown = static_cast<uint8_t *>(std::realloc(entry->buffer, static_cast<size_t>(size)));
  if (grown == NULL) {
    return 0;
  }
  const uint64_t kept = entry->buffer == NULL ? 0 : entry->size;
  if (size > kept) {
    std::memset(grown + kept, 0, static_cast<size_t>(size - kept));
  }
  entry->buffer = grown;
  entry->size = size;
  entry->flag = 0;
  return 1;
}

int adb_entry_init_buffer(AudioEntry *entry, const void *source, uint64_t size) {
  KIVO_ASSERT("audio_db", entry != NULL);
  drop_buffer(entry);
  if (size > 0) {
    uint8_t *buffer = allocate(size);
    if (buffer == NULL) {
      return 0;
    }
    if (source != NULL) {
      std::memcpy(buffer, source, static_cast<size_t>(size));
    } else {
      std::memset(buffer, 0, static_cast<size_t>(size));
    }
    entry->buffer = buffer;
  }
  entry->size = size;
  return 1;
}

int adb_entry_map_buffer(AudioEntry *entry, int fd, uint64_t size) {
  KIVO_ASSERT("audio_db", entry != NULL);
  drop_buffer(entry);
  if (size > 0) {
    uint8_t *buffer = allocate(size);
    if (buffer == NULL) {
      return 0;
    }
    const ssize_t got = read(fd, buffer, static_cast<size_t>(size));
    if (got < 0 || static_cast<uint64_t>(got) != size) {
      std::free(buffer);
      return 0;
    }
    entry->buffer = buffer;
  }
  entry->size = size;
  return 1;
}

void adb_entry_reset(AudioEntry *entry) {
  KIVO_ASSERT("audio_db", entry != NULL);
  hstr_reset(&entry->name);
  drop_buffer(entry);
  entry->reserved = 0;
  entry->mask = 0;
  entry->next[0] = NULL;
  entry->next[1] = NULL;
}

void adb_entry_free(AudioEntry *entry) {
  KIVO_ASSERT("audio_db", entry != NULL);
  adb_entry_reset(entry);
  std::free(entry);
}

}  // extern "C"

// Hashed strings: NUL-terminated names with a precomputed hash, compared hash first.
#include <cstdlib>
#include <cstring>

#include "kivo/audio_db.h"
#include "platform/assert.h"

namespace {

constexpr uint32_t kHashSeed = 15885588;  // 0xF26514

// Each byte is folded as a signed 8-bit value, whatever the signedness of char on the target.
uint32_t hash_of(const char *string) {
  uint32_t h = kHashSeed;
  for (const char *p = string; *p != '\0'; ++p) {
    const int32_t c = static_cast<int8_t>(static_cast<unsigned char>(*p));
    h = (h * 31u) ^ static_cast<uint32_t>(c);
  }
  return h;
}

// Heap copy of string, or NULL when it cannot be allocated.
char *copy_of(const char *string) {
  const size_t length = std::strlen(string) + 1;
  char *copy = static_cast<char *>(std::malloc(length));
  if (copy != NULL) {
    std::memcpy(copy, string, length);
  }
  return copy;
}

}  // namespace

extern "C" {

HashedStr hstr_from_str(const char *string) {
  HashedStr h = {NULL, 0};
  if (string != NULL) {
    h.str = const_cast<char *>(string);
    h.hash = hash_of(string);
  }
  return h;
}

int hstr_init_from_str(HashedStr *hname, const char *string) {
  KIVO_ASSERT("audio_db", hname != NULL);
  hname->str = NULL;
  hname->hash = 0;
  if (string == NULL) {
    return 1;
  }
  char *copy = copy_of(string);
  if (copy == NULL) {
    return 0;
  }
  hname->str = copy;
  hname->hash = hash_of(copy);
  return 1;
}

int hstr_init_from_other(HashedStr *hname, const HashedStr *other) {
  KIVO_ASSERT("audio_db", hname != NULL);
  KIVO_ASSERT("audio_db", other != NULL);
  char *copy = NULL;
  if (other->str != NULL) {
    copy = copy_of(other->str);
    if (copy == NULL) {
      hname->str = NULL;
      hname->hash = 0;
      return 0;
    }
  }
  hname->str = copy;
  hname->hash = other->hash;
  return 1;
}

// Copies before freeing, so string may be hname's own string.
int hstr_set_str(HashedStr *hname, const char *string) {
  KIVO_ASSERT("audio_db", hname != NULL);
  HashedStr fresh;
  if (!hstr_init_from_str(&fresh, string)) {
    return 0;
  }
  std::free(hname->str);
  *hname = fresh;
  return 1;
}

void hstr_reset(HashedStr *hname) {
  if (hname == NULL) {
    return;
  }
  std::free(hname->str);
  hname->str = NULL;
  hname->hash = 0;
}

bool hstr_eq(const HashedStr *hname, const HashedStr *other) {
  KIVO_ASSERT("audio_db", hname != NULL);
  KIVO_ASSERT("audio_db", other != NULL);
  if (hname->hash != other->hash) {
    return false;
  }
  if (hname->str == other->str) {
    return true;
  }
  return hname->str != NULL && other->str != NULL && std::strcmp(hname->str, other->str) == 0;
}

bool hstr_eq_str(const HashedStr *hname, const char *string) {
  KIVO_ASSERT("audio_db", hname != NULL);
  if (hname->str == string) {
    return true;
  }
  if (hname->str == NULL || string == NULL) {
    return false;
  }
  return std::strcmp(hname->str, string) == 0;
}

}  // extern "C"

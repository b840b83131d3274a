// Analyses of a finished candidate list: the confirmation test and the pairwise
// cross-correlation of the candidates' fingerprints.
#include <bit>
#include <cstdlib>

#include "kivo/matcher.h"
#include "platform/assert.h"

namespace {

// h * x, saturated to the int64 range, so the bounds below compare exactly.
int64_t scaled(int64_t h, int64_t x) {
  int64_t product;
  if (!__builtin_mul_overflow(h, x, &product)) return product;
  return (h < 0) != (x < 0) ? INT64_MIN : INT64_MAX;
}

// The fingerprint a candidate compares with: its buffer and length in words.
struct Fingerprint {
  const uint64_t *words;
  uint64_t count;
};

Fingerprint fingerprint_of(const AudioEntry *entry) {
  return Fingerprint{reinterpret_cast<const uint64_t *>(entry->buffer), entry->size / 8};
}

// Gives each database entry's buffer to the first candidate still without one whose entry has
// the same name.
void find_buffers(AudioReader *reader, const Candidates *candidates, Fingerprint *prints) {
  adb_reader_restart(reader);
  while (const AudioEntry *entry = adb_reader_next(reader)) {
    for (int i = 0; i < candidates->count; ++i) {
      if (prints[i].words == NULL && hstr_eq(&entry->name, &candidates->items[i].entry->name)) {
        prints[i] = fingerprint_of(entry);
        break;
      }
    }
  }
}

}  // namespace

extern "C" {

int confirm_result_from_candidates(int length, const Candidates *candidates, int64_t a, int64_t b) {
  KIVO_ASSERT("matcher", candidates != NULL);
  if (candidates->count < 1) return 0;
  const int64_t h = length / 2;
  const Candidate *best = &candidates->items[0];
  if (best->score > scaled(h, a)) return 0;
  if (b < 0) return 1;
  for (int i = 1; i < candidates->count; ++i) {
    const Candidate *other = &candidates->items[i];
    if (other->entry == best->entry) continue;
    int64_t margin;
    if (__builtin_sub_overflow(other->score, best->score, &margin)) margin = INT64_MAX;
    return margin > scaled(h, b) ? 1 : 0;
  }
  return 1;
}

size_t correlation_size(const Candidates *candidates) {
  KIVO_ASSERT("matcher", candidates != NULL);
  if (candidates->count < 2) return 0;
  const size_t count = static_cast<size_t>(candidates->count);
  return (count - 1) * count / 2;
}

void cross_correlate(AudioReader *reader, const Candidates *candidates, int length, uint8_t *output,
                     uint64_t *counter) {
  KIVO_ASSERT("matcher", candidates != NULL);
  if (candidates->count < 2) return;
  KIVO_ASSERT("matcher", output != NULL);
  const int count = candidates->count;
  Fingerprint *prints = static_cast<Fingerprint *>(std::calloc(static_cast<size_t>(count), sizeof(Fingerprint)));
  KIVO_ASSERT("matcher", prints != NULL);
  bool missing = false;
  for (int i = 0; i < count; ++i) {
    const AudioEntry *entry = candidates->items[i].entry;
    if (entry != NULL && entry->buffer != NULL) {
      prints[i] = fingerprint_of(entry);
    } else {
      missing = true;
    }
  }
  if (missing && reader != NULL) find_buffers(reader, candidates, prints);

  const uint64_t words = length > 0 ? static_cast<uint64_t>(length) : 0;
  const uint64_t steps = words / 2;
  for (int i = 1; i < count; ++i) {
    for (int j = 0; j < i; ++j) {
      const Fingerprint &x = prints[i];
      const Fingerprint &y = prints[j];
      if (x.words == NULL || y.words == NULL || x.count < words || y.count < words) {
        *output++ = 0xFF;
        continue;
      }
      uint64_t bits = 0;
      for (uint64_t w = 0; w < words; ++w) bits += static_cast<uint64_t>(std::popcount(y.words[w] ^ x.words[w]));
      *output++ = static_cast<uint8_t>(steps == 0 ? 0 : bits / steps);
      if (counter != NULL) *counter += words;
    }
  }
  std::free(prints);
}

}  // extern "C"

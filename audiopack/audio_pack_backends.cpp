// The stdio and memory back-ends of the pack streams, and Adler-32.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audiopack/audio_pack_internal.h"
#include "kivo/audio_pack.h"
#include "platform/assert.h"

uint32_t apack_checksum(const uint8_t *data, uint64_t size) {
  const uint32_t base = 65521;
  uint32_t a = 1;
  uint32_t b = 0;
  while (size > 0) {
    // 4096 bytes keep b below 2^32 between reductions.
    const uint64_t chunk = size < 4096 ? size : 4096;
    for (uint64_t i = 0; i < chunk; ++i) {
      a += data[i];
      b += a;
    }
    a %= base;
    b %= base;
    data += chunk;
    size -= chunk;
  }
  return (b << 16) | a;
}

extern "C" {

const uint8_t APACK_HEADER[16] = {0xF7, 'A', 'u', 'd', 'i', 'o', 'P', 'a', 'c', 'k', '1', 0x01, 0x0D, 0x0A, 0x1A, 0x0A};
const uint8_t APACK_FOOTER[16] = {0xF1, 'A', 'u', 'd', 'i', 'o', 'P', 'a', 'c', 'k', '1', 0x01, 0x0D, 0x0A, 0x1A, 0x0A};

uint32_t adler32(const void *data, int length) {
  KIVO_ASSERT("audio_pack", data != NULL || length <= 0);
  return apack_checksum(static_cast<const uint8_t *>(data), length > 0 ? uint64_t(length) : 0);
}

int apack_dump_callback_for_file(const void *data, int count, void *context) {
  FILE *file = static_cast<FILE *>(context);
  if (count < 0) {
    return -1;
  }
  const size_t written = std::fwrite(data, 1, size_t(count), file);
  if (written == 0 && count > 0) {
    return std::feof(file) ? 0 : -1;
  }
  return int(written);
}

int apack_dump_callback_for_string(const void *data, int count, void *context) {
  ApackStringWriter *out = static_cast<ApackStringWriter *>(context);
  if (count < 0) {
    return -1;
  }
  int capacity = out->capacity;
  while (capacity - out->used < count) {
    if (capacity > 0x3FFFFFFF) {
      return -1;
    }
    capacity = capacity == 0 ? 1024 : capacity * 2;
  }
  if (capacity != out->capacity) {
    uint8_t *grown = static_cast<uint8_t *>(std::realloc(out->buffer, size_t(capacity)));
    if (grown == NULL) {
      return -1;
    }
    out->buffer = grown;
    out->capacity = capacity;
  }
  if (count > 0) {
    std::memcpy(out->buffer + out->used, data, size_t(count));
  }
  out->used += count;
  return count;
}

int apack_load_callback_for_file(void *data, int count, void *context) {
  FILE *file = static_cast<FILE *>(context);
  if (count < 0) {
    return -1;
  }
  const size_t got = std::fread(data, 1, size_t(count), file);
  if (got == 0 && count > 0) {
    return std::feof(file) ? 0 : -1;
  }
  return int(got);
}

int apack_load_callback_for_string(void *data, int count, void *context) {
  ApackStringReader *in = static_cast<ApackStringReader *>(context);
  if (count <= 0) {
    return count < 0 ? -1 : 0;
  }
  const ptrdiff_t left = in->end - in->cursor;
  const int n = left < count ? int(left) : count;
  if (n > 0) {
    std::memcpy(data, in->cursor, size_t(n));
    in->cursor += n;
  }
  return n;
}

}  // extern "C"

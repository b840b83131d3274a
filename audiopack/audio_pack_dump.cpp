// apack_dump: an audio database written as a pack stream under one reader.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audiopack/audio_pack_internal.h"
#include "kivo/audio_pack.h"
#include "platform/assert.h"

namespace {

// A write function with the running stream position; every write must be taken whole.
struct Out {
  apack_write_fn write;
  void *context;
  uint64_t offset;
};

bool put(Out *out, const void *data, int count) {
  if (count == 0) {
    return true;
  }
  if (out->write(data, count, out->context) != count) {
    return false;
  }
  out->offset += uint64_t(count);
  return true;
}

bool put_u8(Out *out, uint8_t value) { return put(out, &value, 1); }

bool put_u32(Out *out, uint32_t value) {
  const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  return put(out, bytes, 4);
}

bool put_record(Out *out, int op, const AudioEntry *entry) {
  const char *name = entry->name.str;
  if (name == NULL) {
    return false;
  }
  const size_t name_length = std::strlen(name);
  if (name_length > APACK_MAX_NAME) {
    return false;
  }
  // An entry without a buffer holds no bytes, whatever its size says.
  const uint64_t size = entry->buffer != NULL ? entry->size : 0;
  if (op == APACK_OP_ADD && size > APACK_MAX_DATA) {
    return false;
  }
  if (!put_u8(out, uint8_t(op)) || !put_u8(out, uint8_t(name_length)) || !put(out, name, int(name_length))) {
    return false;
  }
  switch (op) {
    case APACK_OP_TEST_MATCH:
      return put_u32(out, apack_checksum(entry->buffer, size));
    case APACK_OP_ADD:
      return put_u32(out, entry->mask) && put_u32(out, uint32_t(size)) && put(out, entry->buffer, int(size));
    default:
      return true;
  }
}

bool put_stream(Out *out, AudioReader *rdr, int flags) {
  const int op = flags & 0xFF;
  if (!put(out, APACK_HEADER, 16)) {
    return false;
  }
  while (const AudioEntry *entry = adb_reader_next(rdr)) {
    if (!put_record(out, op, entry)) {
      return false;
    }
  }
  if (!put_u8(out, 0x00)) {
    return false;
  }
  if (flags & APACK_FLAG_NO_FOOTER) {
    return true;
  }
  static const uint8_t padding[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint64_t offset_in_block = out->offset & 15;
  if (offset_in_block != 0 && !put(out, padding, int(16 - offset_in_block))) {
    return false;
  }
  const uint64_t offset = out->offset;
  KIVO_ASSERT("audio_pack", (offset & 15) == 0);
  return put(out, APACK_FOOTER, 16);
}

}  // namespace

extern "C" {

int apack_dump(AudioDB *db, int flags, apack_write_fn write, void *context) {
  KIVO_ASSERT("audio_pack", db != NULL);
  KIVO_ASSERT("audio_pack", write != NULL);
  const int op = flags & 0xFF;
  KIVO_ASSERT("audio_pack", op == APACK_OP_ADD || op == APACK_OP_DEL_IF_ANY || op == APACK_OP_TEST_MATCH);
  Out out = {write, context, 0};
  AudioReader rdr;
  adb_reader_start(&rdr, db);
  adb_reader_restart(&rdr);
  const bool ok = put_stream(&out, &rdr, flags);
  adb_reader_end(&rdr);
  return ok ? 0 : 1;
}

int apack_dump_to_file(AudioDB *db, int flags, FILE *file) {
  KIVO_ASSERT("audio_pack", file != NULL);
  return apack_dump(db, flags, apack_dump_callback_for_file, file);
}

int apack_dump_to_string(AudioDB *db, int flags, uint8_t **data, int *length) {
  KIVO_ASSERT("audio_pack", data != NULL && length != NULL);
  ApackStringWriter out = {NULL, 0, 0};
  if (apack_dump(db, flags, apack_dump_callback_for_string, &out) != 0) {
    std::free(out.buffer);
    return 1;
  }
  *data = out.buffer;
  *length = out.used;
  return 0;
}

}  // extern "C"

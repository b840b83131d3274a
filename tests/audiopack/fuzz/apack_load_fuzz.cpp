// Fuzzes apack_load_from_string on a small database. Properties beyond "no crash, no leak":
// a failed load changes nothing, short reads give the same result, and what loaded dumps and
// loads again unchanged.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/db_helpers.h"
#include "base_database.h"
#include "fuzz_check.h"
#include "kivo/audio_pack.h"
#include "common/stream_helpers.h"

namespace {

using kivo::test::snapshot;

// Hands out at most `piece` bytes per call.
struct Trickle {
  const uint8_t* at;
  const uint8_t* end;
  int piece;

  static int read(void* data, int count, void* context) {
    auto* self = static_cast<Trickle*>(context);
    int n = count < self->piece ? count : self->piece;
    if (n > self->end - self->at) n = int(self->end - self->at);
    if (n > 0) std::memcpy(data, self->at, size_t(n));
    self->at += n;
    return n;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT_MAX) return 0;
  kivo::test::ScopedDB t;
  kivo::fuzz::fillBaseDatabase(&t.db);
  const auto before = snapshot(&t.db);
  const int code = apack_load_from_string(&t.db, data, int(size));
  FUZZ_CHECK(code >= APACK_OK && code <= APACK_ERR_MISMATCH);
  FUZZ_CHECK(kivo::test::sidesAgree(t.db));
  const auto after = snapshot(&t.db);
  if (code != APACK_OK) FUZZ_CHECK(after == before);

  kivo::test::ScopedDB trickled;
  kivo::fuzz::fillBaseDatabase(&trickled.db);
  Trickle trickle{data, data + size, 1 + int(size % 5)};
  FUZZ_CHECK(apack_load(&trickled.db, Trickle::read, &trickle) == code);
  FUZZ_CHECK(snapshot(&trickled.db) == after);

  if (code == APACK_OK) {
    const kivo::Bytes dump = kivo::test::dumpToBytes(&t.db, APACK_OP_ADD);
    kivo::test::ScopedDB again;
    FUZZ_CHECK(kivo::test::loadBytes(&again.db, dump) == APACK_OK);
    auto reloaded = snapshot(&again.db);
    FUZZ_CHECK(std::equal(reloaded.rbegin(), reloaded.rend(), after.begin(), after.end()));
  }
  return 0;
}

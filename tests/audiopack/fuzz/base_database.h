// The database every apack_load input is applied to, so that deletes and test-matches meet entries.
#pragma once

#include "kivo/audio_db.h"
#include "kivo/bytes.h"

namespace kivo::fuzz {

// Entries "alpha" (mask 1), "beta" (mask 2), "gamma" (mask 0, no data), in that list order.
void fillBaseDatabase(AudioDB* db);

// The eight data bytes of "alpha" and "beta".
Bytes baseData(const char* name);

}  // namespace kivo::fuzz

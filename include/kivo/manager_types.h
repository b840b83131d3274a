// The manager's enumerations and exported constants: detect types, preparation statuses and the
// authentication retry limits.
#pragma once

#include <cstdint>
#include <string>

#include "kivo/export.h"

namespace kivo {

// How recognition runs. Signed 32-bit; the names are what NSStringFromKIVOManagerDetectType gives.
enum KIVOManagerDetectType : int32_t {
  KIVOManagerDetectTypeUnknown = 0,  // "UNKNOWN": no type chosen yet
  KIVOManagerDetectTypeCloud = 1,    // "CLOUD": every buffer is queried at the console
  KIVOManagerDetectTypeIAR = 2,      // "IAR": local matching against the loaded audio packs
  KIVOManagerDetectTypeLive = 3,     // "LIVE": buffers queried one behind, for live channels
};

// "UNKNOWN", "CLOUD", "IAR", "LIVE"; "Unknown Type" for any other value.
KIVO_API std::string NSStringFromKIVOManagerDetectType(int32_t type);

// The preparation status; prepared only at KIVOPrepareStatusCompleted.
enum KIVOManagerPrepareStatus : int32_t {
  KIVOPrepareStatusIdle = 0,
  KIVOPrepareStatusLoadingAudioPacks = 1,
  KIVOPrepareStatusLoadingCustomAudioPacks = 2,
  KIVOPrepareStatusAuthenticating = 3,
  KIVOPrepareStatusDownloading = 4,
  KIVOPrepareStatusCompleted = 5,
  KIVOPrepareStatusAuthFailed = 6,
};

// Authentication retries per series, and the wait before each retry of the first series.
KIVO_API extern const int32_t KIVOManagerRetryLimitCount;       // 5
KIVO_API extern const uint64_t KIVOManagerRetryWaitingTimeout;  // 5000000000 ns

}  // namespace kivo

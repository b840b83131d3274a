// The status table behind KIVOAudioQueueRecorderLogWithOSStatus, for callers that must not
// allocate (the capture thread formats the symbol line itself).
#pragma once

#include <cstdint>

namespace kivo::capture {

// The symbol of a status, or the "unknown error" text; a static string.
const char* statusSymbol(int32_t status);

}  // namespace kivo::capture

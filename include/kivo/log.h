// The platform log: every console line of the library goes through logLine.
// The default sink writes the line and a newline to stderr; a host may install its own.
// Lines are built with kivo::format (kivo/format.h).
#pragma once

#include <functional>
#include <string_view>

#include "kivo/export.h"

namespace kivo {

// Receives one line without its trailing newline. May be called from any thread, concurrently.
using LogSink = std::function<void(std::string_view line)>;

// Installs sink for all later lines; an empty sink restores the stderr default. Thread-safe.
KIVO_API void setLogSink(LogSink sink);

// Writes one line through the current sink. Thread-safe.
KIVO_API void logLine(std::string_view line);

// Lines marked debug are written only while debug lines are on: the library-wide debug flag,
// which KIVOManager's debugMode reads and writes. Off at start. Thread-safe.
KIVO_API void setDebugLinesEnabled(bool enabled);
KIVO_API bool debugLinesEnabled();
// logLine(line) when debug lines are on; nothing otherwise.
KIVO_API void logDebugLine(std::string_view line);

}  // namespace kivo

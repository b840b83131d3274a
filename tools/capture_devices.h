// What the record and devices commands share: the capture devices worth offering, and a quiet ALSA.
#pragma once

#include <string>
#include <vector>

#include "capture/alsa_capture_source.h"

namespace kivo::tool {

// Stops ALSA's own diagnostics on stderr; the commands print their own lines.
void silenceAlsaDiagnostics();
// ALSA's capture devices, without the "null" device, which captures nothing.
std::vector<capture::CaptureDeviceInfo> usableCaptureDevices();

}  // namespace kivo::tool

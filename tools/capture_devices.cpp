#include "tools/capture_devices.h"

#include <alsa/asoundlib.h>

namespace kivo::tool {
namespace {

void quiet(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void silenceAlsaDiagnostics() { snd_lib_error_set_handler(&quiet); }

std::vector<capture::CaptureDeviceInfo> usableCaptureDevices() {
  auto devices = capture::listCaptureDevices();
  std::erase_if(devices, [](const auto& device) { return device.name == "null"; });
  return devices;
}

}  // namespace kivo::tool

// kivo devices: the capture devices the recorder can open.
#include <cstdio>
#include <string_view>

#include "tools/capture_devices.h"
#include "tools/subcommands.h"

namespace kivo::tool {

int runDevices(std::span<char*> args) {
  if (!args.empty()) {
    const bool help = std::string_view(args[0]) == "--help" || std::string_view(args[0]) == "-h";
    std::fprintf(help ? stdout : stderr,
                 "usage: kivo devices\n\nLists the ALSA capture devices (names for 'kivo record --device').\n"
                 "Exit status: 0 when there is one, 1 when there is none.\n");
    return help ? 0 : 2;
  }
  silenceAlsaDiagnostics();
  const auto devices = usableCaptureDevices();
  if (devices.empty()) {
    std::fprintf(stderr, "kivo devices: no capture device (no sound card, and no sound server through ALSA)\n");
    return 1;
  }
  for (const auto& device : devices)
    std::printf("%-28s %s\n", device.name.c_str(), device.description.c_str());
  return 0;
}

}  // namespace kivo::tool

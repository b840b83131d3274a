// kivo record: the microphone to a WAV file through the library's recorder, with a level meter.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "kivo/audio_converter.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/audio_recorder.h"
#include "kivo/dispatch.h"
#include "tools/capture_devices.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

constexpr const char* kHelp =
    "usage: kivo record -o FILE.wav [--seconds N] [--device NAME]\n"
    "\n"
    "Records from a capture device through the library's recorder (16000 Hz, 16-bit, mono, as\n"
    "recognition hears it) into a WAV file, showing the level on the terminal. Stops after N seconds\n"
    "(default 10) or at Ctrl-C.\n"
    "\n"
    "  -o FILE      the WAV file to write\n"
    "  --seconds N  how long to record (up to 3600)\n"
    "  --device D   ALSA capture device (default \"default\"; see 'kivo devices')\n"
    "\n"
    "Exit status: 0 when the recording was written, 1 when there is no device or it failed, 2 on\n"
    "wrong usage.\n";

constexpr uint64_t kBlockBytes = 3200;  // a level reading every 0.128 s (two capture buffers)

std::atomic<bool> interrupted{false};

struct Options {
  std::string out;
  double seconds = 10;
  std::string device = "default";
};

std::optional<Options> parse(std::span<char*> args, int& status) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      status = 0;
      return std::nullopt;
    } else if (arg == "-o" && hasValue) {
      options.out = args[++i];
    } else if (arg == "--seconds" && hasValue) {
      char* end = nullptr;
      options.seconds = std::strtod(args[++i], &end);
      if (*end || !(options.seconds > 0 && options.seconds <= 3600)) {
        std::fprintf(stderr, "kivo record: --seconds takes a number of seconds from 0 to 3600\n");
        status = 2;
        return std::nullopt;
      }
    } else if (arg == "--device" && hasValue) {
      options.device = args[++i];
    } else {
      std::fprintf(stderr, "kivo record: unexpected argument '%s'\n%s", args[i], kHelp);
      status = 2;
      return std::nullopt;
    }
  }
  if (options.out.empty()) {
    std::fprintf(stderr, "kivo record: -o FILE.wav is required\n");
    status = 2;
    return std::nullopt;
  }
  return options;
}

void showLevel(const Bytes& block, double seconds) {
  const uint32_t level = KIVOGetAudioLevel(reinterpret_cast<const int16_t*>(block.data()), block.size());
  const double peak = double(level >> 16) / 32768.0;
  const double db = peak > 0 ? 20 * std::log10(peak) : -96;
  const int width = 40;
  const int bars = std::clamp(int((db + 60) / 60 * width), 0, width);
  std::fprintf(stderr, "\r%6.1f s  [%-*.*s] %6.1f dBFS", seconds, width, bars,
               "########################################", db);
}

}  // namespace

int runRecord(std::span<char*> args) {
  int status = 0;
  const auto options = parse(args, status);
  if (!options) return status;
  silenceAlsaDiagnostics();

  // Open the device once up front, so that a missing one gets a plain answer.
  {
    capture::AlsaCaptureSource probe(options->device);
    if (const int err = probe.open(); err < 0) {
      std::fprintf(stderr, "kivo record: cannot open capture device '%s': %s%s\n", options->device.c_str(),
                   std::strerror(-err), usableCaptureDevices().empty() ? " (this machine has no capture device)" : "");
      return 1;
    }
  }
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(options->out.c_str(), SFM_WRITE, &info);
  if (!file) {
    std::fprintf(stderr, "kivo record: %s: %s\n", options->out.c_str(), sf_strerror(nullptr));
    return 1;
  }

  KIVOAudioQueueRecorder recorder;
  recorder.setDeviceName(options->device);
  std::optional<std::string> failure;
  recorder.setErrorReporter([&](int64_t code, std::optional<std::string> reason) {
    if (code != 501) return;
    failure = reason.value_or("recorder failure");
    dispatch::MainQueue::stop();
  });
  KIVOAudioRecorder facade(recorder);
  facade.setRequiredBufferSize(kBlockBytes);
  const uint64_t wanted = KIVOBufferSize(options->seconds);
  uint64_t written = 0;
  const bool meter = isatty(STDERR_FILENO);
  facade.setBufferHandler([&](Bytes block) {
    const uint64_t n = std::min<uint64_t>(block.size(), wanted - written);
    sf_write_short(file, reinterpret_cast<const short*>(block.data()), sf_count_t(n / 2));
    written += n;
    if (meter) showLevel(block, double(written) / 32000);
    if (written >= wanted) dispatch::MainQueue::stop();
  });
  std::signal(SIGINT, [](int) { interrupted = true; });
  const auto watch = dispatch::Timer::repeating(dispatch::Queue::main(), std::chrono::milliseconds(100), [&] {
    if (interrupted) dispatch::MainQueue::stop();
    // A device that broke away ends the stream; there is no watchdog here to restart it.
    if (recorder.recording() && !recorder.isRunning() && !failure) {
      failure = "the capture device stopped";
      dispatch::MainQueue::stop();
    }
  });
  facade.start();
  dispatch::MainQueue::run();
  watch.invalidate();
  facade.stop();
  std::signal(SIGINT, SIG_DFL);
  sf_close(file);
  if (meter) std::fputc('\n', stderr);
  if (failure) {
    std::fprintf(stderr, "kivo record: %s on '%s'\n", failure->c_str(), options->device.c_str());
    return 1;
  }
  std::printf("%s: %.2f s recorded from '%s'\n", options->out.c_str(), double(written) / 32000, options->device.c_str());
  return 0;
}

}  // namespace kivo::tool

// kivo listen: recognition through the whole manager pipeline, from the microphone or from a
// recording played in real time through the recorder's file source.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "capture/file_capture_source.h"
#include "kivo/audio_converter.h"
#include "kivo/audio_queue_recorder.h"
#include "kivo/audio_recorder.h"
#include "kivo/data_directory.h"
#include "kivo/dispatch.h"
#include "kivo/http.h"
#include "kivo/log_store.h"
#include "kivo/manager.h"
#include "tools/arguments.h"
#include "tools/audio_decode.h"
#include "tools/capture_devices.h"
#include "tools/library_log.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

constexpr const char* kHelp =
    "usage: kivo listen [--type iar|cloud|live] [--pack P] [--console URL --app ID --secret KEY]\n"
    "                   [--ca FILE] [--repeat] [--json] [--file F | --device D] [--seconds N]\n"
    "                   [--data DIR]\n"
    "\n"
    "Recognises what the microphone hears (or the recording F, played in real time through the\n"
    "same capture and recognition pipeline) and prints each result as it comes.\n"
    "\n"
    "  --type T       iar (local, default), cloud or live\n"
    "  --pack P       reference pack loaded first (iar)\n"
    "  --console URL  the console's API base, e.g. https://127.0.0.1:8443/api; local hits are\n"
    "                 reported to it and only reported hits are delivered, so iar needs it too\n"
    "  --app, --secret  the application's credentials at the console\n"
    "  --ca FILE      certificates to trust for the console (a self-signed one)\n"
    "  --repeat       keep listening after the first result\n"
    "  --json         one JSON object per result on stdout\n"
    "  --file F       play the audio file F instead of the microphone; ends with it\n"
    "  --device D     capture device (default \"default\")\n"
    "  --seconds N    stop after N seconds (default: the file's length, or until Ctrl-C)\n"
    "  --data DIR     the library's data directory (default ~/.local/share/kivo)\n"
    "\n"
    "Exit status: 0 when something was recognised, 1 when nothing was or it failed, 2 on wrong usage.\n";

std::atomic<bool> interrupted{false};

struct Options {
  int32_t type = KIVOManagerDetectTypeIAR;
  std::optional<std::string> pack, console, app, secret, ca, file, data;
  std::string device = "default";
  bool repeat = false, json = false;
  std::optional<double> seconds;
};

std::optional<Options> parse(std::span<char*> args, int& status) {
  Options o;
  auto fail = [&](const std::string& message) {
    std::fprintf(stderr, "kivo listen: %s\n", message.c_str());
    status = 2;
    return std::nullopt;
  };
  try {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string arg = args[i];
      const bool hasValue = i + 1 < args.size();
      auto value = [&] { return std::string(args[++i]); };
      if (arg == "--help" || arg == "-h") {
        std::fputs(kHelp, stdout);
        status = 0;
        return std::nullopt;
      } else if (arg == "--type" && hasValue) {
        const auto t = value();
        if (t == "iar") o.type = KIVOManagerDetectTypeIAR;
        else if (t == "cloud") o.type = KIVOManagerDetectTypeCloud;
        else if (t == "live") o.type = KIVOManagerDetectTypeLive;
        else return fail("--type takes iar, cloud or live");
      } else if (arg == "--pack" && hasValue) {
        o.pack = value();
      } else if (arg == "--console" && hasValue) {
        o.console = value();
      } else if (arg == "--app" && hasValue) {
        o.app = value();
      } else if (arg == "--secret" && hasValue) {
        o.secret = value();
      } else if (arg == "--ca" && hasValue) {
        o.ca = value();
      } else if (arg == "--file" && hasValue) {
        o.file = value();
      } else if (arg == "--device" && hasValue) {
        o.device = value();
      } else if (arg == "--data" && hasValue) {
        o.data = value();
      } else if (arg == "--seconds" && hasValue) {
        o.seconds = numberArgument("--seconds", value());
        if (!(*o.seconds > 0 && *o.seconds <= 86400)) return fail("--seconds takes a number from 0 to 86400");
      } else if (arg == "--repeat") {
        o.repeat = true;
      } else if (arg == "--json") {
        o.json = true;
      } else {
        std::fprintf(stderr, "kivo listen: unexpected argument '%s'\n%s", arg.c_str(), kHelp);
        status = 2;
        return std::nullopt;
      }
    }
  } catch (const std::invalid_argument& e) {
    return fail(e.what());
  }
  if (!o.console) return fail("--console URL is required: results are delivered once the console took the report");
  if (!o.app || !o.secret) return fail("--app and --secret are required with --console");
  return o;
}

// "Piece 2 (m2) at 13.43 s, score 3.1" from a result of any detect type.
std::string describe(const nlohmann::json& result) {
  const nlohmann::json& media = result.contains("result") && result["result"].is_object() ? result["result"] : result;
  auto text = [](const nlohmann::json& j, const char* key) {
    if (!j.contains(key)) return std::string("?");
    return j[key].is_string() ? j[key].get<std::string>() : j[key].dump();
  };
  std::string line = text(media, "title") + " (" + text(media, "_id") + ")";
  char tail[96] = "";
  if (result.contains("position") && result["position"].is_number())
    std::snprintf(tail, sizeof tail, " at %.2f s, score %.1f", result["position"].get<double>() / 1000.0,
                  result.value("score", 0.0));
  return line + tail;
}

}  // namespace

int runListen(std::span<char*> args) {
  int status = 0;
  const auto options = parse(args, status);
  if (!options) return status;
  silenceAlsaDiagnostics();
  LibraryLog libraryLog;  // the library's lines only with kivo --verbose
  if (options->data) setDataDirectory(*options->data);
  if (options->ca) KIVOHTTP::setDefaultCertificateAuthorityFile(*options->ca);

  auto& queueRecorder = KIVOAudioQueueRecorder::sharedRecorder();
  double length = 0;
  if (options->file) {
    auto decoded = decodeAudioFile(*options->file);
    if (auto* error = std::get_if<std::string>(&decoded)) {
      std::fprintf(stderr, "kivo listen: %s\n", error->c_str());
      return 1;
    }
    const auto& samples = std::get<DecodedAudio>(decoded).samples;
    length = double(samples.size()) / 16000.0;
    Bytes pcm(samples.size() * 2);
    std::memcpy(pcm.data(), samples.data(), pcm.size());
    queueRecorder.setCaptureSourceFactory([pcm](const std::string&) -> std::unique_ptr<CaptureSource> {
      return std::make_unique<capture::FileCaptureSource>(pcm);
    });
  } else {
    queueRecorder.setDeviceName(options->device);
  }

  // A manager of its own that counts the console as reachable: the console may be local.
  auto manager = KIVOManager::makeIndependent();
  manager->setApiEndpoint(*options->console);
  manager->setApplicationID(*options->app);
  manager->setSecretKey(*options->secret);
  if (options->pack) manager->setBarrierBundlePath(*options->pack);
  manager->setActivityLogStore(KIVOLogStore::create(manager->consoleConfiguration()));

  std::atomic<uint32_t> level{0};
  manager->setRawBufferHandler([&level](const uint8_t* bytes, uint64_t size) {
    level.store(KIVOGetAudioLevel(reinterpret_cast<const int16_t*>(bytes), size));
  });
  const bool meter = isatty(STDERR_FILENO) && !options->json;
  size_t recognised = 0;
  bool started = false;
  std::optional<std::string> failure;
  const auto began = std::chrono::steady_clock::now();
  // The file's blocks, the last match and its report; then the run is over.
  const std::optional<double> limit = options->seconds ? options->seconds : options->file ? std::optional(length + 5.0) : std::nullopt;

  std::signal(SIGINT, [](int) { interrupted = true; });
  try {
    manager->prepareWithType(options->type);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivo listen: cannot prepare: %s\n", e.what());
    return 1;
  }
  const auto tick = dispatch::Timer::repeating(dispatch::Queue::main(), std::chrono::milliseconds(100), [&] {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (interrupted || (limit && elapsed > *limit)) {
      dispatch::MainQueue::stop();
      return;
    }
    if (!started) {
      if (manager->prepareStatus() == KIVOPrepareStatusAuthFailed) {
        failure = "the console refused or could not be reached (" + *options->console + ")";
        dispatch::MainQueue::stop();
      } else if (manager->prepared()) {
        started = true;
        manager->startWithType(options->type, options->repeat,
                               [&](std::optional<nlohmann::json> result, std::optional<Error> error) {
                                 if (meter) std::fputs("\r\033[K", stderr);
                                 if (error) {
                                   std::fprintf(stderr, "kivo listen: %s\n", error->description().c_str());
                                   return;
                                 }
                                 if (!result) return;
                                 ++recognised;
                                 if (options->json)
                                   std::printf("%s\n", result->dump().c_str());
                                 else
                                   std::printf("recognised: %s\n", describe(*result).c_str());
                                 std::fflush(stdout);
                                 if (!options->repeat) dispatch::MainQueue::stop();
                               });
      }
      return;
    }
    if (meter) {
      const double peak = double(level.load() >> 16) / 32768.0;
      const double db = peak > 0 ? 20 * std::log10(peak) : -96;
      const int bars = std::clamp(int((db + 60) / 60 * 40), 0, 40);
      std::fprintf(stderr, "\r%6.1f s  [%-40.*s] %6.1f dBFS", elapsed, bars, "########################################", db);
    }
  });
  dispatch::MainQueue::run();
  tick.invalidate();
  manager->stop();
  std::signal(SIGINT, SIG_DFL);
  if (meter) std::fputs("\r\033[K", stderr);
  if (failure) {
    std::fprintf(stderr, "kivo listen: %s\n", failure->c_str());
    return 1;
  }
  if (recognised == 0) {
    std::printf("nothing recognised%s\n", options->file ? (" in " + *options->file).c_str() : "");
    return 1;
  }
  return 0;
}

}  // namespace kivo::tool

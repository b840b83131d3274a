// kivo fingerprint: audio files in, AFPs out.
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "kivo/afp_generator.h"
#include "tools/audio_decode.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

constexpr const char* kHelp =
    "usage: kivo fingerprint FILE... [-o OUT]\n"
    "\n"
    "Fingerprints each audio file: decodes it (any format libsndfile reads: WAV, FLAC, Ogg, MP3 where\n"
    "supported), mixes it to mono, converts it to 16000 Hz and computes its AFP, 32 64-bit words per\n"
    "second of audio.\n"
    "\n"
    "Without -o, prints a summary per file: duration, words, steps and the share of set bits.\n"
    "  -o OUT   write the AFP bytes (64-bit little-endian words, no header) to OUT; with several files,\n"
    "           OUT must be a directory and each AFP is written there as NAME.afp\n"
    "\n"
    "Exit status: 0 when every file was fingerprinted, 1 when any failed, 2 on wrong usage.\n";

struct Options {
  std::vector<std::string> files;
  std::string out;
};

bool writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(file.flush());
}

void printSummary(const std::string& name, size_t samples, const Bytes& afp) {
  size_t bits = 0;
  for (size_t i = 0; i + 8 <= afp.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, afp.data() + i, 8);
    bits += size_t(std::popcount(word));
  }
  const size_t words = afp.size() / 8;
  std::printf("%s: %.2f s, %zu words, %zu steps, %.1f%% bits set\n", name.c_str(), double(samples) / 16000, words,
              words / 2, words ? 100.0 * double(bits) / double(words * 64) : 0.0);
}

// Fingerprints one file; returns false after printing the reason to stderr.
bool fingerprintFile(const std::string& name, const Options& options) {
  auto decoded = decodeAudioFile(name);
  if (auto* reason = std::get_if<std::string>(&decoded)) {
    std::fprintf(stderr, "kivo fingerprint: %s: %s\n", name.c_str(), reason->c_str());
    return false;
  }
  const auto& samples = std::get<DecodedAudio>(decoded).samples;
  if (samples.size() < 1000) {
    std::fprintf(stderr, "kivo fingerprint: %s: too short (%zu samples at 16000 Hz, at least 1000 needed)\n",
                 name.c_str(), samples.size());
    return false;
  }
  if (samples.size() > size_t(std::numeric_limits<int32_t>::max()) / 2) {
    std::fprintf(stderr, "kivo fingerprint: %s: too long (more than 18 hours)\n", name.c_str());
    return false;
  }
  const auto afp = AFPFromSample(samples.data(), int32_t(samples.size() * 2));
  if (!afp) {
    std::fprintf(stderr, "kivo fingerprint: %s: mostly silent, no fingerprint made\n", name.c_str());
    return false;
  }
  if (options.out.empty()) {
    printSummary(name, samples.size(), *afp);
    return true;
  }
  std::filesystem::path target = options.out;
  if (std::filesystem::is_directory(target)) target /= std::filesystem::path(name).stem().string() + ".afp";
  if (!writeFile(target, *afp)) {
    std::fprintf(stderr, "kivo fingerprint: %s: cannot write %s\n", name.c_str(), target.c_str());
    return false;
  }
  return true;
}

}  // namespace

int runFingerprint(std::span<char*> args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "-o") {
      if (i + 1 == args.size()) {
        std::fputs("kivo fingerprint: -o needs a file name\n", stderr);
        return 2;
      }
      options.out = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "kivo fingerprint: unknown option %s (see --help)\n", arg.c_str());
      return 2;
    } else {
      options.files.push_back(arg);
    }
  }
  if (options.files.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  if (options.files.size() > 1 && !options.out.empty() && !std::filesystem::is_directory(options.out)) {
    std::fprintf(stderr, "kivo fingerprint: with several files, -o must name a directory\n");
    return 2;
  }
  bool ok = true;
  for (const auto& file : options.files) {
    try {
      ok = fingerprintFile(file, options) && ok;
    } catch (const std::bad_alloc&) {  // one file too large for this machine; the others go on
      std::fprintf(stderr, "kivo fingerprint: %s: out of memory\n", file.c_str());
      ok = false;
    }
  }
  return ok ? 0 : 1;
}

}  // namespace kivo::tool

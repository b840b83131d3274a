// kivo pack build: a reference pack from audio files.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "audiopack/audio_pack_dumper.h"
#include "kivo/afp_generator.h"
#include "platform/json_depth.h"
#include "tools/audio_decode.h"
#include "tools/library_log.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

constexpr const char* kHelp =
    "usage: kivo pack build -o OUT.pack [--metadata META.json] AUDIO...\n"
    "\n"
    "Fingerprints each audio file (decoded as 'kivo fingerprint' does) and writes a pack file, the form\n"
    "the library loads, with one AFP record per file and a description per media.\n"
    "\n"
    "Each media is named by its file's stem, and described as {\"type\": \"cf\", \"title\": STEM,\n"
    "\"_id\": NAME}. META.json may add to that: an object whose keys are file names or stems and whose\n"
    "values are objects merged into that file's description; an \"_id\" there renames the media.\n"
    "META.json may nest at most 128 levels of arrays and objects.\n"
    "\n"
    "Exit status: 0 when every file went into the pack, 1 when any could not (the pack then holds the\n"
    "others), 2 on wrong usage.\n";

std::optional<nlohmann::json> readMetadata(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  if (!in && !in.eof()) {
    std::fprintf(stderr, "kivo pack build: cannot read %s\n", path.c_str());
    return std::nullopt;
  }
  if (!jsonDepthWithin(text)) {
    std::fprintf(stderr, "kivo pack build: %s nests deeper than %zu levels\n", path.c_str(), kMaxJsonDepth);
    return std::nullopt;
  }
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) {
    std::fprintf(stderr, "kivo pack build: %s is not a JSON object of descriptions\n", path.c_str());
    return std::nullopt;
  }
  return json;
}

// META.json's additions for a file: by file name first, then by stem.
nlohmann::json extrasFor(const nlohmann::json& meta, const std::filesystem::path& file) {
  for (const auto& key : {file.filename().string(), file.stem().string()}) {
    const auto it = meta.find(key);
    if (it != meta.end() && it->is_object()) return *it;
  }
  return nlohmann::json::object();
}

// Why the dumper could not write, from its log lines; empty when it says nothing of the kind.
std::string writeFailure(const std::vector<std::string>& lines) {
  for (const std::string_view line : lines)
    for (const std::string_view prefix : {"Cannot open file for writing: ", "[ERROR] Failed to finish file writting: "})
      if (line.starts_with(prefix)) {
        std::string reason(line.substr(prefix.size()));
        while (!reason.empty() && reason.back() == ':') reason.pop_back();
        return reason.empty() ? "cannot open" : reason;
      }
  for (const std::string_view line : lines)
    if (line.starts_with("[ERROR]")) return std::string(line.substr(8));
  return {};
}

}  // namespace

int runPackBuild(std::span<char*> args) {
  std::string out, metaPath;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if ((a == "-o" || a == "--metadata") && i + 1 < args.size()) {
      (a == "-o" ? out : metaPath) = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "kivo pack build: unknown or incomplete option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (out.empty() || files.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  nlohmann::json meta = nlohmann::json::object();
  if (!metaPath.empty()) {
    auto read = readMetadata(metaPath);
    if (!read) return 1;
    meta = std::move(*read);
  }

  LibraryLog log;
  auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(out);
  // The new file is opened before any work, so an unwritable place is told at once.
  if (auto reason = writeFailure(log.take()); !reason.empty()) {
    std::fprintf(stderr, "kivo pack build: cannot write %s: %s\n", out.c_str(), reason.c_str());
    return 1;
  }
  nlohmann::json media = nlohmann::json::object();
  bool ok = true;
  for (const auto& name : files) {
    const std::filesystem::path file = name;
    auto decoded = decodeAudioFile(name);
    if (auto* reason = std::get_if<std::string>(&decoded)) {
      std::fprintf(stderr, "kivo pack build: %s: %s\n", name.c_str(), reason->c_str());
      ok = false;
      continue;
    }
    const auto& samples = std::get<DecodedAudio>(decoded).samples;
    const auto afp = samples.size() <= size_t(std::numeric_limits<int32_t>::max()) / 2
                         ? AFPFromSample(samples.data(), int32_t(samples.size() * 2))
                         : std::nullopt;
    if (!afp || afp->empty()) {
      std::fprintf(stderr, "kivo pack build: %s: no fingerprint (too short, too long or mostly silent)\n", name.c_str());
      ok = false;
      continue;
    }
    nlohmann::json description = {{"type", "cf"}, {"title", file.stem().string()}};
    description.update(extrasFor(meta, file));
    const auto idField = description.find("_id");
    const std::string id = idField != description.end() && idField->is_string() ? idField->get<std::string>()
                                                                               : file.stem().string();
    description["_id"] = id;
    if (media.contains(id)) {
      std::fprintf(stderr, "kivo pack build: %s: the name %s is already taken\n", name.c_str(), id.c_str());
      ok = false;
      continue;
    }
    if (id.empty() || id.size() > KIVOAudioPackDumper::kMaxIdentifierBytes) {
      std::fprintf(stderr, "kivo pack build: %s: the name must have 1 to 253 bytes\n", name.c_str());
      ok = false;
      continue;
    }
    dumper->addAFP({id, 0, *afp});
    media[id] = description;
    std::printf("%s: %s, %.2f s, %zu words\n", name.c_str(), id.c_str(), double(samples.size()) / 16000, afp->size() / 8);
  }
  if (!dumper->finishWithMetadata({{"media", media}})) {
    auto reason = writeFailure(log.take());
    std::fprintf(stderr, "kivo pack build: cannot write %s: %s\n", out.c_str(),
                 reason.empty() ? "the file was not replaced" : reason.c_str());
    return 1;
  }
  std::printf("%s: %zu media\n", out.c_str(), media.size());
  return ok ? 0 : 1;
}

}  // namespace kivo::tool

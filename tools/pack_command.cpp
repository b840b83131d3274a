// kivo pack: what a pack file holds, and whether it reads cleanly.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "audiopack/audio_pack_reader.h"
#include "kivo/audio_db.h"
#include "kivo/audio_pack.h"
#include "kivo/log.h"
#include "tools/library_log.h"
#include "tools/subcommands.h"

namespace kivo::tool {
namespace {

constexpr const char* kHelp =
    "usage: kivo pack info [--stream] FILE\n"
    "       kivo pack verify [--stream] FILE\n"
    "       kivo pack build -o OUT.pack [--metadata META.json] AUDIO...   (see kivo pack build --help)\n"
    "\n"
    "  info     lists the pack's records in file order (kind, identifier, type, AFP bytes and duration at\n"
    "           32 words per second), its test-match lines and a summary of its metadata\n"
    "  verify   says whether the whole file reads cleanly to its end, and if not, why\n"
    "\n"
    "FILE is read as a pack file, the form of every pack the library loads (the bundle shipped with an\n"
    "application, downloaded packs, the local dump \"KIVOAudioDB.pack\"): header, chunks whose identifiers\n"
    "carry a terminating zero byte, end chunk, metadata marker and JSON metadata. That reader is lenient\n"
    "and also reads most plain streams.\n"
    "  --stream  read FILE as a plain stream of the apack_ functions instead (header, records, end byte,\n"
    "            0xFF padding and trailer), loaded into an empty database; info then lists the entries\n"
    "            the database holds afterwards, newest first. Test-match records there can only match\n"
    "            entries the same stream added.\n"
    "\n"
    "Exit status: 0 when the file reads cleanly (info: when it loads), 1 when it does not, 2 on wrong usage.\n";

// An identifier as JSON text: quoted, control characters escaped, bytes that are not UTF-8 replaced.
std::string quoted(const std::string& identifier) {
  return nlohmann::json(identifier).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// "1 entry", "3 entries".
std::string counted(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

std::string fingerprintSummary(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu bytes  %.2f s", static_cast<unsigned long long>(bytes),
                double(bytes) / 8.0 / 32.0);
  return text;
}

// ---- Pack files, through the pack reader ----

struct PackEvent {
  enum class Kind { kAFP, kDelete, kTestMatch, kLog } kind;
  std::string text;  // kLog: the reader's line; otherwise the identifier (or, for kAFP, nothing)
  KIVOAudioPackAFPData afp;
  std::string value;  // kTestMatch
};

struct PackReading {
  bool loaded = false;
  std::vector<PackEvent> events;  // records and log lines, in the order the reader produced them
  nlohmann::json metadata;
};

class Listing : public KIVOAudioPackDelegate {
 public:
  explicit Listing(PackReading& reading) : reading_(reading) {}
  void audioPackRetrieveAFPData(KIVOAudioPackAFPData afp) override {
    reading_.events.push_back({PackEvent::Kind::kAFP, {}, std::move(afp), {}});
  }
  void audioPackDeleteIfAny(const std::string& identifier) override {
    reading_.events.push_back({PackEvent::Kind::kDelete, identifier, {}, {}});
  }
  void audioPackFinishLoadWithMetaData(const nlohmann::json& metadata) override { reading_.metadata = metadata; }

 private:
  PackReading& reading_;
};

// The reader logs test-match records as "Test Match: ID VALUEd"; every other line it writes is a
// complaint about the file.
void recordLogLine(PackReading& reading, std::string_view line) {
  constexpr std::string_view prefix = "Test Match: ";
  const size_t space = line.rfind(' ');
  if (line.starts_with(prefix) && line.ends_with('d') && space != std::string_view::npos && space >= prefix.size()) {
    reading.events.push_back({PackEvent::Kind::kTestMatch, std::string(line.substr(prefix.size(), space - prefix.size())),
                              {}, std::string(line.substr(space + 1, line.size() - space - 2))});
    return;
  }
  reading.events.push_back({PackEvent::Kind::kLog, std::string(line), {}, {}});
}

PackReading readPackFile(const std::string& path) {
  PackReading reading;
  Listing listing(reading);
  setLogSink([&reading](std::string_view line) {
    if (verbose()) std::fprintf(stderr, "kivo: library: %.*s\n", int(line.size()), line.data());
    recordLogLine(reading, line);
  });
  reading.loaded = KIVOAudioPack::loadPath(path, &listing);
  setLogSink({});
  return reading;
}

// The reader's lines about the file.
std::vector<std::string> complaints(const PackReading& reading) {
  std::vector<std::string> lines;
  for (const auto& e : reading.events)
    if (e.kind == PackEvent::Kind::kLog) lines.push_back(e.text);
  return lines;
}

size_t countRecords(const PackReading& reading) {
  size_t n = 0;
  for (const auto& e : reading.events) n += e.kind != PackEvent::Kind::kLog;
  return n;
}

// The metadata's keys and, under "media", its descriptions by "type". Descriptions that are not
// objects, and types that are not strings, are counted as such, never trusted.
void printMetadata(const PackReading& reading) {
  const nlohmann::json& metadata = reading.metadata;
  std::string keys;
  for (const auto& item : metadata.items()) keys += (keys.empty() ? "" : ", ") + quoted(item.key());
  std::printf("metadata: %s%s%s\n", counted(metadata.size(), "key", "keys").c_str(), keys.empty() ? "" : ": ",
              keys.c_str());
  const auto media = metadata.find("media");
  if (media == metadata.end()) return;
  if (!media->is_object()) {
    std::printf("media: not an object\n");
    return;
  }
  std::map<std::string, size_t> byType;
  for (const auto& description : media->items()) {
    const nlohmann::json& d = description.value();
    if (!d.is_object()) {
      ++byType["(not an object)"];
    } else if (const auto type = d.find("type"); type != d.end() && type->is_string()) {
      ++byType["type " + quoted(type->get<std::string>())];
    } else {
      ++byType["(no type)"];
    }
  }
  std::string types;
  for (const auto& [type, count] : byType) types += (types.empty() ? "" : ", ") + type + " " + std::to_string(count);
  std::printf("media: %s%s%s\n", counted(media->size(), "description", "descriptions").c_str(),
              types.empty() ? "" : ": ", types.c_str());
  size_t afps = 0;
  size_t described = 0;
  for (const auto& e : reading.events) {
    if (e.kind != PackEvent::Kind::kAFP) continue;
    ++afps;
    described += e.afp.identifier && media->contains(*e.afp.identifier);
  }
  std::printf("AFP records with a description: %zu of %zu\n", described, afps);
}

int packInfo(const std::string& path) {
  const PackReading reading = readPackFile(path);
  std::printf("%s: pack file\n", path.c_str());
  for (const auto& e : reading.events) {
    switch (e.kind) {
      case PackEvent::Kind::kAFP:
        std::printf("afp            %s  type %d  %s\n", e.afp.identifier ? quoted(*e.afp.identifier).c_str() : "(none)",
                    e.afp.type, fingerprintSummary(e.afp.afp.size()).c_str());
        break;
      case PackEvent::Kind::kDelete:
        std::printf("delete-if-any  %s\n", quoted(e.text).c_str());
        break;
      case PackEvent::Kind::kTestMatch:
        std::printf("test-match     %s  value %s\n", quoted(e.text).c_str(), e.value.c_str());
        break;
      case PackEvent::Kind::kLog:
        std::printf("reader: %s\n", e.text.c_str());
        break;
    }
  }
  if (!reading.loaded) {
    std::printf("failed after %s\n", counted(countRecords(reading), "record", "records").c_str());
    std::fprintf(stderr, "kivo pack info: %s: %s\n", path.c_str(), packFailureReason(complaints(reading)).c_str());
    return 1;
  }
  std::printf("read to the end chunk: %s\n", counted(countRecords(reading), "record", "records").c_str());
  printMetadata(reading);
  return 0;
}

int packVerify(const std::string& path) {
  const PackReading reading = readPackFile(path);
  const auto lines = complaints(reading);
  if (!reading.loaded || !lines.empty()) {
    std::printf("%s: not clean (pack file): %s\n", path.c_str(), packFailureReason(lines).c_str());
    return 1;
  }
  std::printf("%s: clean (pack file): %s, metadata with %s\n", path.c_str(),
              counted(countRecords(reading), "record", "records").c_str(),
              counted(reading.metadata.size(), "key", "keys").c_str());
  return 0;
}

// ---- Plain streams, through apack_load ----

const char* resultText(int code) {
  switch (code) {
    case APACK_OK:
      return "ok";
    case APACK_ERR_IO:
      return "read error";
    case APACK_ERR_FORMAT:
      return "malformed or truncated stream";
    case APACK_ERR_NOMEM:
      return "out of memory";
    case APACK_ERR_MISMATCH:
      return "a test-match record failed";
    default:
      return "unknown result";
  }
}

// Loads the stream into db; returns the result code, and the bytes left after what the load read.
struct StreamReading {
  int code = APACK_ERR_IO;
  uint64_t trailing = 0;
  std::string openError;
};

StreamReading loadStream(const std::string& path, AudioDB* db) {
  StreamReading reading;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    reading.openError = std::strerror(errno);
    return reading;
  }
  reading.code = apack_load_from_file(db, file);
  if (reading.code == APACK_OK) {
    char rest[4096];
    for (size_t n; (n = std::fread(rest, 1, sizeof rest, file)) > 0;) reading.trailing += n;
  }
  std::fclose(file);
  return reading;
}

// Holds an initialised database for one command.
struct Database {
  Database() { adb_init(&db); }
  ~Database() { adb_free(&db); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  AudioDB db;
};

int streamInfo(const std::string& path) {
  Database d;
  const StreamReading reading = loadStream(path, &d.db);
  if (!reading.openError.empty()) {
    std::fprintf(stderr, "kivo pack: %s: %s\n", path.c_str(), reading.openError.c_str());
    return 1;
  }
  std::printf("%s: stream, result %d (%s)\n", path.c_str(), reading.code, resultText(reading.code));
  AudioReader rdr;
  adb_reader_start(&rdr, &d.db);
  size_t count = 0;
  while (const AudioEntry* e = adb_reader_next(&rdr)) {
    std::printf("entry          %s  type %u  %s\n", e->name.str ? quoted(e->name.str).c_str() : "(none)", e->mask,
                fingerprintSummary(e->buffer ? e->size : 0).c_str());
    ++count;
  }
  adb_reader_end(&rdr);
  std::printf("%s\n", counted(count, "entry", "entries").c_str());
  return reading.code == APACK_OK ? 0 : 1;
}

int streamVerify(const std::string& path) {
  Database d;
  const StreamReading reading = loadStream(path, &d.db);
  std::string reason;
  if (!reading.openError.empty()) {
    reason = reading.openError;
  } else if (reading.code != APACK_OK) {
    reason = "result " + std::to_string(reading.code) + " (" + resultText(reading.code) + ")";
  } else if (reading.trailing > 0) {
    reason = std::to_string(reading.trailing) + " bytes after the trailer";
  }
  if (!reason.empty()) {
    std::printf("%s: not clean (stream): %s\n", path.c_str(), reason.c_str());
    return 1;
  }
  size_t count = 0;
  AudioReader rdr;
  adb_reader_start(&rdr, &d.db);
  while (adb_reader_next(&rdr)) ++count;
  adb_reader_end(&rdr);
  std::printf("%s: clean (stream): %s loaded\n", path.c_str(), counted(count, "entry", "entries").c_str());
  return 0;
}

}  // namespace

int runPack(std::span<char*> args) {
  if (!args.empty() && std::string(args[0]) == "build") return runPackBuild(args.subspan(1));
  std::string action;
  std::string file;
  bool stream = false;
  for (char* raw : args) {
    const std::string arg = raw;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--stream") {
      stream = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "kivo pack: unknown option %s (see --help)\n", arg.c_str());
      return 2;
    } else if (action.empty()) {
      action = arg;
    } else if (file.empty()) {
      file = arg;
    } else {
      std::fputs("kivo pack: one FILE at a time (see --help)\n", stderr);
      return 2;
    }
  }
  if ((action != "info" && action != "verify") || file.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  if (std::error_code error; std::filesystem::is_directory(file, error)) {
    std::fprintf(stderr, "kivo pack %s: %s: is a folder, not a file\n", action.c_str(), file.c_str());
    return 1;
  }
  if (FILE* f = std::fopen(file.c_str(), "rb")) {
    std::fclose(f);
  } else {
    std::fprintf(stderr, "kivo pack %s: %s: cannot open: %s\n", action.c_str(), file.c_str(), std::strerror(errno));
    return 1;
  }
  if (action == "info") return stream ? streamInfo(file) : packInfo(file);
  return stream ? streamVerify(file) : packVerify(file);
}

}  // namespace kivo::tool

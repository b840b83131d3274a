#include "tools/library_log.h"

#include <atomic>
#include <cstdio>
#include <string_view>
#include <utility>

#include "kivo/log.h"

namespace kivo::tool {
namespace {

std::atomic<bool> printLines{false};

// A reader line and what it means, by prefix; an empty meaning drops a line that only repeats an
// earlier one.
struct Meaning {
  std::string_view prefix;
  std::string_view meaning;
};
constexpr Meaning kMeanings[] = {
    {"[ERROR] Failed to open file for reading: ", "cannot open: "},
    {"[INFO] Failed to read file data", "cannot read the file"},
    {"[ERROR] local audiopacks has any no contents", "too short for a pack file (16 bytes or less)"},
    {"Readed header ", "not a pack file (it does not start with the pack header)"},
    {"[ERROR] Cannot read data: EOF", "cut off before its end chunk"},
    {"unknown chunk type", "damaged: an unknown chunk code"},
    {"[ERROR] failed to read afp hash length", "cut off inside an AFP record"},
    {"failed to read identifier for", "a delete or test-match record without identifier"},
    {"[ERROR] Failed to load audiopack: Exception = ", "the reader failed: "},
    {"Failed to load metadata or there's no meta data header", "no metadata after the end chunk"},
    {"[WARN] Failed to parse metadata", "metadata is not JSON text (or nests deeper than 128 levels)"},
    {"[WARN] Metadata is not a dictionary", "metadata is not a JSON object"},
    {"failed to open file ", ""},
    {"failed to read header", ""},
    {"failed to read afp data", ""},
    {"[INFO] Readed file has no contents", ""},
};

}  // namespace

void setVerbose(bool verbose) { printLines = verbose; }
bool verbose() { return printLines; }

LibraryLog::LibraryLog() {
  setLogSink([this](std::string_view line) {
    if (printLines) std::fprintf(stderr, "kivo: library: %.*s\n", int(line.size()), line.data());
    std::lock_guard lock(mu_);
    lines_.emplace_back(line);
  });
}

LibraryLog::~LibraryLog() { setLogSink({}); }

std::vector<std::string> LibraryLog::take() {
  std::lock_guard lock(mu_);
  return std::exchange(lines_, {});
}

std::string packFailureReason(const std::vector<std::string>& lines) {
  for (const std::string_view line : lines) {
    std::string reason(line);
    for (const auto& m : kMeanings)
      if (line.starts_with(m.prefix)) {
        reason = m.meaning.empty() ? "" : std::string(m.meaning);
        // Meanings ending in ": " take the rest of the line (the system's reason).
        if (m.meaning.ends_with(": ")) reason += line.substr(m.prefix.size());
        break;
      }
    // The first fault is the reason; the reader's later lines follow from it.
    if (!reason.empty()) return reason;
  }
  return "not read to its end chunk";
}

}  // namespace kivo::tool

// KIVOMatcher's representation: the database, the open add and the maps of what it holds.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "kivo/audio_db.h"
#include "kivo/kivo_matcher.h"
#include "kivo/log.h"
#include "kivo/thread_annotations.h"

namespace kivo {

struct KIVOMatcher::State {
  State() { adb_init(&audioDB); }
  ~State() { adb_free(&audioDB); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // Writes the line (a text, or a function building it), only in debug mode.
  template <typename Line>
  void debug(Line&& line) const {
    if (!debugMode) return;
    if constexpr (std::is_invocable_v<Line>)
      logLine(line());
    else
      logLine(line);
  }

  AudioDB audioDB;
  // The open add's writer and what it unlinked; touched only by the loading thread.
  AudioWriter audioWriter{};
  std::vector<AudioEntry*> unlinked;
  std::atomic<bool> underWriting{false};
  // Holds the matcher from beginAdd to finishAdd, so that its last release cannot end the add on
  // another thread than the one holding the database's locks.
  std::shared_ptr<KIVOMatcher> openAdd;

  // Records of the pack being loaded (loading thread).
  mutable Mutex pendingMutex;
  std::vector<KIVOAudioPackAFPData> afps KIVO_GUARDED_BY(pendingMutex);
  std::vector<std::string> identifiersToDelete KIVO_GUARDED_BY(pendingMutex);

  // Metadata, identifiers and durations. Descriptions are immutable and shared with the results
  // that carry them.
  mutable SharedMutex mapsMutex;
  std::map<std::string, std::shared_ptr<const nlohmann::json>> media KIVO_GUARDED_BY(mapsMutex);
  std::unordered_map<std::string, double> durationMap KIVO_GUARDED_BY(mapsMutex);  // its keys are the identifier map

  std::atomic<bool> useCutoffFilter{false};
  std::atomic<bool> debugMode{false};
  std::atomic<double> cutoff{0.0};
  std::atomic<double> acceptanceLimit{kDefaultAcceptanceLimit};
};

}  // namespace kivo

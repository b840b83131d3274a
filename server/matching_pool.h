// Server-side matching: one KIVOMatcher per pack, holding that pack's newest published version,
// and a fixed pool of worker threads that run matches off the connection threads, so that a slow
// match never holds up other requests. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kivo/kivo_matcher.h"
#include "kivo/thread_annotations.h"
#include "server/console_store.h"

namespace kivo::console {

class MatchingPool {
 public:
  // threads workers; at most maxQueued matches wait for one.
  MatchingPool(size_t threads, size_t maxQueued);
  ~MatchingPool();  // lets running matches end, drops queued ones
  MatchingPool(const MatchingPool&) = delete;
  MatchingPool& operator=(const MatchingPool&) = delete;

  enum class Status { kMatched, kBusy, kTimedOut, kNoPack };
  struct Outcome {
    Status status = Status::kNoPack;
    KIVOMatcher::Results results;  // best first, when matched
  };

  // Matches afp against version's pack on a worker, waiting at most limit. kBusy when the queue is
  // full; kNoPack when the pack file cannot be loaded.
  Outcome match(const PackVersion& version, Bytes afp, std::chrono::milliseconds limit);

  // The matcher of version (loaded once per version; the previous version's is dropped).
  std::shared_ptr<KIVOMatcher> matcher(const PackVersion& version);

 private:
  void work();

  Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> queue_ KIVO_GUARDED_BY(mutex_);
  bool stopping_ KIVO_GUARDED_BY(mutex_) = false;
  size_t maxQueued_;
  std::vector<std::thread> threads_;

  Mutex loadMutex_;  // held while a pack loads, so one version loads once
  std::map<std::string, std::pair<std::string, std::shared_ptr<KIVOMatcher>>> matchers_ KIVO_GUARDED_BY(loadMutex_);
};

}  // namespace kivo::console

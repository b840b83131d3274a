// A token bucket per client address: rate requests a second on average, bursts of burst.
// Thread-safe. The clock is given by the caller, in seconds.
#pragma once

#include <string>
#include <unordered_map>

#include "kivo/thread_annotations.h"

namespace kivo::console {

class RateLimiter {
 public:
  // rate <= 0 turns limiting off.
  RateLimiter(double rate, double burst) : rate_(rate), burst_(burst) {}

  // True when client may make a request at time now (and takes one token).
  bool allow(const std::string& client, double now);

 private:
  struct Bucket {
    double tokens;
    double updated;
  };
  const double rate_;
  const double burst_;
  Mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_ KIVO_GUARDED_BY(mutex_);
};

}  // namespace kivo::console

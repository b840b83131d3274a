#include "server/rate_limiter.h"

#include <algorithm>

namespace kivo::console {

bool RateLimiter::allow(const std::string& client, double now) {
  if (rate_ <= 0) return true;
  MutexLock lock(mutex_);
  // Full buckets carry no information: drop them now and then so the map stays small.
  if (buckets_.size() > 10000) {
    std::erase_if(buckets_, [&](const auto& b) { return b.second.tokens + (now - b.second.updated) * rate_ >= burst_; });
  }
  auto [it, fresh] = buckets_.try_emplace(client, Bucket{burst_, now});
  Bucket& b = it->second;
  b.tokens = std::min(burst_, b.tokens + std::max(0.0, now - b.updated) * rate_);
  b.updated = now;
  if (b.tokens < 1.0) return false;
  b.tokens -= 1.0;
  return true;
}

}  // namespace kivo::console

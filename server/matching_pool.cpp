#include "server/matching_pool.h"

#include <future>

namespace kivo::console {

MatchingPool::MatchingPool(size_t threads, size_t maxQueued) : maxQueued_(maxQueued) {
  for (size_t i = 0; i < std::max<size_t>(threads, 1); ++i) threads_.emplace_back([this] { work(); });
}

MatchingPool::~MatchingPool() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void MatchingPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      MutexLock lock(mutex_);
      while (!stopping_ && queue_.empty()) wake_.wait(lock);
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

std::shared_ptr<KIVOMatcher> MatchingPool::matcher(const PackVersion& version) {
  MutexLock lock(loadMutex_);
  auto& slot = matchers_[version.pack];
  if (slot.second && slot.first == version.version) return slot.second;
  auto m = KIVOMatcher::create();
  m->beginAdd();
  const bool loaded = m->addAudioPackWithPath(version.file);
  m->finishAdd();
  if (!loaded) return nullptr;
  slot = {version.version, m};
  return m;
}

MatchingPool::Outcome MatchingPool::match(const PackVersion& version, Bytes afp, std::chrono::milliseconds limit) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto job = [this, version, afp = std::move(afp), promise] {
    Outcome out;
    if (auto m = matcher(version)) {
      out.status = Status::kMatched;
      out.results = m->matchAFP(afp).value_or(KIVOMatcher::Results{});
    }
    promise->set_value(std::move(out));
  };
  {
    MutexLock lock(mutex_);
    if (queue_.size() >= maxQueued_) return {Status::kBusy, {}};
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  if (future.wait_for(limit) != std::future_status::ready) return {Status::kTimedOut, {}};
  return future.get();
}

}  // namespace kivo::console

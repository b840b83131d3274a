#include "kivo/notification_center.h"

#include <algorithm>
#include <condition_variable>

namespace kivo {

struct NotificationCenter::Entry {
  NotificationCenter::Token token;
  std::string name;
  Observer observer;
  Mutex mutex;
  std::condition_variable_any callEnded;
  int calls KIVO_GUARDED_BY(mutex) = 0;  // calls in progress
  bool removed KIVO_GUARDED_BY(mutex) = false;
};

namespace {

// Entries whose observer the current thread is calling, innermost last.
thread_local std::vector<const void*> callingEntries;

}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter;  // lives for the process
  return *center;
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
  auto entry = std::make_shared<Entry>();
  entry->name = std::move(name);
  entry->observer = std::move(observer);
  MutexLock lock(mutex_);
  entry->token = nextToken_++;
  entries_.push_back(entry);
  return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<Entry> entry;
  {
    MutexLock lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->token == token; });
    if (it == entries_.end()) return;
    entry = *it;
    entries_.erase(it);
  }
  int own = static_cast<int>(std::count(callingEntries.begin(), callingEntries.end(), entry.get()));
  Observer released;
  {
    MutexLock lock(entry->mutex);
    entry->removed = true;
    while (entry->calls > own) entry->callEnded.wait(lock);
    if (own == 0) released = std::move(entry->observer);  // no call is running or will start
  }
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Entry>> targets;
  {
    MutexLock lock(mutex_);
    for (const auto& entry : entries_)
      if (entry->name == notification.name) targets.push_back(entry);
  }
  for (const auto& entry : targets) {
    {
      MutexLock lock(entry->mutex);
      if (entry->removed) continue;
      ++entry->calls;
    }
    struct CallScope {
      Entry& entry;
      explicit CallScope(Entry& e) : entry(e) { callingEntries.push_back(&e); }
      ~CallScope() {
        callingEntries.pop_back();
        {
          MutexLock lock(entry.mutex);
          --entry.calls;
        }
        entry.callEnded.notify_all();
      }
    } scope(*entry);
    entry->observer(notification);
  }
}

void NotificationCenter::post(std::string name, std::any object, nlohmann::json userInfo) {
  post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

ScopedObserver::ScopedObserver(NotificationCenter& center, std::string name, NotificationCenter::Observer observer)
    : center_(&center), token_(center.addObserver(std::move(name), std::move(observer))) {}

ScopedObserver::~ScopedObserver() { reset(); }

ScopedObserver::ScopedObserver(ScopedObserver&& other) noexcept
    : center_(std::exchange(other.center_, nullptr)), token_(std::exchange(other.token_, 0)) {}

ScopedObserver& ScopedObserver::operator=(ScopedObserver&& other) noexcept {
  if (this != &other) {
    reset();
    center_ = std::exchange(other.center_, nullptr);
    token_ = std::exchange(other.token_, 0);
  }
  return *this;
}

void ScopedObserver::reset() {
  if (center_) center_->removeObserver(token_);
  center_ = nullptr;
  token_ = 0;
}

}  // namespace kivo

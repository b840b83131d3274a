// Broadcast notifications by name ("kivo.error", "kivo.noti.afp.loaded", ...).
// Delivery is synchronous on the posting thread, in the order observers were added. Observers may
// be added and removed from any thread at any time, also from inside an observer.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/export.h"
#include "kivo/thread_annotations.h"

namespace kivo {

struct Notification {
  std::string name;
  std::any object;          // e.g. a kivo::Error for "kivo.error"; empty when there is none
  nlohmann::json userInfo;  // a dictionary, or null when there is no user info
};

class KIVO_API NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = uint64_t;  // never 0

  // The process-wide center the library posts on.
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Calls observer for every later notification named name. Returns the token that removes it.
  Token addObserver(std::string name, Observer observer);
  // After this returns the observer is never called again and no call of it is still running,
  // except a call on this very thread (an observer removing itself finishes normally).
  // The observer is released here unless it is removing itself. Unknown tokens are ignored.
  void removeObserver(Token token);

  // Calls the observers of notification.name on this thread. An observer added during the
  // delivery is not called for it; one removed during the delivery is not called if not yet reached.
  // What an observer throws reaches the poster.
  void post(const Notification& notification);
  void post(std::string name, std::any object = {}, nlohmann::json userInfo = nullptr);

 private:
  struct Entry;
  Mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_ KIVO_GUARDED_BY(mutex_);
  Token nextToken_ KIVO_GUARDED_BY(mutex_) = 1;
};

// Removes its observer when destroyed. Move-only.
class KIVO_API ScopedObserver {
 public:
  ScopedObserver() = default;
  ScopedObserver(NotificationCenter& center, std::string name, NotificationCenter::Observer observer);
  ~ScopedObserver();
  ScopedObserver(ScopedObserver&& other) noexcept;
  ScopedObserver& operator=(ScopedObserver&& other) noexcept;

  void reset();

 private:
  NotificationCenter* center_ = nullptr;
  NotificationCenter::Token token_ = 0;
};

}  // namespace kivo

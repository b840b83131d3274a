#include "kivo/location_manager.h"

#include <chrono>
#include <cmath>
#include <mutex>

#include "kivo/dispatch.h"
#include "kivo/notification_center.h"

namespace kivo {
namespace {

dispatch::Duration seconds(double value) {
  if (!std::isfinite(value) || value < 0) value = 0;
  return std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(value));
}

bool valid(const Location& fix) { return std::isfinite(fix.horizontalAccuracy) && fix.horizontalAccuracy >= 0; }

}  // namespace

struct KIVOLocationManager::Impl : std::enable_shared_from_this<Impl> {
  mutable std::mutex mutex;
  std::optional<Location> location;               // guarded by mutex
  double latitude = 0, longitude = 0;             // guarded by mutex
  bool updated = false;                           // guarded by mutex
  bool running = false;                           // guarded by mutex
  double accuracyLimit = 100.0;                   // guarded by mutex
  double accuracyLimitWide = 5000.0;              // guarded by mutex
  double intervalToWaitLong = 30.0;               // guarded by mutex
  double intervalToWaitShort = 10.0;              // guarded by mutex
  double intervalToDetect = 10.0;                 // guarded by mutex
  std::optional<dispatch::Timer> detectTimer;     // guarded by mutex
  std::optional<dispatch::Timer> waitTimer;       // guarded by mutex
  std::shared_ptr<LocationSource> source;         // guarded by mutex
  std::mutex sourceMutex;  // held around calls into the source, which never takes it back

  std::function<void(std::vector<Location>)> deliverer() {
    return [weak = weak_from_this()](std::vector<Location> fixes) {
      dispatch::Queue::main().async([weak, fixes = std::move(fixes)] {
        if (auto self = weak.lock()) self->update(fixes);
      });
    };
  }

  void start() {
    std::lock_guard sourceLock(sourceMutex);
    std::shared_ptr<LocationSource> current;
    {
      std::lock_guard lock(mutex);
      if (running) return;
      running = true;
      current = source;
    }
    if (current) current->startUpdates(deliverer());
  }

  void stopUpdates() {
    std::lock_guard sourceLock(sourceMutex);
    std::shared_ptr<LocationSource> current;
    {
      std::lock_guard lock(mutex);
      if (!running) return;
      running = false;
      current = source;
    }
    if (current) current->stopUpdates();
  }

  static void cancel(std::optional<dispatch::Timer>& timer) {
    if (timer) timer->invalidate();
    timer.reset();
  }

  void stop() {
    {
      std::lock_guard lock(mutex);
      cancel(detectTimer);
      cancel(waitTimer);
    }
    stopUpdates();
  }

  void stopAndWaitLong(bool waitLong) {
    {
      std::lock_guard lock(mutex);
      cancel(detectTimer);
    }
    stopUpdates();
    std::lock_guard lock(mutex);
    if (waitTimer) return;
    waitTimer = dispatch::Timer::after(dispatch::Queue::main(), seconds(waitLong ? intervalToWaitLong : intervalToWaitShort),
                                       [weak = weak_from_this()] {
                                         if (auto self = weak.lock()) self->waitFired();
                                       });
  }

  void startDetectTimer() {
    std::lock_guard lock(mutex);
    if (detectTimer) return;
    detectTimer = dispatch::Timer::after(dispatch::Queue::main(), seconds(intervalToDetect), [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->detectFired();
    });
  }

  void detectFired() {
    {
      std::lock_guard lock(mutex);
      cancel(detectTimer);
    }
    stopAndWaitLong(false);
  }

  void waitFired() {
    {
      std::lock_guard lock(mutex);
      cancel(waitTimer);
    }
    start();
  }

  void update(const std::vector<Location>& fixes) {
    const Location* best = nullptr;   // the most accurate valid fix, the last among equals
    const Location* shown = nullptr;  // what the notification reports
    bool accept = false;
    {
      std::lock_guard lock(mutex);
      if (!running) return;
      for (const auto& fix : fixes) {
        if (!shown || fix.horizontalAccuracy <= shown->horizontalAccuracy) shown = &fix;
        if (valid(fix) && (!best || fix.horizontalAccuracy <= best->horizontalAccuracy)) best = &fix;
      }
      if (best) shown = best;
      accept = best && best->horizontalAccuracy <= accuracyLimitWide;
      if (accept) {
        location = *best;
        updated = true;
        latitude = best->latitude;
        longitude = best->longitude;
      }
    }
    const float accuracy = shown ? float(shown->horizontalAccuracy) : 0.0f;
    NotificationCenter::defaultCenter().post("debuglabel", {}, nlohmann::json{{"accuracy", accuracy}});
    if (accept) stopAndWaitLong(true);
  }

  void setSource(std::shared_ptr<LocationSource> next) {
    std::lock_guard sourceLock(sourceMutex);
    std::shared_ptr<LocationSource> previous;
    bool wasRunning;
    {
      std::lock_guard lock(mutex);
      previous = std::exchange(source, next);
      wasRunning = running;
    }
    if (!wasRunning) return;
    if (previous) previous->stopUpdates();
    if (next) next->startUpdates(deliverer());
  }
};

KIVOLocationManager& KIVOLocationManager::sharedManager() {
  static auto* instance = [] {
    auto* manager = new KIVOLocationManager;  // lives for the process
    manager->setLocationSource(makeGeoClueLocationSource());
    return manager;
  }();
  return *instance;
}

KIVOLocationManager::KIVOLocationManager() : impl_(std::make_shared<Impl>()) {}
KIVOLocationManager::~KIVOLocationManager() { impl_->stop(); }

void KIVOLocationManager::setLocationSource(std::shared_ptr<LocationSource> source) { impl_->setSource(std::move(source)); }
void KIVOLocationManager::start() { impl_->start(); }
void KIVOLocationManager::stop() { impl_->stop(); }
void KIVOLocationManager::stopAndWaitLong(bool waitLong) { impl_->stopAndWaitLong(waitLong); }
void KIVOLocationManager::startDetectTimer() { impl_->startDetectTimer(); }
void KIVOLocationManager::locationManagerDidUpdateLocations(const std::vector<Location>& locations) {
  impl_->update(locations);
}

using Coordinate = std::pair<double, double>;

#define KIVO_LOCATION_GETTER(type, name, expr) \
  type KIVOLocationManager::name() const {    \
    std::lock_guard lock(impl_->mutex);       \
    return expr;                              \
  }
#define KIVO_LOCATION_SETTER(name, field)            \
  void KIVOLocationManager::name(double value) {     \
    std::lock_guard lock(impl_->mutex);              \
    impl_->field = value;                            \
  }

KIVO_LOCATION_GETTER(std::optional<Location>, location, impl_->location)
KIVO_LOCATION_GETTER(Coordinate, coordinate, std::make_pair(impl_->latitude, impl_->longitude))
KIVO_LOCATION_GETTER(bool, updated, impl_->updated)
KIVO_LOCATION_GETTER(bool, running, impl_->running)
KIVO_LOCATION_GETTER(bool, hasDetectTimer, impl_->detectTimer.has_value())
KIVO_LOCATION_GETTER(bool, hasWaitTimer, impl_->waitTimer.has_value())
KIVO_LOCATION_GETTER(double, accuracyLimit, impl_->accuracyLimit)
KIVO_LOCATION_GETTER(double, accuracyLimitWide, impl_->accuracyLimitWide)
KIVO_LOCATION_GETTER(double, intervalToWaitLong, impl_->intervalToWaitLong)
KIVO_LOCATION_GETTER(double, intervalToWaitShort, impl_->intervalToWaitShort)
KIVO_LOCATION_GETTER(double, intervalToDetect, impl_->intervalToDetect)
KIVO_LOCATION_SETTER(setAccuracyLimit, accuracyLimit)
KIVO_LOCATION_SETTER(setAccuracyLimitWide, accuracyLimitWide)
KIVO_LOCATION_SETTER(setIntervalToWaitLong, intervalToWaitLong)
KIVO_LOCATION_SETTER(setIntervalToWaitShort, intervalToWaitShort)
KIVO_LOCATION_SETTER(setIntervalToDetect, intervalToDetect)

}  // namespace kivo

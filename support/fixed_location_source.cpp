#include <mutex>

#include "kivo/location_manager.h"

namespace kivo {

struct FixedLocationSource::State {
  std::mutex mutex;
  Location location;                                  // guarded by mutex
  std::function<void(std::vector<Location>)> deliver;  // guarded by mutex; set while updating
};

FixedLocationSource::FixedLocationSource(Location location) : state_(std::make_shared<State>()) {
  state_->location = location;
}

void FixedLocationSource::setLocation(Location location) {
  std::function<void(std::vector<Location>)> deliver;
  {
    std::lock_guard lock(state_->mutex);
    state_->location = location;
    deliver = state_->deliver;
  }
  if (deliver) deliver({location});
}

void FixedLocationSource::startUpdates(std::function<void(std::vector<Location>)> deliver) {
  Location location;
  {
    std::lock_guard lock(state_->mutex);
    state_->deliver = deliver;
    location = state_->location;
  }
  deliver({location});
}

void FixedLocationSource::stopUpdates() {
  std::lock_guard lock(state_->mutex);
  state_->deliver = nullptr;
}

}  // namespace kivo

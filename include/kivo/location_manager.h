// KIVOLocationManager: the last acceptable location fix, obtained while sparing the battery: it
// listens for updates only until one fix is accurate enough, pauses, and listens again later.
// Consumers only read the last fix. Fixes come from a LocationSource: a fixed position the host
// sets, GeoClue2 where the library was built with it and the system offers it, or none (then there
// are no fixes and no errors).
//
// Threads: updates and timers run on the main queue; every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "kivo/export.h"
#include "kivo/location.h"

namespace kivo {

// Where fixes come from. startUpdates' deliver may be called on any thread, with one or more fixes
// (oldest first), until stopUpdates returns. Calls come from the manager, one at a time.
class KIVO_API LocationSource {
 public:
  virtual ~LocationSource() = default;
  virtual void startUpdates(std::function<void(std::vector<Location>)> deliver) = 0;
  virtual void stopUpdates() = 0;
};

// A position the host knows: delivered once at each start of updates, and again when changed
// while updates run. Thread-safe.
class KIVO_API FixedLocationSource final : public LocationSource {
 public:
  explicit FixedLocationSource(Location location);
  void setLocation(Location location);
  void startUpdates(std::function<void(std::vector<Location>)> deliver) override;
  void stopUpdates() override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// GeoClue2 over the system bus (DesktopId "kivo", accuracy level exact, distance threshold 5 m);
// nullptr when the library was built without it. An agent that refuses simply sends no fixes.
KIVO_API std::shared_ptr<LocationSource> makeGeoClueLocationSource();

class KIVO_API KIVOLocationManager {
 public:
  // The process-wide manager (thread-safe creation); its source is GeoClue2 when built in.
  static KIVOLocationManager& sharedManager();

  // A manager of its own with no source (tests and tools).
  KIVOLocationManager();
  ~KIVOLocationManager();  // stops updates and cancels both timers
  KIVOLocationManager(const KIVOLocationManager&) = delete;
  KIVOLocationManager& operator=(const KIVOLocationManager&) = delete;

  // Replaces the source (nullptr: none); a running manager moves its updates to the new source.
  void setLocationSource(std::shared_ptr<LocationSource> source);

  // Switches updates on when off.
  void start();
  // The host's stop: switches updates off and cancels the detect and wait timers, so nothing turns
  // them on again. The last fix stays.
  void stop();
  // The pause between searches: cancels the detect timer, switches updates off and, unless a wait
  // timer exists, schedules a start after intervalToWaitLong (long) or intervalToWaitShort seconds.
  void stopAndWaitLong(bool waitLong);
  // Gives a search intervalToDetect seconds, then pauses for the short wait (when no timer exists).
  void startDetectTimer();

  // One update from the source (normally posted to the main queue by the manager itself): picks the
  // most accurate valid fix (the last among equals), posts "debuglabel" {"accuracy": metres} and
  // accepts the fix when within accuracyLimitWide, then pauses for the long wait. A fix with a
  // negative or NaN accuracy is never accepted.
  void locationManagerDidUpdateLocations(const std::vector<Location>& locations);

  std::optional<Location> location() const;
  std::pair<double, double> coordinate() const;  // latitude, longitude; never cleared
  bool updated() const;
  bool running() const;
  bool hasDetectTimer() const;
  bool hasWaitTimer() const;

  double accuracyLimit() const;  // kept for the host; 100 m
  void setAccuracyLimit(double metres);
  double accuracyLimitWide() const;  // 5000 m
  void setAccuracyLimitWide(double metres);
  double intervalToWaitLong() const;  // 30 s
  void setIntervalToWaitLong(double seconds);
  double intervalToWaitShort() const;  // 10 s
  void setIntervalToWaitShort(double seconds);
  double intervalToDetect() const;  // 10 s
  void setIntervalToDetect(double seconds);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace kivo
